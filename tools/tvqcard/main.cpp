// tvqcard: whole cards of a TVQ-206 / TVQ-210CF unit from the shell: list,
// read, write (one slot, several, or the VD), verify, compare, hash, eject
// and format, through the same device layer as the desktop program.
//
// Exit status: 0 done (compare: equal), 1 differences (compare, write
// --verify, hash --check), 2 trouble (bad input, no unit, a failing card or
// file, a slot in use), 130 stopped by Ctrl+C (128 + the signal).
#include "Messages.h"
#include "Progress.h"
#include "Session.h"
#include "Transfer.h"
#include "qevcrdio.h"
#include "tvq2xx.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

#ifndef TVQ_VERSION
#define TVQ_VERSION "1.0.0"
#endif

using json = nlohmann::json;

namespace {

constexpr uint64_t kSector = 512;

struct Common {
    unsigned retries = 3;
    bool json = false;
    bool quiet = false;
    std::string bus;
};

Common common;

void Note(const std::string &text)
{
    if (!common.quiet) std::fprintf(stderr, "%s\n", text.c_str());
}

std::string Hex8(uint64_t v)
{
    char buf[24];
    std::snprintf(buf, sizeof buf, "%08llX", static_cast<unsigned long long>(v));
    return buf;
}

std::string Version(int32_t v)
{
    if (v == -1) return "?.??";
    char buf[16];
    std::snprintf(buf, sizeof buf, "%u.%u%u", (uint32_t(v) >> 16) & 0xF, (uint32_t(v) >> 8) & 0xF, uint32_t(v) & 0xF);
    return buf;
}

std::string Trim(const char *p, size_t n)
{
    std::string s(p, n);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
    return s;
}

// "64.0MB" as the program's drive list writes a capacity.
std::string Capacity(uint64_t bytes)
{
    char buf[32];
    const double b = static_cast<double>(bytes);
    if (b >= 1073741824.0) std::snprintf(buf, sizeof buf, "%3.1fGB", b / 1073741824.0);
    else if (b >= 1048576.0) std::snprintf(buf, sizeof buf, "%3.1fMB", b / 1048576.0);
    else if (b >= 1024.0) std::snprintf(buf, sizeof buf, "%3.1fKB", b / 1024.0);
    else buf[0] = '\0';
    return buf;
}

int StatusOf(const Outcome &o)
{
    switch (o.kind) {
    case Outcome::Done: return 0;
    case Outcome::Differs: return 1;
    case Outcome::Stopped: return 128 + (StopSignal.load() != 0 ? StopSignal.load() : 2);
    case Outcome::Failed: return 2;
    }
    return 2;
}

const char *KindName(Outcome::Kind k)
{
    switch (k) {
    case Outcome::Done: return "done";
    case Outcome::Differs: return "different";
    case Outcome::Stopped: return "stopped";
    case Outcome::Failed: return "failed";
    }
    return "failed";
}

// A run that a signal asked to stop is never a success, even if its last block was done.
void MarkStopped(Outcome &o)
{
    if (StopSignal.load() != 0 && o.kind != Outcome::Failed) o.kind = Outcome::Stopped;
}

std::string StoppedText(const Outcome &o, uint64_t totalBytes, const std::string &where, uint32_t start)
{
    const uint64_t done = o.bytes / kSector;
    const uint64_t last = done > 0 ? start + done - 1 : start;
    if (done == 0)
        return Say(Msg::Interrupted, {"0", std::to_string((totalBytes + kSector - 1) / kSector), where, "-", "-"});
    return Say(Msg::Interrupted, {std::to_string(done), std::to_string((totalBytes + kSector - 1) / kSector), where,
                                  std::to_string(start), std::to_string(last)});
}

json OutcomeJson(const std::string &command, const Outcome &o)
{
    json j;
    j["command"] = command;
    j["result"] = KindName(o.kind);
    j["bytes"] = o.bytes;
    j["seconds"] = o.seconds;
    if (!o.sha256.empty()) j["sha256"] = o.sha256;
    if (!o.message.empty()) j["message"] = o.message;
    return j;
}

void PrintJson(const json &j, FILE *to = stdout)
{
    std::fprintf(to, "%s\n", j.dump(2).c_str());
}

// The range [start, start+count) checked against the card as the parameters dialog does.
void CheckRange(Session &s, uint32_t slot, const SlotRecord &r, uint32_t start, const std::string &countText,
                uint64_t *count)
{
    if (start > uint64_t(r.TotalSectors) - 1 || r.TotalSectors == 0)
        throw ToolError(Say(Msg::StartBeyond, {std::to_string(start), s.Name(slot), std::to_string(r.TotalSectors)}));
    if (countText.empty()) {
        *count = uint64_t(r.TotalSectors) - start;
        return;
    }
    *count = ParseSector(countText, "--count");
    if (*count == 0) throw ToolError(Say(Msg::CountZero));
    if (start + *count > r.TotalSectors)
        throw ToolError(Say(Msg::RangeBeyond, {std::to_string(start), std::to_string(start + *count - 1), s.Name(slot),
                                               std::to_string(r.TotalSectors)}));
}

// An existing regular file opened for reading, with its size.
int OpenSource(const std::string &path, uint64_t *size)
{
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) throw ToolError(Say(Msg::FileMissing, {path}));
        throw ToolError(Say(Msg::FileOpen, {path, std::strerror(errno)}));
    }
    if (!S_ISREG(st.st_mode)) throw ToolError(Say(Msg::FileNotRegular, {path}));
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw ToolError(Say(Msg::FileOpen, {path, std::strerror(errno)}));
    if (::fstat(fd, &st) != 0) {
        const int e = errno;
        ::close(fd);
        throw ToolError(Say(Msg::FileOpen, {path, std::strerror(e)}));
    }
    *size = static_cast<uint64_t>(st.st_size);
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    return fd;
}

