// The 13 exported functions. No exception ever leaves the library: a failure
// inside turns into the sense of an internal target failure.
#include "qevcrdio.h"

#include "Dispatch.h"

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

qev::Dispatch &D()
{
    return qev::Dispatch::Get();
}

// Runs f on the backend that owns the target, with its own index; QEV_E_NO_TARGET
// (or failure for the calls whose success is non-zero) when none does.
template <typename F>
int32_t OnTarget(uint32_t target, int32_t none, F &&f)
{
    uint32_t local = 0;
    qev::Driver *d = D().Route(target, &local);
    return d ? f(*d, local) : none;
}

// A record the backend filled carries the library's drive letter and the backend's name.
int32_t Lettered(int32_t rc, uint32_t target, const qev::Driver &d, QevSlotRecord *rec)
{
    if (rec && (rc == QEV_OK || rc == QEV_E_NO_MEDIUM)) {
        rec->DriveLetter = qev::DriveLetterOf(target);
        qev::Tag(d, rec);
    }
    return rc;
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
    return Guard(0, [&] { return D().Scan(filter, nameFilter, slotTable); });
}

QEV_EXPORT int32_t QevScLock(uint32_t target)
{
    return Guard(QEV_E_HARDWARE, [&] {
        return OnTarget(target, QEV_E_NO_TARGET, [&](qev::Driver &d, uint32_t t) { return d.Lock(t); });
    });
}

QEV_EXPORT int32_t QevScInquiry(uint32_t target, uint32_t allocLen, uint8_t *buffer)
{
    return Guard(QEV_E_HARDWARE, [&] {
        return OnTarget(target, QEV_E_NO_TARGET,
                        [&](qev::Driver &d, uint32_t t) { return d.Inquiry(t, allocLen, buffer); });
    });
}

QEV_EXPORT int32_t QevScReadBuffer(uint32_t target, uint32_t mode, uint32_t bufferId, uint32_t offset,
                                   uint8_t *buffer, uint32_t allocLen)
{
    return Guard(QEV_E_HARDWARE, [&] {
        return OnTarget(target, QEV_E_NO_TARGET, [&](qev::Driver &d, uint32_t t) {
            return d.ReadBuffer(t, mode, bufferId, offset, buffer, allocLen);
        });
    });
}

QEV_EXPORT int32_t QevScGetDriveInfo(uint32_t target, QevSlotRecord *record)
{
    return Guard(QEV_E_HARDWARE, [&] {
        return OnTarget(target, QEV_E_NO_TARGET, [&](qev::Driver &d, uint32_t t) {
            return Lettered(d.DriveInfo(t, record), target, d, record);
        });
    });
}

QEV_EXPORT int32_t QevScGetSlotStatus(uint32_t target, QevSlotStatus *status)
{
    return Guard(QEV_E_HARDWARE, [&] {
        return OnTarget(target, QEV_E_NO_TARGET, [&](qev::Driver &d, uint32_t t) { return d.SlotStatus(t, status); });
    });
}

QEV_EXPORT int32_t QevScRead10(uint32_t target, uint32_t lba, uint32_t count, void *buffer,
                               uint32_t bytesPerSector)
{
    return Guard(QEV_E_HARDWARE, [&] {
        return OnTarget(target, QEV_E_NO_TARGET,
                        [&](qev::Driver &d, uint32_t t) { return d.Read(t, lba, count, buffer, bytesPerSector); });
    });
}

QEV_EXPORT int32_t QevScWrite10(uint32_t target, uint32_t lba, uint32_t count, const void *buffer,
                                uint32_t bytesPerSector)
{
    return Guard(QEV_E_HARDWARE, [&] {
        return OnTarget(target, QEV_E_NO_TARGET,
                        [&](qev::Driver &d, uint32_t t) { return d.Write(t, lba, count, buffer, bytesPerSector); });
    });
}

QEV_EXPORT int32_t QevScEject(uint32_t target)
{
    return Guard(0, [&] { return OnTarget(target, 0, [&](qev::Driver &d, uint32_t t) { return d.Eject(t); }); });
}

QEV_EXPORT int32_t QevScFormat(uint32_t target, QevSlotRecord *record)
{
    return Guard(QEV_E_HARDWARE, [&] {
        return OnTarget(target, QEV_E_NO_TARGET, [&](qev::Driver &d, uint32_t t) {
            int32_t rc = d.Format(t, record);
            if (rc == QEV_OK) Lettered(rc, target, d, record);
            return rc;
        });
    });
}

QEV_EXPORT int32_t QevScFree(void)
{
    return Guard(0, [&] { return D().Free(); });
}

QEV_EXPORT int32_t QevScFreeEx(uint32_t target)
{
    return Guard(0, [&] { return D().FreeEx(target); });
}
