// Skew estimation on a page of text turned by tulo::rotate, and deskew's canvas, type and fill.
#include "support.hpp"

#include "pictures/page.hpp"
#include "pictures/scene.hpp"

#include <tulo/MatManip.hpp>
#include <tulo/Skew.hpp>

#include <opencv2/imgproc.hpp>

#include <cmath>
#include <limits>
#include <string>

namespace {

using tulo::testing::operator<<;

using tulo::pictures::noise;
using tulo::testing::shares_buffer;

constexpr double tolerance_degrees = 0.1;

const cv::Mat& page()
{
    static const cv::Mat drawn = [] {
        tulo::pictures::PageCase book;  // 1020 x 1320 pixels
        book.dpi = 120;
        book.layout = tulo::pictures::Layout::headings;
        book.face = tulo::pictures::Face::book;
        book.seed = 1309;
        return tulo::pictures::render_page(book);
    }();
    return drawn;
}

class SkewOfTurnedPage : public ::testing::TestWithParam<double> {};

// tulo::rotate turns counter-clockwise for a positive angle, so lines rising to the right by a
// degrees need a correction of -a; deskew by that correction levels the page again.
TEST_P(SkewOfTurnedPage, IsTheOppositeOfTheTurnAndDeskewLevelsIt)
{
    const double angle = GetParam();
    const cv::Mat turned = tulo::rotate(page(), angle);
    const tulo::SkewEstimate estimate = tulo::estimate_skew(turned);
    EXPECT_NEAR(estimate.correction, -angle, tolerance_degrees);
    EXPECT_GE(estimate.confidence, tulo::min_skew_confidence);

    const cv::Mat levelled = tulo::deskew(turned, estimate.correction);
    const tulo::SkewEstimate level = tulo::estimate_skew(levelled);
    EXPECT_NEAR(level.correction, 0.0, tolerance_degrees);
}

INSTANTIATE_TEST_SUITE_P(Angles, SkewOfTurnedPage, ::testing::Values(-40.0, -17.3, -3.0, 0.0, 0.6, 12.25, 40.0),
                         tulo::testing::by_number);

struct PageFormat {
    std::string name;
    int type;
    bool light_on_dark;
};

class SkewOfPageFormat : public ::testing::TestWithParam<PageFormat> {};

TEST_P(SkewOfPageFormat, FindsTheSameTurn)
{
    cv::Mat grey = tulo::rotate(page(), 7.5);
    if (GetParam().light_on_dark)
        cv::bitwise_not(grey, grey);
    cv::Mat image = grey;
    const int channels = CV_MAT_CN(GetParam().type);
    if (channels > 1)
        cv::cvtColor(grey, image, channels == 3 ? cv::COLOR_GRAY2BGR : cv::COLOR_GRAY2BGRA);
    image.convertTo(image, GetParam().type, CV_MAT_DEPTH(GetParam().type) == CV_16U ? 257.0 : 1.0);
    const tulo::SkewEstimate estimate = tulo::estimate_skew(image);
    EXPECT_NEAR(estimate.correction, -7.5, tolerance_degrees);
    EXPECT_GE(estimate.confidence, tulo::min_skew_confidence);
}

INSTANTIATE_TEST_SUITE_P(Formats, SkewOfPageFormat,
                         ::testing::Values(PageFormat{"grey16", CV_16UC1, false}, PageFormat{"bgra8", CV_8UC4, false},
                                           PageFormat{"bgr16", CV_16UC3, false},
                                           PageFormat{"light_on_dark", CV_8UC1, true}),
                         tulo::testing::by_name);

TEST(Skew, WithoutRowsIsUntrustedAndUncorrected)
{
    const cv::Mat blank(1200, 900, CV_8UC3, cv::Scalar(235, 240, 245));
    for (const cv::Mat& image : {blank, noise(1200, 900, CV_8UC1, 7), noise(600, 800, CV_16UC3, 8),
                                 noise(3000, 1, CV_8UC1, 9), noise(1, 1, CV_16UC4, 10)}) {
        const tulo::SkewEstimate estimate = tulo::estimate_skew(image);
        EXPECT_LT(estimate.confidence, tulo::min_skew_confidence);
        EXPECT_EQ(estimate.correction, 0.0);
    }
}

TEST(Skew, StaysWithinTheMaximumAngle)
{
    const tulo::SkewEstimate estimate = tulo::estimate_skew(tulo::rotate(page(), 2.0), 2.5);
    EXPECT_NEAR(estimate.correction, -2.0, tolerance_degrees);
    EXPECT_LE(std::abs(tulo::estimate_skew(tulo::rotate(page(), 20.0), 5.0).correction), 5.0);
}

TEST(Skew, RejectsBadArguments)
{
    const cv::Mat grey(20, 20, CV_8UC1, cv::Scalar::all(255));
    EXPECT_THROW_MSG(tulo::estimate_skew(cv::Mat()), std::invalid_argument,
                     "cannot estimate the skew of an empty image");
    EXPECT_THROW_MSG(tulo::estimate_skew(cv::Mat(20, 20, CV_32FC1)), std::invalid_argument,
                     "skew estimation needs an 8- or 16-bit image");
    EXPECT_THROW_MSG(tulo::estimate_skew(cv::Mat(20, 20, CV_8UC2)), std::invalid_argument,
                     "skew estimation needs an image of 1, 3 or 4 channels");
    for (const double angle : {0.0, -5.0, 45.5, std::numeric_limits<double>::quiet_NaN()})
        EXPECT_THROW_MSG(tulo::estimate_skew(grey, angle), std::invalid_argument, "invalid maximum angle");
    EXPECT_THROW_MSG(tulo::deskew(cv::Mat(), 1.0), std::invalid_argument, "cannot deskew an empty image");
    EXPECT_THROW_MSG(tulo::deskew(grey, std::numeric_limits<double>::infinity()), std::invalid_argument,
                     "invalid correction angle");
}

class DeskewOfType : public ::testing::TestWithParam<int> {};

TEST_P(DeskewOfType, KeepsTypeFillsWithThePaperAndSizesTheCanvas)
{
    cv::Mat image(90, 160, GetParam(), cv::Scalar(200, 150, 100, 50));
    image(cv::Rect(40, 30, 80, 30)) = cv::Scalar::all(7);
    const cv::Mat same = tulo::deskew(image, 30.0);
    EXPECT_EQ(same.size(), image.size());
    EXPECT_EQ(same.type(), image.type());
    EXPECT_MAT_EQ(same(cv::Rect(0, 0, 1, 1)), image(cv::Rect(0, 0, 1, 1)));

    const cv::Mat expanded = tulo::deskew(image, 30.0, tulo::DeskewCanvas::expand);
    EXPECT_EQ(expanded.size(), cv::Size(184, 158));  // 160 cos 30 + 90 sin 30, 160 sin 30 + 90 cos 30
    EXPECT_EQ(expanded.type(), image.type());
    EXPECT_MAT_EQ(expanded(cv::Rect(0, 0, 1, 1)), image(cv::Rect(0, 0, 1, 1)));

    const cv::Mat copy = tulo::deskew(image, 0.0, tulo::DeskewCanvas::expand);
    EXPECT_MAT_EQ(copy, image);
    EXPECT_FALSE(shares_buffer(copy, image));
}

INSTANTIATE_TEST_SUITE_P(Types, DeskewOfType, ::testing::Values(CV_8UC1, CV_8UC3, CV_8UC4, CV_16UC1, CV_32FC3),
                         tulo::testing::by_type);

} // namespace