Options TransferOptions(bool hash)
{
    Options o;
    o.retries = common.retries;
    o.hash = hash;
    return o;
}

// ---- list ----

int List()
{
    Session s;
    const uint32_t mirrored = s.Mirrored();
    const SlotRecord master = s.Record(1);
    const bool trueIde = TrueIdeMode != 0;
    json j;
    j["model"] = s.Model();
    j["productName"] = Trim(UnitInfo.ProductName, sizeof UnitInfo.ProductName);
    j["productCode"] = Hex8(UnitInfo.ProductCode);
    j["bios"] = Version(UnitInfo.BiosVersion());
    j["cardIf"] = Version(UnitInfo.CardIfVersion());
    j["mode"] = trueIde ? "TrueIDE" : "PC Card ATA";
    j["vd"] = VdAtEnd != 0 ? "last" : "first";
    j["vdMirrors"] = mirrored != 0 ? json(s.Name(mirrored)) : json(nullptr);
    j["slots"] = json::array();
    // The library names its backend in every record it fills.
    const bool realUnit = s.Record(kVd).Reserved[QEV_BACKEND_BYTE] == QEV_BACKEND_SG;
    j["backend"] = realUnit ? "sg" : "bus";
    std::string defaulted;

    std::ostringstream text;
    text << s.Model() << "  \"" << j["productName"].get<std::string>() << "\"  product code " << Hex8(UnitInfo.ProductCode)
         << "\nfirmware: BIOS " << j["bios"].get<std::string>() << ", card I/F " << j["cardIf"].get<std::string>() << "; "
         << (trueIde ? "TrueIDE" : "PC Card ATA") << " mode; VD " << (VdAtEnd != 0 ? "last" : "first")
         << (mirrored != 0 ? ", mirrors " + s.Name(mirrored) : std::string(", no card")) << "\n"
         << "backend: " << (realUnit ? "sg (the unit itself, through SCSI generic)" : "bus (a virtual unit)") << "\n";
    char line[256];
    std::snprintf(line, sizeof line, "%-5s %-4s %8s %10s %8s %5s %5s %5s %6s %5s  %-8s %s\n", "slot", "card", "capacity",
                  "sectors", "cylinder", "head", "s/t", "b/s", trueIde ? "mode" : "speed", trueIde ? "IORDY" : "-WAIT",
                  "master", "in use by");
    text << line;
    for (uint32_t slot = 0; slot <= s.Slots(); ++slot) {
        const SlotRecord r = s.Record(slot);
        const std::string holder = s.Holder(slot);
        const bool present = r.CardPresent != 0;
        const uint64_t bytes = uint64_t(r.TotalSectors) * r.SectorSize;
        // The master's own row and the VD are not compared; an empty master compares with nothing.
        std::string vsMaster = "-";
        bool differs = false;
        if (present && slot > 1 && master.CardPresent != 0) {
            differs = std::memcmp(&r, &master, kDriveParamBytes) != 0;
            vsMaster = differs ? "DIFFERS" : "same";
        } else if (slot == 1 && present) {
            vsMaster = "master";
        }
        json e;
        e["slot"] = s.Label(slot);
        e["name"] = s.Name(slot);
        e["target"] = s.TargetOf(slot);
        e["card"] = present;
        if (present) {
            e["cylinders"] = r.Cylinders;
            e["heads"] = r.Heads;
            e["totalSectors"] = r.TotalSectors;
            e["sectorsPerTrack"] = r.SectorsPerTrack;
            e["sectorSize"] = r.SectorSize;
            e["waitCheck"] = r.WaitCheck != 0;
            e["accessTiming"] = r.AccessTiming;
            e["capacityBytes"] = bytes;
            e["usable"] = r.SectorSize == 512 && r.Heads != 0;
            const bool byDefault = (r.Reserved[QEV_PARAMS_BYTE] & QEV_PARAMS_DEFAULTED) != 0;
            e["paramsFrom"] = byDefault ? "defaults" : realUnit ? "identify" : "description";
            if (byDefault) defaulted += (defaulted.empty() ? "" : ", ") + s.Label(slot);
        }
        if (slot > 1) e["differsFromMaster"] = differs;
        e["inUseBy"] = holder.empty() ? json(nullptr) : json(holder);
        if (slot == kVd) j["vdTarget"] = e;
        else j["slots"].push_back(e);

        char timing[16];
        if (trueIde) std::snprintf(timing, sizeof timing, "PIO-%u", r.AccessTiming & 7);
        else std::snprintf(timing, sizeof timing, "%uns", r.AccessTiming);
        if (present)
            std::snprintf(line, sizeof line, "%-5s %-4s %8s %10u %8u %5u %5u %5u %6s %5s  %-8s %s\n", s.Label(slot).c_str(),
                          "yes", Capacity(bytes).c_str(), r.TotalSectors, r.Cylinders, r.Heads, r.SectorsPerTrack,
                          r.SectorSize, timing, r.WaitCheck != 0 ? "YES" : "NO", vsMaster.c_str(), holder.c_str());
        else
            std::snprintf(line, sizeof line, "%-5s %-4s %8s %10s %8s %5s %5s %5s %6s %5s  %-8s %s\n", s.Label(slot).c_str(),
                          "no", "", "", "", "", "", "", "", "", "-", holder.c_str());
        std::string row(line);
        while (row.size() > 1 && row[row.size() - 2] == ' ') row.erase(row.size() - 2, 1);
        text << row;
    }
    if (!defaulted.empty())
        text << "drive parameters of " << defaulted
             << ": the defaults for the card's size (the unit's bridge refused ATA IDENTIFY DEVICE)\n";
    if (common.json) PrintJson(j);
    else std::fputs(text.str().c_str(), stdout);
    return 0;
}

