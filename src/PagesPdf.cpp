// Reading PDF pages through qpdf (the document's structure and its image streams) and poppler
// (rendering what is not one image). A scanned page is usually one image drawn over the
// whole page, perhaps under an invisible OCR text layer: such a page is taken at the image's own
// pixels and resolution. Anything else on the page (visible text, paths, a second image) means
// the page is rendered, since the image alone would lose it.
#include "PagesPdf.hpp"

#include <tulo/ImageFile.hpp>

#include <tulo/Opsira.hpp>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <poppler-document.h>
#include <poppler-global.h>
#include <poppler-image.h>
#include <poppler-page-renderer.h>
#include <poppler-page.h>

#include <qpdf/Buffer.hh>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFExc.hh>
#include <qpdf/QPDFMatrix.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>
#include <qpdf/QPDFPageObjectHelper.hh>

#include <algorithm>
#include <cmath>
#include <vector>

namespace tulo::pages {

namespace {

using Handle = QPDFObjectHandle;

// Decoded content (the page's and its forms') read before a page counts as hostile: OCR layers of
// dense pages take a few megabytes.
constexpr std::size_t max_content_bytes = std::size_t{64} << 20;
// Forms inside forms followed before a page counts as too deep to be one image.
constexpr int max_form_depth = 8;
// Operands kept before an operator: the longest operator here (cm) takes six.
constexpr std::size_t max_operands = 16;
// How much of the page's box an image must cover, on each side, to count as the page: scanners
// and converters leave a point or two of rounding.
constexpr double page_cover_tolerance = 0.02;
// Text rendering mode that draws nothing (the mode of OCR text layers).
constexpr int invisible_text = 3;

[[noreturn]] void fail_file(const std::string& path, const std::string& message)
{
    throw PageFileError(path, 0, message);
}

// ---- Bounded stream data -------------------------------------------------------------------------

// Collects decoded data up to a size, then refuses more: a small compressed stream may claim
// gigabytes when inflated.
class CappedBuffer : public Pipeline {
public:
    explicit CappedBuffer(std::size_t cap) : Pipeline("capped", nullptr), cap_(cap) {}
    void write(unsigned char const* data, size_t length) override
    {
        if (length > cap_ - bytes.size()) {
            overflowed = true;
            throw std::length_error("stream data larger than its image");
        }
        bytes.append(reinterpret_cast<const char*>(data), length);
    }
    void finish() override {}

    std::string bytes;
    bool overflowed = false;

private:
    std::size_t cap_;
};

// Filters that qpdf decodes without loss (with their abbreviations in inline images).
bool qpdf_decodes(const std::string& filter)
{
    for (const char* name : {"/FlateDecode", "/Fl", "/LZWDecode", "/LZW", "/ASCII85Decode", "/A85", "/ASCIIHexDecode",
                             "/AHx", "/RunLengthDecode", "/RL"})
        if (filter == name)
            return true;
    return false;
}

// A stream's data decoded by qpdf, at most `cap` bytes; the stream's filters must be ones qpdf
// decodes (qpdf_decodes), and data that fails to decode fails the page.
std::string decoded_data(Handle stream, std::size_t cap, const std::string& path, std::size_t index)
{
    CappedBuffer buffer(cap);
    bool decoded = false;
    try {
        decoded = stream.pipeStreamData(&buffer, nullptr, 0, qpdf_dl_specialized, true);
    } catch (const std::length_error&) {
    }
    if (buffer.overflowed)
        fail_page(path, index, "stream data larger than declared");
    if (!decoded)
        fail_page(path, index, "damaged stream data");
    return std::move(buffer.bytes);
}

// ---- What a page draws ---------------------------------------------------------------------------

// Follows the graphics state through a page's content (and the forms it draws), counting the
// images drawn with where they land, text, and every other mark.
class ContentScan : public Handle::ParserCallbacks {
public:
    ContentScan(const std::string& path, std::size_t index) : path_(path), index_(index) {}

