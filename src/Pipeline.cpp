#include <tulo/Pipeline.hpp>

#include "PipelineFiles.hpp"
#include "PipelinePages.hpp"
#include "PipelineSteps.hpp"

#include <tulo/ImageFile.hpp>
#include <tulo/PipelinePlan.hpp>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <stdexcept>

namespace tulo::pipeline {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::string extension(Format format)
{
    switch (format) {
    case Format::png: return ".png";
    case Format::tif: return ".tif";
    case Format::jpg: break;
    }
    return ".jpg";
}

// A workspace that writes the job's format and tells when each requested kind is done. JPEG is
// left to the library, so that its files stay exactly the library's.
class JobWorkspace : public Opsira {
public:
    using Opsira::get;
    using Opsira::save;

    /** `image` is a file's path or the pixels of a page. */
    template <typename Image>
    JobWorkspace(const Image& image, Format format, std::function<void()> on_kind)
        : Opsira(image), format_(format), on_kind_(std::move(on_kind))
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
        const std::string file = path + file_name(to_type(name), name, extension(format_));
        if (!cv::imwrite(file, get(name)))
            throw ImageWriteError(file);
        return file;
    }

private:
    // A request made while another is under way is part of that one: only the outermost counts.
    class Step {
    public:
        explicit Step(JobWorkspace& workspace) : workspace_(workspace) { ++workspace_.depth_; }
        ~Step()
        {
            if (--workspace_.depth_ == 0 && workspace_.on_kind_)
                workspace_.on_kind_();
        }
        Step(const Step&) = delete;
        Step& operator=(const Step&) = delete;

    private:
        JobWorkspace& workspace_;
    };

    Format format_;
    std::function<void()> on_kind_;
    int depth_ = 0;
};

// A page as a single image file is read for the workspace: 8-bit, three channels.
cv::Mat as_colour(const cv::Mat& pixels)
{
    cv::Mat eight = pixels;
    if (pixels.depth() == CV_16U)
        pixels.convertTo(eight, CV_8U, 1.0 / 257.0);
    cv::Mat colour = eight;
    if (eight.channels() == 1)
        cv::cvtColor(eight, colour, cv::COLOR_GRAY2BGR);
    else if (eight.channels() == 4)
        cv::cvtColor(eight, colour, cv::COLOR_BGRA2BGR);
    return colour;
}

JobWorkspace load(const Task& task, const Job& job, detail::SourceCache& sources, std::function<void()> on_kind)
{
    if (task.page != 0)
        return JobWorkspace(as_colour(sources.read(task.input, task.page - 1).pixels), job.format, std::move(on_kind));
    try {
        return JobWorkspace(task.input, job.format, std::move(on_kind));
    } catch (const ImageReadError& error) {
        throw std::runtime_error(detail::refusal(task.input, error.declared_pixels()));
    }
}

bool stored(const Opsira& workspace, Kind kind)
{
    return workspace.images.count(workspace.to_string(kind)) != 0;
}

