#include "Store.h"

#include "Desc.h"
#include "Files.h"
#include "Legacy.h"
#include "Node.h"

#include <algorithm>
#include <sys/stat.h>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <unistd.h>
#include <cstring>
#include <sys/stat.h>

namespace vbus {

LoadResult LoadUnitDir(const std::string &dir, Unit *unit, std::string *why, bool *legacy, const Leniency &lenient)
{
    if (legacy) *legacy = false;
    std::string text, reason;
    std::string path = dir + "/" + kUnitFile;
    ReadResult rr = ReadBusFile(path, &text, &reason, lenient.oversized ? kMaxMendFile : kMaxBusFile);
    if (rr == ReadResult::Ok) {
        Unit u;
        u.name = unit->name;
        if (!ParseUnitFile(text, dir, &u, &reason, lenient)) {
            if (why) *why = "'" + path + "': " + reason;
            return LoadResult::Bad;
        }
        *unit = u;
        return LoadResult::Ok;
    }
    if (rr != ReadResult::Missing) {
        if (why) *why = reason;
        return LoadResult::Wrong;
    }
    bool missing = false, wrong = false;
    if (LoadLegacyUnit(dir, unit, &reason, &missing, &wrong)) {
        if (legacy) *legacy = true;
        return LoadResult::Ok;
    }
    if (why) *why = missing ? "'" + path + "' is missing" : reason;
    return missing ? LoadResult::Missing : wrong ? LoadResult::Wrong : LoadResult::Bad;
}

std::string PartName(const std::string &image)
{
    auto slash = image.rfind('/');
    return image.substr(0, slash + 1) + ".part-" + image.substr(slash + 1) + "-" + RandomWord();
}

void SweepUnitLeftovers(const std::string &dir, const std::string &name, const Unit &unit)
{
    SweepLeftovers(dir, {".tmp-"});
    const std::string cards = dir + "/" + kCardsDir;
    // An insert killed after its description was written: the card's image goes in place.
    auto complete = [&](const std::string &part) {
        const size_t tail = 1 + kRandomWordSize;
        if (part.compare(0, 6, ".part-") != 0 || part.size() <= 6 + tail) return false;
        std::string image = cards + "/" + part.substr(6, part.size() - 6 - tail);
        struct stat st;
        bool named = std::any_of(unit.cards.begin(), unit.cards.end(),
                                 [&](const Card &c) { return c.device.empty() && c.image == image; });
        if (!named || ::lstat(image.c_str(), &st) == 0) return false;
        if (::rename((cards + "/" + part).c_str(), image.c_str()) != 0) return false;
        SyncDir(cards);
        return true;
    };
    SweepLeftovers(cards, {".tmp-", ".part-"}, complete);
    SweepLeftovers(dir + "/" + kEjectedDir, {".tmp-"});
    SweepLeftovers(dir + "/" + kLegacyDir, {".tmp-"});
    auto slash = dir.rfind('/');
    if (slash != std::string::npos) SweepNewUnitFolders(slash == 0 ? "/" : dir.substr(0, slash), name);
}

bool ModifyUnit(const std::string &dir, const std::string &name,
                const std::function<bool(Unit &, std::string *)> &change, std::string *why, int timeoutMs,
                const Leniency &lenient, const std::function<bool(std::string *)> &committed)
{
    UnitLock lock(dir, timeoutMs);
    if (!lock.Locked()) {
        if (why) {
            int e = lock.Error();
            *why = e == EWOULDBLOCK ? "unit '" + name + "' is busy: another command holds its lock"
                   : e == ENOENT    ? "unknown unit '" + name + "'"
                                    : "cannot lock unit '" + name + "': " + std::strerror(e);
        }
        return false;
    }
    Unit u;
    u.name = name;
    bool legacy = false;
    std::string reason;
    LoadResult lr = LoadUnitDir(dir, &u, &reason, &legacy, lenient);
    if (lr != LoadResult::Ok) {
        if (why)
            *why = lr == LoadResult::Missing ? "unknown unit '" + name + "'"
                   : lr == LoadResult::Bad   ? "malformed description of unit '" + name + "': " + reason
                                             : "unit '" + name + "' cannot be read: " + reason;
        return false;
    }
    SweepUnitLeftovers(dir, name, u);
    if (!change(u, why)) return false;
    std::string problem = StorageProblem(u, dir);
    if (!problem.empty()) {
        if (why) *why = "cannot store unit '" + name + "': " + problem + "; nothing was changed";
        return false;
    }
    std::string text = UnitFileText(u, dir);
    // Readers take no larger file: the unit would vanish from the bus.
    if (text.size() > kMaxBusFile) {
        if (why)
            *why = "cannot store unit '" + name + "': its description would be " + std::to_string(text.size()) +
                   " bytes, more than the " + std::to_string(kMaxBusFile) + " a description may hold; nothing was changed";
        return false;
    }
    bool replaced = false;
    if (!WriteFileAtomic(dir + "/" + kUnitFile, text, true, &replaced)) {
        int e = errno;
        if (!replaced) {
            if (why) *why = "cannot write the description of unit '" + name + "': " + std::strerror(e);
            return false;
        }
        // In place, though perhaps not for good: what goes with it goes along.
        std::string after;
        if (committed) committed(&after);
        if (why)
            *why = "the description of unit '" + name + "' was changed but cannot be flushed to disk: " +
                   std::strerror(e) + (after.empty() ? std::string() : "; " + after);
        return false;
    }
    // Migrated (now or by a change that stopped half-way): unit.toml is what
    // counts; the old files are kept aside, not deleted.
    std::vector<std::string> old = LegacyFiles(dir);
    if (!old.empty()) {
        std::string aside = dir + "/" + kLegacyDir;
        ::mkdir(aside.c_str(), 0755);
        for (const auto &f : old) ::rename((dir + "/" + f).c_str(), (aside + "/" + f).c_str());
        SyncDir(aside);
        SyncDir(dir);
    }
    (void)legacy;
    KillPoint("description-written");
    return !committed || committed(why);
}

bool TakeCardOut(const std::string &dir, const std::string &name, int slot, std::string *image, std::string *why,
                 int timeoutMs)
{
    std::string record;
    bool ok = ModifyUnit(
        dir, name,
        [&](Unit &u, std::string *reason) {
            std::string s = std::to_string(slot);
            auto it = std::find_if(u.cards.begin(), u.cards.end(), [slot](const Card &c) { return c.slot == slot; });
            if (slot < 1 || slot >= static_cast<int>(u.unitDesc.targets)) {
                *reason = "slot " + s + " does not exist on unit '" + name + "'";
                return false;
            }
            if (it == u.cards.end()) {
                *reason = "slot " + s + " of unit '" + name + "' is empty";
                return false;
            }
            std::string stays = "; the card stays in slot " + s;
            // What the card reported written is on disk before it leaves the slot.
            std::string flushWhy;
            // A bound device is unbound as it is: its cache flushed at most, nothing written.
            // One without a card has nothing to flush; one whose flush fails keeps its card.
            // An image that does not open reads as absent: nothing of it waits to be flushed.
            bool flushed = it->device.empty()
                               ? FlushImage(it->image, it->inPlace, &flushWhy) != FlushResult::Failed
                               : FlushFile(it->device, &flushWhy);
            if (!flushed && !it->device.empty() && blockdev::Probe(it->device).state != blockdev::Medium::Present)
                flushed = true;
            if (!flushed) {
                *reason = flushWhy + stays;
                return false;
            }
            std::string ejected = dir + "/" + kEjectedDir;
            if (::mkdir(ejected.c_str(), 0755) == 0) SyncDir(dir);
            else if (errno != EEXIST) {
                *reason = "cannot take the card out: cannot create '" + ejected + "': " + std::strerror(errno) + stays;
                return false;
            }
            struct timespec ts;
            clock_gettime(CLOCK_REALTIME, &ts);
            char stamp[64];
            std::snprintf(stamp, sizeof stamp, "%lld%09ld-%d", static_cast<long long>(ts.tv_sec), ts.tv_nsec,
                          static_cast<int>(getpid()));
            std::string path = ejected + "/slot" + s + "-" + stamp + ".toml";
            if (!WriteFileExclusive(path, CardRecordText(*it, dir))) {
                *reason = "cannot take the card out: cannot write its record in '" + ejected +
                          "': " + std::strerror(errno) + stays;
                return false;
            }
            record = path;
            KillPoint("record-written");
            *image = it->device.empty() ? it->image : it->device;
            u.cards.erase(it);
            return true;
        },
        why, timeoutMs);
    // The card is still in: no record of its leaving.
    if (!ok && !record.empty()) ::unlink(record.c_str());
    return ok;
}

}  // namespace vbus
