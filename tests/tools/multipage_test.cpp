// opsira on multi-page TIFF and PDF files and on 1-bit images: one output of the input's kind,
// pages in order, unchanged pages as they were stored, failures confined to their page or file.
#include "pages_files.hpp"
#include "tool_support.hpp"

#include <tulo/Pages.hpp>
#include <tulo/Skew.hpp>

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <sstream>

namespace {

namespace fs = std::filesystem;
using opsira::testing::read_bytes;
using opsira::testing::TempDir;
using tulo::testing::PdfImage;
using tulo::testing::TiffPage;

// Resolution of the test pages: small, so that the tests stay fast, still text-like for the skew estimate.
constexpr double test_dpi = 100.0;

// A page of bars like lines of text, turned by `degrees` (counter-clockwise) on paper.
cv::Mat turned_page(double degrees, int seed, int type = CV_8UC1)
{
    const cv::Mat level = tulo::testing::page_pixels(520, 680, seed, type);
    const cv::Mat turn = cv::getRotationMatrix2D(cv::Point2f(260.0f, 340.0f), degrees, 1.0);
    cv::Mat turned;
    cv::warpAffine(level, turned, turn, level.size(), cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar::all(235));
    return turned;
}

cv::Mat bilevel(const cv::Mat& grey)
{
    cv::Mat split;
    cv::threshold(grey, split, 127, 255, cv::THRESH_BINARY);
    return split;
}

struct ToolRun {
    int status = -1;
    std::string out;
    std::string err;
};

class MultiPage : public ::testing::Test {
protected:
    ToolRun opsira(const std::string& args)
    {
        const std::string command = "cd '" + dir.path().string() + "' && '" OPSIRA_EXE "' " + args + " >'" +
                                    (io / "out") + "' 2>'" + (io / "err") + "'";
        const int status = std::system(command.c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, read_bytes(io / "out"), read_bytes(io / "err")};
    }

    std::vector<tulo::Page> pages_of(const std::string& name) const
    {
        const tulo::PageSource source(dir / name);
        std::vector<tulo::Page> pages;
        for (std::size_t i = 0; i < source.page_count(); ++i)
            pages.push_back(source.read(i));
        return pages;
    }

