// Multi-page TIFF and PDF files made here with libtiff and qpdf directly, read and written back
// through tulo's page layer, and checked with libtiff and qpdf again.
#include "pages_files.hpp"
#include "support.hpp"

#include <tulo/Pages.hpp>
#include <tulo/Skew.hpp>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <qpdf/Buffer.hh>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>
#include <qpdf/QPDFPageObjectHelper.hh>
#include <qpdf/QPDFWriter.hh>
#include <tiffio.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;
using Handle = QPDFObjectHandle;
using namespace tulo::testing;

cv::Mat bilevel_of(const cv::Mat& page) { return tulo::to_bilevel(page); }

std::string file_bytes(const fs::path& path)
{
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), {}};
}

// The raw bytes of a page's content stream and of every image it uses, as stored.
std::string page_streams(const fs::path& path, std::size_t index)
{
    QPDF pdf;
    pdf.processFile(path.c_str());
    QPDFPageObjectHelper page = QPDFPageDocumentHelper(pdf).getAllPages().at(index);
    const auto raw = [](Handle stream) {
        const std::shared_ptr<Buffer> data = stream.getRawStreamData();
        return std::string(reinterpret_cast<const char*>(data->getBuffer()), data->getSize());
    };
    std::string bytes;
    for (Handle content : page.getPageContents())
        bytes += raw(content);
    for (auto& [name, image] : page.getImages())
        bytes += name + raw(image);
    return bytes + page.getObjectHandle().getKey("/Annots").unparseResolved();
}

class Pages : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = fs::temp_directory_path() / ("tulo_pages_" + std::to_string(::getpid()));
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    fs::path make_tiff()
    {
        const fs::path path = dir / "scan.tif";
        write_tiff(path, {{grey, 150.0f}, {bilevel, 300.0f, true}, {colour, 150.0f}});
        return path;
    }

    fs::path make_pdf()
    {
        const fs::path path = dir / "scan.pdf";
        write_pdf(path, {{colour, "jpeg", 100.0}, {bilevel, "bilevel", 300.0}, {grey, "grey", 150.0, true}});
        return path;
    }

    fs::path dir;
    const cv::Mat grey = page_pixels(160, 200, 1);
    const cv::Mat bilevel = bilevel_of(page_pixels(400, 520, 2));
    const cv::Mat colour = page_pixels(120, 150, 3, CV_8UC3);
};

TEST_F(Pages, TiffPagesReadWithTheirPixelsResolutionAndDepth)
{
    const tulo::PageSource source(make_tiff().string());
    ASSERT_EQ(source.page_count(), 3u);
    const tulo::Page first = source.read(0);
    EXPECT_MAT_EQ(first.pixels, grey);
    EXPECT_EQ(first.dpi, cv::Point2d(150, 150));
    const tulo::Page second = source.read(1);
    EXPECT_MAT_EQ(second.pixels, bilevel);
    EXPECT_TRUE(second.bilevel);
    EXPECT_EQ(second.encoding, tulo::PageEncoding::bilevel);
    EXPECT_MAT_EQ(source.read(2).pixels, colour);
}

TEST_F(Pages, TiffWrittenWithChangedPagesKeepsTheOthersAndOneBitStaysSmall)
{
    const fs::path input = make_tiff();
    const fs::path output = dir / "out.tif";
    const tulo::PageSource source(input.string());
    tulo::PageWriter writer(input.string(), output.string());
    const tulo::Page turned = source.read(1);
    const cv::Mat levelled = tulo::deskew(turned.pixels, 1.5);
    EXPECT_FALSE(writer.replace(1, levelled, turned));
    writer.replace(2, tulo::deskew(source.read(2).pixels, -2.0), source.read(2));
    EXPECT_FALSE(fs::exists(output));
    writer.finish();

    const tulo::PageSource written(output.string());
    ASSERT_EQ(written.page_count(), 3u);
    EXPECT_MAT_EQ(written.read(0).pixels, grey);
    const tulo::Page one_bit = written.read(1);
    EXPECT_TRUE(one_bit.bilevel);
    EXPECT_EQ(one_bit.dpi, cv::Point2d(300, 300));
    EXPECT_MAT_EQ(one_bit.pixels, tulo::to_bilevel(levelled));
    EXPECT_EQ(written.read(2).pixels.type(), CV_8UC3);
    EXPECT_LE(fs::file_size(output), 2 * fs::file_size(input));
}

TEST_F(Pages, PdfImagePagesReadAtTheImagesOwnPixels)
{
    const tulo::PageSource source(make_pdf().string());
    ASSERT_EQ(source.page_count(), 3u);
    const tulo::Page jpeg = source.read(0);
    EXPECT_EQ(jpeg.encoding, tulo::PageEncoding::jpeg);
    EXPECT_EQ(jpeg.pixels.size(), colour.size());
    EXPECT_NEAR(jpeg.dpi.x, 100.0, 1e-6);
    EXPECT_FALSE(jpeg.rendered);
    const tulo::Page one_bit = source.read(1);
    EXPECT_TRUE(one_bit.bilevel);
    EXPECT_MAT_EQ(one_bit.pixels, bilevel);
    const tulo::Page text = source.read(2);
    EXPECT_MAT_EQ(text.pixels, grey);
    EXPECT_TRUE(text.text_layer);
    EXPECT_FALSE(jpeg.text_layer);
}

