#include "fwdef.h"

#include "UnitState.h"

#include <cstring>

uint8_t FirmwareBlockBuffer[kFwBlockSize];

namespace {

uint32_t Le32(const uint8_t *p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

}  // namespace

void TakeFirmwareBlock(const uint8_t *block, UnitInfoType &info)
{
    if (std::memcmp(block + offsetof(FirmwareInfoBlock, Signature), kFirmwareSignature, 4) == 0) {
        info.VersionTable[0][0] = int32_t(Le32(block + offsetof(FirmwareInfoBlock, BiosVersion)));
        info.UnitFlags = Le32(block + offsetof(FirmwareInfoBlock, UnitFlags));
        info.ProductCode = Le32(block + offsetof(FirmwareInfoBlock, ProductCode));
        info.VersionTable[2][0] = int32_t(Le32(block + offsetof(FirmwareInfoBlock, CardIfVersion)));
    }
    std::memcpy(info.VendorText, block + offsetof(FirmwareInfoBlock, VendorText), sizeof(info.VendorText));
    std::memcpy(info.ProductName, block + offsetof(FirmwareInfoBlock, ProductName), sizeof(info.ProductName));
}
