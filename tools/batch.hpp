#pragma once

#include <tulo/Opsira.hpp>
#include <tulo/Skew.hpp>

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace opsira {

using Kind = tulo::Opsira::EMatType;

/** @brief The file format of the written images. */
enum class Format { jpg, png, tif };

/** @brief One image to process: the file to read and where its output goes. */
struct Task {
    std::string input;
    /** The output folder, with a trailing "/"; or, for --deskew, the output file. Filled beside its
     *  place and then renamed into it. */
    std::string output;
};

/** The widest tilt the skew estimate takes, in degrees: the largest and the default --max-angle. */
inline constexpr double widest_skew_angle = 45.0;

/** @brief How --deskew levels an image. */
struct DeskewSettings {
    /** Largest tilt searched, in degrees. */
    double max_angle = widest_skew_angle;
    /** An image is turned only from this confidence on; below it, it is written unchanged. */
    double min_confidence = tulo::min_skew_confidence;
    tulo::DeskewCanvas canvas = tulo::DeskewCanvas::same_size;
};

/** @brief What to write for every image. */
struct Job {
    /** Kinds to save, ascending with a mosaic last; empty for the whole catalogue. */
    std::vector<Kind> kinds;
    Format format = Format::jpg;
    /** Leave an image alone whose output already holds every file this job writes. */
    bool resume = false;
    /** Level each image into one file of its own format instead of saving kinds; empty otherwise. */
    std::optional<DeskewSettings> deskew{};
};

/** @brief What processing one image gave; every optional is empty when that analysis did not run. */
struct Report {
    std::string input;
    std::string output;
    /** Why the image failed, one line; empty on success. */
    std::string error;
    /** The output folder was already complete and left alone (--resume). */
    bool skipped = false;
    std::optional<std::string> threshold_method;
    /** The level the workspace recorded, the lower threshold of its edge detection. */
    std::optional<double> threshold_value;
    /** The Hough analysis's angle or, for --deskew, the correction the skew estimate found. */
    std::optional<double> correction_angle;
    std::optional<double> skew_confidence;
    /** For --deskew: whether the image was turned (else it was written unchanged). */
    std::optional<bool> deskewed;
    std::optional<std::size_t> contours;
    std::optional<std::size_t> segments;
    std::vector<std::string> files;
    double seconds = 0.0;

    bool ok() const { return error.empty(); }
};

/** @brief Called with the finished share (0 to 1) of one image as its kinds are made. */
using ProgressFn = std::function<void(double)>;

/** @brief Reads one image into its own workspace and writes its catalogue, or only the job's
 *         kinds, into a staging folder that then replaces task.output in one rename; or, for
 *         --deskew, levels the image and writes it as the file task.output, renamed into place.
 *  @param on_progress told the finished share after each kind; may be empty.
 *  @return the report, with the final file names; every failure is caught and described in
 *          Report::error, and leaves task.output as it was. */
Report process(const Task& task, const Job& job, const ProgressFn& on_progress = {});

/** @brief The names of the files `job` writes into an image's folder: for a list of kinds in the
 *         order written, for the whole catalogue by kind number (it is written in name order);
 *         --deskew writes the task's one file instead. */
std::vector<std::string> planned_files(const Job& job);

/** @brief Processes `tasks` on up to `jobs` threads, one workspace per image, each thread taking
 *         the next unclaimed task from a shared index.
 *  @param jobs the number of worker threads; 0 for one per core. Never more than the tasks.
 *  @param on_progress called with a task's index and finished share; by any worker, concurrently.
 *  @param on_done called once per task with its index as it finishes, never by two threads at once.
 *  @return the number of failed tasks.
 *  @throws std::system_error when a worker thread cannot be started; the started ones have then
 *          finished their tasks. */
std::size_t run(const std::vector<Task>& tasks,
                const Job& job,
                unsigned jobs,
                const std::function<void(std::size_t, double)>& on_progress,
                const std::function<void(std::size_t, const Report&)>& on_done);

} // namespace opsira
