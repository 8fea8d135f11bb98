// The accuracy and speed table of the page content finder: pages rendered at 150 and 300 dpi in
// five layouts, given scanner borders, spine and edge shadows, punch holes, staples, facing-page
// slivers, bleed-through, noise and JPEG, plus blank and near-blank sheets (a lone page number,
// pencil note or stamp); measured with tulo::find_page_content and, when present, Leptonica's
// pixFindPageForeground and unpaper (run as a subprocess on PGM files; its box is what it leaves
// darker than paper). One thread.
//   tulo_bench_page_content [PAGES_PER_DPI] [--no-unpaper] [--verbose] [--seed N] [--only TEXT] [--dump DIR]
// --dump writes each sheet measured as DIR/<name>.png, to look at what a method answered on it.

#include "page.hpp"
#include "peer.hpp"
#include "table.hpp"

#include "pictures/scan_defects.hpp"

#include <tulo/PageContent.hpp>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

namespace pictures = tulo::pictures;
using tulo_bench::fastest_milliseconds;
using tulo_bench::median;

// The sheets drawn; --seed draws another set, to check that a change is not tuned to this one.
unsigned table_seed = 20261210;
constexpr std::array<int, 2> dpis{150, 300};
constexpr double good_overlap = 0.98;
constexpr int timing_runs = 3;  // tulo and Leptonica are timed this often and the fastest run kept

/** One test sheet: the image handed over and its truth. */
struct Sheet {
    pictures::ScannedPage page;
    cv::Mat input;  // in the pixel format the case asks for
    std::string name;
};

/** What one method answered on one sheet. */
struct Answer {
    cv::Rect box;
    bool blank = false;
    bool trusted = true;
    double confidence = 1.0;
    double milliseconds = 0.0;
};

struct Tally {
    int pages = 0, trusted = 0, lost = 0, good = 0, blank_pages = 0, blanks_found = 0, false_blanks = 0;
    double worst = 1.0, overlap_sum = 0.0;
    std::vector<double> milliseconds;
};

double overlap(const cv::Rect& a, const cv::Rect& b)
{
    const double joint = (a & b).area();
    return joint / (a.area() + b.area() - joint);
}

// A mark is lost when the truth box reaches beyond the found one by more than the blur of the
// scan smears an edge (one pixel per 150 dpi).
bool loses_mark(const cv::Rect& found, const cv::Rect& truth, int dpi)
{
    const int slack = dpi / 150;
    const cv::Rect widened(found.x - slack, found.y - slack, found.width + 2 * slack, found.height + 2 * slack);
    return (truth & widened) != truth;
}

cv::Mat in_format(const cv::Mat& image, int variant)
{
    cv::Mat result;
    switch (variant % 4) {
    case 1:
        cv::cvtColor(image, result, image.channels() == 1 ? cv::COLOR_GRAY2BGRA : cv::COLOR_BGR2BGRA);
        return result;
    case 2:
        image.convertTo(result, CV_16U, 257.0);
        return result;
    default:
        return image;
    }
}

void compress(cv::Mat& image, int quality)
{
    std::vector<uchar> bytes;
    cv::imencode(".jpg", image, bytes, {cv::IMWRITE_JPEG_QUALITY, quality});
    image = cv::imdecode(bytes, cv::IMREAD_UNCHANGED);
}

cv::Mat drawn_page(int dpi, int index, tulo_bench::Layout layout)
{
    tulo_bench::PageCase page;
    page.dpi = dpi;
    page.layout = layout;
    page.seed = table_seed + static_cast<unsigned>(index * 977 + dpi);
    return tulo_bench::render_page(page);
}

// A page with content and a mix of additions that changes from index to index.
Sheet page_sheet(int dpi, int index)
{
    using pictures::Side;
    const auto layout = static_cast<tulo_bench::Layout>(index % 5);  // scan_border draws its own borders
    cv::RNG rng(table_seed + static_cast<unsigned>(index * 31 + dpi));
    Sheet sheet;
    sheet.page = pictures::scanned(drawn_page(dpi, index, layout), dpi);
    pictures::ScannedPage& page = sheet.page;
    if (index % 3 == 1)
        cv::cvtColor(page.image, page.image, cv::COLOR_GRAY2BGR);
    std::string name = std::to_string(dpi) + "dpi layout" + std::to_string(index % 5);
    const auto maybe = [&](int every, int phase, const char* what, auto add) {
        if (index % every == phase) {
            add();
            name += std::string(" ") + what;
        }
    };
    maybe(7, 3, "pagenumber", [&] { pictures::add_page_number(page, rng); });
    maybe(5, 2, "pencil", [&] { pictures::add_pencil_note(page, rng); });
    maybe(6, 4, "stamp", [&] { pictures::add_stamp(page, rng); });
    maybe(3, 0, "bleed", [&] { pictures::add_bleed_through(page, drawn_page(dpi, index + 1000, layout), rng.uniform(0.05, 0.12)); });
    maybe(2, 0, "shadow", [&] { pictures::add_edge_shadow(page, index % 4 == 0 ? Side::left : Side::right, rng); });
    maybe(3, 1, "sliver", [&] { pictures::add_facing_sliver(page, index % 2 == 0 ? Side::left : Side::right, rng); });
    maybe(2, 1, "holes", [&] { pictures::add_punch_holes(page, index % 4 == 1 ? Side::left : Side::top, rng); });
    maybe(4, 2, "staple", [&] { pictures::add_staple(page, rng); });
    maybe(1, 0, "border", [&] {
        for (const Side side : {Side::left, Side::top, Side::right, Side::bottom})
            if (rng.uniform(0, 3) != 0)
                pictures::add_scanner_border(page, side, rng);
    });
    maybe(3, 2, "noise", [&] { pictures::add_noise(page, rng.uniform(4.0, 12.0), rng); });
    maybe(4, 3, "jpeg", [&] { compress(page.image, rng.uniform(30, 70)); });
    sheet.input = in_format(page.image, index);
    sheet.name = name;
    return sheet;
}

