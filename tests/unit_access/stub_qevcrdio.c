/* A stand-in pass-through library for the loader tests: every call answers
 * "done" without a unit behind it. Built twice: once lacking QevScFormat, once
 * complete but reporting itself unusable. */
#include "qevcrdio.h"

int32_t QevScGetVersion(uint32_t *major, uint32_t *minor)
{
    if (major) *major = 9;
    if (minor) *minor = 9;
#ifdef STUB_UNUSABLE
    return 0;
#else
    return 1;
#endif
}
int32_t QevScScanEx(QevScFilter filter, const char *nameFilter, QevSlotRecord *slotTable)
{
    (void)filter; (void)nameFilter; (void)slotTable;
    return 0;
}
int32_t QevScLock(uint32_t target) { (void)target; return 0; }
int32_t QevScInquiry(uint32_t target, uint32_t allocLen, uint8_t *buffer)
{
    (void)target; (void)allocLen; (void)buffer;
    return QEV_E_NO_TARGET;
}
int32_t QevScReadBuffer(uint32_t target, uint32_t mode, uint32_t bufferId, uint32_t offset,
                        uint8_t *buffer, uint32_t allocLen)
{
    (void)target; (void)mode; (void)bufferId; (void)offset; (void)buffer; (void)allocLen;
    return QEV_E_NO_TARGET;
}
int32_t QevScGetDriveInfo(uint32_t target, QevSlotRecord *record) { (void)target; (void)record; return 0; }
int32_t QevScGetSlotStatus(uint32_t target, QevSlotStatus *status) { (void)target; (void)status; return 0; }
int32_t QevScRead10(uint32_t target, uint32_t lba, uint32_t count, void *buffer, uint32_t bytesPerSector)
{
    (void)target; (void)lba; (void)count; (void)buffer; (void)bytesPerSector;
    return 0;
}
int32_t QevScWrite10(uint32_t target, uint32_t lba, uint32_t count, const void *buffer,
                     uint32_t bytesPerSector)
{
    (void)target; (void)lba; (void)count; (void)buffer; (void)bytesPerSector;
    return 0;
}
int32_t QevScEject(uint32_t target) { (void)target; return 1; }
#ifndef STUB_NO_FORMAT
int32_t QevScFormat(uint32_t target, QevSlotRecord *record) { (void)target; (void)record; return 0; }
#endif
int32_t QevScFree(void) { return 1; }
int32_t QevScFreeEx(uint32_t target) { (void)target; return 1; }
