#pragma once

#include <tulo/PipelineReport.hpp>

#include <cstddef>
#include <cstdio>
#include <functional>
#include <mutex>

namespace opsira {

/** @brief The pipeline's progress bar on a terminal: drawn at once and redrawn in place, safe to
 *         use from several threads; does nothing when disabled. */
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
    tulo::pipeline::Progress progress_;
    bool enabled_;
};

} // namespace opsira
