#pragma once

#include <tulo/Export.hpp>
#include <tulo/Opsira.hpp>
#include <tulo/Pages.hpp>
#include <tulo/Orientation.hpp>
#include <tulo/PageContent.hpp>
#include <tulo/Skew.hpp>

#include <array>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tulo::pipeline {

// What one image goes through in a batch, for every front end (the opsira tool, the Python
// package's Dask runner): read behind the pixel guard; either derive the workspace's catalogue
// (or some kinds) into a staging folder, or run the page steps (deskew, orient, crop, in that
// order: a page levelled on either axis is then stood upright, so any angle of the full circle
// comes back) and write one flat file; then one rename into place and a report. A failure never
// leaves a partial output and is described in the report, not thrown. Every page of a multi-page
// file (a TIFF of several pages, any PDF) is a task of its own; with page steps, the pages of one
// file are written back into one file of its kind, assembled when its last page is done.

using Kind = Opsira::EMatType;

/** @brief The file format of the written kinds. */
enum class Format { jpg, png, tif };

/** @brief One image to process: the file to read and where its output goes. */
struct Task {
    std::string input;
    /** The output folder, with a trailing "/"; or, for a job of page steps, the output file.
     *  Filled beside its place and then renamed into it. */
    std::string output;
    /** The page of a multi-page file this task processes, from 1; 0 for a single image. */
    std::size_t page = 0;
};

/** The widest tilt the skew estimate takes, in degrees: the largest and the default max_angle. */
inline constexpr double widest_skew_angle = 45.0;

/** The smallest correction worth resampling a page for, in degrees: below a tenth of a degree a
 *  300-dpi line drifts by less than a pixel across an A4 page, and resampling only blurs it. */
inline constexpr double default_min_skew_angle = 0.1;

/** The default space kept around a page's content when it is cut to it, in pixels: about a
 *  millimetre at 300 dpi, so that no anti-aliased edge of a mark is lost. */
inline constexpr int default_crop_margin = 10;

/** @brief How the deskew step levels an image. */
struct DeskewSettings {
    /** Largest tilt searched, in degrees. */
    double max_angle = widest_skew_angle;
    /** An image is turned only from this confidence on; below it, it is written unchanged. */
    double min_confidence = min_skew_confidence;
    DeskewCanvas canvas = DeskewCanvas::same_size;
    /** A smaller correction, in degrees either way, is not applied. */
    double min_angle = default_min_skew_angle;
};

/** @brief How the orient step stands an image upright. */
struct OrientSettings {
    /** An image is turned only from this confidence on; below it, it is left as it lies. */
    double min_confidence = min_orientation_confidence;
};

/** @brief How the crop step cuts an image to its content. */
struct CropSettings {
    /** Pixels kept on every side of the content box, within the image. */
    int margin = default_crop_margin;
};

/** @brief What to write for every image. */
struct Job {
    /** Kinds to save, ascending with a mosaic last; empty for the whole catalogue. */
    std::vector<Kind> kinds;
    Format format = Format::jpg;
    /** Leave an image alone whose output already holds every file this job writes. */
    bool resume = false;
    /** The deskew step: level each image; empty when the job does not level. */
    std::optional<DeskewSettings> deskew{};
    /** The orient step: stand each image upright; empty when the job does not. */
    std::optional<OrientSettings> orient{};
    /** The crop step: cut each image to its content; empty when the job does not. */
    std::optional<CropSettings> crop{};
    /** Resolution in dots per inch at which PDF pages that are not one image are rendered. */
    double render_dpi = default_render_dpi;

    /** @brief True when the job runs page steps and writes one flat file of the input's format
     *         per image, instead of a folder of kinds. */
    bool flat() const { return deskew || orient || crop; }
};

