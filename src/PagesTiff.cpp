// Multi-page TIFF through libtiff: each page's header is read (and its size checked) by libtiff
// before OpenCV decodes it; unchanged pages are copied as their encoded strips or tiles with the
// tags that describe them; new pages are written with Group 4 (1-bit) or Deflate. The same
// in-memory TIFF serves the CCITT fax images of PDF pages.
#include "PagesFormats.hpp"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <tiffio.h>

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <vector>

namespace tulo::pages {

namespace {

namespace fs = std::filesystem;

// Most bytes libtiff may allocate at once for a page: a page at the pixel limit with four 16-bit
// samples, so that a hostile strip size fails in libtiff instead of exhausting memory.
constexpr tmsize_t max_single_allocation = tmsize_t{1} << 31;

// A TIFF opened with libtiff, whose errors are kept as text for the message instead of printed.
class Tiff {
public:
    static Tiff open(const std::string& path, const char* mode) { return Tiff(path, mode, nullptr); }

    // A TIFF held in `bytes`, read or written in place.
    struct Memory {
        std::string bytes;
        toff_t at = 0;
    };
    static Tiff open(Memory& memory, const char* mode) { return Tiff("memory", mode, &memory); }

    Tiff(Tiff&& other) noexcept : errors_(std::move(other.errors_)), tiff_(std::exchange(other.tiff_, nullptr)) {}
    Tiff& operator=(Tiff&&) = delete;
    ~Tiff()
    {
        if (tiff_)
            TIFFClose(tiff_);
    }

    TIFF* get() const { return tiff_; }
    explicit operator bool() const { return tiff_ != nullptr; }
    const std::string& errors() const { return *errors_; }

    // Flushes a TIFF being written; false when that failed.
    bool close()
    {
        const bool flushed = TIFFFlush(tiff_) != 0;
        TIFFClose(std::exchange(tiff_, nullptr));
        return flushed && errors_->empty();
    }

private:
    Tiff(const std::string& name, const char* mode, Memory* memory) : errors_(std::make_unique<std::string>())
    {
        TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
        TIFFOpenOptionsSetMaxSingleMemAlloc(options, max_single_allocation);
        TIFFOpenOptionsSetErrorHandlerExtR(options, &keep_error, errors_.get());
        TIFFOpenOptionsSetWarningHandlerExtR(options, &ignore, nullptr);
        tiff_ = memory ? TIFFClientOpenExt(name.c_str(), mode, memory, &read, &write, &seek, &close_nothing, &size,
                                           &no_map, &no_unmap, options)
                       : TIFFOpenExt(name.c_str(), mode, options);
        TIFFOpenOptionsFree(options);
    }

    static int keep_error(TIFF*, void* errors, const char* module, const char* format, va_list arguments)
    {
        char text[256];
        std::vsnprintf(text, sizeof text, format, arguments);
        auto& kept = *static_cast<std::string*>(errors);
        if (kept.empty())
            kept = std::string(module ? module : "libtiff") + ": " + text;
        return 1;
    }
    static int ignore(TIFF*, void*, const char*, const char*, va_list) { return 1; }

    static Memory& memory(thandle_t handle) { return *static_cast<Memory*>(handle); }
    static tmsize_t read(thandle_t handle, void* into, tmsize_t count)
    {
        Memory& m = memory(handle);
        const auto available = static_cast<tmsize_t>(m.at < m.bytes.size() ? m.bytes.size() - m.at : 0);
        const tmsize_t n = std::min(count, available);
        std::memcpy(into, m.bytes.data() + m.at, static_cast<std::size_t>(n));
        m.at += static_cast<toff_t>(n);
        return n;
    }
    static tmsize_t write(thandle_t handle, void* from, tmsize_t count)
    {
        Memory& m = memory(handle);
        if (m.bytes.size() < m.at + static_cast<toff_t>(count))
            m.bytes.resize(m.at + static_cast<toff_t>(count));
        std::memcpy(m.bytes.data() + m.at, from, static_cast<std::size_t>(count));
        m.at += static_cast<toff_t>(count);
        return count;
    }
    static toff_t seek(thandle_t handle, toff_t offset, int whence)
    {
        Memory& m = memory(handle);
        const toff_t base = whence == SEEK_CUR ? m.at : whence == SEEK_END ? m.bytes.size() : 0;
        m.at = base + offset;
        return m.at;
    }
    static toff_t size(thandle_t handle) { return memory(handle).bytes.size(); }
    static int close_nothing(thandle_t) { return 0; }
    static int no_map(thandle_t, void**, toff_t*) { return 0; }
    static void no_unmap(thandle_t, void*, toff_t) {}

