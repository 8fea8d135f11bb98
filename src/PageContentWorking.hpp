#pragma once

#include <opencv2/core.hpp>

// What the page content finder's two halves share: the reduced copy the marks are found on, and the
// refinement of their box at full resolution.
namespace tulo::detail {

/** The reduced copy and how it maps back to the input. */
struct Working {
    cv::Mat grey;              // 8-bit, dark ink on light paper
    int factor = 1;            // input pixels per working pixel, a power of two
    double to_8bit = 1.0;      // the input's scale to 8 bits
    bool inverted = false;     // light ink on dark paper, turned over
    double pixels_per_mm = 1.0;
};

// A region of the input as the working copy reads it: 8-bit grey, dark ink on light paper. A view
// of the input where it already is that; not to be written to.
cv::Mat input_grey(const cv::Mat& page, const Working& working, const cv::Rect& region);

// A speck's largest piece at full resolution is at most this wide (mm) either way: dust, or the dot
// of a letter.
inline constexpr double speck_mm_in_input = 1.0;

/** The content box at full resolution and the margin of the calls on dust that shaped it. */
struct RefinedBox {
    cv::Rect box;
    double margin = 1.0;
};

// The box of the marks (in working pixels) refined at full resolution: each side moved in to the
// outermost stroke, past dust lying on it. `background` is the paper level of the working copy,
// `grow` the contrast at which a working pixel is ink.
RefinedBox refined(const cv::Mat& page, const cv::Rect& working_box, const Working& working,
                   const cv::Mat& background, double grow);

} // namespace tulo::detail
