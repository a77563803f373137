// The virtual bus description files on random text. The first byte picks the
// parser; a description that parses must write back to a text that parses to
// the same text again, and any UTF-8 value, of any length, must come back
// byte for byte.
#include "Desc.h"
#include "Legacy.h"

#include <string>
#include <vector>

namespace {

// Parses, writes and parses again: the two texts must be the same.
void RoundTrip(const vbus::Unit &u)
{
    std::string why;
    const std::string once = vbus::UnitFileText(u, "/bus/unit");
    vbus::Unit again;
    if (!vbus::ParseUnitFile(once, "/bus/unit", &again, &why) || vbus::UnitFileText(again, "/bus/unit") != once)
        __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const std::string text(reinterpret_cast<const char *>(data) + 1, size - 1);
    std::string why;
    switch (data[0] % 8) {
    case 0: {
        vbus::Unit u;
        if (vbus::ParseUnitFile(text, "/bus/unit", &u, &why))
            RoundTrip(u);
        // A reader that passes over bad cards and rules never fails on them, and what it keeps stores.
        std::vector<std::string> problems;
        vbus::Leniency lenient;
        lenient.cards = lenient.faults = true;
        lenient.problems = &problems;
        vbus::Unit l;
        if (vbus::ParseUnitFile(text, "/bus/unit", &l, &why, lenient))
            RoundTrip(l);
        break;
    }
    case 1: {
        // A unit of an earlier version, migrated: the same values in the new file.
        vbus::Unit u;
        if (vbus::ParseLegacyUnitDesc(text, &u.unitDesc, &why) && vbus::StorageProblem(u).empty())
            RoundTrip(u);
        break;
    }
    case 2: {
        vbus::Unit u;
        vbus::ResolveDefaults(&u.unitDesc);
        vbus::Card c;
        if (vbus::ParseLegacyCard(text, "/bus/unit", &c, &why)) {
            c.slot = 1;
            u.cards.push_back(c);
            if (vbus::StorageProblem(u).empty())
                RoundTrip(u);
        }
        break;
    }
    case 3: {
        vbus::Unit u;
        vbus::ResolveDefaults(&u.unitDesc);
        if (vbus::ParseLegacyFaults(text, &u.faults, &u.nextFaultId, &why))
            RoundTrip(u);
        const auto counts = vbus::ParseCounts(text);
        const std::string once = vbus::CountsText(counts);
        if (vbus::CountsText(vbus::ParseCounts(once)) != once)
            __builtin_trap();
        break;
    }
    case 4: {
        try {
            const vbus::FaultRule r = vbus::ParseFaultRule(text);
            const std::string once = vbus::FaultRuleText(r);
            if (vbus::FaultRuleText(vbus::ParseFaultRule(once)) != once)
                __builtin_trap();
        } catch (const vbus::Error &) {
        }
        break;
    }
    case 5:
    case 6: {
        // Any text as an image path and as the bridge name: back exactly, or refused as not UTF-8.
        vbus::Unit u;
        u.unitDesc.bridge = text;  // an empty one takes the default, as every writer does
        vbus::ResolveDefaults(&u.unitDesc);
        vbus::Card c;
        c.slot = 2;
        c.image = data[0] % 8 == 5 ? "/" + text : text;
        c.inPlace = true;
        u.cards.push_back(c);
        std::string problem = vbus::StorageProblem(u);
        if (!problem.empty()) {
            if (vbus::IsUtf8(text) && !c.image.empty())
                __builtin_trap();
            break;
        }
        vbus::Unit back;
        if (!vbus::ParseUnitFile(vbus::UnitFileText(u, "/bus/unit"), "/bus/unit", &back, &why))
            __builtin_trap();
        if (back.unitDesc.bridge != u.unitDesc.bridge || back.cards.size() != 1)
            __builtin_trap();
        std::string image = back.cards[0].image;
        if (image != c.image && image != "/bus/unit/" + c.image)
            __builtin_trap();
        bool ok = false;
        (void)vbus::LegacyUnquote(text, &ok);
        break;
    }
    default: {
        uint64_t value = 0;
        const uint64_t max = size > 1 ? uint64_t(data[1]) << (data[1] % 56) : 0;
        if (vbus::ParseNumber(text, max, &value) && value > max)
            __builtin_trap();
        uint32_t ops = 0;
        if (vbus::ParseOps(text, &ops)) {
            uint32_t again = 0;
            if (!vbus::ParseOps(vbus::OpNames(ops), &again) || again != ops)
                __builtin_trap();
        }
        break;
    }
    }
    return 0;
}
