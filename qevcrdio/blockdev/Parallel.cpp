#include "Parallel.h"

namespace blockdev {

Parallel::~Parallel()
{
    for (auto &w : workers_) {
        {
            std::lock_guard<std::mutex> lock(w->mu);
            w->quit = true;
        }
        w->cv.notify_all();
        w->thread.join();
    }
}

void Parallel::Loop(Worker *w)
{
    std::unique_lock<std::mutex> lock(w->mu);
    for (;;) {
        w->cv.wait(lock, [w] { return w->quit || w->job; });
        if (w->quit) return;
        const std::function<void()> *job = w->job;
        lock.unlock();
        try {
            (*job)();
        } catch (...) {
            // A job reports through what it captured; nothing may escape a worker.
        }
        lock.lock();
        w->job = nullptr;
        w->done = true;
        w->cv.notify_all();
    }
}

void Parallel::Run(const std::vector<std::function<void()>> &jobs)
{
    if (jobs.empty()) return;
    size_t extra = jobs.size() - 1;
    while (workers_.size() < extra) {
        auto w = std::make_unique<Worker>();
        w->thread = std::thread(Loop, w.get());
        workers_.push_back(std::move(w));
    }
    for (size_t i = 0; i < extra; ++i) {
        Worker *w = workers_[i].get();
        {
            std::lock_guard<std::mutex> lock(w->mu);
            w->job = &jobs[i + 1];
            w->done = false;
        }
        w->cv.notify_all();
    }
    jobs[0]();
    for (size_t i = 0; i < extra; ++i) {
        Worker *w = workers_[i].get();
        std::unique_lock<std::mutex> lock(w->mu);
        w->cv.wait(lock, [w] { return w->done; });
    }
}

}  // namespace blockdev
