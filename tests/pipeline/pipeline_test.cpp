// The page pipeline in-process. Built with TULO_SANITIZE=thread, the pool tests are the
// ThreadSanitizer check that workspaces on parallel workers share nothing.
#include "tools/tool_support.hpp"

#include <tulo/PipelineOptions.hpp>
#include <tulo/PipelinePlan.hpp>
#include <tulo/PipelineReport.hpp>

#include <atomic>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

namespace opsira {
namespace {

using namespace tulo::pipeline;

using testing::TempDir;
using testing::catalogue_files;
using testing::file_names;
using testing::read_bytes;
using testing::write_bytes;
using testing::write_scene;

// ---------------------------------------------------------------------------------------------
class WorkerPool : public ::testing::Test {
protected:
    // Seven images of different tints, a corrupt one and a missing one, planned into `out`.
    std::vector<Task> tasks_into(const std::string& out) const
    {
        std::vector<std::string> files;
        for (int i = 0; i < 7; ++i)
            files.push_back(write_scene(dir / ("in/img" + std::to_string(i) + ".png"), cv::Scalar(120 + 15 * i, 200, 230)));
        write_bytes(dir / "in/corrupt.png", "not a picture at all");
        files.push_back(dir / "in/corrupt.png");
        files.push_back(dir / "in/missing.png");
        return plan_tasks(files, dir / out);
    }

    // Runs the pool and returns the reports by input, checking that callbacks never overlap.
    std::map<std::string, Report> run_pool(const std::vector<Task>& tasks, unsigned jobs, std::size_t& failed)
    {
        std::map<std::string, Report> reports;
        std::atomic<bool> inside{false};
        failed = run(tasks, Job{}, jobs, [](std::size_t, double) {}, [&](std::size_t, const Report& report) {
            EXPECT_FALSE(inside.exchange(true)) << "two callbacks at once";
            reports.emplace(report.input, report);
            inside = false;
        });
        return reports;
    }