    void scan(const std::string& content, Handle resources, int depth = 0)
    {
        Handle saved_resources = resources_;
        const State saved_state = state_;
        const auto saved_depth = std::exchange(depth_, depth);
        resources_ = resources;
        // Parsed as a stream of a scratch document, so that the document read keeps no copy.
        QPDF scratch;
        scratch.emptyPDF();
        Handle::parseContentStream(scratch.newStream(content), this);
        resources_ = saved_resources;
        state_ = saved_state;
        depth_ = saved_depth;
    }

    void handleObject(Handle object) override
    {
        if (object.isInlineImage()) {
            other_marks = true;
            return;
        }
        if (!object.isOperator()) {
            if (operands_.size() == max_operands)
                operands_.erase(operands_.begin());
            operands_.push_back(object);
            return;
        }
        apply(object.getOperatorValue());
        operands_.clear();
    }
    void handleEOF() override {}

    // Decoded content read so far, counted against max_content_bytes.
    std::string bounded_content(Handle stream)
    {
        std::string data = decoded_data(stream, max_content_bytes - std::min(content_bytes_, max_content_bytes), path_, index_);
        content_bytes_ += data.size();
        return data;
    }

    int images_drawn = 0;
    Handle image;
    QPDFObjectHandle::Rectangle image_box;
    bool image_upright = false;
    bool text = false;
    bool other_marks = false;

private:
    struct State {
        QPDFMatrix ctm;
        int text_mode = 0;
    };

    void apply(const std::string& op)
    {
        if (op == "q") {
            saved_.push_back(state_);
        } else if (op == "Q") {
            if (!saved_.empty()) {
                state_ = saved_.back();
                saved_.pop_back();
            }
        } else if (op == "cm" && operands_.size() >= 6) {
            state_.ctm.concat(matrix_from(operands_.end() - 6));
        } else if (op == "Tr" && !operands_.empty() && operands_.back().isInteger()) {
            state_.text_mode = operands_.back().getIntValueAsInt();
        } else if (op == "BT") {
            text = true;
        } else if (op == "Tj" || op == "TJ" || op == "'" || op == "\"") {
            other_marks = other_marks || state_.text_mode != invisible_text;
        } else if (op == "Do" && !operands_.empty() && operands_.back().isName()) {
            draw(operands_.back().getName());
        } else if (is_painting(op)) {
            other_marks = true;
        }
    }

    static bool is_painting(const std::string& op)
    {
        for (const char* painter : {"f", "F", "f*", "B", "B*", "b", "b*", "S", "s", "sh", "BI", "EI"})
            if (op == painter)
                return true;
        return false;
    }

    static QPDFMatrix matrix_from(std::vector<Handle>::const_iterator six)
    {
        double value[6];
        for (double& v : value) {
            Handle number = *six++;
            v = number.isNumber() ? number.getNumericValue() : 0.0;
        }
        return QPDFMatrix(value[0], value[1], value[2], value[3], value[4], value[5]);
    }

    void draw(const std::string& name)
    {
        Handle xobject = resources_.isDictionary() ? resources_.getKey("/XObject") : Handle::newNull();
        xobject = xobject.isDictionary() ? xobject.getKey(name) : Handle::newNull();
        if (!xobject.isStream()) {
            other_marks = true;
            return;
        }
        Handle subtype = xobject.getDict().getKey("/Subtype");
        if (subtype.isName() && subtype.getName() == "/Image")
            draw_image(xobject);
        else if (subtype.isName() && subtype.getName() == "/Form" && depth_ < max_form_depth)
            draw_form(xobject);
        else
            other_marks = true;
    }

    void draw_image(Handle xobject)
    {
        ++images_drawn;
        image = xobject;
        image_box = state_.ctm.transformRectangle(QPDFObjectHandle::Rectangle(0, 0, 1, 1));
        const QPDFMatrix& m = state_.ctm;
        image_upright = m.b == 0.0 && m.c == 0.0 && m.a > 0.0 && m.d > 0.0;
    }

    void draw_form(Handle form)
    {
        Handle dict = form.getDict();
        saved_.push_back(state_);
        if (dict.getKey("/Matrix").isMatrix())
            state_.ctm.concat(QPDFMatrix(dict.getKey("/Matrix").getArrayAsMatrix()));
        Handle own = dict.getKey("/Resources");
        scan(bounded_content(form), own.isDictionary() ? own : resources_, depth_ + 1);
        state_ = saved_.back();
        saved_.pop_back();
    }

