// The library's target indexes over the backends. A scan asks the backends
// in order, real units (sg) first and then the virtual bus, as
// QEVCRDIO_BACKEND (auto, sg or bus; default auto) allows, and numbers the
// targets they accept one after the other, QEV_MAX_TARGETS at most.
#pragma once

#include "Driver.h"

#include <mutex>
#include <utility>
#include <vector>

namespace qev {

class Dispatch {
public:
    static Dispatch &Get();

    int32_t Scan(QevScFilter filter, const char *nameFilter, QevSlotRecord *table);
    // The backend of a library target and its index there; nullptr when the
    // last scan gave no such target.
    Driver *Route(uint32_t target, uint32_t *local);
    int32_t Free();
    int32_t FreeEx(uint32_t target);

private:
    std::vector<Driver *> Backends();

    std::recursive_mutex mu_;
    std::vector<std::pair<Driver *, uint32_t>> map_;
};

// Names the backend in a record it filled (QEV_BACKEND_BYTE).
void Tag(const Driver &d, QevSlotRecord *rec);

// The drive letter of library target i: E for target 0, F for 1, ...
inline uint8_t DriveLetterOf(uint32_t i)
{
    return static_cast<uint8_t>('E' + (i < 21 ? i : 21));
}

}  // namespace qev
