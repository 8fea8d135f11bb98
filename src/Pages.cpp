#include "PagesFormats.hpp"

#include <tulo/ImageFile.hpp>

#include <tulo/Opsira.hpp>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <tiffio.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <system_error>

namespace tulo {

namespace fs = std::filesystem;

namespace {

// Grey level from which a levelled 1-bit page counts as paper: the midpoint of ink (0) and paper (255).
constexpr double paper_ink_split = 128.0;

std::string lowercase(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

bool is_pdf(const std::string& path) { return pages::has_extension(path, {".pdf"}); }
bool is_tiff(const std::string& path) { return pages::has_extension(path, {".tif", ".tiff"}); }

// A name beside `target` that no other writer picks: the process and a counter tell them apart.
fs::path unique_beside(const fs::path& target, const std::string& suffix)
{
    static std::atomic<unsigned> counter{0};
    return target.string() + "." + std::to_string(::getpid()) + "-" + std::to_string(counter++) + suffix;
}

void remove_quietly(const fs::path& path)
{
    std::error_code ignored;
    fs::remove_all(path, ignored);
}

bool tiff_declares_bilevel(const std::string& path)
{
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    // A file that is not a TIFF is an answer here, not an error to print.
    TIFFOpenOptionsSetErrorHandlerExtR(options, [](TIFF*, void*, const char*, const char*, va_list) { return 1; }, nullptr);
    TIFFOpenOptionsSetWarningHandlerExtR(options, [](TIFF*, void*, const char*, const char*, va_list) { return 1; }, nullptr);
    TIFF* tiff = TIFFOpenExt(path.c_str(), "r", options);
    TIFFOpenOptionsFree(options);
    if (!tiff)
        return false;
    std::uint16_t bits = 1;
    std::uint16_t samples = 1;
    TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFClose(tiff);
    return bits == 1 && samples == 1;
}

} // namespace

// ---- Shared helpers ------------------------------------------------------------------------------

namespace pages {

void fail_page(const std::string& path, std::size_t index, const std::string& reason)
{
    throw PageFileError(path, index + 1, "page " + std::to_string(index + 1) + " of " + path + ": " + reason);
}

void guard_pixels(const std::string& path, std::size_t index, double width, double height)
{
    if (!(width >= 1.0 && height >= 1.0))
        fail_page(path, index, "page without pixels");
    const double limit = static_cast<double>(Opsira::max_read_pixels);
    if (width * height > limit) {
        const auto side = [](double pixels) { return std::to_string(static_cast<std::uint64_t>(std::min(pixels, 1e15))); };
        fail_page(path, index, "page of " + side(width) + " x " + side(height) + " pixels is over the limit of " +
                                   std::to_string(Opsira::max_read_pixels) + " pixels");
    }
}

cv::Mat bilevel_pixels(const cv::Mat& image)
{
    cv::Mat grey = image;
    if (image.channels() == 3)
        cv::cvtColor(image, grey, cv::COLOR_BGR2GRAY);
    else if (image.channels() == 4)
        cv::cvtColor(image, grey, cv::COLOR_BGRA2GRAY);
    cv::Mat split;
    cv::threshold(grey, split, paper_ink_split - 0.5, 255.0, cv::THRESH_BINARY);
    return split;
}

void require_writable(const cv::Mat& pixels)
{
    const bool depth_ok = pixels.depth() == CV_8U || pixels.depth() == CV_16U;
    const bool channels_ok = pixels.channels() == 1 || pixels.channels() == 3 || pixels.channels() == 4;
    if (pixels.empty() || pixels.dims != 2 || !depth_ok || !channels_ok)
        throw std::invalid_argument("page pixels must be a non-empty 8- or 16-bit image with 1, 3 or 4 channels");
}

bool has_extension(const std::string& path, std::initializer_list<const char*> extensions)
{
    const std::string extension = lowercase(fs::path(path).extension().string());
    return std::any_of(extensions.begin(), extensions.end(), [&](const char* e) { return extension == e; });
}

} // namespace pages

// ---- Errors and file kinds -----------------------------------------------------------------------

PageFileError::PageFileError(const std::string& path, std::size_t page, const std::string& message)
    : std::runtime_error(message), path_(path), page_(page)
{
}

bool is_page_file(const std::string& path) { return is_pdf(path) || is_tiff(path); }

// ---- Reading -------------------------------------------------------------------------------------

PageSource::PageSource(const std::string& path, double render_dpi)
{
    if (!(render_dpi > 0.0 && render_dpi <= max_render_dpi))
        throw std::invalid_argument("render resolution must lie in (0, 2400] dpi");
    if (is_pdf(path))
        format_ = pages::open_pdf(path, render_dpi);
    else if (is_tiff(path))
        format_ = pages::open_tiff(path);
    else
        throw PageFileError(path, 0, "not a TIFF or PDF file: " + path);
}

PageSource::~PageSource() = default;
PageSource::PageSource(PageSource&&) noexcept = default;
PageSource& PageSource::operator=(PageSource&&) noexcept = default;

std::size_t PageSource::page_count() const { return format_->page_count(); }

Page PageSource::read(std::size_t index) const
{
    if (index >= page_count())
        throw std::out_of_range("page index " + std::to_string(index) + " past the last page");
    return format_->read(index);
}

// ---- Writing -------------------------------------------------------------------------------------

PageWriter::Format::Format(std::string input, std::string output, std::string staging)
    : input_(std::move(input)), output_(std::move(output)),
      staging_(staging.empty() ? output_ + ".partial" : std::move(staging))
{
    spool_folder_ = unique_beside(staging_, ".pages");
    std::error_code error;
    if (!fs::create_directory(spool_folder_, error))
        throw PageFileError(output_, 0, "cannot make a folder for pages beside " + output_);
}

PageWriter::Format::~Format() { remove_quietly(spool_folder_); }

bool PageWriter::Format::replace(std::size_t index, const cv::Mat& pixels, const Page& as_read)
{
    if (index >= page_count())
        throw std::out_of_range("page index " + std::to_string(index) + " past the last page");
    pages::require_writable(pixels);
    // Each page has a spool file of its own, so that encoding needs no lock; a page replaced
    // twice keeps the later pixels.
    const fs::path spool = unique_beside(spool_folder_ / std::to_string(index), ".page");
    const bool dropped = encode(pixels, as_read, spool);
    const std::lock_guard<std::mutex> lock(mutex_);
    if (const auto earlier = replaced_.find(index); earlier != replaced_.end())
        remove_quietly(earlier->second);
    replaced_[index] = spool;
    return dropped;
}

void PageWriter::Format::finish()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    try {
        assemble(staging_, replaced_);
        fs::rename(staging_, output_);
    } catch (const fs::filesystem_error&) {
        remove_quietly(staging_);
        throw PageFileError(output_, 0, "cannot write " + output_);
    } catch (...) {
        remove_quietly(staging_);
        throw;
    }
}

PageWriter::PageWriter(const std::string& input, const std::string& output, const std::string& staging)
{
    if (is_pdf(input))
        format_ = pages::pdf_writer(input, output, staging);
    else if (is_tiff(input))
        format_ = pages::tiff_writer(input, output, staging);
    else
        throw PageFileError(input, 0, "not a TIFF or PDF file: " + input);
}

PageWriter::~PageWriter() = default;

bool PageWriter::replace(std::size_t index, const cv::Mat& pixels, const Page& as_read)
{
    return format_->replace(index, pixels, as_read);
}

void PageWriter::finish() { format_->finish(); }

// ---- 1-bit single images -------------------------------------------------------------------------

cv::Mat to_bilevel(const cv::Mat& levelled)
{
    if (levelled.empty() || levelled.depth() != CV_8U ||
        (levelled.channels() != 1 && levelled.channels() != 3 && levelled.channels() != 4))
        throw std::invalid_argument("to_bilevel needs a non-empty 8-bit image with 1, 3 or 4 channels");
    return pages::bilevel_pixels(levelled);
}

bool is_bilevel_file(const std::string& path)
{
    if (is_bilevel_png(path))
        return true;
    return is_tiff(path) && tiff_declares_bilevel(path);
}

void write_bilevel(const std::string& path, const cv::Mat& image, cv::Point2d dpi)
{
    const bool png = pages::has_extension(path, {".png"});
    if (!png && !is_tiff(path))
        throw std::invalid_argument("a 1-bit image is written as .tif, .tiff or .png: " + path);
    const cv::Mat bilevel = to_bilevel(image);
    // The staging name keeps the extension, which tells OpenCV the format.
    const fs::path staging = unique_beside(path, fs::path(path).extension().string());
    try {
        if (png) {
            if (!cv::imwrite(staging.string(), bilevel, {cv::IMWRITE_PNG_BILEVEL, 1}))
                throw PageFileError(path, 0, "cannot write " + path);
        } else {
            pages::write_tiff_page(staging.string(), bilevel, dpi, true);
        }
        fs::rename(staging, path);
    } catch (const fs::filesystem_error&) {
        remove_quietly(staging);
        throw PageFileError(path, 0, "cannot write " + path);
    } catch (...) {
        remove_quietly(staging);
        throw;
    }
}

} // namespace tulo
