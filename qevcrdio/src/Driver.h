// What the 13 calls need from a backend: the virtual bus and real units on
// SCSI generic each implement it, and neither knows of the other. A backend
// numbers the targets its last scan accepted from 0; the call layer maps the
// library's target indexes onto backends (real units first) and gives each
// record its drive letter by the library's index.
#pragma once

#include "qevcrdio.h"

#include <cstdint>

namespace qev {

class Driver {
public:
    virtual ~Driver() = default;
    // "sg" or "bus".
    virtual const char *Name() const = 0;
    // Offers the backend's targets to filter and fills table[i] for accepted
    // target i; table holds QEV_MAX_TARGETS entries. Returns how many it accepted.
    virtual int32_t Scan(QevScFilter filter, const char *nameFilter, QevSlotRecord *table) = 0;
    virtual int32_t Lock(uint32_t target) = 0;
    virtual int32_t Inquiry(uint32_t target, uint32_t allocLen, uint8_t *buffer) = 0;
    virtual int32_t ReadBuffer(uint32_t target, uint32_t mode, uint32_t id, uint32_t offset, uint8_t *buffer,
                               uint32_t allocLen) = 0;
    virtual int32_t DriveInfo(uint32_t target, QevSlotRecord *record) = 0;
    virtual int32_t SlotStatus(uint32_t target, QevSlotStatus *status) = 0;
    virtual int32_t Read(uint32_t target, uint32_t lba, uint32_t count, void *buffer, uint32_t bps) = 0;
    virtual int32_t Write(uint32_t target, uint32_t lba, uint32_t count, const void *buffer, uint32_t bps) = 0;
    virtual int32_t Eject(uint32_t target) = 0;
    virtual int32_t Format(uint32_t target, QevSlotRecord *record) = 0;
    // Releases every target of this backend (non-zero: done).
    virtual int32_t Free() = 0;
    virtual int32_t FreeEx(uint32_t target) = 0;
};

}  // namespace qev
