// libFuzzer target for the image header reader, the one parser of untrusted bytes the library writes
// itself: raw bytes from memory. A crash, a sanitizer report or a hang is a bug, and so is a file
// holding the same bytes that reads differently, since the workspace reads files.
#include "../../src/ImageFileHeader.hpp"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

// The file that each input is written to, removed when the run ends.
struct ScratchFile {
    const std::string path =
        (std::filesystem::temp_directory_path() / ("tulo_header_fuzz_" + std::to_string(::getpid()))).string();
    ~ScratchFile() { std::remove(path.c_str()); }
};

const std::string& file_path()
{
    static const ScratchFile file;
    return file.path;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const auto from_memory = tulo::detail::declared_pixels(data, size);
    std::ofstream(file_path(), std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (tulo::detail::declared_pixels(file_path()) != from_memory) {
        std::fprintf(stderr, "the file reads differently from memory\n");
        std::abort();
    }
    return 0;
}
