#include "batch.hpp"

#include <opencv2/core.hpp>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace opsira {
namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void fail_with_errno(const std::string& what)
{
    throw std::runtime_error(what + ": " + std::error_code(errno, std::generic_category()).message());
}

std::string read_file(const std::string& path)
{
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!file)
        fail_with_errno("cannot open");
    std::string bytes;
    char buffer[65536];
    std::size_t count = 0;
    while ((count = std::fread(buffer, 1, sizeof buffer, file.get())) > 0)
        bytes.append(buffer, count);
    if (std::ferror(file.get()))
        fail_with_errno("cannot read");
    return bytes;
}

unsigned char byte_at(const std::string& bytes, std::size_t pos)
{
    return static_cast<unsigned char>(bytes[pos]);
}

bool is_jpeg(const std::string& bytes)
{
    return bytes.size() >= 3 && byte_at(bytes, 0) == 0xFF && byte_at(bytes, 1) == 0xD8 && byte_at(bytes, 2) == 0xFF;
}

// libjpeg pads a stream that stops early with grey and only warns, so OpenCV would hand back an
// image; a complete stream has an end marker after its first scan (entropy-coded data stuffs
// every 0xFF byte, and an embedded thumbnail sits in a segment before that scan).
bool jpeg_complete(const std::string& bytes)
{
    std::size_t pos = 2;
    while (pos + 4 <= bytes.size()) {
        if (byte_at(bytes, pos) != 0xFF)
            return true; // not a layout this check knows: the decoder judges
        const unsigned char marker = byte_at(bytes, pos + 1);
        if (marker == 0xFF || marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {
            pos += marker == 0xFF ? 1 : 2;
            continue;
        }
        const std::size_t length = (std::size_t{byte_at(bytes, pos + 2)} << 8) | byte_at(bytes, pos + 3);
        if (marker == 0xDA)
            return bytes.find("\xFF\xD9", pos + 2 + length) != std::string::npos;
        pos += 2 + length;
    }
    return false;
}

tulo::Opsira load(const std::string& path)
{
    check_file(path);
    try {
        return tulo::Opsira(path);
    } catch (const std::runtime_error&) {
        throw std::runtime_error("not an image OpenCV can decode");
    }
}

bool stored(const tulo::Opsira& workspace, Kind kind)
{
    return workspace.images.count(workspace.to_string(kind)) != 0;
}

void describe_analysis(const tulo::Opsira& workspace, Report& report)
{
    if (workspace.threshold_type != tulo::Opsira::EThresholdType::invalid) {
        report.threshold_method = workspace.to_string(workspace.threshold_type);
        report.threshold_value = workspace.threshold_value;
    }
    if (stored(workspace, Kind::hough_lines)) {
        report.correction_angle = workspace.correction_angle;
        report.segments = workspace.hough_lines.size();
    }
    if (stored(workspace, Kind::find_contours) || stored(workspace, Kind::find_contours_intervals))
        report.contours = workspace.contours.size();
}

std::vector<std::string> save(tulo::Opsira& workspace, const std::vector<Kind>& kinds, const std::string& prefix)
{
    if (kinds.empty())
        return workspace.save_all(prefix);
    std::vector<std::string> files;
    for (const Kind kind : kinds)
        files.push_back(workspace.save(kind, prefix));
    return files;
}

std::string one_line(std::string text)
{
    std::replace_if(text.begin(), text.end(), [](unsigned char c) { return c < 0x20; }, ' ');
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    return text;
}

std::string describe(const cv::Exception& error)
{
    return "OpenCV error in " + error.func + ": " + error.err;
}

void process_into(const Task& task, const std::vector<Kind>& kinds, Report& report)
{
    try {
        tulo::Opsira workspace = load(task.input);
        std::filesystem::create_directories(task.out_dir);
        report.files = save(workspace, kinds, task.out_dir);
        describe_analysis(workspace, report);
    } catch (const cv::Exception& error) {
        report.error = one_line(describe(error));
    } catch (const std::exception& error) {
        report.error = one_line(error.what());
    }
}

unsigned worker_count(unsigned jobs, std::size_t tasks)
{
    const unsigned wanted = jobs != 0 ? jobs : std::max(1u, std::thread::hardware_concurrency());
    return static_cast<unsigned>(std::min<std::size_t>(wanted, std::max<std::size_t>(tasks, 1)));
}

} // namespace

void check_file(const std::string& path)
{
    const std::string bytes = read_file(path);
    if (bytes.empty())
        throw std::runtime_error("empty file");
    if (is_jpeg(bytes) && !jpeg_complete(bytes))
        throw std::runtime_error("truncated JPEG data");
}

Report process(const Task& task, const std::vector<Kind>& kinds)
{
    const Clock::time_point start = Clock::now();
    Report report;
    report.input = task.input;
    report.out_dir = task.out_dir;
    process_into(task, kinds, report);
    report.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return report;
}

std::size_t run(const std::vector<Task>& tasks,
                const std::vector<Kind>& kinds,
                unsigned jobs,
                const std::function<void(const Report&)>& on_done)
{
    std::atomic<std::size_t> next{0};
    std::mutex done_mutex;
    std::size_t failed = 0;
    const auto work = [&] {
        for (std::size_t i = next++; i < tasks.size(); i = next++) {
            const Report report = process(tasks[i], kinds);
            const std::lock_guard<std::mutex> lock(done_mutex);
            failed += report.ok() ? 0 : 1;
            on_done(report);
        }
    };
    const unsigned workers = worker_count(jobs, tasks.size());
    // The workers keep the cores busy; OpenCV's own threads on top would only compete with them.
    const int opencv_threads = cv::getNumThreads();
    if (workers > 1)
        cv::setNumThreads(1);
    std::vector<std::thread> helpers;
    for (unsigned w = 1; w < workers; ++w)
        helpers.emplace_back(work);
    work();
    for (std::thread& helper : helpers)
        helper.join();
    if (workers > 1)
        cv::setNumThreads(opencv_threads);
    return failed;
}

} // namespace opsira
