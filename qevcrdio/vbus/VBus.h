// Virtual bus: a directory of virtual devices that the library serves as SCSI
// targets. One subdirectory per device, taken in name order:
//
//   <bus>/<unit>/unit.toml       identity, firmware block fields, throttle, the
//                                card of every slot, the fault rules
//   <bus>/<unit>/fault-counts    hits and fires per rule (written by the library)
//   <bus>/<unit>/cards/          images copied in or created blank
//   <bus>/<unit>/ejected/        records of cards taken out (images stay)
//   <bus>/<unit>/legacy/         the files of an earlier version, once migrated
//   <bus>/.calls                 lock and free calls, one per line
//
// Every change is a read-modify-write under the unit's lock ending in one
// rename, so no concurrent change is lost and a reader never sees half a
// description. No call ever deletes a card's image (only a blank or copy made
// by an insert that then failed). Failures throw vbus::Error with a message
// fit for the user.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace vbus {

// A failed bus operation; what() is a complete message for the user.
class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class Model { Tvq210, Tvq206, Foreign };

// "TVQ-210CF", "TVQ-206" or "other".
const char *ModelName(Model m);
// Parses a model name as ModelName writes it (case-insensitive); false if unknown.
bool ParseModel(const std::string &text, Model *m);
// Targets of a complete unit of the model: 11, 7, or 0 for Foreign (its own count).
uint32_t ModelTargets(Model m);

// Firmware information block served by READ BUFFER mode 2, buffer 4, offset 0x1000.
struct Firmware {
    std::string signature = "T210";    // bytes 0-3; shorter is zero-padded, "" serves none
    uint32_t bios = 0x20100;           // bytes 4-7
    uint32_t flags = 0x0001;           // bytes 8-11: mode in bits 0-7, 0x200 VD last, 0x400 TrueIDE
    uint32_t productCode = 0;          // bytes 12-15
    uint32_t cardIf = 0x20100;         // bytes 16-19
    std::string vendorText = "QEVRA";  // bytes 32-39, blank-padded
    std::string productName;           // bytes 40-55, blank-padded; "" = the model's product
};

// Everything a device's description holds.
struct UnitDesc {
    Model model = Model::Tvq210;
    std::string vendor;                // INQUIRY 8-15; "" = "QEVRA" (units) or "OTHERVND"
    std::string product;               // INQUIRY 16-31; "" = the model's product
    std::string revision = "1.00";     // INQUIRY 32-35
    std::string bridge;                // bridge name the scan filters on; "" = "TVQ-MTX" (units) or "USB-BRIDGE"
    uint32_t targets = 0;              // 0 = the model's count (Foreign: 2); slots are targets - 1
    bool connected = true;             // plugged in
    Firmware fw;
    uint64_t throttleBytesPerSecond = 0;  // 0 = unlimited
    uint32_t callDelayMs = 0;             // added to every device call
    bool syncAlways = false;              // every WRITE(10) reaches stable storage before it returns
};

// The eight drive parameters of a card (SlotRecord offsets 4-31, CardPresent aside).
struct DriveParams {
    uint32_t cylinders = 0;
    uint32_t heads = 0;
    uint32_t totalSectors = 0;
    uint32_t sectorsPerTrack = 0;
    uint32_t sectorSize = 512;
    uint32_t waitCheck = 1;
    uint32_t accessTiming = 250;
};

// CompactFlash-like defaults for an image of the given size in bytes.
DriveParams DefaultDriveParams(uint64_t bytes);
// The same for a medium of sectorSize-byte logical sectors: total sectors and
// geometry counted in those sectors, as the drive reports them.
DriveParams DefaultDriveParams(uint64_t bytes, uint32_t sectorSize);

// A card in a slot: an image file, or a block device bound to the slot.
struct Card {
    int slot = 0;                // 1-based slot number
    std::string image;           // absolute path of the image ("" for a device)
    bool inPlace = false;        // the image is the caller's file, not a copy
    // A block device bound to the slot ("" for an image), as the user named
    // it (/dev/sdb, a /dev/disk/by-id/ link). The slot holds a card while the
    // device reports a medium; its drive parameters follow that medium.
    std::string device;
    // The kernel's number of the medium last ejected from the device: the slot
    // stays empty until another one comes. 0: none ejected; kEjectedUnknown:
    // ejected where the kernel gives no numbers (empty until bound again).
    uint64_t ejectedMedium = 0;
    std::string ejectedBoot;     // the boot the number belongs to (numbering starts anew at boot)
    DriveParams params;
    uint64_t throttleBytesPerSecond = 0;  // the card's own speed, beside the unit's limit (0 = unlimited)
    // Drawn anew at every insert or bind, so the same image or device put in
    // again is another card; 0 in descriptions written before there was one.
    uint64_t insertId = 0;
};
constexpr uint64_t kEjectedUnknown = UINT64_MAX;