// ---- read ----

struct ReadArgs {
    std::string slot, file, start, count;
    bool sha = false;
};

int Read(const ReadArgs &a)
{
    Session s;
    const uint32_t slot = s.Parse({a.slot}, true, false).at(0);
    const SlotRecord r = s.Card(slot);
    const uint32_t start = a.start.empty() ? 0 : ParseSector(a.start, "--start");
    uint64_t count = 0;
    CheckRange(s, slot, r, start, a.count, &count);
    const bool toStdout = a.file == "-";
    if (!toStdout) {
        struct stat st;
        // A read-only image is kept, whoever runs this (root passes the mode bits).
        if (::stat(a.file.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 0222) == 0)
            throw ToolError(Say(Msg::FileOpen, {a.file, std::strerror(EACCES)}));
    }
    s.Reserve({slot});

    const int fd = toStdout ? STDOUT_FILENO : ::open(a.file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) throw ToolError(Say(Msg::FileOpen, {a.file, std::strerror(errno)}));
    SetProgressLabel(s.Name(slot));
    Outcome o = ReadToFile({s.TargetOf(slot), s.Name(slot)}, start, count, fd, a.file, TransferOptions(a.sha));
    if (!toStdout && ::close(fd) != 0 && o.kind == Outcome::Done) {
        o.kind = Outcome::Failed;
        o.message = Say(Msg::FileClose, {a.file, std::strerror(errno)});
    }
    MarkStopped(o);
    FILE *results = toStdout ? stderr : stdout;
    if (common.json) {
        json j = OutcomeJson("read", o);
        j["slot"] = s.Name(slot);
        j["file"] = a.file;
        j["start"] = start;
        j["sectors"] = o.bytes / kSector;
        PrintJson(j, results);
    }
    switch (o.kind) {
    case Outcome::Done:
        if (a.sha && !common.json) std::fprintf(results, "%s  %s\n", o.sha256.c_str(), a.file.c_str());
        Note(Say(Msg::ReadDone, {std::to_string(count), HumanBytes(count * kSector), s.Name(slot), a.file,
                                 HumanSeconds(o.seconds)}));
        break;
    case Outcome::Stopped:
        std::fprintf(stderr, "tvqcard: %s\n", StoppedText(o, count * kSector, s.Name(slot), start).c_str());
        break;
    default:
        std::fprintf(stderr, "tvqcard: %s\n", o.message.c_str());
        std::fprintf(stderr, "tvqcard: %s\n",
                     Say(Msg::Stopped, {std::to_string(o.bytes / kSector), std::to_string(count), a.file}).c_str());
        break;
    }
    return StatusOf(o);
}

