#include "Desc.h"

#include <ini.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vbus {

namespace {

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

std::string Hex(uint64_t v, int width = 8)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%0*llX", width, static_cast<unsigned long long>(v));
    return buf;
}

std::atomic<unsigned> g_tmpCounter{0};

std::string TempName(const std::string &path)
{
    auto slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    return dir + "/.tmp-" + base + "-" + std::to_string(getpid()) + "-" +
           std::to_string(g_tmpCounter.fetch_add(1));
}

bool WriteAll(const std::string &path, const std::string &content)
{
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const char *p = content.data();
    size_t left = content.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            int e = errno;
            ::close(fd);
            ::unlink(path.c_str());
            errno = e;
            return false;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    if (::close(fd) != 0) {
        int e = errno;
        ::unlink(path.c_str());
        errno = e;
        return false;
    }
    return true;
}

// inih hands each key to this; the sink decides what it means.
struct Sink {
    virtual ~Sink() = default;
    virtual bool Key(const std::string &section, const std::string &key, const std::string &value) = 0;
    std::string why;
};

int IniHandler(void *user, const char *section, const char *name, const char *value)
{
    auto *sink = static_cast<Sink *>(user);
    if (!name) return 1;  // section start
    return sink->Key(Lower(section ? section : ""), Lower(name), value ? value : "") ? 1 : 0;
}

bool RunIni(const std::string &text, Sink *sink, std::string *why)
{
    int rc = ini_parse_string(text.c_str(), IniHandler, sink);
    if (rc != 0) {
        if (why) {
            *why = rc < 0 ? std::string("cannot be parsed")
                          : "line " + std::to_string(rc) + (sink->why.empty() ? "" : ": " + sink->why);
        }
        return false;
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
    *out = Unquote(v, &ok);
    return ok;
}

}  // namespace

std::string SlotFileName(int slot)
{
    return "slot" + std::to_string(slot) + ".ini";
}

bool ReadTextFile(const std::string &path, std::string *out)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    out->clear();
    char buf[8192];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            ::close(fd);
            return false;
        }
        if (n == 0) break;
        out->append(buf, static_cast<size_t>(n));
        if (out->size() > (1u << 20)) {  // no description is this large
            ::close(fd);
            errno = EFBIG;
            return false;
        }
    }
    ::close(fd);
    return true;
}

bool WriteFileAtomic(const std::string &path, const std::string &content)
{
    std::string tmp = TempName(path);
    if (!WriteAll(tmp, content)) return false;
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        int e = errno;
        ::unlink(tmp.c_str());
        errno = e;
        return false;
    }
    return true;
}

