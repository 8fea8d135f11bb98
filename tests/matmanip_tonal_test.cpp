// Difference of Gaussians, its threshold, colour balance and the histogram plot, checked against
// sampled Gaussians, literal per-pixel, sorting and counting routes and hand-derived values.
#include "support.hpp"

#include "pictures/scene.hpp"

#include <tulo/MatManip.hpp>

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <string>
#include <vector>

namespace {

using tulo::testing::operator<<;

using tulo::pictures::noise;

// An 8-bit image with a bell-shaped spread of values, so that clipping limits sit inside the range.
cv::Mat bell_image(int rows, int cols, int type, unsigned seed)
{
    cv::Mat image(rows, cols, type);
    cv::RNG rng(seed);
    rng.fill(image, cv::RNG::NORMAL, 120.0, 25.0);
    return image;
}

struct DogArguments {
    std::string name;
    double k;
    double sigma;
    double weight;
};

// A Gaussian of deviation sigma sampled at whole pixels and summed to 1: what a blur spreads one
// bright pixel into.
double bell(int offset, double sigma)
{
    double sum = 0.0;
    for (int i = -1000; i <= 1000; ++i)
        sum += std::exp(-i * i / (2.0 * sigma * sigma));
    return std::exp(-offset * offset / (2.0 * sigma * sigma)) / sum;
}

const std::vector<DogArguments> dog_arguments{{"workspace", 1.6, 0.5, 1.0}, {"threshold", 200.0, 0.5, 1.0},
                                              {"half_weight", 2.0, 1.5, 0.5}, {"wide", 1.2, 3.0, 0.9}};

class MatManipDog : public ::testing::TestWithParam<DogArguments> {};

// One bright pixel in a row becomes the narrow bell minus weight times the wide bell.
TEST_P(MatManipDog, ImpulseGivesTheDifferenceOfTwoBells)
{
    const DogArguments& a = GetParam();
    cv::Mat impulse = cv::Mat::zeros(1, 1201, CV_32FC1);
    impulse.at<float>(600) = 1.0f;
    const cv::Mat dog = tulo::apply_DoG(impulse, a.k, a.sigma, a.weight);
    ASSERT_EQ(dog.type(), CV_32FC1);
    for (int x = 0; x < dog.cols; ++x)  // the blur cuts its bell at four deviations
        EXPECT_NEAR(dog.at<float>(x), bell(x - 600, a.sigma) - a.weight * bell(x - 600, a.k * a.sigma), 5e-5) << x;
}

INSTANTIATE_TEST_SUITE_P(Arguments, MatManipDog, ::testing::ValuesIn(dog_arguments),
                         tulo::testing::by_name);

// A uniform image blurs to itself, so the difference is its value times 1 - weight, saturated.
TEST(MatManipDogValues, UniformImagesKeepOneMinusTheWeight)
{
    EXPECT_MAT_EQ(tulo::apply_DoG(cv::Mat(5, 7, CV_8UC3, cv::Scalar::all(100)), 200.0, 0.5, 0.5),
                  cv::Mat(5, 7, CV_8UC1, cv::Scalar(50)));
    EXPECT_MAT_EQ(tulo::apply_DoG(cv::Mat(5, 7, CV_8UC1, cv::Scalar(100)), 1.6, 0.5, 2.0),
                  cv::Mat::zeros(5, 7, CV_8UC1));
    EXPECT_MAT_EQ(tulo::apply_DoG(cv::Mat(5, 7, CV_16UC3, cv::Scalar::all(1000)), 2.0, 1.5, 0.25),
                  cv::Mat(5, 7, CV_16UC1, cv::Scalar(750)));
}

// The threshold rule read literally, on the difference the library computes.
cv::Mat dog_threshold_per_pixel(const cv::Mat& image, const DogArguments& a)
{
    cv::Mat d = tulo::apply_DoG(image, a.k, a.sigma, a.weight);
    const long level = std::lround(cv::mean(d)[0] / 10.0);
    for (int y = 0; y < d.rows; ++y)
        for (int x = 0; x < d.cols; ++x) {
            uchar& v = d.at<uchar>(y, x);
            v = v > level ? 255 : 0;
        }
    return d;
}

class MatManipDogThreshold : public ::testing::TestWithParam<std::tuple<int, DogArguments>> {};

TEST_P(MatManipDogThreshold, MatchesPerPixelRule)
{
    const auto& [type, arguments] = GetParam();
    for (const unsigned seed : {1u, 2u, 3u}) {
        const cv::Mat image = bell_image(40 + int(seed), 60, type, seed);
        EXPECT_MAT_EQ(tulo::apply_DoG_threshold(image, arguments.k, arguments.sigma, arguments.weight),
                      dog_threshold_per_pixel(image, arguments));
    }
}

INSTANTIATE_TEST_SUITE_P(Arguments, MatManipDogThreshold,
                         ::testing::Combine(::testing::Values(CV_8UC1, CV_8UC3), ::testing::ValuesIn(dog_arguments)),
                         [](const ::testing::TestParamInfo<std::tuple<int, DogArguments>>& info) {
                             return cv::typeToString(std::get<0>(info.param)) + "_" +
                                    std::get<1>(info.param).name;
                         });

TEST(MatManipDogThresholdValues, ZeroDifferenceGivesZeroMask)
{
    const cv::Mat uniform(30, 30, CV_8UC3, cv::Scalar(90, 120, 30));
    const cv::Mat mask = tulo::apply_DoG_threshold(uniform, 1.6, 0.5, 1.0);
    EXPECT_MAT_EQ(mask, cv::Mat::zeros(30, 30, CV_8UC1));
}

// With a weight of 0 and a sigma too small for a kernel wider than one pixel the difference is
// the image itself: a mean of 25 gives the level round(2.5) = 3, so 3 stays 0 and 4 becomes 255.
TEST(MatManipDogThresholdValues, LevelRoundsHalfAwayFromZero)
{
    const cv::Mat image = (cv::Mat_<uchar>(1, 10) << 0, 1, 2, 3, 4, 5, 235, 0, 0, 0);
    ASSERT_TRUE(tulo::testing::mats_equal(tulo::apply_DoG(image, 1.0, 0.01, 0.0), image));
    EXPECT_MAT_EQ(tulo::apply_DoG_threshold(image, 1.0, 0.01, 0.0),
                  (cv::Mat_<uchar>(1, 10) << 0, 0, 0, 0, 255, 255, 255, 0, 0, 0));
}

cv::Mat balance_by_sorting(const cv::Mat& image)
{
    std::vector<cv::Mat> channels;
    cv::split(image, channels);
    for (cv::Mat& channel : channels) {
        cv::Mat flat;
        channel.reshape(1, 1).copyTo(flat);
        cv::sort(flat, flat, cv::SORT_EVERY_ROW | cv::SORT_ASCENDING);
        const float h = 0.005f;
        const double u = 1.0 - double(h);
        const double n = double(float(flat.cols));
        const int last = flat.cols - 1;
        const uchar low = flat.at<uchar>(0, std::min(int(std::floor(n * h)), last));
        const uchar high = flat.at<uchar>(0, std::min(int(std::ceil(n * u)), last));
        channel.setTo(cv::Scalar(low), channel < low);
        channel.setTo(cv::Scalar(high), channel > high);
        cv::normalize(channel, channel, 0.0, 255.0, cv::NORM_MINMAX);
    }
    cv::Mat result;
    cv::merge(channels, result);
    return result;
}

class MatManipBalance : public ::testing::TestWithParam<std::tuple<cv::Size, int>> {};

TEST_P(MatManipBalance, MatchesSortingRoute)
{
    const auto& [size, type] = GetParam();
    for (const unsigned seed : {1u, 2u, 3u}) {
        const cv::Mat bell = bell_image(size.height, size.width, type, seed);
        EXPECT_MAT_EQ(tulo::apply_simple_colour_balance(bell), balance_by_sorting(bell)) << "seed " << seed;
        const cv::Mat flat = noise(size.height, size.width, type, seed);
        EXPECT_MAT_EQ(tulo::apply_simple_colour_balance(flat), balance_by_sorting(flat)) << "seed " << seed;
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, MatManipBalance,
                         ::testing::Combine(::testing::Values(cv::Size(40, 25), cv::Size(1, 1), cv::Size(5, 2),
                                                              cv::Size(20, 10), cv::Size(67, 3), cv::Size(640, 480)),
                                            ::testing::Values(CV_8UC1, CV_8UC2, CV_8UC3, CV_8UC4)),
                         [](const ::testing::TestParamInfo<std::tuple<cv::Size, int>>& info) {
                             return tulo::testing::size_name(std::get<0>(info.param)) + "_" +
                                    cv::typeToString(std::get<1>(info.param));
                         });

cv::Mat shuffled(std::vector<uchar> values, int rows)
{
    cv::Mat image = cv::Mat(values, true).reshape(1, rows);
    cv::RNG rng(9);
    cv::randShuffle(image, 1.0, &rng);
    return image;
}

cv::Mat mapped(const cv::Mat& image, const std::vector<std::pair<int, int>>& mapping)
{
    cv::Mat table(1, 256, CV_8U, cv::Scalar(0));
    for (const auto& [from, to] : mapping)
        table.at<uchar>(from) = static_cast<uchar>(to);
    cv::Mat result;
    cv::LUT(image, table, result);
    return result;
}

// 1000 values: sorted positions 4 and 996 hold 10 and 200 (positions 5 and 995, which a double
// 0.005 would pick, hold 20 and 100). The stretch maps v to (v - 10) x 255 / 190.
TEST(MatManipBalanceValues, ThousandPixelsClipAtPositionsFourAndNineHundredNinetySix)
{
    std::vector<uchar> values(1000, 20);
    std::fill(values.begin(), values.begin() + 4, 0);
    values[4] = 10;
    values[995] = 100;
    values[996] = 200;
    std::fill(values.begin() + 997, values.end(), 250);
    const cv::Mat image = shuffled(values, 25);
    const cv::Mat expected = mapped(image, {{0, 0}, {10, 0}, {20, 13}, {100, 121}, {200, 255}, {250, 255}});
    EXPECT_MAT_EQ(tulo::apply_simple_colour_balance(image), expected);
}

// Ten pixels put the upper position one past the end; the maximum stands in for it.
TEST(MatManipBalanceValues, SmallChannelUsesItsMaximumAsUpperLimit)
{
    const cv::Mat image = shuffled({10, 20, 40, 70, 100, 110, 130, 160, 190, 200}, 2);
    const cv::Mat expected = mapped(image, {{10, 0}, {20, 13}, {40, 40}, {70, 81}, {100, 121}, {110, 134},
                                            {130, 161}, {160, 201}, {190, 242}, {200, 255}});
    EXPECT_MAT_EQ(tulo::apply_simple_colour_balance(image), expected);
}

TEST(MatManipBalanceValues, ConstantChannelComesOutZeroAndOthersSpanFullRange)
{
    EXPECT_MAT_EQ(tulo::apply_simple_colour_balance(cv::Mat(20, 20, CV_8UC3, cv::Scalar(5, 90, 250))),
                  cv::Mat::zeros(20, 20, CV_8UC3));
    std::vector<cv::Mat> channels;
    cv::split(tulo::apply_simple_colour_balance(bell_image(48, 64, CV_8UC3, 4)), channels);
    for (const cv::Mat& channel : channels) {
        double low = 0.0;
        double high = 0.0;
        cv::minMaxLoc(channel, &low, &high);
        EXPECT_EQ(low, 0.0);
        EXPECT_EQ(high, 255.0);
    }
}

struct Curve {
    cv::Scalar colour;
    int peak; // the one bin a uniform channel fills
};

// The plot of uniform channels by hand: x = round(j x width / 256), y = 3 at the peak and
// height - 3 elsewhere.
cv::Mat uniform_plot(cv::Size size, const cv::Scalar& background, const std::vector<Curve>& curves)
{
    cv::Mat plot(size, CV_8UC3, background);
    const auto point = [&](int j, int peak) {
        return cv::Point(int(std::floor(j * size.width / 256.0 + 0.5)), j == peak ? 3 : size.height - 3);
    };
    for (const Curve& curve : curves)
        for (int j = 1; j < 256; ++j)
            cv::line(plot, point(j - 1, curve.peak), point(j, curve.peak), curve.colour, 1, cv::LINE_AA);
    return plot;
}

TEST(MatManipHistogram, UniformGreyImageOnBlackIsWhiteWithPeakAtThree)
{
    const cv::Mat image(30, 40, CV_8UC1, cv::Scalar(7));
    // Segments run from x = 0 to 3 first and from 635 to 638 last.
    EXPECT_MAT_EQ(tulo::plot_histogram(image, 640, 480, cv::Scalar(0, 0, 0, 0)),
                  uniform_plot({640, 480}, cv::Scalar(), {{cv::Scalar::all(255), 7}}));
}

TEST(MatManipHistogram, GreyImageIsBlackOnAnyOtherBackground)
{
    const cv::Mat image(30, 40, CV_8UC1, cv::Scalar(200));
    EXPECT_MAT_EQ(tulo::plot_histogram(image, 300, 100, cv::Scalar(0, 0, 0, 1)), cv::Mat::zeros(100, 300, CV_8UC3));
    EXPECT_MAT_EQ(tulo::plot_histogram(image, 300, 100, cv::Scalar(40, 80, 120)),
                  uniform_plot({300, 100}, cv::Scalar(40, 80, 120), {{cv::Scalar(), 200}}));
}

TEST(MatManipHistogram, ColourChannelsAreBlueGreenRedDrawnInOrder)
{
    const cv::Mat image(30, 40, CV_8UC3, cv::Scalar(10, 100, 200));
    const Curve blue{cv::Scalar(255, 0, 0), 10};
    const Curve green{cv::Scalar(0, 255, 0), 100};
    const Curve red{cv::Scalar(0, 0, 255), 200};
    const cv::Mat plot = tulo::plot_histogram(image, 640, 480, cv::Scalar());
    EXPECT_MAT_EQ(plot, uniform_plot({640, 480}, cv::Scalar(), {blue, green, red}));
    EXPECT_FALSE(tulo::testing::mats_equal(plot, uniform_plot({640, 480}, cv::Scalar(), {red, green, blue})));
}

// The plot by hand: bins counted pixel by pixel, stretched so that the fullest reaches the height
// and the emptiest 0, rounded, kept 3 pixels from the edges and joined left to right.
cv::Mat plot_by_counting(const cv::Mat& image, cv::Size size)
{
    cv::Mat plot(size, CV_8UC3, cv::Scalar());
    const int channels = image.channels();
    const std::vector<cv::Scalar> colours = channels == 3
        ? std::vector<cv::Scalar>{cv::Scalar(255, 0, 0), cv::Scalar(0, 255, 0), cv::Scalar(0, 0, 255)}
        : std::vector<cv::Scalar>{cv::Scalar::all(255)};
    for (int c = 0; c < channels; ++c) {
        std::array<int, 256> counts{};
        for (int y = 0; y < image.rows; ++y)
            for (int x = 0; x < image.cols; ++x)
                ++counts[image.ptr<uchar>(y)[x * channels + c]];
        const auto [least, most] = std::minmax_element(counts.begin(), counts.end());
        const auto point = [&, least = *least, most = *most](int j) {
            const double stretched = double(counts[j] - least) * size.height / (most - least);
            const int y = size.height - int(std::lround(float(stretched)));
            return cv::Point(int(std::lround(j * size.width / 256.0)), std::clamp(y, 3, size.height - 3));
        };
        for (int j = 1; j < 256; ++j)
            cv::line(plot, point(j - 1), point(j), colours[c], 1, cv::LINE_AA);
    }
    return plot;
}

class MatManipHistogramSizes : public ::testing::TestWithParam<std::tuple<cv::Size, int>> {};

TEST_P(MatManipHistogramSizes, MatchesBinsDrawnAsPolyline)
{
    const auto& [size, type] = GetParam();
    const cv::Mat image = bell_image(60, 80, type, 8);
    EXPECT_MAT_EQ(tulo::plot_histogram(image, size.width, size.height, cv::Scalar()), plot_by_counting(image, size));
}

INSTANTIATE_TEST_SUITE_P(Sizes, MatManipHistogramSizes,
                         ::testing::Combine(::testing::Values(cv::Size(10, 10), cv::Size(300, 200), cv::Size(640, 480),
                                                              cv::Size(1001, 77)),
                                            ::testing::Values(CV_8UC1, CV_8UC3)),
                         [](const ::testing::TestParamInfo<std::tuple<cv::Size, int>>& info) {
                             return tulo::testing::size_name(std::get<0>(info.param)) + "_" +
                                    cv::typeToString(std::get<1>(info.param));
                         });

} // namespace
