// Notices changes to the bus's folders without costing a call anything.
//
// One worker thread owns an inotify descriptor on the bus folder, its parent
// (so a bus folder made, renamed away or renamed back is seen), the unit
// folders and the folders of the images, and bumps Generation() for every
// change that may matter. A caller keeps the generation it last read the bus
// in and reads again only when it moved: a transfer on an unchanged bus makes
// no system call for this. A watched folder that is moved or deleted is
// forgotten (and counts as a change), so the caller's next reading watches
// whatever is at its path now.
//
// A caller that was away from the library a while (Sync) drains the queue
// itself, so that a change made just before a call is never missed because
// the thread was not scheduled yet. Where inotify is missing, or a folder
// could not be watched, Trusted() is false: read everything on every call.
//
// The same thread calls tick about once a second (the owner's
// idle work; false: try again soon). Watch, Sync, Generation and Trusted may be called from any
// thread; tick must not wait for anything that waits for the watch.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <new>
#include <pthread.h>
#include <set>
#include <string>

namespace qev {

class BusWatch {
public:
    BusWatch() = default;
    ~BusWatch();
    BusWatch(const BusWatch &) = delete;
    BusWatch &operator=(const BusWatch &) = delete;

    // Watches busDir from now on (forgetting what was watched before) and
    // starts the thread if it is not running. useInotify false: only ticks.
    void Start(const std::string &busDir, bool useInotify, std::function<bool()> tick);
    // Ends the thread and closes everything. Safe to call twice.
    void Stop();
    // In a child after fork: the thread and the descriptor are the parent's; start afresh.
    void ForgetAfterFork();
    // Held across fork (pthread_atfork), so the child gets the maps whole and the lock free.
    void LockForFork() { mu_.lock(); }
    void UnlockAfterFork(bool child)
    {
        if (child) new (&mu_) std::mutex;
        else mu_.unlock();
    }

    // Also watches the entries of dir. False when it cannot (Trusted() is false then until ClearFailures).
    bool Watch(const std::string &dir);
    // Reads the events queued by now, on the caller's thread.
    void Sync();
    uint64_t Generation() const { return gen_.load(std::memory_order_acquire); }
    // False: some change may go unseen; read the bus on every call.
    bool Trusted() const { return trusted_.load(std::memory_order_acquire) && !failed_.load(std::memory_order_acquire); }
    // A new reading of the bus starts: folders that failed get another try.
    void ClearFailures() { failed_.store(false, std::memory_order_release); }

private:
    static void *Run(void *self);
    void Loop();
    void Drain();  // with mu_ held
    void Forget(int wd);
    void ForgetAll();
    void Bump() { gen_.fetch_add(1, std::memory_order_acq_rel); }

    std::mutex mu_;  // the maps below and reading the descriptor
    int fd_ = -1;
    int stopFd_ = -1;
    bool running_ = false;
    pthread_t thread_{};
    std::function<bool()> tick_;
    std::string bus_, busParent_, busName_;
    int parentWd_ = -1;
    std::map<int, std::set<std::string>> paths_;  // by watch descriptor
    std::map<std::string, int> wds_;               // by folder
    std::atomic<uint64_t> gen_{1};
    std::atomic<bool> trusted_{false};
    std::atomic<bool> failed_{false};
};

}  // namespace qev
