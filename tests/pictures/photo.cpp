#include "pictures/photo.hpp"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <string>

namespace tulo::pictures {

namespace {

// Uneven lighting: a few random colours spread smoothly over the frame.
cv::Mat lighting(cv::Size size, cv::RNG& rng)
{
    cv::Mat grid(3, 4, CV_8UC3);
    rng.fill(grid, cv::RNG::UNIFORM, 50, 210);
    cv::Mat smooth;
    cv::resize(grid, smooth, size, 0.0, 0.0, cv::INTER_CUBIC);
    return smooth;
}

cv::Scalar random_colour(cv::RNG& rng)
{
    return {static_cast<double>(rng.uniform(0, 256)), static_cast<double>(rng.uniform(0, 256)),
            static_cast<double>(rng.uniform(0, 256))};
}

void draw_shapes(cv::Mat& image, cv::RNG& rng)
{
    const int unit = std::min(image.cols, image.rows);
    for (int i = 0; i < 18; ++i) {
        const cv::Point centre(rng.uniform(0, image.cols), rng.uniform(0, image.rows));
        const int radius = rng.uniform(unit / 40, unit / 8);
        const cv::Scalar colour = random_colour(rng);
        if (i % 3 == 0)
            cv::circle(image, centre, radius, colour, cv::FILLED, cv::LINE_AA);
        else if (i % 3 == 1)
            cv::rectangle(image, cv::Rect(centre.x - radius, centre.y - radius / 2, 2 * radius, radius), colour,
                          cv::FILLED, cv::LINE_AA);
        else
            cv::ellipse(image, centre, cv::Size(radius, radius / 2), rng.uniform(0, 180), 0.0, 360.0, colour,
                        cv::FILLED, cv::LINE_AA);
    }
}

std::string random_line(cv::RNG& rng, int words)
{
    std::string line;
    for (int w = 0; w < words; ++w) {
        if (w > 0)
            line += ' ';
        const int letters = rng.uniform(2, 9);
        for (int l = 0; l < letters; ++l)
            line += static_cast<char>('a' + rng.uniform(0, 26));
    }
    return line;
}

// A light sheet with dark lines of text, upright, on a black canvas of the photo's size.
cv::Mat upright_page(cv::Size size, cv::Rect sheet, cv::RNG& rng)
{
    cv::Mat page(size, CV_8UC3, cv::Scalar::all(0));
    cv::rectangle(page, sheet, cv::Scalar(225, 230, 232), cv::FILLED);
    const double scale = sheet.height / 900.0;
    const int thickness = std::max(1, static_cast<int>(scale * 2.0));
    const int spacing = std::max(12, sheet.height / 24);
    for (int y = sheet.y + 2 * spacing; y < sheet.y + sheet.height - spacing; y += spacing)
        cv::putText(page, random_line(rng, 7), cv::Point(sheet.x + spacing, y), cv::FONT_HERSHEY_SIMPLEX, scale,
                    cv::Scalar(40, 35, 30), thickness, cv::LINE_AA);
    return page;
}

// Lays a printed page, turned by a few degrees, over the middle of the photo.
void lay_page(cv::Mat& image, cv::RNG& rng)
{
    const cv::Rect sheet(image.cols / 4, image.rows / 6, image.cols / 2, image.rows * 2 / 3);
    const cv::Mat page = upright_page(image.size(), sheet, rng);
    const cv::Point2f centre(image.cols * 0.5f, image.rows * 0.5f);
    const cv::Mat turn = cv::getRotationMatrix2D(centre, rng.uniform(2.0, 6.0), 1.0);
    cv::Mat turned;
    cv::warpAffine(page, turned, turn, image.size(), cv::INTER_LINEAR, cv::BORDER_CONSTANT);
    cv::Mat mask;
    cv::cvtColor(turned, mask, cv::COLOR_BGR2GRAY);
    turned.copyTo(image, mask > 0);
}

} // namespace

void add_grain(cv::Mat& image, double sigma, cv::RNG& rng)
{
    cv::Mat noise(image.size(), CV_MAKETYPE(CV_16S, image.channels()));
    rng.fill(noise, cv::RNG::NORMAL, 0, sigma);
    cv::add(image, noise, image, cv::noArray(), CV_8U);
}

cv::Mat make_photo(cv::Size size, unsigned seed)
{
    cv::RNG rng(seed);
    cv::Mat image = lighting(size, rng);
    draw_shapes(image, rng);
    lay_page(image, rng);
    cv::GaussianBlur(image, image, cv::Size(3, 3), 0.0);
    add_grain(image, 5.0, rng);
    return image;
}

cv::Mat landscape(cv::Size size, cv::RNG& rng, bool with_sky)
{
    cv::Mat grid(3, 4, CV_8UC3);
    rng.fill(grid, cv::RNG::UNIFORM, 40, 220);
    cv::Mat image;
    cv::resize(grid, image, size, 0.0, 0.0, cv::INTER_CUBIC);
    const int unit = std::max(2, std::min(size.width, size.height));
    for (int i = 0; i < 25; ++i) {
        const cv::Point centre(rng.uniform(0, size.width), rng.uniform(0, size.height));
        const int radius = rng.uniform(unit / 40 + 1, unit / 5 + 2);
        const cv::Scalar colour(rng.uniform(0, 256), rng.uniform(0, 256), rng.uniform(0, 256));
        if (i % 2 == 0)
            cv::circle(image, centre, radius, colour, cv::FILLED, cv::LINE_AA);
        else
            cv::ellipse(image, centre, cv::Size(radius, radius / 3 + 1), rng.uniform(0, 180), 0.0, 360.0, colour,
                        cv::FILLED, cv::LINE_AA);
    }
    if (with_sky)
        image(cv::Rect(0, 0, size.width, size.height / 3)) = cv::Scalar(225, 190, 150);
    cv::GaussianBlur(image, image, cv::Size(), unit / 400.0 + 0.5);
    add_grain(image, 6.0, rng);
    return image;
}

} // namespace tulo::pictures
