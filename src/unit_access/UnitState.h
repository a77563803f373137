// Process-wide records of the connected unit. Plain global data, read and
// written on the GUI thread only; the writers are named beside each item.
#pragma once

#include <cstddef>
#include <cstdint>

// Drive parameters of one target, laid out as the pass-through library writes them.
struct SlotRecord {
    uint32_t CardPresent;
    uint32_t Cylinders;
    uint32_t Heads;
    uint32_t TotalSectors;
    uint32_t SectorsPerTrack;
    uint32_t SectorSize;
    uint32_t WaitCheck;
    uint32_t AccessTiming;
    uint8_t DriveLetter;
    uint8_t Reserved[7];
};
static_assert(sizeof(SlotRecord) == 40, "SlotRecord is fixed by the library");
static_assert(offsetof(SlotRecord, Cylinders) == 4, "SlotRecord layout");
static_assert(offsetof(SlotRecord, Heads) == 8, "SlotRecord layout");
static_assert(offsetof(SlotRecord, TotalSectors) == 12, "SlotRecord layout");
static_assert(offsetof(SlotRecord, SectorsPerTrack) == 16, "SlotRecord layout");
static_assert(offsetof(SlotRecord, SectorSize) == 20, "SlotRecord layout");
static_assert(offsetof(SlotRecord, WaitCheck) == 24, "SlotRecord layout");
static_assert(offsetof(SlotRecord, AccessTiming) == 28, "SlotRecord layout");
static_assert(offsetof(SlotRecord, DriveLetter) == 32, "SlotRecord layout");

// The first 32 bytes: two cards are alike exactly when these match.
constexpr size_t kDriveParamBytes = 32;

constexpr int kSlotTableEntries = 11;
using SlotTableType = SlotRecord[kSlotTableEntries];

struct SlotStatusBlockType {
    uint32_t VdTarget;   // 0-based: 0 = slot 1
    uint32_t Unused;
    uint32_t CardMask;   // bit s-1 = slot s
};
static_assert(sizeof(SlotStatusBlockType) == 12, "SlotStatusBlock is fixed by the library");
static_assert(offsetof(SlotStatusBlockType, CardMask) == 8, "SlotStatusBlock layout");

struct FirmwareInfoBlock {
    char Signature[4];       // "T210"
    uint32_t BiosVersion;
    uint32_t UnitFlags;
    uint32_t ProductCode;
    uint32_t CardIfVersion;
    uint8_t Unused1[12];
    char VendorText[8];
    char ProductName[16];
    uint8_t Unused2[72];
};
static_assert(sizeof(FirmwareInfoBlock) == 128, "firmware block is 128 bytes");
static_assert(offsetof(FirmwareInfoBlock, BiosVersion) == 4, "firmware block layout");
static_assert(offsetof(FirmwareInfoBlock, UnitFlags) == 8, "firmware block layout");
static_assert(offsetof(FirmwareInfoBlock, ProductCode) == 12, "firmware block layout");
static_assert(offsetof(FirmwareInfoBlock, CardIfVersion) == 16, "firmware block layout");
static_assert(offsetof(FirmwareInfoBlock, VendorText) == 32, "firmware block layout");
static_assert(offsetof(FirmwareInfoBlock, ProductName) == 40, "firmware block layout");

struct UnitInfoType {
    uint32_t ProductCode;
    char VendorText[8];
    char ProductName[16];
    int32_t VersionTable[5][3];  // [0][0] BIOS, [2][0] card I/F; the rest stay -1
    uint32_t UnitFlags;

    int32_t BiosVersion() const { return VersionTable[0][0]; }
    int32_t CardIfVersion() const { return VersionTable[2][0]; }
};

// Five operations installed by ScanDevice after the first successful scan.
struct DeviceOpsType {
    bool (*Free)();
    bool (*FreeEx)(uint32_t &target);
    bool (*Eject)(uint32_t &target);
    bool (*Format)(uint32_t &target, SlotRecord &record);
    bool (*ReadFirmwareInfo)(UnitInfoType &info);
};

enum : uint32_t { ModelNone = 0, ModelTvq210 = 1, ModelTvq206 = 2 };

constexpr uint32_t kTransferBufferSize = 0x10000;
constexpr uint32_t kMaxBlockSectors = 128;

extern SlotTableType SlotTable;
extern UnitInfoType UnitInfo;
extern DeviceOpsType DeviceOps;
extern SlotStatusBlockType SlotStatusBlock;
extern uint32_t DeviceCount;
extern uint32_t ModelKind;
extern uint32_t TrueIdeMode;
extern uint32_t VdAtEnd;
extern uint32_t VdIndex;
extern uint32_t MasterSlotIndex;
extern int32_t StartupResult;
extern bool UnitConnected;
extern uint8_t *TransferBuffer;
extern uint32_t LibVersion[2];

// Main-window state that the dialogs read (slot monitor, open command, transfers).
extern uint32_t SlotPresenceMask;
extern int32_t VdTargetSlot;
extern long double AllSlotsMask;
extern bool MenusBuilt;
extern uint32_t OpenLampIndex;
extern uint32_t OpenSlotIndex;
extern bool TransferActive;

// SlotTable entry of slot number n (0 = VD).
inline uint32_t SlotEntryOf(uint32_t slot) { return slot == 0 ? VdIndex : slot - VdAtEnd; }

// Zeroes the drive parameters of an entry, keeping its drive letter.
void ClearDriveParams(SlotRecord &record);
