#pragma once
// Printed pages as a scanner or camera delivers them: text in a face and script, laid out at a
// resolution on a sheet of paper, turned, worn and handed over in a pixel format. Deterministic:
// the same case always gives the same pixels.

#include "pictures/text.hpp"

#include <opencv2/core.hpp>

#include <string>
#include <vector>

namespace tulo::pictures {

/** Paper sizes: US letter (8.5 x 11 inches) and A4 (210 x 297 mm). */
enum class Paper { letter, a4 };
/** How the text is laid out on a page. `justified` sets both edges straight, indents each
 *  paragraph's first line and leaves its last line short; `small_print` is 5.5 to 7.5 point. */
enum class Layout { one_column, two_columns, headings, table, photo_block, scan_border, small_print, justified };
/** What the scan went through after the page was turned; `binarised` leaves only black and white. */
enum class Wear { clean, noisy, blurred, jpeg, uneven_light, worn, binarised };
/** The pixel format a picture is handed over in. */
enum class PixelFormat { grey8, bgr8, bgra8, grey16 };

/** @brief One page: everything needed to draw it again, and its true turn. The defaults give the
 *         Hershey pages the skew tables were measured on. */
struct PageCase {
    int dpi = 150;
    Layout layout = Layout::one_column;
    Wear wear = Wear::clean;
    PixelFormat format = PixelFormat::grey8;
    bool light_on_dark = false;
    double angle = 0.0;  // the page is turned by this, counter-clockwise positive; its correction is -angle
    unsigned seed = 0;
    Face face = Face::hershey;
    Script script = Script::latin;
    Paper paper = Paper::letter;
    bool page_number = false;  // a number centred in the bottom margin
    double points = 0.0;       // body text size; 0 draws it from the seed (8 to 13, small print 5.5 to 7.5)
};

/** @brief The sheet's size in pixels at a resolution, portrait. */
cv::Size paper_size(Paper paper, int dpi);

/** @brief A varied, deterministic set of `count` Hershey pages on letter paper at one dpi: the
 *         first six layouts, the first six wears, the formats and the polarity cycle; angles are
 *         drawn in +-max_angle (a few near 0 and the first exactly 0). */
std::vector<PageCase> page_cases(int dpi, int count, double max_angle, unsigned seed);

/** @brief As page_cases, but every layout and wear, TrueType faces, the three scripts, both papers
 *         and page numbers cycle too. */
std::vector<PageCase> truetype_page_cases(int dpi, int count, double max_angle, unsigned seed);

/** @brief Draws the page, turns it about its centre with white paper filling the corners (exact
 *         quarter turns swap its sides), then applies the wear, the polarity and the format.
 *  @throws std::invalid_argument for a dpi below 30 or a script other than Latin in Hershey.
 *  @throws std::runtime_error when a TrueType face's font file is missing. */
cv::Mat render_page(const PageCase& page);

/** @brief The true bounding box, in the rendered image, of everything printed on the page (text,
 *         rules, pictures, the page number): the pixels at least an eighth inked on the clean,
 *         turned page; scanner borders and wear do not count. Empty for a page without marks. */
cv::Rect ink_box(const PageCase& page);

/** @brief Turns an image counter-clockwise by `angle` degrees about its centre: exact quarter
 *         turns (swapping width and height), then the remainder in +-45 degrees by bicubic
 *         interpolation on a canvas of the same size, corners filled with `fill`. */
cv::Mat turn(const cv::Mat& image, double angle, const cv::Scalar& fill);

/** @brief A short name of the case for tables and test names, e.g. "300dpi table worn bgr8
 *         light-on-dark"; TrueType pages add face, script and any A4 paper or page number. */
std::string describe(const PageCase& page);

} // namespace tulo::pictures
