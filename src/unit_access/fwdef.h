// Constants of the unit's identity and firmware information block.
#pragma once

#include <cstdint>

constexpr char kVendorId[] = "QEVRA   ";            // INQUIRY bytes 8-15
constexpr char kProductTvq210[] = "TVQ-210CF     ";   // INQUIRY bytes 16-29
constexpr char kProductTvq206[] = "TVQ-206       ";
constexpr char kNameFilter[] = "TVQ-MTX";
constexpr char kFirmwareSignature[] = "T210";

constexpr uint32_t kTargetsTvq210 = 11;
constexpr uint32_t kTargetsTvq206 = 7;
constexpr int kScanAttempts = 22;

constexpr uint32_t kMinFirmwareVersion = 0x20100;  // 2.10
constexpr uint32_t kSupportedMode = 1;             // UnitFlags bits 0-7
constexpr uint32_t kFlagVdAtEnd = 0x200;
constexpr uint32_t kFlagTrueIde = 0x400;

constexpr uint32_t kFwReadMode = 2;
constexpr uint32_t kFwBufferId = 4;
constexpr uint32_t kFwBufferOffset = 0x1000;
constexpr uint32_t kFwBlockSize = 128;

enum : int32_t { UnitCheckOk = 0, UnitCheckFirmware = -7, UnitCheckMode = -8 };

// The block as the unit returned it by the last read; owned by the device layer.
extern uint8_t FirmwareBlockBuffer[kFwBlockSize];

struct UnitInfoType;
// Takes a block into info: the four values only behind the signature, the two
// texts always. info must have been reset by the caller.
void TakeFirmwareBlock(const uint8_t *block, UnitInfoType &info);
