#include "support.hpp"
#include "workspace.hpp"

#include "pictures/page.hpp"

#include <tulo/MatManip.hpp>

#include <opencv2/imgcodecs.hpp>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

using namespace tulo::testing;
using tulo::Opsira;
namespace fs = std::filesystem;

namespace {

using tulo::testing::operator<<;

// A workspace whose threshold image is given, so that the Hough analysis sees known segments.
Opsira with_threshold(const cv::Mat& threshold)
{
    Opsira ws{cv::Mat(threshold.size(), CV_8UC3, cv::Scalar(128, 128, 128))};
    cv::Mat own = threshold;
    ws.replace(Kind::threshold, own);
    return ws;
}

cv::Mat black(int width = 200, int height = 150) { return cv::Mat(height, width, CV_8UC1, cv::Scalar(0)); }

// A small colour page of text, turned counter-clockwise by `degrees` around its centre.
cv::Mat skewed_page(double degrees)
{
    tulo::pictures::PageCase page;  // 510 x 660 pixels
    page.dpi = 60;
    page.points = 24.0;
    page.face = tulo::pictures::Face::sans;
    page.format = tulo::pictures::PixelFormat::bgr8;
    page.angle = degrees;
    return tulo::pictures::render_page(page);
}

TEST(OpsiraHough, NoSegmentsLeaveEmptyMembersAndAPlainDrawing)
{
    const cv::Mat threshold = black();
    Opsira ws = with_threshold(threshold);
    const cv::Mat& drawing = ws.get(Kind::hough_lines);
    EXPECT_TRUE(ws.hough_lines.empty());
    EXPECT_TRUE(ws.line_angles.empty());
    EXPECT_TRUE(ws.angle_intervals.empty());
    EXPECT_EQ(ws.correction_angle, 0.0);
    EXPECT_EQ(drawing.type(), CV_8UC3);
    EXPECT_EQ(cv::countNonZero(drawing.reshape(1)), 0);

    const cv::Mat& corrected = ws.get(Kind::angle_corrected);
    EXPECT_MAT_EQ(corrected, ws.get(Kind::original));
    EXPECT_NE(corrected.data, ws.get(Kind::original).data);
}

struct Segment {
    std::string name;
    cv::Point from, to;
    double orientation;
};

class OpsiraSegmentOrientation : public ::testing::TestWithParam<Segment> {};

// Whichever end the Hough search reports first, a segment's angle is its orientation in (-90, 90].
TEST_P(OpsiraSegmentOrientation, IsFoldedIntoAHalfTurn)
{
    cv::Mat threshold = black();
    cv::line(threshold, GetParam().from, GetParam().to, cv::Scalar(255), 1, cv::LINE_8);
    Opsira ws = with_threshold(threshold);
    ws.create_hough_lines_and_angles();
    ASSERT_FALSE(ws.line_angles.empty());
    for (const double angle : ws.line_angles)
        EXPECT_NEAR(angle, GetParam().orientation, 0.6);
    EXPECT_NEAR(ws.correction_angle, GetParam().orientation, 0.6);
}

INSTANTIATE_TEST_SUITE_P(Lines, OpsiraSegmentOrientation,
                         ::testing::Values(Segment{"level", {10, 20}, {190, 20}, 0.0},
                                           Segment{"vertical", {50, 10}, {50, 140}, 90.0},
                                           Segment{"rising", {10, 110}, {190, 20}, -26.565},
                                           Segment{"falling", {10, 20}, {190, 110}, 26.565}),
                         tulo::testing::by_name);

TEST(OpsiraHough, RepeatedAnalysisRebuildsTheSameMembers)
{
    cv::Mat threshold = black();
    cv::line(threshold, cv::Point(10, 30), cv::Point(190, 30), cv::Scalar(255));
    cv::line(threshold, cv::Point(30, 10), cv::Point(30, 140), cv::Scalar(255));
    Opsira ws = with_threshold(threshold);
    ws.create_hough_lines_and_angles();
    const auto lines = ws.hough_lines;
    const auto angles = ws.line_angles;
    const double correction = ws.correction_angle;
    ws.create_hough_lines_and_angles();
    EXPECT_EQ(ws.hough_lines, lines);
    EXPECT_EQ(ws.line_angles, angles);
    EXPECT_EQ(ws.correction_angle, correction);
    EXPECT_TRUE(std::is_sorted(ws.line_angles.begin(), ws.line_angles.end()));
}

class OpsiraDeskew : public ::testing::TestWithParam<double> {};

// Text lines turned counter-clockwise by d degrees run at orientation -d on screen, so the
// correction is -d, and turning the page by it levels the lines again.
TEST_P(OpsiraDeskew, CorrectionUndoesTheSkew)
{
    const double skew = GetParam();
    Opsira ws{skewed_page(skew)};
    const cv::Mat& corrected = ws.get(Kind::angle_corrected);
    EXPECT_NEAR(ws.correction_angle, -skew, 1.0);

    Opsira again{corrected};
    again.get(Kind::hough_lines);
    EXPECT_NEAR(again.correction_angle, 0.0, 1.0);
}

INSTANTIATE_TEST_SUITE_P(Skews, OpsiraDeskew, ::testing::Values(-6.0, -3.0, 3.0, 6.0),
                         tulo::testing::by_number);

TEST(OpsiraContours, CacheIsFilledOnceAndCopiedOut)
{
    cv::Mat edges = black();
    cv::rectangle(edges, cv::Rect(20, 20, 60, 40), cv::Scalar(255), cv::FILLED);
    Opsira ws{cv::Mat(edges.size(), CV_8UC3, cv::Scalar(50, 50, 50))};
    ws.replace(Kind::canny_edge_detection, edges);

    auto found = ws.find_contours();
    ASSERT_EQ(found.size(), 1u);
    found.clear();
    EXPECT_EQ(ws.contours.size(), 1u);

    cv::Mat other = black();
    ws.replace(Kind::canny_edge_detection, other);
    EXPECT_EQ(ws.find_contours().size(), 1u);
}

TEST(OpsiraContours, AnEmptyResultIsSearchedAgain)
{
    cv::Mat edges = black();
    Opsira ws{cv::Mat(edges.size(), CV_8UC3, cv::Scalar(50, 50, 50))};
    ws.replace(Kind::canny_edge_detection, edges);
    EXPECT_TRUE(ws.find_contours().empty());

    cv::Mat with_shape = black();
    cv::rectangle(with_shape, cv::Rect(20, 20, 60, 40), cv::Scalar(255), cv::FILLED);
    ws.replace(Kind::canny_edge_detection, with_shape);
    EXPECT_EQ(ws.find_contours().size(), 1u);
}

TEST(OpsiraContours, DrawingsShareOneSearch)
{
    const cv::Mat original = scene();
    Opsira ws{original};
    const cv::Mat& drawn = ws.get(Kind::find_contours);
    ASSERT_FALSE(ws.contours.empty());
    EXPECT_EQ(ws.images.count("canny_edge_detection"), 1u);
    EXPECT_MAT_EQ(drawn, tulo::add_contours_to_image(original, ws.contours, cv::Scalar(0, 255, 255, 0)));

    const auto contours = ws.contours;
    cv::Mat none = black(original.cols, original.rows);
    ws.replace(Kind::canny_edge_detection, none);
    EXPECT_MAT_EQ(ws.get(Kind::find_contours_intervals), tulo::add_contours_and_limits_to_image(original, contours));
}

// ---- Mosaic -------------------------------------------------------------------------------------

cv::Mat cell_of(const cv::Mat& mosaic, cv::Size tile, int column, int row)
{
    return mosaic(cv::Rect((tile.width + 1) * column + 1, (tile.height + 1) * row + 1, tile.width, tile.height));
}

TEST(OpsiraMosaic, EmptyWorkspaceGivesAnEmptyMosaicThatIsStored)
{
    Opsira ws;
    EXPECT_TRUE(ws.create_mosaic(true).empty());
    EXPECT_TRUE(ws.get(Kind::mosaic).empty());
    EXPECT_EQ(ws.images.count("mosaic"), 1u);
}

TEST(OpsiraMosaic, LargeOriginalIsScaledToThreeHundredWideAndFramed)
{
    const cv::Mat original = scene(640, 480);
    Opsira ws{original};
    const cv::Mat plain = ws.create_mosaic(false);
    ASSERT_EQ(plain.size(), cv::Size(302, 227));
    EXPECT_MAT_EQ(cell_of(plain, {300, 225}, 0, 0), tulo::resize(original, 300, 225));
    const cv::Vec3b red(0, 0, 255);
    for (const cv::Point p : {cv::Point(0, 0), cv::Point(301, 100), cv::Point(150, 0), cv::Point(150, 226)})
        EXPECT_EQ(plain.at<cv::Vec3b>(p), red) << p;

    const cv::Mat labelled = ws.create_mosaic(true);
    EXPECT_GT(cv::norm(labelled.rowRange(0, 40), plain.rowRange(0, 40), cv::NORM_INF), 0.0);
    EXPECT_EQ(labelled.at<cv::Vec3b>(1 + 3, 1 + 3), red); // the label frame's corner
    EXPECT_MAT_EQ(labelled.rowRange(40, 227), plain.rowRange(40, 227));
}

TEST(OpsiraMosaic, SmallTilesKeepTheirSizeAndGreyShowsAsGrey)
{
    const cv::Mat original = scene(300, 200);
    Opsira ws{original};
    ws.get(Kind::greyscale);
    const cv::Mat mosaic = ws.create_mosaic(false);
    ASSERT_EQ(mosaic.size(), cv::Size(603, 202));
    cv::Mat grey_bgr;
    cv::cvtColor(ws.get(Kind::greyscale), grey_bgr, cv::COLOR_GRAY2BGR);
    EXPECT_MAT_EQ(cell_of(mosaic, {300, 200}, 0, 0), original);
    EXPECT_MAT_EQ(cell_of(mosaic, {300, 200}, 1, 0), grey_bgr);
}

TEST(OpsiraMosaic, TilesFollowKindThenNameAndSkipAStoredMosaic)
{
    const cv::Size tile(30, 20);
    Opsira ws{cv::Mat(tile, CV_8UC3, cv::Scalar(1, 1, 1))};
    const auto put = [&ws, tile](const std::string& name, uchar level) {
        cv::Mat image(tile, CV_8UC3, cv::Scalar(level, level, level));
        ws.replace(name, image);
    };
    put("max", 9);
    put("zeta", 8);
    put("alpha", 7);
    put("mosaic", 6);
    put("invert", 5);
    const cv::Mat mosaic = ws.create_mosaic(false);
    ASSERT_EQ(mosaic.size(), cv::Size(3 * 31 + 1, 2 * 21 + 1)); // five tiles: 3 x 2
    const uchar expected[] = {1, 5, 7, 8, 9, 0};
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(cell_of(mosaic, tile, i % 3, i / 3).at<cv::Vec3b>(10, 15)[0], expected[i]) << i;
}

TEST(OpsiraMosaic, TwentyOneTilesMakeSixColumnsOfFourRows)
{
    const cv::Size tile(8, 6);
    Opsira ws{cv::Mat(tile, CV_8UC3, cv::Scalar(1, 1, 1))};
    for (int i = 0; i < 20; ++i) {
        cv::Mat image(tile, CV_8UC1, cv::Scalar(i));
        ws.replace("user_" + std::to_string(100 + i), image);
    }
    EXPECT_EQ(ws.create_mosaic(false).size(), cv::Size(6 * 9 + 1, 4 * 7 + 1));
}

TEST(OpsiraMosaic, LabellingNeverWritesIntoStoredImages)
{
    Opsira ws{scene(300, 200)};
    ws.get(Kind::canny_edge_detection);
    ws.get(Kind::histogram);
    std::map<std::string, cv::Mat> before;
    for (const auto& [name, image] : ws.images)
        before[name] = image.clone();
    ws.create_mosaic(true);
    for (const auto& [name, image] : ws.images)
        EXPECT_MAT_EQ(image, before.at(name)) << name;
}

// Regression: a 300-wide tile of a very flat original rounded to no rows and the mosaic failed.
TEST(OpsiraMosaic, ExtremeShapesGetAtLeastOnePixel)
{
    Opsira ws{cv::Mat(1, 4000, CV_8UC3, cv::Scalar(9, 9, 9))};
    const cv::Mat mosaic = ws.create_mosaic(true);
    EXPECT_EQ(mosaic.size(), cv::Size(302, 3));
}

// ---- Saving -------------------------------------------------------------------------------------

class OpsiraSave : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "tulo-save-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
        prefix = dir.string() + "/";
    }
    void TearDown() override { fs::remove_all(dir); }

    std::size_t files_in_dir() const
    {
        return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
    }

    fs::path dir;
    std::string prefix;
    Opsira ws{scene()};
};

