#include "Legacy.h"

#include "Desc.h"
#include "Files.h"

#include <algorithm>
#include <cctype>
#include <dirent.h>
#include <functional>
#include <map>

namespace vbus {

namespace {

using KeyFn = std::function<bool(const std::string &section, const std::string &key, const std::string &value,
                                 std::string *why)>;

// INI as the earlier versions wrote it: [section], key = value, ; and # comments.
bool RunIni(const std::string &text, const KeyFn &fn, std::string *why)
{
    std::string section;
    size_t pos = 0;
    int lineNo = 0;
    while (pos <= text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string line = Trim(text.substr(pos, end - pos));
        pos = end + 1;
        ++lineNo;
        if (line.empty() || line[0] == ';' || line[0] == '#') continue;
        if (line[0] == '[') {
            size_t close = line.find(']');
            if (close == std::string::npos) {
                if (why) *why = "line " + std::to_string(lineNo) + ": no ']'";
                return false;
            }
            section = Lower(Trim(line.substr(1, close - 1)));
            continue;
        }
        size_t sep = line.find_first_of("=:");
        if (sep == std::string::npos) {
            if (why) *why = "line " + std::to_string(lineNo) + ": no '='";
            return false;
        }
        std::string key = Lower(Trim(line.substr(0, sep)));
        std::string value = line.substr(sep + 1);
        // A ; after a blank starts a comment (quoted values had theirs escaped).
        for (size_t i = 1; i < value.size(); ++i) {
            if (value[i] == ';' && std::isspace(static_cast<unsigned char>(value[i - 1]))) {
                value.resize(i);
                break;
            }
        }
        std::string reason;
        if (!fn(section, key, Trim(value), &reason)) {
            if (why) *why = "line " + std::to_string(lineNo) + (reason.empty() ? "" : ": " + reason);
            return false;
        }
    }
    return true;
}

bool Num32(const std::string &v, uint32_t *out)
{
    uint64_t x;
    if (!ParseNumber(Trim(v), 0xFFFFFFFFull, &x)) return false;
    *out = static_cast<uint32_t>(x);
    return true;
}

bool Str(const std::string &v, std::string *out)
{
    bool ok;
    *out = LegacyUnquote(v, &ok);
    return ok;
}

}  // namespace

std::string LegacySlotFile(int slot)
{
    return "slot" + std::to_string(slot) + ".ini";
}

std::string LegacyUnquote(const std::string &text, bool *ok)
{
    *ok = true;
    std::string t = Trim(text);
    if (t.size() < 2 || t.front() != '"' || t.back() != '"') return t;
    std::string out;
    for (size_t i = 1; i + 1 < t.size(); ++i) {
        char c = t[i];
        if (c != '\\') {
            out += c;
            continue;
        }
        if (i + 1 >= t.size() - 1) {
            *ok = false;
            return out;
        }
        char n = t[++i];
        auto hex = [](char h) { return std::isxdigit(static_cast<unsigned char>(h)) != 0; };
        if (n == '\\' || n == '"') {
            out += n;
        } else if (n == 'x' && i + 2 < t.size() - 1 && hex(t[i + 1]) && hex(t[i + 2])) {
            out += static_cast<char>(std::stoi(t.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            *ok = false;
            return out;
        }
    }
    return out;
}

bool ParseLegacyUnitDesc(const std::string &text, UnitDesc *unitDesc, std::string *why)
{
    UnitDesc d;
    bool haveModel = false;
    auto key = [&](const std::string &sec, const std::string &k, const std::string &v, std::string *reason) {
        bool ok = true;
        uint32_t n = 0;
        if (sec == "unit") {
            if (k == "model") ok = haveModel = ParseModel(Trim(v), &d.model);
            else if (k == "vendor") ok = Str(v, &d.vendor);
            else if (k == "product") ok = Str(v, &d.product);
            else if (k == "revision") ok = Str(v, &d.revision);
            else if (k == "bridge") ok = Str(v, &d.bridge);
            else if (k == "targets") ok = Num32(v, &d.targets) && d.targets >= 1 && d.targets <= kMaxTargets;
            else if (k == "connected") {
                ok = Num32(v, &n) && n <= 1;
                d.connected = n != 0;
            } else if (k == "throttle_bytes_per_second") {
                uint64_t x = 0;
                ok = ParseNumber(Trim(v), INT64_MAX, &x);
                d.throttleBytesPerSecond = x;
            } else if (k == "call_delay_ms") ok = Num32(v, &d.callDelayMs) && d.callDelayMs <= 600000;
            else ok = false;
        } else if (sec == "firmware") {
            if (k == "signature") ok = Str(v, &d.fw.signature) && d.fw.signature.size() <= 4;
            else if (k == "bios") ok = Num32(v, &d.fw.bios);
            else if (k == "flags") ok = Num32(v, &d.fw.flags);
            else if (k == "product_code") ok = Num32(v, &d.fw.productCode);
            else if (k == "card_if") ok = Num32(v, &d.fw.cardIf);
            else if (k == "vendor_text") ok = Str(v, &d.fw.vendorText) && d.fw.vendorText.size() <= 8;
            else if (k == "product_name") ok = Str(v, &d.fw.productName) && d.fw.productName.size() <= 16;
            else ok = false;
        } else {
            ok = false;
        }
        if (!ok) *reason = "bad value of " + k + " in [" + sec + "]";
        return ok;
    };
    if (!RunIni(text, key, why)) return false;
    if (!haveModel) {
        if (why) *why = "no model";
        return false;
    }
    ResolveDefaults(&d);
    *unitDesc = d;
    return true;
}

bool ParseLegacyCard(const std::string &text, const std::string &unitDir, Card *card, std::string *why)
{
    Card c;
    c.params.totalSectors = 0;  // 0 after parsing: derive from the image
    std::string image;
    auto key = [&](const std::string &sec, const std::string &k, const std::string &v, std::string *reason) {
        bool ok = true;
        uint32_t n = 0;
        DriveParams &p = c.params;
        if (sec != "card") ok = false;
        else if (k == "image") ok = Str(v, &image) && !image.empty();
        else if (k == "in_place") {
            ok = Num32(v, &n) && n <= 1;
            c.inPlace = n != 0;
        } else if (k == "cylinders") ok = Num32(v, &p.cylinders);
        else if (k == "heads") ok = Num32(v, &p.heads);
        else if (k == "total_sectors") ok = Num32(v, &p.totalSectors);
        else if (k == "sectors_per_track") ok = Num32(v, &p.sectorsPerTrack);
        else if (k == "sector_size") ok = Num32(v, &p.sectorSize);
        else if (k == "wait_check") ok = Num32(v, &p.waitCheck);
        else if (k == "access_timing") ok = Num32(v, &p.accessTiming);
        else ok = false;
        if (!ok) *reason = "bad value of " + k;
        return ok;
    };
    if (!RunIni(text, key, why)) return false;
    if (image.empty()) {
        if (why) *why = "no image";
        return false;
    }
    c.image = image[0] == '/' ? image : unitDir + "/" + image;
    *card = c;
    return true;
}

bool ParseLegacyFaults(const std::string &text, std::vector<FaultRule> *rules, uint32_t *nextId, std::string *why)
{
    std::map<uint32_t, FaultRule> found;
    uint32_t next = 1;
    auto key = [&](const std::string &sec, const std::string &k, const std::string &v, std::string *reason) {
        if (sec == "faults") {
            if (k == "next_id" && Num32(v, &next)) return true;
            *reason = "bad value of " + k;
            return false;
        }
        uint64_t id;
        if (sec.compare(0, 5, "rule.") != 0 || !ParseNumber(sec.substr(5), 0xFFFFFFFFull, &id) || id == 0) {
            *reason = "unknown section [" + sec + "]";
            return false;
        }
        FaultRule &r = found[static_cast<uint32_t>(id)];
        r.id = static_cast<uint32_t>(id);
        if (!SetRuleField(&r, k, v)) {
            *reason = "bad value of " + k;
            return false;
        }
        return true;
    };
    if (!RunIni(text, key, why)) return false;
    rules->clear();
    uint32_t maxId = 0;
    for (auto &kv : found) {
        rules->push_back(kv.second);
        maxId = std::max(maxId, kv.first);
    }
    *nextId = std::max(next, maxId + 1);
    return true;
}

bool LoadLegacyUnit(const std::string &dir, Unit *unit, std::string *why, bool *missing, bool *wrong)
{
    *missing = false;
    *wrong = false;
    std::string text, reason;
    ReadResult rr = ReadBusFile(dir + "/" + kLegacyUnitFile, &text, &reason);
    if (rr != ReadResult::Ok) {
        *missing = rr == ReadResult::Missing;
        *wrong = !*missing;
        if (why) *why = reason;
        return false;
    }
    Unit u;
    u.name = unit->name;
    if (!ParseLegacyUnitDesc(text, &u.unitDesc, &reason)) {
        if (why) *why = "'" + dir + "/" + kLegacyUnitFile + "': " + reason;
        return false;
    }
    for (int s = 1; s < static_cast<int>(u.unitDesc.targets); ++s) {
        std::string path = dir + "/" + LegacySlotFile(s);
        rr = ReadBusFile(path, &text, &reason);
        if (rr == ReadResult::Missing) continue;
        Card c;
        if (rr != ReadResult::Ok || !ParseLegacyCard(text, dir, &c, &reason)) {
            *wrong = rr != ReadResult::Ok;
            if (why) *why = *wrong ? reason : "'" + path + "': " + reason;
            return false;
        }
        c.slot = s;
        u.cards.push_back(c);
    }
    std::string path = dir + "/" + kLegacyFaultsFile;
    rr = ReadBusFile(path, &text, &reason);
    if (rr == ReadResult::Ok) {
        if (!ParseLegacyFaults(text, &u.faults, &u.nextFaultId, &reason)) {
            if (why) *why = "'" + path + "': " + reason;
            return false;
        }
    } else if (rr != ReadResult::Missing) {
        *wrong = true;
        if (why) *why = reason;
        return false;
    }
    // Text that is not UTF-8 still reads; only rewriting it is refused.
    *unit = u;
    return true;
}

std::vector<std::string> LegacyFiles(const std::string &dir)
{
    std::vector<std::string> names;
    DIR *d = ::opendir(dir.c_str());
    if (!d) return names;
    while (struct dirent *e = ::readdir(d)) {
        std::string n = e->d_name;
        bool slot = n.size() > 8 && n.compare(0, 4, "slot") == 0 && n.compare(n.size() - 4, 4, ".ini") == 0 &&
                    std::all_of(n.begin() + 4, n.end() - 4, [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
        if (n == kLegacyUnitFile || n == kLegacyFaultsFile || slot) names.push_back(n);
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace vbus
