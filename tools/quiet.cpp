#include "quiet.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>

#include "../src/Sanitizers.hpp"

#if TULO_ADDRESS_SANITIZER || TULO_THREAD_SANITIZER
#include <sanitizer/common_interface_defs.h>
#endif

namespace opsira {
namespace {

// A sanitizer's report must not vanish with the libraries' chatter.
void send_sanitizer_reports_to(int descriptor)
{
#if TULO_ADDRESS_SANITIZER || TULO_THREAD_SANITIZER
    __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<std::intptr_t>(descriptor)));
#else
    static_cast<void>(descriptor);
#endif
}

// The descriptor of a copy of the standard error, which then writes into /dev/null; -1 when
// either step fails, and the standard error is left as it was.
int divert_stderr()
{
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    const int saved = null < 0 ? -1 : ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0);
    const bool diverted = saved >= 0 && ::dup2(null, STDERR_FILENO) >= 0;
    if (null >= 0)
        ::close(null);
    if (!diverted && saved >= 0)
        ::close(saved);
    return diverted ? saved : -1;
}

} // namespace

// libpng and libjpeg write their complaints straight to the standard error, past OpenCV's log,
// so the descriptor itself is diverted; the tool's messages keep the original one.
QuietLibraries::QuietLibraries(bool verbose) : saved_level_(cv::utils::logging::getLogLevel())
{
    if (verbose)
        return;
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    std::fflush(stderr);
    saved_stderr_ = divert_stderr();
    if (saved_stderr_ >= 0)
        send_sanitizer_reports_to(saved_stderr_);
    std::FILE* const stream = saved_stderr_ < 0 ? nullptr : ::fdopen(saved_stderr_, "w");
    if (stream != nullptr) {
        std::setvbuf(stream, nullptr, _IONBF, 0);
        messages_ = stream;
    }
}

QuietLibraries::~QuietLibraries()
{
    if (saved_stderr_ >= 0) {
        ::dup2(saved_stderr_, STDERR_FILENO);
        send_sanitizer_reports_to(STDERR_FILENO);
        if (messages_ != stderr)
            std::fclose(messages_);
        else
            ::close(saved_stderr_);
    }
    cv::utils::logging::setLogLevel(saved_level_);
}

} // namespace opsira
