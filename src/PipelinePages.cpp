#include "PipelinePages.hpp"

#include "PipelineFiles.hpp"
#include "PipelineSteps.hpp"

#include <tulo/PipelinePlan.hpp>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <stdexcept>

namespace tulo::pipeline::detail {
namespace {

// How many tasks a file becomes: every page of a PDF, of a TIFF only when it has several (a
// single-page TIFF stays the single image it always was); 0 to keep it whole.
std::size_t split_pages(const std::string& input, const Job& job)
{
    if (!is_page_file(input))
        return 0;
    try {
        const std::size_t count = PageSource(input, job.render_dpi).page_count();
        return count > 1 || lowercase_extension(input) == ".pdf" ? count : 0;
    } catch (const std::exception&) {
        return 0;
    }
}

// "out/book/" -> "out/book-p0007/".
std::string page_folder(const std::string& folder, std::size_t page)
{
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, "-p%04zu/", page);
    return folder.substr(0, folder.size() - 1) + suffix;
}

} // namespace

std::vector<Task> page_tasks(const Task& task, const Job& job)
{
    const std::size_t pages = split_pages(task.input, job);
    if (pages == 0)
        return {task};
    std::vector<Task> tasks;
    tasks.reserve(pages);
    for (std::size_t page = 1; page <= pages; ++page)
        tasks.push_back({task.input, job.flat() ? task.output : page_folder(task.output, page), page});
    return tasks;
}

tulo::Page SourceCache::read(const std::string& path, std::size_t index)
{
    if (!source_ || path_ != path) {
        source_.reset();
        source_.emplace(path, render_dpi_);
        path_ = path;
    }
    return source_->read(index);
}

PageAssembly::PageAssembly(std::string input, std::string output, std::size_t pages)
    : input_(std::move(input)), output_(std::move(output)), remaining_(pages)
{
}

void PageAssembly::process(const Task& task, const Job& job, SourceCache& sources, Report& report)
{
    const std::size_t index = task.page - 1;
    const tulo::Page as_read = sources.read(input_, index);
    Page page;
    page.image = as_read.pixels;
    Report found = report;
    apply_page_steps(page, job, found);
    // An unchanged page is left to the writer, which copies it as it was stored.
    if (page.changed && writer().replace(index, page.image, as_read))
        found.text_layer_dropped = true;
    report = std::move(found);
}

// Made once, by whichever page needs it first; a file it cannot be made for fails every page.
PageWriter& PageAssembly::writer()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!writer_ && writer_error_.empty()) {
        try {
            // The output's folder is made as for any staged output.
            const std::filesystem::path folder = std::filesystem::path(output_).parent_path();
            if (!folder.empty())
                std::filesystem::create_directories(folder);
            writer_ = std::make_unique<PageWriter>(input_, output_, staging_name(output_).string());
        } catch (const std::exception& error) {
            writer_error_ = error.what();
        }
    }
    if (!writer_)
        throw std::runtime_error(writer_error_);
    return *writer_;
}

std::vector<IndexedReport> PageAssembly::hand_in(std::size_t index, Report report)
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        held_.emplace_back(index, std::move(report));
        if (--remaining_ != 0)
            return {};
    }
    return finish();
}

// Every page was handed in, so no other thread touches this any more. A file whose pages were all
// left alone (resume) is not written again.
std::vector<IndexedReport> PageAssembly::finish()
{
    const bool write = std::any_of(held_.begin(), held_.end(), [](const IndexedReport& r) { return !r.second.skipped; });
    std::string failure;
    if (write) {
        try {
            writer().finish();
        } catch (const std::exception& error) {
            failure = error.what();
        }
    }
    std::sort(held_.begin(), held_.end(), [](const IndexedReport& a, const IndexedReport& b) { return a.first < b.first; });
    for (auto& [index, report] : held_) {
        if (report.skipped)
            continue;
        if (!failure.empty())
            report.error = report.ok() ? failure : report.error;
        else if (report.ok())
            report.files = {output_};
        else
            report.error += "; the page is copied unchanged into " + output_;
    }
    return std::move(held_);
}

PageAssemblies::PageAssemblies(const std::vector<Task>& tasks, const Job& job)
{
    if (!job.flat())
        return;
    std::map<std::string, std::pair<std::string, std::size_t>> pages;
    for (const Task& task : tasks) {
        if (task.page != 0) {
            auto& [input, count] = pages[task.output];
            input = task.input;
            ++count;
        }
    }
    for (const auto& [output, file] : pages)
        by_output_.emplace(output, std::make_unique<PageAssembly>(file.first, output, file.second));
}

PageAssembly* PageAssemblies::of(const Task& task) const
{
    const auto found = task.page == 0 ? by_output_.end() : by_output_.find(task.output);
    return found == by_output_.end() ? nullptr : found->second.get();
}

std::vector<IndexedReport> PageAssemblies::hand_in(const Task& task, std::size_t index, Report report) const
{
    PageAssembly* const assembly = of(task);
    if (!assembly)
        return {{index, std::move(report)}};
    return assembly->hand_in(index, std::move(report));
}

} // namespace tulo::pipeline::detail