bool WriteFileExclusive(const std::string &path, const std::string &content)
{
    std::string tmp = TempName(path);
    if (!WriteAll(tmp, content)) return false;
    // link() never replaces: two inserts into one slot cannot both win.
    int rc = ::link(tmp.c_str(), path.c_str());
    int e = errno;
    ::unlink(tmp.c_str());
    errno = e;
    return rc == 0;
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

std::string Unquote(const std::string &text, bool *ok)
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
        if (n == '\\' || n == '"') {
            out += n;
        } else if (n == 'x' && i + 2 < t.size() - 1 && std::isxdigit(static_cast<unsigned char>(t[i + 1])) &&
                   std::isxdigit(static_cast<unsigned char>(t[i + 2]))) {
            out += static_cast<char>(std::stoi(t.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            *ok = false;
            return out;
        }
    }
    return out;
}

std::string Quote(const std::string &text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7F || c == ';' || c == '#') {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

const char *ModelProduct(Model m)
{
    switch (m) {
    case Model::Tvq210: return "TVQ-210CF";
    case Model::Tvq206: return "TVQ-206";
    case Model::Foreign: break;
    }
    return "DISK";
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

namespace {

struct UnitSink : Sink {
    UnitDesc unitDesc;
    bool haveModel = false;
    bool Key(const std::string &sec, const std::string &k, const std::string &v) override
    {
        bool ok = true;
        uint32_t n;
        if (sec == "unit") {
            if (k == "model") {
                ok = ParseModel(Trim(v), &unitDesc.model);
                haveModel = ok;
            } else if (k == "vendor") ok = Str(v, &unitDesc.vendor);
            else if (k == "product") ok = Str(v, &unitDesc.product);
            else if (k == "revision") ok = Str(v, &unitDesc.revision);
            else if (k == "bridge") ok = Str(v, &unitDesc.bridge);
            else if (k == "targets") ok = Num32(v, &unitDesc.targets) && unitDesc.targets >= 1 && unitDesc.targets <= kMaxTargets;
            else if (k == "connected") {
                ok = Num32(v, &n) && n <= 1;
                unitDesc.connected = n != 0;
            } else if (k == "throttle_bytes_per_second") {
                uint64_t x;
                ok = ParseNumber(Trim(v), UINT64_MAX, &x);
                unitDesc.throttleBytesPerSecond = x;
            } else if (k == "call_delay_ms") ok = Num32(v, &unitDesc.callDelayMs) && unitDesc.callDelayMs <= 600000;
            else ok = false;
        } else if (sec == "firmware") {
            if (k == "signature") ok = Str(v, &unitDesc.fw.signature) && unitDesc.fw.signature.size() <= 4;
            else if (k == "bios") ok = Num32(v, &unitDesc.fw.bios);
            else if (k == "flags") ok = Num32(v, &unitDesc.fw.flags);
            else if (k == "product_code") ok = Num32(v, &unitDesc.fw.productCode);
            else if (k == "card_if") ok = Num32(v, &unitDesc.fw.cardIf);
            else if (k == "vendor_text") ok = Str(v, &unitDesc.fw.vendorText) && unitDesc.fw.vendorText.size() <= 8;
            else if (k == "product_name") ok = Str(v, &unitDesc.fw.productName) && unitDesc.fw.productName.size() <= 16;
            else ok = false;
        } else {
            ok = false;
        }
        if (!ok) why = "bad value of " + k + " in [" + sec + "]";
        return ok;
    }
};

struct CardSink : Sink {
    Card card;
    std::string image;
    bool haveImage = false;
    bool Key(const std::string &sec, const std::string &k, const std::string &v) override
    {
        bool ok = true;
        uint32_t n = 0;
        DriveParams &p = card.params;
        if (sec != "card") ok = false;
        else if (k == "image") ok = Str(v, &image) && !image.empty() && (haveImage = true);
        else if (k == "in_place") {
            ok = Num32(v, &n) && n <= 1;
            card.inPlace = n != 0;
        } else if (k == "cylinders") ok = Num32(v, &p.cylinders);
        else if (k == "heads") ok = Num32(v, &p.heads);
        else if (k == "total_sectors") ok = Num32(v, &p.totalSectors);
        else if (k == "sectors_per_track") ok = Num32(v, &p.sectorsPerTrack);
        else if (k == "sector_size") ok = Num32(v, &p.sectorSize);
        else if (k == "wait_check") ok = Num32(v, &p.waitCheck);
        else if (k == "access_timing") ok = Num32(v, &p.accessTiming);
        else ok = false;
        if (!ok) why = "bad value of " + k;
        return ok;
    }
};

}  // namespace

bool ParseUnitDesc(const std::string &text, UnitDesc *unitDesc, std::string *why)
{
    UnitSink sink;
    if (!RunIni(text, &sink, why)) return false;
    if (!sink.haveModel) {
        if (why) *why = "no model";
        return false;
    }
    *unitDesc = sink.unitDesc;
    ResolveDefaults(unitDesc);
    return true;
}

std::string UnitDescText(const UnitDesc &s)
{
    std::string t;
    t += "[unit]\n";
    t += "model = " + std::string(ModelName(s.model)) + "\n";
    t += "vendor = " + Quote(s.vendor) + "\n";
    t += "product = " + Quote(s.product) + "\n";
    t += "revision = " + Quote(s.revision) + "\n";
    t += "bridge = " + Quote(s.bridge) + "\n";
    t += "targets = " + std::to_string(s.targets) + "\n";
    t += "connected = " + std::string(s.connected ? "1" : "0") + "\n";
    t += "throttle_bytes_per_second = " + std::to_string(s.throttleBytesPerSecond) + "\n";
    t += "call_delay_ms = " + std::to_string(s.callDelayMs) + "\n";
    t += "\n[firmware]\n";
    t += "signature = " + Quote(s.fw.signature) + "\n";
    t += "bios = " + Hex(s.fw.bios) + "\n";
    t += "flags = " + Hex(s.fw.flags) + "\n";
    t += "product_code = " + Hex(s.fw.productCode) + "\n";
    t += "card_if = " + Hex(s.fw.cardIf) + "\n";
    t += "vendor_text = " + Quote(s.fw.vendorText) + "\n";
    t += "product_name = " + Quote(s.fw.productName) + "\n";
    return t;
}

bool ParseCard(const std::string &text, const std::string &unitDir, Card *card, std::string *why)
{
    CardSink sink;
    sink.card.params = DriveParams{};
    sink.card.params.totalSectors = 0;  // 0 after parsing: derive from the image
    if (!RunIni(text, &sink, why)) return false;
    if (!sink.haveImage) {
        if (why) *why = "no image";
        return false;
    }
    *card = sink.card;
    card->image = sink.image[0] == '/' ? sink.image : unitDir + "/" + sink.image;
    return true;
}

std::string CardText(const Card &c, const std::string &unitDir)
{
    std::string image = c.image;
    std::string prefix = unitDir + "/";
    if (image.compare(0, prefix.size(), prefix) == 0) image = image.substr(prefix.size());
    const DriveParams &p = c.params;
    std::string t = "[card]\n";
    t += "image = " + Quote(image) + "\n";
    t += "in_place = " + std::string(c.inPlace ? "1" : "0") + "\n";
    t += "cylinders = " + std::to_string(p.cylinders) + "\n";
    t += "heads = " + std::to_string(p.heads) + "\n";
    t += "total_sectors = " + std::to_string(p.totalSectors) + "\n";
    t += "sectors_per_track = " + std::to_string(p.sectorsPerTrack) + "\n";
    t += "sector_size = " + std::to_string(p.sectorSize) + "\n";
    t += "wait_check = " + std::to_string(p.waitCheck) + "\n";
    t += "access_timing = " + std::to_string(p.accessTiming) + "\n";
    return t;
}

namespace {

bool ParseSense(const std::string &v, FaultRule *r)
{
    // KK/AA/QQ in hexadecimal
    unsigned k, a, q;
    char tail;
    if (std::sscanf(v.c_str(), "%2x/%2x/%2x%c", &k, &a, &q, &tail) != 3) return false;
    if (k > 0x0F) return false;
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
        if (eq == std::string::npos || !SetRuleField(&r, word.substr(0, eq), word.substr(eq + 1)))
            throw Error("bad fault rule word '" + word +
                        "' (expected slot=, op=, count=, lba= or effect=; see tvqunit fault set --help)");
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

namespace {

struct FaultSink : Sink {
    std::map<uint32_t, FaultRule> rules;
    uint32_t nextId = 1;
    bool Key(const std::string &sec, const std::string &k, const std::string &v) override
    {
        if (sec == "faults") {
            if (k == "next_id" && Num32(v, &nextId)) return true;
            why = "bad value of " + k;
            return false;
        }
        uint64_t id;
        if (sec.compare(0, 5, "rule.") != 0 || !ParseNumber(sec.substr(5), 0xFFFFFFFFull, &id) || id == 0) {
            why = "unknown section [" + sec + "]";
            return false;
        }
        FaultRule &r = rules[static_cast<uint32_t>(id)];
        r.id = static_cast<uint32_t>(id);
        if (!SetRuleField(&r, k, v)) {
            why = "bad value of " + k;
            return false;
        }
        return true;
    }
};

struct CountSink : Sink {
    std::map<uint32_t, RuleCounts> counts;
    bool Key(const std::string &sec, const std::string &k, const std::string &v) override
    {
        uint64_t id, x;
        if (sec.compare(0, 5, "rule.") != 0 || !ParseNumber(sec.substr(5), 0xFFFFFFFFull, &id)) return false;
        if (!ParseNumber(Trim(v), UINT64_MAX, &x)) return false;
        if (k == "hits") counts[static_cast<uint32_t>(id)].hits = x;
        else if (k == "fires") counts[static_cast<uint32_t>(id)].fires = x;
        else return false;
        return true;
    }
};

}  // namespace

bool ParseFaults(const std::string &text, std::vector<FaultRule> *rules, uint32_t *nextId, std::string *why)
{
    FaultSink sink;
    if (!RunIni(text, &sink, why)) return false;
    rules->clear();
    uint32_t maxId = 0;
    for (auto &kv : sink.rules) {
        rules->push_back(kv.second);
        maxId = std::max(maxId, kv.first);
    }
    *nextId = std::max(sink.nextId, maxId + 1);
    return true;
}

std::string FaultsText(const std::vector<FaultRule> &rules, uint32_t nextId)
{
    std::string t = "[faults]\nnext_id = " + std::to_string(nextId) + "\n";
    for (const auto &r : rules) {
        t += "\n[rule." + std::to_string(r.id) + "]\n";
        // The rule's own words, one key a line.
        std::string words = FaultRuleText(r);
        size_t i = 0;
        while (i < words.size()) {
            size_t e = words.find(' ', i);
            if (e == std::string::npos) e = words.size();
            std::string w = words.substr(i, e - i);
            auto eq = w.find('=');
            t += w.substr(0, eq) + " = " + w.substr(eq + 1) + "\n";
            i = e + 1;
        }
    }
    return t;
}

std::map<uint32_t, RuleCounts> ParseCounts(const std::string &text)
{
    CountSink sink;
    std::string why;
    if (!RunIni(text, &sink, &why)) return {};
    return sink.counts;
}

std::string CountsText(const std::map<uint32_t, RuleCounts> &counts)
{
    std::string t;
    for (const auto &kv : counts) {
        t += "[rule." + std::to_string(kv.first) + "]\nhits = " + std::to_string(kv.second.hits) +
             "\nfires = " + std::to_string(kv.second.fires) + "\n";
    }
    return t;
}

bool MoveCardOut(const std::string &unitDir, int slot)
{
    std::string ejected = unitDir + "/" + kEjectedDir;
    ::mkdir(ejected.c_str(), 0755);
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%lld%09ld-%d-%u", static_cast<long long>(ts.tv_sec), ts.tv_nsec,
                  static_cast<int>(getpid()), g_tmpCounter.fetch_add(1));
    std::string to = ejected + "/slot" + std::to_string(slot) + "-" + stamp + ".ini";
    std::string from = unitDir + "/" + SlotFileName(slot);
    return ::rename(from.c_str(), to.c_str()) == 0;
}

void AppendCall(const std::string &busDir, const std::string &line)
{
    std::string path = busDir + "/" + kCallsFile;
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    std::string l = line + "\n";
    // One write with O_APPEND: lines of several writers never interleave.
    ssize_t n = ::write(fd, l.data(), l.size());
    (void)n;
    ::close(fd);
}

}  // namespace vbus
