// The opsira tool run as a separate process on real files in a temporary directory.
#include "tool_support.hpp"

#include "pictures/page.hpp"

#include <tulo/Opsira.hpp>
#include <tulo/Orientation.hpp>
#include <tulo/Skew.hpp>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <map>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace opsira::testing {
namespace {

// ---------------------------------------------------------------------------------------------
// Just enough JSON to read the tool's lines back: objects, arrays, strings, numbers, literals.
struct Json {
    enum class Type { null, boolean, number, string, array, object } type = Type::null;
    bool boolean = false;
    double number = 0.0;
    std::string string;
    std::vector<Json> items;
    std::map<std::string, Json> fields;

    const Json& operator[](const std::string& key) const { return fields.at(key); }
};

class JsonReader {
public:
    explicit JsonReader(const std::string& text) : text_(text) {}

    Json document()
    {
        Json result = value();
        skip_space();
        if (at_ != text_.size())
            fail("text after the value");
        return result;
    }

private:
    [[noreturn]] void fail(const std::string& why) const
    {
        throw std::runtime_error("bad JSON at " + std::to_string(at_) + ": " + why);
    }
    void skip_space()
    {
        while (at_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[at_])))
            ++at_;
    }
    bool take(char c)
    {
        skip_space();
        if (at_ < text_.size() && text_[at_] == c) {
            ++at_;
            return true;
        }
        return false;
    }
    void expect(char c)
    {
        if (!take(c))
            fail(std::string("expected ") + c);
    }
    bool take_word(const std::string& word)
    {
        if (text_.compare(at_, word.size(), word) != 0)
            return false;
        at_ += word.size();
        return true;
    }
    Json value()
    {
        skip_space();
        Json result;
        if (take('{')) {
            result.type = Json::Type::object;
            for (bool more = !take('}'); more; more = take(',') || (expect('}'), false)) {
                const std::string key = string_body();
                expect(':');
                result.fields[key] = value();
            }
        } else if (take('[')) {
            result.type = Json::Type::array;
            for (bool more = !take(']'); more; more = take(',') || (expect(']'), false))
                result.items.push_back(value());
        } else if (at_ < text_.size() && text_[at_] == '"') {
            result.type = Json::Type::string;
            result.string = string_body();
        } else if (take_word("true") || take_word("false")) {
            result.type = Json::Type::boolean;
            result.boolean = text_[at_ - 1] == 'e' && text_[at_ - 2] == 'u';
        } else if (!take_word("null")) {
            result.type = Json::Type::number;
            result.number = number();
        }
        return result;
    }
    double number()
    {
        const char* begin = text_.c_str() + at_;
        char* end = nullptr;
        const double parsed = std::strtod(begin, &end);
        if (end == begin)
            fail("expected a value");
        at_ += static_cast<std::size_t>(end - begin);
        return parsed;
    }
    std::string string_body()
    {
        expect('"');
        std::string body;
        while (at_ < text_.size() && text_[at_] != '"') {
            const char c = text_[at_++];
            if (static_cast<unsigned char>(c) < 0x20)
                fail("raw control character in a string");
            body += c == '\\' ? escaped() : std::string(1, c);
        }
        expect('"');
        return body;
    }
    std::string escaped()
    {
        const char c = text_.at(at_++);
        const std::string simple = "\"\\/bfnrt";
        const std::string meant = "\"\\/\b\f\n\r\t";
        if (simple.find(c) != std::string::npos)
            return std::string(1, meant[simple.find(c)]);
        if (c != 'u')
            fail("bad escape");
        const unsigned long code = std::stoul(text_.substr(at_, 4), nullptr, 16);
        at_ += 4;
        if (code >= 0x80)
            fail("only ASCII escapes are expected");
        return std::string(1, static_cast<char>(code));
    }

    const std::string& text_;
    std::size_t at_ = 0;
};

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// ---------------------------------------------------------------------------------------------
struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

