// tvqcard list: the unit and one row per slot.
#include "Commands.h"
#include "Messages.h"
#include "Output.h"
#include "Sense.h"
#include "Tvq.h"
#include "Units.h"
#include "qevcrdio.h"
#include "tvq2xx.h"

#include <cstdio>
#include <cstring>
#include <sstream>

using json = nlohmann::json;

namespace {

std::string Hex8(uint64_t v)
{
    char buf[24];
    std::snprintf(buf, sizeof buf, "%08llX", static_cast<unsigned long long>(v));
    return buf;
}

std::string Version(int32_t v)
{
    if (v == -1) return "?.??";
    char buf[16];
    std::snprintf(buf, sizeof buf, "%u.%u%u", (uint32_t(v) >> 16) & 0xF, (uint32_t(v) >> 8) & 0xF, uint32_t(v) & 0xF);
    return buf;
}

std::string Trim(const char *p, size_t n)
{
    std::string s(p, n);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
    return s;
}

// "64.0MB" as the program's drive list writes a capacity.
std::string Capacity(uint64_t bytes)
{
    char buf[32];
    const double b = static_cast<double>(bytes);
    if (b >= 1073741824.0) std::snprintf(buf, sizeof buf, "%3.1fGB", b / 1073741824.0);
    else if (b >= 1048576.0) std::snprintf(buf, sizeof buf, "%3.1fMB", b / 1048576.0);
    else if (b >= 1024.0) std::snprintf(buf, sizeof buf, "%3.1fKB", b / 1024.0);
    else buf[0] = '\0';
    return buf;
}

}  // namespace

