// Contracts shared by every image operation: documented failures and their order, inputs left
// untouched, results on buffers of their own.
#include "support.hpp"

#include "pictures/scene.hpp"

#include <tulo/MatManip.hpp>

#include <functional>
#include <limits>
#include <stdexcept>
#include <string>

namespace {

using tulo::testing::operator<<;

using tulo::pictures::noise;
using tulo::testing::shares_buffer;

struct Failure {
    std::string name;
    std::function<void()> call;
    std::string message;
};

class MatManipFailures : public ::testing::TestWithParam<Failure> {};

TEST_P(MatManipFailures, ThrowsInvalidArgumentWithItsMessage)
{
    EXPECT_THROW_MSG(GetParam().call(), std::invalid_argument, GetParam().message);
}

const cv::Mat none;
const cv::Mat grey(8, 8, CV_8UC1, cv::Scalar(7));
const cv::Mat two(8, 8, CV_8UC2, cv::Scalar(7, 9));
const cv::Mat four(8, 8, CV_8UC4, cv::Scalar(1, 2, 3, 4));
const cv::Mat deep(8, 8, CV_16UC1, cv::Scalar(700));
const cv::Mat floating(4, 4, CV_32FC3, cv::Scalar::all(0.5));
const cv::Mat signed_bytes(4, 4, CV_8SC3, cv::Scalar::all(5));
const char* const negative_side = "width or height cannot be less than zero";
const cv::Mat hollow(0, 0, CV_16UC1);
const double nan = std::numeric_limits<double>::quiet_NaN();
const double inf = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    All, MatManipFailures,
    ::testing::Values(
        Failure{"greyscale_empty", [] { tulo::to_greyscale(none); }, "cannot convert an empty image to greyscale"},
        Failure{"greyscale_empty_four_channels", [] { tulo::to_greyscale(cv::Mat(0, 4, CV_8UC4)); },
                "cannot convert an empty image to greyscale"},
        Failure{"greyscale_two_channels", [] { tulo::to_greyscale(two); }, "cannot convert an image with 2 channels"},
        Failure{"greyscale_four_channels", [] { tulo::to_greyscale(four); }, "cannot convert an image with 4 channels"},
        Failure{"blur_empty", [] { tulo::apply_gaussian_blur(none, 3); }, "cannot blur an empty image"},
        Failure{"blur_empty_even_kernel", [] { tulo::apply_gaussian_blur(none, -2); }, "cannot blur an empty image"},
        Failure{"blur_kernel_zero", [] { tulo::apply_gaussian_blur(grey, 0); }, "invalid kernel size of 0"},
        Failure{"blur_kernel_even", [] { tulo::apply_gaussian_blur(grey, 4); }, "invalid kernel size of 4"},
        Failure{"blur_kernel_negative_odd", [] { tulo::apply_gaussian_blur(grey, -1); }, "invalid kernel size of -1"},
        Failure{"blur_grey_empty_bad_kernel", [] { tulo::apply_blur_and_convert_to_greyscale(none, 0); },
                "cannot blur an empty image"},
        Failure{"blur_grey_kernel_before_channels", [] { tulo::apply_blur_and_convert_to_greyscale(four, 2); },
                "invalid kernel size of 2"},
        Failure{"blur_grey_channels", [] { tulo::apply_blur_and_convert_to_greyscale(four, 3); },
                "cannot convert an image with 4 channels"},
        Failure{"invert_empty", [] { tulo::invert(none); }, "cannot invert an empty image"},
        Failure{"erode_empty", [] { tulo::erode(none, 1); }, "cannot apply erosion to an empty image"},
        Failure{"dilate_empty", [] { tulo::dilate(none, 1); }, "cannot apply dilation to an empty image"},
        Failure{"canny_empty", [] { tulo::apply_canny_edge_detection(none, 50.0); },
                "cannot apply canny edge detection to an empty image"},
        Failure{"rotate_empty", [] { tulo::rotate(none, 45.0); }, "cannot rotate an empty image"},
        Failure{"rotate_empty_nan", [] { tulo::rotate(none, nan); }, "cannot rotate an empty image"},
        Failure{"rotate_nan", [] { tulo::rotate(grey, nan); }, "invalid rotation angle"},
        Failure{"rotate_infinity", [] { tulo::rotate(grey, inf); }, "invalid rotation angle"},
        Failure{"rotate_minus_infinity", [] { tulo::rotate(grey, -inf); }, "invalid rotation angle"},
        Failure{"resize_empty", [] { tulo::resize(none, 0, 0); }, "cannot resize an empty image"},
        Failure{"resize_negative_width", [] { tulo::resize(grey, -1, 10); }, negative_side},
        Failure{"resize_negative_height", [] { tulo::resize(grey, 10, -1); }, negative_side},
        Failure{"resize_negative_before_zero", [] { tulo::resize(grey, -1, 0); }, negative_side},
        Failure{"resize_both_zero", [] { tulo::resize(grey, 0, 0); }, "width and height cannot both be invalid"},
        Failure{"resize_scale_empty", [] { tulo::resize(none, -0.5); }, "cannot resize an empty image"},
        Failure{"resize_scale_negative", [] { tulo::resize(grey, -0.5); }, "scale cannot be less than zero"},
        Failure{"letterbox_empty", [] { tulo::letterbox(none, 0, 0, cv::Scalar()); },
                "cannot letterbox an empty image"},
        Failure{"letterbox_zero_width", [] { tulo::letterbox(grey, 0, 10, cv::Scalar()); },
                "width or height cannot be less than one"},
        Failure{"letterbox_zero_height", [] { tulo::letterbox(grey, 10, 0, cv::Scalar()); },
                "width or height cannot be less than one"},
        Failure{"dog_empty", [] { tulo::apply_DoG(none, 1.6, 0.5, 1.0); }, "cannot apply DoG to an empty image"},
        Failure{"dog_four_channels", [] { tulo::apply_DoG(four, 1.6, 0.5, 1.0); },
                "cannot convert an image with 4 channels"},
        Failure{"dog_threshold_empty", [] { tulo::apply_DoG_threshold(none, 200.0, 0.5, 1.0); },
                "cannot apply DoG to an empty image"},
        Failure{"dog_threshold_empty_16bit", [] { tulo::apply_DoG_threshold(hollow, 200.0, 0.5, 1.0); },
                "cannot apply DoG to an empty image"},
        Failure{"dog_threshold_four_channels", [] { tulo::apply_DoG_threshold(four, 200.0, 0.5, 1.0); },
                "cannot convert an image with 4 channels"},
        Failure{"dog_threshold_16bit", [] { tulo::apply_DoG_threshold(deep, 200.0, 0.5, 1.0); },
                "cannot apply DoG threshold to an image that is not 8-bit"},
        Failure{"dog_threshold_float", [] { tulo::apply_DoG_threshold(floating, 200.0, 0.5, 1.0); },
                "cannot apply DoG threshold to an image that is not 8-bit"},
        Failure{"balance_empty", [] { tulo::apply_simple_colour_balance(none); },
                "cannot apply colour balance to an empty image"},
        Failure{"balance_empty_16bit", [] { tulo::apply_simple_colour_balance(hollow); },
                "cannot apply colour balance to an empty image"},
        Failure{"balance_16bit", [] { tulo::apply_simple_colour_balance(deep); },
                "cannot apply colour balance to an image that is not 8-bit"},
        Failure{"balance_signed_8bit", [] { tulo::apply_simple_colour_balance(signed_bytes); },
                "cannot apply colour balance to an image that is not 8-bit"},
        Failure{"histogram_empty", [] { tulo::plot_histogram(none, 5, 5, cv::Scalar()); },
                "cannot plot histogram for an empty image"},
        Failure{"histogram_channels_before_size", [] { tulo::plot_histogram(two, 5, 5, cv::Scalar()); },
                "cannot plot histogram for 2-channel image"},
        Failure{"histogram_four_channels", [] { tulo::plot_histogram(four, 640, 480, cv::Scalar()); },
                "cannot plot histogram for 4-channel image"},
        Failure{"histogram_width_9", [] { tulo::plot_histogram(grey, 9, 10, cv::Scalar()); },
                "cannot create histogram with invalid dimensions of 9x10"},
        Failure{"histogram_height_9", [] { tulo::plot_histogram(grey, 10, 9, cv::Scalar()); },
                "cannot create histogram with invalid dimensions of 10x9"},
        Failure{"histogram_640x5", [] { tulo::plot_histogram(grey, 640, 5, cv::Scalar()); },
                "cannot create histogram with invalid dimensions of 640x5"},
        Failure{"histogram_negative", [] { tulo::plot_histogram(grey, -1, 20, cv::Scalar()); },
                "cannot create histogram with invalid dimensions of -1x20"}),
    tulo::testing::by_name);

