#include "Backend.h"

#include "FatFormat.h"
#include "TargetLock.h"

#include <algorithm>
#include <cerrno>
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

constexpr uint32_t kSector = 512;
constexpr uint32_t kMaxSectorsPerCall = 128;
const int32_t kDataProtect = QEV_SENSE(0x07, 0x27, 0x00);
const int32_t kFormatFailed = QEV_SENSE(0x03, 0x31, 0x01);

FileSig StatSig(const std::string &path)
{
    FileSig s;
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return s;
    s.exists = true;
    s.dev = static_cast<uint64_t>(st.st_dev);
    s.ino = static_cast<uint64_t>(st.st_ino);
    s.size = static_cast<uint64_t>(st.st_size);
    s.mtimeNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    s.ctimeNs = static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
    return s;
}

int64_t NowNs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
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

void Pad(uint8_t *dst, const std::string &src, size_t len)
{
    std::memset(dst, ' ', len);
    std::memcpy(dst, src.data(), std::min(src.size(), len));
}

void Le32(uint8_t *p, uint32_t v)
{
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

int32_t SenseOf(const vbus::FaultRule &r)
{
    return QEV_SENSE(r.key, r.asc, r.ascq);
}

// Hands a small result (INQUIRY data, a record) to the caller as the rule says.
int32_t Deliver(const Verdict &v, const uint8_t *data, size_t len, uint8_t *out, int32_t ok)
{
    const vbus::FaultRule *r = v.rule;
    if (!r) {
        std::memcpy(out, data, len);
        return ok;
    }
    switch (r->effect) {
    case vbus::Effect::Sense: return SenseOf(*r);
    case vbus::Effect::Drop: return QEV_OK;
    case vbus::Effect::Short:
        std::memcpy(out, data, std::min<size_t>(r->arg, len));
        return r->key != 0 ? SenseOf(*r) : ok;
    case vbus::Effect::Corrupt:
        std::memcpy(out, data, len);
        if (len > 0) out[r->arg % len] ^= 0xFF;
        return ok;
    case vbus::Effect::Delay: break;
    }
    std::memcpy(out, data, len);
    return ok;
}

// Inverts one byte of every sector inside the rule's range.
void Corrupt(const vbus::FaultRule &r, uint8_t *buf, uint64_t lba, uint32_t count)
{
    for (uint32_t i = 0; i < count; ++i) {
        uint64_t s = lba + i;
        if (s >= r.lbaFirst && s <= r.lbaLast) buf[i * kSector + r.arg % kSector] ^= 0xFF;
    }
}

bool PreadAll(int fd, uint8_t *buf, size_t len, uint64_t off)
{
    while (len > 0) {
        ssize_t n = ::pread(fd, buf, len, static_cast<off_t>(off));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        buf += n;
        len -= static_cast<size_t>(n);
        off += static_cast<uint64_t>(n);
    }
    return true;
}

bool PwriteAll(int fd, const uint8_t *buf, size_t len, uint64_t off)
{
    while (len > 0) {
        ssize_t n = ::pwrite(fd, buf, len, static_cast<off_t>(off));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        buf += n;
        len -= static_cast<size_t>(n);
        off += static_cast<uint64_t>(n);
    }
    return true;
}

}  // namespace

Backend &Backend::Get()
{
    static Backend *b = new Backend;  // never destroyed: calls may come during exit
    return *b;
}