    std::unique_ptr<std::string> errors_;
    TIFF* tiff_ = nullptr;
};

std::string reason(const Tiff& tiff, const std::string& otherwise)
{
    return tiff.errors().empty() ? otherwise : tiff.errors();
}

// ---- Reading -------------------------------------------------------------------------------------

double to_inches(float resolution, std::uint16_t unit)
{
    constexpr double centimetres_per_inch = 2.54;
    if (unit == RESUNIT_CENTIMETER)
        return resolution * centimetres_per_inch;
    return unit == RESUNIT_INCH ? resolution : 0.0;
}

cv::Point2d tiff_dpi(TIFF* tiff)
{
    float x = 0.0f;
    float y = 0.0f;
    std::uint16_t unit = RESUNIT_INCH;
    TIFFGetFieldDefaulted(tiff, TIFFTAG_RESOLUTIONUNIT, &unit);
    if (!TIFFGetField(tiff, TIFFTAG_XRESOLUTION, &x) || !TIFFGetField(tiff, TIFFTAG_YRESOLUTION, &y))
        return {0.0, 0.0};
    return {to_inches(x, unit), to_inches(y, unit)};
}

class TiffPages : public PageSource::Format {
public:
    explicit TiffPages(std::string path) : path_(std::move(path))
    {
        const Tiff tiff = Tiff::open(path_, "r");
        if (!tiff)
            throw PageFileError(path_, 0, "unreadable TIFF: " + path_ + ": " + reason(tiff, "cannot open"));
        count_ = TIFFNumberOfDirectories(tiff.get());
        if (count_ > max_page_count)
            throw PageFileError(path_, 0, "too many pages: " + path_);
        if (count_ == 0)
            throw PageFileError(path_, 0, "unreadable TIFF: " + path_ + ": no pages");
    }

    std::size_t page_count() const override { return count_; }

    Page read(std::size_t index) const override
    {
        const Tiff tiff = Tiff::open(path_, "r");
        if (!tiff || !TIFFSetDirectory(tiff.get(), static_cast<tdir_t>(index)))
            fail_page(path_, index, reason(tiff, "unreadable page directory"));
        std::uint32_t width = 0;
        std::uint32_t height = 0;
        std::uint16_t bits = 1;
        std::uint16_t samples = 1;
        std::uint16_t compression = COMPRESSION_NONE;
        TIFFGetField(tiff.get(), TIFFTAG_IMAGEWIDTH, &width);
        TIFFGetField(tiff.get(), TIFFTAG_IMAGELENGTH, &height);
        TIFFGetFieldDefaulted(tiff.get(), TIFFTAG_BITSPERSAMPLE, &bits);
        TIFFGetFieldDefaulted(tiff.get(), TIFFTAG_SAMPLESPERPIXEL, &samples);
        TIFFGetFieldDefaulted(tiff.get(), TIFFTAG_COMPRESSION, &compression);
        guard_pixels(path_, index, width, height);

        Page page;
        page.dpi = tiff_dpi(tiff.get());
        page.bilevel = bits == 1 && samples == 1;
        const bool jpeg = compression == COMPRESSION_JPEG || compression == COMPRESSION_OJPEG;
        page.encoding = page.bilevel ? PageEncoding::bilevel : jpeg ? PageEncoding::jpeg : PageEncoding::lossless;
        page.pixels = decode(index);
        if (page.pixels.size() != cv::Size(static_cast<int>(width), static_cast<int>(height)))
            fail_page(path_, index, "cannot decode the page");
        if (page.bilevel)
            page.pixels = bilevel_pixels(page.pixels);
        return page;
    }

private:
    cv::Mat decode(std::size_t index) const
    {
        std::vector<cv::Mat> decoded;
        try {
            cv::imreadmulti(path_, decoded, static_cast<int>(index), 1, cv::IMREAD_UNCHANGED);
        } catch (const cv::Exception& error) {
            fail_page(path_, index, "cannot decode the page: " + error.msg);
        }
        if (decoded.size() != 1 || decoded[0].empty())
            fail_page(path_, index, "cannot decode the page");
        return decoded[0];
    }

