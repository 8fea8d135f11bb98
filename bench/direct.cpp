#include "direct.hpp"

#include <tulo/Intervals.hpp>

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

namespace tulo_bench {

namespace {

using Contour = std::vector<cv::Point>;
using Contours = std::vector<Contour>;

const std::array<const char*, 23> kind_names{
    "invalid",         "original",           "greyscale",          "gaussian_blur",        "blur_greyscale",
    "simple_colour_balance", "invert",       "threshold",          "erode",                "erode_and_dilate",
    "canny_edge_detection", "find_contours", "find_contours_intervals", "histogram",       "hough_lines",
    "angle_corrected", "mosaic",             "dog",                "threshold_otsu",       "threshold_triangle",
    "threshold_gaussian", "threshold_meanc", "threshold_dog"};

cv::Mat grey_of(const cv::Mat& image)
{
    cv::Mat grey;
    cv::cvtColor(image, grey, cv::COLOR_BGR2GRAY);
    return grey;
}

cv::Mat blurred_3x3(const cv::Mat& image)
{
    cv::Mat blurred;
    cv::GaussianBlur(image, blurred, cv::Size(3, 3), 0.0, 0.0, cv::BORDER_DEFAULT);
    return blurred;
}

cv::Mat inverted(const cv::Mat& image)
{
    cv::Mat result;
    cv::bitwise_not(image, result, cv::noArray());
    return result;
}

cv::Mat morphology(const cv::Mat& image, bool erosion)
{
    cv::Mat result;
    if (erosion)
        cv::erode(image, result, cv::Mat(), cv::Point(-1, -1), 1, cv::BORDER_CONSTANT,
                  cv::morphologyDefaultBorderValue());
    else
        cv::dilate(image, result, cv::Mat(), cv::Point(-1, -1), 1, cv::BORDER_CONSTANT,
                   cv::morphologyDefaultBorderValue());
    return result;
}

cv::Mat difference_of_gaussians(const cv::Mat& image, double k, double sigma, double weight)
{
    const cv::Mat grey = grey_of(image);
    cv::Mat narrow;
    cv::Mat wide;
    cv::GaussianBlur(grey, narrow, cv::Size(0, 0), sigma, sigma, cv::BORDER_DEFAULT);
    cv::GaussianBlur(grey, wide, cv::Size(0, 0), k * sigma, k * sigma, cv::BORDER_DEFAULT);
    cv::Mat difference = narrow - weight * wide;
    return difference;
}

// Pixel by pixel: above the level becomes 255, everything else 0.
cv::Mat dog_threshold(const cv::Mat& image)
{
    cv::Mat difference = difference_of_gaussians(image, 200.0, 0.5, 1.0);
    const long level = std::lround(cv::mean(difference, cv::noArray())[0] / 10.0);
    for (int r = 0; r < difference.rows; ++r) {
        uchar* const row = difference.ptr<uchar>(r);
        for (int c = 0; c < difference.cols; ++c)
            row[c] = row[c] > level ? 255 : 0;
    }
    return difference;
}

cv::Mat global_threshold(const cv::Mat& grey, int method, double& level)
{
    cv::Mat result;
    level = cv::threshold(grey, result, 64.0, 255.0, cv::THRESH_BINARY | method);
    return result;
}

cv::Mat adaptive_threshold(const cv::Mat& grey, int method)
{
    cv::Mat result;
    cv::adaptiveThreshold(grey, result, 255.0, method, cv::THRESH_BINARY, 5, 9.0);
    return result;
}

double foreground_share(const cv::Mat& image)
{
    return static_cast<double>(cv::countNonZero(image)) / (static_cast<double>(image.rows) * image.cols);
}

bool outside_share_bounds(const cv::Mat& image)
{
    const double share = foreground_share(image);
    return share < 0.1 || share > 0.9;
}

// The workspace's automatic choice, measured over the whole image.
cv::Mat chosen_threshold(const Catalogue& c)
{
    cv::Mat candidate = c[EMatType::threshold_otsu];
    if (outside_share_bounds(candidate)) {
        candidate = c[EMatType::threshold_triangle];
        if (outside_share_bounds(candidate))
            candidate = c[EMatType::threshold_gaussian];
    }
    return foreground_share(candidate) > 0.3 ? inverted(candidate) : candidate;
}

void balance_by_sorting(cv::Mat& channel)
{
    cv::Mat flat;
    channel.reshape(1, 1).copyTo(flat);
    cv::sort(flat, flat, cv::SORT_EVERY_ROW | cv::SORT_ASCENDING);
    const double h = static_cast<double>(0.005f);
    const double u = 1.0 - h;
    const double n = static_cast<double>(static_cast<float>(flat.total()));
    const int last = static_cast<int>(flat.total()) - 1;
    const uchar low = flat.at<uchar>(static_cast<int>(std::floor(n * h)));
    const uchar high = flat.at<uchar>(std::min(static_cast<int>(std::ceil(n * u)), last));
    channel.setTo(cv::Scalar(low), channel < low);
    channel.setTo(cv::Scalar(high), channel > high);
    cv::normalize(channel, channel, 0.0, 255.0, cv::NORM_MINMAX, -1, cv::noArray());
}

void draw_label(cv::Mat& canvas, const Contour& contour, std::size_t index, double scale, const cv::Scalar& colour)
{
    const cv::Point2f centre = cv::minAreaRect(contour).center;
    cv::putText(canvas, std::to_string(index), cv::Point(cvRound(centre.x) - 10, cvRound(centre.y) + 5),
                cv::FONT_HERSHEY_SIMPLEX, scale, colour, 1, cv::LINE_8, false);
}

cv::Mat contour_drawing(const cv::Mat& image, const Contours& contours)
{
    const cv::Scalar yellow(0, 255, 255, 0);
    cv::Mat result;
    image.copyTo(result);
    for (const Contour& contour : contours)
        cv::polylines(result, contour, true, yellow, 1, cv::LINE_AA, 0);
    for (std::size_t i = 0; i < contours.size(); ++i)
        if (cv::contourArea(contours[i], false) > 105.0)
            draw_label(result, contours[i], i, 2.5, yellow);
    return result;
}

cv::Scalar interval_colour(const std::vector<std::vector<double>>& groups, double area)
{
    static const std::array<cv::Scalar, 7> palette{cv::Scalar(0, 0, 255, 0),   cv::Scalar(0, 255, 0, 0),
                                                   cv::Scalar(255, 0, 0, 0),   cv::Scalar(255, 255, 0, 0),
                                                   cv::Scalar(0, 255, 255, 0), cv::Scalar(255, 0, 255, 0),
                                                   cv::Scalar(255, 255, 255, 0)};
    for (std::size_t k = groups.size(); k-- > 0;)
        if (groups[k].front() < area)
            return palette[k % palette.size()];
    return palette.back();
}

cv::Mat contour_interval_drawing(const cv::Mat& image, const Contours& contours)
{
    std::vector<double> areas;
    for (const Contour& contour : contours)
        areas.push_back(cv::contourArea(contour, false));
    const std::vector<std::vector<double>> groups = tulo::intervals(areas, 2.0);
    cv::Mat result;
    image.copyTo(result);
    for (std::size_t i = 0; i < contours.size(); ++i) {
        const double area = cv::contourArea(contours[i], false);
        if (area <= 5.0)
            continue;
        const cv::Scalar colour = interval_colour(groups, area);
        cv::polylines(result, contours[i], true, colour, 1, cv::LINE_AA, 0);
        draw_label(result, contours[i], i, 0.5, colour);
    }
    return result;
}

cv::Mat histogram_plot(const cv::Mat& image)
{
    std::vector<cv::Mat> planes;
    cv::split(image, planes);
    cv::Mat plot;
    plot.create(480, 640, CV_8UC3);
    plot = cv::Scalar(0, 0, 0, 0);
    const float bin_width = 640.0f * 0.00390625f;
    const std::array<cv::Scalar, 3> colours{cv::Scalar(255, 0, 0, 0), cv::Scalar(0, 255, 0, 0),
                                            cv::Scalar(0, 0, 255, 0)};
    const int bins = 256;
    const float range[] = {0.0f, 256.0f};
    const float* ranges = range;
    for (std::size_t c = 0; c < planes.size(); ++c) {
        cv::Mat hist;
        cv::calcHist(&planes[c], 1, nullptr, cv::Mat(), hist, 1, &bins, &ranges, true, false);
        cv::normalize(hist, hist, 0.0, static_cast<double>(plot.rows), cv::NORM_MINMAX, -1, cv::noArray());
        const auto point = [&](int j) {
            const int y = plot.rows - static_cast<int>(std::roundf(hist.at<float>(j)));
            return cv::Point(static_cast<int>(std::roundf(static_cast<float>(j) * bin_width)),
                             y <= 2 ? 3 : std::min(y, plot.rows - 3));
        };
        for (int i = 1; i < bins; ++i)
            cv::line(plot, point(i - 1), point(i), colours[c], 1, cv::LINE_AA, 0);
    }
    return plot;
}

// The workspace folds each segment's direction into (-90, 90], so that the order of a segment's
// two end points does not matter.
double orientation(const cv::Vec4i& segment)
{
    const double angle = std::atan2(static_cast<double>(segment[1] - segment[3]),
                                    static_cast<double>(segment[0] - segment[2])) *
                         57.29577951308232;
    if (angle > 90.0)
        return angle - 180.0;
    return angle <= -90.0 ? angle + 180.0 : angle;
}

cv::Mat hough_drawing(const cv::Mat& threshold, double& correction_angle)
{
    std::vector<cv::Vec4i> lines;
    cv::HoughLinesP(threshold, lines, 1.0, CV_PI / 360, 80, 5.0, 10.0);
    cv::Mat result;
    cv::cvtColor(threshold, result, cv::COLOR_GRAY2BGR);
    std::vector<double> angles;
    for (const cv::Vec4i& line : lines) {
        cv::line(result, cv::Point(line[0], line[1]), cv::Point(line[2], line[3]), cv::Scalar(0, 0, 255), 1,
                 cv::LINE_AA, 0);
        angles.push_back(orientation(line));
    }
    correction_angle = tulo::best_value_from_intervals(tulo::intervals(angles, 2.0));
    return result;
}

cv::Mat rotated(const cv::Mat& image, double angle)
{
    double a = std::fmod(angle, 360.0);
    if (a < 0.0)
        a += 360.0;
    cv::Mat result;
    if (a == 0.0 || a == 360.0)
        image.copyTo(result);
    else if (a == 90.0)
        cv::rotate(image, result, cv::ROTATE_90_COUNTERCLOCKWISE);
    else if (a == 180.0)
        cv::rotate(image, result, cv::ROTATE_180);
    else if (a == 270.0)
        cv::rotate(image, result, cv::ROTATE_90_CLOCKWISE);
    else {
        const cv::Point2f centre(image.cols * 0.5f, image.rows * 0.5f);
        cv::Mat turn = cv::getRotationMatrix2D(centre, a, 1.0);
        const cv::Rect2f box =
            cv::RotatedRect(centre, cv::Size2f(image.cols, image.rows), static_cast<float>(a)).boundingRect2f();
        turn.at<double>(0, 2) += box.width * 0.5 - centre.x;
        turn.at<double>(1, 2) += box.height * 0.5 - centre.y;
        cv::warpAffine(image, result, turn, cv::Size(cvRound(box.width), cvRound(box.height)), cv::INTER_LINEAR,
                       cv::BORDER_CONSTANT, cv::Scalar());
    }
    return result;
}

cv::Size tile_size(const cv::Mat& original)
{
    if (original.cols <= 300 && original.rows <= 200)
        return original.size();
    return {300, static_cast<int>(std::round(300.0 * original.rows / original.cols))};
}

void draw_tile_label(cv::Mat& tile, const std::string& label)
{
    int baseline = 0;
    const cv::Size size = cv::getTextSize(label, cv::FONT_HERSHEY_SIMPLEX, 0.4, 1, &baseline);
    baseline += 1;
    const cv::Rect box(3, 3, size.width + 4, size.height + baseline + 4);
    cv::rectangle(tile, box, cv::Scalar(0, 0, 0, 0), cv::FILLED, cv::LINE_8, 0);
    cv::rectangle(tile, box, cv::Scalar(0, 0, 255, 0), 1, cv::LINE_8, 0);
    cv::putText(tile, label, cv::Point(5, size.height + 5), cv::FONT_HERSHEY_SIMPLEX, 0.4,
                cv::Scalar(255, 255, 0, 0), 1, cv::LINE_AA, false);
}

cv::Mat labelled_tile(const cv::Mat& image, cv::Size cell, const std::string& label)
{
    cv::Mat tile = image;
    bool own = false;
    if (tile.type() == CV_8UC1) {
        cv::Mat converted;
        cv::cvtColor(tile, converted, cv::COLOR_GRAY2BGR, 0);
        tile = converted;
        own = true;
    }
    if (tile.size() != cell) {
        cv::Mat scaled;
        cv::resize(tile, scaled, cell, 0.0, 0.0, cell.width <= tile.cols ? cv::INTER_AREA : cv::INTER_LINEAR);
        tile = scaled;
        own = true;
    }
    if (!own)
        tile = tile.clone();
    draw_tile_label(tile, label);
    return tile;
}

// All 21 other images, in kind order, on a 6 x 4 grid with red lines.
cv::Mat mosaic(const Catalogue& c)
{
    const cv::Size cell = tile_size(c[EMatType::original]);
    const int columns = 6;
    const int rows = 4;
    cv::Mat result;
    result.create(rows * cell.height + rows + 1, columns * cell.width + columns + 1, CV_8UC3);
    result = cv::Scalar(0, 0, 0, 0);
    int slot = 0;
    for (int kind = 1; kind <= 22; ++kind) {
        if (kind == static_cast<int>(EMatType::mosaic))
            continue;
        const cv::Mat tile = labelled_tile(c.images.at(static_cast<std::size_t>(kind)), cell,
                                           std::to_string(kind) + "_" + kind_names.at(static_cast<std::size_t>(kind)));
        tile.copyTo(result(cv::Rect((cell.width + 1) * (slot % columns) + 1, (cell.height + 1) * (slot / columns) + 1,
                                    cell.width, cell.height)));
        ++slot;
    }
    const cv::Scalar red(0, 0, 255, 0);
    for (int i = 0; i <= rows; ++i)
        cv::line(result, cv::Point(0, i * (cell.height + 1)), cv::Point(result.cols, i * (cell.height + 1)), red, 1,
                 cv::LINE_8, 0);
    for (int i = 0; i <= columns; ++i)
        cv::line(result, cv::Point(i * (cell.width + 1), 0), cv::Point(i * (cell.width + 1), result.rows), red, 1,
                 cv::LINE_8, 0);
    return result;
}

// Kinds 18 to 22 and the choice among them; the triangle level is left for Canny.
void derive_thresholds(Catalogue& c, double& level)
{
    const cv::Mat& grey = c[EMatType::blur_greyscale];
    c[EMatType::threshold_otsu] = global_threshold(grey, cv::THRESH_OTSU, level);
    c[EMatType::threshold_triangle] = global_threshold(grey, cv::THRESH_TRIANGLE, level);
    c[EMatType::threshold_gaussian] = adaptive_threshold(grey, cv::ADAPTIVE_THRESH_GAUSSIAN_C);
    c[EMatType::threshold_meanc] = adaptive_threshold(grey, cv::ADAPTIVE_THRESH_MEAN_C);
    c[EMatType::threshold_dog] = dog_threshold(c[EMatType::original]);
    c[EMatType::threshold] = chosen_threshold(c);
}

void derive_edges_and_contours(Catalogue& c, double level)
{
    c[EMatType::erode] = morphology(c[EMatType::threshold], true);
    c[EMatType::erode_and_dilate] = morphology(c[EMatType::erode], false);
    cv::Canny(c[EMatType::threshold], c[EMatType::canny_edge_detection], level, 3.0 * level, 3, true);
    Contours contours;
    std::vector<cv::Vec4i> hierarchy;
    cv::findContours(c[EMatType::canny_edge_detection], contours, hierarchy, cv::RETR_EXTERNAL,
                     cv::CHAIN_APPROX_SIMPLE, cv::Point(0, 0));
    c[EMatType::find_contours] = contour_drawing(c[EMatType::original], contours);
    c[EMatType::find_contours_intervals] = contour_interval_drawing(c[EMatType::original], contours);
}

} // namespace

Catalogue direct_catalogue(const cv::Mat& photo)
{
    Catalogue c;
    c[EMatType::original] = photo;
    c[EMatType::greyscale] = grey_of(photo);
    c[EMatType::gaussian_blur] = blurred_3x3(photo);
    c[EMatType::blur_greyscale] = grey_of(c[EMatType::gaussian_blur]);
    c[EMatType::simple_colour_balance] = sorted_colour_balance(photo);
    c[EMatType::invert] = inverted(photo);
    double level = 0.0;
    derive_thresholds(c, level);
    derive_edges_and_contours(c, level);
    c[EMatType::histogram] = histogram_plot(photo);
    double correction_angle = 0.0;
    c[EMatType::hough_lines] = hough_drawing(c[EMatType::threshold], correction_angle);
    c[EMatType::angle_corrected] = rotated(photo, correction_angle);
    c[EMatType::dog] = difference_of_gaussians(photo, 1.6, 0.5, 1.0);
    c[EMatType::mosaic] = mosaic(c);
    return c;
}

cv::Mat sorted_colour_balance(const cv::Mat& image)
{
    std::vector<cv::Mat> channels;
    cv::split(image, channels);
    for (cv::Mat& channel : channels)
        balance_by_sorting(channel);
    cv::Mat result;
    cv::merge(channels, result);
    return result;
}

void derive_catalogue(tulo::Opsira& workspace)
{
    for (int kind = 2; kind <= 22; ++kind)
        if (kind != static_cast<int>(EMatType::mosaic))
            workspace.get(static_cast<EMatType>(kind));
    workspace.get(EMatType::mosaic);
}

bool identical(const cv::Mat& lhs, const cv::Mat& rhs)
{
    if (lhs.size != rhs.size || lhs.type() != rhs.type())
        return false;
    if (lhs.empty())
        return true;
    cv::Mat difference;
    cv::absdiff(lhs, rhs, difference);
    return cv::countNonZero(difference.reshape(1)) == 0;
}

} // namespace tulo_bench
