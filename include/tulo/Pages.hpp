#pragma once

#include <tulo/Export.hpp>

#include <opencv2/core.hpp>

#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>

namespace tulo {

// Reading and writing the pages of multi-page files (TIFF with any number of pages, PDF) one page
// at a time, and writing 1-bit pages as 1-bit files. Every page passes the pixel limit of
// Opsira::max_read_pixels before anything of it is decoded or rendered.

/** @brief A file or one of its pages could not be read or written. */
class TULO_API PageFileError : public std::runtime_error {
public:
    /** @brief An error about `path`; `page` counts from 1, 0 for the whole file. */
    PageFileError(const std::string& path, std::size_t page, const std::string& message);
    /** @brief The file the error is about. */
    const std::string& path() const noexcept { return path_; }
    /** @brief The page the error is about, from 1; 0 when the whole file failed. */
    std::size_t page() const noexcept { return page_; }

private:
    std::string path_;
    std::size_t page_;
};

/** The encoding family of a page as stored, which a changed page is written in again. */
enum class PageEncoding {
    /** JPEG (a PDF's DCTDecode image, a JPEG-compressed TIFF page). */
    jpeg,
    /** 1-bit: CCITT fax, JBIG2, or uncompressed / lossless 1-bit samples. */
    bilevel,
    /** Anything else, including rendered PDF pages: kept lossless. */
    lossless
};

/** @brief One page as read. */
struct Page {
    /** 8- or 16-bit pixels with 1, 3 (BGR) or 4 (BGRA) channels, as cv::imread with
     *  cv::IMREAD_UNCHANGED gives a single image; a 1-bit page is 8-bit with only 0 and 255. */
    cv::Mat pixels;
    /** Horizontal and vertical resolution in dots per inch; 0 when the file does not say. */
    cv::Point2d dpi{0.0, 0.0};
    /** True when the page is stored with 1-bit samples. */
    bool bilevel = false;
    /** The encoding family the page is stored in. */
    PageEncoding encoding = PageEncoding::lossless;
    /** True for a PDF page that draws text (such as a hidden layer from an earlier OCR run). */
    bool text_layer = false;
    /** True when the pixels were rendered rather than taken from the page's one image. */
    bool rendered = false;
};

/** The resolution at which PDF pages that are not one image are rendered by default. */
inline constexpr double default_render_dpi = 300.0;
/** The highest resolution PDF pages may be rendered at: far above any scan, low enough that a
 *  page of ordinary paper still fits the pixel limit at it. */
inline constexpr double max_render_dpi = 2400.0;
/** Most pages a file may have; a file declaring more is refused before its pages are read. */
inline constexpr std::size_t max_page_count = 100000;

/** @brief True when `path` names a file read page by page here: .tif, .tiff or .pdf, in any case. */
TULO_API bool is_page_file(const std::string& path);

/** @brief The pages of one TIFF or PDF file, each read on its own.
 *
 *  Opening reads only the file's structure. A PDF page that draws one image over the page (and
 *  perhaps invisible text) is taken at that image's own pixels and resolution, decoded without
 *  loss where its encoding allows (JPEG decoded as a JPEG file would be; JBIG2 and images of
 *  other colour spaces rendered at the image's resolution); any other page is rendered at the
 *  render resolution. A PDF whose cross-reference table is damaged (a truncated file) is
 *  refused rather than reconstructed. A source must not be used by two threads at once: open one
 *  per thread (opening is cheap), each reading the pages it is given. */
class TULO_API PageSource {
public:
    /** @brief Opens `path` (.tif/.tiff or .pdf) and reads its page count.
     *  @param render_dpi resolution for PDF pages that are not one image, in (0, 2400].
     *  @throws PageFileError (page 0) "encrypted PDF: <path>", "malformed PDF: <path>: <reason>",
     *          "unreadable TIFF: <path>: <reason>", "too many pages: <path>" (over
     *          max_page_count), or "not a TIFF or PDF file: <path>";
     *          std::invalid_argument for a render_dpi outside (0, 2400]. */
    explicit PageSource(const std::string& path, double render_dpi = default_render_dpi);
    ~PageSource();
    PageSource(PageSource&&) noexcept;
    PageSource& operator=(PageSource&&) noexcept;

    /** @brief The number of pages, at least 1. */
    std::size_t page_count() const;

