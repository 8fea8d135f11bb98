#include "page.hpp"
#include "photo.hpp"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <array>
#include <cmath>

namespace tulo_bench {

namespace {

constexpr double page_width_inches = 8.5;
constexpr double page_height_inches = 11.0;
constexpr double margin_inches = 0.9;
// Cap height of a Hershey font at scale 1, in pixels; a point is 1/72 inch, capitals about 0.7 em.
constexpr double hershey_cap_height = 21.0;
constexpr double cap_height_per_em = 0.7;

const std::array<int, 5> fonts{cv::FONT_HERSHEY_SIMPLEX, cv::FONT_HERSHEY_DUPLEX, cv::FONT_HERSHEY_COMPLEX,
                               cv::FONT_HERSHEY_TRIPLEX, cv::FONT_HERSHEY_SIMPLEX | cv::FONT_ITALIC};

struct Type {
    int font;
    double scale;
    int thickness;
    int pitch;  // baseline to baseline, pixels
};

Type type_of(int dpi, double points, double leading, int font, bool bold)
{
    const double em = points / 72.0 * dpi;
    const double weight = em / (bold ? 9.0 : 16.0);
    return {font, em * cap_height_per_em / hershey_cap_height, std::max(1, cvRound(weight)), cvRound(em * leading)};
}

std::string random_word(cv::RNG& rng)
{
    std::string word;
    const int letters = rng.uniform(1, 11);
    for (int i = 0; i < letters; ++i)
        word += static_cast<char>((i == 0 && rng.uniform(0, 6) == 0 ? 'A' : 'a') + rng.uniform(0, 26));
    if (rng.uniform(0, 8) == 0)
        word += rng.uniform(0, 2) == 0 ? ',' : '.';
    return word;
}

int text_width(const std::string& text, const Type& type)
{
    int baseline = 0;
    return cv::getTextSize(text, type.font, type.scale, type.thickness, &baseline).width;
}

// Fills a line of at most `width` pixels with words; a paragraph's last line stays short.
std::string random_line(cv::RNG& rng, const Type& type, int width, bool last_of_paragraph)
{
    const int target = last_of_paragraph ? rng.uniform(width / 5, width) : width;
    std::string line = random_word(rng);
    for (;;) {
        const std::string longer = line + ' ' + random_word(rng);
        if (text_width(longer, type) > target)
            return line;
        line = longer;
    }
}

// Paragraphs of text in `box`, top to bottom; returns the y below the last line.
int fill_text(cv::Mat& page, cv::Rect box, const Type& type, cv::RNG& rng)
{
    int y = box.y + type.pitch;
    int left_in_paragraph = rng.uniform(3, 12);
    for (; y <= box.y + box.height; y += type.pitch) {
        const bool last = --left_in_paragraph == 0;
        cv::putText(page, random_line(rng, type, box.width, last), cv::Point(box.x, y), type.font, type.scale,
                    cv::Scalar::all(0), type.thickness, cv::LINE_AA);
        if (last) {
            left_in_paragraph = rng.uniform(3, 12);
            y += type.pitch / 2;
        }
    }
    return y;
}

void draw_heading(cv::Mat& page, cv::Point at, int width, const Type& body, cv::RNG& rng, int dpi)
{
    const Type heading = type_of(dpi, rng.uniform(16.0, 24.0), 1.3, body.font, true);
    cv::putText(page, random_line(rng, heading, width, true), at, heading.font, heading.scale, cv::Scalar::all(0),
                heading.thickness, cv::LINE_AA);
}

void draw_headed_text(cv::Mat& page, cv::Rect box, const Type& body, cv::RNG& rng, int dpi)
{
    for (int y = box.y; y < box.y + box.height - 4 * body.pitch;) {
        draw_heading(page, cv::Point(box.x, y + 2 * body.pitch), box.width, body, rng, dpi);
        const int height = std::min(box.y + box.height - y - 3 * body.pitch, rng.uniform(6, 20) * body.pitch);
        y = fill_text(page, cv::Rect(box.x, y + 3 * body.pitch, box.width, height), body, rng) + body.pitch;
    }
}

void draw_table(cv::Mat& page, cv::Rect box, const Type& body, cv::RNG& rng)
{
    const int rows = rng.uniform(5, 12);
    const int columns = rng.uniform(3, 6);
    const int row_height = box.height / rows;
    const int column_width = box.width / columns;
    const int rule = std::max(1, body.thickness);
    const int right = box.x + columns * column_width;
    const int bottom = box.y + rows * row_height;
    for (int r = 0; r <= rows; ++r) {
        const int y = box.y + r * row_height;
        cv::line(page, {box.x, y}, {right, y}, cv::Scalar::all(0), r == 0 || r == rows ? 2 * rule : rule);
    }
    for (int c = 0; c <= columns; ++c)
        cv::line(page, {box.x + c * column_width, box.y}, {box.x + c * column_width, bottom}, cv::Scalar::all(0), rule);
    const int baseline = (row_height + body.pitch / 2) / 2;
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < columns; ++c)
            cv::putText(page, random_line(rng, body, column_width * 3 / 4, false),
                        {box.x + c * column_width + body.pitch / 3, box.y + r * row_height + baseline}, body.font,
                        body.scale, cv::Scalar::all(0), body.thickness, cv::LINE_AA);
}

// Smooth lighting, soft shapes and grain: a photograph without rows of text; with a sky, the top
// third is a smooth sky over a level horizon.
cv::Mat landscape(cv::Size size, cv::RNG& rng, bool with_sky = false)
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

void draw_photo_block(cv::Mat& page, cv::Rect box, const Type& body, cv::RNG& rng)
{
    const cv::Rect photo(box.x + box.width / 2, box.y + box.height / 4, box.width / 2, box.height / 3);
    cv::Mat grey;
    cv::cvtColor(landscape(photo.size(), rng), grey, cv::COLOR_BGR2GRAY);
    grey.copyTo(page(photo));
    const int gap = body.pitch;
    fill_text(page, cv::Rect(box.x, box.y, box.width, photo.y - box.y - gap), body, rng);
    fill_text(page, cv::Rect(box.x, photo.y, photo.x - box.x - gap, photo.height), body, rng);
    fill_text(page, cv::Rect(box.x, photo.br().y + gap, box.width, box.br().y - photo.br().y - gap), body, rng);
}

cv::Mat upright_page(const PageCase& page, cv::RNG& rng)
{
    const cv::Size size(cvRound(page_width_inches * page.dpi), cvRound(page_height_inches * page.dpi));
    cv::Mat sheet(size, CV_8UC1, cv::Scalar::all(255));
    const int margin = cvRound(margin_inches * page.dpi);
    const cv::Rect box(margin, margin, size.width - 2 * margin, size.height - 2 * margin);
    const Type body = type_of(page.dpi, rng.uniform(8.0, 13.0), rng.uniform(1.15, 1.6),
                              fonts[rng.uniform(0, static_cast<int>(fonts.size()))], false);
    switch (page.layout) {
    case Layout::two_columns: {
        const int gutter = page.dpi / 3;
        const int column = (box.width - gutter) / 2;
        fill_text(sheet, cv::Rect(box.x, box.y, column, box.height), body, rng);
        fill_text(sheet, cv::Rect(box.x + column + gutter, box.y, column, box.height), body, rng);
        break;
    }
    case Layout::headings:
        draw_headed_text(sheet, box, body, rng, page.dpi);
        break;
    case Layout::table: {
        const int split = box.height / 3;
        fill_text(sheet, cv::Rect(box.x, box.y, box.width, split - body.pitch), body, rng);
        draw_table(sheet, cv::Rect(box.x, box.y + split, box.width, split), body, rng);
        fill_text(sheet, cv::Rect(box.x, box.y + 2 * split + body.pitch, box.width, split - body.pitch), body, rng);
        break;
    }
    case Layout::photo_block:
        draw_photo_block(sheet, box, body, rng);
        break;
    case Layout::one_column:
    case Layout::scan_border:
        fill_text(sheet, box, body, rng);
        break;
    }
    return sheet;
}

cv::Mat turned(const cv::Mat& sheet, double angle)
{
    const cv::Point2f centre(0.5f * (sheet.cols - 1), 0.5f * (sheet.rows - 1));
    cv::Mat result;
    cv::warpAffine(sheet, result, cv::getRotationMatrix2D(centre, angle, 1.0), sheet.size(), cv::INTER_CUBIC,
                   cv::BORDER_CONSTANT, cv::Scalar::all(255));
    return result;
}

// Black bands along some edges of the scanner's frame, level with the image, not the page.
void add_scan_border(cv::Mat& scan, cv::RNG& rng)
{
    const int thick = std::max(2, scan.cols / 25);
    cv::rectangle(scan, cv::Rect(0, 0, rng.uniform(thick / 2, thick), scan.rows), cv::Scalar::all(0), cv::FILLED);
    cv::rectangle(scan, cv::Rect(0, 0, scan.cols, rng.uniform(thick / 2, thick)), cv::Scalar::all(0), cv::FILLED);
    const int bottom = rng.uniform(thick / 3, thick);
    cv::rectangle(scan, cv::Rect(0, scan.rows - bottom, scan.cols, bottom), cv::Scalar::all(20), cv::FILLED);
}

// Sensor noise and dark specks of dust.
void add_noise(cv::Mat& scan, double sigma, cv::RNG& rng)
{
    add_grain(scan, sigma, rng);
    for (std::size_t i = 0; i < scan.total() / 2000; ++i)
        scan.at<uchar>(rng.uniform(0, scan.rows), rng.uniform(0, scan.cols)) = static_cast<uchar>(rng.uniform(0, 90));
}

cv::Mat blank_sheet(cv::Size size, cv::RNG& rng)
{
    cv::Mat sheet(size, CV_8UC3, cv::Scalar(rng.uniform(200, 256), rng.uniform(200, 256), rng.uniform(200, 256)));
    add_grain(sheet, 3.0, rng);
    return sheet;
}

void blur(cv::Mat& scan, int dpi)
{
    cv::GaussianBlur(scan, scan, cv::Size(), 0.9 * dpi / 150.0);
}

void compress(cv::Mat& scan, int quality)
{
    std::vector<uchar> bytes;
    cv::imencode(".jpg", scan, bytes, {cv::IMWRITE_JPEG_QUALITY, quality});
    scan = cv::imdecode(bytes, cv::IMREAD_UNCHANGED);
}

// Light falling off towards one corner, on slightly grey paper.
void light_unevenly(cv::Mat& scan, cv::RNG& rng)
{
    cv::Mat grid(2, 2, CV_32F);
    rng.fill(grid, cv::RNG::UNIFORM, 0.45, 0.95);
    cv::Mat light;
    cv::resize(grid, light, scan.size(), 0.0, 0.0, cv::INTER_LINEAR);
    cv::Mat as_float;
    scan.convertTo(as_float, CV_32F);
    cv::multiply(as_float, light, as_float);
    as_float.convertTo(scan, CV_8U);
}

void wear(cv::Mat& scan, const PageCase& page, cv::RNG& rng)
{
    switch (page.wear) {
    case Wear::clean:
        break;
    case Wear::noisy:
        add_noise(scan, rng.uniform(10.0, 30.0), rng);
        break;
    case Wear::blurred:
        blur(scan, page.dpi);
        break;
    case Wear::jpeg:
        compress(scan, rng.uniform(20, 50));
        break;
    case Wear::uneven_light:
        light_unevenly(scan, rng);
        break;
    case Wear::worn:
        blur(scan, page.dpi);
        light_unevenly(scan, rng);
        add_noise(scan, rng.uniform(8.0, 20.0), rng);
        compress(scan, rng.uniform(30, 60));
        break;
    }
}

cv::Mat formatted(const cv::Mat& grey, PixelFormat format)
{
    cv::Mat result;
    switch (format) {
    case PixelFormat::grey8:
        return grey;
    case PixelFormat::bgr8: {
        cv::cvtColor(grey, result, cv::COLOR_GRAY2BGR);
        cv::multiply(result, cv::Scalar(0.92, 0.97, 1.0), result);  // yellowish paper
        return result;
    }
    case PixelFormat::bgra8:
        cv::cvtColor(grey, result, cv::COLOR_GRAY2BGRA);
        return result;
    case PixelFormat::grey16:
        grey.convertTo(result, CV_16U, 257.0);
        return result;
    }
    return result;
}

} // namespace

