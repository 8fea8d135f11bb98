#include "support.hpp"

#include "../src/ImageFileHeader.hpp"

#include <opencv2/imgcodecs.hpp>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

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

std::optional<std::uint64_t> declared_in(const std::string& bytes)
{
    return declared_pixels(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

// What OpenCV writes, each format's header read back from the file and from memory: 37 x 23
// pixels, deliberately not square.
TEST_P(ImageFileHeader, ReadsTheSizeOpenCvWrote)
{
    const fs::path path = path_for(GetParam());
    ASSERT_TRUE(cv::imwrite(path.string(), cv::Mat(23, 37, CV_8UC3, cv::Scalar(1, 2, 3))));
    EXPECT_EQ(declared_pixels(path.string()), std::optional<std::uint64_t>(37 * 23));
    std::ifstream file(path, std::ios::binary);
    EXPECT_EQ(declared_in(std::string(std::istreambuf_iterator<char>(file), {})), std::optional<std::uint64_t>(37 * 23));
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
    // A side of more digits than a 32-bit number holds is read whole, not cut after nine of them.
    EXPECT_EQ(declared("P6\n1000000000 1\n255\n" + padding), 1000000000u);
    fs::remove(path);
    EXPECT_EQ(declared_pixels(path.string()), std::nullopt);
}

// Radiance's reader takes a header line of 128 bytes as two pieces, the second one blank: the
// resolution is the line after it, not the one after the real blank line.
TEST(ImageFileHeaderHandMade, RadianceHeaderIsCutLikeItsReader)
{
    const std::string size_after_long_line = "-Y 20000 +X 20000\n\n-Y 1 +X 1\n";
    EXPECT_EQ(declared_in("#?RADIANCE\n#" + std::string(126, 'a') + "\n" + size_after_long_line), 20000u * 20000u);
    EXPECT_EQ(declared_in("#?RADIANCE\n#" + std::string(125, 'a') + "\n" + size_after_long_line), 1u);
    EXPECT_EQ(declared_in("#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 23 +X 37\n"), 37u * 23u);
}

// A JPEG is whole when an end marker follows its first scan, whatever comes after it.
TEST(ImageFileHeaderHandMade, JpegWithoutItsEndIsNotRead)
{
    std::vector<uchar> encoded;
    ASSERT_TRUE(cv::imencode(".jpg", cv::Mat(23, 37, CV_8UC3, cv::Scalar(1, 2, 3)), encoded));
    const std::string jpeg(encoded.begin(), encoded.end());
    EXPECT_EQ(declared_in(jpeg + "appended video data"), 37u * 23u);
    EXPECT_EQ(declared_in(jpeg.substr(0, jpeg.size() - 2)), std::nullopt);
    EXPECT_EQ(declared_in(jpeg.substr(0, jpeg.find("\xFF\xDA") + 20)), std::nullopt);
}

} // namespace
