#include "scan_defects.hpp"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

namespace tulo::pictures {

namespace {

int mm(const ScannedPage& page, double millimetres)
{
    return cvRound(millimetres * page.dpi / 25.4);
}

// The room between the frame and the content on the left (the whole width for a blank page).
int left_margin(const ScannedPage& page)
{
    return page.content.empty() ? std::min(page.image.cols / 3, mm(page, 25.0)) : page.content.x;
}

cv::Mat to_grey(const cv::Mat& image)
{
    if (image.channels() == 1)
        return image;
    cv::Mat grey;
    cv::cvtColor(image, grey, cv::COLOR_BGR2GRAY);
    return grey;
}

// Turns the page so that `side` is on the left (and back, with undo = true); the content box turns along.
void turn(ScannedPage& page, Side side, bool undo)
{
    cv::Rect& box = page.content;
    const auto transpose = [&] {
        cv::transpose(page.image, page.image);
        if (!box.empty())
            box = cv::Rect(box.y, box.x, box.height, box.width);
    };
    const auto mirror = [&] {
        const int width = page.image.cols;
        cv::flip(page.image, page.image, 1);
        if (!box.empty())
            box.x = width - box.br().x;
    };
    switch (side) {
    case Side::left:
        break;
    case Side::top:
        transpose();
        break;
    case Side::right:
        mirror();
        break;
    case Side::bottom:
        if (undo) {
            mirror();
            transpose();
        } else {
            transpose();
            mirror();
        }
        break;
    }
}

// Runs a drawing made for the left side on any side.
template <typename Draw>
void on_side(ScannedPage& page, Side side, Draw draw)
{
    turn(page, side, false);
    draw(page);
    turn(page, side, true);
}

// Multiplies the page by a white canvas holding a drawn mark and widens the content box by it.
void add_mark(ScannedPage& page, const cv::Mat& canvas)
{
    const cv::Rect box = ink_box(canvas);
    if (box.empty())
        return;
    cv::Mat mark = canvas;
    if (page.image.channels() != canvas.channels())
        cv::cvtColor(canvas, mark, page.image.channels() == 1 ? cv::COLOR_BGR2GRAY : cv::COLOR_GRAY2BGR);
    cv::multiply(page.image, mark, page.image, 1.0 / 255.0);
    page.content = page.content.empty() ? box : (page.content | box);
}

cv::Mat white_like(const ScannedPage& page)
{
    return cv::Mat(page.image.size(), CV_8UC3, cv::Scalar::all(255));
}

double hershey_scale(const ScannedPage& page, double cap_height_mm, int font)
{
    int baseline = 0;
    const int height = cv::getTextSize("H", font, 1.0, 1, &baseline).height;
    return mm(page, cap_height_mm) / double(std::max(1, height));
}

std::string random_word(cv::RNG& rng, int letters)
{
    std::string word;
    for (int i = 0; i < letters; ++i)
        word += static_cast<char>('a' + rng.uniform(0, 26));
    return word;
}

void draw_scanner_border_left(ScannedPage& page, cv::RNG& rng)
{
    const int room = left_margin(page) - mm(page, 3.0);
    if (room < 2)
        return;
    const int rows = page.image.rows;
    const double width = rng.uniform(0.25, 0.7) * room;
    const double slant = rng.uniform(-1.0, 1.0) * std::min(double(mm(page, 2.0)), room - width);
    const bool partial = rng.uniform(0.0, 1.0) < 0.4;
    const int first = partial && rng.uniform(0, 2) == 0 ? cvRound(rng.uniform(0.1, 0.5) * rows) : 0;
    const int last = partial && first == 0 ? cvRound(rng.uniform(0.5, 0.9) * rows) : rows;
    std::vector<cv::Point> outline{{0, first}};
    const int step = std::max(1, mm(page, 1.0));
    for (int y = first; y <= last; y += step) {
        const double inner = width + slant * (y - first) / rows + rng.uniform(-0.4, 0.4) * step;
        outline.emplace_back(std::clamp(cvRound(inner), 1, room), y);
    }
    outline.emplace_back(0, last);
    cv::fillPoly(page.image, std::vector<std::vector<cv::Point>>{outline}, cv::Scalar::all(rng.uniform(5, 60)));
}

void draw_edge_shadow_left(ScannedPage& page, cv::RNG& rng)
{
    const int reach = std::min(mm(page, rng.uniform(8.0, 25.0)), left_margin(page) - mm(page, 2.0));
    if (reach < 2)
        return;
    const double depth = rng.uniform(0.3, 0.75);
    for (int x = 0; x < reach; ++x) {
        const double fade = 1.0 - double(x) / reach;
        cv::Mat column = page.image.col(x);
        column.convertTo(column, -1, 1.0 - depth * fade * fade);
    }
}

void draw_punch_holes_left(ScannedPage& page, cv::RNG& rng)
{
    const int radius = mm(page, 3.0);
    const int centre_x = std::min(mm(page, 12.0), left_margin(page) - radius - mm(page, 3.0));
    if (centre_x < radius)
        return;
    const int count = rng.uniform(2, 4);
    const int spacing = std::min(mm(page, 80.0), page.image.rows / (count + 1));
    const int first = page.image.rows / 2 - spacing * (count - 1) / 2;
    const cv::Scalar colour = cv::Scalar::all(rng.uniform(0, 2) == 0 ? rng.uniform(10, 50) : rng.uniform(90, 130));
    for (int i = 0; i < count; ++i)
        cv::circle(page.image, cv::Point(centre_x, first + i * spacing), radius, colour, cv::FILLED, cv::LINE_AA);
}

void draw_facing_sliver_left(ScannedPage& page, cv::RNG& rng)
{
    const int sliver = std::min(mm(page, rng.uniform(6.0, 14.0)), left_margin(page) - mm(page, 5.0));
    if (sliver < mm(page, 3.0))
        return;
    const int rows = page.image.rows;
    cv::Mat strip = page.image.colRange(0, sliver);
    strip.convertTo(strip, -1, rng.uniform(0.85, 0.97));
    const int font = cv::FONT_HERSHEY_SIMPLEX;
    const double scale = hershey_scale(page, rng.uniform(2.0, 3.0), font);
    const int thickness = std::max(1, cvRound(page.dpi / 150.0));
    const int pitch = mm(page, rng.uniform(5.0, 7.0));
    for (int y = mm(page, 25.0); y < rows - mm(page, 20.0); y += pitch) {
        const std::string line = random_word(rng, 6) + " " + random_word(rng, 4) + " " + random_word(rng, 5);
        int baseline = 0;
        const int width = cv::getTextSize(line, font, scale, thickness, &baseline).width;
        cv::putText(strip, line, cv::Point(sliver - mm(page, 1.5) - width, y), font, scale, cv::Scalar::all(20),
                    thickness, cv::LINE_AA);
    }
    const int line_width = std::max(2, mm(page, rng.uniform(0.4, 1.2)));
    const int drift = rng.uniform(-mm(page, 1.0), mm(page, 1.0) + 1);
    cv::line(page.image, cv::Point(sliver, 0), cv::Point(sliver + drift, rows - 1), cv::Scalar::all(rng.uniform(20, 80)),
             line_width, cv::LINE_AA);
    if (rng.uniform(0, 2) == 0)
        page.image.colRange(0, std::max(1, mm(page, 2.0))).setTo(cv::Scalar::all(rng.uniform(5, 40)));
}

} // namespace

cv::Rect ink_box(const cv::Mat& page, int contrast)
{
    cv::Mat dark;
    cv::compare(to_grey(page), cv::Scalar::all(255 - contrast), dark, cv::CMP_LE);
    std::vector<cv::Point> points;
    cv::findNonZero(dark, points);
    return points.empty() ? cv::Rect() : cv::boundingRect(points);
}

ScannedPage scanned(cv::Mat page, double dpi)
{
    ScannedPage result;
    result.content = ink_box(page);
    result.image = std::move(page);
    result.dpi = dpi;
    return result;
}

void add_scanner_border(ScannedPage& page, Side side, cv::RNG& rng)
{
    on_side(page, side, [&](ScannedPage& turned) { draw_scanner_border_left(turned, rng); });
}

void add_edge_shadow(ScannedPage& page, Side side, cv::RNG& rng)
{
    on_side(page, side, [&](ScannedPage& turned) { draw_edge_shadow_left(turned, rng); });
}

void add_punch_holes(ScannedPage& page, Side side, cv::RNG& rng)
{
    on_side(page, side, [&](ScannedPage& turned) { draw_punch_holes_left(turned, rng); });
}

void add_facing_sliver(ScannedPage& page, Side side, cv::RNG& rng)
{
    on_side(page, side, [&](ScannedPage& turned) { draw_facing_sliver_left(turned, rng); });
}

void add_staple(ScannedPage& page, cv::RNG& rng)
{
    const int length = mm(page, rng.uniform(10.0, 13.0));
    const double angle = rng.uniform(25.0, 65.0) * CV_PI / 180.0;
    const cv::Point start(mm(page, rng.uniform(4.0, 7.0)), mm(page, rng.uniform(4.0, 7.0)) + cvRound(length * std::sin(angle)));
    const cv::Point end(start.x + cvRound(length * std::cos(angle)), start.y - cvRound(length * std::sin(angle)));
    const cv::Rect reach = cv::Rect(start, end) + cv::Size(mm(page, 2.0), mm(page, 2.0));
    if (!page.content.empty() && (reach & page.content).area() > 0)
        return;
    const int width = std::max(2, mm(page, 0.7));
    cv::line(page.image, start, end, cv::Scalar::all(rng.uniform(50, 100)), width, cv::LINE_AA);
    cv::line(page.image, start, end, cv::Scalar::all(rng.uniform(140, 180)), std::max(1, width / 3), cv::LINE_AA);
}

void add_bleed_through(ScannedPage& page, const cv::Mat& reverse, double strength)
{
    cv::Mat mirrored;
    cv::flip(to_grey(reverse), mirrored, 1);
    cv::GaussianBlur(mirrored, mirrored, cv::Size(), std::max(0.8, page.dpi / 200.0));
    cv::Mat shade;
    mirrored.convertTo(shade, CV_32F, strength / 255.0, 1.0 - strength);  // 1 on paper, 1 - strength under black ink
    if (page.image.channels() == 3)
        cv::cvtColor(shade, shade, cv::COLOR_GRAY2BGR);
    cv::Mat image;
    page.image.convertTo(image, CV_32F);
    cv::multiply(image, shade, image);
    image.convertTo(page.image, CV_8U);
}

void add_noise(ScannedPage& page, double sigma, cv::RNG& rng)
{
    cv::Mat grain(page.image.size(), CV_16SC(page.image.channels()));
    rng.fill(grain, cv::RNG::NORMAL, 0.0, sigma);
    cv::Mat image;
    page.image.convertTo(image, CV_16S);
    image += grain;
    image.convertTo(page.image, CV_8U);
    const int speck = std::max(1, mm(page, 0.15));
    for (std::size_t i = 0; i < page.image.total() / 40000; ++i)
        cv::circle(page.image, cv::Point(rng.uniform(0, page.image.cols), rng.uniform(0, page.image.rows)),
                   rng.uniform(1, speck + 1), cv::Scalar::all(rng.uniform(0, 120)), cv::FILLED);
}

void add_page_number(ScannedPage& page, cv::RNG& rng)
{
    cv::Mat canvas = white_like(page);
    const int font = cv::FONT_HERSHEY_SIMPLEX;
    const std::string number = std::to_string(rng.uniform(1, 400));
    const double scale = hershey_scale(page, rng.uniform(2.0, 3.0), font);
    const int thickness = std::max(1, cvRound(page.dpi / 150.0));
    int baseline = 0;
    const int width = cv::getTextSize(number, font, scale, thickness, &baseline).width;
    const int below = page.content.empty() ? page.image.rows : page.image.rows - page.content.br().y;
    const int y = page.image.rows - std::max(mm(page, 6.0), std::min(mm(page, 12.0), below / 2));
    cv::putText(canvas, number, cv::Point(page.image.cols / 2 - width / 2, y), font, scale, cv::Scalar::all(0), thickness,
                cv::LINE_AA);
    add_mark(page, canvas);
}

void add_pencil_note(ScannedPage& page, cv::RNG& rng)
{
    cv::Mat canvas = white_like(page);
    const int font = cv::FONT_HERSHEY_SCRIPT_SIMPLEX;
    const double scale = hershey_scale(page, rng.uniform(3.0, 5.0), font);
    const std::string note = random_word(rng, rng.uniform(3, 7)) + " " + random_word(rng, rng.uniform(2, 6));
    const int x = rng.uniform(mm(page, 30.0), std::max(mm(page, 31.0), page.image.cols / 2));
    const int top_room = page.content.empty() ? page.image.rows / 2 : page.content.y;
    const int y = std::clamp(top_room - mm(page, 4.0), mm(page, 12.0), page.image.rows - mm(page, 12.0));
    cv::putText(canvas, note, cv::Point(x, y), font, scale, cv::Scalar::all(rng.uniform(130, 165)),
                std::max(1, cvRound(page.dpi / 200.0)), cv::LINE_AA);
    add_mark(page, canvas);
}

void add_stamp(ScannedPage& page, cv::RNG& rng)
{
    cv::Mat canvas = white_like(page);
    const int radius = mm(page, rng.uniform(9.0, 14.0));
    const cv::Point centre(page.image.cols - mm(page, 45.0) - rng.uniform(0, mm(page, 40.0)),
                           mm(page, 45.0) + rng.uniform(0, page.image.rows / 3));
    const cv::Scalar ink = rng.uniform(0, 2) == 0 ? cv::Scalar(170, 90, 60) : cv::Scalar(70, 70, 190);
    const int thickness = std::max(2, mm(page, 0.6));
    cv::circle(canvas, centre, radius, ink, thickness, cv::LINE_AA);
    cv::circle(canvas, centre, radius - mm(page, 2.0), ink, std::max(1, thickness / 2), cv::LINE_AA);
    const int font = cv::FONT_HERSHEY_DUPLEX;
    const std::string word = "RECEIVED";
    const double scale = hershey_scale(page, 2.5, font);
    int baseline = 0;
    const cv::Size text = cv::getTextSize(word, font, scale, thickness / 2 + 1, &baseline);
    const double fit = std::min(1.0, 1.4 * (radius - mm(page, 3.0)) / std::max(1, text.width));
    cv::putText(canvas, word, centre - cv::Point(cvRound(text.width * fit / 2), -cvRound(text.height * fit / 2)), font,
                scale * fit, ink, thickness / 2 + 1, cv::LINE_AA);
    add_mark(page, canvas);
}

ScannedPage blank_paper(cv::Size size, double dpi, int channels, cv::RNG& rng)
{
    const cv::Scalar tint(rng.uniform(215, 256), rng.uniform(215, 256), rng.uniform(225, 256));
    cv::Mat light(2, 2, CV_32F);
    rng.fill(light, cv::RNG::UNIFORM, 0.8, 1.0);
    cv::resize(light, light, size, 0.0, 0.0, cv::INTER_LINEAR);
    cv::Mat paper(size, CV_32FC3, tint);
    cv::Mat lights;
    cv::cvtColor(light, lights, cv::COLOR_GRAY2BGR);
    cv::multiply(paper, lights, paper);
    ScannedPage page;
    paper.convertTo(page.image, CV_8U);
    if (channels == 1)
        cv::cvtColor(page.image, page.image, cv::COLOR_BGR2GRAY);
    page.dpi = dpi;
    add_noise(page, rng.uniform(1.5, 4.0), rng);
    return page;
}

} // namespace tulo::pictures
