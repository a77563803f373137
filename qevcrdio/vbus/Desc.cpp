#include "Desc.h"

#include "Files.h"
#include "TomlDepth.h"

#define TOML_ENABLE_FORMATTERS 0
#include <toml++/toml.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

namespace vbus {

namespace {

std::string Hex(uint64_t v, int width = 8)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%0*llX", width, static_cast<unsigned long long>(v));
    return buf;
}

}  // namespace

std::string Lower(std::string s)
{
    for (auto &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string Trim(const std::string &s)
{
    size_t b = 0, e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
    return s.substr(b, e - b);
}

bool ParseNumber(const std::string &text, uint64_t max, uint64_t *value)
{
    std::string t = Lower(text);
    if (t.empty()) return false;
    int base = 10;
    size_t i = 0;
    if (t.size() > 2 && t[0] == '0' && t[1] == 'x') {
        base = 16;
        i = 2;
    }
    uint64_t v = 0;
    for (; i < t.size(); ++i) {
        int d;
        char c = t[i];
        if (c >= '0' && c <= '9') d = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else return false;
        if (v > (UINT64_MAX - static_cast<uint64_t>(d)) / static_cast<uint64_t>(base)) return false;
        v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
    }
    if (v > max) return false;
    *value = v;
    return true;
}

bool IsUtf8(const std::string &text)
{
    const auto *p = reinterpret_cast<const unsigned char *>(text.data());
    size_t n = text.size(), i = 0;
    while (i < n) {
        unsigned c = p[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t len;
        uint32_t cp;
        if (c >= 0xC2 && c <= 0xDF) len = 2, cp = c & 0x1F;
        else if (c >= 0xE0 && c <= 0xEF) len = 3, cp = c & 0x0F;
        else if (c >= 0xF0 && c <= 0xF4) len = 4, cp = c & 0x07;
        else return false;
        if (i + len > n) return false;
        for (size_t k = 1; k < len; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) return false;
            cp = cp << 6 | (p[i + k] & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
        if ((len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) || cp > 0x10FFFF ||
            (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += len;
    }
    return true;
}

std::string TomlString(const std::string &text)
{
    std::string out = "\"";
    out.reserve(text.size() + 2);
    for (unsigned char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20 || c == 0x7F) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04X", c);
                out += buf;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out + "\"";
}

const char *ModelProduct(Model m)
{
    // A unit calls itself by its model's name; another device is a plain disk.
    return m == Model::Tvq210 || m == Model::Tvq206 ? ModelName(m) : "DISK";
}

void ResolveDefaults(UnitDesc *s)
{
    bool unit = s->model != Model::Foreign;
    if (s->vendor.empty()) s->vendor = unit ? "QEVRA" : "OTHERVND";
    if (s->product.empty()) s->product = ModelProduct(s->model);
    if (s->bridge.empty()) s->bridge = unit ? "TVQ-MTX" : "USB-BRIDGE";
    if (s->targets == 0) s->targets = unit ? ModelTargets(s->model) : 2;
    if (s->fw.productName.empty()) s->fw.productName = s->product;
}

std::string StoredImagePath(const std::string &image, const std::string &unitDir)
{
    std::string prefix = unitDir + "/";
    // Relative only when it reads back as the same path: "<dir>//x" stays whole, or it would turn into "/x".
    if (!unitDir.empty() && image.size() > prefix.size() && image.compare(0, prefix.size(), prefix) == 0 &&
        image[prefix.size()] != '/')
        return image.substr(prefix.size());
    return image;
}

std::string StorageProblem(const Unit &u, const std::string &unitDir)
{
    const UnitDesc &s = u.unitDesc;
    struct Text {
        const char *what;
        const std::string *value;
        size_t max;  // bytes; 0 = any length
    } texts[] = {
        {"vendor", &s.vendor, 8},
        {"product", &s.product, 16},
        {"revision", &s.revision, 4},
        {"bridge name", &s.bridge, 0},
        {"signature", &s.fw.signature, 4},
        {"vendor text", &s.fw.vendorText, 8},
        {"product name", &s.fw.productName, 16},
    };
    for (const auto &t : texts) {
        if (!IsUtf8(*t.value))
            return "the " + std::string(t.what) + " is not UTF-8 text and cannot be stored";
        if (t.max && t.value->size() > t.max)
            return "the " + std::string(t.what) + " '" + *t.value + "' is longer than " + std::to_string(t.max) +
                   " bytes";
    }
    if (s.targets < 1 || s.targets > static_cast<uint32_t>(kMaxTargets))
        return "a device has 1 to " + std::to_string(kMaxTargets) + " targets";
    if (s.throttleBytesPerSecond > static_cast<uint64_t>(INT64_MAX)) return "the throughput limit is too large";
    if (s.callDelayMs > 600000) return "the call delay is above 600000 ms";
    for (const auto &c : u.cards) {
        if (c.slot < 1 || c.slot >= static_cast<int>(s.targets))
            return "slot " + std::to_string(c.slot) + " does not exist on this device";
        if (c.throttleBytesPerSecond > static_cast<uint64_t>(INT64_MAX))
            return "the throughput limit of slot " + std::to_string(c.slot) + " is too large";
        if (!c.device.empty()) {
            if (!c.image.empty()) return "the card in slot " + std::to_string(c.slot) + " has an image and a device";
            if (c.device[0] != '/') return "the device of slot " + std::to_string(c.slot) + " is no absolute path";
            if (!IsUtf8(c.device) || !IsUtf8(c.ejectedBoot))
                return "the device path of slot " + std::to_string(c.slot) + " is not UTF-8 text and cannot be stored";
            continue;
        }
        if (c.image.empty()) return "the card in slot " + std::to_string(c.slot) + " has no image";
        if (!IsUtf8(StoredImagePath(c.image, unitDir)))
            return "the image path of slot " + std::to_string(c.slot) + " '" + c.image +
                   "' is not UTF-8 text and cannot be stored";
    }
    return std::string();
}

namespace {

// Reads one TOML table into typed fields; the first fault found is kept.
class Reader {
public:
    Reader(const toml::table &t, std::string where, std::string *why) : t_(t), where_(std::move(where)), why_(why) {}

    bool Str(const char *key, std::string *out)
    {
        seen_.push_back(key);
        const toml::node *n = t_.get(key);
        if (!n) return true;
        if (auto v = n->value_exact<std::string>()) {
            *out = *v;
            return true;
        }
        return Fail(key, "a text in quotes");
    }
    bool U64(const char *key, uint64_t max, uint64_t *out)
    {
        seen_.push_back(key);
        const toml::node *n = t_.get(key);
        if (!n) return true;
        auto v = n->value_exact<int64_t>();
        if (!v || *v < 0 || static_cast<uint64_t>(*v) > max)
            return Fail(key, "a whole number from 0 to " + std::to_string(max));
        *out = static_cast<uint64_t>(*v);
        return true;
    }
    bool U32(const char *key, uint32_t *out, uint32_t max = 0xFFFFFFFFu)
    {
        uint64_t v = *out;
        if (!U64(key, max, &v)) return false;
        *out = static_cast<uint32_t>(v);
        return true;
    }
    bool Bool(const char *key, bool *out)
    {
        seen_.push_back(key);
        const toml::node *n = t_.get(key);
        if (!n) return true;
        if (auto b = n->value_exact<bool>()) {
            *out = *b;
            return true;
        }
        // 0 and 1, as a person editing the file might write.
        if (auto i = n->value_exact<int64_t>(); i && (*i == 0 || *i == 1)) {
            *out = *i == 1;
            return true;
        }
        return Fail(key, "true or false");
    }
    // Every key was one of those asked for.
    bool NoOthers()
    {
        for (const auto &kv : t_) {
            std::string k(kv.first.str());
            if (std::find(seen_.begin(), seen_.end(), k) == seen_.end()) {
                if (why_) *why_ = "unknown key '" + k + "' in " + where_;
                return false;
            }
        }
        return true;
    }
    bool Fail(const std::string &key, const std::string &expected)
    {
        if (why_) *why_ = "'" + key + "' in " + where_ + " must be " + expected;
        return false;
    }

private:
    const toml::table &t_;
    std::string where_;
    std::string *why_;
    std::vector<std::string> seen_;
};

bool ParseUnitTable(const toml::table &t, UnitDesc *s, std::string *why)
{
    Reader r(t, "[unit]", why);
    std::string model;
    if (!r.Str("model", &model)) return false;
    if (!t.contains("model")) {
        if (why) *why = "no model in [unit]";
        return false;
    }
    if (!ParseModel(model, &s->model)) return r.Fail("model", "TVQ-210CF, TVQ-206 or other");
    std::string sync = "off";
    bool ok = r.Str("vendor", &s->vendor) && r.Str("product", &s->product) && r.Str("revision", &s->revision) &&
              r.Str("bridge", &s->bridge) && r.U32("targets", &s->targets, kMaxTargets) &&
              r.Bool("connected", &s->connected) &&
              r.U64("throttle_bytes_per_second", INT64_MAX, &s->throttleBytesPerSecond) &&
              r.U32("call_delay_ms", &s->callDelayMs, 600000) && r.Str("sync", &sync) && r.NoOthers();
    if (!ok) return false;
    if (s->targets < 1) return r.Fail("targets", "from 1 to " + std::to_string(kMaxTargets));
    if (sync != "off" && sync != "always") return r.Fail("sync", "\"off\" or \"always\"");
    s->syncAlways = sync == "always";
    return true;
}

bool ParseFirmwareTable(const toml::table &t, Firmware *f, std::string *why)
{
    Reader r(t, "[firmware]", why);
    return r.Str("signature", &f->signature) && r.U32("bios", &f->bios) && r.U32("flags", &f->flags) &&
           r.U32("product_code", &f->productCode) && r.U32("card_if", &f->cardIf) &&
           r.Str("vendor_text", &f->vendorText) && r.Str("product_name", &f->productName) && r.NoOthers();
}

bool ParseCardTable(const toml::table &t, const std::string &where, const std::string &unitDir, Card *c,
                    std::string *why)
{
    Reader r(t, where, why);
    DriveParams &p = c->params;
    p = DriveParams{};
    p.totalSectors = 0;  // 0 after parsing: derive from the image
    std::string image;
    bool ok = r.Str("image", &image) && r.Bool("in_place", &c->inPlace) && r.Str("device", &c->device) &&
              r.U64("ejected_medium", UINT64_MAX >> 1, &c->ejectedMedium) && r.Str("ejected_boot", &c->ejectedBoot) && r.U32("cylinders", &p.cylinders) &&
              r.U32("heads", &p.heads) && r.U32("total_sectors", &p.totalSectors) &&
              r.U32("sectors_per_track", &p.sectorsPerTrack) && r.U32("sector_size", &p.sectorSize) &&
              r.U32("wait_check", &p.waitCheck) && r.U32("access_timing", &p.accessTiming) &&
              r.U64("throttle_bytes_per_second", INT64_MAX, &c->throttleBytesPerSecond) &&
              r.U64("insert_id", INT64_MAX, &c->insertId) && r.NoOthers();
    if (!ok) return false;
    if (t.contains("ejected_medium") && c->ejectedMedium == 0) c->ejectedMedium = kEjectedUnknown;
    if (!c->device.empty()) {
        // A bound device: its medium gives the drive parameters, never the description.
        if (!image.empty()) {
            if (why) *why = "both an image and a device in " + where;
            return false;
        }
        if (c->device[0] != '/') {
            if (why) *why = "the device in " + where + " is no absolute path";
            return false;
        }
        p = DriveParams{};
        p.totalSectors = 0;
        return true;
    }
    if (image.empty()) {
        if (why) *why = "no image in " + where;
        return false;
    }
    c->image = image[0] == '/' ? image : unitDir + "/" + image;
    return true;
}

bool ParseRuleTable(const toml::table &t, FaultRule *rule, uint32_t *id, std::string *why)
{
    auto idValue = t["id"].value_exact<int64_t>();
    std::string where = idValue ? "fault rule " + std::to_string(*idValue) : std::string("a fault rule");
    Reader r(t, where, why);
    uint64_t n = 0;
    if (!r.U64("id", 0xFFFFFFFFull, &n)) return false;
    if (n == 0) return r.Fail("id", "a number from 1");
    *id = static_cast<uint32_t>(n);
    for (const char *key : {"slot", "op", "count", "lba", "effect"}) {
        const toml::node *node = t.get(key);
        std::string v;
        if (node && node->is_integer() && std::strcmp(key, "slot") == 0) {
            v = std::to_string(*node->value_exact<int64_t>());
            r.U64(key, UINT64_MAX, &n);  // marks it as known
        } else if (!r.Str(key, &v)) {
            return false;
        }
        if (node && !SetRuleField(rule, key, v)) {
            if (why) *why = "bad " + std::string(key) + " '" + v + "' in " + where;
            return false;
        }
    }
    rule->id = *id;
    return r.NoOthers();
}

bool ParseFaults(const toml::table &ft, Unit *u, std::string *why)
{
    Reader fr(ft, "[faults]", why);
    uint32_t next = 1;
    if (!fr.U32("next_id", &next)) return false;
    for (const auto &kv : ft) {
        std::string k(kv.first.str());
        if (k != "next_id" && k != "rule") {
            if (why) *why = "unknown key '" + k + "' in [faults]";
            return false;
        }
    }
    uint32_t maxId = 0;
    if (const toml::node *rn = ft.get("rule")) {
        const toml::array *arr = rn->as_array();
        if (!arr) {
            if (why) *why = "the fault rules must be [[faults.rule]] tables";
            return false;
        }
        for (const auto &item : *arr) {
            if (!item.is_table()) {
                if (why) *why = "the fault rules must be [[faults.rule]] tables";
                return false;
            }
            FaultRule rule;
            uint32_t id = 0;
            if (!ParseRuleTable(*item.as_table(), &rule, &id, why)) return false;
            for (const auto &other : u->faults) {
                if (other.id == id) {
                    if (why) *why = "two fault rules have the id " + std::to_string(id);
                    return false;
                }
            }
            u->faults.push_back(rule);
            maxId = std::max(maxId, id);
        }
    }
    u->nextFaultId = std::max(next, maxId + 1);
    if (u->nextFaultId == 0) u->nextFaultId = maxId + 1;  // wrapped: past the highest id
    return true;
}

std::string Line(const char *key, const std::string &value)
{
    return std::string(key) + " = " + value + "\n";
}

std::string CardLines(const Card &c, const std::string &unitDir)
{
    // Written only when set, so cards without one read the same in earlier versions.
    std::string speed =
        c.throttleBytesPerSecond ? Line("throttle_bytes_per_second", std::to_string(c.throttleBytesPerSecond)) : "";
    if (c.insertId != 0) speed += Line("insert_id", std::to_string(c.insertId));
    if (!c.device.empty()) {
        std::string t = Line("device", TomlString(c.device)) + speed;
        // "ejected" where the kernel gives no numbers is written as 0.
        if (c.ejectedMedium != 0)
            t += Line("ejected_medium", std::to_string(c.ejectedMedium == kEjectedUnknown ? 0 : c.ejectedMedium));
        if (c.ejectedMedium != 0 && !c.ejectedBoot.empty()) t += Line("ejected_boot", TomlString(c.ejectedBoot));
        return t;
    }
    std::string image = StoredImagePath(c.image, unitDir);
    const DriveParams &p = c.params;
    std::string t;
    t += Line("image", TomlString(image));
    t += Line("in_place", c.inPlace ? "true" : "false");
    t += Line("cylinders", std::to_string(p.cylinders));
    t += Line("heads", std::to_string(p.heads));
    t += Line("total_sectors", std::to_string(p.totalSectors));
    t += Line("sectors_per_track", std::to_string(p.sectorsPerTrack));
    t += Line("sector_size", std::to_string(p.sectorSize));
    t += Line("wait_check", std::to_string(p.waitCheck));
    t += Line("access_timing", std::to_string(p.accessTiming));
    return t + speed;
}

}  // namespace

bool ParseUnitFile(const std::string &text, const std::string &unitDir, Unit *unit, std::string *why,
                   const Leniency &lenient)
{
    // The parser recurses once per level: a deep file must never reach it.
    std::string deep = TomlNestingProblem(text);
    if (!deep.empty()) {
        if (why) *why = deep;
        return false;
    }
    toml::table doc;
    try {
        doc = toml::parse(std::string_view(text));
    } catch (const toml::parse_error &e) {
        if (why)
            *why = "line " + std::to_string(e.source().begin.line) + ": " + std::string(e.description());
        return false;
    } catch (const std::exception &e) {
        if (why) *why = e.what();
        return false;
    }
    Unit u;
    u.name = unit->name;
    Reader top(doc, "the file", why);
    uint64_t format = kFormatVersion;
    if (!top.U64("format", 1000, &format)) return false;
    if (format > static_cast<uint64_t>(kFormatVersion)) {
        if (why) *why = "written by a newer version (format " + std::to_string(format) + ")";
        return false;
    }
    auto sub = [&](const char *key, bool required) -> const toml::table * {
        const toml::node *n = doc.get(key);
        if (!n) {
            if (required && why) *why = "no [" + std::string(key) + "] table";
            return nullptr;
        }
        if (!n->is_table()) {
            if (why) *why = "'" + std::string(key) + "' must be a table";
            return nullptr;
        }
        return n->as_table();
    };
    for (const auto &kv : doc) {
        std::string k(kv.first.str());
        if (k != "format" && k != "unit" && k != "firmware" && k != "slot" && k != "faults") {
            if (why) *why = "unknown key '" + k + "'";
            return false;
        }
    }
    const toml::table *ut = sub("unit", true);
    if (!ut || !ParseUnitTable(*ut, &u.unitDesc, why)) return false;
    if (doc.contains("firmware")) {
        const toml::table *ft = sub("firmware", false);
        if (!ft || !ParseFirmwareTable(*ft, &u.unitDesc.fw, why)) return false;
    }
    ResolveDefaults(&u.unitDesc);
    if (doc.contains("slot")) {
        const toml::table *st = sub("slot", false);
        if (!st) return false;
        for (const auto &kv : *st) {
            std::string key(kv.first.str());
            uint64_t slot = 0;
            std::string reason;
            Card c;
            bool ok = true;
            if (!ParseNumber(key, kMaxTargets, &slot) || key[0] == '0' || slot < 1 || slot >= u.unitDesc.targets) {
                reason = "[slot." + key + "] is no slot of this device";
                ok = false;
            } else if (!kv.second.is_table()) {
                reason = "slot." + key + " must be a table";
                ok = false;
            } else {
                c.slot = static_cast<int>(slot);
                ok = ParseCardTable(*kv.second.as_table(), "[slot." + key + "]", unitDir, &c, &reason);
            }
            if (ok) {
                u.cards.push_back(c);
                continue;
            }
            if (!lenient.cards) {
                if (why) *why = reason;
                return false;
            }
            if (lenient.problems) lenient.problems->push_back(reason);
        }
        std::sort(u.cards.begin(), u.cards.end(), [](const Card &a, const Card &b) { return a.slot < b.slot; });
    }
    if (doc.contains("faults")) {
        std::string reason;
        const toml::table *ft = doc["faults"].as_table();
        if (!ft) reason = "'faults' must be a table";
        else if (!ParseFaults(*ft, &u, &reason)) u.faults.clear();
        if (!reason.empty()) {
            if (!lenient.faults) {
                if (why) *why = reason;
                return false;
            }
            if (lenient.problems) lenient.problems->push_back(reason);
            // Keep the id counter where it can be read, so new rules never take an old rule's counts.
            if (ft) {
                uint32_t maxId = 0;
                if (auto next = (*ft)["next_id"].value_exact<int64_t>(); next && *next > 0 && *next <= 0xFFFFFFFF)
                    maxId = static_cast<uint32_t>(*next - 1);
                if (const toml::array *arr = (*ft)["rule"].as_array())
                    for (const auto &item : *arr)
                        if (auto id = item.as_table() ? (*item.as_table())["id"].value_exact<int64_t>() : std::nullopt;
                            id && *id > 0 && *id < 0xFFFFFFFF)
                            maxId = std::max(maxId, static_cast<uint32_t>(*id));
                u.nextFaultId = maxId + 1;
            }
        }
    }
    std::string problem = StorageProblem(u, unitDir);
    if (!problem.empty()) {
        if (why) *why = problem;
        return false;
    }
    *unit = u;
    return true;
}

std::string UnitFileText(const Unit &u, const std::string &unitDir)
{
    const UnitDesc &s = u.unitDesc;
    std::string t;
    t += "# A device on the virtual bus of libqevcrdio.so. tvqunit changes it under the\n"
         "# unit's lock; edit it by hand only while no tvqunit command runs on it.\n";
    t += Line("format", std::to_string(kFormatVersion));
    t += "\n[unit]\n";
    t += Line("model", TomlString(ModelName(s.model)));
    t += Line("vendor", TomlString(s.vendor));
    t += Line("product", TomlString(s.product));
    t += Line("revision", TomlString(s.revision));
    t += Line("bridge", TomlString(s.bridge));
    t += Line("targets", std::to_string(s.targets));
    t += Line("connected", s.connected ? "true" : "false");
    t += Line("throttle_bytes_per_second", std::to_string(s.throttleBytesPerSecond));
    t += Line("call_delay_ms", std::to_string(s.callDelayMs));
    t += Line("sync", s.syncAlways ? "\"always\"" : "\"off\"");
    t += "\n[firmware]\n";
    t += Line("signature", TomlString(s.fw.signature));
    t += Line("bios", Hex(s.fw.bios));
    t += Line("flags", Hex(s.fw.flags));
    t += Line("product_code", Hex(s.fw.productCode));
    t += Line("card_if", Hex(s.fw.cardIf));
    t += Line("vendor_text", TomlString(s.fw.vendorText));
    t += Line("product_name", TomlString(s.fw.productName));
    std::vector<Card> cards = u.cards;
    std::sort(cards.begin(), cards.end(), [](const Card &a, const Card &b) { return a.slot < b.slot; });
    for (const auto &c : cards) {
        t += "\n[slot." + std::to_string(c.slot) + "]\n";
        t += CardLines(c, unitDir);
    }
    t += "\n[faults]\n";
    t += Line("next_id", std::to_string(u.nextFaultId));
    for (const auto &r : u.faults) {
        t += "\n[[faults.rule]]\n";
        t += Line("id", std::to_string(r.id));
        // The rule's own words, one key a line.
        std::string words = FaultRuleText(r);
        size_t i = 0;
        while (i < words.size()) {
            size_t e = words.find(' ', i);
            if (e == std::string::npos) e = words.size();
            std::string w = words.substr(i, e - i);
            auto eq = w.find('=');
            t += Line(w.substr(0, eq).c_str(), TomlString(w.substr(eq + 1)));
            i = e + 1;
        }
    }
    return t;
}

std::string CardRecordText(const Card &c, const std::string &unitDir)
{
    return "# A card taken out of slot " + std::to_string(c.slot) + "; its image stays where it was.\n" +
           Line("slot", std::to_string(c.slot)) + CardLines(c, unitDir);
}

std::map<uint32_t, RuleCounts> ParseCounts(const std::string &text)
{
    std::map<uint32_t, RuleCounts> counts;
    if (!TomlNestingProblem(text).empty()) return {};
    toml::table doc;
    try {
        doc = toml::parse(std::string_view(text));
    } catch (const std::exception &) {
        return {};
    }
    const toml::table *rules = doc["rule"].as_table();
    for (const auto &kv : doc) {
        if (kv.first.str() != "rule") return {};
    }
    if (!rules) return counts;
    for (const auto &kv : *rules) {
        uint64_t id;
        const toml::table *t = kv.second.as_table();
        if (!t || !ParseNumber(std::string(kv.first.str()), 0xFFFFFFFFull, &id)) return {};
        RuleCounts c;
        for (const auto &f : *t) {
            auto v = f.second.value_exact<int64_t>();
            if (!v || *v < 0) return {};
            if (f.first.str() == "hits") c.hits = static_cast<uint64_t>(*v);
            else if (f.first.str() == "fires") c.fires = static_cast<uint64_t>(*v);
            else return {};
        }
        counts[static_cast<uint32_t>(id)] = c;
    }
    return counts;
}

std::string CountsText(const std::map<uint32_t, RuleCounts> &counts)
{
    std::string t;
    for (const auto &kv : counts) {
        uint64_t hits = std::min<uint64_t>(kv.second.hits, INT64_MAX);
        uint64_t fires = std::min<uint64_t>(kv.second.fires, INT64_MAX);
        t += "[rule." + std::to_string(kv.first) + "]\nhits = " + std::to_string(hits) +
             "\nfires = " + std::to_string(fires) + "\n";
    }
    return t;
}

void AppendCall(const std::string &busDir, const std::string &line)
{
    AppendLine(busDir + "/" + kCallsFile, line);
}

}  // namespace vbus