// Blank sheets with what is not content; every other one carries a lone mark that is.
Sheet blank_sheet(int dpi, int index, bool near_blank)
{
    using pictures::Side;
    cv::RNG rng(table_seed + static_cast<unsigned>(index * 53 + dpi * 7 + near_blank));
    const cv::Size size(cvRound(8.5 * dpi), cvRound(11.0 * dpi));
    Sheet sheet;
    sheet.page = pictures::blank_paper(size, dpi, index % 2 == 0 ? 1 : 3, rng);
    pictures::ScannedPage& page = sheet.page;
    std::string name = std::to_string(dpi) + (near_blank ? "dpi near-blank" : "dpi blank");
    if (near_blank) {
        static const std::array<const char*, 3> marks{"pagenumber", "pencil", "stamp"};
        name += std::string(" ") + marks[static_cast<std::size_t>(index % 3)];
        if (index % 3 == 0)
            pictures::add_page_number(page, rng);
        else if (index % 3 == 1)
            pictures::add_pencil_note(page, rng);
        else
            pictures::add_stamp(page, rng);
    }
    if (index % 2 == 0) {
        pictures::add_bleed_through(page, drawn_page(dpi, index + 2000, tulo_bench::Layout::one_column),
                                    rng.uniform(0.05, 0.12));
        name += " bleed";
    }
    if (index % 3 != 2) {
        pictures::add_scanner_border(page, index % 2 == 0 ? Side::left : Side::top, rng);
        pictures::add_punch_holes(page, Side::left, rng);
        name += " border holes";
    }
    if (index % 4 == 1) {
        pictures::add_edge_shadow(page, Side::right, rng);
        name += " shadow";
    }
    if (index % 4 == 3)
        compress(page.image, 50);
    sheet.input = in_format(page.image, index);
    sheet.name = name;
    return sheet;
}

Answer run_tulo(const Sheet& sheet)
{
    tulo::PageContent content;
    Answer answer;
    answer.milliseconds = fastest_milliseconds(timing_runs, [&] { content = tulo::find_page_content(sheet.input); });
    answer.box = content.box;
    answer.blank = content.blank;
    answer.confidence = content.confidence;
    answer.trusted = content.confidence >= tulo::min_content_confidence;
    return answer;
}

cv::Mat grey8(const cv::Mat& image)
{
    cv::Mat grey = image;
    if (image.channels() != 1)
        cv::cvtColor(image, grey, cv::COLOR_BGR2GRAY);
    return grey;
}

std::optional<Answer> run_leptonica(const Sheet& sheet)
{
    if (!tulo_bench::have_leptonica())
        return std::nullopt;
    const tulo_bench::LeptonicaPage pix(grey8(sheet.page.image));
    std::optional<cv::Rect> box;
    Answer answer;
    answer.milliseconds = fastest_milliseconds(timing_runs, [&] { box = pix.page_foreground(static_cast<int>(sheet.page.dpi)); });
    answer.box = *box;
    answer.blank = box->empty();
    return answer;
}

bool have_unpaper()
{
    return std::system("unpaper --version > /dev/null 2>&1") == 0;
}

std::optional<Answer> run_unpaper(const Sheet& sheet)
{
    const std::string stem = "/tmp/tulo_bench_unpaper_" + std::to_string(getpid());
    const std::string input = stem + "_in.pgm";
    const std::string output = stem + "_out.pgm";
    cv::imwrite(input, grey8(sheet.page.image));
    const std::string command = "unpaper --overwrite --quiet " + input + " " + output + " > /dev/null 2>&1";
    Answer answer;
    int status = 0;
    answer.milliseconds = tulo_bench::milliseconds_of([&] { status = std::system(command.c_str()); });
    const cv::Mat result = cv::imread(output, cv::IMREAD_GRAYSCALE);
    std::remove(input.c_str());
    std::remove(output.c_str());
    if (status != 0 || result.empty())
        return std::nullopt;
    answer.box = pictures::ink_box(result);
    answer.blank = answer.box.empty();
    return answer;
}