// ---- write ----

struct WriteArgs {
    std::string file, start;
    std::vector<std::string> slots;
    bool verify = false, sha = false;
};

int Write(const WriteArgs &a)
{
    Session s;
    const std::vector<uint32_t> slots = s.Parse(a.slots, true, true);
    uint64_t size = 0;
    const int fd = OpenSource(a.file, &size);
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    const uint32_t start = a.start.empty() ? 0 : ParseSector(a.start, "--start");
    const uint64_t needed = (size + kSector - 1) / kSector;
    // Every card is checked before the first byte goes anywhere.
    for (uint32_t slot : slots) {
        if (slot == kVd) s.CheckVdWrite();
        const SlotRecord r = s.Card(slot);
        uint64_t count = 0;
        CheckRange(s, slot, r, start, std::string(), &count);
        if (needed > count)
            throw ToolError(Say(Msg::FileBeyond, {a.file, std::to_string(size), s.Name(slot), std::to_string(start),
                                                  std::to_string(r.TotalSectors)}));
    }
    s.Reserve(slots);

    json runs = json::array();
    int status = 0;
    std::string sha;
    for (uint32_t slot : slots) {
        const Target t{s.TargetOf(slot), s.Name(slot)};
        ::lseek(fd, 0, SEEK_SET);
        SetProgressLabel(t.name + " write");
        Outcome o = WriteFromFile(t, start, fd, size, a.file, TransferOptions(a.sha));
        MarkStopped(o);
        if (!o.sha256.empty()) sha = o.sha256;
        json j = OutcomeJson("write", o);
        j["slot"] = t.name;
        if (o.kind == Outcome::Done)
            Note(Say(Msg::WriteDone, {std::to_string(o.bytes), std::to_string(needed), a.file, t.name, HumanSeconds(o.seconds)}));
        else if (o.kind == Outcome::Stopped)
            std::fprintf(stderr, "tvqcard: %s\n", StoppedText(o, size, t.name, start).c_str());
        else
            std::fprintf(stderr, "tvqcard: %s\n", o.message.c_str());
        if (o.kind == Outcome::Done && a.verify) {
            // The VD duplicates into every card: each one is read back.
            std::vector<Target> check;
            if (slot == kVd) {
                for (uint32_t c = 1; c <= s.Slots(); ++c)
                    if (s.Record(c).CardPresent != 0) check.push_back({s.TargetOf(c), s.Name(c)});
            } else {
                check.push_back(t);
            }
            ::lseek(fd, 0, SEEK_SET);
            SetProgressLabel(t.name + " verify");
            Difference first{};
            Outcome v = CompareWithFile(check, start, fd, size, a.file, TransferOptions(false), [&](const Difference &d) {
                first = d;
                return false;
            });
            MarkStopped(v);
            json jv = OutcomeJson("verify", v);
            if (v.kind == Outcome::Done) {
                Note(Say(Msg::VerifyDone, {t.name}));
            } else if (v.kind == Outcome::Differs) {
                const std::string where = check[first.target].name;
                std::fprintf(stderr, "tvqcard: %s\n",
                             Say(Msg::VerifyDiffers, {where, a.file, std::to_string(first.sector),
                                                      std::to_string(first.address % kSector)}).c_str());
                jv["slot"] = where;
                jv["sector"] = first.sector;
                jv["address"] = first.address;
            } else if (v.kind == Outcome::Stopped) {
                std::fprintf(stderr, "tvqcard: %s\n", StoppedText(v, size, t.name, start).c_str());
            } else {
                std::fprintf(stderr, "tvqcard: %s\n", v.message.c_str());
            }
            j["verify"] = jv;
            if (v.kind != Outcome::Done) o.kind = v.kind;
        }
        runs.push_back(j);
        status = StatusOf(o);
        if (status != 0) break;  // the first error ends the batch
    }
    if (common.json) {
        json j;
        j["command"] = "write";
        j["file"] = a.file;
        j["bytes"] = size;
        j["start"] = start;
        if (!sha.empty()) j["sha256"] = sha;
        j["slots"] = runs;
        j["result"] = status == 0 ? "done" : status == 1 ? "different" : status == 2 ? "failed" : "stopped";
        PrintJson(j);
    } else if (a.sha && !sha.empty()) {
        std::printf("%s  %s\n", sha.c_str(), a.file.c_str());
    }
    return status;
}

