// The accuracy and speed table of the orientation estimate: pages drawn in TrueType faces in Latin,
// Cyrillic and Greek at 150 and 300 dpi, in the four quarter turns (every second one also tilted
// by up to 10 degrees), and pictures without text, measured with tulo::estimate_orientation and,
// where present, Tesseract's orientation detection (the `tesseract` command with the osd data,
// --psm 0, one thread) and Leptonica's pixOrientDetect after its deskew. One thread each.
//   tulo_bench_orientation [PAGES_PER_DPI] [--verbose]

#include "peer.hpp"
#include "table.hpp"

#include "pictures/notation.hpp"
#include "pictures/page.hpp"
#include "pictures/photo.hpp"
#include "pictures/scene.hpp"

#include <tulo/Orientation.hpp>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

namespace pictures = tulo::pictures;
using tulo_bench::median;
using tulo_bench::milliseconds_of;

constexpr unsigned table_seed = 20261210;
constexpr double max_tilt = 10.0;
constexpr int timing_runs = 3;  // each page is timed this often and its fastest run kept (not Tesseract's)

struct Answer {
    std::optional<int> correction;  // nothing when the method abstains
    double milliseconds = 0.0;
};

using Method = std::function<Answer(const cv::Mat&, int dpi)>;

Answer ours(const cv::Mat& page, int)
{
    Answer answer;
    answer.milliseconds = 1e300;
    for (int run = 0; run < timing_runs; ++run) {
        tulo::OrientationEstimate estimate;
        answer.milliseconds =
            std::min(answer.milliseconds, milliseconds_of([&] { estimate = tulo::estimate_orientation(page); }));
        if (estimate.confidence >= tulo::min_orientation_confidence)
            answer.correction = estimate.correction;
    }
    return answer;
}

Answer leptonica(const cv::Mat& page, int)
{
    const tulo_bench::LeptonicaPage pix(page);
    Answer answer;
    answer.milliseconds = 1e300;
    for (int run = 0; run < timing_runs; ++run)
        answer.milliseconds =
            std::min(answer.milliseconds, milliseconds_of([&] { answer.correction = pix.orientation_correction(); }));
    return answer;
}

// Tesseract reports "Rotate: r", the clockwise degrees that stand the page upright; tulo counts
// counter-clockwise. Its run is timed once, from the command's start to its end, without writing
// the file it reads.
class Tesseract {
public:
    Tesseract()
    {
        char folder[] = "/tmp/tulo_orientation_XXXXXX";
        if (mkdtemp(folder) != nullptr)
            file_ = std::string(folder) + "/page.png";
        const std::string languages = output_of("tesseract --list-langs 2>&1");
        present_ = !file_.empty() && languages.find("\nosd") != std::string::npos;
    }
    ~Tesseract()
    {
        if (!file_.empty()) {
            std::remove(file_.c_str());
            rmdir(file_.substr(0, file_.rfind('/')).c_str());
        }
    }
    Tesseract(const Tesseract&) = delete;
    Tesseract& operator=(const Tesseract&) = delete;

    bool present() const { return present_; }

    Answer operator()(const cv::Mat& page, int dpi) const
    {
        cv::imwrite(file_, page);
        std::string report;
        Answer answer;
        const std::string command =
            "OMP_THREAD_LIMIT=1 tesseract '" + file_ + "' - --psm 0 --dpi " + std::to_string(dpi) + " 2>&1";
        answer.milliseconds = milliseconds_of([&] { report = output_of(command); });
        const std::size_t at = report.find("Rotate: ");
        if (at != std::string::npos)
            answer.correction = (360 - std::atoi(report.c_str() + at + 8)) % 360;
        return answer;
    }

private:
    static std::string output_of(const std::string& command)
    {
        std::string output;
        if (FILE* const pipe = popen(command.c_str(), "r")) {
            std::array<char, 256> buffer{};
            while (std::fgets(buffer.data(), buffer.size(), pipe) != nullptr)
                output += buffer.data();
            pclose(pipe);
        }
        return output;
    }

    std::string file_;
    bool present_ = false;
};

struct Tally {
    int pages = 0;
    int answered = 0;
    int wrong = 0;
    std::vector<double> milliseconds;
};

