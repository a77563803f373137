// The virtual bus as the library sees it. Each device's description is
// parsed once and kept until the bus watch (BusWatch.h) reports a change in a
// watched folder; each card's medium stays open while the card is in. Every
// entry point takes the one lock and reads one consistent state of the device
// it names. A call does its work under the lock, books the time it takes on
// the unit and its cards, and waits that time out after letting go of the
// lock, so slow cards on other threads are paced side by side. A transfer that goes on where the last one on its target ended,
// straight after it, costs its own I/O only (writes: one more call for the
// size); any other call first reads the watch's queue itself, so a change
// made before it is never missed. A device idle for a second is let go by the
// watch's tick, whether or not anybody looks at the slots.
//
// Data a WRITE(10) reported written reaches stable storage at the latest when
// the card is ejected, the unit freed or the library unloaded (tvqunit flushes
// at pull and unplug), or at once with the unit's sync "always".
#pragma once

#include "Desc.h"
#include "Driver.h"
#include "Medium.h"
#include "Parallel.h"
#include "VBus.h"
#include "qevcrdio.h"
#include "BusWatch.h"

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace qev {

// What stat says of a file; a change of any field means "re-read".
struct FileSig {
    bool exists = false;
    uint64_t dev = 0, ino = 0, size = 0;
    int64_t mtimeNs = 0;
    int64_t ctimeNs = 0;
    bool operator==(const FileSig &o) const
    {
        return exists == o.exists && dev == o.dev && ino == o.ino && size == o.size && mtimeNs == o.mtimeNs &&
               ctimeNs == o.ctimeNs;
    }
    bool operator!=(const FileSig &o) const { return !(*this == o); }
};

struct CardState {
    uint64_t gen = 0;                      // validation round its medium was checked in
    vbus::Card card;                       // as the description has it
    std::string identity;                  // vbus::CardIdentity(card), kept beside it for every call
    std::unique_ptr<vbus::Medium> medium;  // open while the card is in
    bool derived = false;                  // drive parameters follow the medium's size
    int64_t busyUntil = 0;                 // booked by calls on it (Pace.h)
};

struct UnitState {
    uint64_t gen = 0;      // validation round this state was checked in
    FileSig sig;           // of unit.toml
    bool ok = false;       // the description was read
    bool legacy = false;   // from the files of an earlier version (re-read every round)
    vbus::Unit unit;
    std::map<uint32_t, vbus::RuleCounts> counts;
    bool countsDirty = false;
    std::map<int, CardState> cards;  // by slot, the cards the description holds
    // By slot (0: the VD's mirrored one), the card this process last met there ("" for none): a transfer
    // that meets another one says so (06/28/00) once. Kept across re-reads.
    std::map<int, std::string> seen;
    int64_t busUntil = 0;  // the unit's bus, booked by calls on any of its targets (Pace.h)
};

// One accepted target of the last scan.
struct TargetRef {
    std::string unit;
    int target = 0;        // target number inside the device
    int slot = 0;          // 0 = VD, else 1-based slot
};

// The cards a call reaches: the slot's, or the VD's mirrored one (or all for a VD write).
struct CardSet {
    std::array<CardState *, vbus::kMaxTargets> at{};
    size_t n = 0;
    bool empty() const { return n == 0; }
};

// Slots whose rules apply to a call: any, the target's, the cards it reaches.
struct SlotSet {
    std::array<int, vbus::kMaxTargets + 2> at{};
    size_t n = 0;
    void Add(int s) { at[n++] = s; }
};

// The slots whose rules a call on one target meets: any slot's and its own.
inline SlotSet TargetSlots(const TargetRef &ref)
{
    SlotSet s;
    s.Add(vbus::kAnySlot);
    s.Add(ref.slot);
    return s;
}

// The verdict of the fault rules on one call.
struct Verdict {
    const vbus::FaultRule *rule = nullptr;  // the rule that takes effect, if any
    uint32_t delayMs = 0;
};

// Monotonic clock in nanoseconds: the start of a call, for pacing it.
int64_t NowNs();

// When the last transfer returned to its caller.
int64_t LastTransferEnd();

// Waits out a call's booked time when it goes out of scope: declared before
// the call's lock, it sleeps once the lock is let go. It touches nothing of the
// backend, which may be gone (or re-read) by the time it wakes.
class PaceWait {
public:
    explicit PaceWait(bool transfer = false) : transfer_(transfer) {}
    ~PaceWait();
    PaceWait(const PaceWait &) = delete;
    PaceWait &operator=(const PaceWait &) = delete;
    void Until(int64_t endNs) { if (endNs > until_) until_ = endNs; }
    int64_t Until() const { return until_; }

private:
    bool transfer_;
    int64_t until_ = 0;
};

class Backend : public Driver {
public:
    // The one backend. Unloading the library (or exit) flushes written data,
    // closes every descriptor and frees the state.
    static Backend &Get();
    static void Shutdown();

    const char *Name() const override { return "bus"; }

    int32_t Scan(QevScFilter filter, const char *nameFilter, QevSlotRecord *table) override;
    int32_t Lock(uint32_t target) override;
    int32_t Inquiry(uint32_t target, uint32_t allocLen, uint8_t *buffer) override;
    int32_t ReadBuffer(uint32_t target, uint32_t mode, uint32_t id, uint32_t offset, uint8_t *buffer,
                       uint32_t allocLen) override;
    int32_t DriveInfo(uint32_t target, QevSlotRecord *record) override;
    int32_t SlotStatus(uint32_t target, QevSlotStatus *status) override;
    int32_t Read(uint32_t target, uint32_t lba, uint32_t count, void *buffer, uint32_t bps) override;
    int32_t Write(uint32_t target, uint32_t lba, uint32_t count, const void *buffer, uint32_t bps) override;
    int32_t Eject(uint32_t target) override;
    int32_t Format(uint32_t target, QevSlotRecord *record) override;
    int32_t Free() override;
    int32_t FreeEx(uint32_t target) override;

private:
    Backend() = default;
    ~Backend() override;
    // streak: a transfer that continues the last one on its target.
    void Refresh(bool streak = false);
    void Reset();
    // The watch's tick: lets go of idle devices. False when a call holds the lock.
    bool IdleTick();

    UnitState *LoadUnit(const std::string &name);
    void LoadCounts(const std::string &dir, UnitState *u);
    CardState *LoadCard(UnitState *u, int slot);
    void Watch(const std::string &dir) { watch_.Watch(dir); }
    // The target's unit when it is there and connected; else the failing code.
    int32_t Resolve(uint32_t target, TargetRef **ref, UnitState **unit, bool streak = false);
    // look: ask every medium afresh whether a card is in (status and drive information calls).
    CardSet Cards(const TargetRef &ref, UnitState *u, bool allForVd, bool look = false);
    int MirroredSlot(UnitState *u, uint32_t *mask);
    // The medium's card is in now; its drive parameters follow it.
    bool LookAt(CardState *c);
    // The caller has now seen what slot holds (c, or nothing): no news to its next transfer.
    static void NoteSeen(UnitState *u, int slot, const CardState *c);
    // Notes the cards a transfer reaches; true when one is not the card last met in its slot.
    // On the VD (vd) the card it mirrors counts too: another one there is another medium.
    static bool MediumChanged(UnitState *u, const CardSet &cards, bool vd);
    void WriteAll(const CardSet &cards, const std::array<const uint8_t *, vbus::kMaxTargets> &src,
                  const std::array<uint32_t, vbus::kMaxTargets> &n, uint64_t off,
                  std::array<int32_t, vbus::kMaxTargets> *rc, bool sync);
    // The fault rules on one call; the hits it makes are counted and saved at once.
    Verdict Judge(UnitState *u, uint32_t op, const SlotSet &slots, uint64_t lba, uint64_t count);
    void SaveCounts(const std::string &name, UnitState *u);
    // Books the least time the call takes (Pace.h) and returns when it ends (0: at once);
    // cards: those a transfer reaches. The caller's PaceWait waits it out.
    int64_t Pace(UnitState *u, uint64_t bytes, uint32_t extraMs, int64_t startNs, const CardSet *cards = nullptr);
    // Flushes and lets go of every medium; false when a flush failed (now or
    // at an idle release nobody heard of), with the media's names in *failed.
    bool FlushAll(std::string *failed = nullptr);
    // A flush failure an idle release kept for one of the cards: reported once.
    static bool FlushLost(const CardSet &cards);
    void FillRecord(uint32_t index, const vbus::Card *card, QevSlotRecord *rec);
    void Inquiry36(const vbus::UnitDesc &unitDesc, uint8_t *out);
    int32_t Transfer(uint32_t target, uint32_t lba, uint32_t count, uint8_t *rbuf, const uint8_t *wbuf,
                     uint32_t bps);
    std::string UnitDir(const std::string &name) const { return bus_ + "/" + name; }

    std::recursive_mutex mu_;
    std::string busEnv_;   // QEVCRDIO_BUS as last seen
    bool busKnown_ = false;
    std::string bus_;
    // Validation rounds: cached state checked in round gen_ is trusted until
    // the watch reports a change in a watched folder (or watching fails).
    uint64_t gen_ = 1;
    uint64_t seenGen_ = 0;  // the watch's generation gen_ began at
    BusWatch watch_;
    bool watching_ = false;
    bool useInotify_ = true;
    // Where the last transfer on each target ended (when: LastTransferEnd): the next one may skip the queue.
    std::array<uint64_t, QEV_MAX_TARGETS> nextLba_{};
    std::map<std::string, UnitState> units_;
    std::vector<TargetRef> targets_;
    blockdev::Parallel parallel_;  // VD writes to cards on devices, all at once
};

}  // namespace qev
