// Where the cards of the virtual bus keep their bytes, so that tvqcard never
// writes a file that is a card's own medium behind the library's back: the
// slot's image (under any name: links, hard links), the device bound to the
// slot, a partition of it, a device stacked on it, or the file behind a loop
// device bound to it. A file is compared by what it is (device and inode,
// device number), never by its name.
#pragma once

#include <sys/stat.h>

#include <string>
#include <vector>

struct MediumUse {
    std::string unit;  // the device's folder name on the bus
    int slot;          // slot number (1 = master)
};

// The cards of every unit on the bus whose medium lies under (or is) the
// file of st: writing that file writes onto those cards.
std::vector<MediumUse> CardsUnder(const struct stat &st);

// The card in a slot of a unit on the bus, as far as one card can be told
// from the next: the description's identity of it (vbus::CardIdentity) and,
// for a bound device, the kernel's number of the medium in it now.
struct SlotCard {
    bool known = false;  // id tells this card from every other; false: the bus or the kernel cannot say
    std::string id;
    std::string device;  // the bound device as bound ("" for an image card)
};
SlotCard CardInSlot(const std::string &unit, int slot);

// A bound device's node ("/dev/sdb") and the serial the system knows for it
// ("" for each when not known).
void NodeAndSerial(const std::string &device, std::string *node, std::string *serial);

// The unit the device layer found, by name on the bus ("" when it cannot be
// told): the first plugged-in TVQ unit in bus order, as the scan takes it.
std::string UnitInUse();
