// The words of the bus (model and operation names) and the defaults a unit
// or card takes where its description says nothing: drive parameters from a
// card's size, the bus folder from the environment.
#include "Desc.h"
#include "Files.h"
#include "VBus.h"

#include <algorithm>
#include <cstdlib>
#include <sstream>

namespace vbus {

const char *ModelName(Model m)
{
    switch (m) {
    case Model::Tvq210: return "TVQ-210CF";
    case Model::Tvq206: return "TVQ-206";
    case Model::Foreign: break;
    }
    return "other";
}

bool ParseModel(const std::string &text, Model *m)
{
    std::string t = Lower(text);
    if (t == "tvq-210cf" || t == "tvq210" || t == "210") *m = Model::Tvq210;
    else if (t == "tvq-206" || t == "tvq206" || t == "206") *m = Model::Tvq206;
    else if (t == "other" || t == "foreign") *m = Model::Foreign;
    else return false;
    return true;
}

uint32_t ModelTargets(Model m)
{
    switch (m) {
    case Model::Tvq210: return 11;
    case Model::Tvq206: return 7;
    case Model::Foreign: break;
    }
    return 0;
}

namespace {
const char *const kOpNames[] = {"inquiry", "readbuffer", "slotstatus", "driveinfo", "read",
                                "write",   "eject",      "format",     "scan",      "lock"};
}

bool ParseOps(const std::string &text, uint32_t *ops)
{
    uint32_t m = 0;
    std::stringstream ss(Lower(text));
    std::string w;
    bool any = false;
    while (std::getline(ss, w, ',')) {
        if (w == "all") {
            m |= OpAll;
            any = true;
            continue;
        }
        bool found = false;
        for (unsigned i = 0; i < sizeof kOpNames / sizeof kOpNames[0]; ++i) {
            if (w == kOpNames[i]) {
                m |= 1u << i;
                found = true;
            }
        }
        if (!found) return false;
        any = true;
    }
    if (!any) return false;
    *ops = m;
    return true;
}

std::string OpNames(uint32_t ops)
{
    if ((ops & OpAll) == OpAll) return "all";
    std::string t;
    for (unsigned i = 0; i < sizeof kOpNames / sizeof kOpNames[0]; ++i) {
        if (ops & (1u << i)) {
            if (!t.empty()) t += ",";
            t += kOpNames[i];
        }
    }
    return t.empty() ? "none" : t;
}

DriveParams DefaultDriveParams(uint64_t bytes, uint32_t sectorSize)
{
    if (sectorSize == 0 || sectorSize == 512) return DefaultDriveParams(bytes);
    DriveParams p = DefaultDriveParams(bytes / sectorSize * 512);
    p.sectorSize = sectorSize;
    return p;
}

DriveParams DefaultDriveParams(uint64_t bytes)
{
    DriveParams p;
    uint64_t total = std::min<uint64_t>(bytes / 512, 0xFFFFFFFFull);
    p.totalSectors = static_cast<uint32_t>(total);
    // CompactFlash cards report small geometries for small cards and 16 heads
    // of 63 sectors from about 500 MB; cylinders stop at 16383 (8 GB and more).
    if (total <= 16 * 63 * 1024ull) {
        if (total <= 4 * 32 * 1024ull) {
            p.heads = total <= 2 * 32 * 1024ull ? 2 : 4;
            p.sectorsPerTrack = 32;
        } else if (total <= 8 * 32 * 1024ull) {
            p.heads = 8;
            p.sectorsPerTrack = 32;
        } else {
            p.heads = 16;
            p.sectorsPerTrack = total <= 16 * 32 * 1024ull ? 32 : 63;
        }
    } else {
        p.heads = 16;
        p.sectorsPerTrack = 63;
    }
    if (total < static_cast<uint64_t>(p.heads) * p.sectorsPerTrack) {
        // Smaller than one cylinder: one head, one track.
        p.heads = 1;
        p.sectorsPerTrack = static_cast<uint32_t>(std::max<uint64_t>(std::min<uint64_t>(total, 63), 1));
    }
    uint64_t cyl = total / (static_cast<uint64_t>(p.heads) * p.sectorsPerTrack);
    if (cyl == 0) cyl = 1;
    p.cylinders = static_cast<uint32_t>(std::min<uint64_t>(cyl, 16383));
    p.sectorSize = 512;
    p.waitCheck = 1;
    p.accessTiming = 250;
    return p;
}

std::string DefaultBusDir()
{
    const char *env = std::getenv("QEVCRDIO_BUS");
    if (env && *env) return env;
    const char *xdg = std::getenv("XDG_DATA_HOME");
    if (xdg && *xdg == '/') return std::string(xdg) + "/qevcrdio/bus";
    std::string home = HomeDir();
    if (home.empty()) return std::string();
    return home + "/.local/share/qevcrdio/bus";
}

}  // namespace vbus
