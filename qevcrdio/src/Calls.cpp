// The library's calls on the virtual bus, one method each: scan, lock,
// inquiry, read buffer, drive information, slot status, read and write,
// eject, format and the free calls. The state they work on is Backend.cpp's.
#include "Backend.h"

#include "FatFormat.h"
#include "Bindings.h"
#include "Files.h"
#include "Store.h"
#include "TargetLock.h"

#include <algorithm>
#include <cstring>
#include <sys/stat.h>

namespace qev {

namespace {

constexpr uint32_t kSector = 512;
// READ(10)'s transfer length is 16 bits; the program's own calls stay within 128.
constexpr uint32_t kMaxSectorsPerCall = 0xFFFF;
// An eject waits this long for a unit that tvqunit is changing.
constexpr int kEjectLockMs = 2000;
const int32_t kDataProtect = QEV_SENSE(0x07, 0x27, 0x00);
const int32_t kFormatFailed = QEV_SENSE(0x03, 0x31, 0x01);

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

// The sense of a transfer the medium did not complete.
int32_t SenseOfIo(vbus::IoResult r, bool write)
{
    switch (r) {
    case vbus::IoResult::Ok: return QEV_OK;
    case vbus::IoResult::End: return QEV_E_HARDWARE;  // a truncated image fails, never reads as zeros nor grows
    case vbus::IoResult::Error: return write ? QEV_E_WRITE_ERROR : QEV_E_READ_ERROR;
    case vbus::IoResult::NoMedium: return QEV_E_NO_MEDIUM;
    case vbus::IoResult::NotReady: return QEV_E_NOT_READY;
    case vbus::IoResult::InUse: return QEV_E_IN_USE;
    case vbus::IoResult::Held: return QEV_E_HELD;
    case vbus::IoResult::NoAccess: return QEV_E_NO_ACCESS;
    case vbus::IoResult::Changed: return QEV_E_MEDIUM_CHANGED;
    case vbus::IoResult::Protected: return kDataProtect;
    }
    return QEV_E_HARDWARE;
}

// Copies what the caller asked for; nothing at all for a length of 0 (the buffer may be NULL then).
void CopyOut(uint8_t *out, const uint8_t *data, size_t len)
{
    if (len > 0) std::memcpy(out, data, len);
}

// Hands a small result (INQUIRY data, a record) to the caller as the rule says.
int32_t Deliver(const Verdict &v, const uint8_t *data, size_t len, uint8_t *out, int32_t ok)
{
    const vbus::FaultRule *r = v.rule;
    if (!r) {
        CopyOut(out, data, len);
        return ok;
    }
    switch (r->effect) {
    case vbus::Effect::Sense: return SenseOf(*r);
    case vbus::Effect::Drop: return QEV_OK;
    case vbus::Effect::Short:
        CopyOut(out, data, std::min<size_t>(r->arg, len));
        return r->key != 0 ? SenseOf(*r) : ok;
    case vbus::Effect::Corrupt:
        CopyOut(out, data, len);
        if (len > 0) out[r->arg % len] ^= 0xFF;
        return ok;
    case vbus::Effect::Delay: break;
    }
    CopyOut(out, data, len);
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

// Slot of target t of a device: the VD first, or last with flag 0x200.
int SlotOfTarget(const vbus::UnitDesc &unitDesc, int t)
{
    int n = static_cast<int>(unitDesc.targets);
    if (unitDesc.fw.flags & 0x200) return t == n - 1 ? 0 : t + 1;
    return t;
}

}  // namespace

void Backend::FillRecord(uint32_t index, const vbus::Card *card, QevSlotRecord *rec)
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

int32_t Backend::Scan(QevScFilter filter, const char *nameFilter, QevSlotRecord *table)
{
    PaceWait wait;
    std::lock_guard<std::recursive_mutex> lock(mu_);
    Refresh();
    std::string want = nameFilter ? nameFilter : "";
    std::vector<TargetRef> found;
    for (const std::string &name : vbus::UnitFolders(bus_)) {
        UnitState *u = LoadUnit(name);
        if (!u || !u->unit.unitDesc.connected) continue;
        const vbus::UnitDesc &desc = u->unit.unitDesc;
        if (!want.empty() && desc.bridge.find(want) == std::string::npos) continue;
        int64_t start = std::max(NowNs(), wait.Until());  // after the units before it
        // Rules of the whole device: leave out its last targets, or all of it.
        SlotSet any;
        any.Add(vbus::kAnySlot);
        Verdict all = Judge(u, vbus::OpScan, any, 0, 0);
        int n = static_cast<int>(desc.targets);
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
            TargetRef ref{name, t, SlotOfTarget(desc, t)};
            SlotSet one;
            one.Add(ref.slot);
            if (Judge(u, vbus::OpScan, one, 0, 0).rule) continue;  // this target does not answer this time
            mine.push_back(ref);
        }
        wait.Until(Pace(u, 0, all.delayMs, start));
        for (const auto &ref : mine) {
            uint8_t inq[36];
            Inquiry36(u->unit.unitDesc, inq);
            // The filter may call back into the library; u stays valid (units_ is a map).
            bool accept = !filter || filter(inq) != 0;
            if (!accept || found.size() >= QEV_MAX_TARGETS) continue;
            if (table) {
                CardSet cards = Cards(ref, u, false, true);
                FillRecord(static_cast<uint32_t>(found.size()), cards.empty() ? nullptr : &cards.at[0]->card,
                           &table[found.size()]);
            }
            found.push_back(ref);
        }
    }
    // Entries past the last target found are zero, whatever an earlier scan left there.
    if (table)
        for (size_t i = found.size(); i < QEV_MAX_TARGETS; ++i) std::memset(&table[i], 0, sizeof table[i]);
    targets_ = found;
    return static_cast<int32_t>(found.size());
}

int32_t Backend::Lock(uint32_t target)
{
    PaceWait wait;
    std::lock_guard<std::recursive_mutex> lock(mu_);
    TargetRef *ref;
    UnitState *u;
    if (int32_t rc = Resolve(target, &ref, &u)) return rc;
    int64_t start = NowNs();
    SlotSet slots = TargetSlots(*ref);
    Verdict v = Judge(u, vbus::OpLock, slots, 0, 0);
    wait.Until(Pace(u, 0, v.delayMs, start));
    if (v.rule && v.rule->effect == vbus::Effect::Sense) return SenseOf(*v.rule);
    if (!v.rule || v.rule->effect != vbus::Effect::Drop) {
        if (TakeTargetLock(UnitDir(ref->unit), ref->target) > 0) return QEV_E_LOCKED;
        vbus::AppendCall(bus_, "lock " + std::to_string(target) + " " + ref->unit + " " + std::to_string(ref->target));
    }
    return QEV_OK;
}

int32_t Backend::Inquiry(uint32_t target, uint32_t allocLen, uint8_t *buffer)
{
    PaceWait wait;
    std::lock_guard<std::recursive_mutex> lock(mu_);
    if (!buffer && allocLen > 0) return QEV_E_INVALID_FIELD;
    TargetRef *ref;
    UnitState *u;
    if (int32_t rc = Resolve(target, &ref, &u)) return rc;
    int64_t start = NowNs();
    SlotSet slots = TargetSlots(*ref);
    Verdict v = Judge(u, vbus::OpInquiry, slots, 0, 0);
    wait.Until(Pace(u, 36, v.delayMs, start));
    uint8_t inq[36];
    Inquiry36(u->unit.unitDesc, inq);
    return Deliver(v, inq, std::min<uint32_t>(allocLen, 36), buffer, QEV_OK);
}

int32_t Backend::ReadBuffer(uint32_t target, uint32_t mode, uint32_t id, uint32_t offset, uint8_t *buffer,
                            uint32_t allocLen)
{
    PaceWait wait;
    std::lock_guard<std::recursive_mutex> lock(mu_);
    if (!buffer && allocLen > 0) return QEV_E_INVALID_FIELD;
    TargetRef *ref;
    UnitState *u;
    if (int32_t rc = Resolve(target, &ref, &u)) return rc;
    if (mode != 2 || id != 4 || offset != 0x1000) return QEV_E_INVALID_FIELD;
    int64_t start = NowNs();
    SlotSet slots = TargetSlots(*ref);
    Verdict v = Judge(u, vbus::OpReadBuffer, slots, 0, 0);
    wait.Until(Pace(u, 128, v.delayMs, start));
    uint8_t blk[128];
    std::memset(blk, 0, sizeof blk);
    const vbus::Firmware &fw = u->unit.unitDesc.fw;
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
    PaceWait wait;
    std::lock_guard<std::recursive_mutex> lock(mu_);
    if (!record) return QEV_E_INVALID_FIELD;
    TargetRef *ref;
    UnitState *u;
    if (int32_t rc = Resolve(target, &ref, &u)) return rc;
    int64_t start = NowNs();
    CardSet cards = Cards(*ref, u, false, true);
    SlotSet slots = TargetSlots(*ref);
    if (!cards.empty() && cards.at[0]->card.slot != ref->slot) slots.Add(cards.at[0]->card.slot);
    Verdict v = Judge(u, vbus::OpDriveInfo, slots, 0, 0);
    wait.Until(Pace(u, sizeof *record, v.delayMs, start));
    QevSlotRecord rec;
    FillRecord(target, cards.empty() ? nullptr : &cards.at[0]->card, &rec);
    NoteTargetHolder(UnitDir(ref->unit), ref->target, &rec);
    return Deliver(v, reinterpret_cast<const uint8_t *>(&rec), sizeof rec, reinterpret_cast<uint8_t *>(record),
                   cards.empty() ? QEV_E_NO_MEDIUM : QEV_OK);
}

int32_t Backend::SlotStatus(uint32_t target, QevSlotStatus *status)
{
    PaceWait wait;
    std::lock_guard<std::recursive_mutex> lock(mu_);
    if (!status) return QEV_E_INVALID_FIELD;
    TargetRef *ref;
    UnitState *u;
    if (int32_t rc = Resolve(target, &ref, &u)) return rc;
    int64_t start = NowNs();
    SlotSet slots = TargetSlots(*ref);
    Verdict v = Judge(u, vbus::OpSlotStatus, slots, 0, 0);
    wait.Until(Pace(u, sizeof *status, v.delayMs, start));
    QevSlotStatus st;
    std::memset(&st, 0, sizeof st);
    int lowest = MirroredSlot(u, &st.CardMask);
    st.VdTarget = lowest > 0 ? static_cast<uint32_t>(lowest - 1) : 0;
    return Deliver(v, reinterpret_cast<const uint8_t *>(&st), sizeof st, reinterpret_cast<uint8_t *>(status),
                   QEV_OK);
}

int32_t Backend::Transfer(uint32_t target, uint32_t lba, uint32_t count, uint8_t *rbuf, const uint8_t *wbuf,
                          uint32_t bps)
{
    PaceWait wait(true);
    std::lock_guard<std::recursive_mutex> lock(mu_);
    bool write = wbuf != nullptr;
    if ((!rbuf && !wbuf) || bps != kSector || count == 0 || count > kMaxSectorsPerCall)
        return QEV_E_INVALID_FIELD;
    // Where this one ends (and, once it has returned, when): the next transfer from there may skip looking for changes.
    bool streak = target < nextLba_.size() && nextLba_[target] == lba && lba != 0;
    struct Mark {
        Backend *b;
        uint32_t target;
        uint64_t end;
        ~Mark()
        {
            if (target < b->nextLba_.size()) b->nextLba_[target] = end;
        }
    } mark{this, target, static_cast<uint64_t>(lba) + count};
    TargetRef *ref;
    UnitState *u;
    if (int32_t rc = Resolve(target, &ref, &u, streak)) return rc;
    int64_t start = NowNs();
    uint32_t op = write ? vbus::OpWrite : vbus::OpRead;
    size_t bytes = static_cast<size_t>(count) * kSector;
    CardSet cards = Cards(*ref, u, write);

    // Rules of the target (and, for a VD read, of the card behind it) decide for the whole call.
    Verdict v;
    std::array<Verdict, vbus::kMaxTargets> per{};
    if (!u->unit.faults.empty()) {
        SlotSet slots = TargetSlots(*ref);
        if (!write && !cards.empty() && cards.at[0]->card.slot != ref->slot) slots.Add(cards.at[0]->card.slot);
        v = Judge(u, op, slots, lba, count);
        // A VD write reaches every card; each card's own rules act on that card alone.
        if (write && ref->slot == 0) {
            for (size_t i = 0; i < cards.n; ++i) {
                SlotSet own;
                own.Add(cards.at[i]->card.slot);
                per[i] = Judge(u, op, own, lba, count);
            }
        }
    }
    uint32_t delay = v.delayMs;
    for (size_t i = 0; i < cards.n; ++i) delay += per[i].delayMs;
    wait.Until(Pace(u, bytes, delay, start, &cards));

    // A rule that reports a new card is the news of it: the next transfer goes ahead.
    if (v.rule && v.rule->effect == vbus::Effect::Sense && SenseOf(*v.rule) == QEV_E_MEDIUM_CHANGED)
        MediumChanged(u, cards, ref->slot == 0);
    if (v.rule && v.rule->effect == vbus::Effect::Sense) return SenseOf(*v.rule);
    if (cards.empty()) return QEV_E_NO_MEDIUM;
    // Another card since this process last met the slot (pulled and inserted meanwhile).
    if (MediumChanged(u, cards, ref->slot == 0)) return QEV_E_MEDIUM_CHANGED;
    // Data an earlier WRITE(10) reported written did not reach the card.
    if (FlushLost(cards)) return QEV_E_WRITE_ERROR;
    for (size_t i = 0; i < cards.n; ++i) {
        const vbus::DriveParams &p = cards.at[i]->card.params;
        if (p.sectorSize != kSector) return QEV_E_INVALID_FIELD;
        if (static_cast<uint64_t>(lba) + count > p.totalSectors) return QEV_E_LBA_RANGE;
    }
    uint64_t off = static_cast<uint64_t>(lba) * kSector;

    if (!write) {
        uint32_t n = count;
        if (v.rule && v.rule->effect == vbus::Effect::Drop) return QEV_OK;
        if (v.rule && v.rule->effect == vbus::Effect::Short) n = std::min(count, v.rule->arg);
        if (n > 0) {
            vbus::IoResult r = cards.at[0]->medium->Read(off, rbuf, static_cast<size_t>(n) * kSector);
            if (r != vbus::IoResult::Ok) return SenseOfIo(r, false);
        }
        if (v.rule && v.rule->effect == vbus::Effect::Corrupt) Corrupt(*v.rule, rbuf, lba, n);
        if (v.rule && v.rule->effect == vbus::Effect::Short && v.rule->key != 0) return SenseOf(*v.rule);
        return QEV_OK;
    }

    if (v.rule && v.rule->effect == vbus::Effect::Drop) return QEV_OK;
    std::array<const uint8_t *, vbus::kMaxTargets> src{};
    std::array<uint32_t, vbus::kMaxTargets> n{};
    std::array<int32_t, vbus::kMaxTargets> rc{};
    std::vector<uint8_t> scratch[vbus::kMaxTargets];
    for (size_t i = 0; i < cards.n; ++i) {
        const vbus::FaultRule *r = per[i].rule ? per[i].rule : v.rule;
        rc[i] = QEV_OK;
        n[i] = count;
        src[i] = wbuf;
        if (!r) continue;
        switch (r->effect) {
        case vbus::Effect::Sense: rc[i] = SenseOf(*r); n[i] = 0; break;
        case vbus::Effect::Drop: n[i] = 0; break;
        case vbus::Effect::Short:
            n[i] = std::min(count, r->arg);
            if (r->key != 0) rc[i] = SenseOf(*r);
            break;
        case vbus::Effect::Corrupt:
            scratch[i].assign(wbuf, wbuf + bytes);
            Corrupt(*r, scratch[i].data(), lba, count);
            src[i] = scratch[i].data();
            break;
        case vbus::Effect::Delay: break;
        }
    }
    WriteAll(cards, src, n, off, &rc, u->unit.unitDesc.syncAlways);
    for (size_t i = 0; i < cards.n; ++i)
        if (rc[i] != QEV_OK) return rc[i];
    return QEV_OK;
}

void Backend::WriteAll(const CardSet &cards, const std::array<const uint8_t *, vbus::kMaxTargets> &src,
                       const std::array<uint32_t, vbus::kMaxTargets> &n, uint64_t off,
                       std::array<int32_t, vbus::kMaxTargets> *rc, bool sync)
{
    auto one = [&](size_t i) {
        vbus::Medium *m = cards.at[i]->medium.get();
        if (n[i] == 0) return;
        int32_t &result = (*rc)[i];
        if (!m->Writable()) {
            result = kDataProtect;
            return;
        }
        vbus::IoResult r = m->Write(off, src[i], static_cast<size_t>(n[i]) * kSector);
        int32_t code = r == vbus::IoResult::Ok ? QEV_OK : SenseOfIo(r, true);
        if (code == QEV_OK && sync && !m->Flush()) code = QEV_E_WRITE_ERROR;
        if (result == QEV_OK) result = code;  // a rule's sense after a short write stays
    };
    // Cards behind devices wait on them: those go at once, each on its own thread.
    std::vector<std::function<void()>> slow;
    for (size_t i = 0; i < cards.n; ++i) {
        if (cards.n > 1 && n[i] > 0 && cards.at[i]->medium->Slow()) slow.push_back([&one, i] { one(i); });
        else one(i);
    }
    if (slow.size() == 1) slow[0]();
    else if (!slow.empty()) parallel_.Run(slow);
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
    PaceWait wait;
    std::lock_guard<std::recursive_mutex> lock(mu_);
    TargetRef *ref;
    UnitState *u;
    if (Resolve(target, &ref, &u) != QEV_OK) return 0;
    int64_t start = NowNs();
    CardSet cards = Cards(*ref, u, false);
    SlotSet slots = TargetSlots(*ref);
    if (!cards.empty() && cards.at[0]->card.slot != ref->slot) slots.Add(cards.at[0]->card.slot);
    Verdict v = Judge(u, vbus::OpEject, slots, 0, 0);
    std::string unitName = ref->unit;  // ref may move once the state is re-read
    wait.Until(Pace(u, 0, v.delayMs, start));
    if (v.rule && v.rule->effect == vbus::Effect::Drop) return 1;  // claims success, card stays
    if (v.rule || cards.empty()) return 0;
    if (FlushLost(cards)) return 0;
    CardState *c = cards.at[0];
    if (!c->card.device.empty()) {
        // A bound device keeps its binding: the slot is empty until another card comes.
        uint64_t id = 0;
        if (!c->medium->EjectInPlace(&id)) return 0;
        int slot = c->card.slot;
        std::string boot = vbus::BootId(), why;
        bool ok = vbus::ModifyUnit(
            UnitDir(unitName), unitName,
            [&](vbus::Unit &unit, std::string *reason) {
                for (auto &card : unit.cards) {
                    if (card.slot != slot || card.device.empty()) continue;
                    card.ejectedMedium = id;
                    card.ejectedBoot = boot;
                    return true;
                }
                *reason = "the device left the slot meanwhile";
                return false;
            },
            &why, kEjectLockMs);
        u->gen = 0;  // the description changed: read it again
        return ok ? 1 : 0;
    }
    // What was written is on disk before the card leaves.
    if (!c->medium->Flush()) return 0;
    std::string image, why;
    if (!vbus::TakeCardOut(UnitDir(unitName), unitName, c->card.slot, &image, &why, kEjectLockMs)) return 0;
    NoteSeen(u, c->card.slot, nullptr);
    u->cards.erase(c->card.slot);  // closes its medium
    u->gen = 0;                    // the description changed: read it again
    return 1;
}

int32_t Backend::Format(uint32_t target, QevSlotRecord *record)
{
    PaceWait wait;
    std::lock_guard<std::recursive_mutex> lock(mu_);
    TargetRef *ref;
    UnitState *u;
    if (int32_t rc = Resolve(target, &ref, &u)) return rc;
    int64_t start = NowNs();
    CardSet cards = Cards(*ref, u, true);
    // The VD formats every card: any card's rule counts.
    SlotSet slots = TargetSlots(*ref);
    for (size_t i = 0; i < cards.n; ++i)
        if (cards.at[i]->card.slot != ref->slot) slots.Add(cards.at[i]->card.slot);
    Verdict v = Judge(u, vbus::OpFormat, slots, 0, 0);
    wait.Until(Pace(u, 0, v.delayMs, start));
    if (v.rule && v.rule->effect != vbus::Effect::Drop && v.rule->effect != vbus::Effect::Corrupt)
        return v.rule->key != 0 ? SenseOf(*v.rule) : kFormatFailed;
    if (cards.empty()) return QEV_E_NO_MEDIUM;
    if (!(v.rule && v.rule->effect == vbus::Effect::Drop)) {
        for (size_t i = 0; i < cards.n; ++i) {
            CardState *c = cards.at[i];
            const vbus::DriveParams &p = c->card.params;
            vbus::Medium *m = c->medium.get();
            if (p.sectorSize != kSector) return QEV_E_INVALID_FIELD;
            if (!m->Writable()) return kDataProtect;
            uint64_t mediumSize = m->Size();
            if (static_cast<uint64_t>(p.totalSectors) * kSector > mediumSize) return QEV_E_HARDWARE;
            vbus::IoResult failed = vbus::IoResult::Ok;
            auto writer = [&](uint32_t lba, uint32_t n, const uint8_t *data) {
                if (static_cast<uint64_t>(lba) + n > p.totalSectors) return false;
                failed = m->Write(static_cast<uint64_t>(lba) * kSector, data, static_cast<size_t>(n) * kSector);
                return failed == vbus::IoResult::Ok;
            };
            fat::Options opt;
            opt.volumeId = static_cast<uint32_t>(NowNs() / 1000) ^ static_cast<uint32_t>(c->card.slot);
            if (p.sectorsPerTrack > 0 && p.sectorsPerTrack < 65536)
                opt.sectorsPerTrack = static_cast<uint16_t>(p.sectorsPerTrack);
            if (p.heads > 0 && p.heads < 65536) opt.heads = static_cast<uint16_t>(p.heads);
            if (!fat::Format(p.totalSectors, writer, opt))
                return failed != vbus::IoResult::Ok ? SenseOfIo(failed, true) : kFormatFailed;
            // A corrupting rule spoils the boot sector after the fact.
            if (v.rule && v.rule->effect == vbus::Effect::Corrupt) {
                uint8_t b = 0;
                if (m->Read(510, &b, 1) == vbus::IoResult::Ok) {
                    b ^= 0xFF;
                    m->Write(510, &b, 1);
                }
            }
            // A new file system is on the card for good when the call returns.
            if (!m->Flush()) return QEV_E_WRITE_ERROR;
        }
    }
    if (record) FillRecord(target, &cards.at[0]->card, record);
    return QEV_OK;
}

bool Backend::FlushLost(const CardSet &cards)
{
    bool lost = false;
    for (size_t i = 0; i < cards.n; ++i)
        if (cards.at[i]->medium->TakeFlushFailure()) lost = true;
    return lost;
}

int32_t Backend::Free()
{
    std::lock_guard<std::recursive_mutex> lock(mu_);
    Refresh();
    // Everything is let go even so; the caller learns that data may be lost.
    bool flushed = FlushAll();
    ReleaseAllTargetLocks();
    vbus::AppendCall(bus_, "free");
    return flushed ? 1 : 0;
}

int32_t Backend::FreeEx(uint32_t target)
{
    std::lock_guard<std::recursive_mutex> lock(mu_);
    Refresh();
    if (target == 0xFF) {
        bool flushed = FlushAll();
        ReleaseAllTargetLocks();
        vbus::AppendCall(bus_, "freeex 255");
        return flushed ? 1 : 0;
    }
    if (target >= targets_.size()) return 0;
    const TargetRef &ref = targets_[target];
    bool flushed = true;
    auto it = units_.find(ref.unit);
    if (it != units_.end())
        for (auto &c : it->second.cards) {
            vbus::Medium *m = c.second.medium.get();
            if (!m || (ref.slot != 0 && c.first != ref.slot)) continue;
            bool lost = m->TakeFlushFailure();
            if (!m->Release() || lost) flushed = false;
        }
    ReleaseTargetLock(UnitDir(ref.unit), ref.target);
    vbus::AppendCall(bus_, "freeex " + std::to_string(target) + " " + ref.unit + " " + std::to_string(ref.target));
    return flushed ? 1 : 0;
}

}  // namespace qev
