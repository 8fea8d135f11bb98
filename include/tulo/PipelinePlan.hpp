#pragma once

#include <tulo/Export.hpp>
#include <tulo/Pipeline.hpp>

#include <string>
#include <vector>

namespace tulo::pipeline {

// Which files a batch takes and where each one's output goes, before anything is read.

/** @brief The image files named by a batch's inputs, in order. */
struct Inputs {
    std::vector<std::string> files;
    /** One line per directory that could not be listed: the path and the reason. */
    std::vector<std::string> problems;
    /** The directories named by the inputs, searched for images. */
    std::vector<std::string> folders;
};

/** @brief The extension of `path` with its dot, in lower case; empty when it has none. */
TULO_API std::string lowercase_extension(const std::string& path);

/** @brief True for the extensions of image formats OpenCV reads, in any letter case. */
TULO_API bool has_image_extension(const std::string& path);

/** @brief Expands a batch's inputs into image files.
 *  @param inputs paths of files, taken as they are, or of directories, which give their image
 *         files and PDF files in name order; other files in them are passed over.
 *  @param recursive also descend into subdirectories, except `out_root` itself.
 *  @param out_root the output directory, never searched while descending. */
TULO_API Inputs collect_inputs(const std::vector<std::string>& inputs, bool recursive, const std::string& out_root);

/** @brief One task per file, writing into `out_root`/<stem>/; a stem already taken, or naming the
 *         directory that holds an input file, gets "-2", "-3"... appended. */
TULO_API std::vector<Task> plan_tasks(const std::vector<std::string>& files, const std::string& out_root);

/** @brief One task per file, writing the file `out_root`/<file name>; a name already taken, or
 *         naming an input file itself, gets "-2", "-3"... after its stem. */
TULO_API std::vector<Task> plan_files(const std::vector<std::string>& files, const std::string& out_root);

/** @brief The tasks of `job`: plan_files when it is flat, plan_tasks otherwise; then every page of
 *         a PDF or of a TIFF of several pages a task of its own (Task::page), all writing the one
 *         output file when flat, else each its folder "<name>-p<NNNN>/" (page from 1, four digits).
 *         Opens each .tif, .tiff and .pdf file to count its pages; one that cannot be opened stays
 *         one task, which fails with the reason. */
TULO_API std::vector<Task> plan_job(const std::vector<std::string>& files, const std::string& out_root, const Job& job);

/** @brief Creates `out_root` when it is missing and checks that folders can be made in it.
 *  @throws std::runtime_error naming the folder and the reason when either fails. */
TULO_API void prepare_output(const std::string& out_root);

} // namespace tulo::pipeline
