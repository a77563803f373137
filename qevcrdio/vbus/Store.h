// Loading and changing one device of the bus. Readers take unit.toml (or the
// files of an earlier version) as it is; every change is a read-modify-write
// under the unit's lock that ends in one rename, so concurrent changes never
// lose each other and a reader sees one whole state. Never throws.
#pragma once

#include "Desc.h"
#include "VBus.h"

#include <functional>
#include <string>

namespace vbus {

enum class LoadResult {
    Ok,
    Missing,  // no description at all: no device here
    Bad,      // a description that does not parse; *why names the file and the fault
    Wrong,    // a file of the description is no regular file or cannot be read; *why names it
};

// The device in unitDir. *legacy (if given) tells that it came from the earlier files.
// lenient lets a reader pass over malformed cards or rules (see Leniency).
LoadResult LoadUnitDir(const std::string &unitDir, Unit *unit, std::string *why, bool *legacy = nullptr,
                       const Leniency &lenient = Leniency());

// How long a change waits for a unit that another process is changing.
constexpr int kLockTimeoutMs = 10000;

// Locks the unit, loads it, lets change alter it and writes it back. change
// returns false (with *why) to leave everything as it was. A device of an
// earlier version is written in the current format and its old files are
// moved into legacy/. False with *why when anything fails; nothing is
// changed then. committed (if given) runs once the new description is in
// place, still under the lock; its false (with *why) makes the call fail.
bool ModifyUnit(const std::string &unitDir, const std::string &name,
                const std::function<bool(Unit &, std::string *)> &change, std::string *why,
                int timeoutMs = kLockTimeoutMs, const Leniency &lenient = Leniency(),
                const std::function<bool(std::string *)> &committed = nullptr);

// The hidden name under which a new card's image waits for the description
// that names it: ".part-<base>-<random>" beside the image.
std::string PartName(const std::string &image);

// Cleans up, under the unit's lock, what killed changes of the unit left:
// temporaries in its folders and the hidden folders of a create go; a new
// card's image that its description names already is put in place.
void SweepUnitLeftovers(const std::string &unitDir, const std::string &name, const Unit &unit);

// Takes the card out of the slot: flushes its image, keeps a record of it in
// ejected/ and removes it from the description, all under the unit's lock.
// The image stays where it is. False with *why (the card stays in then).
bool TakeCardOut(const std::string &unitDir, const std::string &name, int slot, std::string *image,
                 std::string *why, int timeoutMs = kLockTimeoutMs);

}  // namespace vbus