TEST_F(OpsiraSave, FileNamesCarryPrefixKindAndName)
{
    EXPECT_EQ(ws.save("greyscale", prefix), prefix + "02_greyscale.jpg");
    EXPECT_EQ(ws.save(Kind::greyscale, prefix), prefix + "02_greyscale.jpg");
    EXPECT_EQ(ws.save("greyscale", prefix + "out"), prefix + "out02_greyscale.jpg");
    cv::Mat own = scene(20, 20);
    ws.replace("notes", own);
    EXPECT_EQ(ws.save("notes", prefix), prefix + "23_notes.jpg");

    const cv::Mat read = cv::imread(prefix + "02_greyscale.jpg", cv::IMREAD_UNCHANGED);
    EXPECT_EQ(read.size(), ws.get(Kind::greyscale).size());
    EXPECT_EQ(read.channels(), 1);
    EXPECT_EQ(files_in_dir(), 3u);
}

TEST_F(OpsiraSave, UnknownNamesAreNotWritten)
{
    EXPECT_THROW_MSG(ws.save("nothing", prefix), std::logic_error, "failed to get or create image type \"nothing\"");
    EXPECT_THROW(ws.save(static_cast<Kind>(25), prefix), std::logic_error);
    EXPECT_EQ(files_in_dir(), 0u);
    cv::Mat own = scene(20, 20);
    ws.replace(static_cast<Kind>(25), own);
    EXPECT_EQ(ws.save(static_cast<Kind>(25), prefix), prefix + "23_unknown.jpg");
}