void count(Tally& tally, const Sheet& sheet, const Answer& answer, bool verbose, const char* method)
{
    const cv::Rect& truth = sheet.page.content;
    const int dpi = static_cast<int>(sheet.page.dpi);
    tally.milliseconds.push_back(answer.milliseconds);
    ++tally.pages;
    if (!answer.trusted)
        return;
    ++tally.trusted;
    if (truth.empty()) {
        ++tally.blank_pages;
        tally.blanks_found += answer.blank;
        return;
    }
    tally.false_blanks += answer.blank;
    const double iou = answer.blank ? 0.0 : overlap(answer.box, truth);
    const bool lost = answer.blank || loses_mark(answer.box, truth, dpi);
    tally.lost += lost;
    tally.good += iou >= good_overlap;
    tally.worst = std::min(tally.worst, iou);
    tally.overlap_sum += iou;
    if (verbose && (lost || iou < good_overlap))
        std::printf("  %-10s %-60s IoU %.3f%s confidence %.3f truth %dx%d+%d+%d found %dx%d+%d+%d\n", method,
                    sheet.name.c_str(), iou, lost ? " LOST" : "", answer.confidence, truth.width, truth.height,
                    truth.x, truth.y, answer.box.width, answer.box.height, answer.box.x, answer.box.y);
}

void print_row(const char* method, const Tally& t, const std::vector<double>& ms150, const std::vector<double>& ms300)
{
    const int with_content = t.trusted - t.blank_pages;
    std::printf("| %s | %d of %d | %d of %d | %.3f / %.3f | %d of %d | %d of %d | %d | %.1f / %.1f |\n", method,
                t.trusted, t.pages, t.lost, with_content, with_content > 0 ? t.overlap_sum / with_content : 0.0,
                t.worst, t.good, with_content, t.blanks_found, t.blank_pages, t.false_blanks, median(ms150),
                median(ms300));
}

} // namespace

int main(int argc, char** argv)
{
    int pages_per_dpi = 40;
    bool verbose = false;
    bool unpaper = true;
    std::string only;  // only the sheets whose name holds this
    std::string dump;  // a folder for the sheets' images
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--verbose")
            verbose = true;
        else if (argument == "--no-unpaper")
            unpaper = false;
        else if (argument == "--seed" && i + 1 < argc)
            table_seed = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
        else if (argument == "--only" && i + 1 < argc)
            only = argv[++i];
        else if (argument == "--dump" && i + 1 < argc)
            dump = argv[++i];
        else
            pages_per_dpi = std::max(1, std::atoi(argv[i]));
    }
    unpaper = unpaper && have_unpaper();
    cv::setNumThreads(1);
    const int blanks_per_dpi = std::max(2, pages_per_dpi / 5);
    struct Method {
        const char* name;
        Tally tally;
        std::array<std::vector<double>, 2> milliseconds;
        bool present = true;
    };
    std::array<Method, 3> methods{{{"tulo::find_page_content", {}, {}, true},
                                   {"Leptonica pixFindPageForeground", {}, {}, tulo_bench::have_leptonica()},
                                   {"unpaper (defaults)", {}, {}, unpaper}}};
    for (std::size_t d = 0; d < dpis.size(); ++d) {
        std::vector<Sheet> sheets;
        for (int i = 0; i < pages_per_dpi; ++i)
            sheets.push_back(page_sheet(dpis[d], i));
        for (int i = 0; i < blanks_per_dpi; ++i) {
            sheets.push_back(blank_sheet(dpis[d], i, false));
            sheets.push_back(blank_sheet(dpis[d], i, true));
        }
        for (const Sheet& sheet : sheets) {
            if (sheet.name.find(only) == std::string::npos)
                continue;
            if (!dump.empty())
                cv::imwrite(dump + "/" + sheet.name + ".png", sheet.input);
            const std::array<std::optional<Answer>, 3> answers{
                run_tulo(sheet), methods[1].present ? run_leptonica(sheet) : std::nullopt,
                methods[2].present ? run_unpaper(sheet) : std::nullopt};
            for (std::size_t m = 0; m < methods.size(); ++m)
                if (answers[m]) {
                    count(methods[m].tally, sheet, *answers[m], verbose, methods[m].name);
                    methods[m].milliseconds[d].push_back(answers[m]->milliseconds);
                }
            if (verbose && !answers[0]->trusted)
                std::printf("  untrusted (%.3f): %s\n", answers[0]->confidence, sheet.name.c_str());
        }
    }
    std::printf("| | trusted pages | pages that lose a mark | IoU mean / worst | IoU >= %.2f | blank pages found |"
                " pages wrongly called blank | median ms, 150 / 300 dpi |\n|---|---|---|---|---|---|---|---|\n",
                good_overlap);
    for (const Method& method : methods)
        if (method.present)
            print_row(method.name, method.tally, method.milliseconds[0], method.milliseconds[1]);
    return 0;
}
