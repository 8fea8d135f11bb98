#pragma once

#include "batch.hpp"

#include <cstddef>
#include <cstdio>
#include <string>

namespace opsira {

/** @brief One human-readable line (no newline) for a processed image: threshold method and
 *         level, correction angle, contour and segment counts, files written, time. */
std::string summary_line(const Report& report);

/** @brief One JSON object (no newline) with the same facts, the file names and the error;
 *         analyses that did not run are null. */
std::string json_line(const Report& report);

/** @brief `text` as a JSON string literal, quotes included. */
std::string json_string(const std::string& text);

/** @brief A one-line progress bar, drawn at once and redrawn in place; does nothing when disabled. */
class ProgressBar {
public:
    ProgressBar(std::FILE* stream, std::size_t total, bool enabled);
    /** @brief Counts one more finished image and redraws the bar. */
    void advance();
    /** @brief Wipes the bar so that other output can take the line. */
    void wipe();

private:
    void draw();

    std::FILE* stream_;
    std::size_t total_;
    std::size_t done_ = 0;
    bool enabled_;
};

} // namespace opsira
