// Description files of the virtual bus: parsing and writing, shared by the
// bus API (which throws) and the library (which must not).
//
// A device is one TOML file, unit.toml: identity, firmware fields, throttle,
// the card of every occupied slot and the fault rules, so one rename changes
// all of it at once and a reader always gets one consistent state. Any text of
// any length and any UTF-8 content is stored exactly; text that is not UTF-8
// cannot be stored and is refused before anything is written.
//
// Devices written by earlier versions (unit.ini, slot<N>.ini, faults.ini) are
// read as they are (Legacy.h) and rewritten in this format by the first change.
#pragma once

#include "VBus.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace vbus {

constexpr const char *kUnitFile = "unit.toml";
constexpr const char *kCountsFile = "fault-counts";
constexpr const char *kCountsLockFile = "fault-counts.lock";  // held while a hit is counted
constexpr const char *kCardsDir = "cards";
constexpr const char *kEjectedDir = "ejected";
constexpr const char *kLegacyDir = "legacy";
constexpr const char *kCallsFile = ".calls";
constexpr int kMaxTargets = 16;
constexpr int kFormatVersion = 2;
// The largest unit.toml a mending change reads (a reader takes 1 MiB at most).
constexpr size_t kMaxMendFile = 64u << 20;

// ASCII lower case, and the text without blanks at either end: keys and
// values of the descriptions are compared this way.
std::string Lower(std::string s);
std::string Trim(const std::string &s);

// A number: decimal, or hexadecimal with 0x; false when malformed or above max.
bool ParseNumber(const std::string &text, uint64_t max, uint64_t *value);

// True when text is well-formed UTF-8.
bool IsUtf8(const std::string &text);
// A TOML basic string holding text exactly (text must be UTF-8).
std::string TomlString(const std::string &text);

// Fills the empty fields of a unitDesc with the model's defaults.
void ResolveDefaults(UnitDesc *unitDesc);
// The model's INQUIRY product, e.g. "TVQ-210CF".
const char *ModelProduct(Model m);

// Why the unit cannot be stored in unitDir as it is ("" when it can): a text
// that is not UTF-8 (a path as it would be written: inside unitDir relative
// to it), a text longer than its place, a slot the device does not have...
std::string StorageProblem(const Unit &unit, const std::string &unitDir = std::string());
// The image path of a card as unit.toml holds it: relative inside unitDir.
std::string StoredImagePath(const std::string &image, const std::string &unitDir);

// What a reader may pass over in unit.toml instead of failing: a malformed
// [slot.N] table (that slot reads as empty) or a malformed [faults] part (no
// rules). Each one passed over is told in problems.
struct Leniency {
    bool cards = false;
    bool faults = false;
    // A unit.toml above the size readers take (up to kMaxMendFile), so that a change can shrink it.
    bool oversized = false;
    std::vector<std::string> *problems = nullptr;
};

// unit.toml. Parse fails (with a reason) on a malformed or incomplete description;
// relative image paths are taken from unitDir.
bool ParseUnitFile(const std::string &text, const std::string &unitDir, Unit *unit, std::string *why,
                   const Leniency &lenient = Leniency());
// The text of unit.toml; images inside unitDir are written relative to it.
std::string UnitFileText(const Unit &unit, const std::string &unitDir);
// The record of one card taken out (ejected/), in the same words as its slot table.
std::string CardRecordText(const Card &card, const std::string &unitDir);

// One key of a rule ("slot", "op", "count", "lba", "effect"); false when malformed.
bool SetRuleField(FaultRule *r, const std::string &key, const std::string &value);

struct RuleCounts {
    uint64_t hits = 0;
    uint64_t fires = 0;
};
// fault-counts: hits and fires by rule id (a malformed file reads as empty).
std::map<uint32_t, RuleCounts> ParseCounts(const std::string &text);
std::string CountsText(const std::map<uint32_t, RuleCounts> &counts);

// Appends one line to the bus's call record.
void AppendCall(const std::string &busDir, const std::string &line);

}  // namespace vbus