std::vector<PageCase> page_cases(int dpi, int count, double max_angle, unsigned seed)
{
    constexpr int layouts = 6;
    constexpr int wears = 6;
    constexpr int formats = 4;
    cv::RNG rng(seed + static_cast<unsigned>(dpi));
    std::vector<PageCase> cases;
    for (int i = 0; i < count; ++i) {
        PageCase page;
        page.dpi = dpi;
        page.layout = static_cast<Layout>(i % layouts);
        page.wear = static_cast<Wear>((i / layouts + i) % wears);
        page.format = static_cast<PixelFormat>((i / 3) % formats);
        page.light_on_dark = i % 7 == 3;
        page.angle = i == 0 ? 0.0 : i % 8 == 1 ? rng.uniform(-1.0, 1.0) : rng.uniform(-max_angle, max_angle);
        page.seed = seed * 7919u + static_cast<unsigned>(i * 131 + dpi);
        cases.push_back(page);
    }
    return cases;
}

cv::Mat render_page(const PageCase& page)
{
    cv::RNG rng(page.seed);
    cv::Mat scan = turned(upright_page(page, rng), page.angle);
    if (page.layout == Layout::scan_border)
        add_scan_border(scan, rng);
    wear(scan, page, rng);
    if (page.light_on_dark)
        cv::bitwise_not(scan, scan);
    return formatted(scan, page.format);
}

