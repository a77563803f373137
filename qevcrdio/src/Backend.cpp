#include "Backend.h"

#include "Bindings.h"
#include "Pace.h"
#include "Files.h"
#include "Store.h"
#include "TargetLock.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <new>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qev {

namespace {

// A transfer this soon after the last one on its target, where that one ended,
// leaves the watch's queue to the watch thread.
constexpr int64_t kStreakGapNs = 50000;

FileSig LstatSig(const std::string &path)
{
    FileSig s;
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return s;
    s.exists = true;
    s.dev = static_cast<uint64_t>(st.st_dev);
    s.ino = static_cast<uint64_t>(st.st_ino);
    s.size = static_cast<uint64_t>(st.st_size);
    s.mtimeNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    s.ctimeNs = static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
    return s;
}

// The lock of a unit's fault counts: blocking, as its holders only read and rename a small file.
class CountsLock {
public:
    explicit CountsLock(const std::string &unitDir)
    {
        std::string path = unitDir + "/" + vbus::kCountsLockFile;
        fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0644);
        struct stat st;
        if (fd_ >= 0 && (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode))) {
            ::close(fd_);
            fd_ = -1;
        }
        if (fd_ < 0) return;
        int rc;
        do rc = ::flock(fd_, LOCK_EX);
        while (rc != 0 && errno == EINTR);
        locked_ = rc == 0;
    }
    ~CountsLock()
    {
        if (fd_ >= 0) ::close(fd_);
    }
    CountsLock(const CountsLock &) = delete;
    CountsLock &operator=(const CountsLock &) = delete;
    bool Locked() const { return locked_; }

private:
    int fd_ = -1;
    bool locked_ = false;
};

void SleepUntil(int64_t deadline)
{
    for (;;) {
        int64_t left = deadline - NowNs();
        if (left <= 0) return;
        struct timespec ts{static_cast<time_t>(left / 1000000000), static_cast<long>(left % 1000000000)};
        nanosleep(&ts, nullptr);
    }
}

// Outside the backend: a call still waiting out its time may outlive it.
std::atomic<int64_t> g_lastTransferEnd{0};

Backend *g_backend = nullptr;
std::mutex g_backendMu;
bool g_forked = false;

}  // namespace

int64_t NowNs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

int64_t LastTransferEnd()
{
    return g_lastTransferEnd.load(std::memory_order_relaxed);
}

PaceWait::~PaceWait()
{
    if (until_ > 0) SleepUntil(until_);
    if (transfer_) g_lastTransferEnd.store(NowNs(), std::memory_order_relaxed);
}

Backend &Backend::Get()
{
    // Made on first use, gone at unload or exit; a call after that makes a fresh one.
    Backend *b = __atomic_load_n(&g_backend, __ATOMIC_ACQUIRE);
    if (b) return *b;
    std::lock_guard<std::mutex> lock(g_backendMu);
    if (!g_backend) {
        static bool forkHandled = false;
        if (!forkHandled) {
            forkHandled = true;
            // A fork while the watch thread holds a lock must not leave it held in the
            // child, which has no such thread: hold both across the fork.
            ::pthread_atfork(
                [] {
                    if (Backend *p = __atomic_load_n(&g_backend, __ATOMIC_ACQUIRE)) {
                        p->mu_.lock();
                        p->watch_.LockForFork();
                    }
                },
                [] {
                    if (Backend *p = __atomic_load_n(&g_backend, __ATOMIC_ACQUIRE)) {
                        p->watch_.UnlockAfterFork(false);
                        p->mu_.unlock();
                    }
                },
                [] {
                    if (Backend *p = __atomic_load_n(&g_backend, __ATOMIC_ACQUIRE)) {
                        p->watch_.UnlockAfterFork(true);
                        new (&p->mu_) std::recursive_mutex;  // owned by the parent's thread id
                    }
                    __atomic_store_n(&g_forked, true, __ATOMIC_RELEASE);
                });
        }
        __atomic_store_n(&g_backend, new Backend, __ATOMIC_RELEASE);
        // Registered now, after every static object of the library was made, so
        // it runs (at dlclose or exit) while they all still exist.
        std::atexit([] {
            try {
                Shutdown();
            } catch (...) {
            }
        });
    }
    return *g_backend;
}

void Backend::Shutdown()
{
    std::lock_guard<std::mutex> lock(g_backendMu);
    Backend *b = g_backend;
    __atomic_store_n(&g_backend, static_cast<Backend *>(nullptr), __ATOMIC_RELEASE);
    delete b;
}

Backend::~Backend()
{
    // The thread's tick never waits for the lock: stopping it under the lock is safe.
    std::lock_guard<std::recursive_mutex> lock(mu_);
    watch_.Stop();
    Reset();
}

