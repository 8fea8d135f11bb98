#pragma once

// The pages of multi-page files in a batch: a file becomes one task per page; a thread reads the
// pages it is given through one open source per file; with page steps, the pages of one file are
// replaced in one PageWriter, and the file is assembled when its last page has been handed in.

#include <tulo/Pages.hpp>
#include <tulo/Pipeline.hpp>

#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tulo::pipeline::detail {

/** @brief The tasks of one planned file: one per page for a PDF or a TIFF of several pages (each
 *         writing the same output file when flat, else a folder <name>-p<NNNN>/ of its own), the
 *         task itself for any other file. A file that cannot be opened stays one task, which
 *         then fails with the reason. */
std::vector<Task> page_tasks(const Task& task, const Job& job);

/** @brief The open source of the file whose pages one thread is reading; a page of another file
 *         opens that one instead, so a thread going through a file's pages in turn opens it once. */
class SourceCache {
public:
    explicit SourceCache(double render_dpi) : render_dpi_(render_dpi) {}
    /** @brief Reads one page (index from 0) of `path`. @throws PageFileError as PageSource does. */
    tulo::Page read(const std::string& path, std::size_t index);

private:
    double render_dpi_;
    std::string path_;
    std::optional<PageSource> source_;
};

/** @brief A report and the index of its task in the batch. */
using IndexedReport = std::pair<std::size_t, Report>;

/** @brief The output file of a flat job's pages of one multi-page file. Its pages may be processed
 *         by several threads at once; the writer is made by the first of them. */
class PageAssembly {
public:
    PageAssembly(std::string input, std::string output, std::size_t pages);

    /** @brief Runs the page steps on one page and replaces it in the output when a step changed
     *         it; a page that cannot be read stays as it was. Fills `report`, throws nothing. */
    void process(const Task& task, const Job& job, SourceCache& sources, Report& report);

    /** @brief Hands in the report of one of the file's pages. When it is the last, writes the file
     *         (if any page was processed) and returns every page's report, in task order, with
     *         the outcome of the writing; until then, returns nothing. */
    std::vector<IndexedReport> hand_in(std::size_t index, Report report);

private:
    PageWriter& writer();
    std::vector<IndexedReport> finish();

    std::string input_;
    std::string output_;
    std::size_t remaining_;
    std::mutex mutex_;
    std::unique_ptr<PageWriter> writer_;
    std::string writer_error_;
    std::vector<IndexedReport> held_;
};

/** @brief The assemblies of a batch: one per output file of a flat job that several tasks write. */
class PageAssemblies {
public:
    PageAssemblies(const std::vector<Task>& tasks, const Job& job);
    /** @brief The assembly of a task's output; null for a task that writes an output of its own. */
    PageAssembly* of(const Task& task) const;
    /** @brief Hands in the report of task `index`: those to pass on now, the report itself for a
     *         task with an output of its own (see PageAssembly::hand_in). */
    std::vector<IndexedReport> hand_in(const Task& task, std::size_t index, Report report) const;

private:
    std::map<std::string, std::unique_ptr<PageAssembly>> by_output_;
};

/** @brief process() within a batch: a page of a flat job goes into its file's assembly, and a
 *         thread's pages are read through its `sources`. The report is to be handed in. */
Report process_in_batch(const Task& task, const Job& job, const ProgressFn& on_progress, SourceCache& sources,
                        const PageAssemblies& assemblies);

} // namespace tulo::pipeline::detail
