#pragma once

// Multi-page TIFF and PDF files written with libtiff and qpdf directly, for the page layer's tests
// and as seeds of its fuzzing.

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <qpdf/QPDF.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>
#include <qpdf/QPDFPageObjectHelper.hh>
#include <qpdf/QPDFWriter.hh>
#include <tiffio.h>

#include <filesystem>
#include <string>
#include <vector>

namespace tulo::testing {

// A page of "text": dark bars on light paper, different per seed.
inline cv::Mat page_pixels(int width, int height, int seed, int type = CV_8UC1)
{
    cv::Mat page(height, width, type, cv::Scalar::all(235));
    cv::RNG rng(static_cast<std::uint64_t>(seed));
    for (int y = 8; y + 6 < height; y += 12)
        for (int x = 6; x + 10 < width; x += rng.uniform(12, 30))
            cv::rectangle(page, cv::Rect(x, y, rng.uniform(4, 10), 5), cv::Scalar(20, 40, 60), cv::FILLED);
    return page;
}

// ---- TIFF input, written with libtiff ----------------------------------------------------------

inline void write_tiff_page(TIFF* tiff, const cv::Mat& pixels, float dpi, bool bilevel)
{
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, pixels.cols);
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, pixels.rows);
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, bilevel ? 1 : 8);
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, pixels.channels());
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, bilevel ? PHOTOMETRIC_MINISBLACK : pixels.channels() == 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK);
    TIFFSetField(tiff, TIFFTAG_COMPRESSION, bilevel ? COMPRESSION_CCITTFAX4 : COMPRESSION_LZW);
    TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tiff, TIFFTAG_XRESOLUTION, dpi);
    TIFFSetField(tiff, TIFFTAG_YRESOLUTION, dpi);
    TIFFSetField(tiff, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, 16);
    std::vector<unsigned char> row(bilevel ? (pixels.cols + 7) / 8 : pixels.cols * pixels.channels());
    for (int y = 0; y < pixels.rows; ++y) {
        if (bilevel) {
            std::fill(row.begin(), row.end(), 0);
            for (int x = 0; x < pixels.cols; ++x)
                row[x / 8] |= pixels.at<unsigned char>(y, x) ? 0x80 >> (x % 8) : 0;
        } else {
            cv::Mat rgb = pixels.row(y).clone();
            if (pixels.channels() == 3)
                cv::cvtColor(rgb, rgb, cv::COLOR_BGR2RGB);
            std::copy(rgb.data, rgb.data + row.size(), row.begin());
        }
        TIFFWriteScanline(tiff, row.data(), y, 0);
    }
    TIFFWriteDirectory(tiff);
}

struct TiffPage {
    cv::Mat pixels; // 8-bit grey or BGR, or 0 / 255 for 1-bit
    float dpi = 150.0f;
    bool bilevel = false;
};

// Grey and colour pages with LZW, 1-bit pages with Group 4.
inline void write_tiff(const std::filesystem::path& path, const std::vector<TiffPage>& pages)
{
    TIFF* tiff = TIFFOpen(path.c_str(), "w");
    for (const TiffPage& page : pages)
        write_tiff_page(tiff, page.pixels, page.dpi, page.bilevel);
    TIFFClose(tiff);
}

// ---- PDF input, made with qpdf -----------------------------------------------------------------

struct PdfImage {
    cv::Mat pixels;           // 8-bit grey or BGR, or 0 / 255 for 1-bit
    std::string encoding;     // "jpeg", "bilevel" or "grey"
    double dpi = 100.0;
    bool text = false;        // an invisible text layer over the image
    bool broken = false;      // image data that does not inflate
    bool vector = false;      // a drawn rectangle instead of an image
};

