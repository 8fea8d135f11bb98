#pragma once

#include <opencv2/core.hpp>

#include <optional>

namespace tulo_bench {

/** @brief Leptonica's pixFindSkewSweepAndSearch (+-45 degrees, reduction 4 then 2, 1 degree
 *         sweep), after converting to 8-bit grey and binarising at 130 as Leptonica's deskew does.
 *  @return the correction in tulo's sign (counter-clockwise positive), or nothing when this
 *          build has no Leptonica or Leptonica reports an error. */
std::optional<double> leptonica_correction(const cv::Mat& image);

/** True when the benchmarks were built with Leptonica. */
bool have_leptonica();

} // namespace tulo_bench
