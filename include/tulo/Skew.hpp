#pragma once

#include <tulo/Export.hpp>

#include <opencv2/core.hpp>

namespace tulo {

// Finding and removing the small tilt of a scanned or photographed page. Only tilts within
// +-45 degrees are found: a page lying on its side or upside down (a quarter or half turn) is
// out of scope and comes back as a small or no correction.

/** @brief The tilt found on a page and how far it can be trusted. */
struct SkewEstimate {
    /** Degrees, counter-clockwise positive (as tulo::rotate): turning the image by this levels
     *  its lines. 0 whenever confidence is below min_skew_confidence. */
    double correction = 0.0;
    /** How far the best angle stands out, >= 0. The row-alignment score measures how sharply the
     *  ink falls into rows at an angle; at the best angle it is taken without its two strongest
     *  rows (so one long line cannot make a page) and compared with the median score over every
     *  angle within +-45 degrees (whatever max_angle): confidence = that height / median - 1.
     *  0 for an image without ink; below 1 for noise, texture and scenes; 5 to 100 for text. */
    double confidence = 0.0;
};

/** The confidence from which the correction is trusted. Measured on rendered pages (1 or 2
 *  columns, headings, tables, photos, scanner borders, noise, blur, JPEG, 8/16-bit, light on
 *  dark) every page scored 7.7 or more; blank sheets, noise and synthetic scenes 0.52 or less.
 *  A photo with several long straight dark lines has rows too and can pass. */
inline constexpr double min_skew_confidence = 2.0;

/** @brief Finds the angle of the rows of text (or other straight rows) of a page.
 *  @param image a non-empty 8- or 16-bit image with 1, 3 (BGR) or 4 (BGRA) channels, dark ink on
 *         light paper or light on dark, of any resolution; it is not modified.
 *  @param max_angle the largest tilt searched, in degrees, in (0, 45].
 *  @return the correction within +-max_angle and its confidence.
 *  @throws std::invalid_argument for an empty image, another depth or channel count, or a
 *          max_angle outside (0, 45] or NaN. */
TULO_API SkewEstimate estimate_skew(const cv::Mat& image, double max_angle = 45.0);

/** The canvas deskew returns: the input's size, or one holding the whole turned image. */
enum class DeskewCanvas { same_size, expand };

/** @brief Turns an image about its centre, bicubically, filling the uncovered corners with the
 *         paper colour (the per-channel median of the image's outermost rows and columns).
 *  @param image any non-empty image warpAffine accepts; it is not modified.
 *  @param correction degrees, counter-clockwise positive (SkewEstimate::correction); 0 gives an
 *         equal copy.
 *  @param canvas same_size keeps the size; expand grows it to hold every turned pixel.
 *  @return a new image of the input's type.
 *  @throws std::invalid_argument for an empty image or a NaN or infinite correction. */
TULO_API cv::Mat deskew(const cv::Mat& image, double correction, DeskewCanvas canvas = DeskewCanvas::same_size);

/** @brief Where deskew puts an image's pixels: the affine map from the input's pixel coordinates
 *         to the result's, and the result's size. */
struct DeskewGeometry {
    /** 2 x 3, CV_64F: the matrix warpAffine applies. */
    cv::Mat matrix;
    cv::Size size;
};

/** @brief The geometry of deskew(image, correction, canvas) for an image of `size`.
 *  @throws std::invalid_argument for an empty size or a NaN or infinite correction. */
TULO_API DeskewGeometry deskew_geometry(const cv::Size& size, double correction,
                                        DeskewCanvas canvas = DeskewCanvas::same_size);

} // namespace tulo
