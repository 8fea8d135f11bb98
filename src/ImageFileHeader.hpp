#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tulo::detail {

// The number of pixels an image file's header declares, read without decoding: for PNG, JPEG,
// BMP, WebP, TIFF and PNM files. Empty for other formats and for headers that cannot be read.
std::optional<std::uint64_t> declared_pixels(const std::string& path);

} // namespace tulo::detail
