#pragma once
// The sample images bundled with opsira (data/page.png and data/shapes.png), drawn again
// identically on every run.

#include <opencv2/core.hpp>

namespace tulo::pictures {

/** @brief A 1000 x 800 BGR page explaining skew correction in Hershey text on paper that darkens
 *         towards the bottom, turned 4 degrees counter-clockwise. */
cv::Mat sample_page();

/** @brief An 800 x 600 BGR scene of filled shapes and a ring on a woven texture. */
cv::Mat sample_shapes();

} // namespace tulo::pictures
