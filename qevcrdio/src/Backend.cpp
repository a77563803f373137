#include "Backend.h"

#include "Bindings.h"
#include "Files.h"
#include "Store.h"
#include "TargetLock.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qev {

namespace {

// A call that meets a fault rule waits this long to count its hit.
constexpr int kCountsLockMs = 2000;

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

void SleepUntil(int64_t deadline)
{
    for (;;) {
        int64_t left = deadline - NowNs();
        if (left <= 0) return;
        struct timespec ts{static_cast<time_t>(left / 1000000000), static_cast<long>(left % 1000000000)};
        nanosleep(&ts, nullptr);
    }
}

Backend *g_backend = nullptr;
std::mutex g_backendMu;

}  // namespace

int64_t NowNs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}


Backend &Backend::Get()
{
    // Made on first use, gone at unload or exit; a call after that makes a fresh one.
    Backend *b = __atomic_load_n(&g_backend, __ATOMIC_ACQUIRE);
    if (b) return *b;
    std::lock_guard<std::mutex> lock(g_backendMu);
    if (!g_backend) {
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
    std::lock_guard<std::recursive_mutex> lock(mu_);
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
    watched_.clear();
    if (inotify_ >= 0) ::close(inotify_);
    inotify_ = -1;
}

void Backend::Refresh()
{
    // The bus may be another one by now (tests point QEVCRDIO_BUS elsewhere).
    const char *env = std::getenv("QEVCRDIO_BUS");
    bool same = busKnown_ && (env && *env ? busEnv_ == env : busEnv_.empty());
    if (!same) {
        std::string bus = vbus::DefaultBusDir();
        while (bus.size() > 1 && bus.back() == '/') bus.pop_back();
        busEnv_ = env && *env ? env : "";
        busKnown_ = true;
        if (bus != bus_ || (inotify_ < 0 && units_.empty())) {
            Reset();
            // QEVCRDIO_NO_WATCH: check everything on every call, as when inotify is unavailable.
            const char *noWatch = std::getenv("QEVCRDIO_NO_WATCH");
            inotify_ = noWatch && *noWatch ? -1 : ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
            bus_ = bus;
            ++gen_;
        }
    }
    bool changed = inotify_ < 0 || watchFailed_;
    watchFailed_ = false;
    if (inotify_ >= 0) {
        alignas(struct inotify_event) char buf[4096];
        for (;;) {
            ssize_t n = ::read(inotify_, buf, sizeof buf);
            if (n <= 0) break;
            changed = true;
            for (ssize_t off = 0; off + static_cast<ssize_t>(sizeof(struct inotify_event)) <= n;) {
                auto *ev = reinterpret_cast<struct inotify_event *>(buf + off);
                if (ev->mask & (IN_IGNORED | IN_Q_OVERFLOW)) watched_.clear();  // watches to be made again
                off += static_cast<ssize_t>(sizeof(struct inotify_event) + ev->len);
            }
        }
    }
    if (changed) {
        ++gen_;
        if (!bus_.empty()) Watch(bus_);
    }
}

void Backend::Watch(const std::string &dir)
{
    if (inotify_ < 0 || watched_.count(dir)) return;
    // Not IN_MODIFY: our own writes to the images would report themselves.
    uint32_t mask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_CLOSE_WRITE | IN_ATTRIB |
                    IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
    if (::inotify_add_watch(inotify_, dir.c_str(), mask) >= 0) watched_.insert(dir);
    else watchFailed_ = true;  // unwatched: check everything again next call
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
            if (it->second.derived) it->second.card.params = params;  // those of the medium, kept
            ++it;
        }
        if (u.ok)
            for (const auto &c : u.unit.cards)
                if (!u.cards.count(c.slot)) u.cards[c.slot].card = c;
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

namespace {

// What names a card for as long as it is in: a pulled card's image keeps its
// name and the next one gets a fresh one; a device's own cards go by the
// kernel's numbers (the device medium tells those apart).
std::string CardIdentity(const vbus::Card &c)
{
    return c.device.empty() ? "image:" + c.image : "device:" + c.device;
}

}  // namespace

namespace vd {
constexpr int kSeenVd = 0;
}

void Backend::NoteSeen(UnitState *u, int slot, const CardState *c)
{
    u->seen[slot] = c ? CardIdentity(c->card) : std::string();
}

bool Backend::MediumChanged(UnitState *u, const CardSet &cards, bool vd)
{
    bool changed = false;
    if (vd && cards.n > 0) {
        std::string id = CardIdentity(cards.at[0]->card);
        auto it = u->seen.find(vd::kSeenVd);
        if (it != u->seen.end() && it->second != id) changed = true;
        u->seen[vd::kSeenVd] = id;
    }
    for (size_t i = 0; i < cards.n; ++i) {
        std::string id = CardIdentity(cards.at[i]->card);
        auto it = u->seen.find(cards.at[i]->card.slot);
        if (it != u->seen.end() && it->second != id) changed = true;
        u->seen[cards.at[i]->card.slot] = id;
    }
    return changed;
}

int32_t Backend::Resolve(uint32_t target, TargetRef **ref, UnitState **unit)
{
    Refresh();
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
    // the unit's lock, so two programs meeting one rule at once lose no hit.
    // A lock that cannot be had counts on this process's own.
    const std::string dir = UnitDir(u->unit.name);
    vbus::UnitLock lock(dir, kCountsLockMs);
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
    SaveCounts(u->unit.name, u);
    return v;
}

void Backend::SaveCounts(const std::string &name, UnitState *u)
{
    if (!u->countsDirty) return;
    u->countsDirty = false;
    vbus::WriteFileAtomic(UnitDir(name) + "/" + vbus::kCountsFile, vbus::CountsText(u->counts), false);
}

void Backend::Pace(const UnitState *u, uint64_t bytes, uint32_t extraMs, int64_t startNs)
{
    const vbus::UnitDesc &d = u->unit.unitDesc;
    if (d.callDelayMs == 0 && extraMs == 0 && d.throttleBytesPerSecond == 0) return;
    int64_t wait = static_cast<int64_t>(d.callDelayMs + extraMs) * 1000000;
    if (d.throttleBytesPerSecond > 0)
        wait += static_cast<int64_t>(static_cast<long double>(bytes) * 1e9L /
                                     static_cast<long double>(d.throttleBytesPerSecond));
    if (wait > 0) SleepUntil(startNs + wait);
}

}  // namespace qev