    const std::string& path_;
    std::size_t index_;
    Handle resources_;
    State state_;
    std::vector<State> saved_;
    std::vector<Handle> operands_;
    std::size_t content_bytes_ = 0;
    int depth_ = 0;
};

QPDFObjectHandle::Rectangle normalised(QPDFObjectHandle::Rectangle r)
{
    return {std::min(r.llx, r.urx), std::min(r.lly, r.ury), std::max(r.llx, r.urx), std::max(r.lly, r.ury)};
}

bool covers(const QPDFObjectHandle::Rectangle& image, const QPDFObjectHandle::Rectangle& page)
{
    const double slack_x = (page.urx - page.llx) * page_cover_tolerance;
    const double slack_y = (page.ury - page.lly) * page_cover_tolerance;
    return image.llx <= page.llx + slack_x && image.lly <= page.lly + slack_y && image.urx >= page.urx - slack_x &&
           image.ury >= page.ury - slack_y;
}

// ---- Decoding a page's image ---------------------------------------------------------------------

std::vector<std::string> filter_names(Handle dict)
{
    Handle filter = dict.getKey("/Filter");
    std::vector<std::string> names;
    if (filter.isName())
        names.push_back(filter.getName());
    for (int i = 0; filter.isArray() && i < filter.getArrayNItems(); ++i)
        names.push_back(filter.getArrayItem(i).isName() ? filter.getArrayItem(i).getName() : "?");
    return names;
}

Handle first_parameters(Handle dict)
{
    Handle parameters = dict.getKey("/DecodeParms");
    if (parameters.isArray() && parameters.getArrayNItems() > 0)
        return parameters.getArrayItem(0);
    return parameters;
}

int integer_or(Handle dict, const char* key, int otherwise)
{
    Handle value = dict.isDictionary() ? dict.getKey(key) : Handle::newNull();
    return value.isInteger() ? value.getIntValueAsInt() : otherwise;
}

bool boolean_or(Handle dict, const char* key, bool otherwise)
{
    Handle value = dict.isDictionary() ? dict.getKey(key) : Handle::newNull();
    return value.isBool() ? value.getBoolValue() : otherwise;
}

// Channels of a colour space decoded here (grey and RGB, plain or calibrated); 0 for others.
int channels_of(Handle space)
{
    if (space.isArray() && space.getArrayNItems() >= 2 && space.getArrayItem(0).isName()) {
        const std::string family = space.getArrayItem(0).getName();
        if (family == "/CalGray")
            return 1;
        if (family == "/CalRGB")
            return 3;
        if (family == "/ICCBased" && space.getArrayItem(1).isStream()) {
            const int n = integer_or(space.getArrayItem(1).getDict(), "/N", 0);
            return n == 1 || n == 3 ? n : 0;
        }
        return 0;
    }
    if (space.isName())
        return space.getName() == "/DeviceGray" ? 1 : space.getName() == "/DeviceRGB" ? 3 : 0;
    return 0;
}

// True when an image's /Decode array inverts 1-bit samples ([1 0]); throws nothing for others.
bool decode_inverts(Handle dict)
{
    Handle decode = dict.getKey("/Decode");
    return decode.isArray() && decode.getArrayNItems() >= 2 && decode.getArrayItem(0).isNumber() &&
           decode.getArrayItem(0).getNumericValue() == 1.0;
}

cv::Mat samples_to_pixels(const std::string& data, int width, int height, int channels, int bits)
{
    const std::size_t row_bytes = (static_cast<std::size_t>(width) * static_cast<std::size_t>(channels * bits) + 7) / 8;
    if (bits == 1) {
        cv::Mat pixels(height, width, CV_8UC1);
        for (int y = 0; y < height; ++y) {
            const auto* in = reinterpret_cast<const unsigned char*>(data.data()) + row_bytes * static_cast<std::size_t>(y);
            for (int x = 0; x < width; ++x)
                pixels.at<unsigned char>(y, x) = (in[x / 8] & (0x80 >> (x % 8))) ? 255 : 0;
        }
        return pixels;
    }
    const int depth = bits == 16 ? CV_16U : CV_8U;
    cv::Mat rows(height, width, CV_MAKETYPE(depth, channels), const_cast<char*>(data.data()), row_bytes);
    cv::Mat pixels = rows.clone(); // deliberate: the data is a temporary string
    if (bits == 16)
        swap_bytes(pixels);
    if (channels == 3)
        cv::cvtColor(pixels, pixels, cv::COLOR_RGB2BGR);
    return pixels;
}

// The image's own pixels, or nothing when they are better rendered (JBIG2, JPEG 2000, masks,
// colour spaces other than grey and RGB, filters qpdf cannot decode).
std::optional<Page> decode_image(Handle image, const std::string& path, std::size_t index)
{
    Handle dict = image.getDict();
    const int width = integer_or(dict, "/Width", 0);
    const int height = integer_or(dict, "/Height", 0);
    guard_pixels(path, index, width, height);
    if (boolean_or(dict, "/ImageMask", false) || dict.hasKey("/SMask") || dict.hasKey("/Mask"))
        return std::nullopt;
    const std::vector<std::string> filters = filter_names(dict);
    const int bits = integer_or(dict, "/BitsPerComponent", 0);
    Page page;
    // A CMYK JPEG would decode as four channels that are not BGRA: such pages are rendered.
    const bool jpeg = filters.size() == 1 && filters[0] == "/DCTDecode" && !dict.hasKey("/Decode");
    if (jpeg && channels_of(dict.getKey("/ColorSpace")) == 0)
        return std::nullopt;
    if (jpeg) {
        const std::shared_ptr<Buffer> jpeg = image.getRawStreamData();
        try {
            page.pixels = tulo::decode_image(std::string(reinterpret_cast<const char*>(jpeg->getBuffer()), jpeg->getSize()),
                                       path, cv::IMREAD_UNCHANGED);
        } catch (const ImageReadError& error) {
            fail_page(path, index, error.declared_pixels() && !error.over_limit()
                                       ? "cannot decode the page's image"
                                       : "JPEG image over the pixel limit or incomplete");
        }
        page.encoding = PageEncoding::jpeg;
    } else if (filters.size() == 1 && filters[0] == "/CCITTFaxDecode") {
        Handle parameters = first_parameters(dict);
        FaxCoding coding;
        coding.k = integer_or(parameters, "/K", 0);
        coding.columns = integer_or(parameters, "/Columns", 1728);
        coding.rows = integer_or(parameters, "/Rows", height);
        coding.byte_aligned = boolean_or(parameters, "/EncodedByteAlign", false);
        coding.black_is_1 = boolean_or(parameters, "/BlackIs1", false);
        if (coding.columns != width || coding.rows != height)
            return std::nullopt;
        const std::shared_ptr<Buffer> raw = image.getRawStreamData();
        page.pixels = decode_fax(std::string(reinterpret_cast<const char*>(raw->getBuffer()), raw->getSize()), coding);
        if (page.pixels.empty())
            return std::nullopt;
        // Decoded white is sample 1 unless BlackIs1; /Decode [1 0] swaps the samples' meaning.
        if (coding.black_is_1 != decode_inverts(dict))
            cv::bitwise_not(page.pixels, page.pixels);
        page.bilevel = true;
        page.encoding = PageEncoding::bilevel;
    } else {
        const int channels = channels_of(dict.getKey("/ColorSpace"));
        const bool usable = channels != 0 && (bits == 8 || bits == 16 || (bits == 1 && channels == 1)) &&
                            (!dict.hasKey("/Decode") || bits == 1);
        if (!usable || !std::all_of(filters.begin(), filters.end(), qpdf_decodes))
            return std::nullopt;
        const std::size_t expected =
            (static_cast<std::size_t>(width) * static_cast<std::size_t>(channels * bits) + 7) / 8 * static_cast<std::size_t>(height);
        const std::string data = decoded_data(image, expected, path, index);
        if (data.size() < expected)
            fail_page(path, index, "image data shorter than its size");
        page.pixels = samples_to_pixels(data, width, height, channels, bits);
        if (bits == 1 && decode_inverts(dict))
            cv::bitwise_not(page.pixels, page.pixels);
        page.bilevel = bits == 1;
        page.encoding = page.bilevel ? PageEncoding::bilevel : PageEncoding::lossless;
    }
    if (page.pixels.cols != width || page.pixels.rows != height)
        fail_page(path, index, "cannot decode the page's image");
    return page;
}

// ---- Rendering -----------------------------------------------------------------------------------

void silence_poppler()
{
    static const bool silenced = [] {
        poppler::set_debug_error_function([](const std::string&, void*) {}, nullptr);
        return true;
    }();
    (void)silenced;
}

cv::Mat render(const std::string& path, std::size_t index, double dpi, bool grey)
{
    silence_poppler();
    const std::unique_ptr<poppler::document> document(poppler::document::load_from_file(path));
    if (!document || document->is_locked())
        fail_page(path, index, "cannot render the page");
    const std::unique_ptr<poppler::page> page(document->create_page(static_cast<int>(index)));
    if (!page)
        fail_page(path, index, "cannot render the page");
    const poppler::rectf box = page->page_rect(poppler::crop_box);
    guard_pixels(path, index, std::ceil(box.width() * dpi / points_per_inch), std::ceil(box.height() * dpi / points_per_inch));
    poppler::page_renderer renderer;
    renderer.set_render_hints(poppler::page_renderer::antialiasing | poppler::page_renderer::text_antialiasing);
    renderer.set_image_format(grey ? poppler::image::format_gray8 : poppler::image::format_bgr24);
    const poppler::image image = renderer.render_page(page.get(), dpi, dpi);
    if (!image.is_valid())
        fail_page(path, index, "cannot render the page");
    const cv::Mat view(image.height(), image.width(), grey ? CV_8UC1 : CV_8UC3, const_cast<char*>(image.const_data()),
                       static_cast<std::size_t>(image.bytes_per_row()));
    return view.clone(); // deliberate: poppler owns the rendered buffer
}

// ---- Reading -------------------------------------------------------------------------------------

int page_rotation(QPDFPageObjectHelper& page)
{
    Handle rotate = page.getAttribute("/Rotate", false);
    const int degrees = rotate.isInteger() ? rotate.getIntValueAsInt() : 0;
    return ((degrees % 360) + 360) % 360;
}

void turn(Page& page, int degrees)
{
    if (degrees == 0 || degrees % 90 != 0)
        return;
    const int code = degrees == 90 ? cv::ROTATE_90_CLOCKWISE : degrees == 180 ? cv::ROTATE_180 : cv::ROTATE_90_COUNTERCLOCKWISE;
    cv::rotate(page.pixels, page.pixels, code);
    if (degrees != 180)
        std::swap(page.dpi.x, page.dpi.y);
}

class PdfPages : public PageSource::Format {
public:
    PdfPages(std::string path, double render_dpi)
        : path_(std::move(path)), render_dpi_(render_dpi), pdf_(open_document(path_)), pages_(page_list(*pdf_, path_))
    {
    }

