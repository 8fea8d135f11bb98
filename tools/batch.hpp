#pragma once

#include <tulo/Opsira.hpp>

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace opsira {

using Kind = tulo::Opsira::EMatType;

/** @brief One image to process: the file to read and the prefix its files are written under. */
struct Task {
    std::string input;
    /** Output directory with a trailing "/", created when the image has been read. */
    std::string out_dir;
};

/** @brief What processing one image gave; every optional is empty when that analysis did not run. */
struct Report {
    std::string input;
    std::string out_dir;
    /** Why the image failed, one line; empty on success. */
    std::string error;
    std::optional<std::string> threshold_method;
    std::optional<double> threshold_value;
    std::optional<double> correction_angle;
    std::optional<std::size_t> contours;
    std::optional<std::size_t> segments;
    std::vector<std::string> files;
    double seconds = 0.0;

    bool ok() const { return error.empty(); }
};

/** @brief Reads one image into its own workspace and saves its catalogue, or only `kinds`.
 *  @param task the input file and the output directory.
 *  @param kinds the kinds to save in ascending order with a mosaic last; empty for save_all.
 *  @return the report; every failure is caught and described in Report::error. */
Report process(const Task& task, const std::vector<Kind>& kinds);

/** @brief Processes `tasks` on up to `jobs` threads, one workspace per image, each thread taking
 *         the next unclaimed task from a shared index.
 *  @param jobs the number of worker threads; 0 for one per core. Never more than the tasks.
 *  @param on_done called once per task as it finishes, never by two threads at once.
 *  @return the number of failed tasks. */
std::size_t run(const std::vector<Task>& tasks,
                const std::vector<Kind>& kinds,
                unsigned jobs,
                const std::function<void(const Report&)>& on_done);

/** @brief Throws std::runtime_error with a one-line reason when `path` cannot be opened, is empty,
 *         or is a JPEG file whose image data stops before its end marker. */
void check_file(const std::string& path);

} // namespace opsira
