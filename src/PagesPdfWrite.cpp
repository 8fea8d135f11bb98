// Writing a PDF back through qpdf: the input document with the replaced pages' content swapped
// for one image each, every other object written as it was read.
#include "PagesPdf.hpp"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <qpdf/Pl_Flate.hh>
#include <qpdf/Pl_String.hh>
#include <qpdf/QPDFWriter.hh>

#include <fstream>
#include <sstream>
#include <vector>

namespace tulo::pages {

namespace {

namespace fs = std::filesystem;
using Handle = QPDFObjectHandle;

constexpr int jpeg_quality = 95;

// ---- Encoding -------------------------------------------------------------------------------------

// What a spooled page's image stream needs besides its bytes, written as the spool file's first line.
struct SpooledImage {
    int width = 0;
    int height = 0;
    int channels = 1;
    int bits = 8;
    std::string filter;
    double width_points = 0.0;
    double height_points = 0.0;
};

std::string flate(const std::string& data)
{
    std::string compressed;
    Pl_String sink("compressed", nullptr, compressed);
    Pl_Flate deflate("deflate", &sink, Pl_Flate::a_deflate);
    deflate.write(reinterpret_cast<const unsigned char*>(data.data()), data.size());
    deflate.finish();
    return compressed;
}

// Samples in PDF order: RGB, 16-bit big-endian, rows packed; alpha is dropped.
std::string pdf_samples(const cv::Mat& pixels)
{
    cv::Mat samples = pixels;
    if (pixels.channels() == 3)
        cv::cvtColor(pixels, samples, cv::COLOR_BGR2RGB);
    else if (pixels.channels() == 4)
        cv::cvtColor(pixels, samples, cv::COLOR_BGRA2RGB);
    if (samples.depth() == CV_16U) {
        samples = samples.clone(); // deliberate: the bytes are swapped in place
        swap_bytes(samples);
    }
    std::string data;
    const std::size_t row_bytes = samples.cols * samples.elemSize();
    data.reserve(row_bytes * static_cast<std::size_t>(samples.rows));
    for (int y = 0; y < samples.rows; ++y)
        data.append(reinterpret_cast<const char*>(samples.ptr(y)), row_bytes);
    return data;
}

// The page's encoded image and its description.
std::pair<SpooledImage, std::string> encode_image(const cv::Mat& pixels, const Page& as_read)
{
    SpooledImage image;
    image.width = pixels.cols;
    image.height = pixels.rows;
    const double dpi_x = as_read.dpi.x > 0.0 ? as_read.dpi.x : default_render_dpi;
    const double dpi_y = as_read.dpi.y > 0.0 ? as_read.dpi.y : default_render_dpi;
    image.width_points = pixels.cols * points_per_inch / dpi_x;
    image.height_points = pixels.rows * points_per_inch / dpi_y;
    image.channels = pixels.channels() == 1 ? 1 : 3;
    if (as_read.bilevel) {
        image.channels = 1;
        image.bits = 1;
        image.filter = "/CCITTFaxDecode";
        return {image, encode_group4(bilevel_pixels(pixels))};
    }
    if (as_read.encoding == PageEncoding::jpeg) {
        cv::Mat eight = pixels;
        if (pixels.depth() == CV_16U)
            pixels.convertTo(eight, CV_8U, 1.0 / 257.0);
        if (eight.channels() == 4)
            cv::cvtColor(eight, eight, cv::COLOR_BGRA2BGR);
        std::vector<unsigned char> jpeg;
        if (!cv::imencode(".jpg", eight, jpeg, {cv::IMWRITE_JPEG_QUALITY, jpeg_quality}))
            throw std::runtime_error("cannot encode the page as JPEG");
        image.filter = "/DCTDecode";
        return {image, std::string(jpeg.begin(), jpeg.end())};
    }
    image.bits = pixels.depth() == CV_16U ? 16 : 8;
    image.filter = "/FlateDecode";
    return {image, flate(pdf_samples(pixels))};
}

void write_spool(const fs::path& spool, const SpooledImage& image, const std::string& data)
{
    std::ofstream file(spool, std::ios::binary);
    file << image.width << ' ' << image.height << ' ' << image.channels << ' ' << image.bits << ' ' << image.filter << ' '
         << image.width_points << ' ' << image.height_points << '\n';
    file.write(data.data(), static_cast<std::streamsize>(data.size()));
    if (!file.flush())
        throw PageFileError(spool.string(), 0, "cannot write " + spool.string());
}

std::pair<SpooledImage, std::streamoff> read_spool_header(const fs::path& spool)
{
    std::ifstream file(spool, std::ios::binary);
    SpooledImage image;
    file >> image.width >> image.height >> image.channels >> image.bits >> image.filter >> image.width_points >>
        image.height_points;
    file.get();
    if (!file)
        throw PageFileError(spool.string(), 0, "cannot read " + spool.string());
    return {image, static_cast<std::streamoff>(file.tellg())};
}

// Hands qpdf each replaced image's bytes from its spool file while the output is written, so
// that no more than one page's image is in memory.
class SpoolProvider : public Handle::StreamDataProvider {
public:
    void add(QPDFObjGen object, fs::path spool, std::streamoff offset) { spools_[object] = {std::move(spool), offset}; }

