#include "tvq2xx.h"

#include "scsiio.h"

#include <cstring>

namespace {

uint32_t ScanModelKind;
uint32_t ScanTargetCount;
// Per thread: tvqcard works on several cards at once, each from its own thread.
thread_local int32_t LastResult;

bool Took(int32_t result)
{
    LastResult = result;
    return result == 0;
}

constexpr size_t kInquiryLength = 36;
constexpr size_t kVendorOffset = 8;
constexpr size_t kProductOffset = 16;
constexpr size_t kProductCompared = 14;
constexpr int32_t kNoMedium = QEV_E_NO_MEDIUM;

bool IsVendor(const uint8_t *inquiry)
{
    return std::memcmp(inquiry + kVendorOffset, kVendorId, 8) == 0;
}

bool IsProduct(const uint8_t *inquiry, const char *product)
{
    return std::memcmp(inquiry + kProductOffset, product, kProductCompared) == 0;
}

uint32_t ModelTargets(uint32_t kind)
{
    switch (kind) {
    case ModelTvq210: return kTargetsTvq210;
    case ModelTvq206: return kTargetsTvq206;
    default: return 0;
    }
}

// One filter step for a target of the given model.
int32_t CountTarget(uint32_t kind)
{
    if (ScanTargetCount == 0)
        ScanModelKind = kind;
    else if (ScanModelKind != kind)
        return 0;
    ++ScanTargetCount;
    return ScanTargetCount > ModelTargets(kind) ? 0 : -1;
}

}  // namespace

uint32_t ScanModel()
{
    return ScanModelKind;
}

uint32_t ScanTargets()
{
    return ScanTargetCount;
}

void ResetScanState()
{
    ScanModelKind = ModelNone;
    ScanTargetCount = 0;
}

int32_t MatchTarget(const uint8_t *inquiry)
{
    if (inquiry == nullptr || !IsVendor(inquiry))
        return 0;
    if (IsProduct(inquiry, kProductTvq210))
        return CountTarget(ModelTvq210);
    if (IsProduct(inquiry, kProductTvq206))
        return CountTarget(ModelTvq206);
    return 0;
}

uint32_t ScanUnit(SlotTableType &table, bool lockTargets)
{
    if (Scsi.ScanEx == nullptr) {
        ResetScanState();
        return 0;
    }
    int32_t n = 0;
    for (int attempt = 0; attempt < kScanAttempts; ++attempt) {
        ResetScanState();
        n = Scsi.ScanEx(MatchTarget, kNameFilter, reinterpret_cast<QevSlotRecord *>(table));
        if (ScanModelKind == ModelNone)
            break;
        if (n == int32_t(ModelTargets(ScanModelKind)))
            break;
    }
    // A count the filter cannot have produced (negative, more than the model
    // has, or targets without a model) must not reach the slot table indices.
    if (n <= 0 || ScanModelKind == ModelNone)
        return 0;
    uint32_t count = uint32_t(n);
    if (count > ModelTargets(ScanModelKind))
        count = ModelTargets(ScanModelKind);
    if (lockTargets && Scsi.Lock != nullptr) {
        for (uint32_t i = 0; i < count; ++i)
            Scsi.Lock(i);
    }
    return count;
}

bool ReadFirmwareInfo(UnitInfoType &info)
{
    for (auto &entry : info.VersionTable)
        for (auto &value : entry)
            value = -1;
    std::memset(info.VendorText, ' ', sizeof(info.VendorText));
    std::memset(info.ProductName, ' ', sizeof(info.ProductName));

    if (Scsi.ReadBuffer == nullptr)
        return false;
    // Fresh buffer, so a short answer never passes off the last unit's block as this one's.
    std::memset(FirmwareBlockBuffer, 0, sizeof(FirmwareBlockBuffer));
    if (Scsi.ReadBuffer(0, kFwReadMode, kFwBufferId, kFwBufferOffset, FirmwareBlockBuffer, kFwBlockSize) != 0)
        return false;
    TakeFirmwareBlock(FirmwareBlockBuffer, info);
    return true;
}

int32_t CheckUnit(bool firmwareRead, const UnitInfoType &info)
{
    if (!firmwareRead)
        return UnitCheckFirmware;
    int32_t result = UnitCheckOk;
    const int32_t bios = info.BiosVersion();
    const int32_t cardIf = info.CardIfVersion();
    if (bios == -1 || cardIf == -1)
        result = UnitCheckFirmware;
    if (uint32_t(bios) < kMinFirmwareVersion || uint32_t(cardIf) < kMinFirmwareVersion)
        result = UnitCheckFirmware;
    if ((info.UnitFlags & 0xFF) != kSupportedMode)
        return UnitCheckMode;

    TrueIdeMode = (info.UnitFlags & kFlagTrueIde) != 0 ? 1 : 0;
    VdAtEnd = (info.UnitFlags & kFlagVdAtEnd) != 0 ? 1 : 0;
    // Without targets there is no last entry; 0 keeps SlotTable indices in range.
    VdIndex = VdAtEnd != 0 && DeviceCount > 0 ? DeviceCount - 1 : 0;
    MasterSlotIndex = VdAtEnd != 0 ? 0 : 1;
    return result;
}

