// Which SCSI generic nodes form one unit, and the two things about the unit
// that no document settles, each in one function: the name its USB bridge
// gives, and the slot the VD mirrors.
#pragma once

#include "Port.h"

#include <cstdint>
#include <string>
#include <vector>

namespace sg {

// The LUNs of one host (one USB unit), ordered by channel, target id and LUN.
struct UnitNodes {
    std::string key;
    std::string bridge;   // the USB product string, "" when unknown
    std::vector<Node> luns;
};

// Groups nodes by unit, units in the order of their host numbers.
std::vector<UnitNodes> GroupUnits(std::vector<Node> nodes);

// INQUIRY data of a TVQ unit's target: vendor QEVRA, product TVQ-2...
bool InquiryNamesUnit(const uint8_t *inquiry);

// ASSUMPTION (unconfirmed on a real unit): the bridge reports the name filter
// (for instance "TVQ-MTX") in its USB product string. So the filter narrows by
// that string where the system knows one; a unit whose INQUIRY names it is
// taken whatever its bridge says, and a bridge without a string is asked.
bool BridgePasses(const std::string &bridge, const std::string &nameFilter, const uint8_t *inquiry);

// ASSUMPTION (unconfirmed on a real unit): no command is known that asks the
// unit which slot its VD mirrors. As on the virtual bus, it is taken to be the
// lowest slot holding a card. mask: bit s-1 for slot s. Returns the slot
// number (1-based), 0 when no card is in.
int MirroredSlotAssumed(uint32_t mask);

}  // namespace sg
