// libFuzzer target for the page reader and writer: raw bytes taken as a multi-page TIFF (when they
// start like one) or else as a PDF, every page read, and the file written back with its first page
// replaced. A page or a file may fail with PageFileError (or std::out_of_range, which is a bug
// here); any other exception, a crash, a sanitizer report or a hang is a finding.
#include <tulo/Pages.hpp>

#include <opencv2/core/utils/logger.hpp>

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace fs = std::filesystem;

// Pages read per input: more only repeat the same paths more slowly.
constexpr std::size_t max_pages_read = 4;
// Resolution of rendered pages: low, so that a large page renders fast.
constexpr double render_dpi = 9.0;

struct Scratch {
    const fs::path folder = fs::temp_directory_path() / ("tulo_pages_fuzz_" + std::to_string(::getpid()));
    Scratch() { fs::create_directories(folder); }
    ~Scratch() { fs::remove_all(folder); }
};

const Scratch& scratch()
{
    static const Scratch made;
    return made;
}

bool looks_like_tiff(const std::uint8_t* data, std::size_t size)
{
    return size >= 2 && ((data[0] == 'I' && data[1] == 'I') || (data[0] == 'M' && data[1] == 'M'));
}

void read_and_rewrite(const std::string& input, const std::string& output)
{
    const tulo::PageSource source(input, render_dpi);
    tulo::PageWriter writer(input, output);
    for (std::size_t i = 0; i < source.page_count() && i < max_pages_read; ++i) {
        try {
            const tulo::Page page = source.read(i);
            if (i == 0)
                writer.replace(0, page.pixels, page);
        } catch (const tulo::PageFileError&) {
        }
    }
    writer.finish();
}

} // namespace

extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    cv::setNumThreads(0);
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    scratch();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const fs::path input = scratch().folder / (looks_like_tiff(data, size) ? "input.tif" : "input.pdf");
    const fs::path output = scratch().folder / (looks_like_tiff(data, size) ? "output.tif" : "output.pdf");
    std::ofstream(input, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    try {
        read_and_rewrite(input.string(), output.string());
    } catch (const tulo::PageFileError&) {
    }
    return 0;
}