bool CheckTargetIdentity(uint32_t &target, uint32_t &modelKind)
{
    if (Scsi.Inquiry == nullptr)
        return false;
    uint8_t data[kInquiryLength] = {};
    if (Scsi.Inquiry(target, kInquiryLength, data) != 0)
        return false;
    if (!IsVendor(data))
        return false;
    switch (modelKind) {
    case ModelTvq210: return IsProduct(data, kProductTvq210);
    case ModelTvq206: return IsProduct(data, kProductTvq206);
    default: return true;
    }
}

bool ReadDriveInfo(uint32_t target, SlotRecord &record)
{
    if (Scsi.GetDriveInfo == nullptr)
        return Took(-1);
    // Read aside: a failing call must not leave a half-written record behind.
    QevSlotRecord fresh;
    std::memcpy(&fresh, &record, sizeof(fresh));
    const int32_t r = Scsi.GetDriveInfo(target, &fresh);
    LastResult = r;
    if (r != 0 && r != kNoMedium)
        return false;
    std::memcpy(&record, &fresh, sizeof(record));
    return true;
}

bool ReadSlotStatus(SlotStatusBlockType &block)
{
    if (Scsi.GetSlotStatus == nullptr)
        return false;
    QevSlotStatus fresh;
    std::memcpy(&fresh, &block, sizeof(fresh));
    if (Scsi.GetSlotStatus(0, &fresh) != 0)
        return false;
    std::memcpy(&block, &fresh, sizeof(block));
    return true;
}

namespace {

// A block never exceeds the transfer buffer the callers hand in.
bool TransferFits(const void *buffer, uint32_t count, uint32_t bytesPerSector)
{
    return buffer != nullptr && count <= kMaxBlockSectors &&
           uint64_t(count) * bytesPerSector <= kTransferBufferSize;
}

}  // namespace

bool ReadSectors(uint32_t &target, uint32_t lba, uint32_t count, void *buffer, uint32_t bytesPerSector)
{
    if (Scsi.Read10 == nullptr || !TransferFits(buffer, count, bytesPerSector))
        return Took(-1);
    return Took(Scsi.Read10(target, lba, count, buffer, bytesPerSector));
}

bool WriteSectors(uint32_t &target, uint32_t lba, uint32_t count, void *buffer, uint32_t bytesPerSector)
{
    if (Scsi.Write10 == nullptr || !TransferFits(buffer, count, bytesPerSector))
        return Took(-1);
    return Took(Scsi.Write10(target, lba, count, buffer, bytesPerSector));
}

bool ReadRun(uint32_t target, uint32_t lba, uint32_t count, void *buffer)
{
    if (Scsi.Read10 == nullptr || buffer == nullptr || count == 0 || count > kMaxRunSectors)
        return Took(-1);
    return Took(Scsi.Read10(target, lba, count, buffer, 512));
}

bool WriteRun(uint32_t target, uint32_t lba, uint32_t count, const void *buffer)
{
    if (Scsi.Write10 == nullptr || buffer == nullptr || count == 0 || count > kMaxRunSectors)
        return Took(-1);
    return Took(Scsi.Write10(target, lba, count, buffer, 512));
}

int32_t TargetHolder(uint32_t target)
{
    if (Scsi.GetDriveInfo == nullptr)
        return 0;
    QevSlotRecord rec = {};
    const int32_t r = Scsi.GetDriveInfo(target, &rec);
    if (r != 0 && r != kNoMedium)
        return 0;
    if (rec.Reserved[QEV_HOLDER_FLAG_BYTE] == 0)
        return 0;
    const uint8_t *p = rec.Reserved + QEV_HOLDER_PID_BYTE;
    return int32_t(uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24);
}

LockResult LockTarget(uint32_t target, int32_t *holderPid)
{
    if (holderPid != nullptr)
        *holderPid = 0;
    if (Scsi.Lock == nullptr) {
        LastResult = -1;
        return LockResult::Failed;
    }
    const int32_t r = Scsi.Lock(target);
    LastResult = r;
    if (r == 0)
        return LockResult::Locked;
    if (r != QEV_E_LOCKED)
        return LockResult::Failed;
    if (holderPid != nullptr)
        *holderPid = TargetHolder(target);
    return LockResult::HeldElsewhere;
}

bool FreeDevices()
{
    return Took(Scsi.Free != nullptr && Scsi.Free() != 0 ? 0 : -1);
}

bool FreeDevicesEx(uint32_t &target)
{
    return Took(Scsi.FreeEx != nullptr && Scsi.FreeEx(target) != 0 ? 0 : -1);
}

bool EjectCard(uint32_t &target)
{
    return Took(Scsi.Eject != nullptr && Scsi.Eject(target) != 0 ? 0 : -1);
}

bool FormatCard(uint32_t &target, SlotRecord &record)
{
    if (Scsi.Format == nullptr)
        return Took(-1);
    return Took(Scsi.Format(target, reinterpret_cast<QevSlotRecord *>(&record)));
}

int32_t LastDeviceResult()
{
    return LastResult;
}