// ---- compare ----

struct CompareArgs {
    std::string slot, file, start;
    uint64_t maxDiffs = 100;
};

int Compare(const CompareArgs &a)
{
    Session s;
    const uint32_t slot = s.Parse({a.slot}, true, false).at(0);
    uint64_t size = 0;
    const int fd = OpenSource(a.file, &size);
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    const SlotRecord r = s.Card(slot);
    const uint32_t start = a.start.empty() ? 0 : ParseSector(a.start, "--start");
    uint64_t count = 0;
    CheckRange(s, slot, r, start, std::string(), &count);
    s.Reserve({slot});
    const uint64_t bytes = std::min<uint64_t>(size, count * kSector);
    json diffs = json::array();
    uint64_t shown = 0;
    SetProgressLabel(s.Name(slot) + " compare");
    Outcome o = CompareWithFile({{s.TargetOf(slot), s.Name(slot)}}, start, fd, bytes, a.file, TransferOptions(false),
                                [&](const Difference &d) {
                                    if (common.json) {
                                        diffs.push_back({{"address", d.address}, {"sector", d.sector},
                                                         {"card", d.card}, {"file", d.file}});
                                    } else {
                                        std::printf("<Address %08llX (Sector No# = %X)>  Card : %02X  File : %02X\n",
                                                    static_cast<unsigned long long>(d.address), d.sector, d.card, d.file);
                                    }
                                    ++shown;
                                    return a.maxDiffs == 0 || shown < a.maxDiffs;
                                });
    MarkStopped(o);
    const bool cut = o.kind == Outcome::Differs && a.maxDiffs != 0 && shown >= a.maxDiffs && o.bytes < bytes;
    const bool cardEnds = size > bytes && (o.kind == Outcome::Done || o.kind == Outcome::Differs) && !cut;
    if (cardEnds) o.kind = Outcome::Differs;
    if (common.json) {
        json j = OutcomeJson("compare", o);
        j["slot"] = s.Name(slot);
        j["file"] = a.file;
        j["start"] = start;
        j["differences"] = diffs;
        j["fileBytesPastCard"] = size - bytes;
        if (cut) j["maxDiffsReached"] = true;
        PrintJson(j);
    }
    std::fflush(stdout);
    switch (o.kind) {
    case Outcome::Done: Note(Say(Msg::CompareSame, {s.Name(slot), a.file, std::to_string(bytes)})); break;
    case Outcome::Differs:
        if (cut) std::fprintf(stderr, "tvqcard: %s\n", Say(Msg::CompareMore, {std::to_string(shown)}).c_str());
        if (cardEnds)
            std::fprintf(stderr, "tvqcard: %s\n",
                         Say(Msg::CompareCardEnds, {s.Name(slot), a.file, std::to_string(size - bytes)}).c_str());
        if ((!cut && !cardEnds) || shown > 0)
            Note(Say(Msg::CompareDiffers, {s.Name(slot), a.file}));
        break;
    case Outcome::Stopped:
        std::fprintf(stderr, "tvqcard: %s\n", StoppedText(o, bytes, s.Name(slot), start).c_str());
        break;
    case Outcome::Failed: std::fprintf(stderr, "tvqcard: %s\n", o.message.c_str()); break;
    }
    return StatusOf(o);
}

