// Runs a handful of jobs at once, for writes that go to several cards: the
// first job runs on the calling thread, each other one on a worker thread
// that is kept for the next call. Run() returns when every job has ended.
// Workers end with the object. One caller at a time.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace blockdev {

class Parallel {
public:
    Parallel() = default;
    ~Parallel();
    Parallel(const Parallel &) = delete;
    Parallel &operator=(const Parallel &) = delete;

    void Run(const std::vector<std::function<void()>> &jobs);
    // Worker threads alive now.
    size_t Workers() const { return workers_.size(); }

private:
    struct Worker {
        std::thread thread;
        std::mutex mu;
        std::condition_variable cv;
        const std::function<void()> *job = nullptr;
        bool done = false;
        bool quit = false;
    };
    static void Loop(Worker *w);
    std::vector<std::unique_ptr<Worker>> workers_;
};

}  // namespace blockdev