void describe_analysis(const Opsira& workspace, Report& report)
{
    if (workspace.threshold_type != Opsira::EThresholdType::invalid) {
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

std::vector<std::string> save(Opsira& workspace, const std::vector<Kind>& kinds, const std::string& prefix)
{
    if (kinds.empty())
        return workspace.save_all(prefix);
    std::vector<std::string> files;
    for (const Kind kind : kinds)
        files.push_back(workspace.save(kind, prefix));
    return files;
}

std::vector<std::string> moved(const std::vector<std::string>& files, const std::string& output)
{
    std::vector<std::string> result;
    for (const std::string& file : files)
        result.push_back(output + fs::path(file).filename().string());
    return result;
}

// Steps a job reports per image: the whole catalogue is derived kind by kind, then written file
// by file; a list of kinds is derived and written one kind at a time.
std::size_t steps_per_image(const Job& job)
{
    return job.kinds.empty() ? 2 * planned_files(job).size() : job.kinds.size();
}

std::optional<std::size_t> numbered_page(const Task& task)
{
    return task.page != 0 ? std::optional<std::size_t>(task.page) : std::nullopt;
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

void write_kinds(const Task& task, const Job& job, const ProgressFn& on_progress, detail::SourceCache& sources,
                 Report& report)
{
    const double steps = static_cast<double>(steps_per_image(job));
    std::size_t done = 0;
    JobWorkspace workspace = load(task, job, sources, [&] {
        if (on_progress)
            on_progress(std::min(1.0, static_cast<double>(++done) / steps));
    });
    detail::Staging staging(fs::path(task.output).parent_path());
    const std::vector<std::string> files = save(workspace, job.kinds, staging.prefix());
    staging.publish();
    report.files = moved(files, task.output);
    describe_analysis(workspace, report);
}

// A PDF is planned page by page; one planned whole could not be opened, and opening it again
// says why (encrypted, malformed).
[[noreturn]] void refuse_unopened_pdf(const Task& task, const Job& job)
{
    const PageSource source(task.input, job.render_dpi);
    throw std::runtime_error("the pages of a PDF are each a task of their own: plan it with plan_job");
}

void process_into(const Task& task, const Job& job, const ProgressFn& on_progress, detail::SourceCache& sources,
                  const detail::PageAssemblies& assemblies, Report& report)
{
    try {
        if (job.resume && is_complete(task, job))
            report = resumed_report(task, job);
        else if (detail::PageAssembly* const assembly = assemblies.of(task))
            assembly->process(task, job, sources, report);
        else if (task.page == 0 && lowercase_extension(task.input) == ".pdf")
            refuse_unopened_pdf(task, job);
        else if (job.flat())
            detail::run_page_steps(task, job, report);
        else
            write_kinds(task, job, on_progress, sources, report);
    } catch (const cv::Exception& error) {
        report.error = one_line(describe(error));
    } catch (const std::exception& error) {
        report.error = one_line(error.what());
    }
}

} // namespace

std::vector<std::string> planned_files(const Job& job)
{
    std::vector<Kind> kinds = job.kinds;
    if (kinds.empty()) {
        for (int k = static_cast<int>(Kind::original); k <= static_cast<int>(Kind::threshold_dog); ++k)
            kinds.push_back(static_cast<Kind>(k));
    }
    std::vector<std::string> files;
    for (const Kind kind : kinds)
        files.push_back(Opsira::file_name(kind, Opsira::kind_names()[static_cast<std::size_t>(kind)], extension(job.format)));
    return files;
}

bool cut_to_content(const Report& report)
{
    return report.content_box && !report.blank.value_or(true) &&
           report.content_confidence.value_or(0.0) >= min_content_confidence;
}

std::vector<std::string> expected_files(const Task& task, const Job& job)
{
    return job.flat() ? std::vector<std::string>{task.output} : moved(planned_files(job), task.output);
}

bool is_complete(const Task& task, const Job& job)
{
    const std::vector<std::string> files = expected_files(task, job);
    std::error_code ignored;
    return std::all_of(files.begin(), files.end(), [&](const std::string& file) { return fs::is_regular_file(file, ignored); });
}

Report resumed_report(const Task& task, const Job& job)
{
    Report report;
    report.input = task.input;
    report.page = numbered_page(task);
    report.output = task.output;
    report.skipped = true;
    report.files = expected_files(task, job);
    return report;
}

Report process(const Task& task, const Job& job, const ProgressFn& on_progress)
{
    const detail::PageAssemblies assemblies({task}, job);
    detail::SourceCache sources(job.render_dpi);
    Report report = detail::process_in_batch(task, job, on_progress, sources, assemblies);
    return assemblies.hand_in(task, 0, std::move(report)).front().second;
}

namespace detail {

Report process_in_batch(const Task& task, const Job& job, const ProgressFn& on_progress, SourceCache& sources,
                        const PageAssemblies& assemblies)
{
    const Clock::time_point start = Clock::now();
    Report report;
    report.input = task.input;
    report.page = numbered_page(task);
    report.output = task.output;
    process_into(task, job, on_progress, sources, assemblies, report);
    report.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return report;
}

} // namespace detail

} // namespace tulo::pipeline
