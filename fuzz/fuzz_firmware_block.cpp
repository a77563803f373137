// ReadFirmwareInfo and the unit check on random firmware blocks. Input: the
// 128-byte block (zero-padded when short), then the flags and product code
// left from an earlier block, the target count and whether the read fails.
#include "scsiio.h"
#include "tvq2xx.h"

#include <cstring>

namespace {

uint8_t gBlock[kFwBlockSize];
int32_t gReadResult;

int32_t FakeReadBuffer(uint32_t target, uint32_t mode, uint32_t id, uint32_t offset, uint8_t *buffer,
                       uint32_t length)
{
    if (target != 0 || mode != kFwReadMode || id != kFwBufferId || offset != kFwBufferOffset ||
        length != kFwBlockSize || buffer == nullptr)
        __builtin_trap();
    if (gReadResult == 0)
        std::memcpy(buffer, gBlock, sizeof(gBlock));
    return gReadResult;
}

uint32_t Le32(const uint8_t *p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

uint8_t Byte(const uint8_t *data, size_t size, size_t i)
{
    return i < size ? data[i] : 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::memset(gBlock, 0, sizeof(gBlock));
    std::memcpy(gBlock, data, size < sizeof(gBlock) ? size : sizeof(gBlock));
    uint8_t extra[10];
    for (size_t i = 0; i < sizeof(extra); ++i)
        extra[i] = Byte(data, size, kFwBlockSize + i);
    const uint32_t oldFlags = Le32(extra);
    const uint32_t oldCode = Le32(extra + 4);
    DeviceCount = extra[8] % (kSlotTableEntries + 1);
    gReadResult = (extra[9] & 1) != 0 ? QEV_E_HARDWARE : 0;

    Scsi = ScsiIo();
    Scsi.ReadBuffer = FakeReadBuffer;
    UnitInfoType info;
    std::memset(&info, 0x11, sizeof(info));
    info.UnitFlags = oldFlags;
    info.ProductCode = oldCode;
    TrueIdeMode = VdAtEnd = VdIndex = MasterSlotIndex = 0xEE;

    const bool read = ReadFirmwareInfo(info);
    if (read != (gReadResult == 0))
        __builtin_trap();
    for (int e = 0; e < 5; ++e)
        for (int v = 0; v < 3; ++v)
            if (!((e == 0 || e == 2) && v == 0) && info.VersionTable[e][v] != -1)
                __builtin_trap();

    const bool signature = read && std::memcmp(gBlock, "T210", 4) == 0;
    const uint32_t bios = signature ? Le32(gBlock + 4) : 0xFFFFFFFFu;
    const uint32_t flags = signature ? Le32(gBlock + 8) : oldFlags;
    const uint32_t code = signature ? Le32(gBlock + 12) : oldCode;
    const uint32_t cardIf = signature ? Le32(gBlock + 16) : 0xFFFFFFFFu;
    if (uint32_t(info.BiosVersion()) != bios || uint32_t(info.CardIfVersion()) != cardIf ||
        info.UnitFlags != flags || info.ProductCode != code)
        __builtin_trap();
    if (read) {
        if (std::memcmp(info.VendorText, gBlock + 32, 8) != 0 || std::memcmp(info.ProductName, gBlock + 40, 16) != 0)
            __builtin_trap();
    } else {
        for (char c : info.VendorText)
            if (c != ' ')
                __builtin_trap();
        for (char c : info.ProductName)
            if (c != ' ')
                __builtin_trap();
    }

    const int32_t r = CheckUnit(read, info);
    int32_t expected = 0;
    if (!read)
        expected = UnitCheckFirmware;
    else if ((flags & 0xFF) != 1)
        expected = UnitCheckMode;
    else if (bios < kMinFirmwareVersion || cardIf < kMinFirmwareVersion || bios == 0xFFFFFFFFu ||
             cardIf == 0xFFFFFFFFu)
        expected = UnitCheckFirmware;
    if (r != expected)
        __builtin_trap();

    const bool applied = read && (flags & 0xFF) == 1;
    if (applied) {
        if (TrueIdeMode != ((flags & 0x400) ? 1u : 0u) || VdAtEnd != ((flags & 0x200) ? 1u : 0u))
            __builtin_trap();
        if (VdIndex >= uint32_t(kSlotTableEntries) || (DeviceCount > 0 && VdIndex >= DeviceCount))
            __builtin_trap();
        if (MasterSlotIndex != 1 - VdAtEnd)
            __builtin_trap();
    } else if (TrueIdeMode != 0xEE || VdAtEnd != 0xEE || VdIndex != 0xEE || MasterSlotIndex != 0xEE) {
        __builtin_trap();
    }
    Scsi = ScsiIo();
    return 0;
}