// ---- hash ----

struct HashArgs {
    std::vector<std::string> slots;
    std::string start, count, check;
};

// Lines "HASH  SLOT" as hash prints them: the slots to hash and the sums wanted.
std::vector<std::string> ReadSums(const std::string &path, std::vector<std::string> *sums)
{
    std::ifstream f(path);
    if (!f) throw ToolError(Say(Msg::FileOpen, {path, std::strerror(errno)}));
    std::vector<std::string> slots;
    std::string line;
    for (int n = 1; std::getline(f, line); ++n) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        const bool hex = line.size() > 66 && line.find_first_not_of("0123456789abcdefABCDEF") == 64 &&
                         line[64] == ' ' && (line[65] == ' ' || line[65] == '*');
        if (!hex) throw ToolError(Say(Msg::HashBadLine, {path, std::to_string(n)}));
        std::string sum = line.substr(0, 64);
        for (char &c : sum) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        sums->push_back(sum);
        slots.push_back(line.substr(66));
    }
    if (slots.empty()) throw ToolError(Say(Msg::HashBadLine, {path, "1"}));
    return slots;
}

int Hash(const HashArgs &a)
{
    Session s;
    std::vector<std::string> sums;
    if (!a.check.empty() && !a.slots.empty()) throw ToolError(Say(Msg::OneSlotOnly, {"hash --check"}));
    const std::vector<std::string> words = a.check.empty() ? a.slots : ReadSums(a.check, &sums);
    if (words.empty()) throw ToolError(Say(Msg::NoCards));
    const std::vector<uint32_t> slots = s.Parse(words, true, a.check.empty());
    const uint32_t start = a.start.empty() ? 0 : ParseSector(a.start, "--start");
    std::vector<uint64_t> counts;
    for (uint32_t slot : slots) {
        uint64_t count = 0;
        CheckRange(s, slot, s.Card(slot), start, a.count, &count);
        counts.push_back(count);
    }
    s.Reserve(slots);
    json all = json::array();
    int status = 0;
    size_t failed = 0;
    for (size_t i = 0; i < slots.size(); ++i) {
        const uint32_t slot = slots[i];
        SetProgressLabel(s.Name(slot) + " hash");
        Outcome o = HashCard({s.TargetOf(slot), s.Name(slot)}, start, counts[i], TransferOptions(true));
        MarkStopped(o);
        json j = OutcomeJson("hash", o);
        j["slot"] = s.Name(slot);
        j["start"] = start;
        j["sectors"] = counts[i];
        all.push_back(j);
        if (o.kind == Outcome::Done && !sums.empty()) {
            const bool same = o.sha256 == sums[i];
            j["expected"] = sums[i];
            j["match"] = same;
            if (!same) ++failed;
            if (!common.json) std::printf("%s\n", Say(same ? Msg::HashOk : Msg::HashMismatch, {words[i]}).c_str());
            std::fflush(stdout);
        } else if (o.kind == Outcome::Done) {
            if (!common.json) std::printf("%s  %s\n", o.sha256.c_str(), s.Name(slot).c_str());
            std::fflush(stdout);
        } else if (o.kind == Outcome::Stopped) {
            std::fprintf(stderr, "tvqcard: %s\n", StoppedText(o, counts[i] * kSector, s.Name(slot), start).c_str());
        } else {
            std::fprintf(stderr, "tvqcard: %s\n", o.message.c_str());
        }
        status = StatusOf(o);
        if (status != 0) break;
    }
    if (common.json) PrintJson(all);
    if (status == 0 && failed > 0) {
        std::fprintf(stderr, "tvqcard: %s\n", Say(Msg::HashFailed, {std::to_string(failed), std::to_string(slots.size())}).c_str());
        status = 1;
    }
    return status;
}

