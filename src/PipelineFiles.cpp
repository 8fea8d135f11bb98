#include "PipelineFiles.hpp"

#include <tulo/ImageFile.hpp>
#include <tulo/Pipeline.hpp>

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <system_error>

namespace tulo::pipeline {
namespace {

namespace fs = std::filesystem;

// What a staging name holds between the stem and the extension: ".tmp-<process>-<serial>".
const std::string staging_mark = ".tmp-";
const std::string aside_suffix = ".old";

// "what: " and the reason errno gives.
std::string with_errno(const std::string& what)
{
    return what + ": " + std::error_code(errno, std::generic_category()).message();
}

[[noreturn]] void fail_with_errno(const std::string& what)
{
    throw std::runtime_error(with_errno(what));
}

using FileHandle = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

FileHandle open_file(const std::string& path, const char* mode)
{
    return FileHandle(std::fopen(path.c_str(), mode), &std::fclose);
}

// The end of a run of digits starting at `at`; `at` itself when there is none.
std::size_t digits_end(const std::string& text, std::size_t at)
{
    while (at < text.size() && text[at] >= '0' && text[at] <= '9')
        ++at;
    return at;
}

// Where "<process>-<serial>" starting at `at` ends; npos when it is not there.
std::size_t numbers_end(const std::string& name, std::size_t at)
{
    const std::size_t process_end = digits_end(name, at);
    if (process_end == at || process_end >= name.size() || name[process_end] != '-')
        return std::string::npos;
    const std::size_t serial_end = digits_end(name, process_end + 1);
    return serial_end == process_end + 1 ? std::string::npos : serial_end;
}

} // namespace

std::vector<std::string> staged_places(const std::string& entry_name)
{
    if (entry_name.empty() || entry_name[0] != '.')
        return {};
    // The stem may hold the mark itself: the last mark followed by the numbers ends it.
    for (std::size_t mark = entry_name.rfind(staging_mark); mark != std::string::npos && mark > 0;
         mark = entry_name.rfind(staging_mark, mark - 1)) {
        const std::size_t end = numbers_end(entry_name, mark + staging_mark.size());
        if (end == std::string::npos)
            continue;
        const std::string place = entry_name.substr(1, mark - 1) + entry_name.substr(end);
        const bool aside = place.size() >= aside_suffix.size() &&
                           place.compare(place.size() - aside_suffix.size(), aside_suffix.size(), aside_suffix) == 0;
        if (aside)
            return {place, place.substr(0, place.size() - aside_suffix.size())};
        return {place};
    }
    return {};
}

namespace detail {

fs::path staging_name(const fs::path& place)
{
    static std::atomic<unsigned> serial{0};
    return place.parent_path() / ("." + place.stem().string() + staging_mark + std::to_string(::getpid()) + "-" +
                                  std::to_string(serial++) + place.extension().string());
}

std::string read_file(const std::string& path)
{
    const FileHandle file = open_file(path, "rb");
    if (!file)
        fail_with_errno("cannot open");
    std::string bytes;
    char buffer[65536];
    std::size_t count = 0;
    while ((count = std::fread(buffer, 1, sizeof buffer, file.get())) > 0)
        bytes.append(buffer, count);
    if (std::ferror(file.get()))
        fail_with_errno("cannot read");
    return bytes;
}

void write_file(const fs::path& path, const std::string& bytes)
{
    FileHandle file = open_file(path.string(), "wb");
    const bool written = file && std::fwrite(bytes.data(), 1, bytes.size(), file.get()) == bytes.size();
    if (!written || std::fclose(file.release()) != 0)
        fail_with_errno("cannot write " + path.string());
}

std::string refusal(const std::optional<std::uint64_t>& declared_pixels)
{
    if (declared_pixels && *declared_pixels > max_image_pixels)
        return "image of " + std::to_string(*declared_pixels) + " pixels, over the limit of " +
               std::to_string(max_image_pixels) + " pixels";
    return "damaged, or not an image OpenCV can decode";
}

std::string refusal(const std::string& path, const std::optional<std::uint64_t>& declared_pixels)
{
    const FileHandle file = open_file(path, "rb");
    if (!file)
        return with_errno("cannot open");
    if (std::fgetc(file.get()) == EOF)
        return std::ferror(file.get()) ? with_errno("cannot read") : "empty file";
    return refusal(declared_pixels);
}

// mkdir, unlike mkdtemp, gives the folder the permissions the user's umask asks for.
Staging::Staging(const fs::path& final_dir) : final_(final_dir)
{
    fs::create_directories(final_.parent_path());
    do
        path_ = staging_name(final_);
    while (::mkdir(path_.c_str(), 0777) != 0 && errno == EEXIST);
    if (!fs::is_directory(path_))
        fail_with_errno("cannot create a folder beside " + final_.string());
}

Staging::~Staging()
{
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

// Swaps the two folders in one step where the file system can; else moves the old one aside
// first.
void Staging::publish()
{
    if (::rename(path_.c_str(), final_.c_str()) == 0)
        return;
    if (errno != ENOTEMPTY && errno != EEXIST)
        fail_with_errno("cannot move the files into " + final_.string());
    if (::renameat2(AT_FDCWD, path_.c_str(), AT_FDCWD, final_.c_str(), RENAME_EXCHANGE) == 0)
        return;
    const fs::path aside = path_.string() + aside_suffix;
    if (::rename(final_.c_str(), aside.c_str()) != 0)
        fail_with_errno("cannot replace " + final_.string());
    if (::rename(path_.c_str(), final_.c_str()) != 0) {
        const int error = errno;
        ::rename(aside.c_str(), final_.c_str());
        errno = error;
        fail_with_errno("cannot replace " + final_.string());
    }
    std::error_code ignored;
    fs::remove_all(aside, ignored);
}

StagedFile::StagedFile(const fs::path& final_file) : final_(final_file), path_(staging_name(final_file))
{
    fs::create_directories(final_.parent_path());
}

StagedFile::~StagedFile()
{
    std::error_code ignored;
    fs::remove(path_, ignored);
}

void StagedFile::publish()
{
    if (::rename(path_.c_str(), final_.c_str()) != 0)
        fail_with_errno("cannot move the file into " + final_.string());
}

} // namespace detail
} // namespace tulo::pipeline
