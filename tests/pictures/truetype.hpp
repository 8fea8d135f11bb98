#pragma once
// Text set in TrueType faces with FreeType, for the pictures' own use. Glyph bitmaps are kept per
// face and size for the life of the process, so a page costs a few blends per letter.

#include "pictures/text.hpp"

#include <opencv2/core.hpp>

#include <string>

namespace tulo::pictures::truetype {

/** @brief The advance width in pixels of UTF-8 text in a face at an em size of `pixels`.
 *  @throws std::runtime_error when the face's file is missing or FreeType is not built in. */
int width(Face face, int pixels, const std::string& text);

/** @brief Blends UTF-8 text in ink into an 8-bit one-channel image, the baseline starting at
 *         `origin`; anti-aliased, clipped at the image's edges.
 *  @throws std::runtime_error when the face's file is missing or FreeType is not built in. */
void draw(cv::Mat& page, Face face, int pixels, const std::string& text, cv::Point origin, uchar ink);

} // namespace tulo::pictures::truetype
