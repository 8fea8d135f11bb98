#pragma once

#include "batch.hpp"

#include <cstddef>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <string>

namespace opsira {

/** @brief One human-readable line (no newline) for a processed image: the chosen threshold method
 *         and the recorded edge level, correction angle, contour and segment counts, files
 *         written, time. */
std::string summary_line(const Report& report);

/** @brief One JSON object (no newline) with the same facts, the file names and the error;
 *         analyses that did not run are null. */
std::string json_line(const Report& report);

/** @brief The shortest text that reads back as `value`, in every locale. */
std::string shortest_text(double value);

/** @brief `text` as a JSON string literal, quotes included. */
std::string json_string(const std::string& text);

/** @brief Hands reports on in the order of their indices, holding those that come early. */
class InOrder {
public:
    explicit InOrder(std::function<void(const Report&)> deliver);
    void add(std::size_t index, const Report& report);

private:
    std::function<void(const Report&)> deliver_;
    std::map<std::size_t, Report> waiting_;
    std::size_t next_ = 0;
};

/** @brief A one-line progress bar over a number of images, drawn at once and redrawn in place,
 *         safe to use from several threads; does nothing when disabled. */
class ProgressBar {
public:
    ProgressBar(std::FILE* stream, std::size_t total, bool enabled);
    /** @brief Records the finished share (0 to 1) of image `index` and redraws. */
    void progress(std::size_t index, double share);
    /** @brief Counts image `index` as finished and redraws. */
    void finish(std::size_t index);
    /** @brief Wipes the bar, runs `write`, and draws the bar again below what it wrote. */
    void print_above(const std::function<void()>& write);
    /** @brief Wipes the bar for good. */
    void close();

private:
    void draw();
    void wipe();

    std::mutex mutex_;
    std::FILE* stream_;
    std::size_t total_;
    std::size_t done_ = 0;
    std::map<std::size_t, double> partial_;
    bool enabled_;
};

} // namespace opsira
