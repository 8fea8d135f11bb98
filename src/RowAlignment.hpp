#pragma once

#include <opencv2/core.hpp>

// The pieces of the skew search that the orientation estimate shares: the reduced ink copy of a
// page and how sharply that ink falls into rows. Internal to the library.
namespace tulo::detail {

/** The ink of a page on a reduced copy (halved to a longer side of at most 1448 pixels), dark ink
 *  on light paper or light on dark alike, stored transposed: row x is column x of the page. The
 *  image must be non-empty, 8- or 16-bit, with 1, 3 or 4 channels. */
cv::Mat page_ink_columns(const cv::Mat& image);

/** Fades in the first and last page rows (the ends of each stored column), so that the edge of
 *  the frame makes no row of its own. */
void taper_rows(cv::Mat& ink_columns);

/** The best coarse angle of the rows within +-max_angle and its confidence (SkewEstimate's). */
struct RowAlignment {
    double angle = 0.0;
    double confidence = 0.0;
};
RowAlignment row_alignment(const cv::Mat& ink_columns, double max_angle);

} // namespace tulo::detail
