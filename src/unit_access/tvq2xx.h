// Device layer: finds and identifies the unit, and the thin operations through
// which the rest of the program reaches the library.
#pragma once

#include "UnitState.h"
#include "fwdef.h"

#include <cstdint>

// Scan filter: -1 accept, 0 reject.
int32_t MatchTarget(const uint8_t *inquiry);
// Model fixed by the last scan (0, 1 or 2).
uint32_t ScanModel();
// Targets the filter counted in the current (or last) scan attempt, rejected ones beyond
// the model's count included.
uint32_t ScanTargets();
// Starts a new scan attempt: no model, no target counted.
void ResetScanState();

// Finds the unit; locks every target found unless told not to (the program
// always locks; a tool that works on a few targets locks those itself).
uint32_t ScanUnit(SlotTableType &table, bool lockTargets = true);
bool ReadFirmwareInfo(UnitInfoType &info);
bool CheckTargetIdentity(uint32_t &target, uint32_t &modelKind);
// The unit check on the UnitInfo just read: 0, -7 or -8. Applies the mode
// scalars (TrueIdeMode, VdAtEnd, VdIndex, MasterSlotIndex) when the mode is supported.
int32_t CheckUnit(bool firmwareRead, const UnitInfoType &info);

bool ReadDriveInfo(uint32_t target, SlotRecord &record);
bool ReadSlotStatus(SlotStatusBlockType &block);
bool ReadSectors(uint32_t &target, uint32_t lba, uint32_t count, void *buffer, uint32_t bytesPerSector);
bool WriteSectors(uint32_t &target, uint32_t lba, uint32_t count, void *buffer, uint32_t bytesPerSector);
// A tool with buffers of its own (tvqcard) moves up to kMaxRunSectors of 512
// bytes a call, in fewer calls than the program's 128-sector blocks.
constexpr uint32_t kMaxRunSectors = 0xFFFF;
bool ReadRun(uint32_t target, uint32_t lba, uint32_t count, void *buffer);
bool WriteRun(uint32_t target, uint32_t lba, uint32_t count, const void *buffer);
// Locks one target for this process. The program ignores lock results; a
// tool that must not share a card with another process asks here.
enum class LockResult { Locked, HeldElsewhere, Failed };
// *holderPid: the process holding it (HeldElsewhere), 0 when the library cannot tell.
LockResult LockTarget(uint32_t target, int32_t *holderPid = nullptr);
// The process that holds the target's lock, 0 when none (or none other than this one).
int32_t TargetHolder(uint32_t target);
bool FreeDevices();
bool FreeDevicesEx(uint32_t &target);
bool EjectCard(uint32_t &target);
bool FormatCard(uint32_t &target, SlotRecord &record);
// The library's result of the last drive information, transfer, lock, eject,
// format or release call made here (0: success; a packed sense code, see
// qevcrdio.h; -1: the call was not made, no library or a bad argument), so a
// caller can say why one failed. Eject and the release calls give 0 on success
// and -1 on failure, as the library tells nothing more. Kept per thread: the
// transfer calls may come from several threads at once (the library takes them
// one at a time).
int32_t LastDeviceResult();
