// Block devices as tvqunit shows them: the card devices of this machine with
// their use and binding, and what a bound slot holds right now.
#pragma once

#include "VBus.h"

#include <ostream>
#include <string>

// One line per removable, USB, SD/MMC or loop block device: node, size,
// logical block size, kind, model, stable path, and whether it is free,
// mounted, swap, bound to a slot of the bus, or holds the running system.
void PrintDevices(vbus::Bus &bus, std::ostream &out);

// What the device bound to a slot holds now: "64 MiB card (131072 sectors of 512)",
// "no card", "card ejected; empty until another card comes", ...
std::string DeviceCardState(const vbus::Card &card);
