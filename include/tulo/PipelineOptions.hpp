#pragma once

#include <tulo/Export.hpp>
#include <tulo/Pipeline.hpp>

#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace tulo::pipeline {

// The command line of a batch, shared by its front ends (the opsira tool and the Python package's
// Dask runner): one table of options that parses it and writes the option lines of each front
// end's help.

/** @brief A command line that cannot be obeyed; the message says why. */
class TULO_API UsageError : public std::runtime_error {
public:
    /** @brief The error with the message `what`. */
    explicit UsageError(const std::string& what);
    ~UsageError() override;
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
    /** --orient: stand each image upright and write it flat; empty otherwise. */
    std::optional<OrientSettings> orient{};
    /** --crop: cut each image to its content and write it flat; empty otherwise. */
    std::optional<CropSettings> crop{};
    /** --dpi: resolution of rendered PDF pages (those that are not one image). */
    double render_dpi = default_render_dpi;
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
 *          that do not go together (a page step such as --deskew with --kinds or --format, a
 *          setting without its option). */
TULO_API Options parse_options(const std::vector<std::string>& args);

/** @brief The job a front end runs for these options. */
TULO_API Job job_of(const Options& options);

/** @brief Parses a comma-separated list of kind names or numbers (1 to 22).
 *  @return the kinds without repeats, ascending, with a mosaic last.
 *  @throws UsageError naming the bad entry, or for a list without any. */
TULO_API std::vector<Kind> parse_kinds(const std::string& list);

/** @brief The front ends whose help the options table writes. */
enum class FrontEnd { tool, runner };

/** @brief One option as a front end documents it. */
struct OptionDoc {
    /** The one-letter form, or '\0' for none. */
    char short_name;
    std::string long_name;
    /** What the option takes, e.g. "DIR"; empty for a switch. */
    std::string value_name;
    /** The help text, unwrapped. */
    std::string help;
};

/** @brief The options of a front end, in the order of its help. */
TULO_API std::vector<OptionDoc> documented_options(FrontEnd front_end);

/** @brief A front end's --help: `head` (its usage line and description, ending in a newline),
 *         then its options, the kinds by name and number, and the exit status. */
TULO_API std::string help_text(FrontEnd front_end, const std::string& head);

/** @brief The text of --list-kinds: number, name and a one-line description of every kind. */
TULO_API std::string kinds_text();

} // namespace tulo::pipeline
