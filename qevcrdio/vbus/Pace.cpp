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

// Sums of times, held short of overflow however much is booked.
int64_t Add(int64_t a, int64_t b)
{
    constexpr int64_t kFar = INT64_MAX / 2;
    return a > kFar - b ? kFar : a + b;
}

}  // namespace

int64_t CallNs(const UnitDesc &unit, const uint64_t *cardLimits, size_t n, uint64_t bytes, uint32_t extraMs)
{
    int64_t slowest = TransferNs(bytes, unit.throttleBytesPerSecond);
    for (size_t i = 0; i < n; ++i) slowest = std::max(slowest, TransferNs(bytes, cardLimits[i]));
    return static_cast<int64_t>(unit.callDelayMs + static_cast<int64_t>(extraMs)) * 1000000 + slowest;
}

int64_t Reserve(const UnitDesc &unit, int64_t *busUntil, int64_t *const *cardUntil, const uint64_t *cardLimits,
                size_t n, uint64_t bytes, uint32_t extraMs, int64_t startNs)
{
    int64_t onBus = TransferNs(bytes, unit.throttleBytesPerSecond);
    int64_t busStart = startNs;
    if (onBus > 0) {
        busStart = std::max(startNs, *busUntil);
        *busUntil = Add(busStart, onBus);
    }
    int64_t cardStart = startNs, onCard = 0;
    for (size_t i = 0; i < n; ++i) {
        cardStart = std::max(cardStart, *cardUntil[i]);
        onCard = std::max(onCard, TransferNs(bytes, cardLimits[i]));
    }
    int64_t end = Add(std::max(Add(busStart, onBus), Add(cardStart, onCard)),
                      (static_cast<int64_t>(unit.callDelayMs) + extraMs) * 1000000);
    for (size_t i = 0; i < n; ++i) *cardUntil[i] = end;
    return end;
}

}  // namespace vbus
