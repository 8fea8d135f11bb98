#pragma once
// Photographs without a camera: lighting, shapes, lens softness and sensor grain, deterministic
// from a seed.

#include <opencv2/core.hpp>

namespace tulo::pictures {

/** @brief Draws a synthetic colour photograph: uneven lighting, coloured shapes, a slightly
 *         tilted printed page with lines of text, lens softness and sensor noise.
 *  @param size width and height in pixels; features scale with the shorter side.
 *  @param seed the same seed always gives the same pixels.
 *  @return a CV_8UC3 image in BGR order. */
cv::Mat make_photo(cv::Size size, unsigned seed);

/** @brief A photograph without rows of text: smooth lighting, soft round shapes and grain; with
 *         a sky, the top third is a smooth sky over a level horizon.
 *  @param rng drawn from, so that a caller's sequence continues after it.
 *  @return a CV_8UC3 image in BGR order. */
cv::Mat landscape(cv::Size size, cv::RNG& rng, bool with_sky = false);

/** @brief Adds sensor grain: normal noise of deviation `sigma` to each 8-bit sample, saturated. */
void add_grain(cv::Mat& image, double sigma, cv::RNG& rng);

} // namespace tulo::pictures
