// Block devices bound to slots, across the whole bus: a device is bound to
// one slot of one unit at most, and only when nothing else on this machine
// uses it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vbus {

// A slot of a unit bound to a device, under the name its description gives.
struct Binding {
    std::string unit;
    int slot = 0;
    std::string device;
};
// Every slot of the bus bound to the block device with this device number,
// under any of its names.
std::vector<Binding> BindingsOf(const std::string &busDir, uint64_t rdev);

// "" when no slot of any unit on the bus but (unit, slot) holds the device
// with this device number; else which slot does, for the user.
std::string BoundElsewhere(const std::string &busDir, const std::string &unit, int slot, uint64_t rdev);

// Why the device at path cannot be bound to (unit, slot), "" when it can:
// no whole block device, mounted, swap, under another device or the running
// system, bound elsewhere on the bus, or not openable for reading and writing.
// Opens the device without writing to it. *node gets the node it leads to.
std::string BindRefusal(const std::string &busDir, const std::string &unit, int slot, const std::string &path,
                        std::string *node);

// The id of this boot of the machine ("" when unknown).
std::string BootId();

}  // namespace vbus
