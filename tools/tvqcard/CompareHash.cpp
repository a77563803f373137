// tvqcard compare and hash.
#include "Commands.h"
#include "Messages.h"
#include "Output.h"
#include "Progress.h"

#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sstream>

using json = nlohmann::json;

namespace {

// Lines "HASH  SLOT" as hash prints them: the slots to hash and the sums wanted.
std::vector<std::string> ReadSums(const std::string &path, std::vector<std::string> *sums)
{
    // The list may be compressed, as the images are.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw ToolError(Say(Msg::FileOpen, {path, std::strerror(errno)}));
    std::string why, text;
    std::unique_ptr<imagefile::Reader> list = imagefile::Reader::Open(fd, &why);
    if (!list) throw ToolError(Say(Msg::FileRead, {path, why}));
    for (char buf[65536];;) {
        const ssize_t n = list->Read(reinterpret_cast<uint8_t *>(buf), sizeof buf);
        if (n < 0) throw ToolError(Say(Msg::FileRead, {path, list->Error()}));
        if (n == 0) break;
        text.append(buf, static_cast<size_t>(n));
        if (text.size() > (64u << 20)) throw ToolError(Say(Msg::HashBadLine, {path, "1"}));
    }
    std::istringstream f(text);
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
    if (f.bad()) throw ToolError(Say(Msg::FileRead, {path, std::strerror(errno)}));
    if (slots.empty()) throw ToolError(Say(Msg::HashBadLine, {path, "1"}));
    return slots;
}

bool IsAll(const std::string &word)
{
    return word.size() == 3 && std::tolower(static_cast<unsigned char>(word[0])) == 'a' &&
           std::tolower(static_cast<unsigned char>(word[1])) == 'l' && std::tolower(static_cast<unsigned char>(word[2])) == 'l';
}

// Every card at once, each up to its first difference: checked first as one card is.
int CompareSeveral(Session &s, const CompareArgs &a)
{
    const std::vector<uint32_t> slots = s.Parse(a.slots, true, true);
    for (uint32_t slot : slots)
        if (slot == kVd) throw ToolError(Say(Msg::OneSlotOnly, {"compare vd"}));
    if (a.maxDiffsGiven) throw ToolError(Say(Msg::OneSlotOnly, {"compare --max-diffs"}));
    std::unique_ptr<imagefile::Reader> image = OpenImage(a.file);
    const uint32_t start = a.start.empty() ? 0 : ParseSector(a.start, "--start");
    std::vector<uint64_t> room;
    for (uint32_t slot : slots) {
        uint64_t count = 0;
        CheckRange(s, slot, s.Card(slot), start, std::string(), &count);
        room.push_back(count * kSector);
    }
    s.Reserve(slots);
    return CompareMany(s, slots, room, start, *image, a);
}

}  // namespace

bool ReportHash(json &row, const Outcome &o, const std::string &where, uint32_t start, uint64_t sectors,
                const std::string *want, const std::string &word)
{
    row["start"] = start;
    row["sectors"] = sectors;
    bool mismatch = false;
    if (o.kind == Outcome::Done && want != nullptr) {
        const bool same = o.sha256 == *want;
        row["expected"] = *want;
        row["match"] = same;
        if (!same) {
            mismatch = true;
            row["result"] = KindName(Outcome::Differs);
        }
        if (!common.json) EmitLine(stdout, Say(same ? Msg::HashOk : Msg::HashMismatch, {word}));
    } else if (o.kind == Outcome::Done) {
        if (!common.json) EmitLine(stdout, o.sha256 + "  " + where);
    } else if (o.kind == Outcome::Stopped) {
        Complain(StoppedText(o, sectors * kSector, where, start));
    } else {
        Complain(o.message);
    }
    return mismatch;
}