// What tells the card in a slot from the one before it and the one after it,
// as far as the description knows: the image or bound device, and the insert
// that put it there. The medium in a bound device has its own number besides
// (the kernel's disk sequence, blockdev::Medium::diskSeq).
std::string CardIdentity(const Card &card);


// Operations a fault rule can apply to (bit mask).
enum Op : uint32_t {
    OpInquiry = 1u << 0,
    OpReadBuffer = 1u << 1,
    OpSlotStatus = 1u << 2,
    OpDriveInfo = 1u << 3,
    OpRead = 1u << 4,
    OpWrite = 1u << 5,
    OpEject = 1u << 6,
    OpFormat = 1u << 7,
    OpScan = 1u << 8,
    OpLock = 1u << 9,
    OpAll = (1u << 10) - 1,
};

// Parses "read,write" style lists (names as OpNames writes, or "all"); false if unknown.
bool ParseOps(const std::string &text, uint32_t *ops);
// "read,write" style text of a mask.
std::string OpNames(uint32_t ops);

enum class Count {
    Off,      // never fires
    Always,   // every matching call
    Next,     // the next n matching calls
    Every,    // every nth matching call (n, 2n, ...)
    After,    // every matching call after the first n
};

enum class Effect {
    Sense,    // the call fails with key/asc/ascq
    Short,    // only arg sectors move; then fails with the sense if key != 0, else reports success
    Corrupt,  // data moves with byte (arg mod 512) of every sector inverted
    Drop,     // write: reported done, nothing written; scan: the last arg targets are left out
    Delay,    // the call waits arg ms, then runs normally
};

// Slot values of a rule beside 1..10.
constexpr int kAnySlot = -1;  // every target of the unit
constexpr int kVdSlot = 0;    // the VD target only

// One fault rule. A VD transfer also meets the rules of the cards it reaches.
struct FaultRule {
    uint32_t id = 0;             // given by AddFault
    int slot = kAnySlot;
    uint32_t ops = OpAll;
    Count count = Count::Always;
    uint32_t n = 0;
    uint64_t lbaFirst = 0;       // read/write: applies when the transfer touches [lbaFirst, lbaLast]
    uint64_t lbaLast = UINT64_MAX;
    Effect effect = Effect::Sense;
    uint8_t key = 0x03, asc = 0x11, ascq = 0x00;
    uint32_t arg = 0;
    uint64_t hits = 0;           // matching calls so far (read back only)
    uint64_t fires = 0;          // times it took effect (read back only)
};

// A device on the bus, as its description reads.
struct Unit {
    std::string name;
    UnitDesc unitDesc;
    std::vector<Card> cards;     // by slot number
    std::vector<FaultRule> faults;
    uint32_t nextFaultId = 1;    // the id the next rule gets
};

// Parses a rule in tvqunit's words, e.g. "op=read lba=100-1ff count=next:2 effect=sense:03/11/00".
FaultRule ParseFaultRule(const std::string &text);
// The rule in the same words.
std::string FaultRuleText(const FaultRule &r);

// Sets the unit's sync inside a change (ChangeUnit); turning it on first
// flushes what the cards hold, and throws Error when one cannot be flushed.
void ApplySync(Unit &unit, bool always);

// A lock or free call the library recorded.
struct CallRecord {
    std::string op;              // "lock", "free" or "freeex"
    uint32_t index = 0;          // target index given by the caller
    std::string unit;            // lock / freeex of one target: its device, else ""
    int target = -1;             // its target number inside the device, else -1
};

// The bus directory, the library's default when dir is empty.
std::string DefaultBusDir();

class Bus {
public:
    // Opens (and creates when missing) the bus directory; "" = DefaultBusDir().
    explicit Bus(const std::string &dir = std::string());
    // The bus directory.
    const std::string &Dir() const { return dir_; }

