// How long a device call takes at the least, as the unit's description and
// its cards' own speeds say. The unit passes the data to all the cards a call
// reaches at once, so a call lasts as long as its slowest part: the unit's
// throughput limit or the slowest of those cards. The per-call delay and any
// delay rule come on top.
//
// Calls from several threads share the unit: Reserve books each call's time
// against what earlier calls booked, so calls on different cards overlap
// while the unit's own limit holds for all of them together.
#pragma once

#include "VBus.h"

#include <cstddef>
#include <cstdint>

namespace vbus {

// Nanoseconds for a call that moves bytes to or from the cards whose own
// limits are cardLimits[0..n) (0 = unlimited), with extraMs from delay rules.
int64_t CallNs(const UnitDesc &unit, const uint64_t *cardLimits, size_t n, uint64_t bytes, uint32_t extraMs);

// When a call that may start at startNs ends, booking its time. The unit's
// bus carries one call's bytes at a time at the unit's limit (*busUntil: the
// end of what is booked on it); each card takes one call at a time at its own
// limit (*cardUntil[i] for the card limited to cardLimits[i]). The delays come
// on top. Alone on an idle unit a call ends at startNs + CallNs(...).
// Both bookings are moved on to cover this call.
int64_t Reserve(const UnitDesc &unit, int64_t *busUntil, int64_t *const *cardUntil, const uint64_t *cardLimits,
                size_t n, uint64_t bytes, uint32_t extraMs, int64_t startNs);

}  // namespace vbus
