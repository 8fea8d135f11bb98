// Settings that only a ThreadSanitizer build of the tool's programs needs; empty otherwise.
#include "../src/Sanitizers.hpp"

#include <opencv2/core.hpp>

#if TULO_THREAD_SANITIZER

// Debian's libgdal, loaded by OpenCV's image codecs, takes two of its own locks in both orders
// while it initialises; that is its business and no deadlock of ours.
extern "C" const char* __tsan_default_suppressions()
{
    return "deadlock:libgdal.so\n";
}

namespace {
// OpenCV hands work to TBB threads that ThreadSanitizer cannot see into, and would report every
// hand-off as a race; with OpenCV sequential the reports are about our own threads' sharing.
[[maybe_unused]] const bool opencv_sequential = (cv::setNumThreads(0), true);
} // namespace

#endif
