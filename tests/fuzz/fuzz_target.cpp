// libFuzzer target: turns its input into images (shape, depth, channels, pixels), arguments for every
// free function, and sequences of workspace operations. A call may return a result or throw one of
// the documented exceptions; anything else (another exception, a crash, a sanitizer report, or a
// broken promise checked below) is a bug.
#include <tulo/Intervals.hpp>
#include <tulo/KMeans.hpp>
#include <tulo/MatManip.hpp>
#include <tulo/Opsira.hpp>

#include <fuzzer/FuzzedDataProvider.h>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <unistd.h>

#include <array>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Kind = tulo::Opsira::EMatType;
using Method = tulo::Opsira::EThresholdType;
using tulo::Contours;

// Small enough for thousands of runs a second, large enough for Hough segments of 80 votes.
constexpr int max_side = 96;
// A workspace whose images grow past this (a mosaic or a histogram made the original) starts over:
// large images only make the run slower, and the workspace's cost grows with them by design.
constexpr int max_original_side = 160;
constexpr int max_calls = 16;

[[noreturn]] void broken(const char* promise)
{
    std::fprintf(stderr, "broken promise: %s\n", promise);
    std::abort();
}

void require(bool holds, const char* promise)
{
    if (!holds)
        broken(promise);
}

// The exceptions the library documents; every other one escapes to libFuzzer, which reports it.
template <class Call>
void documented(Call&& call)
{
    try {
        call();
    } catch (const std::logic_error&) { // std::invalid_argument, std::out_of_range, std::length_error
    } catch (const std::runtime_error&) {
    } catch (const cv::Exception&) {
    }
}

// ---- Inputs ---------------------------------------------------------------------------------------

double consume_double(FuzzedDataProvider& in, double low, double high)
{
    switch (in.ConsumeIntegralInRange(0, 9)) {
    case 0: return std::numeric_limits<double>::quiet_NaN();
    case 1: return std::numeric_limits<double>::infinity();
    case 2: return -std::numeric_limits<double>::infinity();
    case 3: return -0.0;
    case 4: return std::numeric_limits<double>::denorm_min();
    default: return in.ConsumeFloatingPointInRange(low, high);
    }
}

// A size-like factor: ordinary values, and values whose products leave the range of int.
double consume_scale(FuzzedDataProvider& in)
{
    switch (in.ConsumeIntegralInRange(0, 7)) {
    case 0: return 1e12;
    case 1: return 1e300;
    case 2: return -1e-300;
    default: return consume_double(in, -1.0, 4.0);
    }
}

int consume_coordinate(FuzzedDataProvider& in)
{
    switch (in.ConsumeIntegralInRange(0, 15)) {
    case 0: return INT_MAX;
    case 1: return INT_MIN;
    case 2: return in.ConsumeIntegralInRange(-(1 << 20), 1 << 20);
    default: return in.ConsumeIntegralInRange(-20, max_side + 20);
    }
}

cv::Scalar consume_colour(FuzzedDataProvider& in)
{
    cv::Scalar colour;
    for (int i = 0; i < 4; ++i)
        colour[i] = in.ConsumeBool() ? double(in.ConsumeIntegral<uint8_t>()) : consume_double(in, -1e3, 1e3);
    return colour;
}

