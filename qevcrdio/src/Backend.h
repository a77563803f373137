// The virtual bus as the library sees it: descriptions cached by file
// signature (re-read only when a file changes), image files kept open, fault
// rules evaluated per call. Every entry point takes the one lock.
#pragma once

#include "Desc.h"
#include "VBus.h"
#include "qevcrdio.h"

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
    uint64_t gen = 0;      // validation round this state was checked in
    FileSig sig;           // of slot<N>.ini
    bool parsed = false;   // the description parsed
    bool present = false;  // parsed and its image is a file
    vbus::Card card;
};

struct UnitState {
    uint64_t gen = 0;      // validation round this state was checked in
    FileSig sig;           // of unit.ini
    bool ok = false;       // the description parsed
    vbus::UnitDesc unitDesc;
    FileSig faultSig;
    std::vector<vbus::FaultRule> rules;
    std::map<uint32_t, vbus::RuleCounts> counts;
    bool countsDirty = false;
    std::map<int, CardState> cards;
};

// One accepted target of the last scan.
struct TargetRef {
    std::string unit;
    int target = 0;        // target number inside the device
    int slot = 0;          // 0 = VD, else 1-based slot
};

// A card reached by a call: its slot and description.
struct CardRef {
    int slot = 0;
    const vbus::Card *card = nullptr;
};

// The verdict of the fault rules on one call.
struct Verdict {
    const vbus::FaultRule *rule = nullptr;  // the rule that takes effect, if any
    uint32_t delayMs = 0;
};

class Backend {
public:
    static Backend &Get();

    int32_t Scan(QevScFilter filter, const char *nameFilter, QevSlotRecord *table);
    int32_t Lock(uint32_t target);
    int32_t Inquiry(uint32_t target, uint32_t allocLen, uint8_t *buffer);
    int32_t ReadBuffer(uint32_t target, uint32_t mode, uint32_t id, uint32_t offset, uint8_t *buffer,
                       uint32_t allocLen);
    int32_t DriveInfo(uint32_t target, QevSlotRecord *record);
    int32_t SlotStatus(uint32_t target, QevSlotStatus *status);
    int32_t Read(uint32_t target, uint32_t lba, uint32_t count, void *buffer, uint32_t bps);
    int32_t Write(uint32_t target, uint32_t lba, uint32_t count, const void *buffer, uint32_t bps);
    int32_t Eject(uint32_t target);
    int32_t Format(uint32_t target, QevSlotRecord *record);
    int32_t Free();
    int32_t FreeEx(uint32_t target);

private:
    Backend() = default;
    void Refresh();
    UnitState *LoadUnit(const std::string &name);
    void LoadFaults(const std::string &dir, UnitState *u);
    const vbus::Card *LoadCard(const std::string &dir, UnitState *u, int slot);
    void Watch(const std::string &dir);
    // The target's unit when it is there and connected; else the failing code.
    int32_t Resolve(uint32_t target, TargetRef *ref, UnitState **unit);
    // The cards a call on the target reaches: the slot's, or for the VD the mirrored one (or all).
    std::vector<CardRef> Cards(const TargetRef &ref, UnitState *u, bool allForVd);
    int MirroredSlot(const std::string &dir, UnitState *u, uint32_t *mask);
    Verdict Judge(UnitState *u, uint32_t op, const std::vector<int> &slots, uint64_t lba, uint64_t count);
    void SaveCounts(const std::string &name, UnitState *u);
    void Pace(const UnitState *u, uint64_t bytes, uint32_t extraMs, int64_t startNs);
    // The open image and its size now (a truncated file shows at once).
    int ImageFd(const std::string &path, bool *writable, uint64_t *size);
    void DropImage(const std::string &path);
    void FillRecord(const TargetRef &ref, uint32_t index, const vbus::Card *card, QevSlotRecord *rec);
    void Inquiry36(const vbus::UnitDesc &unitDesc, uint8_t *out);
    int32_t Transfer(uint32_t target, uint32_t lba, uint32_t count, uint8_t *rbuf, const uint8_t *wbuf,
                     uint32_t bps);
    std::string UnitDir(const std::string &name) const { return bus_ + "/" + name; }

    std::recursive_mutex mu_;
    std::string bus_;
    // Validation rounds: cached state checked in round gen_ is trusted until
    // inotify reports a change in a watched directory (or watching fails).
    uint64_t gen_ = 1;
    int inotify_ = -1;
    bool watchFailed_ = false;
    std::set<std::string> watched_;
    std::map<std::string, UnitState> units_;
    std::vector<TargetRef> targets_;
    struct Image {
        int fd = -1;
        uint64_t dev = 0, ino = 0;
        bool writable = false;
        uint64_t gen = 0;  // round its identity was last checked in
    };
    std::map<std::string, Image> images_;
};

}  // namespace qev
