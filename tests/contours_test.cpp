#include "support.hpp"

#include <tulo/Intervals.hpp>
#include <tulo/MatManip.hpp>

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Contour = std::vector<cv::Point>;
using Contours = std::vector<Contour>;

const cv::Scalar red(0, 0, 255, 0);
const cv::Scalar green(0, 255, 0, 0);
const cv::Scalar blue(255, 0, 0, 0);
const cv::Scalar cyan(255, 255, 0, 0);
const cv::Scalar yellow(0, 255, 255, 0);
const cv::Scalar magenta(255, 0, 255, 0);
const cv::Scalar white(255, 255, 255, 0);

// A w x h rectangle with its top-left corner at (x, y); its contour area is w * h.
Contour rectangle(const int x, const int y, const int w, const int h)
{
    return {{x, y}, {x + w, y}, {x + w, y + h}, {x, y + h}};
}

// Rectangles of the given areas' sides, one per 40 x 40 cell, row after row.
Contours rectangles_in_cells(const std::vector<cv::Size>& sides, const int columns)
{
    Contours contours;
    for (std::size_t i = 0; i < sides.size(); ++i) {
        const int cell = static_cast<int>(i);
        contours.push_back(rectangle(40 * (cell % columns) + 10, 40 * (cell / columns) + 10, sides[i].width,
                                     sides[i].height));
    }
    return contours;
}

std::vector<cv::Point> sorted_points(std::vector<cv::Point> points)
{
    std::sort(points.begin(), points.end(),
              [](const cv::Point& a, const cv::Point& b) { return a.x != b.x ? a.x < b.x : a.y < b.y; });
    return points;
}

// ---- the drawings, rebuilt from OpenCV calls ------------------------------------------------

void draw_label_directly(cv::Mat& canvas, const Contour& contour, const std::string& text, const double scale,
                         const cv::Scalar& colour)
{
    const cv::Point2f centre = cv::minAreaRect(contour).center;
    cv::putText(canvas, text, cv::Point(cvRound(centre.x) - 10, cvRound(centre.y) + 5), cv::FONT_HERSHEY_SIMPLEX,
                scale, colour, 1, cv::LINE_8, false);
}

// The single-colour drawing: all lines, then the labels of the contours flagged in `labelled`.
cv::Mat single_colour_drawing(const cv::Mat& base, const Contours& contours, const cv::Scalar& colour,
                              const std::vector<bool>& labelled)
{
    cv::Mat canvas = base.clone();
    for (const Contour& contour : contours)
        cv::polylines(canvas, contour, true, colour, 1, cv::LINE_AA, 0);
    for (std::size_t i = 0; i < contours.size(); ++i)
        if (labelled[i])
            draw_label_directly(canvas, contours[i], std::to_string(i), 2.5, colour);
    return canvas;
}

// The interval drawing with hand-picked colours; a contour without a colour is skipped.
struct Paint {
    bool drawn;
    cv::Scalar colour;
};

cv::Mat interval_drawing(const cv::Mat& base, const Contours& contours, const std::vector<Paint>& paints)
{
    cv::Mat canvas = base.clone();
    for (std::size_t i = 0; i < contours.size(); ++i) {
        if (!paints[i].drawn)
            continue;
        cv::polylines(canvas, contours[i], true, paints[i].colour, 1, cv::LINE_AA, 0);
        draw_label_directly(canvas, contours[i], std::to_string(i), 0.5, paints[i].colour);
    }
    return canvas;
}

Paint in(const cv::Scalar& colour)
{
    return {true, colour};
}

const Paint skipped{false, cv::Scalar()};

class ContoursTest : public ::testing::Test {
protected:
    cv::Mat black = cv::Mat::zeros(200, 240, CV_8UC1);
};

// ---- find_contours -------------------------------------------------------------------------

TEST_F(ContoursTest, FindContoursOfBlackIsEmpty)
{
    EXPECT_TRUE(tulo::find_contours(black).empty());
}

