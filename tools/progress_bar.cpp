#include "progress_bar.hpp"

namespace opsira {

ProgressBar::ProgressBar(std::FILE* stream, std::size_t total, bool enabled)
    : stream_(stream), progress_(total), enabled_(enabled && total > 0)
{
    draw();
}

void ProgressBar::progress(std::size_t index, double share)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    progress_.advance(index, share);
    draw();
}

void ProgressBar::finish(std::size_t index)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    progress_.finish(index);
    draw();
}

void ProgressBar::print_above(const std::function<void()>& write)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    wipe();
    write();
    draw();
}

void ProgressBar::close()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    wipe();
    enabled_ = false;
}

void ProgressBar::draw()
{
    if (!enabled_)
        return;
    std::fprintf(stream_, "\r%s", progress_.bar().c_str());
    std::fflush(stream_);
}

void ProgressBar::wipe()
{
    if (enabled_) {
        std::fputs("\r\033[K", stream_);
        std::fflush(stream_);
    }
}

} // namespace opsira
