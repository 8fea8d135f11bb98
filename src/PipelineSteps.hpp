#pragma once

// The page steps of a flat job: read -> [orient] -> [deskew] -> [crop] -> write. Each step is one
// function on the page that says in the report what it did; a new step joins by its function and
// one line in page_steps.

#include <tulo/Pipeline.hpp>

#include <opencv2/core.hpp>

#include <string>

namespace tulo::pipeline::detail {

/** @brief One image on its way through the page steps. */
struct Page {
    /** The input file's bytes, written unchanged when no step changed the image. */
    std::string bytes;
    /** The image as decoded (depth and channels kept, EXIF orientation applied), then as each
     *  step leaves it. */
    cv::Mat image;
    /** Whether a step changed the image, so that it must be encoded again. */
    bool changed = false;
    /** Stored with 1-bit samples, so written 1-bit again when changed. */
    bool bilevel = false;
    /** Resolution the file declares, kept in a changed 1-bit TIFF; 0 when unknown. */
    cv::Point2d dpi{0.0, 0.0};
    /** The map from the input image's pixel coordinates to the image's as it is now. */
    cv::Matx33d from_input = cv::Matx33d::eye();
    /** The input image's size. */
    cv::Size input_size;
};

/** @brief Runs the job's page steps in order on `page` as read (its input size taken from it),
 *         each saying in `report` what it did. */
void apply_page_steps(Page& page, const Job& job, Report& report);

/** @brief Reads the task's input, runs the job's page steps in order and writes the file
 *         task.output, renamed into place; fills the report. */
void run_page_steps(const Task& task, const Job& job, Report& report);

} // namespace tulo::pipeline::detail