// Pixels as raw bytes, so that floating-point images hold NaN, infinities and denormals too.
void fill(cv::Mat& image, FuzzedDataProvider& in)
{
    const std::size_t size = image.total() * image.elemSize();
    uchar* const data = image.data;
    if (size == 0)
        return;
    switch (in.ConsumeIntegralInRange(0, 4)) {
    case 0: std::memset(data, in.ConsumeIntegral<uint8_t>(), size); break;
    case 1: {
        cv::RNG rng(in.ConsumeIntegral<uint32_t>());
        for (std::size_t i = 0; i < size; ++i)
            data[i] = static_cast<uchar>(rng.next());
        break;
    }
    case 2: {
        // Two-level noise: what threshold, contour and Hough code expects.
        cv::RNG rng(in.ConsumeIntegral<uint32_t>());
        const unsigned density = in.ConsumeIntegralInRange(1u, 16u);
        for (std::size_t i = 0; i < size; ++i)
            data[i] = rng.uniform(0, 16) < int(density) ? 255 : 0;
        break;
    }
    case 3: {
        const std::vector<uint8_t> tile = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange(1, 64));
        for (std::size_t i = 0; !tile.empty() && i < size; ++i)
            data[i] = tile[i % tile.size()];
        break;
    }
    default: {
        // Dark background, bright lines and shapes: edges, contours and segments to find.
        std::memset(data, 0, size);
        if (image.dims != 2 || image.depth() != CV_8U || image.channels() > 4)
            break;
        const int shapes = in.ConsumeIntegralInRange(1, 6);
        for (int i = 0; i < shapes; ++i) {
            const cv::Point a(in.ConsumeIntegralInRange(0, image.cols), in.ConsumeIntegralInRange(0, image.rows));
            const cv::Point b(in.ConsumeIntegralInRange(0, image.cols), in.ConsumeIntegralInRange(0, image.rows));
            if (in.ConsumeBool())
                cv::line(image, a, b, cv::Scalar::all(255), in.ConsumeIntegralInRange(1, 3));
            else
                cv::rectangle(image, a, b, cv::Scalar::all(in.ConsumeIntegralInRange(100, 255)), cv::FILLED);
        }
    }
    }
}

cv::Mat consume_image(FuzzedDataProvider& in)
{
    static constexpr std::array<int, 8> depths{CV_8U, CV_8U, CV_8U, CV_16U, CV_16S, CV_32F, CV_64F, CV_8S};
    static constexpr std::array<int, 8> channel_counts{1, 3, 1, 3, 2, 4, 5, 3};
    const int shape = in.ConsumeIntegralInRange(0, 15);
    if (shape == 0)
        return cv::Mat();
    const int type = CV_MAKETYPE(in.PickValueInArray(depths), in.PickValueInArray(channel_counts));
    if (shape == 1) {
        const std::array<int, 3> sizes{in.ConsumeIntegralInRange(0, 4), in.ConsumeIntegralInRange(0, 4),
                                       in.ConsumeIntegralInRange(0, 4)};
        cv::Mat volume(3, sizes.data(), type);
        fill(volume, in);
        return volume;
    }
    cv::Mat image(in.ConsumeIntegralInRange(0, max_side), in.ConsumeIntegralInRange(0, max_side), type);
    fill(image, in);
    if (shape == 2 && image.rows > 2 && image.cols > 2)
        return image(cv::Rect(1, 1, image.cols - 2, image.rows - 2)); // a view whose rows are not contiguous
    return image;
}

Contours consume_contours(FuzzedDataProvider& in)
{
    Contours contours(in.ConsumeIntegralInRange(0, 6));
    for (auto& contour : contours) {
        contour.resize(in.ConsumeIntegralInRange(0, 8));
        for (cv::Point& point : contour)
            point = cv::Point(consume_coordinate(in), consume_coordinate(in));
    }
    return contours;
}

std::vector<double> consume_values(FuzzedDataProvider& in)
{
    std::vector<double> values(in.ConsumeIntegralInRange(0, 40));
    for (double& value : values)
        value = in.ConsumeBool() ? consume_double(in, -360.0, 360.0) : in.ConsumeFloatingPoint<double>();
    return values;
}

std::vector<std::vector<double>> consume_intervals(FuzzedDataProvider& in)
{
    std::vector<std::vector<double>> intervals(in.ConsumeIntegralInRange(0, 6));
    for (auto& interval : intervals)
        interval = consume_values(in);
    return intervals;
}

// ---- Free functions ----------------------------------------------------------------------------------

bool same_bytes(const cv::Mat& a, const cv::Mat& b)
{
    if (a.dims != 2)
        return std::memcmp(a.data, b.data, a.total() * a.elemSize()) == 0;
    for (int y = 0; y < a.rows; ++y)
        if (std::memcmp(a.ptr(y), b.ptr(y), a.cols * a.elemSize()) != 0)
            return false;
    return true;
}