    TempDir dir;
    TempDir io;
};

::testing::AssertionResult level(const tulo::Page& page)
{
    const tulo::SkewEstimate estimate = tulo::estimate_skew(page.pixels);
    if (std::abs(estimate.correction) <= 0.2)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "still " << estimate.correction << " deg off";
}

// The data of a PDF page's content and of its one image, decoded only from general-purpose
// compression (which a writer may apply to a stream stored plain); a JPEG image stays its bytes.
std::string page_streams(const std::string& path, std::size_t index)
{
    QPDF pdf;
    pdf.processFile(path.c_str());
    QPDFPageObjectHelper page = QPDFPageDocumentHelper(pdf).getAllPages().at(index);
    const auto raw = [](QPDFObjectHandle stream) {
        const std::shared_ptr<Buffer> data = stream.getStreamData(qpdf_dl_generalized);
        return std::string(reinterpret_cast<const char*>(data->getBuffer()), data->getSize());
    };
    std::string streams = raw(page.getObjectHandle().getKey("/Contents"));
    for (auto& [name, image] : page.getImages())
        streams += name + raw(image);
    return streams;
}

std::size_t count(const std::string& text, const std::string& part)
{
    std::size_t found = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++found;
    return found;
}

TEST_F(MultiPage, TiffPagesAreLevelledIntoOneTiffInOrder)
{
    tulo::testing::write_tiff(dir / "book.tif", {{turned_page(3.0, 1), test_dpi, false},
                                                {turned_page(0.0, 2), test_dpi, false},
                                                {bilevel(turned_page(-2.0, 3)), test_dpi, true}});
    cv::imwrite(dir / "single.tif", turned_page(0.0, 4));
    const ToolRun run = opsira("--json --deskew -j 2 -o o book.tif single.tif");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(count(run.out, "\"page\":"), 3u) << "one line per page, none for a single image:\n" << run.out;
    EXPECT_NE(run.out.find("{\"input\":\"book.tif\",\"page\":3,\"output\":\"o/book.tif\",\"ok\":true"), std::string::npos);

    const std::vector<tulo::Page> in = pages_of("book.tif");
    const std::vector<tulo::Page> out = pages_of("o/book.tif");
    ASSERT_EQ(out.size(), 3u);
    EXPECT_TRUE(level(out[0]));
    ASSERT_EQ(out[1].pixels.size(), in[1].pixels.size());
    EXPECT_EQ(cv::norm(out[1].pixels, in[1].pixels, cv::NORM_INF), 0.0) << "the level page as it was";
    EXPECT_TRUE(level(out[2]));
    EXPECT_TRUE(out[2].bilevel) << "a 1-bit page stays 1-bit";
    EXPECT_EQ(out[0].dpi, in[0].dpi);

    const auto written = fs::last_write_time(dir / "o/book.tif");
    const ToolRun again = opsira("--json --deskew --resume -o o book.tif");
    EXPECT_EQ(again.status, 0);
    EXPECT_EQ(count(again.out, "\"skipped\":true"), 3u) << again.out;
    EXPECT_EQ(fs::last_write_time(dir / "o/book.tif"), written);
}

TEST_F(MultiPage, PdfPagesAreLevelledAndBadFilesFailAlone)
{
    tulo::testing::write_pdf(dir / "a-book.pdf", {{turned_page(2.5, 5, CV_8UC3), "jpeg", test_dpi, true},
                                                 {turned_page(0.0, 6), "grey", test_dpi, true},
                                                 {bilevel(turned_page(-3.0, 7)), "bilevel", test_dpi, false}});
    tulo::testing::write_pdf(dir / "b-damaged.pdf", {{turned_page(0.0, 8), "grey", test_dpi},
                                                     {turned_page(0.0, 9), "grey", test_dpi, false, true}});
    tulo::testing::write_pdf(dir / "c-locked.pdf", {{turned_page(0.0, 10), "grey", test_dpi}}, true);
    const std::string whole = read_bytes(dir / "a-book.pdf");
    opsira::testing::write_bytes(dir / "d-cut.pdf", whole.substr(0, whole.size() / 2));

    const ToolRun run = opsira("--json --deskew -j 2 -o o .");
    EXPECT_EQ(run.status, 1) << "a page and two files failed";
    EXPECT_NE(run.err.find("page 2 of ./b-damaged.pdf"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("encrypted PDF: ./c-locked.pdf"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("malformed PDF: ./d-cut.pdf"), std::string::npos) << run.err;
    EXPECT_EQ(count(run.out, "\"text_layer_dropped\":true"), 1u) << "the turned page with text:\n" << run.out;

    const std::vector<tulo::Page> out = pages_of("o/a-book.pdf");
    ASSERT_EQ(out.size(), 3u);
    EXPECT_TRUE(level(out[0]));
    EXPECT_TRUE(page_streams(dir / "o/a-book.pdf", 1) == page_streams(dir / "a-book.pdf", 1)) << "the level page as it was";
    EXPECT_TRUE(level(out[2]));
    EXPECT_TRUE(out[2].bilevel);
    EXPECT_EQ(tulo::PageSource(dir / "o/b-damaged.pdf").page_count(), 2u) << "written, the bad page copied";
    EXPECT_FALSE(fs::exists(dir / "o/c-locked.pdf"));
    EXPECT_FALSE(fs::exists(dir / "o/d-cut.pdf"));
}

TEST_F(MultiPage, CatalogueOfEachPageInAFolderOfItsOwn)
{
    tulo::testing::write_tiff(dir / "book.tiff", {{turned_page(0.0, 1), test_dpi, false}, {turned_page(0.0, 2), test_dpi, true}});
    ASSERT_EQ(opsira("-q -k greyscale -o c book.tiff").status, 0);
    EXPECT_TRUE(fs::exists(dir / "c/book-p0001/02_greyscale.jpg"));
    EXPECT_TRUE(fs::exists(dir / "c/book-p0002/02_greyscale.jpg"));
}

class OneBitImage : public MultiPage, public ::testing::WithParamInterface<std::string> {};

TEST_P(OneBitImage, ComesOutOneBitAndSmall)
{
    const std::string name = "scan" + GetParam();
    tulo::write_bilevel(dir / name, turned_page(-3.0, 11));
    ASSERT_EQ(opsira("-q --deskew -o o " + name).status, 0);
    EXPECT_TRUE(tulo::is_bilevel_file(dir / ("o/" + name)));
    EXPECT_LE(fs::file_size(dir / ("o/" + name)), 2 * fs::file_size(dir / name));
    EXPECT_TRUE(level({cv::imread(dir / ("o/" + name), cv::IMREAD_GRAYSCALE)}));
}

INSTANTIATE_TEST_SUITE_P(Formats, OneBitImage, ::testing::Values(".png", ".tif"),
                         [](const auto& info) { return info.param.substr(1); });

} // namespace
