#include "pictures/samples.hpp"

#include <opencv2/imgproc.hpp>

#include <cmath>
#include <sstream>
#include <string>
#include <vector>

namespace tulo::pictures {

namespace {

constexpr int font = cv::FONT_HERSHEY_SIMPLEX;
constexpr double page_skew_degrees = 4.0;
const cv::Size page_size(1000, 800);
const cv::Size scene_size(800, 600);
const cv::Scalar ink(40, 38, 36);
constexpr unsigned shapes_seed = 20240611;

const char* const page_title = "Reading a skewed page";
const char* const page_text =
    "A page that was scanned or photographed at a slight angle is harder to read for people and "
    "for programs alike. The lines of text are straight, so their direction tells how far the "
    "page has turned. The workspace blurs the image, turns it grey and separates ink from paper "
    "with a threshold. Straight segments are then found along the lines of text, and the angle "
    "of each segment is measured. Angles that lie close together form a group, and the largest "
    "group gives the correction. Turning the page back by that angle sets the lines level again, "
    "on a canvas large enough to keep every corner. Edges, contours and a histogram of the "
    "colours are made on the way, and a mosaic shows all of them side by side. Nothing needs to "
    "be configured: each step has fixed settings that suit printed pages and simple scenes.";

std::vector<std::string> wrap(const std::string& text, double scale, int thickness, int width)
{
    std::vector<std::string> lines(1);
    std::istringstream words(text);
    for (std::string word; words >> word;) {
        const std::string longer = lines.back().empty() ? word : lines.back() + " " + word;
        int baseline = 0;
        if (cv::getTextSize(longer, font, scale, thickness, &baseline).width > width && !lines.back().empty())
            lines.push_back(word);
        else
            lines.back() = longer;
    }
    return lines;
}

// Paper a little darker towards the bottom, as under a lamp.
cv::Mat paper(cv::Size size)
{
    cv::Mat sheet(size, CV_8UC3);
    for (int y = 0; y < size.height; ++y)
        sheet.row(y).setTo(cv::Scalar(236, 242, 246) - cv::Scalar::all(16.0 * y / size.height));
    return sheet;
}

// A woven look: two crossing sine patterns over smoothed noise.
cv::Mat texture(cv::Size size, cv::RNG& rng)
{
    cv::Mat noise(size, CV_8UC1);
    rng.fill(noise, cv::RNG::UNIFORM, 0, 40);
    cv::GaussianBlur(noise, noise, cv::Size(7, 7), 0);
    cv::Mat cloth(size, CV_8UC3);
    for (int y = 0; y < size.height; ++y) {
        for (int x = 0; x < size.width; ++x) {
            const double weave = 18.0 * std::sin(x * 0.21) * std::sin(y * 0.21) + noise.at<uchar>(y, x);
            cloth.at<cv::Vec3b>(y, x) = cv::Vec3b(cv::saturate_cast<uchar>(120 + weave),
                                                  cv::saturate_cast<uchar>(140 + weave),
                                                  cv::saturate_cast<uchar>(150 + weave));
        }
    }
    return cloth;
}

} // namespace

cv::Mat sample_page()
{
    cv::Mat page = paper(page_size);
    const int left = 120;
    const int width = page_size.width - 2 * left;
    cv::putText(page, page_title, cv::Point(left, 150), font, 1.3, ink, 3, cv::LINE_AA);
    int y = 205;
    for (const std::string& line : wrap(page_text, 0.75, 2, width)) {
        cv::putText(page, line, cv::Point(left, y), font, 0.75, ink, 2, cv::LINE_AA);
        y += 36;
    }
    const cv::Point2f centre(page_size.width / 2.0f, page_size.height / 2.0f);
    const cv::Mat turn = cv::getRotationMatrix2D(centre, page_skew_degrees, 1.0);
    cv::Mat skewed;
    cv::warpAffine(page, skewed, turn, page_size, cv::INTER_LINEAR, cv::BORDER_REFLECT);
    return skewed;
}

cv::Mat sample_shapes()
{
    cv::RNG rng(shapes_seed);
    cv::Mat scene = texture(scene_size, rng);
    cv::rectangle(scene, cv::Rect(60, 60, 200, 140), cv::Scalar(40, 40, 200), cv::FILLED, cv::LINE_AA);
    cv::circle(scene, cv::Point(420, 150), 90, cv::Scalar(200, 90, 30), cv::FILLED, cv::LINE_AA);
    cv::ellipse(scene, cv::Point(640, 170), cv::Size(100, 55), 30, 0, 360, cv::Scalar(40, 170, 40), cv::FILLED,
                cv::LINE_AA);
    const std::vector<std::vector<cv::Point>> triangle = {{{120, 520}, {260, 300}, {380, 520}}};
    cv::fillPoly(scene, triangle, cv::Scalar(30, 200, 230), cv::LINE_AA);
    const cv::RotatedRect tilted(cv::Point2f(600, 420), cv::Size2f(220, 110), -20);
    cv::Point2f corners[4];
    tilted.points(corners);
    const std::vector<std::vector<cv::Point>> box = {{corners[0], corners[1], corners[2], corners[3]}};
    cv::fillPoly(scene, box, cv::Scalar(150, 40, 150), cv::LINE_AA);
    cv::circle(scene, cv::Point(420, 420), 45, cv::Scalar(30, 30, 30), 6, cv::LINE_AA);
    return scene;
}

} // namespace tulo::pictures
