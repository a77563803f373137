// Devices written by earlier versions: unit.ini, slot<N>.ini and faults.ini,
// INI text with "quoted" values and \xNN escapes. They are read here (with no
// limit on the length of a line, so the long paths that once broke them read
// too) and rewritten as unit.toml by the first change made under the unit's lock.
#pragma once

#include "VBus.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vbus {

constexpr const char *kLegacyUnitFile = "unit.ini";
constexpr const char *kLegacyFaultsFile = "faults.ini";

// "slot<N>.ini"
std::string LegacySlotFile(int slot);

// The device in unitDir as the earlier files describe it. False with a reason
// naming the file at fault; *missing tells that there is no unit.ini at all,
// *wrong that a file is no regular file or cannot be read (rather than malformed).
bool LoadLegacyUnit(const std::string &unitDir, Unit *unit, std::string *why, bool *missing, bool *wrong);
// The earlier files present in unitDir (names only).
std::vector<std::string> LegacyFiles(const std::string &unitDir);

// The pieces, for tests and the fuzzer.
bool ParseLegacyUnitDesc(const std::string &text, UnitDesc *unitDesc, std::string *why);
bool ParseLegacyCard(const std::string &text, const std::string &unitDir, Card *card, std::string *why);
bool ParseLegacyFaults(const std::string &text, std::vector<FaultRule> *rules, uint32_t *nextId, std::string *why);
// A value as the earlier versions wrote it: "quoted" with \xNN escapes, or bare.
std::string LegacyUnquote(const std::string &text, bool *ok);

}  // namespace vbus
