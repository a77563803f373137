// How long a device call takes at the least, as the unit's description and
// its cards' own speeds say. The unit passes the data to all the cards a call
// reaches at once, so a call lasts as long as its slowest part: the unit's
// throughput limit or the slowest of those cards. The per-call delay and any
// delay rule come on top.
#pragma once

#include "VBus.h"

#include <cstddef>
#include <cstdint>

namespace vbus {

// Nanoseconds for a call that moves bytes to or from the cards whose own
// limits are cardLimits[0..n) (0 = unlimited), with extraMs from delay rules.
int64_t CallNs(const UnitDesc &unit, const uint64_t *cardLimits, size_t n, uint64_t bytes, uint32_t extraMs);

}  // namespace vbus
