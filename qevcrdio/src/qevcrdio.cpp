// The 13 exported functions. No exception ever leaves the library: a failure
// inside turns into the sense of an internal target failure.
#include "qevcrdio.h"

#include "Backend.h"

#define QEV_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr uint32_t kMajor = 1;
constexpr uint32_t kMinor = 0;

template <typename F>
int32_t Guard(int32_t onError, F &&f)
{
    try {
        return f();
    } catch (...) {
        return onError;
    }
}

qev::Backend &B()
{
    return qev::Backend::Get();
}

}  // namespace

QEV_EXPORT int32_t QevScGetVersion(uint32_t *major, uint32_t *minor)
{
    if (major) *major = kMajor;
    if (minor) *minor = kMinor;
    return 1;
}

QEV_EXPORT int32_t QevScScanEx(QevScFilter filter, const char *nameFilter, QevSlotRecord *slotTable)
{
    return Guard(0, [&] { return B().Scan(filter, nameFilter, slotTable); });
}

QEV_EXPORT int32_t QevScLock(uint32_t target)
{
    return Guard(QEV_E_HARDWARE, [&] { return B().Lock(target); });
}

QEV_EXPORT int32_t QevScInquiry(uint32_t target, uint32_t allocLen, uint8_t *buffer)
{
    return Guard(QEV_E_HARDWARE, [&] { return B().Inquiry(target, allocLen, buffer); });
}

QEV_EXPORT int32_t QevScReadBuffer(uint32_t target, uint32_t mode, uint32_t bufferId, uint32_t offset,
                                   uint8_t *buffer, uint32_t allocLen)
{
    return Guard(QEV_E_HARDWARE, [&] { return B().ReadBuffer(target, mode, bufferId, offset, buffer, allocLen); });
}

QEV_EXPORT int32_t QevScGetDriveInfo(uint32_t target, QevSlotRecord *record)
{
    return Guard(QEV_E_HARDWARE, [&] { return B().DriveInfo(target, record); });
}

QEV_EXPORT int32_t QevScGetSlotStatus(uint32_t target, QevSlotStatus *status)
{
    return Guard(QEV_E_HARDWARE, [&] { return B().SlotStatus(target, status); });
}

QEV_EXPORT int32_t QevScRead10(uint32_t target, uint32_t lba, uint32_t count, void *buffer,
                               uint32_t bytesPerSector)
{
    return Guard(QEV_E_HARDWARE, [&] { return B().Read(target, lba, count, buffer, bytesPerSector); });
}

QEV_EXPORT int32_t QevScWrite10(uint32_t target, uint32_t lba, uint32_t count, const void *buffer,
                                uint32_t bytesPerSector)
{
    return Guard(QEV_E_HARDWARE, [&] { return B().Write(target, lba, count, buffer, bytesPerSector); });
}

QEV_EXPORT int32_t QevScEject(uint32_t target)
{
    return Guard(0, [&] { return B().Eject(target); });
}

QEV_EXPORT int32_t QevScFormat(uint32_t target, QevSlotRecord *record)
{
    return Guard(QEV_E_HARDWARE, [&] { return B().Format(target, record); });
}

QEV_EXPORT int32_t QevScFree(void)
{
    return Guard(0, [&] { return B().Free(); });
}

QEV_EXPORT int32_t QevScFreeEx(uint32_t target)
{
    return Guard(0, [&] { return B().FreeEx(target); });
}
