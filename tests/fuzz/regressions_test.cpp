// Faults that the fuzz target or the sanitizers found, each pinned by the smallest input that showed it.
#include "support.hpp"

#include <tulo/MatManip.hpp>
#include <tulo/Opsira.hpp>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <array>
#include <climits>
#include <vector>

namespace {

class FuzzRegressions : public ::testing::Test {};

// A stored image with three dimensions whose first two match the tile size was cloned as a tile and
// had its label drawn into it: OpenCV's drawing treats it as a plane and wrote past its buffer.
TEST_F(FuzzRegressions, MosaicOfAVolumeIsRefused)
{
    const cv::Mat original(3, 5, CV_8UC3, cv::Scalar(10, 20, 30));
    const std::array<int, 3> sizes{3, 5, 2};
    cv::Mat volume(3, sizes.data(), CV_8UC3, cv::Scalar(1, 2, 3));
    const cv::Mat volume_before = volume.clone();
    tulo::Opsira ws(original);
    ws.replace("volume", volume);

    EXPECT_THROW(ws.create_mosaic(true), cv::Exception);
    EXPECT_THROW(ws.create_mosaic(false), cv::Exception);
    EXPECT_MAT_EQ(ws.images.at("original"), original);
    EXPECT_EQ(cv::norm(volume, volume_before, cv::NORM_INF), 0.0);
}

// The same with the contour drawing: a two-channel 16-bit volume was deep-copied as the base and the
// contours drawn into it, past the end of its buffer.
TEST_F(FuzzRegressions, ContourDrawingOnAVolumeIsRefused)
{
    const std::array<int, 3> sizes{3, 5, 4};
    const cv::Mat volume(3, sizes.data(), CV_16SC2, cv::Scalar::all(9));
    const tulo::Contours contours{{{94, 23}, {INT_MAX, INT_MAX}}, {{-20, 98}, {98, 94}}};

    EXPECT_THROW(tulo::add_contours_to_image(volume, contours, cv::Scalar(1, 2, 3)), cv::Exception);
    EXPECT_THROW(tulo::add_contours_and_limits_to_image(volume, contours), cv::Exception);
}

// A label is placed at the rounded centre of the contour's rectangle, 10 pixels left and 5 down. For a
// contour spanning the whole range of int the centre rounds to INT_MIN, and the subtraction overflowed
// (undefined behaviour). Such a label lies off the canvas, so the drawing holds the contour line alone.
TEST_F(FuzzRegressions, ContourLabelAtTheEndOfIntDoesNotOverflow)
{
    const cv::Mat image(16, 16, CV_8UC3, cv::Scalar(40, 40, 40));
    const std::vector<cv::Point> sliver{{INT_MAX, 98}, {INT_MAX, 88}, {INT_MIN, 95}};
    const cv::Scalar yellow(0, 255, 255);
    const cv::Scalar white(255, 255, 255);
    cv::Mat in_yellow = image.clone();
    cv::polylines(in_yellow, sliver, true, yellow, 1, cv::LINE_AA, 0);
    // A single contour falls in no interval below its own area, so it is drawn in white.
    cv::Mat in_white = image.clone();
    cv::polylines(in_white, sliver, true, white, 1, cv::LINE_AA, 0);

    EXPECT_MAT_EQ(tulo::add_contours_to_image(image, {sliver}, yellow), in_yellow);
    EXPECT_MAT_EQ(tulo::add_contours_and_limits_to_image(image, {sliver}), in_white);
}

} // namespace