bool Backend::FlushAll(std::string *failed)
{
    // Devices are let go too: once freed, the system may mount a card again.
    bool ok = true;
    for (auto &ukv : units_)
        for (auto &ckv : ukv.second.cards) {
            vbus::Medium *m = ckv.second.medium.get();
            if (!m) continue;
            bool lost = m->TakeFlushFailure();
            if (m->Release() && !lost) continue;
            ok = false;
            if (failed) *failed += (failed->empty() ? "" : ", ") + m->Name();
        }
    return ok;
}

void Backend::Reset()
{
    // At unload no call is left to report a failed flush to: say it, at least.
    std::string failed;
    if (!FlushAll(&failed))
        std::fprintf(stderr, "libqevcrdio: cannot flush %s to stable storage: data written may be lost\n",
                     failed.c_str());
    ReleaseAllTargetLocks();
    units_.clear();  // closes every medium
    targets_.clear();
    nextLba_.fill(0);
}

void Backend::Refresh(bool streak)
{
    if (__atomic_exchange_n(&g_forked, false, __ATOMIC_ACQ_REL)) {
        // A child of fork: the watch thread stayed in the parent. The rest is ours to keep.
        watch_.ForgetAfterFork();
        if (watching_) watch_.Start(bus_, useInotify_, [this] { return IdleTick(); });
    }
    // The bus may be another one by now (tests point QEVCRDIO_BUS elsewhere).
    const char *env = std::getenv("QEVCRDIO_BUS");
    bool same = busKnown_ && (env && *env ? busEnv_ == env : busEnv_.empty());
    if (!same || !watching_) {
        std::string bus = vbus::DefaultBusDir();
        while (bus.size() > 1 && bus.back() == '/') bus.pop_back();
        busEnv_ = env && *env ? env : "";
        busKnown_ = true;
        if (bus != bus_ || !watching_) {
            Reset();
            bus_ = bus;
            // QEVCRDIO_NO_WATCH: check everything on every call, as when inotify is unavailable.
            const char *noWatch = std::getenv("QEVCRDIO_NO_WATCH");
            useInotify_ = !(noWatch && *noWatch);
            watch_.Start(bus_, useInotify_, [this] { return IdleTick(); });
            watching_ = true;
            ++gen_;
        }
    }
    // Straight on from the last transfer: what the watch thread saw is enough.
    if (!streak || NowNs() - LastTransferEnd() > kStreakGapNs) watch_.Sync();
    uint64_t g = watch_.Generation();
    if (g != seenGen_ || !watch_.Trusted()) {
        seenGen_ = g;
        watch_.ClearFailures();
        ++gen_;
        if (!bus_.empty()) Watch(bus_);
    }
}

bool Backend::IdleTick()
{
    std::unique_lock<std::recursive_mutex> lock(mu_, std::try_to_lock);
    if (!lock.owns_lock()) return false;
    for (auto &ukv : units_)
        for (auto &ckv : ukv.second.cards)
            if (ckv.second.medium) ckv.second.medium->ReleaseIdle();  // a failed flush is kept for the card
    return true;
}

UnitState *Backend::LoadUnit(const std::string &name)
{
    UnitState &u = units_[name];
    if (u.gen == gen_) return u.ok ? &u : nullptr;
    u.gen = gen_;
    std::string dir = UnitDir(name);
    Watch(dir);
    FileSig sig = LstatSig(dir + "/" + vbus::kUnitFile);
    if (sig != u.sig || !sig.exists || u.legacy) {
        u.sig = sig;
        u.ok = false;
        vbus::Unit unit;
        unit.name = name;
        std::string why;
        struct stat st;
        // The unit's folder itself must be one, not a link out of the bus.
        // A malformed card reads as an empty slot, a malformed rule list injects nothing.
        vbus::Leniency lenient;
        lenient.cards = lenient.faults = true;
        if (::lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
            vbus::LoadUnitDir(dir, &unit, &why, &u.legacy, lenient) == vbus::LoadResult::Ok) {
            u.ok = true;
            u.unit = std::move(unit);
            LoadCounts(dir, &u);
        }
        // Cards that left the description, or whose image is another file now, close.
        for (auto it = u.cards.begin(); it != u.cards.end();) {
            const vbus::Card *now = nullptr;
            if (u.ok)
                for (const auto &c : u.unit.cards)
                    if (c.slot == it->first) now = &c;
            const vbus::Card &was = it->second.card;
            // An eject recorded by another process makes the device's medium anew too.
            bool same = now && now->image == was.image && now->inPlace == was.inPlace && now->device == was.device &&
                        now->ejectedMedium == was.ejectedMedium && now->ejectedBoot == was.ejectedBoot;
            if (!same) {
                if (it->second.medium) it->second.medium->Flush();
                it = u.cards.erase(it);
                continue;
            }
            vbus::DriveParams params = was.params;
            it->second.card = *now;
            it->second.identity = CardIdentity(*now);
            if (it->second.derived) it->second.card.params = params;  // those of the medium, kept
            ++it;
        }
        if (u.ok)
            for (const auto &c : u.unit.cards)
                if (!u.cards.count(c.slot)) {
                    CardState &s = u.cards[c.slot];
                    s.card = c;
                    s.identity = CardIdentity(c);
                }
    }
    return u.ok ? &u : nullptr;
}

