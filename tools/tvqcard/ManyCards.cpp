// tvqcard write, compare and hash on several slots: every card at once, then a table.
#include "Commands.h"
#include "Messages.h"
#include "Output.h"
#include "Parallel.h"
#include "Progress.h"

#include <cstdio>

using json = nlohmann::json;

namespace {

double Rate(const Outcome &o)
{
    return o.seconds > 0 ? static_cast<double>(o.bytes) / 1e6 / o.seconds : 0;
}

// One row per card on stderr (unless --quiet): slot, result, bytes, seconds, MB/s, SHA-256.
void Table(const std::vector<CardWork> &cards, const std::vector<Outcome> &outs, bool sha)
{
    if (common.quiet) return;
    std::fprintf(stderr, "%-8s %-9s %12s %8s %7s%s\n", "SLOT", "RESULT", "BYTES", "SECONDS", "MB/s",
                 sha ? "  SHA-256" : "");
    for (size_t i = 0; i < cards.size(); ++i) {
        const Outcome &o = outs[i];
        std::fprintf(stderr, "%-8s %-9s %12llu %8.2f %7.1f%s%s\n", cards[i].target.name.c_str(), KindName(o.kind),
                     static_cast<unsigned long long>(o.bytes), o.seconds, Rate(o), sha ? "  " : "",
                     sha ? (o.sha256.empty() ? "-" : o.sha256.c_str()) : "");
    }
}

// The run's status: 2 when some card had trouble, else 1 when some differs, 130 when stopped.
Outcome::Kind Worst(const std::vector<Outcome> &outs)
{
    Outcome::Kind k = Outcome::Done;
    for (const Outcome &o : outs) {
        if (o.kind == Outcome::Failed) return Outcome::Failed;
        if (o.kind == Outcome::Stopped) k = Outcome::Stopped;
        else if (o.kind == Outcome::Differs && k == Outcome::Done) k = Outcome::Differs;
    }
    return k;
}

json CardJson(const std::string &command, const CardWork &c, const Outcome &o)
{
    json j = OutcomeJson(command, o);
    j["slot"] = c.target.name;
    j["mbPerSecond"] = Rate(o);
    return j;
}

}  // namespace

bool Parallel(const std::vector<uint32_t> &slots)
{
    if (slots.size() < 2) return false;
    for (uint32_t s : slots)
        if (s == kVd) return false;
    return true;
}

int WriteMany(Session &s, const std::vector<uint32_t> &slots, const std::vector<uint64_t> &room, uint32_t start,
              imagefile::Reader &image, const WriteArgs &a)
{
    std::vector<CardWork> cards;
    for (size_t i = 0; i < slots.size(); ++i) cards.push_back({s.TargetFor(slots[i], Op::Write), room[i]});
    uint64_t size = 0;
    std::string sha;
    std::vector<Outcome> outs =
        WriteCards(cards, start, image, a.file, a.verify, a.sha, common.retries, &size, &sha);
    for (size_t i = 0; i < outs.size(); ++i) {
        MarkStopped(outs[i]);
        if (outs[i].kind == Outcome::Stopped) Complain(StoppedText(outs[i], size ? size : room[i], cards[i].target.name, start));
        else if (!outs[i].message.empty()) Complain(outs[i].message);
    }
    Outcome end;
    end.kind = Worst(outs);
    const std::string released = EndRun(s, end);
    if (!released.empty()) {
        Complain(released);
        for (Outcome &o : outs)
            if (o.kind == Outcome::Done) {
                o.kind = Outcome::Failed;
                o.message = released;
            }
    }
    Table(cards, outs, a.sha);
    if (common.json) {
        json j;
        j["command"] = "write";
        j["file"] = a.file;
        j["bytes"] = size != 0 ? json(size) : json(nullptr);
        j["start"] = start;
        if (!sha.empty()) j["sha256"] = sha;
        json rows = json::array();
        for (size_t i = 0; i < cards.size(); ++i) rows.push_back(CardJson("write", cards[i], outs[i]));
        j["slots"] = rows;
        j["result"] = KindName(end.kind);
        PrintJson(j);
    } else if (a.sha && !sha.empty() && end.kind == Outcome::Done) {
        Emit(stdout, sha + "  " + a.file + "\n");
    }
    return StatusOf(end);
}

