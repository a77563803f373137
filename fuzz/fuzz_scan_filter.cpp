// The scan filter and ScanUnit on random INQUIRY data. The input is a list of
// 36-byte INQUIRY answers offered in order; its first four bytes are the count
// a misbehaving library may report instead of the true one.
#include "scsiio.h"
#include "tvq2xx.h"

#include <cstring>
#include <vector>

namespace {

constexpr size_t kRecord = 36;

const uint8_t *gData;
size_t gRecords;
bool gLie;
int32_t gLieCount;

bool Matches(const uint8_t *inq, uint32_t kind)
{
    if (std::memcmp(inq + 8, kVendorId, 8) != 0)
        return false;
    const char *product = kind == ModelTvq210 ? kProductTvq210 : kProductTvq206;
    return std::memcmp(inq + 16, product, 14) == 0;
}

uint32_t Limit(uint32_t kind)
{
    return kind == ModelTvq210 ? kTargetsTvq210 : kind == ModelTvq206 ? kTargetsTvq206 : 0;
}

// A library that offers every record and keeps what the filter accepts.
int32_t FakeScanEx(QevScFilter filter, const char *name, QevSlotRecord *table)
{
    if (std::strcmp(name, kNameFilter) != 0 || table == nullptr)
        __builtin_trap();
    int32_t accepted = 0;
    for (size_t i = 0; i < gRecords; ++i) {
        const uint8_t *inq = gData + 4 + i * kRecord;
        if (filter(inq) == -1) {
            if (!Matches(inq, ScanModel()))
                __builtin_trap();  // accepted something of the wrong identity
            if (accepted < QEV_MAX_TARGETS) {
                table[accepted].DriveLetter = uint8_t('D' + accepted);
                ++accepted;
            }
        }
    }
    if (uint32_t(accepted) > Limit(ScanModel()))
        __builtin_trap();  // more than the model has
    return gLie ? gLieCount : accepted;
}

uint32_t gLocks;
int32_t FakeLock(uint32_t target)
{
    if (target != gLocks)
        __builtin_trap();  // locks go in ascending order from 0
    ++gLocks;
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 4)
        return 0;
    gData = data;
    gRecords = (size - 4) / kRecord;
    std::memcpy(&gLieCount, data, 4);
    gLie = (data[0] & 1) != 0;

    Scsi = ScsiIo();
    Scsi.ScanEx = FakeScanEx;
    Scsi.Lock = FakeLock;
    gLocks = 0;

    SlotTableType table = {};
    const uint32_t n = ScanUnit(table);
    if (n > uint32_t(kSlotTableEntries) || n > Limit(ScanModel()))
        __builtin_trap();
    if (n > 0 && ScanModel() == ModelNone)
        __builtin_trap();
    if (gLocks != n)
        __builtin_trap();

    // The filter alone, record by record.
    ResetScanState();
    uint32_t accepted = 0;
    for (size_t i = 0; i < gRecords; ++i) {
        const uint8_t *inq = data + 4 + i * kRecord;
        const int32_t r = MatchTarget(inq);
        if (r != 0 && r != -1)
            __builtin_trap();
        if (r == -1)
            ++accepted;
    }
    if (accepted > Limit(ScanModel()) || accepted > ScanTargets())
        __builtin_trap();
    Scsi = ScsiIo();
    return 0;
}
