// Damaged, disguised and oversized files given to the workspace (and to the opsira tool): each must
// end in a clean exception, never in a crash, a hang or an allocation of gigabytes.
#include "support.hpp"

#include "../src/ImageFileHeader.hpp"
#include "../src/Sanitizers.hpp"

#include <tulo/Opsira.hpp>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;

// Headroom a read may allocate above what the process already holds; a 24 x 16 image needs kilobytes,
// a header that talks OpenCV into a multi-gigabyte buffer needs far more.
constexpr rlim_t read_headroom = rlim_t{512} << 20;
// A read that takes longer than this counts as a hang.
constexpr unsigned read_seconds = 20;

Bytes read_bytes(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_bytes(const fs::path& path, const Bytes& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// A small, valid colour image in the format of `extension`, as cv::imwrite writes it.
Bytes valid_file(const fs::path& dir, const std::string& extension)
{
    cv::Mat image(16, 24, CV_8UC3);
    for (int y = 0; y < image.rows; ++y)
        for (int x = 0; x < image.cols; ++x)
            image.at<cv::Vec3b>(y, x) = cv::Vec3b(uchar(x * 10), uchar(y * 15), uchar(x * y));
    const fs::path path = dir / ("valid" + extension);
    if (!cv::imwrite(path.string(), image))
        throw std::runtime_error("cannot write " + path.string());
    return read_bytes(path);
}

void put_be32(Bytes& bytes, std::size_t at, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes.at(at + i) = static_cast<unsigned char>(value >> (24 - 8 * i));
}

void put_be16(Bytes& bytes, std::size_t at, std::uint16_t value)
{
    bytes.at(at) = static_cast<unsigned char>(value >> 8);
    bytes.at(at + 1) = static_cast<unsigned char>(value);
}

void put_le32(Bytes& bytes, std::size_t at, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes.at(at + i) = static_cast<unsigned char>(value >> (8 * i));
}

// The CRC-32 that PNG chunks carry, so that a forged header passes libpng's own check.
std::uint32_t png_crc(const unsigned char* data, std::size_t size)
{
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return crc ^ 0xFFFFFFFFu;
}

// The signature is 8 bytes; the IHDR chunk follows: length, "IHDR", width, height, 5 bytes, CRC.
Bytes png_declaring(Bytes png, std::uint32_t width, std::uint32_t height)
{
    put_be32(png, 16, width);
    put_be32(png, 20, height);
    put_be32(png, 29, png_crc(&png.at(12), 17));
    return png;
}

std::size_t find_marker(const Bytes& jpeg, unsigned char marker)
{
    for (std::size_t i = 0; i + 1 < jpeg.size(); ++i)
        if (jpeg[i] == 0xFF && jpeg[i + 1] == marker)
            return i;
    throw std::runtime_error("marker not found");
}

// Baseline start-of-frame: marker, length, precision, then height and width.
Bytes jpeg_declaring(Bytes jpeg, std::uint16_t width, std::uint16_t height)
{
    const std::size_t sof = find_marker(jpeg, 0xC0);
    put_be16(jpeg, sof + 5, height);
    put_be16(jpeg, sof + 7, width);
    return jpeg;
}

// BITMAPINFOHEADER after the 14-byte file header: size, then width and height.
Bytes bmp_declaring(Bytes bmp, std::uint32_t width, std::uint32_t height)
{
    put_le32(bmp, 18, width);
    put_le32(bmp, 22, height);
    return bmp;
}

// Flips bits inside the first IDAT chunk's data, so that its CRC no longer matches.
Bytes png_with_corrupt_chunk(Bytes png)
{
    const std::string idat = "IDAT";
    const auto at = std::search(png.begin(), png.end(), idat.begin(), idat.end());
    if (at == png.end() || std::distance(at, png.end()) < 12)
        throw std::runtime_error("no IDAT chunk");
    for (auto byte = at + 6; byte != at + 12; ++byte)
        *byte ^= 0x5A;
    return png;
}

Bytes cut(Bytes bytes, std::size_t size)
{
    bytes.resize(std::min(size, bytes.size()));
    return bytes;
}

std::size_t data_vm_bytes()
{
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        std::size_t kilobytes = 0;
        if (key == "VmData:" && status >> kilobytes)
            return kilobytes << 10;
    }
    return 0;
}

// Runs in a child process: caps what the process may map from here on and arms a timer, reads `path`
// into a loaded workspace, and exits 0 only for a clean, documented failure that leaves it empty.
[[noreturn]] void read_hostile(const std::string& path)
{
    const rlimit cap{data_vm_bytes() + read_headroom, RLIM_INFINITY};
    setrlimit(RLIMIT_DATA, &cap);
    alarm(read_seconds);
    const cv::Mat filler(8, 8, CV_8UC3, cv::Scalar(1, 2, 3));
    tulo::Opsira ws(filler);
    std::string outcome;
    int status = 1;
    try {
        ws.set_original(path);
        const cv::Size size = ws.get(tulo::Opsira::EMatType::original).size();
        outcome = "read as " + std::to_string(size.width) + "x" + std::to_string(size.height);
    } catch (const cv::Exception& error) {
        outcome = error.code == cv::Error::StsNoMem ? std::string("tried to allocate beyond the cap: ") + error.what()
                                                    : "clean: opencv refused";
        status = error.code == cv::Error::StsNoMem ? 1 : 0;
    } catch (const std::runtime_error& error) {
        const bool exact = std::string(error.what()) == "failed to read \"" + path + "\"";
        outcome = exact ? "clean: " + std::string(error.what()) : "wrong message: " + std::string(error.what());
        status = exact ? 0 : 1;
    } catch (const std::exception& error) {
        outcome = std::string("undocumented exception: ") + error.what();
    }
    if (status == 0 && !ws.images.empty()) {
        outcome = "workspace not cleared after " + outcome;
        status = 1;
    }
    std::fprintf(stderr, "%s\n", outcome.c_str());
    std::fflush(stderr);
    std::_Exit(status);
}

struct HostileCase {
    std::string name;
    std::string file_name;
    // Builds the file's bytes from valid PNG, JPEG and BMP files.
    std::function<Bytes(const Bytes& png, const Bytes& jpeg, const Bytes& bmp)> make;
};

std::ostream& operator<<(std::ostream& out, const HostileCase& c) { return out << c.name; }

class HostileFiles : public ::testing::TestWithParam<HostileCase> {
protected:
    void SetUp() override
    {
        // Death tests re-run this binary for the child, which is safe with OpenCV's thread pool alive.
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        dir = fs::temp_directory_path() / ("tulo_hostile_" + std::to_string(getpid()));
        fs::create_directories(dir);
        png = valid_file(dir, ".png");
        jpeg = valid_file(dir, ".jpg");
        bmp = valid_file(dir, ".bmp");
    }
    void TearDown() override { fs::remove_all(dir); }

    fs::path dir;
    Bytes png, jpeg, bmp;
};

TEST_P(HostileFiles, GiveACleanErrorAndAnEmptyWorkspace)
{
    const fs::path path = dir / GetParam().file_name;
    write_bytes(path, GetParam().make(png, jpeg, bmp));
    EXPECT_EXIT(read_hostile(path.string()), ::testing::ExitedWithCode(0), "clean");
}

TEST_F(HostileFiles, DirectoryGivesTheReadError)
{
    EXPECT_EXIT(read_hostile(dir.string()), ::testing::ExitedWithCode(0), "clean: failed to read");
}

TEST_F(HostileFiles, ConstructorPassesTheReadErrorOn)
{
    const fs::path path = dir / "empty.png";
    write_bytes(path, {});
    EXPECT_THROW_MSG(tulo::Opsira{path.string()}, std::runtime_error, "failed to read \"" + path.string() + "\"");
}

// The guard must not turn away what it protects: the valid sources themselves still load.
TEST_F(HostileFiles, ValidSourcesStillLoad)
{
    for (const std::string name : {"valid.png", "valid.jpg", "valid.bmp"}) {
        const tulo::Opsira ws((dir / name).string());
        EXPECT_EQ(ws.images.at("original").size(), cv::Size(24, 16)) << name;
    }
}

const std::vector<HostileCase> hostile_cases{
    {"EmptyFile", "empty.png", [](const Bytes&, const Bytes&, const Bytes&) { return Bytes{}; }},
    {"TextNamedPng", "notes.png",
     [](const Bytes&, const Bytes&, const Bytes&) {
         const std::string text = "this is a text file, not an image\n";
         return Bytes(text.begin(), text.end());
     }},
    {"PngSignatureOnly", "signature.png", [](const Bytes& png, const Bytes&, const Bytes&) { return cut(png, 8); }},
    {"PngCorruptChunk", "corrupt.png",
     [](const Bytes& png, const Bytes&, const Bytes&) { return png_with_corrupt_chunk(png); }},
    {"PngTruncatedInData", "truncated.png",
     [](const Bytes& png, const Bytes&, const Bytes&) { return cut(png, png.size() / 2); }},
    {"JpegTruncatedInHeader", "truncated_header.jpg",
     [](const Bytes&, const Bytes& jpeg, const Bytes&) { return cut(jpeg, find_marker(jpeg, 0xC0) + 4); }},
    {"JpegTruncatedBeforeScan", "truncated_scan.jpg",
     [](const Bytes&, const Bytes& jpeg, const Bytes&) { return cut(jpeg, find_marker(jpeg, 0xDA)); }},
    {"JpegTruncatedInScan", "truncated_data.jpg",
     [](const Bytes&, const Bytes& jpeg, const Bytes&) { return cut(jpeg, (find_marker(jpeg, 0xDA) + jpeg.size()) / 2); }},
    {"BmpTruncatedInHeader", "truncated.bmp", [](const Bytes&, const Bytes&, const Bytes& bmp) { return cut(bmp, 30); }},
    // Above OpenCV's own pixel limit of 2^30.
    {"PngDeclaring100000Squared", "huge.png",
     [](const Bytes& png, const Bytes&, const Bytes&) { return png_declaring(png, 100000, 100000); }},
    {"BmpDeclaring100000Squared", "huge.bmp",
     [](const Bytes&, const Bytes&, const Bytes& bmp) { return bmp_declaring(bmp, 100000, 100000); }},
    {"JpegDeclaring65535Squared", "huge.jpg",
     [](const Bytes&, const Bytes& jpeg, const Bytes&) { return jpeg_declaring(jpeg, 65535, 65535); }},
};

// Below OpenCV's limit, yet 2.7 GB as an 8-bit colour image, which OpenCV 4.6 allocates before it reads
// any pixel data: the workspace must refuse such a header itself.
const std::vector<HostileCase> oversized_cases{
    {"PngDeclaring30000Squared", "big.png",
     [](const Bytes& png, const Bytes&, const Bytes&) { return png_declaring(png, 30000, 30000); }},
    {"BmpDeclaring30000Squared", "big.bmp",
     [](const Bytes&, const Bytes&, const Bytes& bmp) { return bmp_declaring(bmp, 30000, 30000); }},
    {"JpegDeclaring30000Squared", "big.jpg",
     [](const Bytes&, const Bytes& jpeg, const Bytes&) { return jpeg_declaring(jpeg, 30000, 30000); }},
};

const auto case_name = [](const auto& info) { return info.param.name; };
INSTANTIATE_TEST_SUITE_P(Files, HostileFiles, ::testing::ValuesIn(hostile_cases), case_name);
INSTANTIATE_TEST_SUITE_P(Oversized, HostileFiles, ::testing::ValuesIn(oversized_cases), case_name);

// ---- Every format OpenCV decodes here -------------------------------------------------------

const cv::Size format_size(64, 48);
constexpr std::uint32_t huge_side = 20000;

Bytes text_bytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

std::size_t find_bytes(const Bytes& bytes, const std::string& text)
{
    const Bytes wanted = text_bytes(text);
    const auto at = std::search(bytes.begin(), bytes.end(), wanted.begin(), wanted.end());
    if (at == bytes.end())
        throw std::runtime_error("not found: " + text);
    return static_cast<std::size_t>(at - bytes.begin());
}

// Appends `value` little-endian in `size` bytes.
void append(Bytes& bytes, std::uint64_t value, std::size_t size)
{
    for (std::size_t i = 0; i < size; ++i)
        bytes.push_back(static_cast<unsigned char>(value >> (8 * i)));
}

Bytes encoded(const std::string& extension, int depth = CV_8U)
{
    cv::Mat image(format_size, CV_8UC3);
    cv::RNG(1).fill(image, cv::RNG::UNIFORM, 0, 256);
    image.convertTo(image, depth, depth == CV_8U ? 1.0 : 1.0 / 255);
    std::vector<uchar> bytes;
    if (!cv::imencode(extension, image, bytes))
        throw std::runtime_error("cannot encode " + extension);
    return bytes;
}

// A grey 8-bit TIFF or BigTIFF in one strip, of which at most 4 KB of pixels are there.
Bytes tiff(bool big, std::uint32_t width, std::uint32_t height)
{
    const std::size_t word = big ? 8 : 4;
    const std::vector<std::array<std::uint64_t, 3>> tags{
        {256, 4, width}, {257, 4, height}, {258, 3, 8}, {259, 3, 1}, {262, 3, 1},
        {273, 4, 0},     {277, 3, 1},      {278, 4, height}, {279, 4, std::uint64_t{width} * height}};
    Bytes out = big ? Bytes{'I', 'I', 0x2B, 0, 8, 0, 0, 0} : Bytes{'I', 'I', 0x2A, 0};
    const std::uint64_t directory = out.size() + word;
    append(out, directory, word);
    append(out, tags.size(), big ? 8 : 2);
    const std::uint64_t pixels_at = out.size() + tags.size() * (4 + 2 * word) + word;
    for (const auto& [tag, type, value] : tags) {
        append(out, tag, 2);
        append(out, type, 2);
        append(out, 1, word);
        append(out, tag == 273 ? pixels_at : value, word);
    }
    append(out, 0, word);
    out.resize(out.size() + std::min<std::uint64_t>(std::uint64_t{width} * height, 4096), 0x80);
    return out;
}

// One DICOM element, explicit VR little-endian.
Bytes dicom_element(std::uint16_t group, std::uint16_t number, const std::string& vr, Bytes value)
{
    value.resize(value.size() + value.size() % 2, vr == "UI" ? 0 : ' ');
    Bytes out;
    append(out, group, 2);
    append(out, number, 2);
    out.insert(out.end(), vr.begin(), vr.end());
    if (vr == "OB")
        append(out, 0, 2);
    append(out, value.size(), vr == "OB" ? 4 : 2);
    out.insert(out.end(), value.begin(), value.end());
    return out;
}

Bytes dicom_number(std::uint64_t value, std::size_t size = 2)
{
    Bytes bytes;
    append(bytes, value, size);
    return bytes;
}

// A grey 8-bit DICOM file, explicit VR little-endian, of which at most 4 KB of pixels are there.
Bytes dicom(std::uint16_t rows, std::uint16_t columns)
{
    const std::string image_class = "1.2.840.10008.5.1.4.1.1.7";
    Bytes meta;
    for (const Bytes& element :
         {dicom_element(0x0002, 0x0001, "OB", {0, 1}), dicom_element(0x0002, 0x0002, "UI", text_bytes(image_class)),
          dicom_element(0x0002, 0x0003, "UI", text_bytes("1.2.3.4")),
          dicom_element(0x0002, 0x0010, "UI", text_bytes("1.2.840.10008.1.2.1")),
          dicom_element(0x0002, 0x0012, "UI", text_bytes("1.2.3.4.5"))})
        meta.insert(meta.end(), element.begin(), element.end());
    const std::uint32_t pixels = std::uint32_t{rows} * columns;
    Bytes out(128, 0);
    for (const Bytes& part :
         {text_bytes("DICM"), dicom_element(0x0002, 0x0000, "UL", dicom_number(meta.size(), 4)), meta,
          dicom_element(0x0008, 0x0016, "UI", text_bytes(image_class)), dicom_element(0x0008, 0x0018, "UI", text_bytes("1.2.3.4")),
          dicom_element(0x0028, 0x0002, "US", dicom_number(1)), dicom_element(0x0028, 0x0004, "CS", text_bytes("MONOCHROME2")),
          dicom_element(0x0028, 0x0010, "US", dicom_number(rows)), dicom_element(0x0028, 0x0011, "US", dicom_number(columns)),
          dicom_element(0x0028, 0x0100, "US", dicom_number(8)), dicom_element(0x0028, 0x0101, "US", dicom_number(8)),
          dicom_element(0x0028, 0x0102, "US", dicom_number(7)), dicom_element(0x0028, 0x0103, "US", dicom_number(0)),
          dicom_element(0x7FE0, 0x0010, "OB", Bytes(std::min<std::uint32_t>(pixels, 4096), 0x80))})
        out.insert(out.end(), part.begin(), part.end());
    // The pixel data's length is the whole image's, whatever is there.
    put_le32(out, out.size() - std::min<std::uint32_t>(pixels, 4096) - 4, pixels);
    return out;
}

// A JPEG 2000 codestream's size segment: width and height of the reference grid.
Bytes j2k_declaring(Bytes bytes, std::uint32_t width, std::uint32_t height)
{
    const std::size_t siz = find_bytes(bytes, "\xFF\x4F\xFF\x51");
    put_be32(bytes, siz + 8, width);
    put_be32(bytes, siz + 12, height);
    return bytes;
}

Bytes codestream()
{
    const Bytes jp2 = encoded(".jp2");
    return Bytes(jp2.begin() + static_cast<std::ptrdiff_t>(find_bytes(jp2, "\xFF\x4F\xFF\x51")), jp2.end());
}

// The data window's maximum corner, after the attribute's name, type and size.
Bytes exr_declaring(Bytes bytes, std::uint32_t width, std::uint32_t height)
{
    const std::string window("dataWindow\0box2i\0", 17);
    const std::size_t at = find_bytes(bytes, window) + window.size() + 4;
    put_le32(bytes, at + 8, width - 1);
    put_le32(bytes, at + 12, height - 1);
    return bytes;
}

struct FormatCase {
    std::string name;
    std::string file_name;
    std::function<Bytes()> small;
    // Declares 20000 x 20000 pixels: 1.2 GB as an 8-bit colour image.
    std::function<Bytes()> huge;
};

std::ostream& operator<<(std::ostream& out, const FormatCase& c) { return out << c.name; }

const std::string huge_text = std::to_string(huge_side);
const std::vector<FormatCase> format_cases{
    {"Png", "x.png", [] { return encoded(".png"); }, [] { return png_declaring(encoded(".png"), huge_side, huge_side); }},
    {"Jpeg", "x.jpg", [] { return encoded(".jpg"); }, [] { return jpeg_declaring(encoded(".jpg"), huge_side, huge_side); }},
    {"Bmp", "x.bmp", [] { return encoded(".bmp"); }, [] { return bmp_declaring(encoded(".bmp"), huge_side, huge_side); }},
    {"WebP", "x.webp", [] { return encoded(".webp"); },
     [] {
         Bytes out = text_bytes("RIFF");
         append(out, 22, 4);
         out.insert(out.end(), {'W', 'E', 'B', 'P', 'V', 'P', '8', 'X', 10, 0, 0, 0, 0, 0, 0, 0});
         append(out, huge_side - 1, 3);
         append(out, huge_side - 1, 3);
         return out;
     }},
    {"Tiff", "x.tif", [] { return encoded(".tif"); }, [] { return tiff(false, huge_side, huge_side); }},
    {"BigTiff", "big.tif", [] { return tiff(true, 64, 48); }, [] { return tiff(true, huge_side, huge_side); }},
    {"Ppm", "x.ppm", [] { return encoded(".ppm"); },
     [] { return text_bytes("P6\n" + huge_text + " " + huge_text + "\n255\n" + std::string(4096, 'x')); }},
    {"Pam", "x.pam", [] { return encoded(".pam"); },
     [] {
         return text_bytes("P7\nWIDTH " + huge_text + "\nHEIGHT " + huge_text +
                           "\nDEPTH 3\nMAXVAL 255\nTUPLTYPE RGB\nENDHDR\n" + std::string(4096, 'x'));
     }},
    {"Pfm", "x.pfm", [] { return encoded(".pfm", CV_32F); },
     [] { return text_bytes("PF\n" + huge_text + " " + huge_text + "\n-1\n" + std::string(4096, 'x')); }},
    {"SunRaster", "x.ras", [] { return encoded(".sr"); },
     [] {
         Bytes bytes = encoded(".sr");
         put_be32(bytes, 4, huge_side);
         put_be32(bytes, 8, huge_side);
         return bytes;
     }},
    {"RadianceHdr", "x.hdr", [] { return encoded(".hdr", CV_32F); },
     [] {
         return text_bytes("#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y " + huge_text + " +X " + huge_text + "\n" +
                           std::string(4096, 'x'));
     }},
    {"Jpeg2000", "x.jp2", [] { return encoded(".jp2"); }, [] { return j2k_declaring(encoded(".jp2"), huge_side, huge_side); }},
    {"Jpeg2000Codestream", "codestream.jp2", codestream, [] { return j2k_declaring(codestream(), huge_side, huge_side); }},
    {"OpenExr", "x.exr", [] { return encoded(".exr", CV_32F); },
     [] { return exr_declaring(encoded(".exr", CV_32F), huge_side, huge_side); }},
    {"Dicom", "x.dcm", [] { return dicom(48, 64); }, [] { return dicom(huge_side, huge_side); }},
};

class EveryFormat : public ::testing::TestWithParam<FormatCase> {
protected:
    void SetUp() override
    {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    const fs::path dir = fs::temp_directory_path() / ("tulo_formats_" + std::to_string(getpid()));
};

TEST_P(EveryFormat, SmallFileLoads)
{
    const fs::path path = dir / GetParam().file_name;
    write_bytes(path, GetParam().small());
    EXPECT_EQ(tulo::Opsira(path.string()).images.at("original").size(), format_size);
}

// The size is read from the header, and the file refused before OpenCV allocates for it.
TEST_P(EveryFormat, OversizedFileIsRefusedBeforeDecoding)
{
    const fs::path path = dir / GetParam().file_name;
    write_bytes(path, GetParam().huge());
    EXPECT_EQ(tulo::detail::declared_pixels(path.string()), std::uint64_t{huge_side} * huge_side);
    EXPECT_EXIT(read_hostile(path.string()), ::testing::ExitedWithCode(0), "clean: failed to read");
}

INSTANTIATE_TEST_SUITE_P(Formats, EveryFormat, ::testing::ValuesIn(format_cases), case_name);

// ---- The opsira tool on a folder of hostile files ------------------------------------------------

#ifdef TULO_OPSIRA_EXE
// What the tool may map in all: a few threads and small images need far less than a gigabyte. A
// sanitized tool gets a limit on single allocations instead, and aborts beyond it.
[[maybe_unused]] constexpr rlim_t tool_data_cap = rlim_t{3} << 29;
constexpr auto tool_seconds = std::chrono::seconds(120);

struct ToolRun {
    bool finished = false;
    int status = 0;
    std::string errors;
};

// Runs the tool with stderr in a file, under the cap, and kills it when it overruns its time.
ToolRun run_tool(const std::vector<std::string>& arguments, const fs::path& stderr_file)
{
    const pid_t child = fork();
    if (child == 0) {
        const int err = ::open(stderr_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(err, STDERR_FILENO);
#if TULO_ADDRESS_SANITIZER
        setenv("ASAN_OPTIONS", "max_allocation_size_mb=1024", 1);
#else
        const rlimit cap{tool_data_cap, RLIM_INFINITY};
        setrlimit(RLIMIT_DATA, &cap);
#endif
        std::vector<char*> argv{const_cast<char*>(TULO_OPSIRA_EXE)};
        for (const std::string& argument : arguments)
            argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        std::_Exit(127);
    }
    ToolRun run;
    const auto deadline = std::chrono::steady_clock::now() + tool_seconds;
    while (!(run.finished = waitpid(child, &run.status, WNOHANG) == child) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (!run.finished) {
        kill(child, SIGKILL);
        waitpid(child, &run.status, 0);
    }
    const Bytes text = read_bytes(stderr_file);
    run.errors.assign(text.begin(), text.end());
    return run;
}

class HostileFilesForTheTool : public HostileFiles {
protected:
    void check_tool_on(const std::vector<HostileCase>& cases);
};

void HostileFilesForTheTool::check_tool_on(const std::vector<HostileCase>& cases)
{
    fs::create_directories(dir / "in");
    std::vector<std::string> bad;
    for (const HostileCase& c : cases) {
        write_bytes(dir / "in" / c.file_name, c.make(png, jpeg, bmp));
        bad.push_back(c.file_name);
    }
    cv::Mat scene(90, 120, CV_8UC3, cv::Scalar(200, 210, 220));
    cv::rectangle(scene, cv::Rect(20, 20, 60, 40), cv::Scalar(20, 20, 20), cv::FILLED);
    ASSERT_TRUE(cv::imwrite((dir / "in" / "good.png").string(), scene));

    const ToolRun run = run_tool({"-q", "-j", "2", "-o", (dir / "out").string(), (dir / "in").string()}, dir / "stderr.txt");

    ASSERT_TRUE(run.finished) << "still running after " << tool_seconds.count() << " s";
    ASSERT_TRUE(WIFEXITED(run.status)) << "ended by signal " << WTERMSIG(run.status) << ":\n" << run.errors;
    EXPECT_EQ(WEXITSTATUS(run.status), 1) << run.errors;
    for (const std::string& name : bad)
        EXPECT_NE(run.errors.find(name), std::string::npos) << name << " not reported in:\n" << run.errors;
    EXPECT_FALSE(fs::is_empty(dir / "out" / "good")) << "the good image was not processed";
}

TEST_F(HostileFilesForTheTool, ReportsEachBadFileAndGoesOn) { check_tool_on(hostile_cases); }

// A sanitized tool aborts at the first gigabyte allocation; see the oversized cases above.
TEST_F(HostileFilesForTheTool, ReportsOversizedFilesWithoutAllocatingThem) { check_tool_on(oversized_cases); }

// The tool does not look for PAM and DICOM files in a folder.
TEST_F(HostileFilesForTheTool, ReportsOversizedFilesOfEveryFormat)
{
    std::vector<HostileCase> cases;
    for (const FormatCase& format : format_cases)
        if (format.name != "Pam" && format.name != "Dicom")
            cases.push_back({format.name, format.file_name, [format](const Bytes&, const Bytes&, const Bytes&) { return format.huge(); }});
    check_tool_on(cases);
}
#endif

} // namespace