    std::string path_;
    std::size_t count_ = 0;
};

// ---- Writing new pages ---------------------------------------------------------------------------

void set_resolution(TIFF* tiff, cv::Point2d dpi)
{
    if (dpi.x <= 0.0 || dpi.y <= 0.0)
        return;
    TIFFSetField(tiff, TIFFTAG_XRESOLUTION, static_cast<float>(dpi.x));
    TIFFSetField(tiff, TIFFTAG_YRESOLUTION, static_cast<float>(dpi.y));
    TIFFSetField(tiff, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
}

// Rows of 1-bit samples, 1 for ink (below the split), as a min-is-white page stores them.
std::vector<unsigned char> packed_ink(const cv::Mat& bilevel)
{
    const std::size_t row_bytes = (static_cast<std::size_t>(bilevel.cols) + 7) / 8;
    std::vector<unsigned char> packed(row_bytes * static_cast<std::size_t>(bilevel.rows), 0);
    for (int y = 0; y < bilevel.rows; ++y) {
        const unsigned char* row = bilevel.ptr<unsigned char>(y);
        unsigned char* out = packed.data() + row_bytes * static_cast<std::size_t>(y);
        for (int x = 0; x < bilevel.cols; ++x)
            if (row[x] < 128)
                out[x / 8] |= static_cast<unsigned char>(0x80 >> (x % 8));
    }
    return packed;
}

bool write_bilevel_strip(TIFF* tiff, const cv::Mat& pixels)
{
    const cv::Mat bilevel = bilevel_pixels(pixels);
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 1);
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
    TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX4);
    // One strip: a PDF's fax image is that strip as it stands.
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, static_cast<std::uint32_t>(bilevel.rows));
    std::vector<unsigned char> packed = packed_ink(bilevel);
    return TIFFWriteEncodedStrip(tiff, 0, packed.data(), static_cast<tmsize_t>(packed.size())) >= 0;
}

bool write_lossless_rows(TIFF* tiff, const cv::Mat& pixels)
{
    cv::Mat samples = pixels;
    if (pixels.channels() == 3)
        cv::cvtColor(pixels, samples, cv::COLOR_BGR2RGB);
    else if (pixels.channels() == 4)
        cv::cvtColor(pixels, samples, cv::COLOR_BGRA2RGBA);
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, static_cast<std::uint16_t>(pixels.depth() == CV_16U ? 16 : 8));
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, static_cast<std::uint16_t>(pixels.channels()));
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, pixels.channels() == 1 ? PHOTOMETRIC_MINISBLACK : PHOTOMETRIC_RGB);
    if (pixels.channels() == 4) {
        const std::uint16_t alpha = EXTRASAMPLE_UNASSALPHA;
        TIFFSetField(tiff, TIFFTAG_EXTRASAMPLES, 1, &alpha);
    }
    TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE);
    TIFFSetField(tiff, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(tiff, 0));
    for (int y = 0; y < samples.rows; ++y)
        if (TIFFWriteScanline(tiff, samples.ptr(y), static_cast<std::uint32_t>(y), 0) < 0)
            return false;
    return true;
}

