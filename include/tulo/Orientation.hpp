#pragma once

#include <tulo/Export.hpp>

#include <opencv2/core.hpp>

namespace tulo {

// Standing a page the right way up: which quarter turn makes its lines of text horizontal and
// upright. Tilts up to about 10 degrees off a quarter turn are allowed; estimate_skew levels them
// afterwards. Made for left-to-right scripts set in lines (Latin, Cyrillic, Greek).

/** @brief The quarter turn that stands a page upright and how far it can be trusted. */
struct OrientationEstimate {
    /** Counter-clockwise degrees that stand the page upright: 0, 90, 180 or 270 (turn_upright
     *  with it). 0 whenever confidence is below min_orientation_confidence. */
    int correction = 0;
    /** How far the answer can be trusted, >= 0. */
    double confidence = 0.0;
};

/** The confidence from which the correction is trusted. */
inline constexpr double min_orientation_confidence = 1.0;

/** @brief Finds the quarter turn that stands a page of text upright.
 *  @param page a non-empty 8- or 16-bit image with 1, 3 (BGR) or 4 (BGRA) channels, dark ink on
 *         light paper or light on dark, of any resolution; it is not modified.
 *  @return the correction and its confidence; correction 0 below min_orientation_confidence.
 *  @throws std::invalid_argument for an empty image or another depth or channel count. */
TULO_API OrientationEstimate estimate_orientation(const cv::Mat& page);

/** @brief Turns an image by an exact quarter turn, counter-clockwise (no interpolation).
 *  @param page any non-empty image; it is not modified.
 *  @param correction 0, 90, 180 or 270 (OrientationEstimate::correction); 0 gives an equal copy.
 *  @return a new image of the input's type, its sides swapped for 90 and 270.
 *  @throws std::invalid_argument for an empty image or another correction. */
TULO_API cv::Mat turn_upright(const cv::Mat& page, int correction);

} // namespace tulo