/** @brief What processing one image gave; every optional is empty when that analysis did not run. */
struct Report {
    std::string input;
    /** The page of a multi-page file, from 1; empty for a single image. */
    std::optional<std::size_t> page;
    std::string output;
    /** Why the image failed, one line; empty on success. */
    std::string error;
    /** The output was already complete and left alone (resume). */
    bool skipped = false;
    std::optional<std::string> threshold_method;
    /** The level the workspace recorded, the lower threshold of its edge detection. */
    std::optional<double> threshold_value;
    /** The Hough analysis's angle or, for the deskew step, the correction the skew estimate found. */
    std::optional<double> correction_angle;
    std::optional<double> skew_confidence;
    /** For the deskew step: whether the image was turned (else it was written unchanged). */
    std::optional<bool> deskewed;
    /** True when a changed PDF page lost its text layer, which no longer matched its pixels. */
    std::optional<bool> text_layer_dropped;
    /** For the orient step: the counter-clockwise quarter turn applied (0, 90, 180 or 270), the
     *  estimate's confidence and whether the image was turned. */
    std::optional<int> orientation;
    std::optional<double> orientation_confidence;
    std::optional<bool> oriented;
    /** For the crop step: the content box (x, y, width, height) in the input image's pixels, its
     *  confidence and the blank call. */
    std::optional<std::array<int, 4>> content_box;
    std::optional<double> content_confidence;
    std::optional<bool> blank;
    std::optional<std::size_t> contours;
    std::optional<std::size_t> segments;
    std::vector<std::string> files;
    double seconds = 0.0;

    /** @brief True when the image did not fail. */
    bool ok() const { return error.empty(); }
};

/** @brief True when the crop step cut the image of `report`: its content was found with
 *         confidence and the page is not blank; else it was written uncut. */
TULO_API bool cut_to_content(const Report& report);

/** @brief Called with the finished share (0 to 1) of one image as its kinds are made. */
using ProgressFn = std::function<void(double)>;

/** @brief The names of the files `job` writes into an image's folder: for a list of kinds in the
 *         order written, for the whole catalogue by kind number (it is written in name order);
 *         a flat job writes the task's one file instead. */
TULO_API std::vector<std::string> planned_files(const Job& job);

/** @brief Every file a complete output of `task` holds for `job`, where it ends up. */
TULO_API std::vector<std::string> expected_files(const Task& task, const Job& job);

/** @brief True when every file of expected_files is in place. */
TULO_API bool is_complete(const Task& task, const Job& job);

/** @brief The report of a task left alone because its output is complete: skipped, with the
 *         expected files. */
TULO_API Report resumed_report(const Task& task, const Job& job);

/** @brief Reads one image into its own workspace and writes its catalogue, or only the job's
 *         kinds, into a staging folder that then replaces task.output in one rename; or, for a
 *         flat job, runs the page steps and writes the file task.output, renamed into place. For
 *         a page of a flat job, that file is the input with only this page replaced (see run).
 *  @param on_progress told the finished share after each kind; may be empty.
 *  @return the report, with the final file names; every failure is caught and described in
 *          Report::error, and leaves task.output as it was. */
TULO_API Report process(const Task& task, const Job& job, const ProgressFn& on_progress = {});

/** @brief Processes `tasks` on up to `jobs` threads, one workspace per image, each thread taking
 *         the next unclaimed task from a shared index. With page steps, the pages of one multi-page
 *         file among the tasks are written into one file when the last of them is done, and
 *         their reports are handed on then; a page that failed is copied unchanged into it.
 *  @param jobs the number of worker threads; 0 for one per core. Never more than the tasks.
 *  @param on_progress called with a task's index and finished share; by any worker, concurrently.
 *  @param on_done called once per task with its index as it finishes, never by two threads at once.
 *  @return the number of failed tasks.
 *  @throws std::system_error when a worker thread cannot be started; the started ones have then
 *          finished their tasks. */
TULO_API std::size_t run(const std::vector<Task>& tasks,
                         const Job& job,
                         unsigned jobs,
                         const std::function<void(std::size_t, double)>& on_progress,
                         const std::function<void(std::size_t, const Report&)>& on_done);

/** @brief The final names an entry beside the outputs can be the staging of: an output is written
 *         under ".<stem>.tmp-<process>-<serial><extension>" beside its place, and a folder it
 *         replaces is moved aside under that name with ".old" appended.
 *  @return "<stem><extension>" of each place (two for a name ending in ".old": the folder moved
 *          aside, or a place whose extension is ".old"); empty for any other name. */
TULO_API std::vector<std::string> staged_places(const std::string& entry_name);

} // namespace tulo::pipeline