// One directory holding `pixels`; false when libtiff failed.
bool write_directory(TIFF* tiff, const cv::Mat& pixels, cv::Point2d dpi, bool bilevel)
{
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, static_cast<std::uint32_t>(pixels.cols));
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, static_cast<std::uint32_t>(pixels.rows));
    TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    set_resolution(tiff, dpi);
    const bool written = bilevel ? write_bilevel_strip(tiff, pixels) : write_lossless_rows(tiff, pixels);
    return written && TIFFWriteDirectory(tiff) != 0;
}

// ---- Copying unchanged pages ---------------------------------------------------------------------

template <class Value>
void copy_field(TIFF* in, TIFF* out, ttag_t tag)
{
    Value value{};
    if (TIFFGetField(in, tag, &value))
        TIFFSetField(out, tag, value);
}

template <class Count, class Value>
void copy_array(TIFF* in, TIFF* out, ttag_t tag)
{
    Count count = 0;
    Value* values = nullptr;
    if (TIFFGetField(in, tag, &count, &values))
        TIFFSetField(out, tag, count, values);
}

// The tags that say how the strips or tiles are to be decoded and shown, copied with them.
void copy_tags(TIFF* in, TIFF* out)
{
    // The compression comes first: it decides which of the later tags libtiff accepts.
    copy_field<std::uint16_t>(in, out, TIFFTAG_COMPRESSION);
    for (const ttag_t tag : {TIFFTAG_IMAGEWIDTH, TIFFTAG_IMAGELENGTH, TIFFTAG_ROWSPERSTRIP, TIFFTAG_TILEWIDTH,
                             TIFFTAG_TILELENGTH, TIFFTAG_GROUP3OPTIONS, TIFFTAG_GROUP4OPTIONS})
        copy_field<std::uint32_t>(in, out, tag);
    for (const ttag_t tag : {TIFFTAG_BITSPERSAMPLE, TIFFTAG_SAMPLESPERPIXEL, TIFFTAG_PHOTOMETRIC, TIFFTAG_FILLORDER,
                             TIFFTAG_ORIENTATION, TIFFTAG_PLANARCONFIG, TIFFTAG_RESOLUTIONUNIT, TIFFTAG_PREDICTOR,
                             TIFFTAG_SAMPLEFORMAT, TIFFTAG_YCBCRPOSITIONING, TIFFTAG_INKSET})
        copy_field<std::uint16_t>(in, out, tag);
    for (const ttag_t tag : {TIFFTAG_XRESOLUTION, TIFFTAG_YRESOLUTION})
        copy_field<float>(in, out, tag);
    copy_array<std::uint16_t, std::uint16_t>(in, out, TIFFTAG_EXTRASAMPLES);
    copy_array<std::uint32_t, void>(in, out, TIFFTAG_JPEGTABLES);
    copy_array<std::uint32_t, void>(in, out, TIFFTAG_ICCPROFILE);
    std::uint16_t *red = nullptr, *green = nullptr, *blue = nullptr;
    if (TIFFGetField(in, TIFFTAG_COLORMAP, &red, &green, &blue))
        TIFFSetField(out, TIFFTAG_COLORMAP, red, green, blue);
    std::uint16_t horizontal = 0, vertical = 0;
    if (TIFFGetField(in, TIFFTAG_YCBCRSUBSAMPLING, &horizontal, &vertical))
        TIFFSetField(out, TIFFTAG_YCBCRSUBSAMPLING, horizontal, vertical);
    float* reference = nullptr;
    if (TIFFGetField(in, TIFFTAG_REFERENCEBLACKWHITE, &reference))
        TIFFSetField(out, TIFFTAG_REFERENCEBLACKWHITE, reference);
}

