// What tvqunit sets on a unit besides its cards, and what the library
// records on the bus: fault rules and how often they fired, the throughput
// limit and call delay, the sync setting, and the record of calls (which
// targets a program holds locked).
#include "BusShared.h"
#include "Files.h"
#include "Store.h"
#include "VBus.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sstream>

namespace vbus {

uint32_t Bus::AddFault(const std::string &name, const FaultRule &ruleIn)
{
    if (ruleIn.lbaLast < ruleIn.lbaFirst) throw Error("empty LBA range");
    uint32_t id = 0;
    ChangeUnit(name, [&](Unit &u) {
        if (ruleIn.slot != kAnySlot && ruleIn.slot != kVdSlot &&
            (ruleIn.slot < 1 || ruleIn.slot >= static_cast<int>(u.unitDesc.targets)))
            throw Error("slot " + std::to_string(ruleIn.slot) + " does not exist on unit '" + name + "'");
        FaultRule r = ruleIn;
        r.id = id = u.nextFaultId++;
        r.hits = r.fires = 0;
        u.faults.push_back(r);
    });
    return id;
}

bool Bus::ClearFault(const std::string &name, uint32_t id)
{
    struct Unchanged {};
    try {
        ChangeUnit(name, [&](Unit &u) {
            auto it = std::remove_if(u.faults.begin(), u.faults.end(), [id](const FaultRule &r) { return r.id == id; });
            if (it == u.faults.end()) throw Unchanged{};
            u.faults.erase(it, u.faults.end());
        });
    } catch (const Unchanged &) {
        return false;
    }
    return true;
}

void Bus::ClearFaults(const std::string &name)
{
    std::string dir = UnitDir(name);
    CheckUnitFolder(dir, name);
    // Also the way to mend a rule list gone bad. The id counter stays, so the
    // counts of old and new rules never mix.
    Leniency mend;
    mend.faults = true;
    mend.oversized = true;  // a rule list grown past what readers take is mended here too
    std::string why;
    auto clear = [](Unit &u, std::string *) {
        u.faults.clear();
        return true;
    };
    if (!ModifyUnit(dir, name, clear, &why, kLockTimeoutMs, mend)) throw Error(why);
}

std::vector<FaultRule> Bus::Faults(const std::string &name) const
{
    Unit u = GetUnit(name);
    std::vector<FaultRule> rules = u.faults;
    std::string text;
    if (ReadBusFile(UnitDir(name) + "/" + kCountsFile, &text) == ReadResult::Ok) {
        auto counts = ParseCounts(text);
        for (auto &r : rules) {
            auto it = counts.find(r.id);
            if (it != counts.end()) {
                r.hits = it->second.hits;
                r.fires = it->second.fires;
            }
        }
    }
    return rules;
}

uint64_t Bus::FireCount(const std::string &name, uint32_t id) const
{
    for (const auto &r : Faults(name))
        if (r.id == id) return r.fires;
    return 0;
}

void Bus::SetThrottle(const std::string &name, uint64_t bytesPerSecond, uint32_t callDelayMs)
{
    if (callDelayMs > 600000) throw Error("call delay above 600000 ms");
    if (bytesPerSecond > static_cast<uint64_t>(INT64_MAX)) throw Error("throughput limit too large");
    ChangeUnit(name, [&](Unit &u) {
        u.unitDesc.throttleBytesPerSecond = bytesPerSecond;
        u.unitDesc.callDelayMs = callDelayMs;
    });
}

void ApplySync(Unit &u, bool always)
{
    // Turning it on: what was written before is on disk from now on too.
    if (always && !u.unitDesc.syncAlways) FlushCards(u.cards, "unit '" + u.name + "' is unchanged");
    u.unitDesc.syncAlways = always;
}

void Bus::SetSync(const std::string &name, bool always)
{
    ChangeUnit(name, [&](Unit &u) { ApplySync(u, always); });
}

std::vector<CallRecord> Bus::Calls() const
{
    std::vector<CallRecord> calls;
    std::string text;
    if (ReadBusFile(dir_ + "/" + kCallsFile, &text) != ReadResult::Ok) return calls;
    std::stringstream ss(text);
    std::string line;
    while (std::getline(ss, line)) {
        std::stringstream ls(line);
        CallRecord c;
        if (!(ls >> c.op)) continue;
        if (c.op != "free") {
            if (!(ls >> c.index)) continue;
            ls >> c.unit >> c.target;
        }
        calls.push_back(c);
    }
    return calls;
}

std::vector<int> Bus::LockedTargets(const std::string &name) const
{
    std::vector<int> locked;
    for (const auto &c : Calls()) {
        if (c.op == "free" || (c.op == "freeex" && c.index == 0xFF)) {
            locked.clear();
        } else if (c.unit == name && c.target >= 0) {
            auto it = std::find(locked.begin(), locked.end(), c.target);
            if (c.op == "lock" && it == locked.end()) locked.push_back(c.target);
            if (c.op == "freeex" && it != locked.end()) locked.erase(it);
        }
    }
    std::sort(locked.begin(), locked.end());
    return locked;
}

void Bus::ClearCalls()
{
    if (!WriteFileAtomic(dir_ + "/" + kCallsFile, std::string(), false))
        throw Error(std::string("cannot clear the call record: ") + std::strerror(errno));
}

}  // namespace vbus
