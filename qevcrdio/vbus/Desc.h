// Description files of the virtual bus: parsing and writing, shared by the
// bus API (which throws) and the library (which must not).
#pragma once

#include "VBus.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace vbus {

constexpr const char *kUnitFile = "unit.ini";
constexpr const char *kFaultsFile = "faults.ini";
constexpr const char *kCountsFile = "fault-counts";
constexpr const char *kCardsDir = "cards";
constexpr const char *kEjectedDir = "ejected";
constexpr const char *kCallsFile = ".calls";
constexpr int kMaxTargets = 16;

// "slot<N>.ini"
std::string SlotFileName(int slot);

// Whole file into *out; false when it cannot be read.
bool ReadTextFile(const std::string &path, std::string *out);
// Writes a temporary file beside path and renames it over path; false with errno on failure.
bool WriteFileAtomic(const std::string &path, const std::string &content);
// Same, but fails (errno EEXIST) when path exists already.
bool WriteFileExclusive(const std::string &path, const std::string &content);

// A number: decimal, or hexadecimal with 0x; false when malformed or above max.
bool ParseNumber(const std::string &text, uint64_t max, uint64_t *value);
// A value as written in a description: "quoted" with \xNN escapes, or bare.
std::string Unquote(const std::string &text, bool *ok);
std::string Quote(const std::string &text);

// Fills the empty fields of a unitDesc with the model's defaults.
void ResolveDefaults(UnitDesc *unitDesc);
// The model's INQUIRY product, e.g. "TVQ-210CF".
const char *ModelProduct(Model m);

// unit.ini. Parse fails (with a reason) on a malformed or incomplete description.
bool ParseUnitDesc(const std::string &text, UnitDesc *unitDesc, std::string *why);
std::string UnitDescText(const UnitDesc &unitDesc);

// slot<N>.ini; relative image paths are taken from unitDir.
bool ParseCard(const std::string &text, const std::string &unitDir, Card *card, std::string *why);
std::string CardText(const Card &card, const std::string &unitDir);

// faults.ini: rules and the next id to give.
bool ParseFaults(const std::string &text, std::vector<FaultRule> *rules, uint32_t *nextId,
                 std::string *why);
std::string FaultsText(const std::vector<FaultRule> &rules, uint32_t nextId);
// One key of a rule ("slot", "op", "count", "lba", "effect"); false when malformed.
bool SetRuleField(FaultRule *r, const std::string &key, const std::string &value);

struct RuleCounts {
    uint64_t hits = 0;
    uint64_t fires = 0;
};
// fault-counts: hits and fires by rule id (a malformed file reads as empty).
std::map<uint32_t, RuleCounts> ParseCounts(const std::string &text);
std::string CountsText(const std::map<uint32_t, RuleCounts> &counts);

// Moves slot<N>.ini of unitDir into ejected/; the image is not touched.
bool MoveCardOut(const std::string &unitDir, int slot);

// Appends one line to the bus's call record.
void AppendCall(const std::string &busDir, const std::string &line);

}  // namespace vbus
