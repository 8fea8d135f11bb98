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

// ---- what a drawing shows, read from its pixels ------------------------------------------

// Pixels of exactly `colour` (in the drawing's channels) inside `area`. Labels are drawn without
// anti-aliasing, so a labelled contour always leaves some; blends with the base never hit a
// palette colour exactly.
int pixels_of(const cv::Mat& drawing, const cv::Rect& area, const cv::Scalar& colour)
{
    cv::Mat same;
    cv::inRange(drawing(area), colour, colour, same);
    return cv::countNonZero(same);
}

// The box of the label texts: everything that changed more than 2 pixels away from any outline.
cv::Rect label_box(const cv::Mat& drawing, const cv::Mat& base, const Contours& contours)
{
    cv::Mat changed;
    cv::absdiff(drawing, base, changed);
    changed = changed.reshape(1, changed.rows * changed.cols);
    cv::reduce(changed, changed, 1, cv::REDUCE_MAX);
    changed = changed.reshape(1, base.rows) > 0;
    cv::polylines(changed, contours, true, cv::Scalar(0), 5);
    std::vector<cv::Point> inked;
    cv::findNonZero(changed, inked);
    return inked.empty() ? cv::Rect() : cv::boundingRect(inked);
}

// A label's origin is the centre of the contour's box moved 10 left and 5 down. Hershey digits
// stand 21 units high on the baseline; "0" starts 3 units right of the origin, "1" 6.
void expect_label_at(const cv::Rect& label, const cv::Point& centre, double scale, double first_digit_units)
{
    EXPECT_EQ(label.br().y - 1, centre.y + 5) << label;
    EXPECT_NEAR(label.x, centre.x - 10 + first_digit_units * scale, std::max(1.0, 1.5 * scale)) << label;
    EXPECT_NEAR(label.height, 21 * scale, 1 + scale) << label;
}

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
    EXPECT_MAT_EQ(drawing, cv::Mat::zeros(black.size(), CV_8UC3));
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

// A gap of up to 10 missing pixels is bridged; at 11 the segment stops at the gap, and the 68
// pixels beyond it are too few for a segment of their own.
TEST_F(ContoursTest, HoughLinesBridgeGapsOfTenPixels)
{
    for (const int gap : {10, 11}) {
        cv::Mat image = black.clone();
        cv::line(image, cv::Point(20, 50), cv::Point(169, 50), cv::Scalar(255));
        image(cv::Rect(90, 50, gap, 1)) = 0;
        std::vector<cv::Vec4i> lines;
        tulo::find_hough_lines(image, lines);
        ASSERT_EQ(lines.size(), 1u) << gap;
        EXPECT_EQ(std::abs(lines[0][2] - lines[0][0]) + 1, gap == 10 ? 150 : 69) << gap;
    }
}

// The segment is drawn over the white line in red, anti-aliased into the rows beside it; nothing
// else changes, and the input is left as it was.
TEST_F(ContoursTest, HoughLinesAreDrawnInRedOverTheImage)
{
    cv::Mat image = black.clone();
    cv::line(image, cv::Point(10, 20), cv::Point(200, 20), cv::Scalar(255));
    const cv::Mat before = image.clone();
    std::vector<cv::Vec4i> lines;
    const cv::Mat drawing = tulo::find_hough_lines(image, lines);
    ASSERT_EQ(lines, (std::vector<cv::Vec4i>{{10, 20, 200, 20}}));
    std::vector<cv::Mat> channels;
    cv::split(drawing, channels);
    EXPECT_MAT_EQ(channels[2].row(20).colRange(10, 201), cv::Mat(1, 191, CV_8UC1, cv::Scalar(255)));
    EXPECT_LT(cv::norm(channels[0].row(20).colRange(11, 200), cv::NORM_INF), 64.0);
    EXPECT_GT(cv::countNonZero(channels[2].row(19)), 150);
    EXPECT_EQ(cv::countNonZero(channels[2].rowRange(22, black.rows)), 0);
    EXPECT_MAT_EQ(channels[0], channels[1]);
    EXPECT_MAT_EQ(image, before);
}

TEST_F(ContoursTest, HoughLinesLeaveTheChecksToOpenCv)
{
    std::vector<cv::Vec4i> lines;
    EXPECT_THROW(tulo::find_hough_lines(cv::Mat(), lines), cv::Exception);
    EXPECT_THROW(tulo::find_hough_lines(cv::Mat::zeros(20, 20, CV_8UC3), lines), cv::Exception);
}

