// The unit as tvqcard works on it, through the program's device layer: the
// library found and loaded as the program does, the same 22-attempt search,
// identification and firmware and mode checks, so the same units are
// accepted. Slots are numbered internally as the device layer does (0 = VD,
// 1 = master, ...); users name them as the unit is labelled: 1 to 10 on a
// TVQ-210CF, M and 1 to 5 on a TVQ-206, "vd", and "all" for every slot
// holding a card. Every device-layer call is made on the thread that opened
// the session.
#pragma once

#include "Block.h"
#include "UnitState.h"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

// A refusal or failure with the message for the user and the exit status.
class ToolError : public std::runtime_error {
public:
    ToolError(const std::string &what, int status = 2) : std::runtime_error(what), status_(status) {}
    int Status() const { return status_; }
    // The process holding a slot that refused the run, when one is known.
    int holderPid = 0;
    std::string holderName;

private:
    int status_;
};

constexpr uint32_t kVd = 0;

class Session {
public:
    // Loads the library, finds and checks the unit; throws ToolError when there is none or it is refused.
    Session();
    // Releases the unit's targets.
    ~Session();
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    std::string Model() const;                   // "TVQ-210CF" or "TVQ-206"
    uint32_t Slots() const;                      // physical slots found (DeviceCount - 1)
    uint32_t TargetOf(uint32_t slot) const;      // SlotTable index
    std::string Label(uint32_t slot) const;      // as on the unit: "3", "M", "VD"
    std::string Name(uint32_t slot) const;       // in messages and hash lines: "slot3", "master", "vd"

    // Slot words of the command line, in order, "all" expanded to the slots with a card.
    std::vector<uint32_t> Parse(const std::vector<std::string> &words, bool allowVd, bool allowAll);
    // Drive information read now; an empty record when it cannot be read (Problem says why).
    const SlotRecord &Record(uint32_t slot);
    // The library's result of the slot's last drive information read that failed
    // (a packed sense: no permission, in use...), 0 when it was read.
    int32_t Problem(uint32_t slot) const;
    // The slot the VD mirrors now (0 when none).
    uint32_t Mirrored();
    // The card in the slot, checked usable; throws ToolError otherwise.
    const SlotRecord &Card(uint32_t slot);
    // Reserves the slots for this process (a VD with every slot holding a card);
    // throws ToolError naming the holder when another process has one.
    void Reserve(const std::vector<uint32_t> &slots);
    // Another process holding the slot's target: "tvqcrdut (process 1234)", "" when none.
    std::string Holder(uint32_t slot);
    // A VD write is possible: the VD shows a card and every card has its parameters.
    void CheckVdWrite();
    // The target of a run on the slot; for the VD with the cards it reaches
    // (a write: every card; a read: the card it mirrors now).
    Target TargetFor(uint32_t slot, Op op);
    // Releases the unit (the library flushes what was written); "" when done,
    // else why not. A run that wrote is not done before this succeeds.
    std::string Release();

private:
    int32_t problems_[kSlotTableEntries] = {};
    bool released_ = false;
};

// Parses a sector number or count: decimal or 0x hexadecimal, 0 to 0xFFFFFFFF.
uint32_t ParseSector(const std::string &text, const std::string &what);
// The name of process pid ("" when it cannot be told).
std::string ProcessName(int pid);
