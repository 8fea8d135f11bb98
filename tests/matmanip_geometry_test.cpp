// Rotation, resizing and letterboxing, checked against the direct OpenCV calls and hand-derived
// sizes.
#include "support.hpp"

#include "pictures/scene.hpp"

#include <tulo/MatManip.hpp>

#include <opencv2/imgproc.hpp>

#include <limits>
#include <string>

namespace {

using tulo::testing::operator<<;

using tulo::pictures::noise;

constexpr int no_turn = -1;

struct QuarterTurn {
    std::string name;
    double angle;
    int turn; // a cv::RotateFlags value, or no_turn for a plain copy
};

class MatManipQuarterTurns : public ::testing::TestWithParam<QuarterTurn> {};

// On 32-bit integers, which warpAffine refuses, so any interpolating detour would throw.
TEST_P(MatManipQuarterTurns, AreLosslessOpenCvTurns)
{
    const cv::Mat image = noise(7, 12, CV_32SC2, 1);
    cv::Mat expected = image.clone();
    if (GetParam().turn != no_turn)
        cv::rotate(image, expected, GetParam().turn);
    EXPECT_MAT_EQ(tulo::rotate(image, GetParam().angle), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Angles, MatManipQuarterTurns,
    ::testing::Values(QuarterTurn{"zero", 0.0, no_turn}, QuarterTurn{"full", 360.0, no_turn},
                      QuarterTurn{"minus_full", -360.0, no_turn}, QuarterTurn{"two_full", 720.0, no_turn},
                      QuarterTurn{"minus_two_full", -720.0, no_turn},
                      QuarterTurn{"tiny_negative", -1e-300, no_turn},
                      QuarterTurn{"ccw", 90.0, cv::ROTATE_90_COUNTERCLOCKWISE},
                      QuarterTurn{"minus_270", -270.0, cv::ROTATE_90_COUNTERCLOCKWISE},
                      QuarterTurn{"plus_450", 450.0, cv::ROTATE_90_COUNTERCLOCKWISE},
                      QuarterTurn{"huge_ccw", 360.0 * 1e12 + 90.0, cv::ROTATE_90_COUNTERCLOCKWISE},
                      QuarterTurn{"huge_negative_cw", -360.0 * 1e12 - 90.0, cv::ROTATE_90_CLOCKWISE},
                      QuarterTurn{"cw", 270.0, cv::ROTATE_90_CLOCKWISE},
                      QuarterTurn{"minus_90", -90.0, cv::ROTATE_90_CLOCKWISE},
                      QuarterTurn{"half", 180.0, cv::ROTATE_180}, QuarterTurn{"minus_half", -180.0, cv::ROTATE_180}),
    tulo::testing::by_name);

// Turn about (cols/2, rows/2) onto the rounded bounding box of the turned rectangle.
cv::Mat turned_on_bounding_box(const cv::Mat& image, double angle)
{
    const cv::Point2f centre(image.cols * 0.5f, image.rows * 0.5f);
    cv::Mat matrix = cv::getRotationMatrix2D(centre, angle, 1.0);
    const cv::Rect2f box =
        cv::RotatedRect(centre, cv::Size2f(float(image.cols), float(image.rows)), float(angle)).boundingRect2f();
    matrix.at<double>(0, 2) += box.width * 0.5 - centre.x;
    matrix.at<double>(1, 2) += box.height * 0.5 - centre.y;
    cv::Mat result;
    cv::warpAffine(image, result, matrix, cv::Size(cvRound(box.width), cvRound(box.height)), cv::INTER_LINEAR,
                   cv::BORDER_CONSTANT, cv::Scalar());
    return result;
}

struct GeneralTurn {
    std::string name;
    double angle;
    double equivalent; // the angle in [0, 360) the turn amounts to
    cv::Size size;     // for the 100 x 50 image, from 100 |cos a| + 50 |sin a| and its twin
};

class MatManipGeneralTurns : public ::testing::TestWithParam<GeneralTurn> {};

TEST_P(MatManipGeneralTurns, MatchBilinearWarpOnBoundingBox)
{
    const cv::Mat image = noise(50, 100, CV_8UC3, 2);
    const cv::Mat turned = tulo::rotate(image, GetParam().angle);
    EXPECT_EQ(turned.size(), GetParam().size);
    EXPECT_MAT_EQ(turned, turned_on_bounding_box(image, GetParam().equivalent));
}

INSTANTIATE_TEST_SUITE_P(
    Angles, MatManipGeneralTurns,
    ::testing::Values(GeneralTurn{"deg45", 45.0, 45.0, {106, 106}},
                      GeneralTurn{"almost_quarter", 89.5, 89.5, {51, 100}},
                      GeneralTurn{"minus_30", -30.0, 330.0, {112, 93}},
                      GeneralTurn{"deg400", 400.0, 40.0, {109, 103}}),
    tulo::testing::by_name);

TEST(MatManipRotate, CornersOutsideTheTurnedImageAreBlack)
{
    const cv::Mat white(50, 100, CV_8UC4, cv::Scalar::all(255));
    const cv::Mat turned = tulo::rotate(white, 45.0);
    ASSERT_EQ(turned.size(), cv::Size(106, 106));
    for (const cv::Point corner : {cv::Point(0, 0), cv::Point(105, 0), cv::Point(0, 105), cv::Point(105, 105)})
        EXPECT_EQ(turned.at<cv::Vec4b>(corner), cv::Vec4b::all(0)) << corner;
    EXPECT_EQ(turned.at<cv::Vec4b>(53, 53), cv::Vec4b::all(255));
}

cv::Mat resized(const cv::Mat& image, cv::Size size, int interpolation)
{
    cv::Mat result;
    cv::resize(image, result, size, 0.0, 0.0, interpolation);
    return result;
}

struct Scaling {
    std::string name;
    cv::Size size;
    int interpolation;
};

class MatManipResize : public ::testing::TestWithParam<Scaling> {};

// Only the widths decide: area interpolation unless the width grows.
TEST_P(MatManipResize, ChoosesInterpolationByWidth)
{
    const cv::Mat image = noise(30, 40, CV_8UC3, 3);
    const Scaling& s = GetParam();
    const int other = s.interpolation == cv::INTER_AREA ? cv::INTER_LINEAR : cv::INTER_AREA;
    const cv::Mat expected = resized(image, s.size, s.interpolation);
    ASSERT_FALSE(tulo::testing::mats_equal(expected, resized(image, s.size, other)));
    EXPECT_MAT_EQ(tulo::resize(image, s.size.width, s.size.height), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, MatManipResize,
    ::testing::Values(Scaling{"wider_lower", {60, 20}, cv::INTER_LINEAR},
                      Scaling{"narrower_taller", {20, 60}, cv::INTER_AREA},
                      Scaling{"same_width_taller", {40, 60}, cv::INTER_AREA},
                      Scaling{"same_width_lower", {40, 10}, cv::INTER_AREA},
                      Scaling{"one_wider_same_height", {41, 30}, cv::INTER_LINEAR}),
    tulo::testing::by_name);

TEST(MatManipResizeSizes, ZeroSideKeepsAspectRatioRoundingHalfAway)
{
    const cv::Mat wide = noise(200, 400, CV_8UC3, 4);
    EXPECT_MAT_EQ(tulo::resize(wide, 0, 100), resized(wide, {200, 100}, cv::INTER_AREA));
    EXPECT_MAT_EQ(tulo::resize(wide, 100, 0), resized(wide, {100, 50}, cv::INTER_AREA));
    EXPECT_EQ(tulo::resize(cv::Mat(2, 5, CV_8UC1, cv::Scalar(1)), 0, 1).size(), cv::Size(3, 1));
    EXPECT_EQ(tulo::resize(cv::Mat(5, 2, CV_8UC1, cv::Scalar(1)), 1, 0).size(), cv::Size(1, 3));
    EXPECT_TRUE(tulo::resize(cv::Mat(10, 1, CV_8UC1, cv::Scalar(1)), 0, 1).empty());
}

TEST(MatManipResizeSizes, ScaleRoundsHalfAwayAndVanishesToEmpty)
{
    const cv::Mat wide = noise(200, 400, CV_8UC3, 5);
    EXPECT_MAT_EQ(tulo::resize(wide, 0.5), resized(wide, {200, 100}, cv::INTER_AREA));
    EXPECT_MAT_EQ(tulo::resize(wide, 1.5), resized(wide, {600, 300}, cv::INTER_LINEAR));
    EXPECT_EQ(tulo::resize(cv::Mat(5, 5, CV_8UC1, cv::Scalar(1)), 0.5).size(), cv::Size(3, 3));
    EXPECT_TRUE(tulo::resize(wide, 0.0).empty());
    EXPECT_TRUE(tulo::resize(cv::Mat(4, 4, CV_8UC1, cv::Scalar(1)), 0.1).empty());
    EXPECT_TRUE(tulo::resize(wide, std::numeric_limits<double>::quiet_NaN()).empty());
}

struct Letterbox {
    std::string name;
    cv::Size image;
    cv::Size frame;
    cv::Rect placed; // where the scaled image lands, derived by hand
    int interpolation;
};

class MatManipLetterbox : public ::testing::TestWithParam<Letterbox> {};

TEST_P(MatManipLetterbox, CentresScaledImageOnColouredCanvas)
{
    const Letterbox& l = GetParam();
    const cv::Scalar red(0, 0, 255);
    const cv::Mat image = noise(l.image.height, l.image.width, CV_8UC3, 6);
    cv::Mat expected(l.frame, CV_8UC3, red);
    resized(image, l.placed.size(), l.interpolation).copyTo(expected(l.placed));
    EXPECT_MAT_EQ(tulo::letterbox(image, l.frame.width, l.frame.height, red), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Frames, MatManipLetterbox,
    ::testing::Values(Letterbox{"bands_top_bottom", {200, 100}, {100, 100}, {0, 25, 100, 50}, cv::INTER_AREA},
                      Letterbox{"odd_slack_bottom", {200, 100}, {100, 101}, {0, 25, 100, 50}, cv::INTER_AREA},
                      Letterbox{"odd_slack_right", {100, 200}, {101, 100}, {25, 0, 50, 100}, cv::INTER_AREA},
                      Letterbox{"enlarged", {20, 10}, {100, 100}, {0, 25, 100, 50}, cv::INTER_LINEAR},
                      Letterbox{"own_size", {30, 20}, {30, 20}, {0, 0, 30, 20}, cv::INTER_AREA}),
    tulo::testing::by_name);

TEST(MatManipLetterboxVanishing, GivesCanvasOfColourInInputType)
{
    const cv::Scalar colour(70000, 0, 255);
    const auto strip = [](int type) { return cv::Mat(1, 1000, type, cv::Scalar::all(9)); };
    EXPECT_MAT_EQ(tulo::letterbox(strip(CV_8UC3), 10, 10, colour), cv::Mat(10, 10, CV_8UC3, cv::Scalar(255, 0, 255)));
    EXPECT_MAT_EQ(tulo::letterbox(strip(CV_16UC1), 10, 10, colour), cv::Mat(10, 10, CV_16UC1, cv::Scalar(65535)));
    EXPECT_MAT_EQ(tulo::letterbox(strip(CV_8UC1).t(), 7, 12, colour), cv::Mat(12, 7, CV_8UC1, cv::Scalar(255)));
}

} // namespace