int HashMany(Session &s, const std::vector<uint32_t> &slots, const std::vector<uint64_t> &counts, uint32_t start,
             const std::vector<std::string> &words, const std::vector<std::string> &sums)
{
    std::vector<CardWork> cards;
    for (size_t i = 0; i < slots.size(); ++i) cards.push_back({s.TargetFor(slots[i], Op::Read), counts[i] * kSector});
    std::vector<Outcome> outs = HashCards(cards, start, common.retries);
    size_t failed = 0;
    json rows = json::array();
    for (size_t i = 0; i < outs.size(); ++i) {
        Outcome &o = outs[i];
        MarkStopped(o);
        json j = CardJson("hash", cards[i], o);
        if (ReportHash(j, o, s.Name(slots[i]), start, counts[i], sums.empty() ? nullptr : &sums[i], words[i])) {
            ++failed;
            o.kind = Outcome::Differs;
        }
        rows.push_back(j);
    }
    Outcome end;
    end.kind = Worst(outs);
    const std::string released = EndRun(s, end);
    if (!released.empty()) Complain(released);
    Table(cards, outs, true);
    if (failed > 0 && end.kind == Outcome::Differs)
        Complain(Say(Msg::HashFailed, {std::to_string(failed), std::to_string(slots.size())}));
    if (common.json) {
        json j;
        j["command"] = "hash";
        j["result"] = KindName(end.kind);
        if (!end.message.empty()) j["message"] = end.message;
        j["slots"] = rows;
        PrintJson(j);
    }
    return StatusOf(end);
}

int CompareMany(Session &s, const std::vector<uint32_t> &slots, const std::vector<uint64_t> &room, uint32_t start,
                imagefile::Reader &image, const CompareArgs &a)
{
    std::vector<CardWork> cards;
    for (size_t i = 0; i < slots.size(); ++i) cards.push_back({s.TargetFor(slots[i], Op::Read), room[i]});
    std::vector<Difference> first;
    std::string sourceError;
    std::vector<Outcome> outs = CompareCards(cards, start, image, a.file, common.retries, &first, &sourceError);
    json rows = json::array();
    for (size_t i = 0; i < outs.size(); ++i) {
        Outcome &o = outs[i];
        MarkStopped(o);
        const std::string &where = cards[i].target.name;
        json j = CardJson("compare", cards[i], o);
        if (o.differences > 0) {
            const Difference &d = first[i];
            j["firstDifference"] = {{"address", d.address}, {"sector", d.sector}, {"card", d.card}, {"file", d.file}};
            if (!common.json) {
                char line[128];
                std::snprintf(line, sizeof line, "%s: <Address %08llX (Sector No# = %X)>  Card : %02X  File : %02X\n",
                              where.c_str(), static_cast<unsigned long long>(d.address), d.sector, d.card, d.file);
                Emit(stdout, line);
            }
        }
        if (o.kind == Outcome::Stopped) Complain(StoppedText(o, room[i], where, start));
        else if (o.kind == Outcome::Failed) Complain(o.message);
        else if (o.kind == Outcome::Differs) Note(Say(Msg::CompareDiffers, {where, a.file}));
        rows.push_back(j);
    }
    Outcome end;
    end.kind = Worst(outs);
    if (!sourceError.empty()) {
        Complain(sourceError);
        end.kind = Outcome::Failed;
        end.message = sourceError;
    }
    const std::string released = EndRun(s, end);
    if (!released.empty()) Complain(released);
    Table(cards, outs, false);
    if (common.json) {
        json j;
        j["command"] = "compare";
        j["file"] = a.file;
        j["start"] = start;
        j["result"] = KindName(end.kind);
        if (!end.message.empty()) j["message"] = end.message;
        j["slots"] = rows;
        PrintJson(j);
    }
    return StatusOf(end);
}