// An image result is a matrix of its own: it never shares the input's buffer.
void require_own_buffer(const cv::Mat& result, const cv::Mat& input)
{
    require(result.empty() || input.empty() || result.datastart != input.datastart, "result shares the input's pixels");
}

void call_free_function(FuzzedDataProvider& in, const cv::Mat& image)
{
    cv::Mat result;
    switch (in.ConsumeIntegralInRange(0, 24)) {
    case 0: result = tulo::to_greyscale(image); break;
    case 1: result = tulo::apply_gaussian_blur(image, in.ConsumeIntegralInRange(-3, 31)); break;
    case 2: result = tulo::apply_blur_and_convert_to_greyscale(image, in.ConsumeIntegralInRange(-3, 31)); break;
    case 3: result = tulo::invert(image); break;
    case 4: result = tulo::erode(image, in.ConsumeIntegralInRange(-2, 6)); break;
    case 5: result = tulo::dilate(image, in.ConsumeIntegralInRange(-2, 6)); break;
    case 6: result = tulo::apply_canny_edge_detection(image, consume_double(in, -50.0, 500.0)); break;
    case 7: {
        const cv::Mat other = in.ConsumeBool() ? image.clone() : consume_image(in);
        tulo::compare_exact(image, other);
        require(tulo::compare_exact(image, image), "an image equals itself");
        break;
    }
    case 8: result = tulo::rotate(image, consume_double(in, -1e4, 1e4)); break;
    case 9: result = tulo::resize(image, in.ConsumeIntegralInRange(-2, 200), in.ConsumeIntegralInRange(-2, 200)); break;
    case 10: result = tulo::resize(image, consume_scale(in)); break;
    case 11:
        result = tulo::letterbox(image, in.ConsumeIntegralInRange(-2, 200), in.ConsumeIntegralInRange(-2, 200),
                                 consume_colour(in));
        break;
    case 12: tulo::find_contours(image); break;
    case 13: tulo::convert_contours_to_rotated_rects(consume_contours(in)); break;
    case 14: {
        std::vector<cv::Vec4i> lines(in.ConsumeIntegralInRange(0, 3), cv::Vec4i(1, 2, 3, 4));
        result = tulo::find_hough_lines(image, lines);
        break;
    }
    case 15: result = tulo::add_contours_to_image(image, consume_contours(in), consume_colour(in)); break;
    case 16: result = tulo::add_contours_and_limits_to_image(image, consume_contours(in)); break;
    case 17:
        result = tulo::apply_DoG(image, consume_double(in, -4.0, 8.0), consume_double(in, -2.0, 6.0),
                                 consume_double(in, -4.0, 4.0));
        break;
    case 18:
        result = tulo::apply_DoG_threshold(image, consume_double(in, -4.0, 8.0), consume_double(in, -2.0, 6.0),
                                           consume_double(in, -4.0, 4.0));
        break;
    case 19: result = tulo::apply_simple_colour_balance(image); break;
    case 20:
        result = tulo::plot_histogram(image, in.ConsumeIntegralInRange(-2, 400), in.ConsumeIntegralInRange(-2, 400),
                                      consume_colour(in));
        break;
    case 21: {
        std::vector<double> values = consume_values(in);
        const auto intervals = tulo::intervals(values, consume_double(in, -1.0, 8.0));
        tulo::best_value_from_intervals(intervals);
        tulo::to_string(intervals);
        break;
    }
    case 22: {
        const auto intervals = consume_intervals(in);
        tulo::best_value_from_intervals(intervals);
        tulo::popular_values_from_intervals(intervals, consume_double(in, -1.0, 2.0));
        tulo::to_string(intervals);
        break;
    }
    case 23: {
        const std::vector<double> values = consume_values(in);
        const unsigned long k = in.ConsumeBool() ? in.ConsumeIntegralInRange(0ul, 12ul) : ULONG_MAX;
        std::vector<unsigned long> labels(3, 7);
        std::vector<double> centres(2, 1.0);
        tulo::k_means(values, k, labels, centres);
        require(labels.empty() || labels.size() == values.size(), "a label for every value");
        for (const unsigned long label : labels)
            require(label < centres.size(), "a label names a centre");
        break;
    }
    default: {
        const std::vector<double> values = consume_values(in);
        std::vector<std::vector<double>> clusters(2);
        std::vector<double> centres;
        tulo::k_means_vector(values, in.ConsumeIntegralInRange(0ul, 12ul), clusters, centres);
        require(clusters.size() == centres.size(), "a cluster for every centre");
        break;
    }
    }
    require_own_buffer(result, image);
}

