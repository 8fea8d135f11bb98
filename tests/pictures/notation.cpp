#include "pictures/notation.hpp"

#include "pictures/page.hpp"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <stdexcept>

namespace tulo::pictures {

namespace {

constexpr int min_dpi = 30;
constexpr int staff_lines = 5;
constexpr int staff_pitch = 9;   // staff spacings from one staff's top line to the next staff's
constexpr int drawing_shapes = 60;

cv::Mat blank_a4(int dpi)
{
    if (dpi < min_dpi)
        throw std::invalid_argument("a picture needs a dpi of at least 30");
    return cv::Mat(paper_size(Paper::a4, dpi), CV_8UC1, cv::Scalar::all(255));
}

// A note head a few steps above or below the staff's middle line, its stem up or down, sometimes
// a beam towards the next note.
void draw_note(cv::Mat& page, cv::Point at, int spacing, int stroke, cv::RNG& rng)
{
    const int step = rng.uniform(-4, 8);
    const cv::Point head(at.x, at.y + step * spacing / 2);
    cv::ellipse(page, head, cv::Size(spacing * 6 / 10, spacing / 2), -20.0, 0.0, 360.0, cv::Scalar::all(0),
                rng.uniform(0, 3) == 0 ? stroke : cv::FILLED, cv::LINE_AA);
    const int stem = step < 4 ? -3 * spacing : 3 * spacing;
    const int side = step < 4 ? spacing / 2 : -spacing / 2;
    cv::line(page, head + cv::Point(side, 0), head + cv::Point(side, stem), cv::Scalar::all(0), stroke, cv::LINE_AA);
    if (rng.uniform(0, 5) == 0)
        cv::line(page, head + cv::Point(side, stem), head + cv::Point(side + 3 * spacing, stem), cv::Scalar::all(0),
                 std::max(stroke, spacing / 3));
}

} // namespace

cv::Mat render_music_score(int dpi, unsigned seed)
{
    cv::Mat page = blank_a4(dpi);
    cv::RNG rng(seed);
    const int spacing = std::max(2, dpi / 16);
    const int stroke = std::max(1, dpi / 150);
    const int left = dpi;
    const int right = page.cols - dpi;
    for (int top = dpi; top + (staff_lines - 1) * spacing < page.rows - dpi; top += staff_pitch * spacing) {
        for (int line = 0; line < staff_lines; ++line)
            cv::line(page, {left, top + line * spacing}, {right, top + line * spacing}, cv::Scalar::all(0), stroke);
        cv::line(page, {left, top}, {left, top + (staff_lines - 1) * spacing}, cv::Scalar::all(0), 2 * stroke);
        for (int x = left + 3 * spacing; x < right - spacing; x += rng.uniform(2 * spacing, 4 * spacing))
            draw_note(page, {x, top + 2 * spacing}, spacing, stroke, rng);
    }
    return page;
}

cv::Mat render_line_drawing(int dpi, unsigned seed)
{
    cv::Mat page = blank_a4(dpi);
    cv::RNG rng(seed);
    for (int i = 0; i < drawing_shapes; ++i) {
        const cv::Point a(rng.uniform(0, page.cols), rng.uniform(0, page.rows));
        const cv::Point b(rng.uniform(0, page.cols), rng.uniform(0, page.rows));
        const int width = rng.uniform(1, 4) * std::max(1, dpi / 150);
        switch (rng.uniform(0, 3)) {
        case 0:
            cv::line(page, a, b, cv::Scalar::all(0), width, cv::LINE_AA);
            break;
        case 1:
            cv::rectangle(page, a, b, cv::Scalar::all(0), width, cv::LINE_AA);
            break;
        default:
            cv::circle(page, a, rng.uniform(dpi / 8, dpi), cv::Scalar::all(0), width, cv::LINE_AA);
        }
    }
    return page;
}

} // namespace tulo::pictures
