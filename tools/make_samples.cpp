// Draws the sample images bundled with opsira: a page of text turned 4 degrees counter-clockwise
// and a scene of shapes on a textured background. Deterministic: the same files on every run.
#include "pictures/samples.hpp"

#include <opencv2/imgcodecs.hpp>

#include <cstdio>
#include <string>

namespace {

bool write(const std::string& dir, const std::string& name, const cv::Mat& image)
{
    const std::string file = dir + "/" + name;
    if (cv::imwrite(file, image, {cv::IMWRITE_PNG_COMPRESSION, 9}))
        return true;
    std::fprintf(stderr, "opsira_make_samples: failed to write \"%s\"\n", file.c_str());
    return false;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fputs("Usage: opsira_make_samples DIR\nWrites page.png and shapes.png into DIR.\n", stderr);
        return 2;
    }
    return write(argv[1], "page.png", tulo::pictures::sample_page()) &&
                   write(argv[1], "shapes.png", tulo::pictures::sample_shapes())
               ? 0
               : 1;
}
