#pragma once

#include <tulo/Export.hpp>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

namespace tulo {

// Reading image files behind a guard on their declared size, and the errors of image files. The
// guard reads the size an image declares from its header before anything is decoded: OpenCV
// allocates the whole image from the header's word alone, and its own limit (2^30 pixels) lets a
// small hostile file claim gigabytes.

/** Most pixels an image may declare to be decoded: 2^28. */
inline constexpr std::uint64_t max_image_pixels = std::uint64_t{1} << 28;

/** @brief An image file that could not be read or written; what() names it. Derived from
 *         std::runtime_error, which the library threw for these before. */
class TULO_API ImageFileError : public std::runtime_error {
public:
    /** @brief An error about the file `path`, with the message `what`. */
    ImageFileError(const std::string& what, std::string path);
    ~ImageFileError() override;
    /** @brief The file's path as the caller gave it. */
    const std::string& path() const noexcept { return path_; }

private:
    std::string path_;
};

/** @brief An image refused or not decoded: what() is "failed to read \"<path>\"". */
class TULO_API ImageReadError : public ImageFileError {
public:
    /** @brief The refusal of `path`, whose header declared `declared_pixels` (empty when its size
     *         could not be read). */
    ImageReadError(std::string path, std::optional<std::uint64_t> declared_pixels);
    ~ImageReadError() override;
    /** @brief The pixels the header declares; empty when its size could not be read (damaged, or
     *         no image format OpenCV decodes here, or a JPEG stream without its end marker). */
    std::optional<std::uint64_t> declared_pixels() const noexcept { return declared_pixels_; }
    /** @brief The most pixels an image may declare: max_image_pixels. */
    static constexpr std::uint64_t pixel_limit() noexcept { return max_image_pixels; }
    /** @brief True when the header declares more pixels than the limit. */
    bool over_limit() const noexcept { return declared_pixels_ && *declared_pixels_ > pixel_limit(); }

private:
    std::optional<std::uint64_t> declared_pixels_;
};

/** @brief An image that could not be written: what() is "failed to write \"<path>\"". */
class TULO_API ImageWriteError : public ImageFileError {
public:
    /** @brief The failure to write the file `path`. */
    explicit ImageWriteError(std::string path);
    ~ImageWriteError() override;
};

/** @brief The image in the file `path`, decoded only when its header declares a size of at most
 *         max_image_pixels.
 *  @param flags cv::imread's flags: cv::IMREAD_COLOR for three channels.
 *  @throws ImageReadError when the file cannot be opened or decoded, its size cannot be read from
 *          its header, it declares more pixels than the limit, or a JPEG stream ends before its
 *          end marker. */
TULO_API cv::Mat read_image(const std::string& path, int flags = cv::IMREAD_COLOR);

/** @brief The image in a file's bytes held in memory, behind the guard of read_image.
 *  @param bytes the file's content; at most INT_MAX bytes are decoded.
 *  @param name the name the error reports, usually the file's path.
 *  @param flags cv::imdecode's flags.
 *  @throws ImageReadError as read_image, also for more than INT_MAX bytes. */
TULO_API cv::Mat decode_image(const std::string& bytes, const std::string& name, int flags = cv::IMREAD_COLOR);

/** @brief True when the file `path` is a PNG of 1-bit grey samples (bit depth 1, colour type 0),
 *         which OpenCV decodes as 8-bit grey of 0 and 255; reads the header only.
 *  @param path any file; false for one that cannot be read or is no such PNG. */
TULO_API bool is_bilevel_png(const std::string& path);

} // namespace tulo
