#pragma once

#include <opencv2/core/utils/logger.hpp>

#include <cstdio>

namespace opsira {

/** @brief While it lives, OpenCV's log and whatever its codecs write to the standard error go
 *         nowhere, unless `verbose`; the tool's own messages go to messages(), the standard error
 *         the process was started with. */
class QuietLibraries {
public:
    explicit QuietLibraries(bool verbose);
    ~QuietLibraries();
    QuietLibraries(const QuietLibraries&) = delete;
    QuietLibraries& operator=(const QuietLibraries&) = delete;

    std::FILE* messages() const { return messages_; }

private:
    std::FILE* messages_ = stderr;
    int saved_stderr_ = -1;
    cv::utils::logging::LogLevel saved_level_;
};

} // namespace opsira
