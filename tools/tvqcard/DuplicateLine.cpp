#include "DuplicateLine.h"

namespace {

std::string Percent(int p, bool shortForm)
{
    if (p < 0) return "";
    return " " + std::to_string(p > 100 ? 100 : p) + (shortForm ? "%" : " %");
}

std::string Word(const StationSlot &s, bool shortForm)
{
    switch (s.state) {
    case StationSlot::Writing: return (shortForm ? "w" : "writing") + Percent(s.percent, shortForm);
    case StationSlot::Verifying: return (shortForm ? "v" : "verifying") + Percent(s.percent, shortForm);
    case StationSlot::DoneOk: return shortForm ? "OK" : "done OK";
    case StationSlot::Failed: return "FAILED";
    case StationSlot::Refused: return "refused";
    case StationSlot::Stopped: return "stopped";
    case StationSlot::Waiting: break;
    }
    return shortForm ? "wait" : "waiting";
}

}  // namespace

std::string StationLine(const std::vector<StationSlot> &slots, uint64_t good, uint64_t failed, unsigned columns)
{
    const size_t room = columns > 1 ? columns - 1 : 1;
    const std::string totals = "| " + std::to_string(good) + " good, " + std::to_string(failed) + " failed";
    std::vector<std::string> parts[2];
    for (const StationSlot &s : slots) {
        parts[0].push_back(s.name + ": " + Word(s, false) + "  ");
        parts[1].push_back(s.label + ":" + Word(s, true) + " ");
    }
    for (const auto &form : parts) {
        std::string line;
        for (const std::string &p : form) line += p;
        if (line.size() + totals.size() <= room) return line + totals;
    }
    // The slots that fit, in the short words, and the totals.
    if (totals.size() + 4 > room) return totals.substr(0, room);
    std::string line;
    for (const std::string &p : parts[1]) {
        if (line.size() + p.size() + 4 + totals.size() > room) break;
        line += p;
    }
    return line + "... " + totals;
}
