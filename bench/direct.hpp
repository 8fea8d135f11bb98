#pragma once

#include <tulo/Opsira.hpp>

#include <opencv2/core.hpp>

#include <array>

namespace tulo_bench {

using EMatType = tulo::Opsira::EMatType;

/** @brief The images of one catalogue, indexed by kind number (1 original ... 22 threshold_dog). */
struct Catalogue {
    std::array<cv::Mat, 23> images;

    cv::Mat& operator[](EMatType kind) { return images.at(static_cast<std::size_t>(kind)); }
    const cv::Mat& operator[](EMatType kind) const { return images.at(static_cast<std::size_t>(kind)); }
};

/** @brief Derives every kind 2 to 22 and the mosaic of a colour photo by calling OpenCV directly,
 *         in the order the workspace derives them, with no store and no name lookups. Colour
 *         balance sorts each channel; everything else makes the calls the workspace makes.
 *  @param photo a non-empty CV_8UC3 image; it is not modified and not copied.
 *  @return the photo as kind 1 (a shared handle) and every derived image. */
Catalogue direct_catalogue(const cv::Mat& photo);

/** @brief Colour balance by sorting each channel: split, a flat copy, cv::sort, the values at
 *         floor(N h) and ceil(N u) (the upper position clamped to N - 1), clip, stretch, merge.
 *  @param image a non-empty 8-bit image of any channel count; it is not modified. */
cv::Mat sorted_colour_balance(const cv::Mat& image);

/** @brief Derives every kind 2 to 22 and then the mosaic in a workspace, in the order save_all
 *         requests them. */
void derive_catalogue(tulo::Opsira& workspace);

/** @brief Whether two images have the same size, type and bytes. */
bool identical(const cv::Mat& lhs, const cv::Mat& rhs);

} // namespace tulo_bench