    void provideStreamData(QPDFObjGen const& object, Pipeline* pipeline) override
    {
        const auto& [spool, offset] = spools_.at(object);
        std::ifstream file(spool, std::ios::binary);
        file.seekg(offset);
        std::vector<char> piece(std::size_t{1} << 16);
        while (file.read(piece.data(), static_cast<std::streamsize>(piece.size())) || file.gcount() > 0)
            pipeline->write(reinterpret_cast<const unsigned char*>(piece.data()), static_cast<std::size_t>(file.gcount()));
        pipeline->finish();
    }

private:
    std::map<QPDFObjGen, std::pair<fs::path, std::streamoff>> spools_;
};

Handle image_dictionary(const SpooledImage& image)
{
    Handle dict = Handle::newDictionary();
    dict.replaceKey("/Type", Handle::newName("/XObject"));
    dict.replaceKey("/Subtype", Handle::newName("/Image"));
    dict.replaceKey("/Width", Handle::newInteger(image.width));
    dict.replaceKey("/Height", Handle::newInteger(image.height));
    dict.replaceKey("/ColorSpace", Handle::newName(image.channels == 1 ? "/DeviceGray" : "/DeviceRGB"));
    dict.replaceKey("/BitsPerComponent", Handle::newInteger(image.bits));
    return dict;
}

Handle fax_parameters(const SpooledImage& image)
{
    Handle parameters = Handle::newDictionary();
    parameters.replaceKey("/K", Handle::newInteger(-1));
    parameters.replaceKey("/Columns", Handle::newInteger(image.width));
    parameters.replaceKey("/Rows", Handle::newInteger(image.height));
    return parameters;
}

std::string number(double value)
{
    std::ostringstream text;
    text.imbue(std::locale::classic());
    text.precision(6);
    text << std::fixed << value;
    return text.str();
}

// Gives the page one image over the whole of a new page box: the old content, resources, boxes
// and rotation go (the pixels are upright); annotations stay where they were.
void replace_page(QPDF& pdf, QPDFPageObjectHelper& page, const fs::path& spool,
                  const std::shared_ptr<SpoolProvider>& provider)
{
    const auto [image, offset] = read_spool_header(spool);
    Handle stream = pdf.newStream();
    stream.replaceDict(image_dictionary(image));
    provider->add(stream.getObjGen(), spool, offset);
    stream.replaceStreamData(provider, Handle::newName(image.filter),
                             image.filter == "/CCITTFaxDecode" ? fax_parameters(image) : Handle::newNull());
    const std::string w = number(image.width_points);
    const std::string h = number(image.height_points);
    Handle xobjects = Handle::newDictionary();
    xobjects.replaceKey("/Im0", stream);
    Handle resources = Handle::newDictionary();
    resources.replaceKey("/XObject", xobjects);
    Handle object = page.getObjectHandle();
    object.replaceKey("/Resources", resources);
    object.replaceKey("/Contents", pdf.newStream("q " + w + " 0 0 " + h + " 0 0 cm /Im0 Do Q\n"));
    const Handle box = Handle::newFromRectangle(QPDFObjectHandle::Rectangle(0, 0, image.width_points, image.height_points));
    // Set rather than removed: the page tree above the page may hand down a crop box or a rotation.
    object.replaceKey("/MediaBox", box);
    object.replaceKey("/CropBox", box);
    object.replaceKey("/Rotate", Handle::newInteger(0));
    for (const char* key : {"/BleedBox", "/TrimBox", "/ArtBox", "/Thumb", "/Group", "/PieceInfo"})
        object.removeKey(key);
}

class PdfWriter : public PageWriter::Format {
public:
    PdfWriter(const std::string& input, const std::string& output, const std::string& staging)
        : Format(input, output, staging), count_(page_list(*open_document(input), input).size())
    {
    }

protected:
    std::size_t page_count() const override { return count_; }

    bool encode(const cv::Mat& pixels, const Page& as_read, const fs::path& spool) const override
    {
        const auto [image, data] = encode_image(pixels, as_read);
        write_spool(spool, image, data);
        return as_read.text_layer;
    }

    void assemble(const std::string& staging, const std::map<std::size_t, fs::path>& replaced) override
    {
        const std::unique_ptr<QPDF> pdf = open_document(input_);
        std::vector<QPDFPageObjectHelper> pages = page_list(*pdf, input_);
        const auto provider = std::make_shared<SpoolProvider>();
        for (const auto& [index, spool] : replaced)
            replace_page(*pdf, pages.at(index), spool, provider);
        try {
            QPDFWriter writer(*pdf, staging.c_str());
            // Unchanged pages keep their streams' bytes exactly: nothing decoded, nothing compressed.
            writer.setCompressStreams(false);
            writer.setDecodeLevel(qpdf_dl_none);
            writer.write();
        } catch (const std::exception& error) {
            throw PageFileError(staging, 0, "cannot write " + staging + ": " + error.what());
        }
    }

private:
    std::size_t count_;
};

} // namespace

std::unique_ptr<PageWriter::Format> pdf_writer(const std::string& input, const std::string& output,
                                               const std::string& staging)
{
    return std::make_unique<PdfWriter>(input, output, staging);
}

} // namespace tulo::pages