inline QPDFObjectHandle image_stream(QPDF& pdf, const PdfImage& page)
{
    QPDFObjectHandle dict = QPDFObjectHandle::parse("<< /Type /XObject /Subtype /Image >>");
    dict.replaceKey("/Width", QPDFObjectHandle::newInteger(page.pixels.cols));
    dict.replaceKey("/Height", QPDFObjectHandle::newInteger(page.pixels.rows));
    dict.replaceKey("/ColorSpace", QPDFObjectHandle::newName(page.pixels.channels() == 3 ? "/DeviceRGB" : "/DeviceGray"));
    dict.replaceKey("/BitsPerComponent", QPDFObjectHandle::newInteger(page.encoding == "bilevel" ? 1 : 8));
    std::string data;
    if (page.encoding == "jpeg") {
        std::vector<unsigned char> jpeg;
        cv::imencode(".jpg", page.pixels, jpeg);
        data.assign(jpeg.begin(), jpeg.end());
    } else if (page.encoding == "bilevel") {
        const int row = (page.pixels.cols + 7) / 8;
        data.assign(static_cast<std::size_t>(row * page.pixels.rows), '\0');
        for (int y = 0; y < page.pixels.rows; ++y)
            for (int x = 0; x < page.pixels.cols; ++x)
                data[y * row + x / 8] |= page.pixels.at<unsigned char>(y, x) ? static_cast<char>(0x80 >> (x % 8)) : 0;
    } else {
        data.assign(reinterpret_cast<const char*>(page.pixels.data), page.pixels.total() * page.pixels.elemSize());
    }
    if (page.broken)
        data = "not deflate data";
    QPDFObjectHandle stream = pdf.newStream(data);
    stream.replaceDict(dict);
    if (page.encoding == "jpeg")
        stream.getDict().replaceKey("/Filter", QPDFObjectHandle::newName("/DCTDecode"));
    if (page.broken)
        stream.getDict().replaceKey("/Filter", QPDFObjectHandle::newName("/FlateDecode"));
    return stream;
}

inline void add_pdf_page(QPDF& pdf, const PdfImage& page)
{
    const double w = page.pixels.cols * 72.0 / page.dpi;
    const double h = page.pixels.rows * 72.0 / page.dpi;
    std::string content = page.vector ? "0 0 1 rg 10 10 50 50 re f\n"
                                      : "q " + std::to_string(w) + " 0 0 " + std::to_string(h) + " 0 0 cm /Im0 Do Q\n";
    if (page.text)
        content += "BT 3 Tr /F1 12 Tf 20 20 Td (old ocr text) Tj ET\n";
    QPDFObjectHandle resources = QPDFObjectHandle::parse("<< /Font << /F1 << /Type /Font /Subtype /Type1 /BaseFont /Helvetica >> >> >>");
    resources.replaceKey("/XObject", QPDFObjectHandle::newDictionary());
    if (!page.vector)
        resources.getKey("/XObject").replaceKey("/Im0", image_stream(pdf, page));
    QPDFObjectHandle object = pdf.makeIndirectObject(QPDFObjectHandle::parse("<< /Type /Page >>"));
    object.replaceKey("/MediaBox", QPDFObjectHandle::newFromRectangle({0, 0, w, h}));
    object.replaceKey("/Resources", resources);
    object.replaceKey("/Contents", pdf.newStream(content));
    object.replaceKey("/Annots", QPDFObjectHandle::parse("[ << /Type /Annot /Subtype /Text /Rect [0 0 10 10] /Contents (a note) >> ]"));
    QPDFPageDocumentHelper(pdf).addPage(QPDFPageObjectHelper(object), false);
}

inline void write_pdf(const std::filesystem::path& path, const std::vector<PdfImage>& pages, bool encrypted = false)
{
    QPDF pdf;
    pdf.emptyPDF();
    for (const PdfImage& page : pages)
        add_pdf_page(pdf, page);
    pdf.getTrailer().replaceKey("/Info", pdf.makeIndirectObject(QPDFObjectHandle::parse("<< /Title (Archive box 7) >>")));
    QPDFWriter writer(pdf, path.c_str());
    if (encrypted)
        writer.setR6EncryptionParameters("user", "owner", true, true, true, true, true, true, qpdf_r3p_full, true);
    writer.write();
}

} // namespace tulo::testing