using Operation = std::function<cv::Mat(const cv::Mat&)>;

struct NamedOperation {
    std::string name;
    Operation run;
};

class MatManipPurity : public ::testing::TestWithParam<std::tuple<NamedOperation, int>> {};

// The input is a region of a larger image, so a result that merely re-uses (part of) the parent
// buffer is caught as well as one written into it.
TEST_P(MatManipPurity, LeavesInputAloneAndReturnsItsOwnBuffer)
{
    const auto& [operation, type] = GetParam();
    const cv::Mat parent = noise(60, 80, type, 11);
    const cv::Mat input = parent(cv::Rect(5, 7, 64, 48));
    const cv::Mat before = parent.clone();

    const cv::Mat result = operation.run(input);

    EXPECT_MAT_EQ(parent, before);
    ASSERT_FALSE(result.empty());
    EXPECT_FALSE(shares_buffer(result, parent));
}

INSTANTIATE_TEST_SUITE_P(
    All, MatManipPurity,
    ::testing::Combine(
        ::testing::Values(
            NamedOperation{"greyscale", [](const cv::Mat& m) { return tulo::to_greyscale(m); }},
            NamedOperation{"blur", [](const cv::Mat& m) { return tulo::apply_gaussian_blur(m, 3); }},
            NamedOperation{"blur_grey",
                           [](const cv::Mat& m) { return tulo::apply_blur_and_convert_to_greyscale(m, 1); }},
            NamedOperation{"invert", [](const cv::Mat& m) { return tulo::invert(m); }},
            NamedOperation{"erode", [](const cv::Mat& m) { return tulo::erode(m, 1); }},
            NamedOperation{"dilate", [](const cv::Mat& m) { return tulo::dilate(m, 2); }},
            NamedOperation{"canny", [](const cv::Mat& m) { return tulo::apply_canny_edge_detection(m, 50.0); }},
            NamedOperation{"rotate_0", [](const cv::Mat& m) { return tulo::rotate(m, 0.0); }},
            NamedOperation{"rotate_90", [](const cv::Mat& m) { return tulo::rotate(m, 90.0); }},
            NamedOperation{"rotate_180", [](const cv::Mat& m) { return tulo::rotate(m, 180.0); }},
            NamedOperation{"rotate_270", [](const cv::Mat& m) { return tulo::rotate(m, 270.0); }},
            NamedOperation{"rotate_45", [](const cv::Mat& m) { return tulo::rotate(m, 45.0); }},
            NamedOperation{"resize_same", [](const cv::Mat& m) { return tulo::resize(m, m.cols, m.rows); }},
            NamedOperation{"resize_derived", [](const cv::Mat& m) { return tulo::resize(m, 32, 0); }},
            NamedOperation{"scale_1", [](const cv::Mat& m) { return tulo::resize(m, 1.0); }},
            NamedOperation{"scale_half", [](const cv::Mat& m) { return tulo::resize(m, 0.5); }},
            NamedOperation{"letterbox_own_size",
                           [](const cv::Mat& m) { return tulo::letterbox(m, m.cols, m.rows, cv::Scalar(9)); }},
            NamedOperation{"letterbox_border",
                           [](const cv::Mat& m) { return tulo::letterbox(m, 40, 40, cv::Scalar(9)); }},
            NamedOperation{"dog", [](const cv::Mat& m) { return tulo::apply_DoG(m, 1.6, 0.5, 1.0); }},
            NamedOperation{"dog_threshold",
                           [](const cv::Mat& m) { return tulo::apply_DoG_threshold(m, 200.0, 0.5, 1.0); }},
            NamedOperation{"colour_balance", [](const cv::Mat& m) { return tulo::apply_simple_colour_balance(m); }},
            NamedOperation{"histogram",
                           [](const cv::Mat& m) { return tulo::plot_histogram(m, 64, 48, cv::Scalar()); }}),
        ::testing::Values(CV_8UC1, CV_8UC3)),
    [](const ::testing::TestParamInfo<std::tuple<NamedOperation, int>>& info) {
        return std::get<0>(info.param).name + (std::get<1>(info.param) == CV_8UC1 ? "_grey" : "_colour");
    });

} // namespace