std::string describe(const PageCase& page)
{
    static const std::array<const char*, 6> layouts{"one-column", "two-columns", "headings",
                                                    "table", "photo-block", "scan-border"};
    static const std::array<const char*, 6> wears{"clean", "noisy", "blurred", "jpeg", "uneven", "worn"};
    static const std::array<const char*, 4> formats{"grey8", "bgr8", "bgra8", "grey16"};
    return std::to_string(page.dpi) + "dpi " + layouts[static_cast<int>(page.layout)] + " " +
           wears[static_cast<int>(page.wear)] + " " + formats[static_cast<int>(page.format)] +
           (page.light_on_dark ? " light-on-dark" : "");
}

cv::Mat render_scene(SceneKind kind, cv::Size size, unsigned seed)
{
    cv::RNG rng(seed);
    cv::Mat image(size, CV_8UC3);
    switch (kind) {
    case SceneKind::blank:
        return blank_sheet(size, rng);
    case SceneKind::noise:
        rng.fill(image, cv::RNG::UNIFORM, 0, 256);
        return image;
    case SceneKind::gradient: {
        cv::Mat grid(2, 3, CV_8UC3);
        rng.fill(grid, cv::RNG::UNIFORM, 0, 256);
        cv::resize(grid, image, size, 0.0, 0.0, cv::INTER_LINEAR);
        return image;
    }
    case SceneKind::shapes:
        return landscape(size, rng);
    case SceneKind::texture: {
        // Noise at several scales summed: a rough, natural-looking surface.
        cv::Mat sum(size, CV_32FC3, cv::Scalar::all(128));
        for (int cells = 8; cells <= std::max(8, size.width / 2); cells *= 2) {
            cv::Mat layer(std::max(1, cells * size.height / size.width), cells, CV_32FC3);
            rng.fill(layer, cv::RNG::NORMAL, 0, 40.0);
            cv::resize(layer, layer, size, 0.0, 0.0, cv::INTER_CUBIC);
            sum += layer;
        }
        sum.convertTo(image, CV_8U);
        return image;
    }
    case SceneKind::landscape:
        return landscape(size, rng, true);
    }
    return image;
}

std::vector<SceneKind> scene_kinds()
{
    return {SceneKind::blank, SceneKind::noise, SceneKind::gradient, SceneKind::shapes, SceneKind::texture,
            SceneKind::landscape};
}

std::string describe(SceneKind kind)
{
    static const std::array<const char*, 6> names{"blank", "noise", "gradient", "shapes", "texture", "landscape"};
    return names[static_cast<int>(kind)];
}

} // namespace tulo_bench