    // Creates a device; fails if the name is taken or not a plain file name.
    void CreateUnit(const std::string &name, const UnitDesc &unitDesc);
    // Rewrites the description of an existing device (cards, faults kept).
    void UpdateUnit(const std::string &name, const UnitDesc &unitDesc);
    // Read-modify-write of the whole device under its lock: change may alter
    // anything or throw Error, which leaves the device as it was.
    void ChangeUnit(const std::string &name, const std::function<void(Unit &)> &change);
    // True if the device exists.
    bool HasUnit(const std::string &name) const;
    // The device's description and cards; fails when unknown or malformed.
    Unit GetUnit(const std::string &name) const;
    // Names of the devices, in bus order.
    std::vector<std::string> UnitNames() const;

    // Marks the device connected (plug) or not (unplug).
    void Plug(const std::string &name);
    void Unplug(const std::string &name);

    // Puts a blank (sparse, zero) card of bytes into the slot; returns its image path.
    std::string InsertBlank(const std::string &name, int slot, uint64_t bytes);
    // Puts an existing image into the slot, copied into the bus or used in place; returns the image path.
    std::string InsertImage(const std::string &name, int slot, const std::string &image, bool inPlace = false);
    // Same with drive parameters of the caller's choosing.
    std::string InsertBlank(const std::string &name, int slot, uint64_t bytes, const DriveParams &p);
    std::string InsertImage(const std::string &name, int slot, const std::string &image, bool inPlace,
                            const DriveParams &p);
    // Binds a block device to the slot: a card in an ordinary reader, or a
    // loop device. Refused, with nothing changed, when the path is no whole
    // block device, or the device or a partition of it is mounted, used as
    // swap, under another device or the running system, already bound to a
    // slot of any unit on the bus, or cannot be opened for reading and writing.
    // Writes nothing to the device. Returns the device's node.
    std::string InsertDevice(const std::string &name, int slot, const std::string &device);
    // Overrides the drive parameters of the card in the slot.
    void SetDriveParams(const std::string &name, int slot, const DriveParams &p);
    // Takes the card out of the slot (its image, flushed to disk, stays); returns
    // the image path. A bound device is unbound, its data flushed, nothing written.
    std::string Pull(const std::string &name, int slot);
    // Ejects the card as the unit does: an image card leaves like Pull; from a
    // bound device the kernel is asked to eject the card, the device stays
    // bound, the slot empty until another card comes. Returns the image or device.
    std::string Eject(const std::string &name, int slot);
    // True if a card is in the slot.
    bool HasCard(const std::string &name, int slot) const;
    // Image path of the card in the slot; fails when the slot is empty.
    std::string CardImage(const std::string &name, int slot) const;
    // The card in the slot; fails when the slot is empty.
    Card GetCard(const std::string &name, int slot) const;

    // Adds a fault rule; returns its id.
    uint32_t AddFault(const std::string &name, const FaultRule &rule);
    // Removes one rule (false if there is none with the id) or all of them.
    bool ClearFault(const std::string &name, uint32_t id);
    void ClearFaults(const std::string &name);
    // The rules with their hit and fire counts.
    std::vector<FaultRule> Faults(const std::string &name) const;
    // Times rule id fired (0 when unknown).
    uint64_t FireCount(const std::string &name, uint32_t id) const;

    // Throughput limit per device call (0 = none) and a delay added to every call.
    void SetThrottle(const std::string &name, uint64_t bytesPerSecond, uint32_t callDelayMs = 0);
    // Every WRITE(10) synchronous (true) or flushed at eject, pull, unplug and free only (false).
    void SetSync(const std::string &name, bool always);

    // Lock and free calls recorded by the library, oldest first.
    std::vector<CallRecord> Calls() const;
    // Target numbers (inside the device) locked and not freed since.
    std::vector<int> LockedTargets(const std::string &name) const;
    // Forgets the recorded calls.
    void ClearCalls();

    // The folder of a device; fails on a name that is no plain file name.
    std::string UnitDir(const std::string &name) const;

private:
    void CheckSlot(const std::string &name, int slot, Unit *u) const;
    std::string Insert(const std::string &name, int slot, const std::string &image, bool inPlace,
                       uint64_t blankBytes, const DriveParams *p);
    std::string dir_;
};

}  // namespace vbus