void Backend::LoadCounts(const std::string &dir, UnitState *u)
{
    // Counts on disk are ours (saved after every call that met a rule).
    std::string text;
    std::map<uint32_t, vbus::RuleCounts> disk;
    if (vbus::ReadBusFile(dir + "/" + vbus::kCountsFile, &text) == vbus::ReadResult::Ok)
        disk = vbus::ParseCounts(text);
    std::map<uint32_t, vbus::RuleCounts> counts;
    for (const auto &r : u->unit.faults) {
        auto it = disk.find(r.id);
        counts[r.id] = it != disk.end() ? it->second : vbus::RuleCounts{};
    }
    u->counts = std::move(counts);
}

CardState *Backend::LoadCard(UnitState *u, int slot)
{
    auto it = u->cards.find(slot);
    if (it == u->cards.end()) return nullptr;
    CardState &c = it->second;
    if (c.gen == gen_) return c.medium ? &c : nullptr;
    c.gen = gen_;
    // Checked once a round: a file renamed over the image, or the image gone, is seen here.
    if (c.medium && !c.medium->Current()) {
        c.medium->Flush();
        c.medium.reset();
    }
    if (!c.medium) {
        // A device another slot of the bus holds is never written from this one.
        std::string bus = bus_, unit = u->unit.name;
        int slotNo = slot;
        vbus::DeviceGuard guard = [bus, unit, slotNo](const std::string &, uint64_t rdev) {
            return vbus::BoundElsewhere(bus, unit, slotNo, rdev);
        };
        c.medium = vbus::OpenMedium(c.card, nullptr, guard);
        if (!c.medium) return nullptr;  // a card whose image is gone (or no file) is not in its slot
        c.derived = c.card.params.totalSectors == 0;
    }
    auto slash = c.card.image.rfind('/');
    if (slash != std::string::npos) Watch(slash == 0 ? "/" : c.card.image.substr(0, slash));
    if (c.derived) {
        c.card.params = vbus::DefaultDriveParams(c.medium->Size(), c.medium->BlockSize());
    }
    return &c;
}

bool Backend::LookAt(CardState *c)
{
    bool in = c->medium->Look();
    // Another card in the reader has its own size (and sector size).
    if (in && c->derived) {
        c->card.params = vbus::DefaultDriveParams(c->medium->Size(), c->medium->BlockSize());
    }
    return in;
}

// A card's identity is the description's (an image put in again is another
// card); a device's own cards go by the kernel's numbers, which its medium tells apart.
using vbus::CardIdentity;

namespace vd {
constexpr int kSeenVd = 0;
}

void Backend::NoteSeen(UnitState *u, int slot, const CardState *c)
{
    u->seen[slot] = c ? c->identity : std::string();
}

bool Backend::MediumChanged(UnitState *u, const CardSet &cards, bool vd)
{
    // Every transfer comes here: an unchanged card costs a lookup and a compare, no copy.
    auto meet = [u](int key, const std::string &id) {
        auto it = u->seen.find(key);
        if (it == u->seen.end()) {
            u->seen.emplace(key, id);
            return false;
        }
        if (it->second == id) return false;
        it->second = id;
        return true;
    };
    bool changed = false;
    if (vd && cards.n > 0 && meet(vd::kSeenVd, cards.at[0]->identity)) changed = true;
    for (size_t i = 0; i < cards.n; ++i)
        if (meet(cards.at[i]->card.slot, cards.at[i]->identity)) changed = true;
    return changed;
}

int32_t Backend::Resolve(uint32_t target, TargetRef **ref, UnitState **unit, bool streak)
{
    Refresh(streak);
    if (target >= targets_.size()) return QEV_E_NO_TARGET;
    *ref = &targets_[target];
    UnitState *u = LoadUnit((*ref)->unit);
    if (!u || !u->unit.unitDesc.connected || (*ref)->target >= static_cast<int>(u->unit.unitDesc.targets))
        return QEV_E_NO_TARGET;
    *unit = u;
    return QEV_OK;
}