// An answer on a picture without text is wrong whatever it is.
void record(Tally& tally, const Answer& answer, std::optional<int> truth)
{
    ++tally.pages;
    tally.answered += answer.correction ? 1 : 0;
    tally.wrong += answer.correction && answer.correction != truth ? 1 : 0;
    tally.milliseconds.push_back(answer.milliseconds);
}

struct Picture {
    std::string kind;  // the table's row
    std::string name;
    int dpi;
    cv::Mat image;
    std::optional<int> truth;
};

std::vector<Picture> text_pages(int dpi, int count)
{
    std::vector<Picture> pages;
    const std::vector<pictures::PageCase> cases = pictures::truetype_page_cases(dpi, count, max_tilt, table_seed + dpi);
    for (std::size_t i = 0; i < cases.size(); ++i) {
        pictures::PageCase page = cases[i];
        const int quarter = static_cast<int>(i % 4);
        page.angle = 90.0 * quarter + (i % 8 < 4 ? 0.0 : std::clamp(page.angle, -max_tilt, max_tilt));
        pages.push_back({std::to_string(dpi) + " dpi " + pictures::describe(page.script),
                         pictures::describe(page), dpi, pictures::render_page(page), (360 - 90 * quarter) % 360});
    }
    return pages;
}

// Scenes, music scores and line drawings, which hold no text, and photographs.
std::vector<Picture> other_pictures(int count)
{
    std::vector<Picture> found;
    const std::vector<pictures::SceneKind> kinds = pictures::scene_kinds();
    for (int i = 0; i < count; ++i) {
        const unsigned seed = table_seed + static_cast<unsigned>(i);
        const int dpi = i % 2 == 0 ? 150 : 300;
        const pictures::SceneKind kind = kinds[static_cast<std::size_t>(i) % kinds.size()];
        const cv::Size a4 = pictures::paper_size(pictures::Paper::a4, dpi);
        found.push_back({"no text", pictures::describe(kind), dpi, pictures::render_scene(kind, a4, seed), std::nullopt});
        found.push_back({"no text", "music score", dpi, pictures::render_music_score(dpi, seed), std::nullopt});
        found.push_back({"no text", "line drawing", dpi, pictures::render_line_drawing(dpi, seed), std::nullopt});
        // The test pictures' photographs hold an upright card of text: they are answered 0 or not at all.
        found.push_back({"photo with text", "photograph", dpi, pictures::make_photo(a4, seed), 0});
    }
    return found;
}

void print_row(const std::string& kind, const char* method, const Tally& tally)
{
    std::printf("| %s | %s | %d | %d (%.1f %%) | %d | %.1f |\n", kind.c_str(), method, tally.pages, tally.answered,
                100.0 * tally.answered / tally.pages, tally.wrong, median(tally.milliseconds));
}

} // namespace

int main(int argc, char** argv)
{
    const int count = argc > 1 && argv[1][0] != '-' ? std::max(1, std::atoi(argv[1])) : 48;
    const bool verbose = std::string(argv[argc - 1]) == "--verbose";
    cv::setNumThreads(1);
    const Tesseract tesseract;
    std::vector<std::pair<const char*, Method>> methods{{"tulo::estimate_orientation", ours}};
    if (tesseract.present())
        methods.emplace_back("Tesseract --psm 0",
                             [&tesseract](const cv::Mat& page, int dpi) { return tesseract(page, dpi); });
    if (tulo_bench::have_leptonica())
        methods.emplace_back("Leptonica", leptonica);

    std::vector<Picture> all = text_pages(150, count);
    for (Picture& page : text_pages(300, count))
        all.push_back(std::move(page));
    for (Picture& picture : other_pictures(std::max(2, count / 8)))
        all.push_back(std::move(picture));

    std::map<std::string, std::map<std::string, Tally>> tallies;  // kind, method
    for (const Picture& picture : all)
        for (const auto& [name, method] : methods) {
            const Answer answer = method(picture.image, picture.dpi);
            record(tallies[picture.kind][name], answer, picture.truth);
            if (verbose && answer.correction != picture.truth)
                std::printf("%s: %s: %s gave %s\n", picture.kind.c_str(), picture.name.c_str(), name,
                            answer.correction ? std::to_string(*answer.correction).c_str() : "nothing");
        }

    std::printf("| pages | method | images | answered | wrong answers | median ms |\n|---|---|---|---|---|---|\n");
    for (const auto& [kind, by_method] : tallies)
        for (const auto& [name, method] : methods)
            print_row(kind, name, by_method.at(name));
    return 0;
}