TEST_F(Pages, PdfWrittenKeepsUnchangedPageObjectsAndReportsDroppedText)
{
    const fs::path input = make_pdf();
    const fs::path output = dir / "out.pdf";
    const tulo::PageSource source(input.string());
    tulo::PageWriter writer(input.string(), output.string());
    const tulo::Page jpeg = source.read(0);
    const tulo::Page text = source.read(2);
    EXPECT_FALSE(writer.replace(0, tulo::deskew(jpeg.pixels, 2.0), jpeg));
    EXPECT_TRUE(writer.replace(2, tulo::deskew(text.pixels, -1.0), text));
    writer.finish();

    EXPECT_EQ(page_streams(output, 1), page_streams(input, 1));
    EXPECT_NE(page_streams(output, 0), page_streams(input, 0));
    const tulo::PageSource written(output.string());
    ASSERT_EQ(written.page_count(), 3u);
    EXPECT_EQ(written.read(0).encoding, tulo::PageEncoding::jpeg);
    const tulo::Page levelled = written.read(2);
    EXPECT_FALSE(levelled.text_layer);
    EXPECT_NEAR(levelled.dpi.x, 150.0, 1e-3);
    EXPECT_EQ(levelled.pixels.size(), grey.size());
    EXPECT_TRUE(written.read(1).bilevel);
    QPDF pdf;
    pdf.processFile(output.c_str());
    EXPECT_EQ(pdf.getTrailer().getKey("/Info").getKey("/Title").getUTF8Value(), "Archive box 7");
}

TEST_F(Pages, PdfOneBitPageChangedStaysOneBitAndSmall)
{
    const fs::path input = make_pdf();
    const fs::path output = dir / "out.pdf";
    tulo::PageWriter writer(input.string(), output.string());
    const tulo::Page one_bit = tulo::PageSource(input.string()).read(1);
    const cv::Mat levelled = tulo::deskew(one_bit.pixels, 0.7);
    writer.replace(1, levelled, one_bit);
    writer.finish();
    const tulo::Page written = tulo::PageSource(output.string()).read(1);
    EXPECT_TRUE(written.bilevel);
    EXPECT_MAT_EQ(written.pixels, tulo::to_bilevel(levelled));
    EXPECT_FALSE(written.rendered);
    EXPECT_LE(fs::file_size(output), 2 * fs::file_size(input));
}

TEST_F(Pages, DamagedFilesFailWholeWithTheirMessage)
{
    const fs::path encrypted = dir / "locked.pdf";
    write_pdf(encrypted, {{grey, "grey"}}, true);
    EXPECT_THROW_MSG(tulo::PageSource{encrypted.string()}, tulo::PageFileError, "encrypted PDF: " + encrypted.string());

    const std::string whole = file_bytes(make_pdf());
    const fs::path truncated = dir / "cut.pdf";
    std::ofstream(truncated, std::ios::binary) << whole.substr(0, whole.size() / 2);
    try {
        tulo::PageSource{truncated.string()};
        ADD_FAILURE() << "a truncated PDF was read";
    } catch (const tulo::PageFileError& error) {
        EXPECT_EQ(std::string(error.what()).rfind("malformed PDF: " + truncated.string() + ": ", 0), 0u) << error.what();
        EXPECT_EQ(error.page(), 0u);
    }
}

TEST_F(Pages, CorruptOrOversizedPageFailsAloneAndIsCopiedUnchanged)
{
    // A broken image, a drawing, and a drawing on a page 160 x 200 inches large.
    const fs::path input = dir / "mixed.pdf";
    write_pdf(input, {{grey, "grey", 100.0, false, true}, {grey, "grey", 100.0, false, false, true},
                      {grey, "grey", 1.0, false, false, true}});
    const tulo::PageSource source(input.string(), 72.0);
    try {
        source.read(0);
        ADD_FAILURE() << "a broken image stream was read";
    } catch (const tulo::PageFileError& error) {
        EXPECT_EQ(error.page(), 1u);
    }
    const tulo::Page drawn = source.read(1);
    EXPECT_TRUE(drawn.rendered);
    EXPECT_EQ(drawn.pixels.size(), cv::Size(115, 144)); // 160 x 200 pixels at 100 dpi, rendered at 72
    try {
        tulo::PageSource(input.string()).read(2);
        ADD_FAILURE() << "a page over the pixel limit at 300 dpi was rendered";
    } catch (const tulo::PageFileError& error) {
        EXPECT_EQ(error.page(), 3u);
        EXPECT_EQ(std::string(error.what()), "page 3 of " + input.string() +
                                                 ": page of 48000 x 60000 pixels is over the limit of 268435456 pixels");
    }

    const fs::path output = dir / "out.pdf";
    tulo::PageWriter writer(input.string(), output.string());
    writer.replace(1, grey, drawn);
    writer.finish();
    EXPECT_EQ(page_streams(output, 0), page_streams(input, 0));
    EXPECT_EQ(page_streams(output, 2), page_streams(input, 2));
}

TEST_F(Pages, OneBitSingleImagesAreWrittenAndRecognisedAsOneBit)
{
    for (const char* name : {"page.tif", "page.png"}) {
        const fs::path path = dir / name;
        tulo::write_bilevel(path.string(), tulo::deskew(bilevel, 1.0), {300.0, 300.0});
        EXPECT_TRUE(tulo::is_bilevel_file(path.string())) << name;
        const cv::Mat back = cv::imread(path.string(), cv::IMREAD_GRAYSCALE);
        EXPECT_EQ(cv::countNonZero(back == 0) + cv::countNonZero(back == 255), static_cast<int>(back.total())) << name;
    }
    cv::imwrite((dir / "grey.png").string(), grey);
    EXPECT_FALSE(tulo::is_bilevel_file((dir / "grey.png").string()));
}

} // namespace