// ---- base image of the two drawings --------------------------------------------------------

class ContoursBase : public ::testing::TestWithParam<int> {};

// With no contour both drawings return the bare base, in a buffer of its own.
TEST_P(ContoursBase, DrawingsConvertOnlyOneChannelAndOnlyInTheSingleColourOne)
{
    cv::Mat image(30, 40, GetParam());
    cv::randu(image, 0, 256);
    const cv::Mat before = image.clone();

    const cv::Mat single = tulo::add_contours_to_image(image, {}, yellow);
    EXPECT_EQ(single.type(), GetParam() == CV_8UC1 ? CV_8UC3 : GetParam());
    cv::Mat expected = image;
    if (image.channels() == 1)
        cv::merge(std::vector<cv::Mat>(3, image), expected);
    EXPECT_MAT_EQ(single, expected);
    EXPECT_NE(single.data, image.data);

    const cv::Mat limits = tulo::add_contours_and_limits_to_image(image, {});
    EXPECT_MAT_EQ(limits, image);
    EXPECT_NE(limits.data, image.data);
    EXPECT_MAT_EQ(image, before);
}

INSTANTIATE_TEST_SUITE_P(Channels, ContoursBase,
                         ::testing::Values(CV_8UC1, CV_8UC3, CV_8UC4),
                         tulo::testing::by_type);

TEST_F(ContoursTest, DrawingsRejectAnEmptyImage)
{
    const Contours contours{rectangle(0, 0, 10, 10)};
    EXPECT_THROW_MSG(tulo::add_contours_to_image(cv::Mat(), contours, yellow), std::invalid_argument,
                     "cannot add contours to an empty image");
    EXPECT_THROW_MSG(tulo::add_contours_and_limits_to_image(cv::Mat(), contours), std::invalid_argument,
                     "cannot add contours to an empty image");
}

// ---- add_contours_to_image -----------------------------------------------------------------

// Only the contour above area 105 gets a label, 2.5 times the font's size, beside its centre.
TEST_F(ContoursTest, LabelsOnlyAboveArea105)
{
    const Contour exactly_105 = rectangle(30, 40, 15, 7);
    const Contour just_above = {{130, 40}, {145, 40}, {145, 47}, {131, 47}, {130, 48}};
    ASSERT_EQ(cv::contourArea(exactly_105), 105.0);
    ASSERT_EQ(cv::contourArea(just_above), 105.5);

    const cv::Mat drawing = tulo::add_contours_to_image(black, {exactly_105, just_above}, yellow);
    const cv::Mat base = cv::Mat::zeros(black.size(), CV_8UC3);
    EXPECT_TRUE(label_box(drawing, base, {exactly_105}).x >= 125) << "the contour of area 105 is labelled";
    const cv::Point2f centre = cv::minAreaRect(just_above).center;
    expect_label_at(label_box(drawing, base, {exactly_105, just_above}),
                    cv::Point(cvRound(centre.x), cvRound(centre.y)), 2.5, 6);
    EXPECT_GT(pixels_of(drawing, cv::Rect(cv::Point(0, 0), black.size()), yellow), 40);
}

// Of thirteen small squares only the last, larger one is labelled, and "12" is two digits wide.
TEST_F(ContoursTest, LabelIsTheIndexInTheList)
{
    Contours contours;
    for (int i = 0; i < 12; ++i)
        contours.push_back(rectangle(5 + 18 * i, 5, 10, 10));
    contours.push_back(rectangle(60, 100, 40, 30));
    const cv::Mat base(black.size(), CV_8UC3, cv::Scalar(40, 80, 120));
    const cv::Rect twelve = label_box(tulo::add_contours_to_image(base, contours, blue), base, contours);
    expect_label_at(twelve, cv::Point(80, 115), 2.5, 6);
    const Contours alone{contours.back()};
    const cv::Rect zero = label_box(tulo::add_contours_to_image(base, alone, blue), base, alone);
    expect_label_at(zero, cv::Point(80, 115), 2.5, 3);
    EXPECT_NEAR(twelve.br().x - zero.br().x, 20 * 2.5, 6);  // a digit advances 20 units
}

// ---- add_contours_and_limits_to_image ------------------------------------------------------

