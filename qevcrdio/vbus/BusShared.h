// What the bus's own files (VBus.cpp, VBusFaults.cpp) share beyond the
// public interface. Both throw Error, as the Bus calls do.
#pragma once

#include "VBus.h"

#include <string>
#include <vector>

namespace vbus {

// The unit's folder must be a folder of the bus itself, not a link out of it.
void CheckUnitFolder(const std::string &dir, const std::string &name);

// Flushes the images of the cards given; throws (what appended) when one
// cannot be flushed. An image that does not open reads as absent, so nothing
// of it waits, and so does a bound device without a medium.
void FlushCards(const std::vector<Card> &cards, const std::string &what);

}  // namespace vbus
