#include "Units.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <tuple>

namespace sg {

std::vector<UnitNodes> GroupUnits(std::vector<Node> nodes)
{
    std::map<std::string, UnitNodes> byKey;
    for (auto &n : nodes) {
        UnitNodes &u = byKey[n.unitKey];
        u.key = n.unitKey;
        if (u.bridge.empty()) u.bridge = n.usbProduct;
        u.luns.push_back(std::move(n));
    }
    std::vector<UnitNodes> out;
    for (auto &kv : byKey) {
        auto &l = kv.second.luns;
        std::sort(l.begin(), l.end(), [](const Node &a, const Node &b) {
            return std::tie(a.channel, a.id, a.lun) < std::tie(b.channel, b.id, b.lun);
        });
        out.push_back(std::move(kv.second));
    }
    std::stable_sort(out.begin(), out.end(),
                     [](const UnitNodes &a, const UnitNodes &b) { return a.luns[0].host < b.luns[0].host; });
    return out;
}

bool InquiryNamesUnit(const uint8_t *inq)
{
    return std::memcmp(inq + 8, "QEVRA   ", 8) == 0 && std::memcmp(inq + 16, "TVQ-2", 5) == 0;
}

bool BridgePasses(const std::string &bridge, const std::string &nameFilter, const uint8_t *inquiry)
{
    if (nameFilter.empty() || bridge.empty()) return true;
    if (bridge.find(nameFilter) != std::string::npos) return true;
    return InquiryNamesUnit(inquiry);
}

int MirroredSlotAssumed(uint32_t mask)
{
    for (int s = 1; s <= 32; ++s)
        if (mask & (1u << (s - 1))) return s;
    return 0;
}

}  // namespace sg