void Backend::Refresh()
{
    std::string bus = vbus::DefaultBusDir();
    while (bus.size() > 1 && bus.back() == '/') bus.pop_back();
    if (bus != bus_) {
        for (auto &kv : images_) ::close(kv.second.fd);
        images_.clear();
        units_.clear();
        targets_.clear();
        watched_.clear();
        if (inotify_ >= 0) ::close(inotify_);
        // QEVCRDIO_NO_WATCH: stat everything on every call, as when inotify is unavailable.
        const char *noWatch = std::getenv("QEVCRDIO_NO_WATCH");
        inotify_ = noWatch && *noWatch ? -1 : ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        bus_ = bus;
        ++gen_;
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
    if (changed) ++gen_;
    Watch(bus_);
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
    std::string dir = UnitDir(name);
    UnitState &u = units_[name];
    if (u.gen == gen_) return u.ok ? &u : nullptr;
    u.gen = gen_;
    Watch(dir);
    FileSig sig = StatSig(dir + "/" + vbus::kUnitFile);
    if (sig != u.sig || !sig.exists) {
        u.sig = sig;
        u.ok = false;
        std::string text, why;
        if (sig.exists && vbus::ReadTextFile(dir + "/" + vbus::kUnitFile, &text))
            u.ok = vbus::ParseUnitDesc(text, &u.unitDesc, &why);
    }
    if (!u.ok) return nullptr;
    LoadFaults(dir, &u);
    return &u;
}

void Backend::LoadFaults(const std::string &dir, UnitState *u)
{
    FileSig sig = StatSig(dir + "/" + vbus::kFaultsFile);
    if (sig == u->faultSig) return;
    u->faultSig = sig;
    u->rules.clear();
    std::string text, why;
    uint32_t next;
    if (!sig.exists || !vbus::ReadTextFile(dir + "/" + vbus::kFaultsFile, &text) ||
        !vbus::ParseFaults(text, &u->rules, &next, &why))
        u->rules.clear();  // a malformed rule file injects nothing
    // Counts on disk are ours (saved after every call that met a rule).
    std::string ct;
    std::map<uint32_t, vbus::RuleCounts> disk;
    if (vbus::ReadTextFile(dir + "/" + vbus::kCountsFile, &ct)) disk = vbus::ParseCounts(ct);
    u->counts.clear();
    for (const auto &r : u->rules) {
        auto it = disk.find(r.id);
        u->counts[r.id] = it != disk.end() ? it->second : vbus::RuleCounts{};
    }
}

const vbus::Card *Backend::LoadCard(const std::string &dir, UnitState *u, int slot)
{
    CardState &c = u->cards[slot];
    if (c.gen == gen_) return c.present ? &c.card : nullptr;
    c.gen = gen_;
    c.present = false;
    std::string path = dir + "/" + vbus::SlotFileName(slot);
    FileSig sig = StatSig(path);
    if (sig != c.sig || !sig.exists) {
        c.sig = sig;
        c.parsed = false;
        std::string text, why;
        if (sig.exists && vbus::ReadTextFile(path, &text)) c.parsed = vbus::ParseCard(text, dir, &c.card, &why);
        c.card.slot = slot;
    }
    if (!c.parsed) return nullptr;
    auto slash = c.card.image.rfind('/');
    if (slash != std::string::npos) Watch(slash == 0 ? "/" : c.card.image.substr(0, slash));
    struct stat st;
    // A card whose image is gone (or is no file) is not in its slot.
    if (::stat(c.card.image.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
    if (c.card.params.totalSectors == 0)  // no parameters given: those of its size
        c.card.params = vbus::DefaultDriveParams(static_cast<uint64_t>(st.st_size));
    c.present = true;
    return &c.card;
}

int32_t Backend::Resolve(uint32_t target, TargetRef *ref, UnitState **unit)
{
    Refresh();
    if (target >= targets_.size()) return QEV_E_NO_TARGET;
    *ref = targets_[target];
    UnitState *u = LoadUnit(ref->unit);
    if (!u || !u->unitDesc.connected || ref->target >= static_cast<int>(u->unitDesc.targets)) return QEV_E_NO_TARGET;
    *unit = u;
    return QEV_OK;
}

std::vector<CardRef> Backend::Cards(const TargetRef &ref, UnitState *u, bool allForVd)
{
    std::vector<CardRef> out;
    std::string dir = UnitDir(ref.unit);
    int slots = static_cast<int>(u->unitDesc.targets) - 1;
    int first = ref.slot == 0 ? 1 : ref.slot;
    int last = ref.slot == 0 ? slots : ref.slot;
    for (int s = first; s <= last; ++s) {
        CardRef c;
        c.slot = s;
        c.card = LoadCard(dir, u, s);
        if (!c.card) continue;
        out.push_back(c);
        if (ref.slot == 0 && !allForVd) break;
    }
    return out;
}

int Backend::MirroredSlot(const std::string &dir, UnitState *u, uint32_t *mask)
{
    int lowest = 0;
    *mask = 0;
    int slots = static_cast<int>(u->unitDesc.targets) - 1;
    for (int s = 1; s <= slots && s <= 32; ++s) {
        if (!LoadCard(dir, u, s)) continue;
        *mask |= 1u << (s - 1);
        if (!lowest) lowest = s;
    }
    return lowest;
}

Verdict Backend::Judge(UnitState *u, uint32_t op, const std::vector<int> &slots, uint64_t lba, uint64_t count)
{
    Verdict v;
    bool transfer = op == vbus::OpRead || op == vbus::OpWrite;
    for (const auto &r : u->rules) {
        if (!(r.ops & op)) continue;
        if (std::find(slots.begin(), slots.end(), r.slot) == slots.end()) continue;
        if (transfer && (lba + count - 1 < r.lbaFirst || lba > r.lbaLast)) continue;
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
    return v;
}

void Backend::SaveCounts(const std::string &name, UnitState *u)
{
    if (!u->countsDirty) return;
    u->countsDirty = false;
    vbus::WriteFileAtomic(UnitDir(name) + "/" + vbus::kCountsFile, vbus::CountsText(u->counts));
}

void Backend::Pace(const UnitState *u, uint64_t bytes, uint32_t extraMs, int64_t startNs)
{
    int64_t wait = static_cast<int64_t>(u->unitDesc.callDelayMs + extraMs) * 1000000;
    if (u->unitDesc.throttleBytesPerSecond > 0)
        wait += static_cast<int64_t>(static_cast<long double>(bytes) * 1e9L /
                                     static_cast<long double>(u->unitDesc.throttleBytesPerSecond));
    if (wait > 0) SleepUntil(startNs + wait);
}

int Backend::ImageFd(const std::string &path, bool *writable, uint64_t *size)
{
    auto it = images_.find(path);
    if (it != images_.end() && it->second.gen != gen_) {
        struct stat st;
        // Checked once a round: a file renamed over the old one is opened anew.
        if (::stat(path.c_str(), &st) != 0 || it->second.dev != static_cast<uint64_t>(st.st_dev) ||
            it->second.ino != static_cast<uint64_t>(st.st_ino)) {
            ::close(it->second.fd);
            images_.erase(it);
            it = images_.end();
        } else {
            it->second.gen = gen_;
        }
    }
    if (it == images_.end()) {
        if (images_.size() >= 64) {
            for (auto &kv : images_) ::close(kv.second.fd);
            images_.clear();
        }
        Image img;
        img.fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
        img.writable = img.fd >= 0;
        if (img.fd < 0) img.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (img.fd < 0) return -1;
        struct stat fst;
        if (::fstat(img.fd, &fst) != 0 || !S_ISREG(fst.st_mode)) {
            ::close(img.fd);
            return -1;
        }
        img.dev = static_cast<uint64_t>(fst.st_dev);
        img.ino = static_cast<uint64_t>(fst.st_ino);
        img.gen = gen_;
        it = images_.emplace(path, img).first;
    }
    struct stat st;
    if (::fstat(it->second.fd, &st) != 0) return -1;
    *size = static_cast<uint64_t>(st.st_size);
    *writable = it->second.writable;
    return it->second.fd;
}

void Backend::DropImage(const std::string &path)
{
    auto it = images_.find(path);
    if (it == images_.end()) return;
    ::close(it->second.fd);
    images_.erase(it);
}

void Backend::FillRecord(const TargetRef &, uint32_t index, const vbus::Card *card, QevSlotRecord *rec)
{
    uint8_t letter = static_cast<uint8_t>('E' + std::min<uint32_t>(index, 21));
    std::memset(rec, 0, sizeof *rec);
    rec->DriveLetter = letter;
    if (!card) return;
    vbus::DriveParams p = card->params;
    rec->CardPresent = 1;
    rec->Cylinders = p.cylinders;
    rec->Heads = p.heads;
    rec->TotalSectors = p.totalSectors;
    rec->SectorsPerTrack = p.sectorsPerTrack;
    rec->SectorSize = p.sectorSize;
    rec->WaitCheck = p.waitCheck;
    rec->AccessTiming = p.accessTiming;
}

void Backend::Inquiry36(const vbus::UnitDesc &unitDesc, uint8_t *d)
{
    std::memset(d, 0, 36);
    d[0] = 0x00;  // direct-access block device
    d[1] = 0x80;  // removable medium
    d[2] = 0x02;  // version
    d[3] = 0x02;  // response data format
    d[4] = 0x1F;  // additional length: 36 bytes in all
    Pad(d + 8, unitDesc.vendor, 8);
    Pad(d + 16, unitDesc.product, 16);
    Pad(d + 32, unitDesc.revision, 4);
}

namespace {

std::vector<std::string> ListDevices(const std::string &bus)
{
    std::vector<std::string> names;
    DIR *d = ::opendir(bus.c_str());
    if (!d) return names;
    while (struct dirent *e = ::readdir(d)) {
        if (e->d_name[0] == '.') continue;
        names.push_back(e->d_name);
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

// Slot of target t of a device: the VD first, or last with flag 0x200.
int SlotOfTarget(const vbus::UnitDesc &unitDesc, int t)
{
    int n = static_cast<int>(unitDesc.targets);
    if (unitDesc.fw.flags & 0x200) return t == n - 1 ? 0 : t + 1;
    return t;
}

}  // namespace

int32_t Backend::Scan(QevScFilter filter, const char *nameFilter, QevSlotRecord *table)
{
    std::lock_guard<std::recursive_mutex> lock(mu_);
    Refresh();
    std::string want = nameFilter ? nameFilter : "";
    std::vector<TargetRef> found;
    for (const std::string &name : ListDevices(bus_)) {
        UnitState *u = LoadUnit(name);
        if (!u || !u->unitDesc.connected) continue;
        if (!want.empty() && u->unitDesc.bridge.find(want) == std::string::npos) continue;
        int64_t start = NowNs();
        // Rules of the whole device: leave out its last targets, or all of it.
        Verdict all = Judge(u, vbus::OpScan, {vbus::kAnySlot}, 0, 0);
        int n = static_cast<int>(u->unitDesc.targets);
        if (all.rule) {
            switch (all.rule->effect) {
            case vbus::Effect::Sense: n = 0; break;
            case vbus::Effect::Drop: n -= static_cast<int>(std::max<uint32_t>(all.rule->arg, 1)); break;
            case vbus::Effect::Short: n = std::min<int>(n, static_cast<int>(all.rule->arg)); break;
            default: break;
            }
        }
        std::vector<TargetRef> mine;
        for (int t = 0; t < n; ++t) {
            TargetRef ref{name, t, SlotOfTarget(u->unitDesc, t)};
            Verdict one = Judge(u, vbus::OpScan, {ref.slot}, 0, 0);
            if (one.rule) continue;  // this target does not answer this time
            mine.push_back(ref);
        }
        SaveCounts(name, u);
        Pace(u, 0, all.delayMs, start);
        for (const auto &ref : mine) {
            uint8_t inq[36];
            Inquiry36(u->unitDesc, inq);
            // The filter may call back into the library; u stays valid (units_ is a map).
            bool accept = !filter || filter(inq) != 0;
            if (!accept || found.size() >= QEV_MAX_TARGETS) continue;
            if (table) {
                std::vector<CardRef> cards = Cards(ref, u, false);
                FillRecord(ref, static_cast<uint32_t>(found.size()), cards.empty() ? nullptr : cards[0].card,
                           &table[found.size()]);
            }
            found.push_back(ref);
        }
    }
    targets_ = found;
    return static_cast<int32_t>(found.size());
}

int32_t Backend::Lock(uint32_t target)
{
    std::lock_guard<std::recursive_mutex> lock(mu_);
    TargetRef ref;
    UnitState *u;
    if (int32_t rc = Resolve(target, &ref, &u)) return rc;
    int64_t start = NowNs();
    Verdict v = Judge(u, vbus::OpLock, {vbus::kAnySlot, ref.slot}, 0, 0);
    SaveCounts(ref.unit, u);
    Pace(u, 0, v.delayMs, start);
    if (v.rule && v.rule->effect == vbus::Effect::Sense) return SenseOf(*v.rule);
    if (!v.rule || v.rule->effect != vbus::Effect::Drop) {
        if (TakeTargetLock(UnitDir(ref.unit), ref.target) > 0) return QEV_E_LOCKED;
        vbus::AppendCall(bus_, "lock " + std::to_string(target) + " " + ref.unit + " " + std::to_string(ref.target));
    }
    return QEV_OK;
}

int32_t Backend::Inquiry(uint32_t target, uint32_t allocLen, uint8_t *buffer)
{
    std::lock_guard<std::recursive_mutex> lock(mu_);
    if (!buffer && allocLen > 0) return QEV_E_INVALID_FIELD;
    TargetRef ref;
    UnitState *u;
    if (int32_t rc = Resolve(target, &ref, &u)) return rc;
    int64_t start = NowNs();
    Verdict v = Judge(u, vbus::OpInquiry, {vbus::kAnySlot, ref.slot}, 0, 0);
    SaveCounts(ref.unit, u);
    Pace(u, 36, v.delayMs, start);
    uint8_t inq[36];
    Inquiry36(u->unitDesc, inq);
    return Deliver(v, inq, std::min<uint32_t>(allocLen, 36), buffer, QEV_OK);
}

int32_t Backend::ReadBuffer(uint32_t target, uint32_t mode, uint32_t id, uint32_t offset, uint8_t *buffer,
                            uint32_t allocLen)
{
    std::lock_guard<std::recursive_mutex> lock(mu_);
    if (!buffer && allocLen > 0) return QEV_E_INVALID_FIELD;
    TargetRef ref;
    UnitState *u;
    if (int32_t rc = Resolve(target, &ref, &u)) return rc;
    if (mode != 2 || id != 4 || offset != 0x1000) return QEV_E_INVALID_FIELD;
    int64_t start = NowNs();
    Verdict v = Judge(u, vbus::OpReadBuffer, {vbus::kAnySlot, ref.slot}, 0, 0);
    SaveCounts(ref.unit, u);
    Pace(u, 128, v.delayMs, start);
    uint8_t blk[128];
    std::memset(blk, 0, sizeof blk);
    const vbus::Firmware &fw = u->unitDesc.fw;
    std::memcpy(blk, fw.signature.data(), std::min<size_t>(fw.signature.size(), 4));
    Le32(blk + 4, fw.bios);
    Le32(blk + 8, fw.flags);
    Le32(blk + 12, fw.productCode);
    Le32(blk + 16, fw.cardIf);
    Pad(blk + 32, fw.vendorText, 8);
    Pad(blk + 40, fw.productName, 16);
    return Deliver(v, blk, std::min<uint32_t>(allocLen, 128), buffer, QEV_OK);
}

int32_t Backend::DriveInfo(uint32_t target, QevSlotRecord *record)
{
    std::lock_guard<std::recursive_mutex> lock(mu_);
    if (!record) return QEV_E_INVALID_FIELD;
    TargetRef ref;
    UnitState *u;
    if (int32_t rc = Resolve(target, &ref, &u)) return rc;
    int64_t start = NowNs();
    std::vector<CardRef> cards = Cards(ref, u, false);
    std::vector<int> slots{vbus::kAnySlot, ref.slot};
    if (!cards.empty() && cards[0].slot != ref.slot) slots.push_back(cards[0].slot);
    Verdict v = Judge(u, vbus::OpDriveInfo, slots, 0, 0);
    SaveCounts(ref.unit, u);
    Pace(u, sizeof *record, v.delayMs, start);
    QevSlotRecord rec;
    FillRecord(ref, target, cards.empty() ? nullptr : cards[0].card, &rec);
    NoteTargetHolder(UnitDir(ref.unit), ref.target, &rec);
    return Deliver(v, reinterpret_cast<const uint8_t *>(&rec), sizeof rec, reinterpret_cast<uint8_t *>(record),
                   cards.empty() ? QEV_E_NO_MEDIUM : QEV_OK);
}

int32_t Backend::SlotStatus(uint32_t target, QevSlotStatus *status)
{
    std::lock_guard<std::recursive_mutex> lock(mu_);
    if (!status) return QEV_E_INVALID_FIELD;
    TargetRef ref;
    UnitState *u;
    if (int32_t rc = Resolve(target, &ref, &u)) return rc;
    int64_t start = NowNs();
    Verdict v = Judge(u, vbus::OpSlotStatus, {vbus::kAnySlot, ref.slot}, 0, 0);
    SaveCounts(ref.unit, u);
    Pace(u, sizeof *status, v.delayMs, start);
    QevSlotStatus st;
    std::memset(&st, 0, sizeof st);
    int lowest = MirroredSlot(UnitDir(ref.unit), u, &st.CardMask);
    st.VdTarget = lowest > 0 ? static_cast<uint32_t>(lowest - 1) : 0;
    return Deliver(v, reinterpret_cast<const uint8_t *>(&st), sizeof st, reinterpret_cast<uint8_t *>(status),
                   QEV_OK);
}

int32_t Backend::Transfer(uint32_t target, uint32_t lba, uint32_t count, uint8_t *rbuf, const uint8_t *wbuf,
                          uint32_t bps)
{
    std::lock_guard<std::recursive_mutex> lock(mu_);
    bool write = wbuf != nullptr;
    if ((!rbuf && !wbuf) || bps != kSector || count == 0 || count > kMaxSectorsPerCall)
        return QEV_E_INVALID_FIELD;
    TargetRef ref;
    UnitState *u;
    if (int32_t rc = Resolve(target, &ref, &u)) return rc;
    int64_t start = NowNs();
    uint32_t op = write ? vbus::OpWrite : vbus::OpRead;
    size_t bytes = static_cast<size_t>(count) * kSector;
    std::vector<CardRef> cards = Cards(ref, u, write);

    // Rules of the target (and, for a VD read, of the card behind it) decide for the whole call.
    std::vector<int> slots{vbus::kAnySlot, ref.slot};
    if (!write && !cards.empty() && cards[0].slot != ref.slot) slots.push_back(cards[0].slot);
    Verdict v = Judge(u, op, slots, lba, count);
    // A VD write reaches every card; each card's own rules act on that card alone.
    std::vector<Verdict> per(cards.size());
    if (write && ref.slot == 0)
        for (size_t i = 0; i < cards.size(); ++i) per[i] = Judge(u, op, {cards[i].slot}, lba, count);
    SaveCounts(ref.unit, u);
    uint32_t delay = v.delayMs;
    for (const auto &p : per) delay += p.delayMs;
    Pace(u, bytes, delay, start);

    if (v.rule && v.rule->effect == vbus::Effect::Sense) return SenseOf(*v.rule);
    if (cards.empty()) return QEV_E_NO_MEDIUM;
    for (const auto &c : cards) {
        if (c.card->params.sectorSize != kSector) return QEV_E_INVALID_FIELD;
        if (static_cast<uint64_t>(lba) + count > c.card->params.totalSectors) return QEV_E_LBA_RANGE;
    }

    if (!write) {
        const CardRef &c = cards[0];
        uint32_t n = count;
        if (v.rule && v.rule->effect == vbus::Effect::Drop) return QEV_OK;
        if (v.rule && v.rule->effect == vbus::Effect::Short) n = std::min(count, v.rule->arg);
        bool writable;
        uint64_t imageSize = 0;
        int fd = ImageFd(c.card->image, &writable, &imageSize);
        if (fd < 0) return QEV_E_HARDWARE;
        uint64_t off = static_cast<uint64_t>(lba) * kSector;
        // A truncated image reads as a failing card, never as zeros.
        if (off + static_cast<uint64_t>(n) * kSector > imageSize) return QEV_E_HARDWARE;
        if (n > 0 && !PreadAll(fd, rbuf, static_cast<size_t>(n) * kSector, off)) return QEV_E_READ_ERROR;
        if (v.rule && v.rule->effect == vbus::Effect::Corrupt) Corrupt(*v.rule, rbuf, lba, n);
        if (v.rule && v.rule->effect == vbus::Effect::Short && v.rule->key != 0) return SenseOf(*v.rule);
        return QEV_OK;
    }

    if (v.rule && v.rule->effect == vbus::Effect::Drop) return QEV_OK;
    int32_t result = QEV_OK;
    std::vector<uint8_t> scratch;
    for (size_t i = 0; i < cards.size(); ++i) {
        const CardRef &c = cards[i];
        const vbus::FaultRule *r = per[i].rule ? per[i].rule : v.rule;
        int32_t rc = QEV_OK;
        uint32_t n = count;
        const uint8_t *src = wbuf;
        if (r) {
            switch (r->effect) {
            case vbus::Effect::Sense: rc = SenseOf(*r); n = 0; break;
            case vbus::Effect::Drop: n = 0; break;
            case vbus::Effect::Short:
                n = std::min(count, r->arg);
                if (r->key != 0) rc = SenseOf(*r);
                break;
            case vbus::Effect::Corrupt:
                scratch.assign(wbuf, wbuf + bytes);
                Corrupt(*r, scratch.data(), lba, count);
                src = scratch.data();
                break;
            case vbus::Effect::Delay: break;
            }
        }
        if (n > 0) {
            bool writable = false;
            uint64_t imageSize = 0;
            int fd = ImageFd(c.card->image, &writable, &imageSize);
            uint64_t off = static_cast<uint64_t>(lba) * kSector;
            if (fd < 0) rc = QEV_E_HARDWARE;
            else if (!writable) rc = kDataProtect;
            // Never grow a truncated image: the card is failing, not larger.
            else if (off + static_cast<uint64_t>(n) * kSector > imageSize) rc = QEV_E_HARDWARE;
            else if (!PwriteAll(fd, src, static_cast<size_t>(n) * kSector, off)) rc = QEV_E_WRITE_ERROR;
        }
        if (rc != QEV_OK && result == QEV_OK) result = rc;
    }
    return result;
}

int32_t Backend::Read(uint32_t target, uint32_t lba, uint32_t count, void *buffer, uint32_t bps)
{
    if (!buffer) return QEV_E_INVALID_FIELD;
    return Transfer(target, lba, count, static_cast<uint8_t *>(buffer), nullptr, bps);
}

int32_t Backend::Write(uint32_t target, uint32_t lba, uint32_t count, const void *buffer, uint32_t bps)
{
    if (!buffer) return QEV_E_INVALID_FIELD;
    return Transfer(target, lba, count, nullptr, static_cast<const uint8_t *>(buffer), bps);
}

int32_t Backend::Eject(uint32_t target)
{
    std::lock_guard<std::recursive_mutex> lock(mu_);
    TargetRef ref;
    UnitState *u;
    if (Resolve(target, &ref, &u) != QEV_OK) return 0;
    int64_t start = NowNs();
    std::vector<CardRef> cards = Cards(ref, u, false);
    std::vector<int> slots{vbus::kAnySlot, ref.slot};
    if (!cards.empty() && cards[0].slot != ref.slot) slots.push_back(cards[0].slot);
    Verdict v = Judge(u, vbus::OpEject, slots, 0, 0);
    SaveCounts(ref.unit, u);
    Pace(u, 0, v.delayMs, start);
    if (v.rule && v.rule->effect == vbus::Effect::Drop) return 1;  // claims success, card stays
    if (v.rule || cards.empty()) return 0;
    std::string image = cards[0].card->image;
    if (!vbus::MoveCardOut(UnitDir(ref.unit), cards[0].slot)) return 0;
    DropImage(image);
    return 1;
}

int32_t Backend::Format(uint32_t target, QevSlotRecord *record)
{
    std::lock_guard<std::recursive_mutex> lock(mu_);
    TargetRef ref;
    UnitState *u;
    if (int32_t rc = Resolve(target, &ref, &u)) return rc;
    int64_t start = NowNs();
    std::vector<CardRef> cards = Cards(ref, u, true);
    std::vector<int> slots{vbus::kAnySlot, ref.slot};
    for (const auto &c : cards)
        if (c.slot != ref.slot) slots.push_back(c.slot);
    Verdict v = Judge(u, vbus::OpFormat, slots, 0, 0);
    SaveCounts(ref.unit, u);
    Pace(u, 0, v.delayMs, start);
    if (v.rule && v.rule->effect != vbus::Effect::Drop && v.rule->effect != vbus::Effect::Corrupt)
        return v.rule->key != 0 ? SenseOf(*v.rule) : kFormatFailed;
    if (cards.empty()) return QEV_E_NO_MEDIUM;
    if (!(v.rule && v.rule->effect == vbus::Effect::Drop)) {
        for (const auto &c : cards) {
            const vbus::DriveParams &p = c.card->params;
            if (p.sectorSize != kSector) return QEV_E_INVALID_FIELD;
            bool writable = false;
            uint64_t imageSize = 0;
            int fd = ImageFd(c.card->image, &writable, &imageSize);
            if (fd < 0) return QEV_E_HARDWARE;
            if (!writable) return kDataProtect;
            uint64_t limit = std::min<uint64_t>(imageSize / kSector, p.totalSectors);
            auto writer = [&](uint32_t lba, uint32_t n, const uint8_t *data) {
                if (static_cast<uint64_t>(lba) + n > limit) return false;
                return PwriteAll(fd, data, static_cast<size_t>(n) * kSector, static_cast<uint64_t>(lba) * kSector);
            };
            fat::Options opt;
            opt.volumeId = static_cast<uint32_t>(NowNs() / 1000) ^ static_cast<uint32_t>(c.slot);
            if (p.sectorsPerTrack > 0 && p.sectorsPerTrack < 65536)
                opt.sectorsPerTrack = static_cast<uint16_t>(p.sectorsPerTrack);
            if (p.heads > 0 && p.heads < 65536) opt.heads = static_cast<uint16_t>(p.heads);
            if (static_cast<uint64_t>(p.totalSectors) * kSector > imageSize) return QEV_E_HARDWARE;
            if (!fat::Format(p.totalSectors, writer, opt)) return kFormatFailed;
            // A corrupting rule spoils the boot sector after the fact.
            if (v.rule && v.rule->effect == vbus::Effect::Corrupt) {
                uint8_t b = 0;
                if (PreadAll(fd, &b, 1, 510)) {
                    b ^= 0xFF;
                    PwriteAll(fd, &b, 1, 510);
                }
            }
        }
    }
    if (record) FillRecord(ref, target, cards[0].card, record);
    return QEV_OK;
}

int32_t Backend::Free()
{
    std::lock_guard<std::recursive_mutex> lock(mu_);
    Refresh();
    ReleaseAllTargetLocks();
    vbus::AppendCall(bus_, "free");
    return 1;
}

int32_t Backend::FreeEx(uint32_t target)
{
    std::lock_guard<std::recursive_mutex> lock(mu_);
    Refresh();
    if (target == 0xFF) {
        ReleaseAllTargetLocks();
        vbus::AppendCall(bus_, "freeex 255");
        return 1;
    }
    if (target >= targets_.size()) return 0;
    const TargetRef &ref = targets_[target];
    ReleaseTargetLock(UnitDir(ref.unit), ref.target);
    vbus::AppendCall(bus_, "freeex " + std::to_string(target) + " " + ref.unit + " " + std::to_string(ref.target));
    return 1;
}

}  // namespace qev
