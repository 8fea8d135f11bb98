#pragma once

// What the page reader and writer share between their TIFF and PDF halves.

#include <tulo/Pages.hpp>

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace tulo {

class PageSource::Format {
public:
    virtual ~Format() = default;
    virtual std::size_t page_count() const = 0;
    virtual Page read(std::size_t index) const = 0;
};

// Replaced pages are spooled into files of their own in a folder beside the output; what the
// formats do is encode a page into its spool file and assemble the output at the end.
class PageWriter::Format {
public:
    Format(std::string input, std::string output, std::string staging);
    virtual ~Format();

    bool replace(std::size_t index, const cv::Mat& pixels, const Page& as_read);
    void finish();

protected:
    virtual std::size_t page_count() const = 0;
    // Encodes a replaced page into `spool`; returns whether a text layer was dropped.
    virtual bool encode(const cv::Mat& pixels, const Page& as_read, const std::filesystem::path& spool) const = 0;
    // Writes every page to `staging`, replaced ones from their spool files.
    virtual void assemble(const std::string& staging, const std::map<std::size_t, std::filesystem::path>& replaced) = 0;

    const std::string input_;

private:
    const std::string output_;
    const std::string staging_;
    std::filesystem::path spool_folder_;
    std::mutex mutex_;
    std::map<std::size_t, std::filesystem::path> replaced_;
};

namespace pages {

// Throws the error of one page (index from 0) of a file.
[[noreturn]] void fail_page(const std::string& path, std::size_t index, const std::string& reason);

// The pixel limit every page passes before it is decoded or rendered: throws for that page.
void guard_pixels(const std::string& path, std::size_t index, double width, double height);

// The 1-bit pixels of an 8-bit image as 0 / 255, split as to_bilevel does.
cv::Mat bilevel_pixels(const cv::Mat& image);

// Pixels that a writer accepts: non-empty, 8- or 16-bit, 1, 3 or 4 channels.
void require_writable(const cv::Mat& pixels);

bool has_extension(const std::string& path, std::initializer_list<const char*> extensions);

std::unique_ptr<PageSource::Format> open_tiff(const std::string& path);
std::unique_ptr<PageSource::Format> open_pdf(const std::string& path, double render_dpi);
std::unique_ptr<PageWriter::Format> tiff_writer(const std::string& input, const std::string& output,
                                                const std::string& staging);
std::unique_ptr<PageWriter::Format> pdf_writer(const std::string& input, const std::string& output,
                                               const std::string& staging);

// CCITT fax data as a PDF holds it, and its coding.
struct FaxCoding {
    int k = 0; // < 0 Group 4, 0 Group 3 one-dimensional, > 0 Group 3 two-dimensional
    int columns = 1728;
    int rows = 0;
    bool byte_aligned = false;
    bool black_is_1 = false;
};

// A 1-bit image (0 / 255) as CCITT Group 4 data with 0 bits white, as a PDF with BlackIs1 false
// draws it.
std::string encode_group4(const cv::Mat& bilevel);

// Fax data decoded into 0 / 255 pixels, 255 where the coding draws white; empty when libtiff
// cannot decode it.
cv::Mat decode_fax(const std::string& data, const FaxCoding& coding);

// A single-page TIFF of `pixels`, 1-bit pages with Group 4, others with Deflate.
void write_tiff_page(const std::string& path, const cv::Mat& pixels, cv::Point2d dpi, bool bilevel);

} // namespace pages
} // namespace tulo
