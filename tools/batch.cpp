#include "batch.hpp"

#include "ImageFileHeader.hpp"
#include "inputs.hpp"

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace opsira {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// JPEG quality of a levelled page: high, since it was already compressed once.
constexpr int deskewed_jpeg_quality = 95;

// "what: " and the reason errno gives.
std::string with_errno(const std::string& what)
{
    return what + ": " + std::error_code(errno, std::generic_category()).message();
}

[[noreturn]] void fail_with_errno(const std::string& what)
{
    throw std::runtime_error(with_errno(what));
}

using FileHandle = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

FileHandle open_file(const std::string& path, const char* mode)
{
    return FileHandle(std::fopen(path.c_str(), mode), &std::fclose);
}

std::string read_file(const std::string& path)
{
    const FileHandle file = open_file(path, "rb");
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

std::string extension(Format format)
{
    switch (format) {
    case Format::png: return ".png";
    case Format::tif: return ".tif";
    case Format::jpg: break;
    }
    return ".jpg";
}

// The library's file name of a kind: two-digit number, "_", name; with the format's extension.
std::string file_name(Kind kind, const std::string& name, Format format)
{
    const int number = static_cast<int>(kind);
    return (number < 10 ? "0" : "") + std::to_string(number) + "_" + name + extension(format);
}

// A workspace that writes the job's format and tells when each requested kind is done. JPEG is
// left to the library, so that its files stay exactly the library's.
class ToolWorkspace : public tulo::Opsira {
public:
    using Opsira::get;
    using Opsira::save;

    ToolWorkspace(const std::string& path, Format format, std::function<void()> on_kind)
        : Opsira(path), format_(format), on_kind_(std::move(on_kind))
    {
    }

    cv::Mat& get(EMatType kind) override
    {
        const Step step(*this);
        return Opsira::get(kind);
    }

    std::string save(const std::string& name, const std::string& path) override
    {
        const Step step(*this);
        if (format_ == Format::jpg)
            return Opsira::save(name, path);
        const std::string file = path + file_name(to_type(name), name, format_);
        if (!cv::imwrite(file, get(name)))
            throw std::runtime_error("failed to write \"" + file + "\"");
        return file;
    }

private:
    // A request made while another is under way is part of that one: only the outermost counts.
    class Step {
    public:
        explicit Step(ToolWorkspace& workspace) : workspace_(workspace) { ++workspace_.depth_; }
        ~Step()
        {
            if (--workspace_.depth_ == 0 && workspace_.on_kind_)
                workspace_.on_kind_();
        }
        Step(const Step&) = delete;
        Step& operator=(const Step&) = delete;

    private:
        ToolWorkspace& workspace_;
    };

    Format format_;
    std::function<void()> on_kind_;
    int depth_ = 0;
};

// Why an image is refused, given the pixels its header declares (none when it cannot be read).
std::string refusal(const std::optional<std::uint64_t>& pixels)
{
    if (pixels && *pixels > tulo::Opsira::max_read_pixels)
        return "image of " + std::to_string(*pixels) + " pixels, over the limit of " +
               std::to_string(tulo::Opsira::max_read_pixels) + " pixels";
    return "damaged, or not an image OpenCV can decode";
}

// Why the library refused a file: the file itself, or else what its header says. Only looked into
// after a refusal, so that a good file is read once, by the library.
std::string refusal(const std::string& path)
{
    const FileHandle file = open_file(path, "rb");
    if (!file)
        return with_errno("cannot open");
    if (std::fgetc(file.get()) == EOF)
        return std::ferror(file.get()) ? with_errno("cannot read") : "empty file";
    return refusal(tulo::detail::declared_pixels(path));
}

ToolWorkspace load(const std::string& path, Format format, std::function<void()> on_kind)
{
    try {
        return ToolWorkspace(path, format, std::move(on_kind));
    } catch (const std::runtime_error&) {
        throw std::runtime_error(refusal(path));
    }
}

// The image in the file's bytes with its depth and channels (grey, colour; an alpha channel is
// dropped), turned upright by its EXIF orientation; refused as the library refuses files.
cv::Mat decode(const std::string& bytes)
{
    if (bytes.empty())
        throw std::runtime_error("empty file");
    if (bytes.size() > static_cast<std::size_t>(std::numeric_limits<int>::max()))
        throw std::runtime_error("file of " + std::to_string(bytes.size()) + " bytes, too large to decode");
    const auto pixels = tulo::detail::declared_pixels(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    if (!pixels || *pixels > tulo::Opsira::max_read_pixels)
        throw std::runtime_error(refusal(pixels));
    const cv::Mat buffer(1, static_cast<int>(bytes.size()), CV_8U, const_cast<char*>(bytes.data()));
    cv::Mat image = cv::imdecode(buffer, cv::IMREAD_ANYDEPTH | cv::IMREAD_ANYCOLOR);
    if (image.empty())
        throw std::runtime_error(refusal(pixels));
    return image;
}

// Closing is checked too: a full disk may only show there.
void write_file(const fs::path& path, const std::string& bytes)
{
    FileHandle file = open_file(path.string(), "wb");
    const bool written = file && std::fwrite(bytes.data(), 1, bytes.size(), file.get()) == bytes.size();
    if (!written || std::fclose(file.release()) != 0)
        fail_with_errno("cannot write " + path.string());
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

// A hidden name beside `place`, unique to this process and call, with the place's extension (by
// which OpenCV chooses the format to write): "dir/.name.tmp-<pid>-<n>.ext".
fs::path staging_name(const fs::path& place)
{
    static std::atomic<unsigned> serial{0};
    return place.parent_path() / ("." + place.stem().string() + ".tmp-" + std::to_string(::getpid()) + "-" +
                                  std::to_string(serial++) + place.extension().string());
}

// The folder an image's files are written into, beside their final folder and hidden; it takes
// the final folder's place in one rename, or is removed with what it holds.
class Staging {
public:
    // mkdir, unlike mkdtemp, gives the folder the permissions the user's umask asks for.
    explicit Staging(const fs::path& final_dir) : final_(final_dir)
    {
        fs::create_directories(final_.parent_path());
        do
            path_ = staging_name(final_);
        while (::mkdir(path_.c_str(), 0777) != 0 && errno == EEXIST);
        if (!fs::is_directory(path_))
            fail_with_errno("cannot create a folder beside " + final_.string());
    }
    ~Staging()
    {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    Staging(const Staging&) = delete;
    Staging& operator=(const Staging&) = delete;

    std::string prefix() const { return path_.string() + "/"; }

    // Swaps the two folders in one step where the file system can; else moves the old one aside
    // first, so that a reader finds the old folder, no folder or the new one, never a mixture.
    void publish()
    {
        if (::rename(path_.c_str(), final_.c_str()) == 0)
            return;
        if (errno != ENOTEMPTY && errno != EEXIST)
            fail_with_errno("cannot move the files into " + final_.string());
        if (::renameat2(AT_FDCWD, path_.c_str(), AT_FDCWD, final_.c_str(), RENAME_EXCHANGE) == 0)
            return;
        const fs::path aside = path_.string() + ".old";
        if (::rename(final_.c_str(), aside.c_str()) != 0)
            fail_with_errno("cannot replace " + final_.string());
        if (::rename(path_.c_str(), final_.c_str()) != 0) {
            const int error = errno;
            ::rename(aside.c_str(), final_.c_str());
            errno = error;
            fail_with_errno("cannot replace " + final_.string());
        }
        std::error_code ignored;
        fs::remove_all(aside, ignored);
    }

private:
    fs::path final_;
    fs::path path_;
};

// A file written beside its final place and hidden, then renamed into it (replacing what was
// there in one step), or removed.
class StagedFile {
public:
    explicit StagedFile(const fs::path& final_file) : final_(final_file), path_(staging_name(final_file))
    {
        fs::create_directories(final_.parent_path());
    }
    ~StagedFile()
    {
        std::error_code ignored;
        fs::remove(path_, ignored);
    }
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;

    const fs::path& path() const { return path_; }

    void publish()
    {
        if (::rename(path_.c_str(), final_.c_str()) != 0)
            fail_with_errno("cannot move the file into " + final_.string());
    }

private:
    fs::path final_;
    fs::path path_;
};

std::vector<std::string> moved(const std::vector<std::string>& files, const std::string& output)
{
    std::vector<std::string> result;
    for (const std::string& file : files)
        result.push_back(output + fs::path(file).filename().string());
    return result;
}

// Every file the job writes for the task, where it ends up.
std::vector<std::string> outputs(const Task& task, const Job& job)
{
    return job.deskew ? std::vector<std::string>{task.output} : moved(planned_files(job), task.output);
}

// --resume: an output that already holds every file the job writes is left alone, and reported
// with those files.
bool skip_if_complete(const Task& task, const Job& job, Report& report)
{
    if (!job.resume)
        return false;
    std::vector<std::string> files = outputs(task, job);
    std::error_code ignored;
    const auto present = [&](const std::string& file) { return fs::is_regular_file(file, ignored); };
    if (!std::all_of(files.begin(), files.end(), present))
        return false;
    report.skipped = true;
    report.files = std::move(files);
    return true;
}

// Steps a job reports per image: the whole catalogue is derived kind by kind, then written file
// by file; a list of kinds is derived and written one kind at a time.
std::size_t steps_per_image(const Job& job)
{
    return job.kinds.empty() ? 2 * planned_files(job).size() : job.kinds.size();
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

void write_image(const Task& task, const Job& job, const ProgressFn& on_progress, Report& report)
{
    const double steps = static_cast<double>(steps_per_image(job));
    std::size_t done = 0;
    ToolWorkspace workspace = load(task.input, job.format, [&] {
        if (on_progress)
            on_progress(std::min(1.0, static_cast<double>(++done) / steps));
    });
    Staging staging(fs::path(task.output).parent_path());
    const std::vector<std::string> files = save(workspace, job.kinds, staging.prefix());
    staging.publish();
    report.files = moved(files, task.output);
    describe_analysis(workspace, report);
}

// Writes `image` into `file` in the format of `named`'s extension; JPEG at a high quality, other
// formats (PNG, TIFF, ... all lossless) as OpenCV writes them by default.
void write_levelled(const fs::path& file, const cv::Mat& image, const std::string& named)
{
    const std::string extension = lowercase_extension(named);
    const bool jpeg = extension == ".jpg" || extension == ".jpeg" || extension == ".jpe";
    const std::vector<int> parameters = jpeg ? std::vector<int>{cv::IMWRITE_JPEG_QUALITY, deskewed_jpeg_quality}
                                             : std::vector<int>{};
    if (!cv::imwrite(file.string(), image, parameters))
        throw std::runtime_error("failed to write \"" + named + "\"");
}

// An image whose angle is not trusted keeps its very bytes; a levelled one is encoded again.
void level_image(const Task& task, const DeskewSettings& settings, Report& report)
{
    const std::string bytes = read_file(task.input);
    const cv::Mat image = decode(bytes);
    const tulo::SkewEstimate estimate = tulo::estimate_skew(image, settings.max_angle);
    const bool turn = estimate.confidence >= settings.min_confidence && estimate.correction != 0.0;
    StagedFile staged(task.output);
    if (turn)
        write_levelled(staged.path(), tulo::deskew(image, estimate.correction, settings.canvas), task.output);
    else
        write_file(staged.path(), bytes);
    staged.publish();
    report.files = {task.output};
    report.correction_angle = estimate.correction;
    report.skew_confidence = estimate.confidence;
    report.deskewed = turn;
}

void process_into(const Task& task, const Job& job, const ProgressFn& on_progress, Report& report)
{
    try {
        if (skip_if_complete(task, job, report))
            return;
        if (job.deskew)
            level_image(task, *job.deskew, report);
        else
            write_image(task, job, on_progress, report);
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

// Threads that are joined when this goes, also when starting one of them failed.
class Helpers {
public:
    explicit Helpers(std::size_t count) { threads_.reserve(count); }
    ~Helpers()
    {
        for (std::thread& thread : threads_)
            thread.join();
    }
    Helpers(const Helpers&) = delete;
    Helpers& operator=(const Helpers&) = delete;

    void start(const std::function<void()>& work) { threads_.emplace_back(work); }

private:
    std::vector<std::thread> threads_;
};

// The workers keep the cores busy; OpenCV's own threads on top would only compete with them.
class OpenCvSequential {
public:
    explicit OpenCvSequential(bool wanted) : saved_(cv::getNumThreads()), wanted_(wanted)
    {
        if (wanted_)
            cv::setNumThreads(1);
    }
    ~OpenCvSequential()
    {
        if (wanted_)
            cv::setNumThreads(saved_);
    }
    OpenCvSequential(const OpenCvSequential&) = delete;
    OpenCvSequential& operator=(const OpenCvSequential&) = delete;

private:
    int saved_;
    bool wanted_;
};

} // namespace

std::vector<std::string> planned_files(const Job& job)
{
    const tulo::Opsira names;
    std::vector<Kind> kinds = job.kinds;
    if (kinds.empty()) {
        for (int k = static_cast<int>(Kind::original); k <= static_cast<int>(Kind::threshold_dog); ++k)
            kinds.push_back(static_cast<Kind>(k));
    }
    std::vector<std::string> files;
    for (const Kind kind : kinds)
        files.push_back(file_name(kind, names.to_string(kind), job.format));
    return files;
}

Report process(const Task& task, const Job& job, const ProgressFn& on_progress)
{
    const Clock::time_point start = Clock::now();
    Report report;
    report.input = task.input;
    report.output = task.output;
    process_into(task, job, on_progress, report);
    report.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return report;
}

std::size_t run(const std::vector<Task>& tasks,
                const Job& job,
                unsigned jobs,
                const std::function<void(std::size_t, double)>& on_progress,
                const std::function<void(std::size_t, const Report&)>& on_done)
{
    std::atomic<std::size_t> next{0};
    std::atomic<bool> stop{false};
    std::mutex done_mutex;
    std::size_t failed = 0;
    const auto work = [&] {
        for (std::size_t i = next++; i < tasks.size() && !stop; i = next++) {
            const Report report = process(tasks[i], job, [&](double share) { on_progress(i, share); });
            const std::lock_guard<std::mutex> lock(done_mutex);
            failed += report.ok() ? 0 : 1;
            on_done(i, report);
        }
    };
    const unsigned workers = worker_count(jobs, tasks.size());
    const OpenCvSequential sequential(workers > 1);
    {
        Helpers helpers(workers - 1);
        try {
            for (unsigned w = 1; w < workers; ++w)
                helpers.start(work);
        } catch (const std::system_error&) {
            stop = true;
            throw;
        }
        work();
    }
    return failed;
}

} // namespace opsira
