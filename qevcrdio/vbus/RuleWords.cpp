// Fault rules in tvqunit's words ("slot=2 op=read count=next:1 effect=readerror"):
// parsing one word or a whole rule, and writing a rule back in the same words.
#include "Desc.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace vbus {

namespace {

std::string Hex(uint64_t v, int width)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%0*llX", width, static_cast<unsigned long long>(v));
    return buf;
}

}  // namespace

namespace {

bool ParseSense(const std::string &v, FaultRule *r)
{
    // KK/AA/QQ in hexadecimal
    unsigned k, a, q;
    char tail;
    if (std::sscanf(v.c_str(), "%2x/%2x/%2x%c", &k, &a, &q, &tail) != 3) return false;
    if (v.size() != 8 || v[2] != '/' || v[5] != '/') return false;
    // Keys 0 (no sense) and 1 (recovered error) report success: no fault at all.
    if (k > 0x0F || k < 0x02) return false;
    r->key = static_cast<uint8_t>(k);
    r->asc = static_cast<uint8_t>(a);
    r->ascq = static_cast<uint8_t>(q);
    return true;
}

std::string SenseText(const FaultRule &r)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02X/%02X/%02X", r.key, r.asc, r.ascq);
    return buf;
}

}  // namespace

bool SetRuleField(FaultRule *r, const std::string &key, const std::string &value)
{
    std::string k = Lower(Trim(key));
    std::string v = Lower(Trim(value));
    uint64_t x;
    if (k == "slot") {
        if (v == "any" || v == "unit") r->slot = kAnySlot;
        else if (v == "vd") r->slot = kVdSlot;
        else if (ParseNumber(v, kMaxTargets, &x) && x >= 1) r->slot = static_cast<int>(x);
        else return false;
        return true;
    }
    if (k == "op" || k == "ops") return ParseOps(v, &r->ops);
    if (k == "count") {
        auto colon = v.find(':');
        std::string mode = v.substr(0, colon);
        uint64_t n = 0;
        bool hasN = colon != std::string::npos;
        if (hasN && !ParseNumber(v.substr(colon + 1), 0xFFFFFFFFull, &n)) return false;
        if (mode == "off" && !hasN) r->count = Count::Off;
        else if (mode == "always" && !hasN) r->count = Count::Always;
        else if (mode == "next" && hasN) r->count = Count::Next;
        else if (mode == "every" && hasN && n >= 1) r->count = Count::Every;
        else if (mode == "after" && hasN) r->count = Count::After;
        else return false;
        r->n = static_cast<uint32_t>(n);
        return true;
    }
    if (k == "lba") {
        if (v == "all") {
            r->lbaFirst = 0;
            r->lbaLast = UINT64_MAX;
            return true;
        }
        auto dash = v.find('-');
        uint64_t a, b;
        if (!ParseNumber(v.substr(0, dash), 0xFFFFFFFFull, &a)) return false;
        b = a;
        if (dash != std::string::npos && !ParseNumber(v.substr(dash + 1), 0xFFFFFFFFull, &b)) return false;
        if (b < a) return false;
        r->lbaFirst = a;
        r->lbaLast = b;
        return true;
    }
    if (k == "effect") {
        auto colon = v.find(':');
        std::string e = v.substr(0, colon);
        std::string rest = colon == std::string::npos ? std::string() : v.substr(colon + 1);
        auto named = [&](uint8_t key, uint8_t asc, uint8_t ascq) {
            if (!rest.empty()) return false;
            r->effect = Effect::Sense;
            r->key = key;
            r->asc = asc;
            r->ascq = ascq;
            return true;
        };
        if (e == "sense") {
            r->effect = Effect::Sense;
            return ParseSense(rest, r);
        }
        if (e == "readerror") return named(0x03, 0x11, 0x00);
        if (e == "writeerror") return named(0x03, 0x0C, 0x00);
        if (e == "nomedium") return named(0x02, 0x3A, 0x00);
        if (e == "notready") return named(0x02, 0x04, 0x01);
        if (e == "changed") return named(0x06, 0x28, 0x00);
        uint64_t a = 0;
        std::string sense;
        auto c2 = rest.find(':');
        std::string num = rest.substr(0, c2);
        if (c2 != std::string::npos) sense = rest.substr(c2 + 1);
        if (!num.empty() && !ParseNumber(num, 0xFFFFFFFFull, &a)) return false;
        r->arg = static_cast<uint32_t>(a);
        if (e == "short") {
            r->effect = Effect::Short;
            r->key = r->asc = r->ascq = 0;
            return sense.empty() || ParseSense(sense, r);
        }
        if (!sense.empty()) return false;
        if (e == "corrupt") r->effect = Effect::Corrupt;
        else if (e == "drop") {
            r->effect = Effect::Drop;
            if (num.empty()) r->arg = 1;
        } else if (e == "delay" && !num.empty() && a <= 600000) r->effect = Effect::Delay;
        else return false;
        return true;
    }
    return false;
}

FaultRule ParseFaultRule(const std::string &text)
{
    FaultRule r;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
        if (i >= text.size()) break;
        size_t e = i;
        while (e < text.size() && !std::isspace(static_cast<unsigned char>(text[e]))) ++e;
        std::string word = text.substr(i, e - i);
        i = e;
        auto eq = word.find('=');
        if (eq == std::string::npos || !SetRuleField(&r, word.substr(0, eq), word.substr(eq + 1))) {
            std::string hint;
            if (Lower(word).compare(0, 7, "effect=") == 0 && word.find('/') != std::string::npos)
                hint = "; a sense needs a key from 02 to 0F: 00 and 01 report no error";
            throw Error("bad fault rule word '" + word +
                        "' (expected slot=, op=, count=, lba= or effect=; see tvqunit fault set --help" + hint + ")");
        }
    }
    return r;
}

std::string FaultRuleText(const FaultRule &r)
{
    std::string t = "slot=";
    t += r.slot == kAnySlot ? "any" : r.slot == kVdSlot ? "vd" : std::to_string(r.slot);
    t += " op=" + OpNames(r.ops);
    t += " count=";
    switch (r.count) {
    case Count::Off: t += "off"; break;
    case Count::Always: t += "always"; break;
    case Count::Next: t += "next:" + std::to_string(r.n); break;
    case Count::Every: t += "every:" + std::to_string(r.n); break;
    case Count::After: t += "after:" + std::to_string(r.n); break;
    }
    if (r.lbaFirst != 0 || r.lbaLast != UINT64_MAX)
        t += " lba=" + Hex(r.lbaFirst, 1) + "-" + Hex(std::min<uint64_t>(r.lbaLast, 0xFFFFFFFFull), 1);
    t += " effect=";
    switch (r.effect) {
    case Effect::Sense: t += "sense:" + SenseText(r); break;
    case Effect::Short:
        t += "short:" + std::to_string(r.arg);
        if (r.key != 0) t += ":" + SenseText(r);
        break;
    case Effect::Corrupt: t += "corrupt:" + std::to_string(r.arg); break;
    case Effect::Drop: t += "drop:" + std::to_string(r.arg); break;
    case Effect::Delay: t += "delay:" + std::to_string(r.arg); break;
    }
    return t;
}

}  // namespace vbus