    TempDir dir;
};

TEST_F(WorkerPool, ParallelWorkersGiveWhatOneWorkerGives)
{
    const std::vector<Task> one_tasks = tasks_into("one");
    const std::vector<Task> many_tasks = tasks_into("many");
    std::size_t one_failed = 0;
    std::size_t many_failed = 0;
    const auto one = run_pool(one_tasks, 1, one_failed);
    const auto many = run_pool(many_tasks, 3, many_failed);

    ASSERT_EQ(one.size(), one_tasks.size());
    ASSERT_EQ(many.size(), many_tasks.size());
    EXPECT_EQ(one_failed, 2u);
    EXPECT_EQ(many_failed, 2u);
    for (const auto& [input, first] : one) {
        const Report& second = many.at(input);
        EXPECT_EQ(first.error, second.error) << input;
        EXPECT_EQ(first.threshold_method, second.threshold_method) << input;
        EXPECT_EQ(first.threshold_value, second.threshold_value) << input;
        EXPECT_EQ(first.correction_angle, second.correction_angle) << input;
        EXPECT_EQ(first.contours, second.contours) << input;
        EXPECT_EQ(first.segments, second.segments) << input;
        ASSERT_EQ(first.files.size(), second.files.size()) << input;
        for (std::size_t i = 0; i < first.files.size(); ++i)
            EXPECT_EQ(read_bytes(first.files[i]), read_bytes(second.files[i])) << first.files[i];
    }
}

TEST_F(WorkerPool, EveryImageIsWrittenWhateverTheNumberOfWorkers)
{
    for (const unsigned jobs : {0u, 2u, 16u}) {
        const std::string out = "jobs" + std::to_string(jobs);
        std::size_t failed = 0;
        const auto reports = run_pool(tasks_into(out), jobs, failed);
        EXPECT_EQ(failed, 2u);
        for (int i = 0; i < 7; ++i)
            EXPECT_EQ(file_names(dir / (out + "/img" + std::to_string(i))), catalogue_files()) << jobs << " jobs";
        EXPECT_TRUE(file_names(dir / (out + "/corrupt")).empty()) << "no folder for an image that failed";
    }
}

TEST_F(WorkerPool, ReportsTheAnalysesThatRan)
{
    const std::string image = write_scene(dir / "a.png");
    std::vector<double> shares;
    const Report full = process({image, dir / "full/"}, Job{}, [&](double share) { shares.push_back(share); });
    tulo::Opsira reference(image);
    reference.save_all(dir / "reference-");
    ASSERT_TRUE(full.ok()) << full.error;
    EXPECT_EQ(full.threshold_method, reference.to_string(reference.threshold_type));
    EXPECT_EQ(full.threshold_value, reference.threshold_value);
    EXPECT_EQ(full.correction_angle, reference.correction_angle);
    EXPECT_EQ(full.contours, reference.contours.size());
    EXPECT_EQ(full.segments, reference.hough_lines.size());
    EXPECT_GT(shares.size(), 20u) << "progress is told per kind";
    EXPECT_TRUE(std::is_sorted(shares.begin(), shares.end()));
    EXPECT_EQ(shares.back(), 1.0);
    EXPECT_LT(shares[shares.size() - 2], 1.0) << "finished only at the last kind";

    const Report grey = process({image, dir / "grey/"}, Job{{Kind::greyscale}});
    EXPECT_EQ(grey.files, std::vector<std::string>{dir / "grey/02_greyscale.jpg"});
    EXPECT_FALSE(grey.threshold_method || grey.threshold_value || grey.correction_angle || grey.contours ||
                 grey.segments);
}

// ---------------------------------------------------------------------------------------------
class Planning : public ::testing::Test {
protected:
    std::vector<std::string> dirs_for(const std::vector<std::string>& files)
    {
        std::vector<std::string> dirs;
        for (const Task& task : plan_tasks(files, dir / "out"))
            dirs.push_back(task.output);
        return dirs;
    }
    TempDir dir;
};

TEST_F(Planning, SameStemsGetNumberedFolders)
{
    EXPECT_EQ(dirs_for({dir / "a/x.png", dir / "b/x.jpg", dir / "y.png", dir / "c/x.tif"}),
              (std::vector<std::string>{dir / "out/x/", dir / "out/x-2/", dir / "out/y/", dir / "out/x-3/"}));
}

TEST_F(Planning, AFolderHoldingAnInputIsNotUsed)
{
    EXPECT_EQ(dirs_for({dir / "out/p/p.png"}), std::vector<std::string>{dir / "out/p-2/"});
    EXPECT_EQ(dirs_for({dir / "out/p/../p/p.png"}), std::vector<std::string>{dir / "out/p-2/"});
}

TEST_F(Planning, FlatOutputsKeepTheirNamesAndNeverTakeAnInputs)
{
    std::vector<std::string> outputs;
    for (const Task& task : plan_files({dir / "a/x.png", dir / "b/x.png", dir / "out/y.jpg"}, dir / "out"))
        outputs.push_back(task.output);
    EXPECT_EQ(outputs, (std::vector<std::string>{dir / "out/x.png", dir / "out/x-2.png", dir / "out/y-2.jpg"}));
}

TEST_F(Planning, DirectoriesGiveTheirImagesInNameOrder)
{
    for (const std::string name : {"b.png", "A.JPG", "c.Tiff", "notes.txt", "sub/d.png", "e"})
        write_bytes(dir / ("in/" + name), "x");
    const Inputs flat = collect_inputs({dir / "in", dir / "loose.bmp"}, false, dir / "out");
    EXPECT_EQ(flat.files, (std::vector<std::string>{dir / "in/A.JPG", dir / "in/b.png", dir / "in/c.Tiff",
                                                    dir / "loose.bmp"}));
    const Inputs deep = collect_inputs({dir / "in"}, true, dir / "in/sub");
    EXPECT_EQ(deep.files.size(), 3u) << "the output folder is not searched";
    EXPECT_EQ(collect_inputs({dir / "in"}, true, dir / "out").files.size(), 4u);
}

TEST(ImageExtension, IgnoresLetterCase)
{
    for (const std::string name : {"a.png", "a.PNG", "b.Jpeg", "c.tif", "d.TIFF", "e.webp", "f.pgm", "g.bmp"})
        EXPECT_TRUE(has_image_extension(name)) << name;
    for (const std::string name : {"a.txt", "png", "a.png.bak", ".png", "a"})
        EXPECT_FALSE(has_image_extension(name)) << name;
}

// ---------------------------------------------------------------------------------------------
class OptionParsing : public ::testing::TestWithParam<std::vector<std::string>> {};

TEST_P(OptionParsing, ShortLongAndJoinedFormsAgree)
{
    const Options options = parse_options(GetParam());
    EXPECT_EQ(options.out_root, "dir");
    EXPECT_EQ(options.jobs, 3u);
    EXPECT_TRUE(options.recursive);
    EXPECT_TRUE(options.quiet);
    EXPECT_EQ(options.kinds, (std::vector<Kind>{Kind::greyscale, Kind::threshold}));
    EXPECT_EQ(options.inputs, (std::vector<std::string>{"a.png", "-", "-k"}));
}

const char* const form_names[] = {"separate", "long", "joined", "bundled"};

INSTANTIATE_TEST_SUITE_P(
    Forms, OptionParsing,
    ::testing::Values(std::vector<std::string>{"-o", "dir", "-j", "3", "-r", "-q", "-k", "2,7", "a.png", "-", "--", "-k"},
                      std::vector<std::string>{"--out", "dir", "--jobs", "3", "--recursive", "--quiet", "--kinds",
                                               "threshold,greyscale", "a.png", "-", "--", "-k"},
                      std::vector<std::string>{"a.png", "--out=dir", "--jobs=3", "-rq", "-kgreyscale", "-k", "7",
                                               "-", "--", "-k"},
                      std::vector<std::string>{"-rqodir", "-j3", "--kinds= 7 , 2,", "a.png", "-", "--", "-k"}),
    [](const auto& info) { return form_names[info.index]; });

TEST(ReportOrder, FollowsTheIndicesWhateverOrderTheReportsCome)
{
    std::vector<std::string> delivered;
    InOrder<Report> in_order([&](const Report& report) { delivered.push_back(report.input); });
    for (const std::size_t index : {2u, 0u, 3u, 1u}) {
        Report report;
        report.input = std::to_string(index);
        in_order.add(index, report);
        if (index == 2u) {
            EXPECT_TRUE(delivered.empty()) << "held until 0 and 1 are in";
        }
    }
    EXPECT_EQ(delivered, (std::vector<std::string>{"0", "1", "2", "3"}));
}

TEST(ProgressBar, CountsFinishedImagesAndTheSharesUnderWay)
{
    Progress progress(4);
    EXPECT_EQ(progress.bar(), "[..............................] 0/4");
    progress.advance(1, 0.5);
    progress.finish(0);
    EXPECT_EQ(progress.bar(), "[###########...................] 1/4");  // 1.5 of 4 images
    progress.finish(1);
    EXPECT_EQ(progress.bar(), "[###############...............] 2/4") << "a finished image's share is not counted twice";
}

struct StagedName {
    std::string test_name;
    std::string entry;
    std::vector<std::string> places;
};

class StagingNames : public ::testing::TestWithParam<StagedName> {};

TEST_P(StagingNames, TellTheirPlaces)
{
    EXPECT_EQ(staged_places(GetParam().entry), GetParam().places);
}

INSTANTIATE_TEST_SUITE_P(
    Names, StagingNames,
    ::testing::Values(StagedName{"File", ".page.tmp-41-0.png", {"page.png"}},
                      StagedName{"Folder", ".page.tmp-41-12", {"page"}},
                      StagedName{"FolderMovedAside", ".page.tmp-41-0.old", {"page.old", "page"}},
                      StagedName{"MarkInTheStem", ".a.tmp-1-2.tmp-3-4.png", {"a.tmp-1-2.png"}},
                      StagedName{"NotHidden", "page.tmp-41-0.png", {}},
                      StagedName{"NoSerial", ".page.tmp-41-.png", {}},
                      StagedName{"AnOutput", "page.png", {}}),
    [](const auto& info) { return info.param.test_name; });

TEST(KindList, SortsAndPutsTheMosaicLast)
{
    EXPECT_EQ(parse_kinds("mosaic,22,original,2,greyscale"),
              (std::vector<Kind>{Kind::original, Kind::greyscale, Kind::threshold_dog, Kind::mosaic}));
}

TEST(DeskewOptions, CarryTheirSettings)
{
    const Options plain = parse_options({"--deskew"});
    ASSERT_TRUE(plain.deskew);
    EXPECT_EQ(plain.deskew->max_angle, 45.0);
    EXPECT_EQ(plain.deskew->min_confidence, tulo::min_skew_confidence);
    EXPECT_EQ(plain.deskew->canvas, tulo::DeskewCanvas::same_size);
    const Options set = parse_options({"--expand", "--max-angle=12.5", "--deskew", "--min-confidence", "0"});
    ASSERT_TRUE(set.deskew);
    EXPECT_EQ(set.deskew->max_angle, 12.5);
    EXPECT_EQ(set.deskew->min_confidence, 0.0);
    EXPECT_EQ(set.deskew->canvas, tulo::DeskewCanvas::expand);
    EXPECT_FALSE(parse_options({}).deskew);
}

class BadCommandLine : public ::testing::TestWithParam<std::pair<std::vector<std::string>, std::string>> {};

TEST_P(BadCommandLine, IsAUsageError)
{
    EXPECT_THROW_MSG(parse_options(GetParam().first), UsageError, GetParam().second);
}

const std::string see_kinds = " (opsira --list-kinds shows them all)";

INSTANTIATE_TEST_SUITE_P(
    Lines, BadCommandLine,
    ::testing::Values(
        std::make_pair(std::vector<std::string>{"--bogus"}, "unknown option \"--bogus\""),
        std::make_pair(std::vector<std::string>{"-rx"}, "unknown option \"-x\""),
        std::make_pair(std::vector<std::string>{"-o"}, "option \"-o\" needs a value"),
        std::make_pair(std::vector<std::string>{"--out="}, "the output directory must not be empty"),
        std::make_pair(std::vector<std::string>{"--json=yes"}, "option \"--json\" takes no value"),
        std::make_pair(std::vector<std::string>{"-j", "0"},
                       "invalid number of jobs \"0\": give a whole number from 1 to 4096"),
        std::make_pair(std::vector<std::string>{"--jobs=-2"},
                       "invalid number of jobs \"-2\": give a whole number from 1 to 4096"),
        std::make_pair(std::vector<std::string>{"-k", "Greyscale"}, "unknown kind \"Greyscale\"" + see_kinds),
        std::make_pair(std::vector<std::string>{"-k", "0"}, "unknown kind \"0\"" + see_kinds),
        std::make_pair(std::vector<std::string>{"-k", "23"}, "unknown kind \"23\"" + see_kinds),
        std::make_pair(std::vector<std::string>{"-k", "max"}, "unknown kind \"max\"" + see_kinds),
        std::make_pair(std::vector<std::string>{"--kinds", " , "}, "no kinds given" + see_kinds),
        std::make_pair(std::vector<std::string>{"-k", ""}, "no kinds given" + see_kinds),
        std::make_pair(std::vector<std::string>{"--format", "bmp"}, "unknown format \"bmp\": give jpg, png or tif"),
        std::make_pair(std::vector<std::string>{"--deskew", "-k", "1"},
                       "--deskew writes one levelled copy of each image and takes no --kinds"),
        std::make_pair(std::vector<std::string>{"--format=png", "--deskew"},
                       "--deskew keeps the format of each image and takes no --format"),
        std::make_pair(std::vector<std::string>{"--expand"}, "option \"--expand\" goes only with --deskew"),
        std::make_pair(std::vector<std::string>{"--deskew", "--max-angle", "50"},
                       "invalid angle \"50\": give degrees above 0 and up to 45"),
        std::make_pair(std::vector<std::string>{"--deskew", "--min-confidence=-1"},
                       "invalid confidence \"-1\": give a number of 0 or more"),
        std::make_pair(std::vector<std::string>{"--dpi", "2401"},
                       "invalid resolution \"2401\": give dots per inch above 0 and up to 2400")),
    [](const auto& info) { return testing::arguments_name(info.param.first); });

// ---------------------------------------------------------------------------------------------
// The options table writes --help; the manual and the README list the options by hand, and must
// list the same ones in the same order.
class OptionsTable : public ::testing::Test {
protected:
    static std::vector<std::string> table_labels()
    {
        std::vector<std::string> labels;
        for (const OptionDoc& option : documented_options(FrontEnd::tool))
            labels.push_back((option.short_name ? std::string("-") + option.short_name + ", " : "") + "--" +
                             option.long_name + (option.value_name.empty() ? "" : " " + option.value_name));
        return labels;
    }
    static std::string source(const std::string& name)
    {
        std::ifstream file(std::string(TULO_SOURCE_DIR) + "/" + name);
        return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }
};

TEST_F(OptionsTable, TheManualDescribesEveryOptionInOrder)
{
    const std::string manual = source("tools/opsira.1");
    const std::size_t begin = manual.find(".SH OPTIONS");
    std::istringstream section(manual.substr(begin, manual.find(".SH", begin + 1) - begin));
    std::vector<std::string> labels;
    for (std::string line, previous; std::getline(section, line); previous = line) {
        if (previous != ".TP")
            continue;
        // ".BR \-o ", " \-\-out " \fIDIR\fR"" reads "-o, --out DIR".
        line = std::regex_replace(line.substr(line.find(' ') + 1), std::regex(R"(\\f[IR]|")"), "");
        line = std::regex_replace(std::regex_replace(line, std::regex(R"(\\-)"), "-"), std::regex(" +"), " ");
        labels.push_back(std::regex_replace(line, std::regex(" ,"), ","));
    }
    EXPECT_EQ(labels, table_labels());
}

TEST_F(OptionsTable, TheReadmeListsEveryOptionInOrder)
{
    const std::string readme = source("README.md");
    std::istringstream table(readme.substr(readme.find("| option | meaning |")));
    const std::regex quoted("`([^`]+)`");
    std::vector<std::string> labels;
    std::string line;
    for (std::getline(table, line), std::getline(table, line); std::getline(table, line) && line[0] == '|';) {
        const std::string first = line.substr(0, line.find(" | "));
        for (std::sregex_iterator it(first.begin(), first.end(), quoted), end; it != end; ++it)
            labels.push_back((*it)[1].str());
    }
    EXPECT_EQ(labels, table_labels());
}

// ---------------------------------------------------------------------------------------------
TEST(JsonString, EscapesWhatJsonRequires)
{
    EXPECT_EQ(json_string("plain/ü"), "\"plain/ü\"");
    EXPECT_EQ(json_string("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(json_string("\n\r\t\b\f"), "\"\\n\\r\\t\\b\\f\"");
    EXPECT_EQ(json_string(std::string("\x01\x1f\x7f", 3)), "\"\\u0001\\u001f\\u007f\"");
    EXPECT_EQ(json_string(std::string(1, '\0')), "\"\\u0000\"");
}

class ReportText : public ::testing::Test {
protected:
    ReportText()
    {
        report.input = "in/a.png";
        report.output = "out/a/";
        report.threshold_method = "triangle";
        report.threshold_value = 127.5;
        report.correction_angle = -4.126;
        report.contours = 1;
        report.segments = 12;
        report.files = {"out/a/01_original.jpg", "out/a/02_\"q\".jpg"};
        report.seconds = 0.25;
    }
    Report report;
};

TEST_F(ReportText, SummaryNamesEveryFact)
{
    EXPECT_EQ(summary_line(report), "in/a.png: threshold triangle, edge level 128, angle -4.13 deg, 1 contour, "
                                    "12 segments, 2 files in out/a/, 0.25 s");
    report.correction_angle = -0.004;
    EXPECT_NE(summary_line(report).find(" angle 0.00 deg"), std::string::npos) << "no minus sign on zero";
    report.threshold_method.reset();
    report.correction_angle.reset();
    report.contours.reset();
    report.segments.reset();
    report.files.resize(1);
    EXPECT_EQ(summary_line(report), "in/a.png: 1 file in out/a/, 0.25 s");
}

TEST_F(ReportText, DeskewSummarySaysWhetherTheImageWasTurned)
{
    Report levelled;
    levelled.input = "in/a.png";
    levelled.output = "out/a.png";
    levelled.correction_angle = -3.021;
    levelled.skew_confidence = 12.4;
    levelled.deskewed = true;
    levelled.seconds = 0.05;
    EXPECT_EQ(summary_line(levelled), "in/a.png: turned by -3.02 deg (confidence 12.40) into out/a.png, 0.05 s");
    levelled.correction_angle = 0.0;
    levelled.skew_confidence = 0.31;
    levelled.deskewed = false;
    EXPECT_EQ(summary_line(levelled),
              "in/a.png: not turned (angle 0.00 deg, confidence 0.31), written unchanged to out/a.png, 0.05 s");
}

TEST_F(ReportText, JsonHasTheSameFacts)
{
    EXPECT_EQ(json_line(report),
              "{\"input\":\"in/a.png\",\"output\":\"out/a/\",\"ok\":true,\"error\":null,\"skipped\":false,"
              "\"threshold_method\":\"triangle\",\"threshold_value\":127.5,\"correction_angle\":-4.126,"
              "\"skew_confidence\":null,\"deskewed\":null,\"contours\":1,\"segments\":12,\"files\":[\"out/a/01_original.jpg\",\"out/a/02_\\\"q\\\".jpg\"],"
              "\"seconds\":0.250}");
    Report failed;
    failed.input = "x.png";
    failed.output = "out/x/";
    failed.error = "empty file";
    EXPECT_EQ(json_line(failed),
              "{\"input\":\"x.png\",\"output\":\"out/x/\",\"ok\":false,\"error\":\"empty file\",\"skipped\":false,"
              "\"threshold_method\":null,\"threshold_value\":null,\"correction_angle\":null,"
              "\"skew_confidence\":null,\"deskewed\":null,\"contours\":null,\"segments\":null,\"files\":[],\"seconds\":0.000}");
    EXPECT_EQ(summary_line(failed), "x.png: failed: empty file");
}

} // namespace
} // namespace opsira
