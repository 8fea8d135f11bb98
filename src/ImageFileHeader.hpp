#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace tulo::detail {

// The number of pixels an image file declares, read from its header without decoding it, for
// every format OpenCV decodes here: PNG, JPEG, BMP, WebP, TIFF and BigTIFF, PBM/PGM/PPM, PAM, PFM,
// Sun raster, Radiance HDR, JPEG 2000 (JP2 and codestream), OpenEXR and DICOM (frames counted).
// Empty for other data, for a header that cannot be read, and for a JPEG stream without an end
// marker after its first scan (libjpeg would pad it with grey and only warn): such files are not
// to be decoded. Reads only the headers and, for JPEG, the file backwards from its end.
std::optional<std::uint64_t> declared_pixels(const std::string& path);

// The same for a file's bytes held in memory.
std::optional<std::uint64_t> declared_pixels(const unsigned char* bytes, std::size_t size);

// True when the file is a PNG declaring 1-bit grey samples (bit depth 1, colour type 0).
bool declares_bilevel_png(const std::string& path);

} // namespace tulo::detail
