#pragma once
// Pages that have rows but no text: a music score and a technical line drawing, for checking that
// nothing takes them for text. Deterministic: the same seed gives the same pixels.

#include <opencv2/core.hpp>

namespace tulo::pictures {

/** @brief An 8-bit grey A4 page of staves of five lines with note heads, stems and beams.
 *  @throws std::invalid_argument for a dpi below 30. */
cv::Mat render_music_score(int dpi, unsigned seed);

/** @brief An 8-bit grey A4 page of straight lines, rectangles and circles of a few widths.
 *  @throws std::invalid_argument for a dpi below 30. */
cv::Mat render_line_drawing(int dpi, unsigned seed);

} // namespace tulo::pictures