// Copies the current directory of `in` to a new directory of `out`, its encoded strips or tiles
// byte for byte; false when a piece cannot be read or written.
bool copy_directory(TIFF* in, TIFF* out)
{
    copy_tags(in, out);
    const bool tiled = TIFFIsTiled(in) != 0;
    const std::uint32_t pieces = tiled ? TIFFNumberOfTiles(in) : TIFFNumberOfStrips(in);
    std::uint64_t* sizes = nullptr;
    if (!TIFFGetField(in, tiled ? TIFFTAG_TILEBYTECOUNTS : TIFFTAG_STRIPBYTECOUNTS, &sizes))
        return false;
    std::vector<unsigned char> piece;
    for (std::uint32_t i = 0; i < pieces; ++i) {
        // A count past the file's end cannot be read; one within it is bounded by the file.
        if (sizes[i] > static_cast<std::uint64_t>(max_single_allocation))
            return false;
        piece.resize(static_cast<std::size_t>(sizes[i]));
        const tmsize_t size = static_cast<tmsize_t>(piece.size());
        const tmsize_t got = tiled ? TIFFReadRawTile(in, i, piece.data(), size) : TIFFReadRawStrip(in, i, piece.data(), size);
        if (got != size)
            return false;
        const tmsize_t put = tiled ? TIFFWriteRawTile(out, i, piece.data(), size) : TIFFWriteRawStrip(out, i, piece.data(), size);
        if (put != size)
            return false;
    }
    return TIFFWriteDirectory(out) != 0;
}

class TiffWriter : public PageWriter::Format {
public:
    TiffWriter(const std::string& input, const std::string& output, const std::string& staging)
        : Format(input, output, staging), count_(TiffPages(input).page_count())
    {
        const Tiff tiff = Tiff::open(input, "r");
        big_ = tiff && TIFFIsBigTIFF(tiff.get());
    }

protected:
    std::size_t page_count() const override { return count_; }

    bool encode(const cv::Mat& pixels, const Page& as_read, const fs::path& spool) const override
    {
        write_tiff_page(spool.string(), pixels, as_read.dpi, as_read.bilevel);
        return false;
    }

    void assemble(const std::string& staging, const std::map<std::size_t, fs::path>& replaced) override
    {
        Tiff out = Tiff::open(staging, big_ ? "w8" : "w");
        if (!out)
            throw PageFileError(staging, 0, "cannot write " + staging + ": " + reason(out, "cannot open"));
        const Tiff in = Tiff::open(input_, "r");
        if (!in)
            throw PageFileError(input_, 0, "unreadable TIFF: " + input_ + ": " + reason(in, "cannot open"));
        for (std::size_t index = 0; index < count_; ++index) {
            const auto page = replaced.find(index);
            if (page == replaced.end()) {
                copy_page(in, TIFFSetDirectory(in.get(), static_cast<tdir_t>(index)) != 0, out, index);
            } else {
                const Tiff spooled = Tiff::open(page->second.string(), "r");
                copy_page(spooled, static_cast<bool>(spooled), out, index);
            }
        }
        if (!out.close())
            throw PageFileError(staging, 0, "cannot write " + staging);
    }

private:
    void copy_page(const Tiff& source, bool ready, const Tiff& out, std::size_t index) const
    {
        if (!ready || !copy_directory(source.get(), out.get()))
            fail_page(input_, index, "cannot copy the page: " + reason(out, reason(source, "unreadable")));
    }

    std::size_t count_;
    bool big_ = false;
};

} // namespace

// ---- Entry points --------------------------------------------------------------------------------

std::unique_ptr<PageSource::Format> open_tiff(const std::string& path) { return std::make_unique<TiffPages>(path); }

std::unique_ptr<PageWriter::Format> tiff_writer(const std::string& input, const std::string& output,
                                                const std::string& staging)
{
    return std::make_unique<TiffWriter>(input, output, staging);
}

