#include <tulo/MatManip.hpp>

#include <tulo/Intervals.hpp>

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

namespace tulo {

namespace {

constexpr const char* dog_empty_message = "cannot apply DoG to an empty image";

void require_image(const cv::Mat& image, const char* message)
{
    if (image.empty())
        throw std::invalid_argument(message);
}

void require_8bit(const cv::Mat& image, const char* message)
{
    if (image.depth() != CV_8U)
        throw std::invalid_argument(message);
}

using MorphologyOperation = void (*)(cv::InputArray, cv::OutputArray, cv::InputArray, cv::Point, int, int,
                                     const cv::Scalar&);

cv::Mat morphology(const cv::Mat& image, int iterations, MorphologyOperation operation, const char* empty_message)
{
    require_image(image, empty_message);
    cv::Mat result;
    operation(image, result, cv::Mat(), cv::Point(-1, -1), iterations, cv::BORDER_CONSTANT,
              cv::morphologyDefaultBorderValue());
    return result;
}

// Views a continuous matrix as plain bytes, so that equality is judged on bits rather than on
// values: +0.0 and -0.0 differ, identical NaN patterns match.
cv::Mat as_bytes(const cv::Mat& continuous)
{
    std::vector<int> sizes(continuous.size.p, continuous.size.p + continuous.dims);
    sizes.back() *= static_cast<int>(continuous.elemSize());
    return cv::Mat(continuous.dims, sizes.data(), CV_8U, continuous.data);
}

// Rounds half away from zero into a side length. NaN, zero and negative values all come out as 0
// ("no image"), values beyond int saturate, so no conversion is undefined.
int round_side(double value)
{
    const double rounded = std::round(value);
    if (!(rounded > 0.0))
        return 0;
    return rounded >= std::numeric_limits<int>::max() ? std::numeric_limits<int>::max() : static_cast<int>(rounded);
}

// Remainder first, so that every finite angle lands in [0, 360) in constant time; a tiny negative
// angle gives exactly 360 after the addition, which is the full turn 0.
double normalised_angle(double angle)
{
    double a = std::fmod(angle, 360.0);
    if (a < 0.0)
        a += 360.0;
    return a == 360.0 ? 0.0 : a;
}

cv::Mat quarter_turn(const cv::Mat& image, cv::RotateFlags turn)
{
    cv::Mat result;
    cv::rotate(image, result, turn);
    return result;
}

cv::Mat rotate_on_bounding_canvas(const cv::Mat& image, double angle)
{
    const cv::Point2f centre(image.cols * 0.5f, image.rows * 0.5f);
    cv::Mat matrix = cv::getRotationMatrix2D(centre, angle, 1.0);
    const cv::Size2f extent(static_cast<float>(image.cols), static_cast<float>(image.rows));
    const cv::Rect2f box = cv::RotatedRect(centre, extent, static_cast<float>(angle)).boundingRect2f();
    matrix.at<double>(0, 2) += box.width * 0.5 - centre.x;
    matrix.at<double>(1, 2) += box.height * 0.5 - centre.y;
    cv::Mat result;
    cv::warpAffine(image, result, matrix, cv::Size(cvRound(box.width), cvRound(box.height)), cv::INTER_LINEAR,
                   cv::BORDER_CONSTANT, cv::Scalar());
    return result;
}

using ChannelHistogram = std::array<std::size_t, 256>;

ChannelHistogram count_values(const cv::Mat& channel)
{
    const cv::Mat flat = channel.reshape(1, 1);
    const uchar* const pixels = flat.ptr<uchar>();
    ChannelHistogram histogram{};
    for (std::size_t i = 0; i < flat.total(); ++i)
        ++histogram[pixels[i]];
    return histogram;
}

// The value at `position` of the channel's values in ascending order.
int value_at(const ChannelHistogram& histogram, std::size_t position)
{
    std::size_t value = 0;
    for (std::size_t before = 0; before + histogram[value] <= position; ++value)
        before += histogram[value];
    return static_cast<int>(value);
}

// The values at sorted positions floor(N h) and ceil(N u) of an 8-bit channel, read from its
// histogram instead of a sort. A channel of at most 200 pixels puts the upper position one past
// the end; the last value (the maximum) stands in for it.
std::array<int, 2> clipping_limits(const cv::Mat& channel)
{
    const ChannelHistogram histogram = count_values(channel);
    const std::size_t count = channel.total();
    const float h = 0.005f;
    const double u = 1.0 - static_cast<double>(h);
    const double n = static_cast<double>(static_cast<float>(count));
    const auto limit = [&](double position) {
        return value_at(histogram, std::min(static_cast<std::size_t>(position), count - 1));
    };
    return {limit(std::floor(n * h)), limit(std::ceil(n * u))};
}

void balance_channel(cv::Mat& channel)
{
    const std::array<int, 2> limits = clipping_limits(channel);
    channel.setTo(cv::Scalar(limits[0]), channel < limits[0]);
    channel.setTo(cv::Scalar(limits[1]), channel > limits[1]);
    cv::normalize(channel, channel, 0.0, 255.0, cv::NORM_MINMAX, -1, cv::noArray());
}

std::vector<cv::Scalar> histogram_colours(int channels, const cv::Scalar& background)
{
    if (channels == 3)
        return {cv::Scalar(255, 0, 0, 0), cv::Scalar(0, 255, 0, 0), cv::Scalar(0, 0, 255, 0)};
    const bool black_background = background == cv::Scalar(0.0, 0.0, 0.0, 0.0);
    return {black_background ? cv::Scalar(255, 255, 255, 0) : cv::Scalar(0, 0, 0, 0)};
}

void draw_histogram_curve(cv::Mat& plot, const cv::Mat& channel, float bin_width, const cv::Scalar& colour)
{
    const int size = 256;
    const float range[] = {0.0f, 256.0f};
    const float* ranges = range;
    cv::Mat hist;
    cv::calcHist(&channel, 1, nullptr, cv::Mat(), hist, 1, &size, &ranges, true, false);
    cv::normalize(hist, hist, 0.0, static_cast<double>(plot.rows), cv::NORM_MINMAX, -1, cv::noArray());

    const auto point = [&](int bin) {
        const int x = static_cast<int>(std::roundf(static_cast<float>(bin) * bin_width));
        const int y = plot.rows - static_cast<int>(std::roundf(hist.at<float>(bin)));
        return cv::Point(x, y <= 2 ? 3 : std::min(y, plot.rows - 3));
    };
    for (int bin = 1; bin < size; ++bin)
        cv::line(plot, point(bin - 1), point(bin), colour, 1, cv::LINE_AA, 0);
}

// Contour drawing.

using Contour = Contours::value_type;

// The single-colour drawing numbers only contours above this area, in large type.
constexpr double labelled_area = 105.0;
constexpr double large_font_scale = 2.5;
// The interval drawing skips contours at or below this area and numbers the rest in small type.
constexpr double drawn_area = 5.0;
constexpr double small_font_scale = 0.5;
constexpr double area_gap_multiplier = 2.0;

const cv::Scalar white(255, 255, 255, 0);

// Area interval k is drawn in entry k mod 7.
const std::array<cv::Scalar, 7> interval_palette = {
    cv::Scalar(0, 0, 255, 0),   cv::Scalar(0, 255, 0, 0),     cv::Scalar(255, 0, 0, 0),
    cv::Scalar(255, 255, 0, 0), cv::Scalar(0, 255, 255, 0),   cv::Scalar(255, 0, 255, 0),
    white};

// OpenCV draws on planes only; a volume would be written as a plane, past the end of its buffer.
void require_plane(const cv::Mat& image)
{
    CV_Assert(image.dims <= 2);
}

double area_of(const Contour& contour)
{
    return cv::contourArea(contour, false);
}

void draw_contour(cv::Mat& canvas, const Contour& contour, const cv::Scalar& colour)
{
    cv::polylines(canvas, contour, true, colour, 1, cv::LINE_AA, 0);
}

// The index, written left of and below the centre of the contour's minimum-area rectangle.
void draw_label(cv::Mat& canvas, const Contour& contour, const std::size_t index, const double font_scale,
                const cv::Scalar& colour)
{
    const cv::Point2f centre = cv::minAreaRect(contour).center;
    const long long x = static_cast<long long>(cvRound(centre.x)) - 10;
    const long long y = static_cast<long long>(cvRound(centre.y)) + 5;
    // A contour at the very end of int has its label beyond any canvas, and beyond int.
    if (x < std::numeric_limits<int>::min() || y > std::numeric_limits<int>::max())
        return;
    const cv::Point origin(static_cast<int>(x), static_cast<int>(y));
    cv::putText(canvas, std::to_string(index), origin, cv::FONT_HERSHEY_SIMPLEX, font_scale, colour, 1,
                cv::LINE_8, false);
}

// The last interval whose smallest value lies strictly below the area; white when there is none.
cv::Scalar interval_colour(const std::vector<std::vector<double>>& groups, const double area)
{
    for (std::size_t k = groups.size(); k-- > 0;)
        if (groups[k].front() < area)
            return interval_palette[k % interval_palette.size()];
    return white;
}

std::vector<std::vector<double>> group_areas(const Contours& contours)
{
    std::vector<double> areas;
    areas.reserve(contours.size());
    for (const Contour& contour : contours)
        areas.push_back(area_of(contour));
    return tulo::intervals(areas, area_gap_multiplier);
}

} // namespace

// ---- Conversion and filtering ---------------------------------------------------------------

cv::Mat to_greyscale(const cv::Mat& image)
{
    require_image(image, "cannot convert an empty image to greyscale");
    const int channels = image.channels();
    if (channels != 1 && channels != 3)
        throw std::invalid_argument("cannot convert an image with " + std::to_string(channels) + " channels");
    cv::Mat result;
    if (channels == 1)
        image.copyTo(result);
    else
        cv::cvtColor(image, result, cv::COLOR_BGR2GRAY);
    return result;
}

cv::Mat apply_gaussian_blur(const cv::Mat& image, int kernel_size)
{
    require_image(image, "cannot blur an empty image");
    if (kernel_size <= 0 || kernel_size % 2 == 0)
        throw std::invalid_argument("invalid kernel size of " + std::to_string(kernel_size));
    cv::Mat result;
    cv::GaussianBlur(image, result, cv::Size(kernel_size, kernel_size), 0.0, 0.0, cv::BORDER_DEFAULT);
    return result;
}

cv::Mat apply_blur_and_convert_to_greyscale(const cv::Mat& image, int kernel_size)
{
    return tulo::to_greyscale(tulo::apply_gaussian_blur(image, kernel_size));
}

cv::Mat invert(const cv::Mat& image)
{
    require_image(image, "cannot invert an empty image");
    cv::Mat result;
    cv::bitwise_not(image, result, cv::noArray());
    return result;
}

cv::Mat erode(const cv::Mat& image, int iterations)
{
    return morphology(image, iterations, cv::erode, "cannot apply erosion to an empty image");
}

cv::Mat dilate(const cv::Mat& image, int iterations)
{
    return morphology(image, iterations, cv::dilate, "cannot apply dilation to an empty image");
}

cv::Mat apply_canny_edge_detection(const cv::Mat& image, double low_threshold)
{
    require_image(image, "cannot apply canny edge detection to an empty image");
    cv::Mat result;
    cv::Canny(image, result, low_threshold, 3.0 * low_threshold, 3, true);
    return result;
}

bool compare_exact(const cv::Mat& lhs, const cv::Mat& rhs)
{
    if (lhs.empty() || rhs.empty())
        return lhs.empty() && rhs.empty();
    if (lhs.size != rhs.size || lhs.type() != rhs.type())
        return false;
    cv::Mat diff;
    cv::bitwise_xor(lhs, rhs, diff, cv::noArray());
    return cv::countNonZero(as_bytes(diff)) == 0;
}

// ---- Geometry --------------------------------------------------------------------------------

cv::Mat rotate(const cv::Mat& image, double angle)
{
    require_image(image, "cannot rotate an empty image");
    if (!std::isfinite(angle))
        throw std::invalid_argument("invalid rotation angle");
    const double a = normalised_angle(angle);
    if (a == 0.0)
        return image.clone();
    if (a == 90.0)
        return quarter_turn(image, cv::ROTATE_90_COUNTERCLOCKWISE);
    if (a == 180.0)
        return quarter_turn(image, cv::ROTATE_180);
    if (a == 270.0)
        return quarter_turn(image, cv::ROTATE_90_CLOCKWISE);
    return rotate_on_bounding_canvas(image, a);
}

cv::Mat resize(const cv::Mat& image, int width, int height)
{
    require_image(image, "cannot resize an empty image");
    if (width < 0 || height < 0)
        throw std::invalid_argument("width or height cannot be less than zero");
    if (width == 0 && height == 0)
        throw std::invalid_argument("width and height cannot both be invalid");
    const int new_width = width != 0 ? width : round_side(static_cast<double>(height) * image.cols / image.rows);
    const int new_height = height != 0 ? height : round_side(static_cast<double>(width) * image.rows / image.cols);
    if (new_width <= 0 || new_height <= 0)
        return cv::Mat();
    const int interpolation = new_width <= image.cols ? cv::INTER_AREA : cv::INTER_LINEAR;
    cv::Mat result;
    cv::resize(image, result, cv::Size(new_width, new_height), 0.0, 0.0, interpolation);
    return result;
}

cv::Mat resize(const cv::Mat& image, double scale)
{
    require_image(image, "cannot resize an empty image");
    if (scale < 0.0)
        throw std::invalid_argument("scale cannot be less than zero");
    const int width = round_side(image.cols * scale);
    const int height = round_side(image.rows * scale);
    if (width <= 0 || height <= 0)
        return cv::Mat();
    return tulo::resize(image, width, height);
}

cv::Mat letterbox(const cv::Mat& image, int width, int height, const cv::Scalar& colour)
{
    require_image(image, "cannot letterbox an empty image");
    if (width < 1 || height < 1)
        throw std::invalid_argument("width or height cannot be less than one");
    const double scale =
        std::min(static_cast<double>(width) / image.cols, static_cast<double>(height) / image.rows);
    cv::Mat scaled = tulo::resize(image, scale);
    if (scaled.cols == width && scaled.rows == height)
        return scaled;
    cv::Mat canvas(height, width, image.type());
    canvas = colour;
    if (!scaled.empty()) {
        const cv::Point offset((width - scaled.cols) / 2, (height - scaled.rows) / 2);
        scaled.copyTo(canvas(cv::Rect(offset, scaled.size())));
    }
    return canvas;
}

// ---- Contours and lines --------------------------------------------------------------------

Contours find_contours(const cv::Mat& image)
{
    require_image(image, "cannot find contours in an empty image");
    Contours contours;
    std::vector<cv::Vec4i> hierarchy;
    cv::findContours(image, contours, hierarchy, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE, cv::Point(0, 0));
    return contours;
}

std::vector<cv::RotatedRect> convert_contours_to_rotated_rects(const Contours& contours)
{
    std::vector<cv::RotatedRect> rects;
    rects.reserve(contours.size());
    for (const Contour& contour : contours)
        rects.push_back(cv::minAreaRect(contour));
    return rects;
}

cv::Mat find_hough_lines(const cv::Mat& image, std::vector<cv::Vec4i>& lines)
{
    lines.clear();
    cv::HoughLinesP(image, lines, 1.0, CV_PI / 360, 80, 5.0, 10.0);
    cv::Mat result;
    cv::cvtColor(image, result, cv::COLOR_GRAY2BGR);
    for (const cv::Vec4i& line : lines)
        cv::line(result, cv::Point(line[0], line[1]), cv::Point(line[2], line[3]), cv::Scalar(0, 0, 255), 1,
                 cv::LINE_AA, 0);
    return result;
}

cv::Mat add_contours_to_image(const cv::Mat& image, const Contours& contours, const cv::Scalar& colour)
{
    require_image(image, "cannot add contours to an empty image");
    require_plane(image);
    cv::Mat result;
    if (image.channels() == 1)
        cv::cvtColor(image, result, cv::COLOR_GRAY2BGR);
    else
        image.copyTo(result);
    for (const Contour& contour : contours)
        draw_contour(result, contour, colour);
    // Labels go on top of every contour line.
    for (std::size_t i = 0; i < contours.size(); ++i)
        if (area_of(contours[i]) > labelled_area)
            draw_label(result, contours[i], i, large_font_scale, colour);
    return result;
}

cv::Mat add_contours_and_limits_to_image(const cv::Mat& image, const Contours& contours)
{
    require_image(image, "cannot add contours to an empty image");
    require_plane(image);
    const std::vector<std::vector<double>> groups = group_areas(contours);
    cv::Mat result;
    image.copyTo(result);
    for (std::size_t i = 0; i < contours.size(); ++i) {
        const double area = area_of(contours[i]);
        if (area <= drawn_area)
            continue;
        const cv::Scalar colour = interval_colour(groups, area);
        draw_contour(result, contours[i], colour);
        draw_label(result, contours[i], i, small_font_scale, colour);
    }
    return result;
}

// ---- Difference of Gaussians and colour balance -----------------------------------------------

cv::Mat apply_DoG(const cv::Mat& image, double k, double sigma, double weight)
{
    require_image(image, dog_empty_message);
    const cv::Mat grey = tulo::to_greyscale(image);
    const double wide_sigma = k * sigma;
    cv::Mat narrow;
    cv::Mat wide;
    cv::GaussianBlur(grey, narrow, cv::Size(0, 0), sigma, sigma, cv::BORDER_DEFAULT);
    cv::GaussianBlur(grey, wide, cv::Size(0, 0), wide_sigma, wide_sigma, cv::BORDER_DEFAULT);
    cv::Mat difference = narrow - weight * wide;
    return difference;
}

cv::Mat apply_DoG_threshold(const cv::Mat& image, double k, double sigma, double weight)
{
    require_image(image, dog_empty_message);
    require_8bit(image, "cannot apply DoG threshold to an image that is not 8-bit");
    cv::Mat difference = tulo::apply_DoG(image, k, sigma, weight);
    const int level = static_cast<int>(std::round(cv::mean(difference, cv::noArray())[0] / 10.0));
    // On 8-bit data this is exactly "above the level becomes 255, everything else 0".
    cv::threshold(difference, difference, level, 255, cv::THRESH_BINARY);
    return difference;
}

cv::Mat apply_simple_colour_balance(const cv::Mat& image)
{
    require_image(image, "cannot apply colour balance to an empty image");
    require_8bit(image, "cannot apply colour balance to an image that is not 8-bit");
    std::vector<cv::Mat> channels;
    cv::split(image, channels);
    for (cv::Mat& channel : channels)
        balance_channel(channel);
    cv::Mat result;
    cv::merge(channels, result);
    return result;
}

// ---- Histogram plot --------------------------------------------------------------------------

cv::Mat plot_histogram(const cv::Mat& image, int width, int height, cv::Scalar background)
{
    require_image(image, "cannot plot histogram for an empty image");
    const int channels = image.channels();
    if (channels != 1 && channels != 3)
        throw std::invalid_argument("cannot plot histogram for " + std::to_string(channels) + "-channel image");
    if (width <= 9 || height <= 9)
        throw std::invalid_argument("cannot create histogram with invalid dimensions of " + std::to_string(width) +
                                    "x" + std::to_string(height));
    std::vector<cv::Mat> planes;
    cv::split(image, planes);
    cv::Mat plot;
    plot.create(height, width, CV_8UC3);
    plot = background;
    const float bin_width = static_cast<float>(width) * 0.00390625f;
    const std::vector<cv::Scalar> colours = histogram_colours(channels, background);
    for (std::size_t c = 0; c < planes.size(); ++c)
        draw_histogram_curve(plot, planes[c], bin_width, colours[c]);
    return plot;
}

} // namespace tulo