int Compare(const CompareArgs &a)
{
    Session s;
    if (a.slots.size() > 1 || IsAll(a.slots.at(0))) return CompareSeveral(s, a);
    const uint32_t slot = s.Parse({a.slots.at(0)}, true, false).at(0);
    std::unique_ptr<imagefile::Reader> image = OpenImage(a.file);
    const bool known = image->length().kind == imagefile::Length::Exact;
    uint64_t size = image->length().bytes;
    const SlotRecord r = s.Card(slot);
    const uint32_t start = a.start.empty() ? 0 : ParseSector(a.start, "--start");
    uint64_t count = 0;
    CheckRange(s, slot, r, start, std::string(), &count);
    s.Reserve({slot});
    // An image of unknown length is compared up to the card's end, and what it holds past it counted.
    uint64_t bytes = known ? std::min<uint64_t>(size, count * kSector) : count * kSector;
    uint64_t pastEnd = 0;
    json diffs = json::array();
    uint64_t shown = 0;
    SetProgressLabel(s.Name(slot) + " compare");
    Outcome o = CompareWithFile({s.TargetFor(slot, Op::Read)}, start, *image, bytes, a.file, TransferOptions(false),
                                [&](const Difference &d) {
                                    if (common.json) {
                                        diffs.push_back({{"address", d.address}, {"sector", d.sector},
                                                         {"card", d.card}, {"file", d.file}});
                                    } else {
                                        char line[96];
                                        std::snprintf(line, sizeof line,
                                                      "<Address %08llX (Sector No# = %X)>  Card : %02X  File : %02X\n",
                                                      static_cast<unsigned long long>(d.address), d.sector, d.card,
                                                      d.file);
                                        Emit(stdout, line);
                                    }
                                    ++shown;
                                    // Output that cannot be written stops the run as --max-diffs does.
                                    return !OutputFailed() && (a.maxDiffs == 0 || shown < a.maxDiffs);
                                }, &pastEnd);
    if (!known && (o.kind == Outcome::Done || o.kind == Outcome::Differs) && !(a.maxDiffs != 0 && shown >= a.maxDiffs)) {
        bytes = std::min<uint64_t>(bytes, o.bytes);
        size = bytes + pastEnd;
    }
    EndRun(s, o);
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
        if (cut) Complain(Say(Msg::CompareMore, {std::to_string(shown)}));
        if (cardEnds) Complain(Say(Msg::CompareCardEnds, {s.Name(slot), a.file, std::to_string(size - bytes)}));
        if ((!cut && !cardEnds) || shown > 0) Note(Say(Msg::CompareDiffers, {s.Name(slot), a.file}));
        break;
    case Outcome::Stopped: Complain(StoppedText(o, bytes, s.Name(slot), start)); break;
    case Outcome::Failed: Complain(o.message); break;
    }
    return StatusOf(o);
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
    if (Parallel(slots)) return HashMany(s, slots, counts, start, words, sums);
    json all = json::array();
    Outcome last;
    size_t failed = 0;
    for (size_t i = 0; i < slots.size(); ++i) {
        const uint32_t slot = slots[i];
        SetProgressLabel(s.Name(slot) + " hash");
        Outcome o = HashCard(s.TargetFor(slot, Op::Read), start, counts[i], TransferOptions(true));
        MarkStopped(o);
        json j = OutcomeJson("hash", o);
        j["slot"] = s.Name(slot);
        if (ReportHash(j, o, s.Name(slot), start, counts[i], sums.empty() ? nullptr : &sums[i], words[i])) ++failed;
        all.push_back(j);
        last = o;
        // The first failing card, or output that cannot be written, ends the batch.
        if (StatusOf(o) != 0 || OutputFailed()) break;
    }
    const std::string released = EndRun(s, last);
    if (!released.empty()) Complain(released);
    int status = StatusOf(last);
    if (status == 0 && failed > 0) {
        Complain(Say(Msg::HashFailed, {std::to_string(failed), std::to_string(slots.size())}));
        status = 1;
    }
    if (common.json) {
        json j;
        j["command"] = "hash";
        j["result"] = status == 1 ? KindName(Outcome::Differs) : KindName(last.kind);
        if (!last.message.empty()) j["message"] = last.message;
        j["slots"] = all;
        PrintJson(j);
    }
    return status;
}
