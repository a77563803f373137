#include "BusWatch.h"

#include "Desc.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace qev {

namespace {

// Not IN_MODIFY: our own writes to the images would report themselves.
constexpr uint32_t kFolderMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_CLOSE_WRITE | IN_ATTRIB |
                                 IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
constexpr uint32_t kParentMask =
    IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
constexpr uint32_t kGone = IN_IGNORED | IN_MOVE_SELF | IN_DELETE_SELF;
constexpr int64_t kTickNs = 1000000000;
constexpr int64_t kTickRetryNs = 50000000;

int64_t Now()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Files the library itself rewrites on every counted fault: nothing a caller reads from the cache.
bool Bookkeeping(const char *name)
{
    // No static string here: the thread may still run while exit destroys those.
    if (std::strcmp(name, vbus::kCountsFile) == 0 || std::strcmp(name, vbus::kCountsLockFile) == 0 ||
        std::strcmp(name, vbus::kCallsFile) == 0)
        return true;
    static const char kTmp[] = ".tmp-";
    if (std::strncmp(name, kTmp, sizeof kTmp - 1) != 0) return false;
    name += sizeof kTmp - 1;
    size_t n = std::strlen(vbus::kCountsFile);
    return std::strncmp(name, vbus::kCountsFile, n) == 0 && name[n] == '-';
}

}  // namespace

BusWatch::~BusWatch()
{
    Stop();
}

void BusWatch::Start(const std::string &busDir, bool useInotify, std::function<bool()> tick)
{
    if (running_ && (fd_ >= 0) != useInotify) Stop();
    {
        std::lock_guard<std::mutex> lock(mu_);
        ForgetAll();
        bus_ = busDir;
        auto slash = busDir.rfind('/');
        busParent_ = slash == std::string::npos ? "." : slash == 0 ? "/" : busDir.substr(0, slash);
        busName_ = slash == std::string::npos ? busDir : busDir.substr(slash + 1);
        Bump();
        if (running_) return;
        tick_ = std::move(tick);
        fd_ = useInotify ? ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC) : -1;
        stopFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        running_ = stopFd_ >= 0 && ::pthread_create(&thread_, nullptr, &BusWatch::Run, this) == 0;
        // Without the thread nobody reads the queue between calls: trust nothing.
        trusted_.store(running_ && fd_ >= 0, std::memory_order_release);
    }
}

void BusWatch::Stop()
{
    bool join;
    {
        std::lock_guard<std::mutex> lock(mu_);
        join = running_;
        running_ = false;
        trusted_.store(false, std::memory_order_release);
        if (join) {
            uint64_t one = 1;
            ssize_t n = ::write(stopFd_, &one, sizeof one);
            (void)n;
        }
    }
    if (join) ::pthread_join(thread_, nullptr);
    std::lock_guard<std::mutex> lock(mu_);
    ForgetAll();
    if (fd_ >= 0) ::close(fd_);
    if (stopFd_ >= 0) ::close(stopFd_);
    fd_ = stopFd_ = -1;
}

void BusWatch::ForgetAfterFork()
{
    // The watches belong to the inotify instance the parent still uses: close our copy only.
    if (fd_ >= 0) ::close(fd_);
    if (stopFd_ >= 0) ::close(stopFd_);
    fd_ = stopFd_ = -1;
    running_ = false;
    trusted_.store(false, std::memory_order_release);
    paths_.clear();
    wds_.clear();
    parentWd_ = -1;
    Bump();
}

bool BusWatch::Watch(const std::string &dir)
{
    std::lock_guard<std::mutex> lock(mu_);
    if (fd_ < 0) return false;
    // The parent tells when a folder comes to the bus's path again; best effort.
    if (dir == bus_ && parentWd_ < 0) parentWd_ = ::inotify_add_watch(fd_, busParent_.c_str(), kParentMask);
    if (wds_.count(dir)) return true;
    int wd = ::inotify_add_watch(fd_, dir.c_str(), kFolderMask);
    if (wd < 0) {
        failed_.store(true, std::memory_order_release);
        return false;
    }
    wds_[dir] = wd;
    paths_[wd].insert(dir);
    return true;
}

