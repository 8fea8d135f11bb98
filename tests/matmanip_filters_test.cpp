// Conversion, blur, inversion, morphology, edges and exact comparison, checked against the direct
// OpenCV calls or against brute-force loops.
#include "support.hpp"

#include "pictures/scene.hpp"

#include <tulo/MatManip.hpp>

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace {

using tulo::testing::operator<<;

using tulo::pictures::noise;

// Minimum (or maximum) over the 3 x 3 neighbourhood that lies inside the image, per channel.
cv::Mat neighbourhood_extreme(const cv::Mat& image, bool minimum)
{
    cv::Mat values;
    image.convertTo(values, CV_64F);
    cv::Mat extreme = values.clone();
    const int channels = values.channels();
    for (int y = 0; y < values.rows; ++y)
        for (int x = 0; x < values.cols * channels; ++x)
            for (int dy = -1; dy <= 1; ++dy)
                for (int dx = -channels; dx <= channels; dx += channels) {
                    const int ny = y + dy;
                    const int nx = x + dx;
                    if (ny < 0 || ny >= values.rows || nx < 0 || nx >= values.cols * channels)
                        continue;
                    const double v = values.ptr<double>(ny)[nx];
                    double& e = extreme.ptr<double>(y)[x];
                    e = minimum ? std::min(e, v) : std::max(e, v);
                }
    cv::Mat back;
    extreme.convertTo(back, image.depth());
    return back;
}

class MatManipFilters : public ::testing::TestWithParam<int> {
protected:
    const cv::Mat image = noise(31, 47, GetParam(), 3);
};

TEST_P(MatManipFilters, GreyscaleKeepsDepthWithBgrWeights)
{
    cv::Mat expected = image.clone();
    if (image.channels() == 3)
        cv::cvtColor(image, expected, cv::COLOR_BGR2GRAY);
    EXPECT_MAT_EQ(tulo::to_greyscale(image), expected);
}

TEST_P(MatManipFilters, BlurIsSquareGaussianWithDerivedSigmas)
{
    for (const int size : {1, 3, 5, 7}) {
        cv::Mat expected;
        cv::GaussianBlur(image, expected, cv::Size(size, size), 0.0, 0.0, cv::BORDER_DEFAULT);
        EXPECT_MAT_EQ(tulo::apply_gaussian_blur(image, size), expected) << "kernel " << size;
    }
}

TEST_P(MatManipFilters, BlurComesBeforeGreyscale)
{
    cv::Mat expected;
    cv::GaussianBlur(image, expected, cv::Size(5, 5), 0.0, 0.0, cv::BORDER_DEFAULT);
    if (image.channels() == 3)
        cv::cvtColor(expected, expected, cv::COLOR_BGR2GRAY);
    EXPECT_MAT_EQ(tulo::apply_blur_and_convert_to_greyscale(image, 5), expected);
}

TEST_P(MatManipFilters, InvertFlipsEveryBitAndTwiceIsIdentity)
{
    const cv::Mat inverted = tulo::invert(image);
    ASSERT_EQ(inverted.type(), image.type());
    ASSERT_TRUE(inverted.isContinuous() && image.isContinuous());
    const std::size_t bytes = image.total() * image.elemSize();
    std::size_t unflipped = 0;
    for (std::size_t i = 0; i < bytes; ++i)
        unflipped += (image.data[i] ^ inverted.data[i]) != 0xFF;
    EXPECT_EQ(unflipped, 0u);
    EXPECT_MAT_EQ(tulo::invert(inverted), image);
}

TEST_P(MatManipFilters, ErodeAndDilateTakeNeighbourhoodExtremesWithoutBorder)
{
    const cv::Mat eroded = neighbourhood_extreme(image, true);
    EXPECT_MAT_EQ(tulo::erode(image, 1), eroded);
    EXPECT_MAT_EQ(tulo::erode(image, 2), neighbourhood_extreme(eroded, true));
    EXPECT_MAT_EQ(tulo::dilate(image, 1), neighbourhood_extreme(image, false));
    EXPECT_MAT_EQ(tulo::dilate(image, 3), tulo::dilate(tulo::dilate(tulo::dilate(image, 1), 1), 1));
}

INSTANTIATE_TEST_SUITE_P(Types, MatManipFilters, ::testing::Values(CV_8UC1, CV_8UC3, CV_16UC3, CV_32FC3, CV_32FC1),
                         tulo::testing::by_type);

TEST(MatManipFilterValues, InvertOfBytesIsComplement)
{
    const cv::Mat bytes = (cv::Mat_<uchar>(1, 5) << 0, 1, 128, 254, 255);
    EXPECT_MAT_EQ(tulo::invert(bytes), (cv::Mat_<uchar>(1, 5) << 255, 254, 127, 1, 0));
}

TEST(MatManipFilterValues, UniformImageKeepsItsValueUnderMorphology)
{
    const cv::Mat uniform(9, 9, CV_8UC1, cv::Scalar(200));
    EXPECT_MAT_EQ(tulo::erode(uniform, 4), uniform);
    EXPECT_MAT_EQ(tulo::dilate(uniform, 4), uniform);
}

TEST(MatManipFilterValues, CannyUsesThreeTimesLowerThresholdAndL2Gradient)
{
    cv::Mat image;
    cv::GaussianBlur(noise(96, 96, CV_8UC1, 5), image, cv::Size(0, 0), 1.5);
    image.convertTo(image, CV_8U, 6.0, -6.0 * 128.0 + 128.0);
    cv::Mat expected;
    cv::Canny(image, expected, 50.0, 150.0, 3, true);
    cv::Mat other_upper;
    cv::Canny(image, other_upper, 50.0, 100.0, 3, true);
    cv::Mat l1_gradient;
    cv::Canny(image, l1_gradient, 50.0, 150.0, 3, false);
    ASSERT_FALSE(tulo::testing::mats_equal(expected, other_upper));
    ASSERT_FALSE(tulo::testing::mats_equal(expected, l1_gradient));

    EXPECT_MAT_EQ(tulo::apply_canny_edge_detection(image, 50.0), expected);
}

struct Comparison {
    std::string name;
    cv::Mat lhs;
    cv::Mat rhs;
    bool equal;
};

cv::Mat with_element(cv::Mat image, int x, int channel, double value)
{
    cv::Mat copy = image.clone();
    cv::Mat plane;
    cv::extractChannel(copy, plane, channel);
    plane.at<uchar>(0, x) = cv::saturate_cast<uchar>(value);
    cv::insertChannel(plane, copy, channel);
    return copy;
}

cv::Mat float_of_bits(std::uint32_t bits)
{
    float value = 0.0f;
    std::memcpy(&value, &bits, sizeof value);
    return cv::Mat(1, 1, CV_32FC1, cv::Scalar(value));
}

cv::Mat cube(int a, int b, int c, int value)
{
    const int sizes[] = {a, b, c};
    return cv::Mat(3, sizes, CV_8UC1, cv::Scalar(value));
}

std::vector<Comparison> comparisons()
{
    const cv::Mat colour = noise(6, 7, CV_8UC3, 2);
    const cv::Mat black(4, 4, CV_8UC3, cv::Scalar::all(0));
    const cv::Mat pairs = noise(5, 5, CV_8UC2, 4);
    const cv::Mat parent = noise(20, 20, CV_8UC1, 6);
    cv::Mat odd_cube = cube(2, 3, 4, 9);
    odd_cube.at<uchar>(1, 2, 3) = 10;
    return {
        {"both_empty", cv::Mat(), cv::Mat(0, 3, CV_8UC3), true},
        {"empty_and_image", cv::Mat(), colour, false},
        {"transposed_sizes", cv::Mat::zeros(480, 640, CV_8UC1), cv::Mat::zeros(640, 480, CV_8UC1), false},
        {"depths", cv::Mat(3, 3, CV_8UC1, cv::Scalar(5)), cv::Mat(3, 3, CV_16UC1, cv::Scalar(5)), false},
        {"channels", cv::Mat(3, 3, CV_8UC1, cv::Scalar(5)), cv::Mat(3, 1, CV_8UC3, cv::Scalar::all(5)), false},
        {"clone", colour, colour.clone(), true},
        {"region_and_clone", parent(cv::Rect(3, 4, 9, 8)), parent(cv::Rect(3, 4, 9, 8)).clone(), true},
        {"blue_off_by_one", black, with_element(black, 2, 0, 1), false},
        {"green_off_by_one", black, with_element(black, 2, 1, 1), false},
        {"alpha_only", cv::Mat(2, 2, CV_8UC4, cv::Scalar(1, 2, 3, 4)), cv::Mat(2, 2, CV_8UC4, cv::Scalar(1, 2, 3, 5)),
         false},
        {"two_channels_equal", pairs, pairs.clone(), true},
        {"two_channels_second_differs", pairs, with_element(pairs, 4, 1, pairs.at<cv::Vec2b>(0, 4)[1] ^ 1), false},
        {"signed_zeros", float_of_bits(0x00000000u), float_of_bits(0x80000000u), false},
        {"same_nan", float_of_bits(0x7fc00001u), float_of_bits(0x7fc00001u), true},
        {"nan_payloads", float_of_bits(0x7fc00001u), float_of_bits(0x7fc00002u), false},
        {"last_bit_of_double", cv::Mat(1, 1, CV_64FC1, cv::Scalar(1.0)),
         cv::Mat(1, 1, CV_64FC1, cv::Scalar(std::nextafter(1.0, 2.0))), false},
        {"cubes_equal", cube(2, 3, 4, 9), cube(2, 3, 4, 9), true},
        {"cubes_one_element", cube(2, 3, 4, 9), odd_cube, false},
        {"cubes_shapes", cube(2, 3, 4, 9), cube(3, 2, 4, 9), false},
        {"cube_and_plane", cube(2, 3, 4, 9), cv::Mat(6, 4, CV_8UC1, cv::Scalar(9)), false},
    };
}

class MatManipCompare : public ::testing::TestWithParam<Comparison> {};

TEST_P(MatManipCompare, EqualOnlyWhenEveryBitMatchesInEitherOrder)
{
    const Comparison& c = GetParam();
    EXPECT_EQ(tulo::compare_exact(c.lhs, c.rhs), c.equal);
    EXPECT_EQ(tulo::compare_exact(c.rhs, c.lhs), c.equal);
}

INSTANTIATE_TEST_SUITE_P(Pairs, MatManipCompare, ::testing::ValuesIn(comparisons()),
                         tulo::testing::by_name);

} // namespace
