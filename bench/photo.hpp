#pragma once

#include <opencv2/core.hpp>

#include <array>
#include <string>

namespace tulo_bench {

/** The seed of the benchmarks' photographs; written series continue with the following seeds. */
constexpr unsigned photo_seed = 20240611;

/** @brief A photograph size the benchmarks are run at. */
struct PhotoSize {
    std::string name;
    cv::Size size;
};

/** The three sizes measured: about 0.3, 2 and 12 megapixels. */
const std::array<PhotoSize, 3>& photo_sizes();

/** @brief Draws a deterministic synthetic colour photograph: uneven lighting, coloured shapes,
 *         a slightly tilted printed page with lines of text, lens softness and sensor noise.
 *  @param size width and height in pixels; features scale with the shorter side.
 *  @param seed the same seed always gives the same pixels.
 *  @return a CV_8UC3 image in BGR order. */
cv::Mat make_photo(cv::Size size, unsigned seed);

/** @brief Adds sensor grain: normal noise of deviation `sigma` to each 8-bit sample, saturated. */
void add_grain(cv::Mat& image, double sigma, cv::RNG& rng);

/** @brief The photograph of a measured size, drawn once with a fixed seed and then reused. */
const cv::Mat& photo(std::size_t size_index);

} // namespace tulo_bench