TEST_F(ContoursTest, FilledRectangleIsItsFourCorners)
{
    cv::Mat image = black.clone();
    cv::rectangle(image, cv::Point(10, 20), cv::Point(29, 34), cv::Scalar(255), cv::FILLED);
    const Contours contours = tulo::find_contours(image);
    ASSERT_EQ(contours.size(), 1u);
    EXPECT_EQ(sorted_points(contours[0]), sorted_points({{10, 20}, {29, 20}, {29, 34}, {10, 34}}));
}

TEST_F(ContoursTest, RingAndWhatItHoldsAreOneContour)
{
    cv::Mat image = black.clone();
    cv::rectangle(image, cv::Point(10, 10), cv::Point(90, 90), cv::Scalar(255), cv::FILLED);
    cv::rectangle(image, cv::Point(20, 20), cv::Point(80, 80), cv::Scalar(0), cv::FILLED);
    cv::rectangle(image, cv::Point(40, 40), cv::Point(50, 50), cv::Scalar(255), cv::FILLED);
    const Contours contours = tulo::find_contours(image);
    ASSERT_EQ(contours.size(), 1u);
    EXPECT_EQ(sorted_points(contours[0]), sorted_points({{10, 10}, {90, 10}, {90, 90}, {10, 90}}));
}

TEST_F(ContoursTest, FindContoursRejectsAnEmptyImage)
{
    EXPECT_THROW_MSG(tulo::find_contours(cv::Mat()), std::invalid_argument, "cannot find contours in an empty image");
}

// ---- convert_contours_to_rotated_rects -----------------------------------------------------

TEST_F(ContoursTest, RotatedRectsFollowTheContours)
{
    EXPECT_TRUE(tulo::convert_contours_to_rotated_rects({}).empty());

    const std::vector<cv::RotatedRect> rects =
        tulo::convert_contours_to_rotated_rects({rectangle(0, 0, 10, 10), rectangle(50, 20, 4, 30)});
    ASSERT_EQ(rects.size(), 2u);
    EXPECT_EQ(rects[0].center, cv::Point2f(5, 5));
    EXPECT_EQ(rects[0].size, cv::Size2f(10, 10));
    EXPECT_EQ(static_cast<int>(rects[0].angle) % 90, 0);
    EXPECT_FLOAT_EQ(rects[0].angle, static_cast<float>(static_cast<int>(rects[0].angle)));
    EXPECT_EQ(rects[1].center, cv::Point2f(52, 35));
    EXPECT_FLOAT_EQ(rects[1].size.area(), 120.0f);
}

// ---- find_hough_lines ----------------------------------------------------------------------

TEST_F(ContoursTest, HoughLinesOfBlackClearsTheListAndStillGivesColour)
{
    std::vector<cv::Vec4i> lines{{1, 2, 3, 4}};
    const cv::Mat drawing = tulo::find_hough_lines(black, lines);
    EXPECT_TRUE(lines.empty());
    cv::Mat expected;
    cv::cvtColor(black, expected, cv::COLOR_GRAY2BGR);
    EXPECT_MAT_EQ(drawing, expected);
}

// 80 votes are needed: a 60-pixel line cannot collect them, a 150-pixel line can.
TEST_F(ContoursTest, HoughLinesNeedEightyVotes)
{
    cv::Mat image = black.clone();
    cv::line(image, cv::Point(20, 30), cv::Point(79, 30), cv::Scalar(255));
    std::vector<cv::Vec4i> lines{{1, 2, 3, 4}};
    tulo::find_hough_lines(image, lines);
    EXPECT_TRUE(lines.empty());

    cv::line(image, cv::Point(20, 150), cv::Point(169, 150), cv::Scalar(255));
    tulo::find_hough_lines(image, lines);
    EXPECT_FALSE(lines.empty());
}