CardSet Backend::Cards(const TargetRef &ref, UnitState *u, bool allForVd, bool look)
{
    CardSet out;
    int slots = std::min(static_cast<int>(u->unit.unitDesc.targets) - 1, vbus::kMaxTargets);
    int first = ref.slot == 0 ? 1 : ref.slot;
    int last = ref.slot == 0 ? slots : ref.slot;
    for (int s = first; s <= last; ++s) {
        CardState *c = LoadCard(u, s);
        bool in = c && (look ? LookAt(c) : c->medium->Present());
        if (look) NoteSeen(u, s, in ? c : nullptr);
        if (!in) continue;
        if (look && ref.slot == 0 && out.n == 0) NoteSeen(u, vd::kSeenVd, c);
        out.at[out.n++] = c;
        if (ref.slot == 0 && !allForVd) break;
    }
    if (look && ref.slot == 0 && out.n == 0) NoteSeen(u, vd::kSeenVd, nullptr);
    return out;
}

int Backend::MirroredSlot(UnitState *u, uint32_t *mask)
{
    int lowest = 0;
    *mask = 0;
    int slots = static_cast<int>(u->unit.unitDesc.targets) - 1;
    for (int s = 1; s <= slots && s <= 32; ++s) {
        CardState *c = LoadCard(u, s);
        bool in = c && LookAt(c);
        NoteSeen(u, s, in ? c : nullptr);
        if (!in) continue;
        *mask |= 1u << (s - 1);
        if (!lowest) {
            lowest = s;
            NoteSeen(u, vd::kSeenVd, c);
        }
    }
    if (!lowest) NoteSeen(u, vd::kSeenVd, nullptr);
    return lowest;
}

Verdict Backend::Judge(UnitState *u, uint32_t op, const SlotSet &slots, uint64_t lba, uint64_t count)
{
    Verdict v;
    bool transfer = op == vbus::OpRead || op == vbus::OpWrite;
    std::vector<const vbus::FaultRule *> met;
    for (const auto &r : u->unit.faults) {
        if (!(r.ops & op)) continue;
        if (std::find(slots.at.begin(), slots.at.begin() + slots.n, r.slot) == slots.at.begin() + slots.n) continue;
        if (transfer && (lba + count - 1 < r.lbaFirst || lba > r.lbaLast)) continue;
        met.push_back(&r);
    }
    if (met.empty()) return v;
    // Every process on the bus counts the same hits: count from the file, under
    // a lock of its own, so programs meeting one rule at once lose no hit and
    // none waits behind a change of the description (that lock is tvqunit's).
    // The lock is held for a read and a rename only, so waiting for it is short
    // and fair. Where it cannot be had (a read-only bus) this process counts
    // alone and never overwrites what others counted.
    const std::string dir = UnitDir(u->unit.name);
    CountsLock lock(dir);
    if (lock.Locked()) LoadCounts(dir, u);
    for (const vbus::FaultRule *rp : met) {
        const vbus::FaultRule &r = *rp;
        vbus::RuleCounts &c = u->counts[r.id];
        ++c.hits;
        u->countsDirty = true;
        bool fire = false;
        switch (r.count) {
        case vbus::Count::Off: break;
        case vbus::Count::Always: fire = true; break;
        case vbus::Count::Next: fire = c.fires < r.n; break;
        case vbus::Count::Every: fire = r.n > 0 && c.hits % r.n == 0; break;
        case vbus::Count::After: fire = c.hits > r.n; break;
        }
        if (!fire) continue;
        if (r.effect == vbus::Effect::Delay) {
            v.delayMs += r.arg;
            ++c.fires;
        } else if (!v.rule) {
            // The first rule with an outcome decides; the rest wait for another call.
            v.rule = &r;
            ++c.fires;
        }
    }
    if (lock.Locked()) SaveCounts(u->unit.name, u);
    return v;
}

void Backend::SaveCounts(const std::string &name, UnitState *u)
{
    if (!u->countsDirty) return;
    u->countsDirty = false;
    vbus::WriteFileAtomic(UnitDir(name) + "/" + vbus::kCountsFile, vbus::CountsText(u->counts), false);
}

int64_t Backend::Pace(UnitState *u, uint64_t bytes, uint32_t extraMs, int64_t startNs, const CardSet *cards)
{
    const vbus::UnitDesc &d = u->unit.unitDesc;
    std::array<uint64_t, vbus::kMaxTargets> limits{};
    std::array<int64_t *, vbus::kMaxTargets> booked{};
    size_t n = 0;
    bool slow = d.callDelayMs != 0 || extraMs != 0 || d.throttleBytesPerSecond != 0;
    for (size_t i = 0; cards && i < cards->n; ++i) {
        limits[n] = cards->at[i]->card.throttleBytesPerSecond;
        booked[n] = &cards->at[i]->busyUntil;
        slow = slow || limits[n++] != 0;
    }
    if (!slow) return 0;
    return vbus::Reserve(d, &u->busUntil, booked.data(), limits.data(), n, bytes, extraMs, startNs);
}

}  // namespace qev