    std::size_t page_count() const override { return pages_.size(); }

    Page read(std::size_t index) const override
    {
        try {
            return read_page(index);
        } catch (const PageFileError&) {
            throw;
        } catch (const std::exception& error) { // qpdf's errors for a damaged object
            fail_page(path_, index, error.what());
        }
    }

private:
    Page read_page(std::size_t index) const
    {
        QPDFPageObjectHelper& page = pages_[index];
        ContentScan scan(path_, index);
        CappedBuffer content(max_content_bytes);
        page.pipeContents(&content);
        scan.scan(content.bytes, page.getAttribute("/Resources", false));
        const auto box = normalised(page.getCropBox().getArrayAsRectangle());
        const bool one_image = scan.images_drawn == 1 && !scan.other_marks && scan.image_upright &&
                               covers(normalised(scan.image_box), box);
        Page result;
        if (one_image)
            result = read_image(scan, index, page_rotation(page));
        else
            result = rendered(index, render_dpi_, false, PageEncoding::lossless);
        result.text_layer = scan.text;
        return result;
    }

    Page read_image(ContentScan& scan, std::size_t index, int rotation) const
    {
        Handle dict = scan.image.getDict();
        const double width = integer_or(dict, "/Width", 0);
        const double height = integer_or(dict, "/Height", 0);
        const cv::Point2d dpi(width * points_per_inch / (scan.image_box.urx - scan.image_box.llx),
                              height * points_per_inch / (scan.image_box.ury - scan.image_box.lly));
        std::optional<Page> page = decode_image(scan.image, path_, index);
        if (!page) {
            // Rendered at the image's own resolution, so that its pixels map one to one.
            const bool bilevel = integer_or(dict, "/BitsPerComponent", 0) == 1 || boolean_or(dict, "/ImageMask", false);
            return rendered(index, std::max(dpi.x, dpi.y), bilevel, bilevel ? PageEncoding::bilevel : PageEncoding::lossless);
        }
        page->dpi = dpi;
        turn(*page, rotation);
        return *page;
    }

