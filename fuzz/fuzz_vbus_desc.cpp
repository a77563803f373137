// The virtual bus description files on random text. The first byte picks the
// parser; a description that parses must write back to a text that parses to
// the same text again.
#include "Desc.h"

#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const std::string text(reinterpret_cast<const char *>(data) + 1, size - 1);
    std::string why;
    switch (data[0] % 7) {
    case 0: {
        vbus::UnitDesc desc;
        if (vbus::ParseUnitDesc(text, &desc, &why)) {
            const std::string once = vbus::UnitDescText(desc);
            vbus::UnitDesc again;
            if (!vbus::ParseUnitDesc(once, &again, &why) || vbus::UnitDescText(again) != once)
                __builtin_trap();
        }
        break;
    }
    case 1: {
        vbus::Card card;
        if (vbus::ParseCard(text, "unit", &card, &why)) {
            const std::string once = vbus::CardText(card, "unit");
            vbus::Card again;
            if (!vbus::ParseCard(once, "unit", &again, &why) || vbus::CardText(again, "unit") != once)
                __builtin_trap();
        }
        break;
    }
    case 2: {
        std::vector<vbus::FaultRule> rules;
        uint32_t nextId = 0;
        if (vbus::ParseFaults(text, &rules, &nextId, &why)) {
            const std::string once = vbus::FaultsText(rules, nextId);
            std::vector<vbus::FaultRule> again;
            uint32_t nextAgain = 0;
            if (!vbus::ParseFaults(once, &again, &nextAgain, &why) || vbus::FaultsText(again, nextAgain) != once)
                __builtin_trap();
        }
        break;
    }
    case 3: {
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
    case 5: {
        bool ok = false;
        const std::string plain = vbus::Unquote(text, &ok);
        if (ok) {
            bool ok2 = false;
            if (vbus::Unquote(vbus::Quote(plain), &ok2) != plain || !ok2)
                __builtin_trap();
        }
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
