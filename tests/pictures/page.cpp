#include "pictures/page.hpp"
#include "pictures/photo.hpp"
#include "truetype.hpp"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <stdexcept>

namespace tulo::pictures {

namespace {

constexpr double margin_inches = 0.9;
constexpr double a4_width_inches = 210.0 / 25.4;
constexpr double a4_height_inches = 297.0 / 25.4;
constexpr int lowest_dpi = 30;
// Cap height of a Hershey font at scale 1, in pixels; a point is 1/72 inch, capitals about 0.7 em.
constexpr double hershey_cap_height = 21.0;
constexpr double cap_height_per_em = 0.7;
// The ink box counts a pixel inked from an eighth of full ink on.
constexpr int ink_threshold = 255 - 255 / 8;

const std::array<int, 5> hershey_fonts{cv::FONT_HERSHEY_SIMPLEX, cv::FONT_HERSHEY_DUPLEX, cv::FONT_HERSHEY_COMPLEX,
                                       cv::FONT_HERSHEY_TRIPLEX, cv::FONT_HERSHEY_SIMPLEX | cv::FONT_ITALIC};

// A face at one size, with its line pitch and the weight of rules drawn beside it.
struct Type {
    Face face;
    int font;        // the Hershey font, when face is hershey
    double scale;    // Hershey scale
    int pixels;      // TrueType em
    int thickness;   // of Hershey strokes and of rules
    int pitch;       // baseline to baseline, pixels
};

Type type_of(int dpi, double points, double leading, Face face, int font, bool bold)
{
    const double em = points / 72.0 * dpi;
    const double weight = em / (bold ? 9.0 : 16.0);
    return {bold ? bold_of(face) : face, font, em * cap_height_per_em / hershey_cap_height, std::max(1, cvRound(em)),
            std::max(1, cvRound(weight)), cvRound(em * leading)};
}

int text_width(const std::string& text, const Type& type)
{
    if (type.face != Face::hershey)
        return truetype::width(type.face, type.pixels, text);
    int baseline = 0;
    return cv::getTextSize(text, type.font, type.scale, type.thickness, &baseline).width;
}

void draw_text(cv::Mat& page, const std::string& text, cv::Point origin, const Type& type)
{
    if (type.face != Face::hershey)
        truetype::draw(page, type.face, type.pixels, text, origin, 0);
    else
        cv::putText(page, text, origin, type.font, type.scale, cv::Scalar::all(0), type.thickness, cv::LINE_AA);
}

// The Hershey pages' words: random letters, an occasional capital, comma or full stop.
std::string hershey_word(cv::RNG& rng)
{
    std::string word;
    const int letters = rng.uniform(1, 11);
    for (int i = 0; i < letters; ++i)
        word += static_cast<char>((i == 0 && rng.uniform(0, 6) == 0 ? 'A' : 'a') + rng.uniform(0, 26));
    if (rng.uniform(0, 8) == 0)
        word += rng.uniform(0, 2) == 0 ? ',' : '.';
    return word;
}

// What one page is being set with: the body type, the words and how paragraphs look.
struct Setting {
    Type body;
    Prose prose;
    int dpi;
    bool justified;
    int indent;  // of a paragraph's first line