    Page rendered(std::size_t index, double dpi, bool bilevel, PageEncoding encoding) const
    {
        Page page;
        page.pixels = render(path_, index, dpi, bilevel);
        if (bilevel)
            page.pixels = bilevel_pixels(page.pixels);
        page.dpi = {dpi, dpi};
        page.bilevel = bilevel;
        page.encoding = encoding;
        page.rendered = true;
        return page;
    }

    std::string path_;
    double render_dpi_;
    std::unique_ptr<QPDF> pdf_;
    mutable std::vector<QPDFPageObjectHelper> pages_;
};

} // namespace

// ---- Shared with the writer ------------------------------------------------------------

// The whole structure is read without repair: a cross-reference table that needs reconstructing
// means a damaged file (most often a truncated one), refused whole.
std::unique_ptr<QPDF> open_document(const std::string& path)
{
    auto pdf = std::make_unique<QPDF>();
    pdf->setSuppressWarnings(true);
    pdf->setAttemptRecovery(false);
    try {
        pdf->processFile(path.c_str());
    } catch (const QPDFExc& error) {
        if (error.getErrorCode() == qpdf_e_password)
            fail_file(path, "encrypted PDF: " + path);
        fail_file(path, "malformed PDF: " + path + ": " + error.getMessageDetail());
    } catch (const std::exception& error) {
        fail_file(path, "malformed PDF: " + path + ": " + error.what());
    }
    // A document that opens without a password would still be written back encrypted.
    if (pdf->isEncrypted())
        fail_file(path, "encrypted PDF: " + path);
    return pdf;
}

std::vector<QPDFPageObjectHelper> page_list(QPDF& pdf, const std::string& path)
{
    try {
        Handle count = pdf.getRoot().getKey("/Pages").getKey("/Count");
        if (count.isInteger() && count.getIntValue() > static_cast<long long>(max_page_count))
            fail_file(path, "too many pages: " + path);
        std::vector<QPDFPageObjectHelper> pages = QPDFPageDocumentHelper(pdf).getAllPages();
        if (pages.size() > max_page_count)
            fail_file(path, "too many pages: " + path);
        if (pages.empty())
            fail_file(path, "malformed PDF: " + path + ": no pages");
        return pages;
    } catch (const PageFileError&) {
        throw;
    } catch (const std::exception& error) {
        fail_file(path, "malformed PDF: " + path + ": " + error.what());
    }
}

void swap_bytes(cv::Mat& samples)
{
    for (int y = 0; y < samples.rows; ++y) {
        auto* row = samples.ptr<std::uint16_t>(y);
        for (int x = 0; x < samples.cols * samples.channels(); ++x)
            row[x] = static_cast<std::uint16_t>(row[x] >> 8 | row[x] << 8);
    }
}

// ---- Entry points --------------------------------------------------------------------------------

std::unique_ptr<PageSource::Format> open_pdf(const std::string& path, double render_dpi)
{
    return std::make_unique<PdfPages>(path, render_dpi);
}

} // namespace tulo::pages
