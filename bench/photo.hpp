#pragma once
// The benchmarks' photographs: drawn by the shared test pictures at fixed sizes and seeds.

#include "pictures/photo.hpp"

#include <array>
#include <string>

namespace tulo_bench {

using tulo::pictures::make_photo;

/** The seed of the benchmarks' photographs; written series continue with the following seeds. */
constexpr unsigned photo_seed = 20240611;

/** @brief A photograph size the benchmarks are run at. */
struct PhotoSize {
    std::string name;
    cv::Size size;
};

/** The three sizes measured: about 0.3, 2 and 12 megapixels. */
const std::array<PhotoSize, 3>& photo_sizes();

/** @brief The photograph of a measured size, drawn once with a fixed seed and then reused. */
const cv::Mat& photo(std::size_t size_index);

} // namespace tulo_bench