TEST_F(ContoursTest, HoughLinesMatchOpenCvAndAreDrawnInRed)
{
    cv::Mat image = black.clone();
    cv::line(image, cv::Point(10, 20), cv::Point(200, 40), cv::Scalar(255), 2);
    cv::line(image, cv::Point(30, 190), cv::Point(150, 60), cv::Scalar(255), 1);
    const cv::Mat before = image.clone();

    std::vector<cv::Vec4i> expected_lines;
    cv::HoughLinesP(image, expected_lines, 1.0, CV_PI / 360, 80, 5.0, 10.0);
    ASSERT_FALSE(expected_lines.empty());
    cv::Mat expected;
    cv::cvtColor(image, expected, cv::COLOR_GRAY2BGR);
    for (const cv::Vec4i& l : expected_lines)
        cv::line(expected, cv::Point(l[0], l[1]), cv::Point(l[2], l[3]), cv::Scalar(0, 0, 255), 1, cv::LINE_AA, 0);

    std::vector<cv::Vec4i> lines;
    const cv::Mat drawing = tulo::find_hough_lines(image, lines);
    EXPECT_EQ(lines, expected_lines);
    EXPECT_MAT_EQ(drawing, expected);
    EXPECT_MAT_EQ(image, before);
}

TEST_F(ContoursTest, HoughLinesLeaveTheChecksToOpenCv)
{
    std::vector<cv::Vec4i> lines;
    EXPECT_THROW(tulo::find_hough_lines(cv::Mat(), lines), cv::Exception);
    EXPECT_THROW(tulo::find_hough_lines(cv::Mat::zeros(20, 20, CV_8UC3), lines), cv::Exception);
}

// ---- base image of the two drawings --------------------------------------------------------

struct BaseCase {
    int type;
    int single_colour_type;
};

class ContoursBase : public ::testing::TestWithParam<BaseCase> {};

// With no contour both drawings return the bare base, in a buffer of its own.
TEST_P(ContoursBase, DrawingsConvertOnlyOneChannelAndOnlyInTheSingleColourOne)
{
    cv::Mat image(30, 40, GetParam().type);
    cv::randu(image, 0, 256);
    const cv::Mat before = image.clone();

    const cv::Mat single = tulo::add_contours_to_image(image, {}, yellow);
    EXPECT_EQ(single.type(), GetParam().single_colour_type);
    cv::Mat expected;
    if (image.channels() == 1)
        cv::cvtColor(image, expected, cv::COLOR_GRAY2BGR);
    else
        expected = image;
    EXPECT_MAT_EQ(single, expected);
    EXPECT_NE(single.data, image.data);

    const cv::Mat limits = tulo::add_contours_and_limits_to_image(image, {});
    EXPECT_MAT_EQ(limits, image);
    EXPECT_NE(limits.data, image.data);
    EXPECT_MAT_EQ(image, before);
}

INSTANTIATE_TEST_SUITE_P(Channels, ContoursBase,
                         ::testing::Values(BaseCase{CV_8UC1, CV_8UC3}, BaseCase{CV_8UC3, CV_8UC3},
                                           BaseCase{CV_8UC4, CV_8UC4}));

TEST_F(ContoursTest, DrawingsRejectAnEmptyImage)
{
    const Contours contours{rectangle(0, 0, 10, 10)};
    EXPECT_THROW_MSG(tulo::add_contours_to_image(cv::Mat(), contours, yellow), std::invalid_argument,
                     "cannot add contours to an empty image");
    EXPECT_THROW_MSG(tulo::add_contours_and_limits_to_image(cv::Mat(), contours), std::invalid_argument,
                     "cannot add contours to an empty image");
}

// ---- add_contours_to_image -----------------------------------------------------------------

TEST_F(ContoursTest, LabelsOnlyAboveArea105)
{
    const Contour exactly_105 = rectangle(30, 40, 15, 7);
    const Contour just_above = {{130, 40}, {145, 40}, {145, 47}, {131, 47}, {130, 48}};
    ASSERT_EQ(cv::contourArea(exactly_105), 105.0);
    ASSERT_EQ(cv::contourArea(just_above), 105.5);

    const Contours contours{exactly_105, just_above};
    cv::Mat base;
    cv::cvtColor(black, base, cv::COLOR_GRAY2BGR);
    EXPECT_MAT_EQ(tulo::add_contours_to_image(black, contours, yellow),
                  single_colour_drawing(base, contours, yellow, {false, true}));
}

