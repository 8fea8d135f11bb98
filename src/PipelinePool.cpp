#include "PipelinePages.hpp"

#include <tulo/Pipeline.hpp>

#include <opencv2/core.hpp>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <system_error>
#include <thread>

namespace tulo::pipeline {
namespace {

unsigned worker_count(unsigned jobs, std::size_t tasks)
{
    const unsigned wanted = jobs != 0 ? jobs : std::max(1u, std::thread::hardware_concurrency());
    return static_cast<unsigned>(std::min<std::size_t>(wanted, std::max<std::size_t>(tasks, 1)));
}

// Threads that are joined when this goes, also when starting one of them failed.
class Helpers {
public:
    explicit Helpers(std::size_t count) { threads_.reserve(count); }
    ~Helpers()
    {
        for (std::thread& thread : threads_)
            thread.join();
    }
    Helpers(const Helpers&) = delete;
    Helpers& operator=(const Helpers&) = delete;

    void start(const std::function<void()>& work) { threads_.emplace_back(work); }

private:
    std::vector<std::thread> threads_;
};

// The workers keep the cores busy; OpenCV's own threads on top would only compete with them.
class OpenCvSequential {
public:
    explicit OpenCvSequential(bool wanted) : saved_(cv::getNumThreads()), wanted_(wanted)
    {
        if (wanted_)
            cv::setNumThreads(1);
    }
    ~OpenCvSequential()
    {
        if (wanted_)
            cv::setNumThreads(saved_);
    }
    OpenCvSequential(const OpenCvSequential&) = delete;
    OpenCvSequential& operator=(const OpenCvSequential&) = delete;

private:
    int saved_;
    bool wanted_;
};

} // namespace

std::size_t run(const std::vector<Task>& tasks,
                const Job& job,
                unsigned jobs,
                const std::function<void(std::size_t, double)>& on_progress,
                const std::function<void(std::size_t, const Report&)>& on_done)
{
    std::atomic<std::size_t> next{0};
    std::atomic<bool> stop{false};
    std::mutex done_mutex;
    std::size_t failed = 0;
    const detail::PageAssemblies assemblies(tasks, job);
    const auto work = [&] {
        detail::SourceCache sources(job.render_dpi);
        for (std::size_t i = next++; i < tasks.size() && !stop; i = next++) {
            Report report = detail::process_in_batch(tasks[i], job, [&](double share) { on_progress(i, share); },
                                                     sources, assemblies);
            // A page's file is written outside the lock, by the thread that hands in its last page.
            const std::vector<detail::IndexedReport> finished = assemblies.hand_in(tasks[i], i, std::move(report));
            const std::lock_guard<std::mutex> lock(done_mutex);
            for (const auto& [index, done] : finished) {
                failed += done.ok() ? 0 : 1;
                on_done(index, done);
            }
        }
    };
    const unsigned workers = worker_count(jobs, tasks.size());
    const OpenCvSequential sequential(workers > 1);
    {
        Helpers helpers(workers - 1);
        try {
            for (unsigned w = 1; w < workers; ++w)
                helpers.start(work);
        } catch (const std::system_error&) {
            stop = true;
            throw;
        }
        work();
    }
    return failed;
}

} // namespace tulo::pipeline