TEST_F(OpsiraSave, SaveAllWritesTheWholeCatalogueInNameOrder)
{
    cv::Mat own = scene(30, 20);
    ws.replace("aaa", own);
    ws.replace("zzz", own);
    const std::vector<std::string> written = ws.save_all(prefix);
    const std::vector<std::string> names{
        "23_aaa", "15_angle_corrected", "04_blur_greyscale", "10_canny_edge_detection", "17_dog", "08_erode",
        "09_erode_and_dilate", "11_find_contours", "12_find_contours_intervals", "03_gaussian_blur", "02_greyscale",
        "13_histogram", "14_hough_lines", "06_invert", "16_mosaic", "01_original", "05_simple_colour_balance",
        "07_threshold", "22_threshold_dog", "20_threshold_gaussian", "21_threshold_meanc", "18_threshold_otsu",
        "19_threshold_triangle", "23_zzz"};
    ASSERT_EQ(written.size(), names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ(written[i], prefix + names[i] + ".jpg");
        EXPECT_FALSE(cv::imread(written[i]).empty()) << written[i];
    }
}

TEST_F(OpsiraSave, SaveAllOfAnEmptyWorkspaceWritesNothing)
{
    Opsira empty;
    EXPECT_THROW_MSG(empty.save_all(prefix), std::logic_error, "original image has not been set");
    EXPECT_EQ(files_in_dir(), 0u);
}

// Regression: a file that could not be written was reported as written.
TEST_F(OpsiraSave, UnwritableFilesAreFailures)
{
    const std::string missing = prefix + "missing/";
    EXPECT_THROW_MSG(ws.save("original", missing), std::runtime_error,
                     "failed to write \"" + missing + "01_original.jpg\"");

    cv::Mat own = scene(20, 20);
    ws.replace("sub/x", own);
    EXPECT_THROW_MSG(ws.save_all(prefix), std::runtime_error, "failed to write \"" + prefix + "23_sub/x.jpg\"");
    EXPECT_TRUE(fs::exists(prefix + "01_original.jpg"));
}

} // namespace
