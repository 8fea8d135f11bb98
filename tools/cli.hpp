#pragma once

#include "batch.hpp"

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace opsira {

/** @brief A command line that cannot be obeyed; the message says why. */
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

/** @brief What the command line asks for. */
struct Options {
    std::vector<std::string> inputs;
    std::string out_root = "out";
    /** Kinds to save, ascending with a mosaic last; empty for the whole catalogue. */
    std::vector<Kind> kinds;
    Format format = Format::jpg;
    /** --deskew: level each image and write it flat, in its own format; empty otherwise. */
    std::optional<DeskewSettings> deskew{};
    /** Worker threads; 0 for one per core. */
    unsigned jobs = 0;
    bool recursive = false;
    bool resume = false;
    /** Silences summaries and progress, not JSON or errors. */
    bool quiet = false;
    bool json = false;
    /** Lets OpenCV's and its codecs' messages through. */
    bool verbose = false;
    bool list_kinds = false;
    bool help = false;
    bool version = false;
};

/** @brief Parses the arguments after the program name.
 *  @throws UsageError for an unknown option, a missing or bad value, an unknown kind, or options
 *          that do not go together (--deskew with --kinds or --format, its settings without it). */
Options parse_options(const std::vector<std::string>& args);

/** @brief The job the tool runs for these options. */
Job job_of(const Options& options);

/** @brief Parses a comma-separated list of kind names or numbers (1 to 22).
 *  @return the kinds without repeats, ascending, with a mosaic last.
 *  @throws UsageError naming the bad entry, or for a list without any. */
std::vector<Kind> parse_kinds(const std::string& list);

/** @brief The text of --help. */
std::string usage_text();

/** @brief The text of --list-kinds: number, name and a one-line description of every kind. */
std::string kinds_text();

} // namespace opsira