// ---- eject, format ----

int Eject(const std::string &word)
{
    Session s;
    const uint32_t slot = s.Parse({word}, true, false).at(0);
    if (s.Record(slot).CardPresent == 0) throw ToolError(Say(Msg::NoCard, {s.Name(slot)}));
    s.Reserve({slot});
    uint32_t target = s.TargetOf(slot);
    if (!EjectCard(target)) throw ToolError(Say(Msg::EjectFailed, {s.Name(slot)}));
    Note(Say(Msg::Ejected, {s.Name(slot)}));
    return 0;
}

int Format(const std::string &word, bool yes)
{
    Session s;
    const uint32_t slot = s.Parse({word}, true, false).at(0);
    s.Card(slot);
    if (!yes) throw ToolError(Say(Msg::FormatNeedsYes, {s.Name(slot)}));
    s.Reserve({slot});
    uint32_t target = s.TargetOf(slot);
    if (!FormatCard(target, SlotTable[target])) throw ToolError(Say(Msg::FormatFailed, {s.Name(slot)}));
    Note(Say(Msg::Formatted, {s.Name(slot)}));
    return 0;
}

const char *kSlots =
    "SLOT is a slot as the unit labels it: 1 to 10 on a TVQ-210CF (1 is the master slot), M and 1 to 5 "
    "on a TVQ-206; \"master\" names the master slot on both, \"vd\" the VD (reads come from the card it "
    "mirrors, writes go to every card at once) and \"all\" every slot holding a card.";

}  // namespace

