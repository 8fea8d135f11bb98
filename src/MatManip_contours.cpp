#include <tulo/Intervals.hpp>
#include <tulo/MatManip.hpp>

#include <opencv2/imgproc.hpp>

#include <array>
#include <cstddef>
#include <stdexcept>
#include <string>

namespace tulo {
namespace {

using Contour = std::vector<cv::Point>;
using Contours = std::vector<Contour>;

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

void require_image(const cv::Mat& image, const char* message)
{
    if (image.empty())
        throw std::invalid_argument(message);
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
    const cv::Point origin(cvRound(centre.x) - 10, cvRound(centre.y) + 5);
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

} // namespace tulo
