#pragma once

// The pipeline's own file handling, shared by its sources: whole files in and out, and outputs
// written beside their place and renamed into it.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace tulo::pipeline::detail {

/** @brief The bytes of the file `path`.
 *  @throws std::runtime_error "cannot open: <reason>" or "cannot read: <reason>". */
std::string read_file(const std::string& path);

/** @brief Writes `bytes` as the file `path`; closing is checked too, as a full disk may only show there.
 *  @throws std::runtime_error "cannot write <path>: <reason>". */
void write_file(const std::filesystem::path& path, const std::string& bytes);

/** @brief Why an image file was refused: the file itself (cannot open, cannot read, empty), or
 *         else what its header declared. Only looked into after a refusal, so that a good file is
 *         read once, by the library. */
std::string refusal(const std::string& path, const std::optional<std::uint64_t>& declared_pixels);

/** @brief Why the image in a file's bytes was refused, from what its header declared. */
std::string refusal(const std::optional<std::uint64_t>& declared_pixels);

/** @brief A hidden name beside `place`, unique to this process and call, with the place's
 *         extension (by which OpenCV chooses the format to write): "dir/.name.tmp-<pid>-<n>.ext". */
std::filesystem::path staging_name(const std::filesystem::path& place);

/** @brief The folder an image's files are written into, beside their final folder and hidden; it
 *         takes the final folder's place in one rename, or is removed with what it holds. */
class Staging {
public:
    explicit Staging(const std::filesystem::path& final_dir);
    ~Staging();
    Staging(const Staging&) = delete;
    Staging& operator=(const Staging&) = delete;

    /** @brief The folder's path with a trailing "/". */
    std::string prefix() const { return path_.string() + "/"; }
    /** @brief Puts the folder in the final folder's place: a reader finds the old folder, no
     *         folder or the new one, never a mixture. */
    void publish();

private:
    std::filesystem::path final_;
    std::filesystem::path path_;
};

/** @brief A file written beside its final place and hidden, then renamed into it (replacing what
 *         was there in one step), or removed. */
class StagedFile {
public:
    explicit StagedFile(const std::filesystem::path& final_file);
    ~StagedFile();
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;

    const std::filesystem::path& path() const { return path_; }
    void publish();

private:
    std::filesystem::path final_;
    std::filesystem::path path_;
};

} // namespace tulo::pipeline::detail
