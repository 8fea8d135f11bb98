#pragma once

#include "batch.hpp"

#include <string>
#include <vector>

namespace opsira {

/** @brief The image files named by the command line, in order. */
struct Inputs {
    std::vector<std::string> files;
    /** One line per directory that could not be listed: the path and the reason. */
    std::vector<std::string> problems;
    /** The directories named by the command line, searched for images. */
    std::vector<std::string> folders;
};

/** @brief The extension of `path` with its dot, in lower case; empty when it has none. */
std::string lowercase_extension(const std::string& path);

/** @brief True for the extensions of image formats OpenCV reads, in any letter case. */
bool has_image_extension(const std::string& path);

/** @brief Expands the command-line inputs into image files.
 *  @param inputs paths of files, taken as they are, or of directories, which give their image
 *         files in name order; other files in them are passed over.
 *  @param recursive also descend into subdirectories, except `out_root` itself.
 *  @param out_root the output directory, never searched while descending. */
Inputs collect_inputs(const std::vector<std::string>& inputs, bool recursive, const std::string& out_root);

/** @brief One task per file, writing into `out_root`/<stem>/; a stem already taken, or naming the
 *         directory that holds an input file, gets "-2", "-3"... appended. */
std::vector<Task> plan_tasks(const std::vector<std::string>& files, const std::string& out_root);

/** @brief One task per file, writing the file `out_root`/<file name>; a name already taken, or
 *         naming an input file itself, gets "-2", "-3"... after its stem. */
std::vector<Task> plan_files(const std::vector<std::string>& files, const std::string& out_root);

/** @brief The tasks of `job`: plan_files when it de-skews, plan_tasks otherwise. */
std::vector<Task> plan_job(const std::vector<std::string>& files, const std::string& out_root, const Job& job);

/** @brief Creates `out_root` when it is missing and checks that folders can be made in it.
 *  @throws std::runtime_error naming the folder and the reason when either fails. */
void prepare_output(const std::string& out_root);

/** @brief The bundled sample images: the installed samples next to the executable's prefix, or
 *         else the source tree's data directory; empty when neither is found. */
std::vector<std::string> sample_images();

} // namespace opsira
