#include <tulo/ImageFile.hpp>

#include "ImageFileHeader.hpp"

#include <limits>

namespace tulo {
namespace {

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

void guard(const std::string& name, const std::optional<std::uint64_t>& pixels)
{
    if (!pixels || *pixels > max_image_pixels)
        throw ImageReadError(name, pixels);
}

} // namespace

ImageFileError::ImageFileError(const std::string& what, std::string path)
    : std::runtime_error(what), path_(std::move(path))
{
}

ImageFileError::~ImageFileError() = default;

ImageReadError::ImageReadError(std::string path, std::optional<std::uint64_t> declared_pixels)
    : ImageFileError("failed to read " + quoted(path), path), declared_pixels_(declared_pixels)
{
}

ImageReadError::~ImageReadError() = default;

ImageWriteError::ImageWriteError(std::string path) : ImageFileError("failed to write " + quoted(path), path) {}

ImageWriteError::~ImageWriteError() = default;

cv::Mat read_image(const std::string& path, int flags)
{
    const auto pixels = detail::declared_pixels(path);
    guard(path, pixels);
    cv::Mat image = cv::imread(path, flags);
    if (image.empty())
        throw ImageReadError(path, pixels);
    return image;
}

cv::Mat decode_image(const std::string& bytes, const std::string& name, int flags)
{
    if (bytes.size() > static_cast<std::size_t>(std::numeric_limits<int>::max()))
        throw ImageReadError(name, std::nullopt);
    const auto pixels = detail::declared_pixels(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    guard(name, pixels);
    // imdecode only reads the buffer; the Mat header needs a non-const pointer.
    const cv::Mat buffer(1, static_cast<int>(bytes.size()), CV_8U, const_cast<char*>(bytes.data()));
    cv::Mat image = cv::imdecode(buffer, flags);
    if (image.empty())
        throw ImageReadError(name, pixels);
    return image;
}

bool is_bilevel_png(const std::string& path)
{
    return detail::declares_bilevel_png(path);
}

} // namespace tulo
