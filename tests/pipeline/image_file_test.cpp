// Reading image files behind the pixel guard, from a path and from memory, and the typed errors
// that say why a file was refused.
#include "support.hpp"

#include <tulo/ImageFile.hpp>
#include <tulo/Opsira.hpp>

#include <opencv2/imgcodecs.hpp>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::string encoded(const cv::Mat& image, const std::string& extension)
{
    std::vector<unsigned char> bytes;
    cv::imencode(extension, image, bytes);
    return std::string(bytes.begin(), bytes.end());
}

// A PNG header that declares 2^15 x 2^15 pixels, over the limit, with nothing after it.
std::string oversized_png()
{
    std::string png = encoded(cv::Mat(1, 1, CV_8UC1, cv::Scalar(0)), ".png");
    png.replace(18, 2, "\x80\x00", 2);  // width 0x00008000, big-endian
    png.replace(22, 2, "\x80\x00", 2);  // height
    return png;
}

class ImageFile : public ::testing::Test {
protected:
    ImageFile() { fs::create_directories(dir_); }
    ~ImageFile() override { fs::remove_all(dir_); }

    std::string write(const std::string& name, const std::string& bytes) const
    {
        const std::string path = (dir_ / name).string();
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }

private:
    fs::path dir_ = fs::temp_directory_path() / ("tulo_image_file_" + std::to_string(::getpid()));
};

TEST_F(ImageFile, FromAPathAndFromMemoryAlike)
{
    const cv::Mat image(23, 37, CV_16UC1, cv::Scalar(700));
    const std::string bytes = encoded(image, ".png");
    const std::string path = write("grey16.png", bytes);
    const cv::Mat read = tulo::read_image(path, cv::IMREAD_UNCHANGED);
    const cv::Mat decoded = tulo::decode_image(bytes, "grey16.png", cv::IMREAD_UNCHANGED);
    EXPECT_TRUE(tulo::compare_exact(read, image));
    EXPECT_TRUE(tulo::compare_exact(decoded, image));
}

TEST_F(ImageFile, AnOversizedImageIsRefusedWithItsSizeBeforeDecoding)
{
    const std::string path = write("big.png", oversized_png());
    for (const auto& refuse : {std::function<void()>([&] { tulo::read_image(path); }),
                               std::function<void()>([&] { tulo::decode_image(oversized_png(), path); }),
                               std::function<void()>([&] { tulo::Opsira workspace(path); })}) {
        try {
            refuse();
            ADD_FAILURE() << "not refused";
        } catch (const tulo::ImageReadError& error) {
            EXPECT_STREQ(error.what(), ("failed to read \"" + path + "\"").c_str());
            EXPECT_EQ(error.path(), path);
            EXPECT_EQ(error.declared_pixels(), std::optional<std::uint64_t>(std::uint64_t{1} << 30));
            EXPECT_TRUE(error.over_limit());
        }
    }
}

TEST_F(ImageFile, DamagedBytesAreRefusedAsARuntimeErrorWithoutASize)
{
    const std::string damaged = encoded(cv::Mat(8, 8, CV_8UC3, cv::Scalar(1, 2, 3)), ".jpg").substr(0, 100);
    try {
        tulo::decode_image(damaged, "cut.jpg");
        ADD_FAILURE() << "not refused";
    } catch (const std::runtime_error& error) {  // as callers caught it before the typed error
        const auto* typed = dynamic_cast<const tulo::ImageReadError*>(&error);
        ASSERT_NE(typed, nullptr);
        EXPECT_FALSE(typed->declared_pixels());
        EXPECT_FALSE(typed->over_limit());
    }
    EXPECT_THROW_MSG(tulo::Opsira(cv::Mat(4, 4, CV_8UC3)).save("original", "/nonexistent/dir/"), tulo::ImageWriteError,
                     "failed to write \"/nonexistent/dir/01_original.jpg\"");
}

} // namespace