    std::string word(cv::RNG& rng) { return body.face == Face::hershey ? hershey_word(rng) : prose.next_word(rng); }
};

// Fills a line of at most `width` pixels with words; a paragraph's last line stays short.
std::string random_line(Setting& setting, const Type& type, cv::RNG& rng, int width, bool last_of_paragraph)
{
    const int target = last_of_paragraph ? rng.uniform(width / 5, width) : width;
    std::string line = setting.word(rng);
    for (;;) {
        const std::string longer = line + ' ' + setting.word(rng);
        if (text_width(longer, type) > target)
            return line;
        line = longer;
    }
}

// Spreads the line's words so that it ends exactly at `width`.
void draw_justified(cv::Mat& page, const std::string& line, cv::Point origin, int width, const Type& type)
{
    std::vector<std::string> words;
    int inked = 0;
    for (std::size_t start = 0; start <= line.size();) {
        const std::size_t end = std::min(line.find(' ', start), line.size());
        words.push_back(line.substr(start, end - start));
        inked += text_width(words.back(), type);
        start = end + 1;
    }
    const int gaps = static_cast<int>(words.size()) - 1;
    for (int i = 0; i <= gaps; ++i) {
        draw_text(page, words[static_cast<std::size_t>(i)], origin, type);
        origin.x += text_width(words[static_cast<std::size_t>(i)], type);
        if (i < gaps)
            origin.x += (width - inked) / gaps + (i < (width - inked) % gaps ? 1 : 0);
    }
}

// Paragraphs of text in `box`, top to bottom; returns the y below the last line.
int fill_text(cv::Mat& page, cv::Rect box, Setting& setting, cv::RNG& rng)
{
    const Type& type = setting.body;
    int y = box.y + type.pitch;
    int left_in_paragraph = rng.uniform(3, 12);
    bool first = true;
    for (; y <= box.y + box.height; y += type.pitch) {
        const bool last = --left_in_paragraph == 0;
        const int indent = first ? setting.indent : 0;
        const std::string line = random_line(setting, type, rng, box.width - indent, last);
        if (setting.justified && !last && line.find(' ') != std::string::npos)
            draw_justified(page, line, cv::Point(box.x + indent, y), box.width - indent, type);
        else
            draw_text(page, line, cv::Point(box.x + indent, y), type);
        first = last;
        if (last) {
            left_in_paragraph = rng.uniform(3, 12);
            y += type.pitch / 2;
        }
    }
    return y;
}

void draw_heading(cv::Mat& page, cv::Point at, int width, Setting& setting, cv::RNG& rng)
{
    const Type heading = type_of(setting.dpi, rng.uniform(16.0, 24.0), 1.3, setting.body.face, setting.body.font, true);
    draw_text(page, random_line(setting, heading, rng, width, true), at, heading);
}

void draw_headed_text(cv::Mat& page, cv::Rect box, Setting& setting, cv::RNG& rng)
{
    const int pitch = setting.body.pitch;
    for (int y = box.y; y < box.y + box.height - 4 * pitch;) {
        draw_heading(page, cv::Point(box.x, y + 2 * pitch), box.width, setting, rng);
        const int height = std::min(box.y + box.height - y - 3 * pitch, rng.uniform(6, 20) * pitch);
        y = fill_text(page, cv::Rect(box.x, y + 3 * pitch, box.width, height), setting, rng) + pitch;
    }
}

void draw_table(cv::Mat& page, cv::Rect box, Setting& setting, cv::RNG& rng)
{
    const Type& body = setting.body;
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
            draw_text(page, random_line(setting, body, rng, column_width * 3 / 4, false),
                      {box.x + c * column_width + body.pitch / 3, box.y + r * row_height + baseline}, body);
}

void draw_photo_block(cv::Mat& page, cv::Rect box, Setting& setting, cv::RNG& rng)
{
    const cv::Rect photo(box.x + box.width / 2, box.y + box.height / 4, box.width / 2, box.height / 3);
    cv::Mat grey;
    cv::cvtColor(landscape(photo.size(), rng), grey, cv::COLOR_BGR2GRAY);
    grey.copyTo(page(photo));
    const int gap = setting.body.pitch;
    fill_text(page, cv::Rect(box.x, box.y, box.width, photo.y - box.y - gap), setting, rng);
    fill_text(page, cv::Rect(box.x, photo.y, photo.x - box.x - gap, photo.height), setting, rng);
    fill_text(page, cv::Rect(box.x, photo.br().y + gap, box.width, box.br().y - photo.br().y - gap), setting, rng);
}

void draw_page_number(cv::Mat& page, int margin, const Type& body, cv::RNG& rng)
{
    const std::string number = std::to_string(rng.uniform(1, 400));
    draw_text(page, number, cv::Point((page.cols - text_width(number, body)) / 2, page.rows - margin / 2), body);
}

void lay_out(cv::Mat& sheet, cv::Rect box, const PageCase& page, Setting& setting, cv::RNG& rng)
{
    switch (page.layout) {
    case Layout::two_columns: {
        const int gutter = page.dpi / 3;
        const int column = (box.width - gutter) / 2;
        fill_text(sheet, cv::Rect(box.x, box.y, column, box.height), setting, rng);
        fill_text(sheet, cv::Rect(box.x + column + gutter, box.y, column, box.height), setting, rng);
        break;
    }
    case Layout::headings:
        draw_headed_text(sheet, box, setting, rng);
        break;
    case Layout::table: {
        const int split = box.height / 3;
        const int pitch = setting.body.pitch;
        fill_text(sheet, cv::Rect(box.x, box.y, box.width, split - pitch), setting, rng);
        draw_table(sheet, cv::Rect(box.x, box.y + split, box.width, split), setting, rng);
        fill_text(sheet, cv::Rect(box.x, box.y + 2 * split + pitch, box.width, split - pitch), setting, rng);
        break;
    }
    case Layout::photo_block:
        draw_photo_block(sheet, box, setting, rng);
        break;
    case Layout::one_column:
    case Layout::scan_border:
    case Layout::small_print:
    case Layout::justified:
        fill_text(sheet, box, setting, rng);
        break;
    }
}

cv::Mat upright_page(const PageCase& page, cv::RNG& rng)
{
    cv::Mat sheet(paper_size(page.paper, page.dpi), CV_8UC1, cv::Scalar::all(255));
    const int margin = cvRound(margin_inches * page.dpi);
    const cv::Rect box(margin, margin, sheet.cols - 2 * margin, sheet.rows - 2 * margin);
    // Drawn in this order whatever the case asks for, so that each seed keeps its page.
    const int font = hershey_fonts[static_cast<std::size_t>(rng.uniform(0, static_cast<int>(hershey_fonts.size())))];
    const double leading = rng.uniform(1.15, 1.6);
    const double drawn_points = rng.uniform(8.0, 13.0);
    const bool small = page.layout == Layout::small_print;
    const double points = page.points > 0.0 ? page.points : small ? rng.uniform(5.5, 7.5) : drawn_points;
    const Type body = type_of(page.dpi, points, small ? 1.2 : leading, page.face, font, false);
    const bool justified = page.layout == Layout::justified;
    Setting setting{body, Prose(page.script), page.dpi, justified, justified ? 2 * body.pixels : 0};
    lay_out(sheet, box, page, setting, rng);
    if (page.page_number)
        draw_page_number(sheet, margin, body, rng);
    return sheet;
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

// A fax or a 1-bit scan: a little softness and noise, then a fixed threshold at mid-grey.
void binarise(cv::Mat& scan, int dpi, cv::RNG& rng)
{
    cv::GaussianBlur(scan, scan, cv::Size(), 0.5 * dpi / 150.0);
    add_grain(scan, rng.uniform(5.0, 15.0), rng);
    cv::threshold(scan, scan, 127, 255, cv::THRESH_BINARY);
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
    case Wear::binarised:
        binarise(scan, page.dpi, rng);
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

void check(const PageCase& page)
{
    if (page.dpi < lowest_dpi)
        throw std::invalid_argument("a page needs at least " + std::to_string(lowest_dpi) + " dpi");
    if (page.face == Face::hershey && page.script != Script::latin)
        throw std::invalid_argument("the Hershey fonts write only Latin letters");
}

// The page drawn and turned, before the scanner's border and the wear.
cv::Mat turned_page(const PageCase& page, cv::RNG& rng)
{
    check(page);
    return turn(upright_page(page, rng), page.angle, cv::Scalar::all(255));
}

} // namespace

cv::Size paper_size(Paper paper, int dpi)
{
    const bool a4 = paper == Paper::a4;
    return {cvRound((a4 ? a4_width_inches : 8.5) * dpi), cvRound((a4 ? a4_height_inches : 11.0) * dpi)};
}

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

std::vector<PageCase> truetype_page_cases(int dpi, int count, double max_angle, unsigned seed)
{
    constexpr int layouts = 8;
    constexpr int wears = 7;
    constexpr int scripts = 3;
    const std::vector<Face>& faces = truetype_faces();
    std::vector<PageCase> cases = page_cases(dpi, count, max_angle, seed);
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const int n = static_cast<int>(i);
        cases[i].layout = static_cast<Layout>(n % layouts);
        cases[i].wear = static_cast<Wear>((n / layouts + n) % wears);
        cases[i].face = faces[(i * 7) % faces.size()];
        cases[i].script = static_cast<Script>((n / 2) % scripts);
        cases[i].paper = n % 2 == 0 ? Paper::a4 : Paper::letter;
        cases[i].page_number = n % 3 != 1;
    }
    return cases;
}

cv::Mat render_page(const PageCase& page)
{
    cv::RNG rng(page.seed);
    cv::Mat scan = turned_page(page, rng);
    if (page.layout == Layout::scan_border)
        add_scan_border(scan, rng);
    wear(scan, page, rng);
    if (page.light_on_dark)
        cv::bitwise_not(scan, scan);
    return formatted(scan, page.format);
}

cv::Rect ink_box(const PageCase& page)
{
    cv::RNG rng(page.seed);
    const cv::Mat clean = turned_page(page, rng);
    std::vector<cv::Point> inked;
    cv::findNonZero(clean < ink_threshold, inked);
    return inked.empty() ? cv::Rect() : cv::boundingRect(inked);
}

cv::Mat turn(const cv::Mat& image, double angle, const cv::Scalar& fill)
{
    const double quarters = std::round(angle / 90.0);
    const double rest = angle - 90.0 * quarters;
    const int quarter = static_cast<int>(std::fmod(std::fmod(quarters, 4.0) + 4.0, 4.0));
    cv::Mat upright = image;
    if (quarter != 0)
        cv::rotate(image, upright, quarter == 1 ? cv::ROTATE_90_COUNTERCLOCKWISE
                                   : quarter == 2 ? cv::ROTATE_180 : cv::ROTATE_90_CLOCKWISE);
    if (rest == 0.0)
        return upright;  // an exact quarter turn: no interpolation
    const cv::Point2f centre(0.5f * (upright.cols - 1), 0.5f * (upright.rows - 1));
    cv::Mat result;
    cv::warpAffine(upright, result, cv::getRotationMatrix2D(centre, rest, 1.0), upright.size(), cv::INTER_CUBIC,
                   cv::BORDER_CONSTANT, fill);
    return result;
}

std::string describe(const PageCase& page)
{
    static const std::array<const char*, 8> layouts{"one-column", "two-columns", "headings",    "table",
                                                    "photo-block", "scan-border", "small-print", "justified"};
    static const std::array<const char*, 7> wears{"clean", "noisy", "blurred", "jpeg", "uneven", "worn", "binarised"};
    static const std::array<const char*, 4> formats{"grey8", "bgr8", "bgra8", "grey16"};
    std::string name = std::to_string(page.dpi) + "dpi " + layouts[static_cast<std::size_t>(page.layout)] + " " +
                       wears[static_cast<std::size_t>(page.wear)] + " " + formats[static_cast<std::size_t>(page.format)] +
                       (page.light_on_dark ? " light-on-dark" : "");
    if (page.face != Face::hershey)
        name += " " + describe(page.face) + " " + describe(page.script);
    if (page.paper == Paper::a4)
        name += " a4";
    if (page.page_number)
        name += " numbered";
    return name;
}

} // namespace tulo::pictures
