// Small helpers shared by the library tests.
#pragma once

#include "VirtualBus.h"
#include "qevcrdio.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace tvqtest {

// Accepts every candidate.
inline int32_t AcceptAll(const uint8_t *)
{
    return -1;
}

// Scans with every candidate accepted; returns the count and fills table.
inline int32_t ScanAll(QevSlotRecord *table, const char *nameFilter = "TVQ-MTX")
{
    std::memset(table, 0, sizeof(QevSlotRecord) * QEV_MAX_TARGETS);
    return QevScScanEx(AcceptAll, nameFilter, table);
}

// The 16-byte product field of a target's INQUIRY data, trailing blanks cut.
inline std::string ProductOf(uint32_t target)
{
    uint8_t inq[36] = {};
    if (QevScInquiry(target, 36, inq) != 0) return "?";
    std::string p(reinterpret_cast<char *>(inq + 16), 16);
    while (!p.empty() && p.back() == ' ') p.pop_back();
    return p;
}

// A deterministic pattern of n sectors, distinct per seed.
inline std::vector<uint8_t> Pattern(uint32_t sectors, uint32_t seed)
{
    std::vector<uint8_t> v(static_cast<size_t>(sectors) * 512);
    uint32_t x = seed * 2654435761u + 1;
    for (auto &b : v) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    return v;
}

}  // namespace tvqtest