int main(int argc, char **argv)
{
    CLI::App app("Reads, writes, verifies, compares and hashes whole cards in a TVQ-206 or TVQ-210CF "
                 "PC card multi-station unit, for scripts and batch work.",
                 "tvqcard");
    app.set_version_flag("--version", std::string("tvqcard ") + TVQ_VERSION);
    app.require_subcommand(1);
    app.fallthrough();
    app.add_option("--retries", common.retries, "tries again a failing device call N times before it stops at that sector")
        ->check(CLI::Range(0u, 1000u))
        ->capture_default_str()
        ->type_name("N");
    app.add_flag("--json", common.json, "prints a machine-readable summary on stdout");
    app.add_flag("-q,--quiet", common.quiet, "no progress bar and no summary on stderr; errors still show");
    app.add_option("--bus", common.bus, "the virtual bus directory (default: $QEVCRDIO_BUS)")->type_name("DIR");
    app.footer(std::string(kSlots) +
               "\n\nSectors are 512 bytes. LBA and N are decimal or hexadecimal with 0x, and must lie inside the "
               "card. A progress bar with bytes, rate and time left is drawn on stderr when it is a terminal. "
               "Ctrl+C stops a run after the block in progress and reports how far it got.\n\n"
               "Exit status: 0 done (compare: equal), 1 differences (compare, write --verify, hash --check), 2 trouble (bad "
               "input, no unit, a failing card or file, a slot in use by another program), 130 stopped by Ctrl+C.\n\n"
               "Example, a master card copied to every other card, each one verified and hashed:\n"
               "  tvqcard read master master.img --sha256\n"
               "  tvqcard write master.img 2 3 4 5 --verify\n"
               "  tvqcard hash all --count $(( ($(stat -c %s master.img) + 511) / 512 ))\n\n"
               "Messages are in Japanese under a Japanese locale (LANG, LC_MESSAGES or LC_ALL ja_JP...).");

    auto *list = app.add_subcommand("list", "shows the unit (model, product name and code, firmware versions, "
                                            "mode) and one row per slot: card, drive parameters, capacity, whether "
                                            "the card differs from the master card, and who else uses the slot");

    ReadArgs ra;
    auto *read = app.add_subcommand("read", "reads a card (the whole card, or --start/--count sectors) into "
                                            "FILE; FILE - writes to stdout");
    read->add_option("SLOT", ra.slot, "the slot to read (or vd)")->required();
    read->add_option("FILE", ra.file, "the image file made (an existing one is overwritten, unless read-only)")->required();
    read->add_option("--start", ra.start, "first sector (default 0)")->type_name("LBA");
    read->add_option("--count", ra.count, "number of sectors (default: to the end of the card)")->type_name("N");
    read->add_flag("--sha256", ra.sha, "prints the SHA-256 of the bytes read, as sha256sum does");

    WriteArgs wa;
    auto *write = app.add_subcommand("write", "writes FILE onto the card of one or more slots, or through the VD "
                                              "onto every card at once; a final partial sector keeps the card's "
                                              "bytes beyond the file's end");
    write->add_option("FILE", wa.file, "the image file written")->required();
    write->add_option("SLOT", wa.slots, "slots to write, in turn (or vd, or all)")->required();
    write->add_option("--start", wa.start, "first sector written (default 0)")->type_name("LBA");
    write->add_flag("--verify", wa.verify, "reads every written sector back (of every card, for the VD) and "
                                           "compares it with FILE");
    write->add_flag("--sha256", wa.sha, "prints the SHA-256 of the bytes written, as sha256sum does");

    CompareArgs ca;
    auto *compare = app.add_subcommand("compare", "compares a card with FILE from --start, byte by byte; prints each "
                                                  "difference with its address, sector and both bytes; exits 0 when "
                                                  "equal and 1 when different, as cmp does");
    compare->add_option("SLOT", ca.slot, "the slot to compare (or vd)")->required();
    compare->add_option("FILE", ca.file, "the image file")->required();
    compare->add_option("--start", ca.start, "card sector where FILE begins (default 0)")->type_name("LBA");
    compare->add_option("--max-diffs", ca.maxDiffs, "stops after N differences; 0 lists them all")
        ->capture_default_str()
        ->type_name("N");

    HashArgs ha;
    auto *hash = app.add_subcommand("hash", "prints the SHA-256 of each card (or of --start/--count sectors), one "
                                            "line per slot in sha256sum's format; with --check, checks them");
    hash->add_option("SLOT", ha.slots, "slots to hash (or vd, or all)");
    hash->add_option("-c,--check", ha.check, "reads 'HASH  SLOT' lines as hash prints them and checks each slot, "
                                             "as sha256sum -c does; exits 1 when one differs")
        ->type_name("FILE");
    hash->add_option("--start", ha.start, "first sector (default 0)")->type_name("LBA");
    hash->add_option("--count", ha.count, "number of sectors (default: to the end of the card)")->type_name("N");

    std::string ejectSlot;
    auto *eject = app.add_subcommand("eject", "takes the card out of its slot");
    eject->add_option("SLOT", ejectSlot, "the slot (vd: the card it mirrors)")->required();

    std::string formatSlot;
    bool yes = false;
    auto *format = app.add_subcommand("format", "writes an empty FAT file system onto the card (every file on it is "
                                                "lost)");
    format->add_option("SLOT", formatSlot, "the slot (vd: every card)")->required();
    format->add_flag("--yes", yes, "confirms that the card's contents may be erased");

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion &e) {
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        std::fprintf(stderr, "tvqcard: %s\nRun 'tvqcard --help' for the commands and their options.\n", e.what());
        return 2;
    }
    if (!common.bus.empty()) ::setenv("QEVCRDIO_BUS", common.bus.c_str(), 1);
    Progress::Enable(!common.quiet);
    InstallStopHandlers();
    try {
        if (list->parsed()) return List();
        if (read->parsed()) return Read(ra);
        if (write->parsed()) return Write(wa);
        if (compare->parsed()) return Compare(ca);
        if (hash->parsed()) return Hash(ha);
        if (eject->parsed()) return Eject(ejectSlot);
        if (format->parsed()) return Format(formatSlot, yes);
    } catch (const ToolError &e) {
        std::fprintf(stderr, "tvqcard: %s\n", e.what());
        // A script reading --json gets an answer on stdout in every case.
        if (common.json) PrintJson({{"command", app.get_subcommands().at(0)->get_name()}, {"result", "refused"},
                                    {"message", e.what()}});
        return e.Status();
    } catch (const std::exception &e) {
        std::fprintf(stderr, "tvqcard: %s\n", e.what());
        return 2;
    }
    return 2;
}