void fuzz_free_functions(FuzzedDataProvider& in)
{
    for (int call = 0; call < max_calls && in.remaining_bytes() > 0; ++call) {
        const cv::Mat image = consume_image(in);
        const cv::Mat before = image.clone();
        documented([&] { call_free_function(in, image); });
        require(image.empty() || same_bytes(image, before), "input image left unchanged");
    }
}

// ---- Workspace sequences --------------------------------------------------------------------------

struct Files {
    fs::path dir;
    std::vector<std::string> inputs; // valid, empty, text, a directory, missing
    std::string out;                 // prefix for saved images
};

const Files& files()
{
    static const Files made = [] {
        Files f;
        std::string pattern = (fs::temp_directory_path() / "tulo_fuzz_XXXXXX").string();
        f.dir = mkdtemp(pattern.data());
        const cv::Mat valid(24, 32, CV_8UC3, cv::Scalar(40, 160, 220));
        cv::imwrite((f.dir / "valid.png").string(), valid);
        std::ofstream(f.dir / "empty.png");
        std::ofstream(f.dir / "notes.png") << "not an image\n";
        fs::create_directory(f.dir / "folder.png");
        fs::create_directory(f.dir / "out");
        for (const char* name : {"valid.png", "empty.png", "notes.png", "folder.png", "missing.png"})
            f.inputs.push_back((f.dir / name).string());
        f.out = (f.dir / "out").string() + "/";
        return f;
    }();
    return made;
}

const std::string& consume_input(FuzzedDataProvider& in)
{
    return files().inputs.at(in.ConsumeIntegralInRange<std::size_t>(0, files().inputs.size() - 1));
}

Kind consume_kind(FuzzedDataProvider& in) { return static_cast<Kind>(in.ConsumeIntegralInRange(-3, 27)); }

std::string consume_name(FuzzedDataProvider& in, const tulo::Opsira& ws)
{
    static const std::array<std::string, 6> own{"", "mine", "Original", "unknown", "threshold ", "zz"};
    switch (in.ConsumeIntegralInRange(0, 2)) {
    case 0: return ws.to_string(consume_kind(in));
    case 1: return in.PickValueInArray(own);
    default: {
        // Letters and underscores only: a saved name never leaves the temporary folder.
        std::string name = in.ConsumeRandomLengthString(8);
        for (char& c : name)
            c = "abcdefghijklmnopqrstuvwxyz_"[static_cast<unsigned char>(c) % 27];
        return name;
    }
    }
}

int consume_parameter(FuzzedDataProvider& in, Kind kind)
{
    if (kind == Kind::canny_edge_detection && in.ConsumeBool())
        return in.ConsumeBool() ? INT_MAX : INT_MIN;
    return in.ConsumeIntegralInRange(-3, kind == Kind::erode || kind == Kind::erode_and_dilate ? 6 : 31);
}

bool oversized(const tulo::Opsira& ws)
{
    for (const auto& entry : ws.images)
        if (entry.second.rows > 4 * max_original_side || entry.second.cols > 4 * max_original_side)
            return true;
    const auto original = ws.images.find("original");
    return original != ws.images.end() &&
           (original->second.rows > max_original_side || original->second.cols > max_original_side);
}

void check_cleared(const tulo::Opsira& ws)
{
    require(ws.images.empty() && ws.contours.empty() && ws.hough_lines.empty() && ws.line_angles.empty() &&
                ws.angle_intervals.empty() && ws.correction_angle == 0.0 && ws.threshold_value == 0.0 &&
                ws.threshold_type == Method::invalid,
            "clear() empties everything");
}