void write_tiff_page(const std::string& path, const cv::Mat& pixels, cv::Point2d dpi, bool bilevel)
{
    Tiff tiff = Tiff::open(path, "w");
    if (!tiff || !write_directory(tiff.get(), pixels, dpi, bilevel) || !tiff.close())
        throw PageFileError(path, 0, "cannot write " + path + ": " + reason(tiff, "libtiff failed"));
}

std::string encode_group4(const cv::Mat& bilevel)
{
    Tiff::Memory memory;
    {
        Tiff tiff = Tiff::open(memory, "w");
        if (!tiff || !write_directory(tiff.get(), bilevel, {0.0, 0.0}, true) || !tiff.close())
            throw std::runtime_error("cannot encode a 1-bit page with Group 4: " + reason(tiff, "libtiff failed"));
    }
    memory.at = 0;
    const Tiff tiff = Tiff::open(memory, "r");
    std::uint64_t* sizes = nullptr;
    if (!tiff || !TIFFGetField(tiff.get(), TIFFTAG_STRIPBYTECOUNTS, &sizes))
        throw std::runtime_error("cannot encode a 1-bit page with Group 4");
    std::string strip(static_cast<std::size_t>(sizes[0]), '\0');
    TIFFReadRawStrip(tiff.get(), 0, strip.data(), static_cast<tmsize_t>(strip.size()));
    return strip;
}

cv::Mat decode_fax(const std::string& data, const FaxCoding& coding)
{
    if (coding.columns <= 0 || coding.rows <= 0)
        return {};
    Tiff::Memory memory;
    {
        Tiff tiff = Tiff::open(memory, "w");
        if (!tiff)
            return {};
        TIFF* t = tiff.get();
        TIFFSetField(t, TIFFTAG_IMAGEWIDTH, static_cast<std::uint32_t>(coding.columns));
        TIFFSetField(t, TIFFTAG_IMAGELENGTH, static_cast<std::uint32_t>(coding.rows));
        TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 1);
        TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
        TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
        TIFFSetField(t, TIFFTAG_COMPRESSION, coding.k < 0 ? COMPRESSION_CCITTFAX4 : COMPRESSION_CCITTFAX3);
        if (coding.k > 0)
            TIFFSetField(t, TIFFTAG_GROUP3OPTIONS, GROUP3OPT_2DENCODING);
        if (coding.byte_aligned)
            TIFFSetField(t, TIFFTAG_FAXMODE, FAXMODE_BYTEALIGN);
        TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, static_cast<std::uint32_t>(coding.rows));
        std::string raw = data;
        if (TIFFWriteRawStrip(t, 0, raw.data(), static_cast<tmsize_t>(raw.size())) < 0 || TIFFWriteDirectory(t) == 0 ||
            !tiff.close())
            return {};
    }
    memory.at = 0;
    const Tiff tiff = Tiff::open(memory, "r");
    if (!tiff)
        return {};
    if (coding.byte_aligned)
        TIFFSetField(tiff.get(), TIFFTAG_FAXMODE, FAXMODE_BYTEALIGN);
    const std::size_t row_bytes = (static_cast<std::size_t>(coding.columns) + 7) / 8;
    std::vector<unsigned char> packed(row_bytes * static_cast<std::size_t>(coding.rows));
    if (TIFFReadEncodedStrip(tiff.get(), 0, packed.data(), static_cast<tmsize_t>(packed.size())) < 0 || !tiff.errors().empty())
        return {};
    cv::Mat pixels(coding.rows, coding.columns, CV_8UC1);
    for (int y = 0; y < coding.rows; ++y) {
        const unsigned char* in = packed.data() + row_bytes * static_cast<std::size_t>(y);
        unsigned char* out = pixels.ptr<unsigned char>(y);
        for (int x = 0; x < coding.columns; ++x)
            out[x] = (in[x / 8] & (0x80 >> (x % 8))) ? 0 : 255;
    }
    return pixels;
}

} // namespace tulo::pages
