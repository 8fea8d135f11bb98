// Builds the whole catalogue of one image file once, then prints as one JSON line the peak resident
// memory above what the process held before loading, against the bytes of the images held at the
// end. Also the program to profile the catalogue with.
//   tulo_bench_probe IMAGE [workspace|direct]
#include "direct.hpp"

#include <tulo/Opsira.hpp>

#include <opencv2/imgcodecs.hpp>

#include <cstdio>
#include <exception>
#include <fstream>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

long status_kib(const std::string& field)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field + ":", 0) == 0)
            return std::stol(line.substr(field.size() + 1));
    throw std::runtime_error("no " + field + " in /proc/self/status");
}

struct Held {
    std::size_t all = 0;
    std::size_t distinct = 0;
};

// Entries that share a pixel buffer count once in `distinct`.
Held held_bytes(const std::vector<cv::Mat>& images)
{
    Held held;
    std::set<const uchar*> buffers;
    for (const cv::Mat& image : images) {
        const auto bytes = static_cast<std::size_t>(image.dataend - image.datastart);
        held.all += bytes;
        if (buffers.insert(image.datastart).second)
            held.distinct += bytes;
    }
    return held;
}

std::vector<cv::Mat> workspace_images(const std::string& path)
{
    tulo::Opsira workspace(path);
    tulo_bench::derive_catalogue(workspace);
    std::vector<cv::Mat> images;
    for (const auto& entry : workspace.images)
        images.push_back(entry.second);
    return images;
}

std::vector<cv::Mat> direct_images(const std::string& path)
{
    const tulo_bench::Catalogue catalogue = tulo_bench::direct_catalogue(cv::imread(path, cv::IMREAD_COLOR));
    return {catalogue.images.begin() + 1, catalogue.images.end()};
}

void report(const std::string& path, const std::string& mode, long before_kib, long peak_kib, const Held& held)
{
    const double peak_bytes = (peak_kib - before_kib) * 1024.0;
    std::printf("{\"image\": \"%s\", \"route\": \"%s\", \"before_kib\": %ld, \"peak_kib\": %ld, "
                "\"peak_above_before_bytes\": %.0f, \"held_bytes\": %zu, \"held_distinct_bytes\": %zu, "
                "\"ratio\": %.3f}\n",
                path.c_str(), mode.c_str(), before_kib, peak_kib, peak_bytes, held.all, held.distinct,
                peak_bytes / static_cast<double>(held.distinct));
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2 || argc > 3) {
        std::fputs("usage: tulo_bench_probe IMAGE [workspace|direct]\n", stderr);
        return 2;
    }
    try {
        const std::string path = argv[1];
        const std::string mode = argc == 3 ? argv[2] : "workspace";
        const long before = status_kib("VmHWM");
        const std::vector<cv::Mat> images = mode == "direct" ? direct_images(path) : workspace_images(path);
        report(path, mode, before, status_kib("VmHWM"), held_bytes(images));
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tulo_bench_probe: %s\n", e.what());
        return 1;
    }
}
