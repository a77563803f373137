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

uint32_t ScanUnit(SlotTableType &table);
bool ReadFirmwareInfo(UnitInfoType &info);
bool CheckTargetIdentity(uint32_t &target, uint32_t &modelKind);
// The unit check on the UnitInfo just read: 0, -7 or -8. Applies the mode
// scalars (TrueIdeMode, VdAtEnd, VdIndex, MasterSlotIndex) when the mode is supported.
int32_t CheckUnit(bool firmwareRead, const UnitInfoType &info);

bool ReadDriveInfo(uint32_t target, SlotRecord &record);
bool ReadSlotStatus(SlotStatusBlockType &block);
bool ReadSectors(uint32_t &target, uint32_t lba, uint32_t count, void *buffer, uint32_t bytesPerSector);
bool WriteSectors(uint32_t &target, uint32_t lba, uint32_t count, void *buffer, uint32_t bytesPerSector);
bool FreeDevices();
bool FreeDevicesEx(uint32_t &target);
bool EjectCard(uint32_t &target);
bool FormatCard(uint32_t &target, SlotRecord &record);