void check_get(tulo::Opsira& ws, Kind kind)
{
    const cv::Mat& got = ws.get(kind);
    require(&got == &ws.images.at(ws.to_string(kind)), "get returns the store's own entry");
}

void workspace_operation(FuzzedDataProvider& in, tulo::Opsira& ws)
{
    switch (in.ConsumeIntegralInRange(0, 25)) {
    case 0: ws.set_original(consume_image(in)); break;
    case 1: ws.set_original(consume_kind(in)); break;
    case 2: ws.set_original(consume_input(in)); break;
    case 3: check_get(ws, consume_kind(in)); break;
    case 4: ws.get(consume_name(in, ws)); break;
    case 5: {
        const Kind kind = consume_kind(in);
        ws.get(kind, consume_parameter(in, kind));
        break;
    }
    case 6: {
        cv::Mat image = consume_image(in);
        ws.replace(consume_kind(in), image);
        break;
    }
    case 7: {
        cv::Mat image = consume_image(in);
        ws.replace(consume_name(in, ws), image);
        break;
    }
    case 8: {
        // A stored entry under another name, under its own, or as the new original.
        const std::string name = consume_name(in, ws);
        ws.replace(name, ws.get(consume_kind(in)));
        break;
    }
    case 9:
        ws.clear();
        check_cleared(ws);
        break;
    case 10: ws.clear(consume_kind(in)); break;
    case 11: ws.clear(consume_name(in, ws)); break;
    case 12: ws.reset(); break;
    case 13: ws.reset_using(consume_kind(in)); break;
    case 14: ws.find_contours(); break;
    case 15: ws.create_threshold(); break;
    case 16: ws.create_threshold(static_cast<Method>(in.ConsumeIntegralInRange(-2, 9))); break;
    case 17: ws.create_hough_lines_and_angles(); break;
    case 18: ws.create_mosaic(in.ConsumeBool()); break;
    case 19: ws.save(consume_kind(in), files().out); break;
    case 20: ws.save(consume_name(in, ws), files().out); break;
    case 21: ws.save_all(files().out); break;
    case 22: {
        const tulo::Opsira copy = ws;
        require(copy == ws && ws == copy, "a copy equals its workspace");
        ws.operator==(tulo::Opsira(consume_image(in)));
        break;
    }
    case 23:
        for (int k = 0; k <= 24; ++k)
            require(ws.to_type(ws.to_string(static_cast<Kind>(k))) == static_cast<Kind>(k), "kind names round-trip");
        break;
    case 24: {
        tulo::Opsira moved = std::move(ws);
        ws = moved;
        break;
    }
    default: ws.reset_using(consume_input(in)); break;
    }
}

void fuzz_workspace(FuzzedDataProvider& in)
{
    const cv::Mat base = consume_image(in);
    tulo::Opsira ws;
    documented([&] { ws = tulo::Opsira(base); });
    for (int call = 0; call < max_calls && in.remaining_bytes() > 0; ++call) {
        if (oversized(ws))
            ws.set_original(base);
        documented([&] { workspace_operation(in, ws); });
    }
}

} // namespace

// A size beyond what the allocator can ever serve (a resize by 1e12 saturates both sides at INT_MAX)
// must fail as it does without AddressSanitizer: OpenCV sees a null pointer and throws cv::Exception.
// OpenCV is built without frame pointers, so leak reports need the slow unwinder to name its frames.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1:fast_unwind_on_malloc=0"; }

// OpenCV 4.6's findContours leaks its contour storage when it throws for an image type it rejects only
// after allocating it (a signed 8-bit image); the library passes that exception on, as documented.
extern "C" const char* __lsan_default_suppressions() { return "leak:cv::findContours\n"; }

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // One thread per call keeps runs reproducible and the sanitizers' view complete.
    cv::setNumThreads(0);
    // The reads of missing and broken files are expected; their warnings would bury the findings.
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_ERROR);
    // Made before the exit handler is registered, so that it is destroyed only after the handler ran.
    files();
    std::atexit([] { fs::remove_all(files().dir); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider in(data, size);
    if (in.ConsumeBool())
        fuzz_workspace(in);
    else
        fuzz_free_functions(in);
    return 0;
}
