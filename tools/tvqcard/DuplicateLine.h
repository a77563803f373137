// The duplicate station's one line on a terminal: each watched slot's state
// and the totals, in at most columns - 1 characters (the last column would
// wrap on some terminals). Long words first; when they do not fit, the slots'
// labels and short words; then the slots that do not fit are cut off, and
// the totals stay.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct StationSlot {
    std::string name;   // "slot2"
    std::string label;  // "2"
    enum State { Waiting, Writing, Verifying, DoneOk, Failed, Refused, Stopped } state = Waiting;
    int percent = -1;   // writing and verifying
};

std::string StationLine(const std::vector<StationSlot> &slots, uint64_t good, uint64_t failed, unsigned columns);