class ContoursLimits : public ::testing::TestWithParam<int> {
protected:
    cv::Mat base() const { return cv::Mat(200, 360, GetParam(), cv::Scalar::all(60)); }

    // Each contour in its 40 x 40 cell shows its expected colour and no other palette colour; a
    // skipped one leaves its cell untouched.
    void expect_colours(const std::vector<cv::Size>& sides, int columns, const std::vector<cv::Scalar>& colours) const
    {
        const Contours contours = rectangles_in_cells(sides, columns);
        const cv::Mat drawing = tulo::add_contours_and_limits_to_image(base(), contours);
        for (std::size_t i = 0; i < contours.size(); ++i) {
            const cv::Rect cell(40 * (static_cast<int>(i) % columns), 40 * (static_cast<int>(i) / columns), 40, 40);
            if (colours[i] == skipped) {
                EXPECT_MAT_EQ(drawing(cell), base()(cell)) << "contour " << i;
                continue;
            }
            EXPECT_GT(pixels_of(drawing, cell, colours[i]), 0) << "contour " << i;
            for (const cv::Scalar& other : {red, green, blue, cyan, yellow, magenta, white}) {
                // one channel shows only the blue component
                const bool looks_the_same = GetParam() == CV_8UC1 ? other[0] == colours[i][0] : other == colours[i];
                if (!looks_the_same) {
                    EXPECT_EQ(pixels_of(drawing, cell, other), 0) << "contour " << i << " has " << other;
                }
            }
        }
    }

    static inline const cv::Scalar skipped{-1, -1, -1, -1};
};

// Intervals {10, 12} and {100, 110}; an area equal to an interval's smallest value takes the
// colour of the interval before it.
TEST_P(ContoursLimits, ColoursByAreaInterval)
{
    expect_colours({{2, 5}, {3, 4}, {10, 10}, {10, 11}}, 4, {white, red, red, green});
}

// Gaps 0.17, 0.40, 0.05 and 0.90 against a threshold of 0.60 (0.30 with a multiplier of 1):
// one cut, before 200, so every area above 10 falls in the first interval.
TEST_P(ContoursLimits, GroupsWithMultiplierTwo)
{
    expect_colours({{2, 5}, {3, 4}, {4, 5}, {3, 7}, {10, 20}}, 5, {white, red, red, red, red});
}

// The 2 x 2 contour is neither drawn nor numbered, but it makes {4} an interval of its own, so
// the two equal areas 100 fall above its smallest value: red.
TEST_P(ContoursLimits, SmallContoursStillTakePartInTheGrouping)
{
    expect_colours({{2, 2}, {10, 10}, {10, 10}}, 4, {skipped, red, red});
}

TEST_P(ContoursLimits, PaletteWrapsAfterSevenIntervals)
{
    std::vector<cv::Size> sides;
    for (int side = 3; side <= 10; ++side)
        sides.insert(sides.end(), 3, cv::Size(side, side));
    sides.emplace_back(10, 11);

    std::vector<double> areas;
    for (const Contour& contour : rectangles_in_cells(sides, 9))
        areas.push_back(cv::contourArea(contour));
    const std::vector<std::vector<double>> groups = tulo::intervals(areas, 2.0);
    ASSERT_EQ(groups.size(), 8u) << tulo::to_string(groups);
    ASSERT_EQ(groups[7], (std::vector<double>{100, 100, 100, 110}));

    // Each square's area is its interval's smallest value, so it takes the previous interval's colour.
    std::vector<cv::Scalar> colours;
    for (const cv::Scalar& colour : {white, red, green, blue, cyan, yellow, magenta, white})
        colours.insert(colours.end(), 3, colour);
    colours.push_back(red);
    expect_colours(sides, 9, colours);
}

// The label is a fifth of the single-colour drawing's: half the font's size.
TEST_P(ContoursLimits, LabelsAreHalfTheFontSize)
{
    const Contours contours{rectangle(100, 80, 40, 30)};
    expect_label_at(label_box(tulo::add_contours_and_limits_to_image(base(), contours), base(), contours),
                    cv::Point(120, 95), 0.5, 3);
}

INSTANTIATE_TEST_SUITE_P(Channels, ContoursLimits, ::testing::Values(CV_8UC1, CV_8UC3, CV_8UC4),
                         tulo::testing::by_type);

} // namespace
