// Writes synthetic photographs to a directory, e.g. for a batch run of the command-line tool; the
// first is the photograph the benchmarks use at that size:
//   tulo_bench_photos DIR COUNT WIDTH HEIGHT [EXTENSION]
#include "photo.hpp"

#include <opencv2/imgcodecs.hpp>

#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>

namespace {

std::string file_name(const std::string& dir, int index, const std::string& extension)
{
    char number[16];
    std::snprintf(number, sizeof number, "%02d", index);
    return dir + "/photo_" + number + "." + extension;
}

int write_photos(const std::string& dir, int count, cv::Size size, const std::string& extension)
{
    std::filesystem::create_directories(dir);
    for (int i = 0; i < count; ++i) {
        const std::string name = file_name(dir, i, extension);
        if (!cv::imwrite(name, tulo_bench::make_photo(size, tulo_bench::photo_seed + static_cast<unsigned>(i)))) {
            std::fprintf(stderr, "cannot write %s\n", name.c_str());
            return 1;
        }
        std::puts(name.c_str());
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 5 || argc > 6) {
        std::fputs("usage: tulo_bench_photos DIR COUNT WIDTH HEIGHT [EXTENSION]\n", stderr);
        return 2;
    }
    try {
        return write_photos(argv[1], std::stoi(argv[2]), cv::Size(std::stoi(argv[3]), std::stoi(argv[4])),
                            argc == 6 ? argv[5] : "jpg");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tulo_bench_photos: %s\n", e.what());
        return 1;
    }
}