int List()
{
    Session s;
    const uint32_t mirrored = s.Mirrored();
    const SlotRecord master = s.Record(1);
    const bool trueIde = TrueIdeMode != 0;
    json j;
    j["model"] = s.Model();
    j["productName"] = Trim(UnitInfo.ProductName, sizeof UnitInfo.ProductName);
    j["productCode"] = Hex8(UnitInfo.ProductCode);
    j["bios"] = Version(UnitInfo.BiosVersion());
    j["cardIf"] = Version(UnitInfo.CardIfVersion());
    j["mode"] = trueIde ? "TrueIDE" : "PC Card ATA";
    j["vd"] = VdAtEnd != 0 ? "last" : "first";
    j["vdMirrors"] = mirrored != 0 ? json(s.Name(mirrored)) : json(nullptr);
    j["slots"] = json::array();
    // The library names its backend in every record it fills.
    const bool realUnit = s.Record(kVd).Reserved[QEV_BACKEND_BYTE] == QEV_BACKEND_SG;
    j["backend"] = realUnit ? "sg" : "bus";
    // The USB bridge's name, which the library cannot hand over: asked of udev as the library asks.
    std::string bridge;
    if (realUnit)
        for (const sg::UnitNodes &g : sg::GroupUnits(sg::ActivePort().List())) {
            sg::Target t(sg::ActivePort(), g.luns.front());
            uint8_t inq[36] = {};
            if (t.Inquiry(inq, sizeof inq) == 0 && sg::InquiryNamesUnit(inq)) {
                bridge = g.bridge;
                break;
            }
        }
    if (realUnit) j["bridge"] = bridge;
    std::string defaulted;

    std::ostringstream text;
    text << s.Model() << "  \"" << j["productName"].get<std::string>() << "\"  product code " << Hex8(UnitInfo.ProductCode)
         << "\nfirmware: BIOS " << j["bios"].get<std::string>() << ", card I/F " << j["cardIf"].get<std::string>() << "; "
         << (trueIde ? "TrueIDE" : "PC Card ATA") << " mode; VD " << (VdAtEnd != 0 ? "last" : "first")
         << (mirrored != 0 ? ", mirrors " + s.Name(mirrored) : std::string(", no card")) << "\n"
         << "backend: "
         << (realUnit ? "sg (the unit itself, through SCSI generic), USB bridge \"" + bridge + "\""
                      : std::string("bus (a virtual unit)"))
         << "\n";
    char line[512];
    std::snprintf(line, sizeof line, "%-5s %-4s %8s %10s %8s %5s %5s %5s %6s %5s  %-8s %s\n", "slot", "card", "capacity",
                  "sectors", "cylinder", "head", "s/t", "b/s", trueIde ? "mode" : "speed", trueIde ? "IORDY" : "-WAIT",
                  "master", "in use by");
    text << line;
    std::string problems;
    for (uint32_t slot = 0; slot <= s.Slots(); ++slot) {
        const SlotRecord r = s.Record(slot);
        const int32_t problem = s.Problem(slot);
        const int32_t holderPid = TargetHolder(s.TargetOf(slot));
        const std::string holder = s.Holder(slot);
        const bool present = r.CardPresent != 0;
        const uint64_t bytes = uint64_t(r.TotalSectors) * r.SectorSize;
        // The master's own row and the VD are not compared; an empty master compares with nothing.
        std::string vsMaster = "-";
        bool differs = false;
        if (present && slot > 1 && master.CardPresent != 0) {
            differs = std::memcmp(&r, &master, kDriveParamBytes) != 0;
            vsMaster = differs ? "DIFFERS" : "same";
        } else if (slot == 1 && present) {
            vsMaster = "master";
        }
        json e;
        e["slot"] = s.Label(slot);
        e["name"] = s.Name(slot);
        e["target"] = s.TargetOf(slot);
        // A slot whose card cannot be reached is not "no card": it says why.
        e["card"] = present ? json(true) : problem != 0 ? json(nullptr) : json(false);
        if (problem != 0) {
            e["problem"] = Cause(problem);
            e["sense"] = SenseText(problem).empty() ? json(nullptr) : json(SenseText(problem));
            problems += "tvqcard: " + Say(Msg::CardProblem, {s.Name(slot), Cause(problem)}) + "\n";
        }
        if (present) {
            e["cylinders"] = r.Cylinders;
            e["heads"] = r.Heads;
            e["totalSectors"] = r.TotalSectors;
            e["sectorsPerTrack"] = r.SectorsPerTrack;
            e["sectorSize"] = r.SectorSize;
            e["waitCheck"] = r.WaitCheck != 0;
            e["accessTiming"] = r.AccessTiming;
            e["capacityBytes"] = bytes;
            e["usable"] = r.SectorSize == 512 && r.Heads != 0;
            const bool byDefault = (r.Reserved[QEV_PARAMS_BYTE] & QEV_PARAMS_DEFAULTED) != 0;
            e["paramsFrom"] = byDefault ? "defaults" : realUnit ? "identify" : "description";
            if (byDefault) defaulted += (defaulted.empty() ? "" : ", ") + s.Label(slot);
        }
        if (slot > 1) e["differsFromMaster"] = differs;
        e["inUseBy"] = holder.empty() ? json(nullptr) : json(holder);
        e["inUseByPid"] = holder.empty() || holderPid <= 0 ? json(nullptr) : json(holderPid);
        if (slot == kVd) j["vdTarget"] = e;
        else j["slots"].push_back(e);

        char timing[16];
        if (trueIde) std::snprintf(timing, sizeof timing, "PIO-%u", r.AccessTiming & 7);
        else std::snprintf(timing, sizeof timing, "%uns", r.AccessTiming);
        if (present)
            std::snprintf(line, sizeof line, "%-5s %-4s %8s %10u %8u %5u %5u %5u %6s %5s  %-8s %s\n", s.Label(slot).c_str(),
                          "yes", Capacity(bytes).c_str(), r.TotalSectors, r.Cylinders, r.Heads, r.SectorsPerTrack,
                          r.SectorSize, timing, r.WaitCheck != 0 ? "YES" : "NO", vsMaster.c_str(), holder.c_str());
        else
            std::snprintf(line, sizeof line, "%-5s %-4s %8s %10s %8s %5s %5s %5s %6s %5s  %-8s %s\n", s.Label(slot).c_str(),
                          problem != 0 ? "?" : "no", "", "", "", "", "", "", "", "", "-",
                          problem != 0 ? Cause(problem).c_str() : holder.c_str());
        std::string row(line);
        while (row.size() > 1 && row[row.size() - 2] == ' ') row.erase(row.size() - 2, 1);
        text << row;
    }
    if (!defaulted.empty())
        text << "drive parameters of " << defaulted
             << ": the defaults for the card's size (the unit's bridge refused ATA IDENTIFY DEVICE)\n";
    Outcome o;
    EndRun(s, o);
    if (common.json) {
        if (o.kind != Outcome::Done) j["message"] = o.message;
        PrintJson(j);
    } else {
        Emit(stdout, text.str());
    }
    if (!problems.empty()) std::fputs(problems.c_str(), stderr);
    if (o.kind != Outcome::Done) Complain(o.message);
    return StatusOf(o);
}
