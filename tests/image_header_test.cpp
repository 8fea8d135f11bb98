#include "support.hpp"

#include "../src/ImageFileHeader.hpp"

#include <opencv2/imgcodecs.hpp>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;
using tulo::detail::declared_pixels;

namespace {

class ImageFileHeader : public ::testing::TestWithParam<std::string> {
protected:
    static fs::path path_for(const std::string& extension)
    {
        return fs::temp_directory_path() / ("tulo_header_" + std::to_string(::getpid()) + extension);
    }
};

// What OpenCV writes, each format's header read back: 37 x 23 pixels, deliberately not square.
TEST_P(ImageFileHeader, ReadsTheSizeOpenCvWrote)
{
    const fs::path path = path_for(GetParam());
    ASSERT_TRUE(cv::imwrite(path.string(), cv::Mat(23, 37, CV_8UC3, cv::Scalar(1, 2, 3))));
    EXPECT_EQ(declared_pixels(path.string()), std::optional<std::uint64_t>(37 * 23));
    fs::remove(path);
}

INSTANTIATE_TEST_SUITE_P(Formats, ImageFileHeader,
                         ::testing::Values(".png", ".jpg", ".bmp", ".webp", ".tif", ".ppm"),
                         [](const auto& info) { return info.param.substr(1); });

TEST(ImageFileHeaderHandMade, DeclaredSizesAreReadWithoutPixelData)
{
    const fs::path path = fs::temp_directory_path() / ("tulo_header_hand_" + std::to_string(::getpid()));
    const auto declared = [&path](const std::string& bytes) {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
        return declared_pixels(path.string());
    };
    const std::string padding(40, '\0');

    EXPECT_EQ(declared("P6\n# comment 999 999\n20000 30000\n255\n" + padding), 600000000u);
    // Little-endian TIFF: one directory of width and length as LONG values at offset 8.
    const std::string tiff("II*\0\x08\0\0\0\x02\0"
                           "\x00\x01\x04\0\x01\0\0\0\x20\x4e\0\0"
                           "\x01\x01\x04\0\x01\0\0\0\x10\x27\0\0",
                           34);
    EXPECT_EQ(declared(tiff + padding), 20000u * 10000u);
    EXPECT_EQ(declared("this is plain text, not an image at all"), std::nullopt);
    EXPECT_EQ(declared("P6\nno numbers here" + padding), std::nullopt);
    EXPECT_EQ(declared(""), std::nullopt);
    fs::remove(path);
    EXPECT_EQ(declared_pixels(path.string()), std::nullopt);
}

} // namespace