class OpsiraCli : public ::testing::Test {
protected:
    // Runs the tool in `cwd` (the test's directory by default), capturing its output in files
    // kept outside that directory.
    Outcome run(std::vector<std::string> args, const std::string& cwd = std::string())
    {
        args.insert(args.begin(), OPSIRA_EXE);
        std::vector<char*> argv;
        for (std::string& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        const std::string out_file = io / "stdout";
        const std::string err_file = io / "stderr";
        const std::string dir_name = cwd.empty() ? dir.path().string() : cwd;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addchdir_np(&actions, dir_name.c_str());
        pid_t pid = 0;
        const int spawned = posix_spawn(&pid, OPSIRA_EXE, &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (spawned != 0)
            throw std::runtime_error("cannot start " OPSIRA_EXE);
        int status = 0;
        waitpid(pid, &status, 0);
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, read_bytes(out_file), read_bytes(err_file)};
    }

    std::string image(const std::string& name, const cv::Scalar& tint = cv::Scalar(220, 225, 230))
    {
        return write_scene(dir / name, tint);
    }

    // The mean colour of a written JPEG, to tell which input it came from.
    cv::Scalar mean_of(const std::string& path) const { return cv::mean(cv::imread(path, cv::IMREAD_COLOR)); }

    std::map<std::string, Json> json_by_input(const std::string& out) const
    {
        std::map<std::string, Json> objects;
        for (const std::string& line : lines_of(out)) {
            const Json object = JsonReader(line).document();
            objects[object["input"].string] = object;
        }
        return objects;
    }

    TempDir dir;
    TempDir io;
};

TEST_F(OpsiraCli, HelpAndVersion)
{
    const Outcome help = run({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("Usage: opsira [OPTION]... [INPUT]...\n", 0), 0u);
    EXPECT_NE(help.out.find("--jobs"), std::string::npos);
    EXPECT_EQ(help.err, "");
    const Outcome version = run({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "opsira " TULO_VERSION "\n");
    const std::vector<std::string> kinds = lines_of(run({"--list-kinds"}).out);
    ASSERT_EQ(kinds.size(), 22u);
    EXPECT_EQ(kinds[6].rfind(" 7 threshold ", 0), 0u) << kinds[6];
}

TEST_F(OpsiraCli, AnOutputFolderThatCannotBeMadeIsOneUsageError)
{
    image("a.png");
    image("b.png");
    const Outcome outcome = run({"-o", "a.png/out", "a.png", "b.png"});
    EXPECT_EQ(outcome.status, 2);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err, "opsira: cannot create the output folder \"a.png/out\": Not a directory\n");
}

class OpsiraUsage : public OpsiraCli, public ::testing::WithParamInterface<std::vector<std::string>> {};

TEST_P(OpsiraUsage, ExitsWithTwoAndWritesNothing)
{
    image("a.png");
    std::vector<std::string> args = GetParam();
    args.push_back("a.png");
    const Outcome outcome = run(args);
    EXPECT_EQ(outcome.status, 2);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err.rfind("opsira: ", 0), 0u) << outcome.err;
    EXPECT_NE(outcome.err.find("Try 'opsira --help'"), std::string::npos);
    EXPECT_EQ(file_names(dir.path().string()), std::vector<std::string>{"a.png"});
}

// The messages themselves are checked in-process by the option parsing tests.
INSTANTIATE_TEST_SUITE_P(Lines, OpsiraUsage,
                         ::testing::Values(std::vector<std::string>{"--bogus"}, std::vector<std::string>{"-j", "0"},
                                           std::vector<std::string>{"-k", "greyscale,nonsense"}),
                         [](const auto& info) { return arguments_name(info.param); });

TEST_F(OpsiraCli, WritesTheCatalogueOfEveryImageOfAFolder)
{
    image("in/a.png");
    image("in/b.jpg", cv::Scalar(90, 200, 160));
    write_bytes(dir / "in/notes.txt", "not an image, and not reported");
    const Outcome outcome = run({"-o", "result", "in"});
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(file_names(dir / "result"), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(file_names(dir / "result/a"), catalogue_files());
    EXPECT_EQ(file_names(dir / "result/b"), catalogue_files());
    const std::vector<std::string> lines = lines_of(outcome.out);
    ASSERT_EQ(lines.size(), 2u);
    for (const std::string& line : lines)
        EXPECT_NE(line.find(": threshold "), std::string::npos) << line;
    EXPECT_NE(outcome.out.find("in/a.png: "), std::string::npos);
    EXPECT_NE(outcome.out.find("22 files in result/b/"), std::string::npos);
}

TEST_F(OpsiraCli, SummaryTellsWhatTheWorkspaceFound)
{
    const std::string path = image("a.png");
    const Outcome outcome = run({"-o", "o", "a.png"});
    tulo::Opsira reference(path);
    reference.save_all(dir / "reference-");
    std::ostringstream expected;
    expected << "a.png: threshold " << reference.to_string(reference.threshold_type) << ", edge level "
             << std::lround(reference.threshold_value) << ", angle ";
    EXPECT_EQ(outcome.out.rfind(expected.str(), 0), 0u) << outcome.out;
    EXPECT_NE(outcome.out.find(" " + std::to_string(reference.contours.size()) + " contour"), std::string::npos);
    EXPECT_NE(outcome.out.find(" " + std::to_string(reference.hough_lines.size()) + " segment"), std::string::npos);
}

TEST_F(OpsiraCli, RunsOnTheBundledSamplesWithoutInput)
{
    const Outcome outcome = run({"-q", "-k", "original", "-o", dir / "samples"}, io.path().string());
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(file_names(dir / "samples"), (std::vector<std::string>{"page", "shapes"}));
    EXPECT_EQ(file_names(dir / "samples/page"), std::vector<std::string>{"01_original.jpg"});
}

TEST_F(OpsiraCli, WritesIntoOutByDefault)
{
    image("a.png");
    EXPECT_EQ(run({"-q", "-k", "angle_corrected", "a.png"}).status, 0);
    EXPECT_EQ(file_names(dir / "out/a"), std::vector<std::string>{"15_angle_corrected.jpg"});
}

// A photograph of sorts: soft light, round shapes and grain, no rows of anything.
std::string write_photo(const std::string& path)
{
    cv::Mat image(300, 400, CV_8UC3);
    for (int y = 0; y < image.rows; ++y)
        image.row(y).setTo(cv::Scalar(90 + y / 3, 140, 200 - y / 4));
    cv::circle(image, cv::Point(120, 150), 70, cv::Scalar(40, 90, 160), cv::FILLED);
    cv::circle(image, cv::Point(290, 110), 50, cv::Scalar(210, 200, 120), cv::FILLED);
    cv::GaussianBlur(image, image, cv::Size(0, 0), 6);
    cv::Mat grain(image.size(), CV_8UC3);
    cv::randn(grain, cv::Scalar::all(0), cv::Scalar::all(6));
    image += grain;
    cv::imwrite(path, image);
    return path;
}

TEST_F(OpsiraCli, DeskewLevelsAPageAndLeavesAPhotoAlone)
{
    const std::string photo = write_photo(dir / "photo.jpg");
    const Outcome outcome = run({"--json", "--deskew", "-o", "o", TULO_DATA_DIR "/page.png", "photo.jpg"});
    ASSERT_EQ(outcome.status, 0) << outcome.err;
    const auto objects = json_by_input(outcome.out);
    const Json& page = objects.at(TULO_DATA_DIR "/page.png");
    // The page was drawn level and turned 4 degrees counter-clockwise: it needs 4 back.
    EXPECT_TRUE(page["deskewed"].boolean);
    EXPECT_NEAR(page["correction_angle"].number, -4.0, 0.1);
    EXPECT_GE(page["skew_confidence"].number, tulo::min_skew_confidence);
    EXPECT_EQ(page["output"].string, "o/page.png");
    const cv::Mat levelled = cv::imread(dir / "o/page.png", cv::IMREAD_UNCHANGED);
    EXPECT_EQ(levelled.size(), cv::imread(TULO_DATA_DIR "/page.png").size());
    EXPECT_EQ(read_bytes(dir / "o/page.png").substr(1, 3), "PNG") << "the input's format";

    EXPECT_FALSE(objects.at("photo.jpg")["deskewed"].boolean);
    EXPECT_EQ(read_bytes(dir / "o/photo.jpg"), read_bytes(photo)) << "written unchanged";

    ASSERT_EQ(run({"-q", "--deskew", "--expand", "-o", "big", TULO_DATA_DIR "/page.png"}).status, 0);
    EXPECT_GT(cv::imread(dir / "big/page.png").cols, levelled.cols) << "the canvas holds the whole page";
}

// A page lying past a quarter turn needs the turn back and a few degrees more: orientation first.
TEST_F(OpsiraCli, OrientAndDeskewStandAPageUprightFromPastAQuarterTurnAndLeaveAPhotoAlone)
{
    tulo::pictures::PageCase page;
    page.angle = 97.0;
    cv::imwrite(dir / "turned.png", tulo::pictures::render_page(page));
    const std::string photo = write_photo(dir / "photo.jpg");
    const Outcome outcome = run({"--json", "--orient", "--deskew", "-o", "o", "turned.png", "photo.jpg"});
    ASSERT_EQ(outcome.status, 0) << outcome.err;
    const auto objects = json_by_input(outcome.out);
    const Json& turned = objects.at("turned.png");
    EXPECT_TRUE(turned["oriented"].boolean);
    EXPECT_EQ(turned["orientation"].number, 270.0) << "a clockwise quarter turn";
    EXPECT_GE(turned["orientation_confidence"].number, tulo::min_orientation_confidence);
    EXPECT_NEAR(turned["correction_angle"].number, -7.0, 0.2);
    const cv::Mat upright = cv::imread(dir / "o/turned.png", cv::IMREAD_UNCHANGED);
    EXPECT_EQ(upright.size(), tulo::pictures::paper_size(page.paper, page.dpi)) << "portrait again";
    const tulo::OrientationEstimate again = tulo::estimate_orientation(upright);
    EXPECT_EQ(again.correction, 0);
    EXPECT_GE(again.confidence, tulo::min_orientation_confidence);

    const Json& still = objects.at("photo.jpg");
    EXPECT_FALSE(still["oriented"].boolean);
    EXPECT_LT(still["orientation_confidence"].number, tulo::min_orientation_confidence);
    EXPECT_EQ(read_bytes(dir / "o/photo.jpg"), read_bytes(photo)) << "neither turned nor re-encoded";
}

TEST_F(OpsiraCli, CropCutsAPageToItsContentAndCopiesABlankPage)
{
    tulo::pictures::PageCase page;
    page.seed = 5;
    cv::imwrite(dir / "page.png", tulo::pictures::render_page(page));
    cv::Mat paper(tulo::pictures::paper_size(page.paper, page.dpi), CV_8UC1);
    cv::randn(paper, cv::Scalar(232), cv::Scalar(4));
    cv::imwrite(dir / "blank.png", paper);
    const Outcome outcome = run({"--json", "--crop", "--margin", "6", "-o", "o", "page.png", "blank.png"});
    ASSERT_EQ(outcome.status, 0) << outcome.err;
    const auto objects = json_by_input(outcome.out);

    const Json& cut = objects.at("page.png");
    EXPECT_FALSE(cut["blank"].boolean);
    ASSERT_EQ(cut["content_box"].items.size(), 4u);
    const cv::Rect box(int(cut["content_box"].items[0].number), int(cut["content_box"].items[1].number),
                       int(cut["content_box"].items[2].number), int(cut["content_box"].items[3].number));
    const cv::Rect ink = tulo::pictures::ink_box(page);
    EXPECT_EQ(box & ink, ink) << "no mark cut off";
    EXPECT_LT(box.area(), 1.1 * ink.area()) << "nothing but the content";
    EXPECT_EQ(cv::imread(dir / "o/page.png").size(), box.size() + cv::Size(12, 12));

    const Json& blank = objects.at("blank.png");
    EXPECT_TRUE(blank["blank"].boolean);
    EXPECT_EQ(read_bytes(dir / "o/blank.png"), read_bytes(dir / "blank.png")) << "copied, not re-encoded";
    const Outcome summary = run({"--crop", "-o", "p", "page.png", "blank.png"});
    EXPECT_EQ(summary.out.substr(summary.out.rfind('\n', summary.out.size() - 2) + 1), "2 images, 1 blank\n");
}

// A file the tool must refuse; shown in the log by its name only.
struct Refused {
    std::string name;
    std::string bytes;
    std::string reason;
};

void PrintTo(const Refused& file, std::ostream* out) { *out << file.name; }

class BadFile : public OpsiraCli, public ::testing::WithParamInterface<Refused> {};

TEST_P(BadFile, IsReportedAndTheOthersAreStillWritten)
{
    const auto& [name, bytes, reason] = GetParam();
    image("in/good1.png");
    image("in/good2.jpg");
    if (name != "in/missing.png")
        write_bytes(dir / name, bytes);
    const Outcome outcome = run({"-o", "o", "in", name});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(file_names(dir / "o/good1"), catalogue_files());
    EXPECT_EQ(file_names(dir / "o/good2"), catalogue_files());
    EXPECT_NE(outcome.err.find("opsira: " + name + ": " + reason + "\n"), std::string::npos) << outcome.err;
    for (const std::string& line : lines_of(outcome.err))
        EXPECT_EQ(line.rfind("opsira: ", 0), 0u) << "a library spoke: " << line;
    EXPECT_EQ(lines_of(outcome.out).size(), 2u) << "one summary per good image";
    EXPECT_EQ(file_names(dir / "o").size(), 2u) << "no folder for the bad file";
}

std::string jpeg_bytes()
{
    std::vector<uchar> bytes;
    cv::imencode(".jpg", scene(cv::Scalar(1, 2, 3)), bytes);
    return std::string(bytes.begin(), bytes.end());
}

std::string png_bytes()
{
    std::vector<uchar> bytes;
    cv::imencode(".png", scene(cv::Scalar(1, 2, 3)), bytes);
    return std::string(bytes.begin(), bytes.end());
}

const std::string not_decodable = "damaged, or not an image OpenCV can decode";

// A valid PNG whose header says 20000 x 20000.
std::string huge_png_bytes()
{
    std::string bytes = png_bytes();
    bytes.replace(16, 8, std::string("\x00\x00\x4e\x20\x00\x00\x4e\x20", 8));
    return bytes;
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, BadFile,
    ::testing::Values(
        Refused{"bad/random.png", "\x89PNG\r\n\x1a\n garbage that is no PNG", not_decodable},
        Refused{"bad/text.jpg", "Just some text.\n", not_decodable},
        Refused{"bad/empty.png", "", "empty file"},
        Refused{"bad/huge.png", huge_png_bytes(), "image of 400000000 pixels, over the limit of 268435456 pixels"},
        Refused{"bad/cut.png", png_bytes().substr(0, png_bytes().size() / 2), not_decodable},
        Refused{"bad/cut.jpg", jpeg_bytes().substr(0, jpeg_bytes().size() / 2), not_decodable},
        Refused{"in/missing.png", "", "cannot open: No such file or directory"}),
    [](const auto& info) { return parameter_name(info.param.name); });

TEST_F(OpsiraCli, SameStemsNeverOverwriteEachOther)
{
    image("a/x.png", cv::Scalar(0, 0, 200));
    image("b/x.png", cv::Scalar(200, 0, 0));
    image("c/x.bmp", cv::Scalar(0, 200, 0));
    for (int round = 0; round < 2; ++round) {
        const Outcome outcome = run({"-q", "-k", "original", "-o", "o", "a/x.png", "b/x.png", "c/x.bmp"});
        ASSERT_EQ(outcome.status, 0) << outcome.err;
        EXPECT_EQ(file_names(dir / "o"), (std::vector<std::string>{"x", "x-2", "x-3"})) << "round " << round;
    }
    EXPECT_GT(mean_of(dir / "o/x/01_original.jpg")[2], 100);
    EXPECT_GT(mean_of(dir / "o/x-2/01_original.jpg")[0], 100);
    EXPECT_GT(mean_of(dir / "o/x-3/01_original.jpg")[1], 100);
}

TEST_F(OpsiraCli, NeverWritesToAnInput)
{
    const std::string input = image("o/01_original/01_original.jpg");
    const std::string before = read_bytes(input);
    const Outcome outcome = run({"-q", "-k", "original", "-o", "o", input});
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(read_bytes(input), before);
    EXPECT_EQ(file_names(dir / "o/01_original-2"), std::vector<std::string>{"01_original.jpg"});
}

class KindSelection : public OpsiraCli,
                      public ::testing::WithParamInterface<std::pair<std::vector<std::string>, std::vector<std::string>>> {
};

TEST_P(KindSelection, SavesOnlyTheChosenKinds)
{
    image("a.png");
    std::vector<std::string> args = GetParam().first;
    args.insert(args.end(), {"-q", "-o", "o", "a.png"});
    const Outcome outcome = run(args);
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(file_names(dir / "o/a"), GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(
    Lists, KindSelection,
    ::testing::Values(
        std::make_pair(std::vector<std::string>{"-k", "greyscale,7"},
                       std::vector<std::string>{"02_greyscale.jpg", "07_threshold.jpg"}),
        std::make_pair(std::vector<std::string>{"--kinds", " threshold_dog , 1"},
                       std::vector<std::string>{"01_original.jpg", "22_threshold_dog.jpg"}),
        std::make_pair(std::vector<std::string>{"-k", "2", "-k", "greyscale"}, std::vector<std::string>{"02_greyscale.jpg"}),
        std::make_pair(std::vector<std::string>{"--format", "png", "-k", "1,7"},
                       std::vector<std::string>{"01_original.png", "07_threshold.png"}),
        std::make_pair(std::vector<std::string>{"--format=tif", "-k", "7"}, std::vector<std::string>{"07_threshold.tif"})),
    [](const auto& info) { return arguments_name(info.param.first); });

TEST_F(OpsiraCli, PngKeepsAThresholdMaskTwoLevelled)
{
    image("a.png");
    ASSERT_EQ(run({"-q", "--format", "png", "-k", "threshold", "-o", "o", "a.png"}).status, 0);
    const cv::Mat mask = cv::imread(dir / "o/a/07_threshold.png", cv::IMREAD_UNCHANGED);
    ASSERT_EQ(mask.type(), CV_8UC1);
    const int set = cv::countNonZero(mask == 255);
    EXPECT_GT(set, 0);
    EXPECT_EQ(set + cv::countNonZero(mask == 0), static_cast<int>(mask.total()));
}

TEST_F(OpsiraCli, ARunReplacesTheFolderWhole)
{
    image("a.png");
    ASSERT_EQ(run({"-q", "-o", "o", "a.png"}).status, 0);
    ASSERT_EQ(run({"-q", "-k", "greyscale", "-o", "o", "a.png"}).status, 0);
    EXPECT_EQ(file_names(dir / "o"), std::vector<std::string>{"a"}) << "no staging folder left";
    EXPECT_EQ(file_names(dir / "o/a"), std::vector<std::string>{"02_greyscale.jpg"}) << "no file of the first run";
}

TEST_F(OpsiraCli, ResumeSkipsOnlyCompleteFolders)
{
    image("a.png", cv::Scalar(0, 0, 200));
    image("b.png");
    ASSERT_EQ(run({"-q", "-k", "1,2", "-o", "o", "a.png", "b.png"}).status, 0);
    image("a.png", cv::Scalar(200, 0, 0));
    image("b.png", cv::Scalar(200, 0, 0));
    fs::remove(dir / "o/b/02_greyscale.jpg");
    const Outcome outcome = run({"--resume", "--json", "-k", "1,2", "-o", "o", "a.png", "b.png"});
    ASSERT_EQ(outcome.status, 0) << outcome.err;
    const auto objects = json_by_input(outcome.out);
    EXPECT_TRUE(objects.at("a.png")["skipped"].boolean);
    EXPECT_FALSE(objects.at("b.png")["skipped"].boolean);
    EXPECT_GT(mean_of(dir / "o/a/01_original.jpg")[2], 100) << "the complete folder is left alone";
    EXPECT_GT(mean_of(dir / "o/b/01_original.jpg")[0], 100) << "the incomplete one is written again";
    EXPECT_EQ(file_names(dir / "o/b"), (std::vector<std::string>{"01_original.jpg", "02_greyscale.jpg"}));
}

TEST_F(OpsiraCli, MosaicOfAListIsMadeLast)
{
    image("a.png");
    ASSERT_EQ(run({"-q", "-k", "16,2", "-o", "o", "a.png"}).status, 0);
    // Two 200 x 150 tiles side by side with one-pixel lines around them.
    EXPECT_EQ(cv::imread(dir / "o/a/16_mosaic.jpg").size(), cv::Size(403, 152));
}

TEST_F(OpsiraCli, JsonLinesReadBack)
{
    const std::string odd = "in/we\"ird\\na\tme.png";
    image("in/plain.png");
    image(odd);
    write_bytes(dir / "in/broken.png", "broken");
    const Outcome outcome = run({"--json", "-o", "o", "in"});
    EXPECT_EQ(outcome.status, 1);
    const auto objects = json_by_input(outcome.out);
    ASSERT_EQ(objects.size(), 3u) << outcome.out;

    const Json& broken = objects.at("in/broken.png");
    EXPECT_FALSE(broken["ok"].boolean);
    EXPECT_EQ(broken["error"].string, not_decodable);
    EXPECT_TRUE(broken["files"].items.empty());
    EXPECT_EQ(broken["correction_angle"].type, Json::Type::null);

    tulo::Opsira reference(dir / "in/plain.png");
    reference.save_all(dir / "reference-");
    for (const std::string& input : {std::string("in/plain.png"), odd}) {
        const Json& object = objects.at(input);
        EXPECT_TRUE(object["ok"].boolean);
        EXPECT_EQ(object["error"].type, Json::Type::null);
        EXPECT_EQ(object["threshold_method"].string, reference.to_string(reference.threshold_type));
        EXPECT_EQ(object["threshold_value"].number, reference.threshold_value);
        EXPECT_EQ(object["correction_angle"].number, reference.correction_angle);
        EXPECT_EQ(object["contours"].number, static_cast<double>(reference.contours.size()));
        EXPECT_EQ(object["segments"].number, static_cast<double>(reference.hough_lines.size()));
        ASSERT_EQ(object["files"].items.size(), 22u);
        for (const Json& file : object["files"].items)
            EXPECT_TRUE(fs::exists(dir / file.string)) << file.string;
        EXPECT_GE(object["seconds"].number, 0.0);
    }
    EXPECT_EQ(objects.at(odd)["output"].string, "o/we\"ird\\na\tme/");
}

TEST_F(OpsiraCli, MoreImagesThanJobsGiveTheSameFiles)
{
    std::vector<std::string> inputs;
    for (int i = 0; i < 5; ++i)
        inputs.push_back(image("in/i" + std::to_string(i) + ".png", cv::Scalar(100 + 30 * i, 180, 220)));
    std::vector<std::string> serial = {"-q", "-j", "1", "-o", "serial"};
    std::vector<std::string> parallel = {"-q", "--json", "--jobs=2", "-o", "parallel"};
    serial.insert(serial.end(), inputs.begin(), inputs.end());
    parallel.insert(parallel.end(), inputs.begin(), inputs.end());
    ASSERT_EQ(run(serial).status, 0);
    const Outcome outcome = run(parallel);
    ASSERT_EQ(outcome.status, 0);
    const std::vector<std::string> lines = lines_of(outcome.out);
    ASSERT_EQ(lines.size(), inputs.size()) << "quiet keeps the JSON";
    for (std::size_t i = 0; i < lines.size(); ++i)
        EXPECT_EQ(JsonReader(lines[i]).document()["input"].string, inputs[i]) << "in input order";
    for (int i = 0; i < 5; ++i) {
        const std::string stem = "/i" + std::to_string(i);
        ASSERT_EQ(file_names(dir / ("parallel" + stem)), catalogue_files());
        for (const std::string& file : catalogue_files())
            EXPECT_EQ(read_bytes(dir / ("serial" + stem + "/" + file)), read_bytes(dir / ("parallel" + stem + "/" + file)))
                << stem << "/" << file;
    }
}

TEST_F(OpsiraCli, QuietKeepsOnlyErrors)
{
    image("a.png");
    const Outcome fine = run({"-q", "-k", "1", "a.png"});
    EXPECT_EQ(fine.status, 0);
    EXPECT_EQ(fine.out + fine.err, "");
    const Outcome failed = run({"-q", "-k", "1", "a.png", "gone.png"});
    EXPECT_EQ(failed.status, 1);
    EXPECT_EQ(failed.out, "");
    EXPECT_EQ(failed.err, "opsira: gone.png: cannot open: No such file or directory\n");
}

TEST_F(OpsiraCli, RecursesOnlyWhenAskedAndNotIntoItsOutput)
{
    image("in/top.PNG");
    image("in/sub/deep.png");
    ASSERT_EQ(run({"-q", "-k", "1", "-o", "flat", "in"}).status, 0);
    EXPECT_EQ(file_names(dir / "flat"), std::vector<std::string>{"top"});
    for (int round = 0; round < 2; ++round)
        ASSERT_EQ(run({"-q", "-r", "-k", "1", "-o", "in/out", "in"}).status, 0);
    EXPECT_EQ(file_names(dir / "in/out"), (std::vector<std::string>{"deep", "top"}));
}

TEST_F(OpsiraCli, AFolderWithoutImagesIsAnError)
{
    write_bytes(dir / "in/readme.txt", "nothing here");
    const Outcome outcome = run({"in"});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.err, "opsira: no images found in \"in\"\n");
}

TEST(SampleImages, AreWhatTheGeneratorDraws)
{
    const TempDir dir;
    const std::string command = std::string(OPSIRA_MAKE_SAMPLES_EXE) + " " + dir.path().string();
    ASSERT_EQ(std::system(command.c_str()), 0);
    for (const std::string name : {"page.png", "shapes.png"})
        EXPECT_MAT_EQ(cv::imread(dir / name), cv::imread(TULO_DATA_DIR "/" + name)) << name;
}

} // namespace
} // namespace opsira::testing
