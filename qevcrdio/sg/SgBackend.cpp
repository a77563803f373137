#include "SgBackend.h"

#include "FatFormat.h"
#include "TargetLock.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/stat.h>
#include <unistd.h>

namespace sg {

namespace {

constexpr uint32_t kSector = 512;
constexpr uint32_t kMaxSectorsPerCall = 128;

SgBackend *g_sg = nullptr;
std::mutex g_sgMu;

// Lock files of a unit's targets: one folder per unit in the user's runtime folder.
std::string LockDirOf(const std::string &key)
{
    const char *rt = std::getenv("XDG_RUNTIME_DIR");
    std::string base = rt && *rt == '/' ? std::string(rt) + "/qevcrdio" : "/tmp/qevcrdio-" + std::to_string(getuid());
    ::mkdir(base.c_str(), 0700);
    std::string name = "sg-";
    for (char c : key) name += (std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-') ? c : '_';
    if (name.size() > 200) name.resize(200);
    std::string dir = base + "/" + name;
    ::mkdir(dir.c_str(), 0700);
    return dir;
}

int32_t HoldError(int err)
{
    return err == EACCES || err == EPERM ? QEV_E_NO_ACCESS : QEV_E_IN_USE;
}

}  // namespace

SgBackend &SgBackend::Get()
{
    SgBackend *b = __atomic_load_n(&g_sg, __ATOMIC_ACQUIRE);
    if (b) return *b;
    std::lock_guard<std::mutex> lock(g_sgMu);
    if (!g_sg) {
        __atomic_store_n(&g_sg, new SgBackend(ActivePort()), __ATOMIC_RELEASE);
        // At unload or exit: written data flushed, nodes closed.
        std::atexit([] {
            try {
                Shutdown();
            } catch (...) {
            }
        });
    }
    return *g_sg;
}

void SgBackend::Shutdown()
{
    std::lock_guard<std::mutex> lock(g_sgMu);
    SgBackend *b = g_sg;
    __atomic_store_n(&g_sg, static_cast<SgBackend *>(nullptr), __ATOMIC_RELEASE);
    delete b;
}

SgBackend::SgBackend(Port &port) : port_(port) {}

SgBackend::~SgBackend()
{
    std::lock_guard<std::recursive_mutex> lock(mu_);
    SettleAll();
    targets_.clear();
    units_.clear();
}

bool SgBackend::Settle(Unit &u, size_t lun)
{
    bool ok = true;
    Target &t = *u.luns[lun];
    if (t.Dirty()) {
        int32_t rc = t.Sync();
        ok = rc == QEV_OK || rc == QEV_E_NO_MEDIUM;
    }
    Release(u, lun);
    return ok;
}

bool SgBackend::SettleAll()
{
    bool ok = true;
    for (auto &u : units_)
        for (size_t i = 0; i < u->luns.size(); ++i) ok = Settle(*u, i) && ok;
    return ok;
}

void SgBackend::Release(Unit &u, size_t lun)
{
    if (u.holds[lun] >= 0) port_.ReleaseDisk(u.holds[lun]);
    u.holds[lun] = -1;
}

int32_t SgBackend::Scan(QevScFilter filter, const char *nameFilter, QevSlotRecord *table)
{
    std::lock_guard<std::recursive_mutex> lock(mu_);
    std::string want = nameFilter ? nameFilter : "";
    // Targets of the last scan keep their open node and what they wrote.
    std::map<std::string, std::unique_ptr<Target>> kept;
    for (auto &u : units_)
        for (size_t i = 0; i < u->luns.size(); ++i) {
            Settle(*u, i);
            kept[u->luns[i]->node().sgPath] = std::move(u->luns[i]);
        }
    units_.clear();
    targets_.clear();

    std::vector<Ref> found;
    for (UnitNodes &g : GroupUnits(port_.List())) {
        auto u = std::make_unique<Unit>();
        u->key = g.key;
        u->bridge = g.bridge;
        for (Node &n : g.luns) {
            auto it = kept.find(n.sgPath);
            if (it != kept.end() && it->second->node().unitKey == n.unitKey && it->second->node().lun == n.lun) {
                u->luns.push_back(std::move(it->second));
                kept.erase(it);
            } else {
                u->luns.push_back(std::make_unique<Target>(port_, n));
            }
            u->holds.push_back(-1);
        }
        Unit *unit = u.get();
        units_.push_back(std::move(u));
        for (size_t i = 0; i < unit->luns.size(); ++i) {
            uint8_t inq[36] = {};
            if (unit->luns[i]->Inquiry(inq, sizeof inq) != QEV_OK) continue;
            if (!BridgePasses(unit->bridge, want, inq)) continue;
            // The filter may call back into the library: it sees the targets of the last scan.
            bool accept = !filter || filter(inq) != 0;
            if (!accept || found.size() >= QEV_MAX_TARGETS) continue;
            found.push_back(Ref{unit, i});
        }
    }
    for (auto &u : units_)
        if (std::any_of(found.begin(), found.end(), [&](const Ref &r) { return r.unit == u.get(); }))
            u->lockDir = LockDirOf(u->key);
    targets_ = found;
    if (table) {
        for (size_t i = 0; i < found.size(); ++i) {
            sg::Params p;
            Fill(static_cast<uint32_t>(i), Params(found[i], &p) == QEV_OK ? &p : nullptr, &table[i]);
        }
        for (size_t i = found.size(); i < QEV_MAX_TARGETS; ++i) std::memset(&table[i], 0, sizeof table[i]);
    }
    std::string note = "scan: " + std::to_string(found.size()) + " target(s) accepted";
    for (auto &u : units_) note += "; unit " + u->key + " bridge \"" + u->bridge + "\" " +
                                   std::to_string(u->luns.size()) + " LUN(s)";
    TraceNote(note);
    return static_cast<int32_t>(found.size());
}

int32_t SgBackend::Resolve(uint32_t target, Ref *ref)
{
    if (target >= targets_.size()) return QEV_E_NO_TARGET;
    *ref = targets_[target];
    return QEV_OK;
}

uint32_t SgBackend::Flags(Unit &u)
{
    if (!u.fwKnown) {
        uint8_t blk[128] = {};
        if (u.luns[0]->ReadBuffer(2, 4, 0x1000, blk, sizeof blk) == QEV_OK && std::memcmp(blk, "T210", 4) == 0) {
            u.flags = static_cast<uint32_t>(blk[8] | blk[9] << 8 | blk[10] << 16 | static_cast<uint32_t>(blk[11]) << 24);
            u.fwKnown = true;
        }
    }
    return u.flags;
}

size_t SgBackend::LunOfSlot(Unit &u, int slot)
{
    size_t n = u.luns.size();
    if (VdLast(u)) return slot == 0 ? n - 1 : static_cast<size_t>(slot - 1);
    return static_cast<size_t>(slot);
}

int SgBackend::SlotOfLun(Unit &u, size_t lun)
{
    size_t n = u.luns.size();
    if (VdLast(u)) return lun == n - 1 ? 0 : static_cast<int>(lun) + 1;
    return static_cast<int>(lun);
}

void SgBackend::Fill(uint32_t index, const sg::Params *p, QevSlotRecord *rec)
{
    std::memset(rec, 0, sizeof *rec);
    rec->DriveLetter = static_cast<uint8_t>('E' + std::min<uint32_t>(index, 21));
    if (!p) return;
    rec->CardPresent = 1;
    rec->Cylinders = p->cylinders;
    rec->Heads = p->heads;
    rec->TotalSectors = p->totalSectors;
    rec->SectorsPerTrack = p->sectorsPerTrack;
    rec->SectorSize = p->sectorSize;
    rec->WaitCheck = p->waitCheck;
    rec->AccessTiming = p->accessTiming;
    if (!p->fromIdentify) rec->Reserved[QEV_PARAMS_BYTE] |= QEV_PARAMS_DEFAULTED;
}

int32_t SgBackend::Params(Ref r, sg::Params *p)
{
    bool trueIde = (Flags(*r.unit) & 0x400) != 0;
    return r.unit->luns[r.lun]->DriveParams(trueIde, p);
}

int32_t SgBackend::Lock(uint32_t target)
{
    std::lock_guard<std::recursive_mutex> lock(mu_);
    Ref r;
    if (int32_t rc = Resolve(target, &r)) return rc;
    if (qev::TakeTargetLock(r.unit->lockDir, static_cast<int>(r.unit->luns[r.lun]->node().lun)) > 0)
        return QEV_E_LOCKED;
    return QEV_OK;
}

int32_t SgBackend::Inquiry(uint32_t target, uint32_t allocLen, uint8_t *buffer)
{
    std::lock_guard<std::recursive_mutex> lock(mu_);
    if (!buffer && allocLen > 0) return QEV_E_INVALID_FIELD;
    Ref r;
    if (int32_t rc = Resolve(target, &r)) return rc;
    if (allocLen == 0) return QEV_OK;
    // The standard data is 36 bytes; more is not asked for, so no residual can arise.
    uint8_t inq[36] = {};
    uint16_t n = static_cast<uint16_t>(std::min<uint32_t>(allocLen, sizeof inq));
    if (int32_t rc = r.unit->luns[r.lun]->Inquiry(inq, n)) return rc;
    std::memcpy(buffer, inq, n);
    return QEV_OK;
}

int32_t SgBackend::ReadBuffer(uint32_t target, uint32_t mode, uint32_t id, uint32_t offset, uint8_t *buffer,
                              uint32_t allocLen)
{
    std::lock_guard<std::recursive_mutex> lock(mu_);
    if (!buffer && allocLen > 0) return QEV_E_INVALID_FIELD;
    Ref r;
    if (int32_t rc = Resolve(target, &r)) return rc;
    // Only the firmware block is known to the unit; nothing else is sent to it.
    if (mode != 2 || id != 4 || offset != 0x1000) return QEV_E_INVALID_FIELD;
    if (allocLen == 0) return QEV_OK;
    uint8_t blk[128] = {};
    if (int32_t rc = r.unit->luns[r.lun]->ReadBuffer(2, 4, 0x1000, blk, sizeof blk)) return rc;
    std::memcpy(buffer, blk, std::min<uint32_t>(allocLen, sizeof blk));
    return QEV_OK;
}

int32_t SgBackend::DriveInfo(uint32_t target, QevSlotRecord *record)
{
    std::lock_guard<std::recursive_mutex> lock(mu_);
    if (!record) return QEV_E_INVALID_FIELD;
    Ref r;
    if (int32_t rc = Resolve(target, &r)) return rc;
    sg::Params p;
    int32_t rc = Params(r, &p);
    if (rc != QEV_OK && rc != QEV_E_NO_MEDIUM) return rc;
    QevSlotRecord rec;
    Fill(target, rc == QEV_OK ? &p : nullptr, &rec);
    qev::NoteTargetHolder(r.unit->lockDir, static_cast<int>(r.unit->luns[r.lun]->node().lun), &rec);
    *record = rec;
    return rc;
}

int32_t SgBackend::SlotStatus(uint32_t target, QevSlotStatus *status)
{
    std::lock_guard<std::recursive_mutex> lock(mu_);
    if (!status) return QEV_E_INVALID_FIELD;
    Ref r;
    if (int32_t rc = Resolve(target, &r)) return rc;
    Unit &u = *r.unit;
    if (!u.fwKnown && (Flags(u), !u.fwKnown)) return QEV_E_HARDWARE;  // which LUN is the VD is unknown
    QevSlotStatus st;
    std::memset(&st, 0, sizeof st);
    int slots = static_cast<int>(u.luns.size()) - 1;
    for (int s = 1; s <= slots && s <= 32; ++s) {
        int32_t rc = u.luns[LunOfSlot(u, s)]->TestReady();
        if (rc == QEV_OK) st.CardMask |= 1u << (s - 1);
        else if (rc != QEV_E_NO_MEDIUM) return rc;
    }
    int mirrored = MirroredSlotAssumed(st.CardMask);
    st.VdTarget = mirrored > 0 ? static_cast<uint32_t>(mirrored - 1) : 0;
    *status = st;
    return QEV_OK;
}

int32_t SgBackend::Read(uint32_t target, uint32_t lba, uint32_t count, void *buffer, uint32_t bps)
{
    std::lock_guard<std::recursive_mutex> lock(mu_);
    if (!buffer || bps != kSector || count == 0 || count > kMaxSectorsPerCall) return QEV_E_INVALID_FIELD;
    Ref r;
    if (int32_t rc = Resolve(target, &r)) return rc;
    return r.unit->luns[r.lun]->Read(lba, static_cast<uint16_t>(count), buffer, count * kSector);
}

int32_t SgBackend::HoldFor(Unit &u, size_t lun)
{
    // A write to the VD reaches every card; a write to a slot may show through the VD.
    std::vector<size_t> reach;
    size_t vd = LunOfSlot(u, 0);
    if (lun == vd) {
        for (size_t i = 0; i < u.luns.size(); ++i) reach.push_back(i);
    } else {
        reach.push_back(lun);
        reach.push_back(vd);
    }
    for (size_t i : reach) {
        if (u.holds[i] >= 0) continue;
        const Node &n = u.luns[i]->node();
        if (n.diskPath.empty()) continue;  // no disk driver bound: nothing can mount it
        std::string why = port_.DiskRefusal(n);
        if (!why.empty()) {
            TraceNote("write refused: " + why);
            return QEV_E_IN_USE;
        }
        int fd = port_.HoldDisk(n);
        if (fd < 0) {
            TraceNote("write refused: " + n.diskPath + " cannot be held exclusively: " + std::strerror(-fd));
            return HoldError(-fd);
        }
        u.holds[i] = fd;
    }
    return QEV_OK;
}

int32_t SgBackend::Write(uint32_t target, uint32_t lba, uint32_t count, const void *buffer, uint32_t bps)
{
    std::lock_guard<std::recursive_mutex> lock(mu_);
    if (!buffer || bps != kSector || count == 0 || count > kMaxSectorsPerCall) return QEV_E_INVALID_FIELD;
    Ref r;
    if (int32_t rc = Resolve(target, &r)) return rc;
    if (int32_t rc = HoldFor(*r.unit, r.lun)) return rc;
    return r.unit->luns[r.lun]->Write(lba, static_cast<uint16_t>(count), buffer, count * kSector);
}

int32_t SgBackend::Eject(uint32_t target)
{
    std::lock_guard<std::recursive_mutex> lock(mu_);
    Ref r;
    if (Resolve(target, &r) != QEV_OK) return 0;
    Unit &u = *r.unit;
    // Everything written through any target of the unit is on the cards first.
    for (size_t i = 0; i < u.luns.size(); ++i)
        if (u.luns[i]->Dirty() && u.luns[i]->Sync() != QEV_OK && i == r.lun) return 0;
    int32_t rc = u.luns[r.lun]->Eject();
    for (size_t i = 0; i < u.luns.size(); ++i) Release(u, i);
    return rc == QEV_OK ? 1 : 0;
}

int32_t SgBackend::Format(uint32_t target, QevSlotRecord *record)
{
    std::lock_guard<std::recursive_mutex> lock(mu_);
    Ref r;
    if (int32_t rc = Resolve(target, &r)) return rc;
    sg::Params p;
    if (int32_t rc = Params(r, &p)) return rc;
    if (p.sectorSize != kSector) return QEV_E_INVALID_FIELD;
    if (int32_t rc = HoldFor(*r.unit, r.lun)) return rc;
    Target &t = *r.unit->luns[r.lun];
    int32_t failed = QEV_OK;
    auto writer = [&](uint32_t lba, uint32_t n, const uint8_t *data) {
        for (uint32_t done = 0; done < n;) {
            uint32_t k = std::min(n - done, kMaxSectorsPerCall);
            failed = t.Write(lba + done, static_cast<uint16_t>(k), data + static_cast<size_t>(done) * kSector,
                             k * kSector);
            if (failed) return false;
            done += k;
        }
        return true;
    };
    fat::Options opt;
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    opt.volumeId = static_cast<uint32_t>(ts.tv_sec) ^ static_cast<uint32_t>(ts.tv_nsec);
    if (p.sectorsPerTrack > 0 && p.sectorsPerTrack < 65536) opt.sectorsPerTrack = static_cast<uint16_t>(p.sectorsPerTrack);
    if (p.heads > 0 && p.heads < 65536) opt.heads = static_cast<uint16_t>(p.heads);
    if (!fat::Format(p.totalSectors, writer, opt)) return failed ? failed : QEV_SENSE(0x03, 0x31, 0x01);
    // The new file system is on the card when the call returns.
    if (int32_t rc = t.Sync()) return rc;
    if (record) Fill(target, &p, record);
    return QEV_OK;
}

int32_t SgBackend::Free()
{
    std::lock_guard<std::recursive_mutex> lock(mu_);
    bool ok = SettleAll();
    for (auto &u : units_)
        if (!u->lockDir.empty())
            for (auto &t : u->luns) qev::ReleaseTargetLock(u->lockDir, static_cast<int>(t->node().lun));
    return ok ? 1 : 0;
}

int32_t SgBackend::FreeEx(uint32_t target)
{
    std::lock_guard<std::recursive_mutex> lock(mu_);
    if (target == 0xFF) return Free();
    Ref r;
    if (Resolve(target, &r) != QEV_OK) return 0;
    bool ok = Settle(*r.unit, r.lun);
    qev::ReleaseTargetLock(r.unit->lockDir, static_cast<int>(r.unit->luns[r.lun]->node().lun));
    return ok ? 1 : 0;
}

}  // namespace sg
