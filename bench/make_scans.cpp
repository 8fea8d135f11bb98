// Writes a PDF of scanned pages and the same pages as separate JPEG files, for the multi-page run of
// the command-line tool: every page one 300-dpi greyscale JPEG, the very bytes in both forms.
//   tulo_bench_scans DIR COUNT   (writes DIR/scans.pdf and DIR/pages/page_NNN.jpg)
// Ten distinct pages are drawn (drawing is slower than levelling) and repeated in turn.
#include "pictures/page.hpp"

#include <opencv2/imgcodecs.hpp>

#include <qpdf/QPDF.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>
#include <qpdf/QPDFPageObjectHelper.hh>
#include <qpdf/QPDFWriter.hh>

#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr int scan_dpi = 300;
constexpr int distinct_pages = 10;
// The quality scanners commonly store at.
constexpr int scan_jpeg_quality = 85;
// Turns of the drawn pages in degrees, a level one among them, as a batch of real scans has.
constexpr double page_angles[distinct_pages] = {1.5, -2.0, 0.0, 0.7, -0.4, 3.0, -1.2, 2.2, -2.8, 0.9};

std::string scan_jpeg(int index)
{
    tulo::pictures::PageCase page;
    page.dpi = scan_dpi;
    page.angle = page_angles[index];
    page.seed = static_cast<unsigned>(index) + 1;
    std::vector<unsigned char> bytes;
    cv::imencode(".jpg", tulo::pictures::render_page(page), bytes, {cv::IMWRITE_JPEG_QUALITY, scan_jpeg_quality});
    return std::string(bytes.begin(), bytes.end());
}

// One page showing one JPEG image over the whole page, at the scan's resolution.
void add_page(QPDF& pdf, const std::string& jpeg)
{
    const cv::Mat full = cv::imdecode(std::vector<unsigned char>(jpeg.begin(), jpeg.end()), cv::IMREAD_GRAYSCALE);
    const double width = full.cols * 72.0 / scan_dpi;
    const double height = full.rows * 72.0 / scan_dpi;
    QPDFObjectHandle image = pdf.newStream(jpeg);
    image.replaceDict(QPDFObjectHandle::parse("<< /Type /XObject /Subtype /Image /ColorSpace /DeviceGray "
                                              "/BitsPerComponent 8 /Filter /DCTDecode >>"));
    image.getDict().replaceKey("/Width", QPDFObjectHandle::newInteger(full.cols));
    image.getDict().replaceKey("/Height", QPDFObjectHandle::newInteger(full.rows));
    QPDFObjectHandle page = pdf.makeIndirectObject(QPDFObjectHandle::parse("<< /Type /Page >>"));
    page.replaceKey("/MediaBox", QPDFObjectHandle::newFromRectangle({0, 0, width, height}));
    page.replaceKey("/Resources", QPDFObjectHandle::parse("<< /XObject << >> >>"));
    page.getKey("/Resources").getKey("/XObject").replaceKey("/Im0", image);
    page.replaceKey("/Contents", pdf.newStream("q " + std::to_string(width) + " 0 0 " + std::to_string(height) +
                                               " 0 0 cm /Im0 Do Q\n"));
    QPDFPageDocumentHelper(pdf).addPage(QPDFPageObjectHelper(page), false);
}

int write_scans(const std::filesystem::path& dir, int count)
{
    std::filesystem::create_directories(dir / "pages");
    std::vector<std::string> jpegs;
    for (int i = 0; i < distinct_pages; ++i)
        jpegs.push_back(scan_jpeg(i));
    QPDF pdf;
    pdf.emptyPDF();
    for (int i = 0; i < count; ++i) {
        const std::string& jpeg = jpegs[static_cast<std::size_t>(i % distinct_pages)];
        add_page(pdf, jpeg);
        char name[32];
        std::snprintf(name, sizeof name, "page_%03d.jpg", i + 1);
        std::ofstream(dir / "pages" / name, std::ios::binary) << jpeg;
    }
    QPDFWriter writer(pdf, (dir / "scans.pdf").c_str());
    writer.write();
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s DIR COUNT\n", argv[0]);
        return 2;
    }
    try {
        return write_scans(argv[1], std::stoi(argv[2]));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
}
