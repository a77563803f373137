#include "Session.h"

#include "Messages.h"
#include "Sense.h"
#include "scsiio.h"
#include "tvq2xx.h"

#include <cstring>
#include <fstream>

namespace {

bool Usable(const SlotRecord &r)
{
    return r.CardPresent != 0 && r.SectorSize == 512 && r.Heads != 0;
}

std::string VersionText(int32_t v)
{
    if (v == -1) return "?.??";
    char buf[16];
    std::snprintf(buf, sizeof buf, "%u.%u%u", (uint32_t(v) >> 16) & 0xF, (uint32_t(v) >> 8) & 0xF, uint32_t(v) & 0xF);
    return buf;
}

std::string Lower(std::string s)
{
    for (char &c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

}  // namespace

uint32_t ParseSector(const std::string &text, const std::string &what)
{
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    if (digits.empty() || digits.size() > 10) throw ToolError(Say(Msg::BadNumber, {what, text}));
    uint64_t v = 0;
    for (char c : digits) {
        int d;
        if (c >= '0' && c <= '9') d = c - '0';
        else if (hex && c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else if (hex && c >= 'A' && c <= 'F') d = c - 'A' + 10;
        else throw ToolError(Say(Msg::BadNumber, {what, text}));
        v = v * (hex ? 16 : 10) + static_cast<uint64_t>(d);
    }
    if (v > 0xFFFFFFFFull) throw ToolError(Say(Msg::BadNumber, {what, text}));
    return static_cast<uint32_t>(v);
}

std::string ProcessName(int pid)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(f, name);
    return name;
}

Session::Session()
{
    std::string why;
    if (!LoadScsiLibrary(&why)) throw ToolError(Say(Msg::LibraryMissing, {why}));
    if (!ScsiGetVersion()) throw ToolError(Say(Msg::LibraryUnusable));
    std::memset(SlotTable, 0, sizeof SlotTable);
    // Targets are reserved per command (Reserve), so that two runs on different slots can share the unit.
    DeviceCount = ScanUnit(SlotTable, false);
    if (DeviceCount == 0) throw ToolError(Say(Msg::NoUnit));
    ModelKind = ScanModel();
    const bool read = ReadFirmwareInfo(UnitInfo);
    const int32_t check = CheckUnit(read, UnitInfo);
    if (check == UnitCheckMode) throw ToolError(Say(Msg::ModeRefused));
    if (check != UnitCheckOk)
        throw ToolError(Say(Msg::FirmwareRefused,
                            {VersionText(UnitInfo.BiosVersion()), VersionText(UnitInfo.CardIfVersion())}));
}

Session::~Session()
{
    // A run that ends early (a refusal, an exception) lets go here; one that ends normally used Release.
    if (!released_) FreeDevices();
}

std::string Session::Release()
{
    released_ = true;
    if (FreeDevices()) return "";
    return Say(Msg::ReleaseFailed);
}

std::string Session::Model() const
{
    return ModelKind == ModelTvq206 ? "TVQ-206" : "TVQ-210CF";
}

uint32_t Session::Slots() const
{
    return DeviceCount > 0 ? DeviceCount - 1 : 0;
}

uint32_t Session::TargetOf(uint32_t slot) const
{
    return SlotEntryOf(slot);
}

std::string Session::Label(uint32_t slot) const
{
    if (slot == kVd) return "VD";
    if (ModelKind == ModelTvq206) return slot == 1 ? "M" : std::to_string(slot - 1);
    return std::to_string(slot);
}

std::string Session::Name(uint32_t slot) const
{
    if (slot == kVd) return "vd";
    if (ModelKind == ModelTvq206 && slot == 1) return "master";
    return "slot" + Label(slot);
}

std::vector<uint32_t> Session::Parse(const std::vector<std::string> &words, bool allowVd, bool allowAll)
{
    std::string labels;
    for (uint32_t s = 1; s <= Slots(); ++s) labels += (s > 1 ? "," : "") + Label(s);
    std::vector<uint32_t> out;
    auto add = [&](uint32_t s, const std::string &word) {
        for (uint32_t have : out)
            if (have == s) throw ToolError(Say(Msg::SlotListed, {word}));
        out.push_back(s);
    };
    for (const std::string &word : words) {
        std::string w = Lower(word);
        if (w == "vd" && allowVd) {
            add(kVd, word);
            continue;
        }
        if (w == "all" && allowAll) {
            bool any = false;
            for (uint32_t s = 1; s <= Slots(); ++s) {
                // A slot that cannot be read is taken too, so that the run says why instead of passing it by.
                if (Record(s).CardPresent == 0 && Problem(s) == 0) continue;
                any = true;
                bool listed = false;
                for (uint32_t have : out) listed |= have == s;
                if (!listed) out.push_back(s);
            }
            if (!any) throw ToolError(Say(Msg::NoCards));
            continue;
        }
        if (w.compare(0, 4, "slot") == 0 && w.size() > 4) w = w.substr(4);
        uint32_t slot = 0;
        if (w == "m" || w == "master") {
            slot = 1;
        } else if (!w.empty() && w.size() <= 2 && w.find_first_not_of("0123456789") == std::string::npos) {
            const uint32_t n = static_cast<uint32_t>(std::stoul(w));
            slot = ModelKind == ModelTvq206 ? (n >= 1 ? n + 1 : 0) : n;
        }
        if (slot == 0 || slot > Slots())
            throw ToolError(Say(Msg::UnknownSlot, {word, Model(), labels}));
        add(slot, word);
    }
    return out;
}

const SlotRecord &Session::Record(uint32_t slot)
{
    const uint32_t target = TargetOf(slot);
    SlotRecord &r = SlotTable[target];
    problems_[target] = 0;
    if (!ReadDriveInfo(target, r)) {
        ClearDriveParams(r);
        problems_[target] = LastDeviceResult();
    }
    return r;
}

int32_t Session::Problem(uint32_t slot) const
{
    return problems_[TargetOf(slot)];
}

Target Session::TargetFor(uint32_t slot, Op op)
{
    Target t{TargetOf(slot), Name(slot), {}};
    if (slot != kVd) return t;
    if (op == Op::Read) {
        const uint32_t m = Mirrored();
        if (m != 0) t.cards.push_back({m, TargetOf(m), Name(m)});
        return t;
    }
    for (uint32_t c = 1; c <= Slots(); ++c)
        if (Record(c).CardPresent != 0) t.cards.push_back({c, TargetOf(c), Name(c)});
    return t;
}

uint32_t Session::Mirrored()
{
    if (!ReadSlotStatus(SlotStatusBlock) || SlotStatusBlock.CardMask == 0) return 0;
    return SlotStatusBlock.VdTarget + 1;
}

const SlotRecord &Session::Card(uint32_t slot)
{
    const SlotRecord &r = Record(slot);
    // "No card" only when the library says so: a card that cannot be reached says why.
    if (r.CardPresent == 0 && Problem(slot) != 0)
        throw ToolError(Say(Msg::CardProblem, {Name(slot), Cause(Problem(slot))}));
    if (r.CardPresent == 0) throw ToolError(Say(Msg::NoCard, {Name(slot)}));
    if (!Usable(r))
        throw ToolError(Say(Msg::CardUnusable, {Name(slot), std::to_string(r.SectorSize), std::to_string(r.Heads)}));
    return r;
}

std::string Session::Holder(uint32_t slot)
{
    const int32_t pid = TargetHolder(TargetOf(slot));
    if (pid <= 0) return "";
    const std::string name = ProcessName(pid);
    return (name.empty() ? "?" : name) + " (" + std::to_string(pid) + ")";
}

void Session::Reserve(const std::vector<uint32_t> &slots)
{
    std::vector<uint32_t> all;
    for (uint32_t s : slots) {
        all.push_back(s);
        // The VD reaches every card: a run on it needs them all.
        if (s == kVd)
            for (uint32_t t = 1; t <= Slots(); ++t) all.push_back(t);
    }
    for (uint32_t s : all) {
        int32_t pid = 0;
        switch (LockTarget(TargetOf(s), &pid)) {
        case LockResult::Locked: break;
        case LockResult::HeldElsewhere: {
            const std::string name = pid > 0 ? ProcessName(pid) : std::string();
            if (pid <= 0) throw ToolError(Say(Msg::HeldByUnknown, {Name(s)}));
            ToolError e(Say(Msg::HeldBy, {Name(s), name.empty() ? "?" : name, std::to_string(pid)}));
            e.holderPid = pid;
            e.holderName = name;
            throw e;
        }
        case LockResult::Failed: {
            const int32_t code = LastDeviceResult();
            if (code == 0 || code == -1) throw ToolError(Say(Msg::LockFailed, {Name(s)}));
            throw ToolError(Say(Msg::LockFailed, {Name(s)}) + ": " + Cause(code));
        }
        }
    }
}

void Session::CheckVdWrite()
{
    const SlotRecord vd = Record(kVd);
    if (vd.CardPresent == 0) throw ToolError(Say(Msg::VdNoCard));
    std::string differing;
    for (uint32_t s = 1; s <= Slots(); ++s) {
        const SlotRecord &r = Record(s);
        if (r.CardPresent == 0) continue;
        if (std::memcmp(&r, &vd, kDriveParamBytes) != 0) differing += (differing.empty() ? "" : ", ") + Name(s);
    }
    if (!differing.empty()) throw ToolError(Say(Msg::VdDiffers, {differing}));
    Card(kVd);
}