TEST_F(ContoursTest, LabelIsTheIndexInTheList)
{
    Contours contours;
    for (int i = 0; i < 12; ++i)
        contours.push_back(rectangle(5 + 18 * (i % 12), 5, 10, 10));
    contours.push_back(rectangle(60, 100, 40, 30));
    const cv::Mat base(black.size(), CV_8UC3, cv::Scalar(40, 80, 120));
    std::vector<bool> labelled(13, false);
    labelled[12] = true;
    EXPECT_MAT_EQ(tulo::add_contours_to_image(base, contours, blue),
                  single_colour_drawing(base, contours, blue, labelled));
}

// ---- add_contours_and_limits_to_image ------------------------------------------------------

class ContoursLimits : public ::testing::TestWithParam<int> {
protected:
    cv::Mat base() const { return cv::Mat(200, 360, GetParam(), cv::Scalar::all(60)); }
};

// Intervals {10, 12} and {100, 110}; an area equal to an interval's smallest value takes the
// colour of the interval before it.
TEST_P(ContoursLimits, ColoursByAreaInterval)
{
    const Contours contours = rectangles_in_cells({{2, 5}, {3, 4}, {10, 10}, {10, 11}}, 4);
    EXPECT_MAT_EQ(tulo::add_contours_and_limits_to_image(base(), contours),
                  interval_drawing(base(), contours, {in(white), in(red), in(red), in(green)}));
}

// Gaps 0.17, 0.40, 0.05 and 0.90 against a threshold of 0.60 (0.30 with a multiplier of 1):
// one cut, before 200, so every area above 10 falls in the first interval.
TEST_P(ContoursLimits, GroupsWithMultiplierTwo)
{
    const Contours contours = rectangles_in_cells({{2, 5}, {3, 4}, {4, 5}, {3, 7}, {10, 20}}, 5);
    EXPECT_MAT_EQ(tulo::add_contours_and_limits_to_image(base(), contours),
                  interval_drawing(base(), contours, {in(white), in(red), in(red), in(red), in(red)}));
}

// The 2 x 2 contour is neither drawn nor numbered, but it makes {4} an interval of its own, so
// the two equal areas 100 fall above its smallest value: red, numbered 1 and 2.
TEST_P(ContoursLimits, SmallContoursStillTakePartInTheGrouping)
{
    const Contours contours = rectangles_in_cells({{2, 2}, {10, 10}, {10, 10}}, 4);
    EXPECT_MAT_EQ(tulo::add_contours_and_limits_to_image(base(), contours),
                  interval_drawing(base(), contours, {skipped, in(red), in(red)}));
}

TEST_P(ContoursLimits, PaletteWrapsAfterSevenIntervals)
{
    std::vector<cv::Size> sides;
    for (int side = 3; side <= 10; ++side)
        sides.insert(sides.end(), 3, cv::Size(side, side));
    sides.emplace_back(10, 11);
    const Contours contours = rectangles_in_cells(sides, 9);

    std::vector<double> areas;
    for (const Contour& contour : contours)
        areas.push_back(cv::contourArea(contour));
    const std::vector<std::vector<double>> groups = tulo::intervals(areas, 2.0);
    ASSERT_EQ(groups.size(), 8u) << tulo::to_string(groups);
    ASSERT_EQ(groups[7], (std::vector<double>{100, 100, 100, 110}));

    // Each square's area is its interval's smallest value, so it takes the previous interval's colour.
    const std::vector<cv::Scalar> previous_colour{white, red, green, blue, cyan, yellow, magenta, white};
    std::vector<Paint> paints;
    for (const cv::Scalar& colour : previous_colour)
        paints.insert(paints.end(), 3, in(colour));
    paints.push_back(in(red));
    EXPECT_MAT_EQ(tulo::add_contours_and_limits_to_image(base(), contours), interval_drawing(base(), contours, paints));
}

INSTANTIATE_TEST_SUITE_P(Channels, ContoursLimits, ::testing::Values(CV_8UC1, CV_8UC3, CV_8UC4));

} // namespace
