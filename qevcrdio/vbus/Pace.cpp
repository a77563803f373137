#include "Pace.h"

#include <algorithm>

namespace vbus {

namespace {

int64_t TransferNs(uint64_t bytes, uint64_t bytesPerSecond)
{
    if (bytesPerSecond == 0 || bytes == 0) return 0;
    long double ns = static_cast<long double>(bytes) * 1e9L / static_cast<long double>(bytesPerSecond);
    return ns >= static_cast<long double>(INT64_MAX / 2) ? INT64_MAX / 2 : static_cast<int64_t>(ns);
}

}  // namespace

int64_t CallNs(const UnitDesc &unit, const uint64_t *cardLimits, size_t n, uint64_t bytes, uint32_t extraMs)
{
    int64_t slowest = TransferNs(bytes, unit.throttleBytesPerSecond);
    for (size_t i = 0; i < n; ++i) slowest = std::max(slowest, TransferNs(bytes, cardLimits[i]));
    return static_cast<int64_t>(unit.callDelayMs + static_cast<int64_t>(extraMs)) * 1000000 + slowest;
}

}  // namespace vbus
