#pragma once

#include <opencv2/core.hpp>

namespace tulo::pictures {

// What a scanner and an archive add to a page that is not the page's own content, and lone marks
// that are. Every function draws on an 8-bit grey or BGR page of light paper and keeps the true
// content box up to date: additions that are not content stay off it (in the margin between the
// content and the frame, as far as the margin allows), lone marks widen it.

/** A scanned page and the smallest upright box holding every mark of its own content. */
struct ScannedPage {
    cv::Mat image;     // CV_8UC1 or CV_8UC3
    cv::Rect content;  // empty for a blank page
    double dpi = 300.0;
};

/** Pixels at least this much darker than the paper count as a mark when a true box is measured. */
inline constexpr int mark_contrast = 48;

/** @brief The box of every pixel darker than white by at least `contrast` grey levels.
 *  @param page an 8-bit grey or BGR page on white paper.
 *  @return the box, empty when no pixel is that dark. */
cv::Rect ink_box(const cv::Mat& page, int contrast = mark_contrast);

/** @brief Wraps a drawn page on white paper with its measured content box. */
ScannedPage scanned(cv::Mat page, double dpi);

enum class Side { left, right, top, bottom };

/** @brief A dark scanner border along one side: ragged, a little slanted, sometimes covering only
 *         part of the side. */
void add_scanner_border(ScannedPage& page, Side side, cv::RNG& rng);

/** @brief The smooth shadow of the spine or of the page's edge, darkest at the frame. */
void add_edge_shadow(ScannedPage& page, Side side, cv::RNG& rng);

/** @brief Two or three punch holes (dark or grey discs of about 6 mm) along one side. */
void add_punch_holes(ScannedPage& page, Side side, cv::RNG& rng);

/** @brief A staple: a short thin grey bar, slanted, near the top-left corner. */
void add_staple(ScannedPage& page, cv::RNG& rng);

/** @brief A sliver of the facing page on the left or right: its dark edge line down the whole
 *         page and, beyond it, paper with the cut-off ends of its lines. */
void add_facing_sliver(ScannedPage& page, Side side, cv::RNG& rng);

/** @brief The reverse side showing through: `reverse` (a page of the same size, light paper)
 *         mirrored, blurred and faintly darkening the paper by at most `strength` of its ink. */
void add_bleed_through(ScannedPage& page, const cv::Mat& reverse, double strength);

/** @brief Sensor grain of the given standard deviation and a sprinkle of small dark specks. */
void add_noise(ScannedPage& page, double sigma, cv::RNG& rng);

/** @brief A lone page number at the foot of the page (content). */
void add_page_number(ScannedPage& page, cv::RNG& rng);

/** @brief A faint pencil note of a few handwritten-looking words (content). */
void add_pencil_note(ScannedPage& page, cv::RNG& rng);

/** @brief A small rubber stamp: a ring or frame with a word, in mid grey (content). */
void add_stamp(ScannedPage& page, cv::RNG& rng);

/** @brief A sheet of paper without content: tinted, lit unevenly and grained.
 *  @param size in pixels; @param dpi its resolution; channels 1 or 3. */
ScannedPage blank_paper(cv::Size size, double dpi, int channels, cv::RNG& rng);

} // namespace tulo::pictures
