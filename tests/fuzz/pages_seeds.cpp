// Writes the seeds of the page reader's fuzzing into the folder given: small multi-page TIFF and
// PDF files of every kind of page the reader tells apart, and what the page writer makes of them.
#include "../pages_files.hpp"

#include <tulo/Pages.hpp>

#include <cstdio>
#include <filesystem>

namespace {

namespace fs = std::filesystem;
using namespace tulo::testing;

// Every page replaced by its own pixels: the writer's encodings (Group 4, JPEG, Deflate) as seeds.
void rewrite(const fs::path& input, const fs::path& output)
{
    const tulo::PageSource source(input.string(), 18.0);
    tulo::PageWriter writer(input.string(), output.string());
    for (std::size_t i = 0; i < source.page_count(); ++i) {
        const tulo::Page page = source.read(i);
        writer.replace(i, page.pixels, page);
    }
    writer.finish();
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
        return 2;
    }
    const fs::path folder = argv[1];
    fs::create_directories(folder);
    const cv::Mat grey = page_pixels(40, 32, 1);
    const cv::Mat bilevel = tulo::to_bilevel(page_pixels(48, 40, 2));
    const cv::Mat colour = page_pixels(24, 24, 3, CV_8UC3);
    write_tiff(folder / "pages.tif", {{grey, 150.0f}, {bilevel, 300.0f, true}, {colour, 72.0f}});
    write_pdf(folder / "pages.pdf", {{colour, "jpeg", 72.0}, {bilevel, "bilevel", 300.0}, {grey, "grey", 150.0, true}});
    write_pdf(folder / "mixed.pdf", {{grey, "grey", 100.0, false, true}, {grey, "grey", 100.0, false, false, true}});
    rewrite(folder / "pages.tif", folder / "rewritten.tif");
    rewrite(folder / "pages.pdf", folder / "rewritten.pdf");
    return 0;
}
