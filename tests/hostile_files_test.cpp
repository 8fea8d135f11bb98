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

// Each format's fuzzing seed, a tiny valid square file, and a file of tests/hostile/: a valid file
// of the format whose header declares 20000 x 20000 pixels (1.2 GB as an 8-bit colour image).
struct FormatCase {
    std::string name;
    std::string seed;
    int seed_side;
    std::string oversized;
};

std::ostream& operator<<(std::ostream& out, const FormatCase& c) { return out << c.name; }

const fs::path tests_dir = TULO_TESTS_DIR;
constexpr std::uint64_t oversized_pixels = std::uint64_t{20000} * 20000;

const std::vector<FormatCase> format_cases{
    {"Png", "image.png", 4, "png.png"},
    {"Jpeg", "image.jpg", 4, "jpeg.jpg"},
    {"Bmp", "image.bmp", 4, "bmp.bmp"},
    {"WebP", "image.webp", 4, "webp.webp"},
    {"Tiff", "image.tif", 4, "tiff.tif"},
    {"BigTiff", "bigtiff.tif", 4, "bigtiff.tif"},
    {"Ppm", "image.ppm", 4, "ppm.ppm"},
    {"Pam", "image.pam", 4, "pam.pam"},
    {"Pfm", "image.pfm", 4, "pfm.pfm"},
    {"SunRaster", "image.sr", 4, "sun.ras"},
    {"RadianceHdr", "image.hdr", 4, "radiance.hdr"},
    {"Jpeg2000", "image.jp2", 32, "jpeg2000.jp2"},
    {"Jpeg2000Codestream", "image.j2k", 32, "codestream.jp2"},
    {"OpenExr", "image.exr", 4, "openexr.exr"},
    {"Dicom", "image.dcm", 4, "dicom.dcm"},
};

class EveryFormat : public ::testing::TestWithParam<FormatCase> {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_P(EveryFormat, SmallFileLoads)
{
    const tulo::Opsira ws((tests_dir / "fuzz" / "header_corpus" / GetParam().seed).string());
    EXPECT_EQ(ws.images.at("original").size(), cv::Size(GetParam().seed_side, GetParam().seed_side));
}

// The size is read from the header, and the file refused before OpenCV allocates for it.
TEST_P(EveryFormat, OversizedFileIsRefusedBeforeDecoding)
{
    const std::string path = (tests_dir / "hostile" / GetParam().oversized).string();
    EXPECT_EQ(tulo::detail::declared_pixels(path), oversized_pixels);
    EXPECT_EXIT(read_hostile(path), ::testing::ExitedWithCode(0), "clean: failed to read");
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
            cases.push_back({format.name, format.oversized, [format](const Bytes&, const Bytes&, const Bytes&) {
                                 return read_bytes(tests_dir / "hostile" / format.oversized);
                             }});
    check_tool_on(cases);
}
#endif

} // namespace