void BusWatch::Sync()
{
    std::lock_guard<std::mutex> lock(mu_);
    if (fd_ >= 0) Drain();
}

void BusWatch::Forget(int wd)
{
    // The folders under a moved folder moved with it, without a word to their own watches.
    std::set<int> gone{wd};
    auto it = paths_.find(wd);
    if (it != paths_.end())
        for (const auto &p : it->second)
            for (auto sub = wds_.lower_bound(p); sub != wds_.end() && sub->first.compare(0, p.size(), p) == 0; ++sub)
                if (sub->first.size() == p.size() || sub->first[p.size()] == '/') gone.insert(sub->second);
    for (int w : gone) {
        auto pw = paths_.find(w);
        if (pw != paths_.end()) {
            for (const auto &p : pw->second) wds_.erase(p);
            paths_.erase(pw);
        }
        if (w == parentWd_) parentWd_ = -1;
        // Gone already after IN_IGNORED; a moved folder is watched no more under its new name.
        ::inotify_rm_watch(fd_, w);
    }
}

void BusWatch::ForgetAll()
{
    if (fd_ >= 0) {
        for (const auto &kv : paths_) ::inotify_rm_watch(fd_, kv.first);
        if (parentWd_ >= 0) ::inotify_rm_watch(fd_, parentWd_);
    }
    paths_.clear();
    wds_.clear();
    parentWd_ = -1;
}

void BusWatch::Drain()
{
    alignas(struct inotify_event) char buf[8192];
    for (;;) {
        ssize_t n = ::read(fd_, buf, sizeof buf);
        if (n <= 0) return;
        for (ssize_t off = 0; off + static_cast<ssize_t>(sizeof(struct inotify_event)) <= n;) {
            const auto *ev = reinterpret_cast<const struct inotify_event *>(buf + off);
            off += static_cast<ssize_t>(sizeof(struct inotify_event) + ev->len);
            if (ev->mask & IN_Q_OVERFLOW) {
                // Events were lost: watch everything anew.
                ForgetAll();
                Bump();
                continue;
            }
            const char *name = ev->len ? ev->name : "";
            if (ev->wd == parentWd_ && !paths_.count(ev->wd)) {
                if (ev->mask & kGone) Forget(ev->wd);
                else if (busName_ != name) continue;
                // Another folder at the bus's path: watch that one.
                auto bus = wds_.find(bus_);
                if (bus != wds_.end()) Forget(bus->second);
                Bump();
                continue;
            }
            if (ev->mask & kGone) {
                Forget(ev->wd);
                Bump();
                continue;
            }
            if (*name && Bookkeeping(name)) continue;
            Bump();
        }
    }
}

void *BusWatch::Run(void *self)
{
    static_cast<BusWatch *>(self)->Loop();
    return nullptr;
}

void BusWatch::Loop()
{
    int64_t nextTick = Now() + kTickNs;
    for (;;) {
        struct pollfd p[2] = {{stopFd_, POLLIN, 0}, {fd_, POLLIN, 0}};
        int64_t left = nextTick - Now();
        int timeout = left <= 0 ? 0 : static_cast<int>(left / 1000000) + 1;
        int n = ::poll(p, fd_ >= 0 ? 2 : 1, timeout);
        if (n < 0 && errno != EINTR) return;
        if (n > 0 && p[0].revents) return;
        if (n > 0 && p[1].revents) {
            std::lock_guard<std::mutex> lock(mu_);
            Drain();
        }
        if (Now() >= nextTick) nextTick = Now() + (tick_ && !tick_() ? kTickRetryNs : kTickNs);
    }
}

}  // namespace qev