    /** @brief Reads one page.
     *  @param index the page, from 0.
     *  @return the page's pixels and what is known of it.
     *  @throws PageFileError for that page only ("page <n> of <path>: <reason>"): a damaged
     *          image, a page over the pixel limit (at the render resolution for a rendered
     *          page, checked before rendering); std::out_of_range for an index past the end. */
    Page read(std::size_t index) const;

    /** The reading of one kind of file. */
    class Format;

private:
    std::unique_ptr<Format> format_;
};

/** @brief Writes a multi-page file of the same kind as its input, with some pages replaced.
 *
 *  Pages may be replaced in any order and from several threads at once; every page not replaced
 *  is copied from the input unchanged (a TIFF page's encoded strips and tags, a PDF page object
 *  with its streams, text and annotations), so a page that failed to read is copied as it was.
 *  A replaced page is written in its encoding family: JPEG at quality 95, 1-bit as CCITT Group 4,
 *  others lossless (Deflate), at the page's physical size (its pixels at its resolution). Replaced
 *  pages are spooled to disk, so memory does not grow with the page count. The output is written
 *  to a staging file beside it and renamed into place by finish(); a writer destroyed before
 *  that leaves nothing behind. A PDF keeps its document information and XMP metadata. */
class TULO_API PageWriter {
public:
    /** @brief Prepares to write `output` from the pages of `input`.
     *  @param staging where the file is written before the rename; "" for output + ".partial".
     *  @throws PageFileError (page 0) for an input PageSource refuses; for a folder for the
     *          spooled pages that cannot be made. */
    PageWriter(const std::string& input, const std::string& output, const std::string& staging = "");
    ~PageWriter();
    PageWriter(const PageWriter&) = delete;
    PageWriter& operator=(const PageWriter&) = delete;

    /** @brief Replaces one page with new pixels; safe to call from several threads at once.
     *  @param index the page, from 0.
     *  @param pixels a non-empty 8- or 16-bit image with 1, 3 (BGR) or 4 (BGRA) channels; for
     *         a 1-bit page, grey levels are split at 128 (see to_bilevel); a PDF page drops the
     *         alpha channel, and a JPEG page is written with 8 bits.
     *  @param as_read the page as read: its encoding, resolution, bit depth and text layer.
     *  @return true when the page's text layer was dropped (a PDF page that had one).
     *  @throws std::out_of_range for an index past the end; std::invalid_argument for unusable
     *          pixels; PageFileError when the page cannot be encoded or spooled. */
    bool replace(std::size_t index, const cv::Mat& pixels, const Page& as_read);

    /** @brief Writes every page in order to the staging file and renames it to the output.
     *  @throws PageFileError (page 0) when the file cannot be written, or (page n) when an
     *          unchanged page cannot be copied (its structure is unreadable); nothing is then
     *          left at the output or staging path. */
    void finish();

    /** The writing of one kind of file. */
    class Format;

private:
    std::unique_ptr<Format> format_;
};

/** @brief The paper/ink split of a levelled 1-bit page: grey levels at or above 128 (the
 *         midpoint of 0 and 255) become paper (255), the rest ink (0); no dithering.
 *  @param levelled a non-empty 8-bit image with 1, 3 or 4 channels (converted to grey first).
 *  @return an 8-bit single-channel image of 0 and 255.
 *  @throws std::invalid_argument for an empty image or another depth or channel count. */
TULO_API cv::Mat to_bilevel(const cv::Mat& levelled);

/** @brief True when a single-image file declares 1-bit grey samples: a PNG of bit depth 1 and
 *         colour type 0, or a TIFF whose first page has one sample of 1 bit. Reads the header only.
 *  @param path any file; false for one that cannot be read. */
TULO_API bool is_bilevel_file(const std::string& path);

/** @brief Writes a 1-bit image file: CCITT Group 4 TIFF for .tif/.tiff, 1-bit PNG for .png;
 *         written beside `path` and renamed into place.
 *  @param path the output, ending in .tif, .tiff or .png (any case).
 *  @param image a non-empty 8-bit image; split by to_bilevel.
 *  @param dpi resolution written in a TIFF's tags; 0 leaves them out.
 *  @throws std::invalid_argument for another extension or an unusable image;
 *          PageFileError when the file cannot be written. */
TULO_API void write_bilevel(const std::string& path, const cv::Mat& image, cv::Point2d dpi = {0.0, 0.0});

} // namespace tulo
