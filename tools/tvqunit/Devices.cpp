#include "Devices.h"

#include "Bindings.h"
#include "DevList.h"
#include "Medium.h"
#include "Node.h"
#include "UDisks.h"

#include <cstdio>
#include <vector>

namespace {

std::string Human(uint64_t bytes)
{
    static const char *const units[] = {"bytes", "KiB", "MiB", "GiB", "TiB"};
    double v = static_cast<double>(bytes);
    int u = 0;
    while (v >= 1024 && u < 4) {
        v /= 1024;
        ++u;
    }
    char buf[32];
    if (u == 0) std::snprintf(buf, sizeof buf, "%llu bytes", static_cast<unsigned long long>(bytes));
    else if (v >= 10 || v == static_cast<double>(static_cast<uint64_t>(v))) std::snprintf(buf, sizeof buf, "%.0f %s", v, units[u]);
    else std::snprintf(buf, sizeof buf, "%.1f %s", v, units[u]);
    return buf;
}

}  // namespace

void PrintDevices(vbus::Bus &bus, std::ostream &out)
{
    auto devices = blockdev::ListCardDevices();
    if (devices.empty()) {
        out << "no card readers, removable disks or loop devices found\n";
        return;
    }
    for (const auto &d : devices) {
        std::vector<std::string> state;
        for (const vbus::Binding &b : vbus::BindingsOf(bus.Dir(), static_cast<uint64_t>(d.rdev)))
            state.push_back("bound to slot " + std::to_string(b.slot) + " of unit '" + b.unit + "'");
        if (d.usage.system) state.push_back("holds the running system");
        for (const auto &m : d.usage.mounts) state.push_back("mounted: " + m);
        for (const auto &s : d.usage.swaps) state.push_back("swap: " + s);
        for (const auto &h : d.usage.holders) state.push_back("in use: " + h);
        std::string text;
        for (const auto &s : state) text += (text.empty() ? "" : "; ") + s;
        if (text.empty()) text = "free";
        std::string size = d.bytes ? Human(d.bytes) : "no card";
        // How the library would open it for this user: itself, through UDisks2, or not at all.
        const char *way = blockdev::AccessWayName(blockdev::AccessWayOf(d.node));
        out << d.node << "\t" << size << "\t" << d.logicalBlockSize << "-byte blocks\t" << d.kind << "\t"
            << (d.model.empty() ? "?" : d.model) << "\t" << (d.stablePath.empty() ? "-" : d.stablePath) << "\t"
            << "open: " << way << "\t" << text << "\n";
    }
}

std::string DeviceCardState(const vbus::Card &card)
{
    blockdev::Medium m = blockdev::Probe(card.device);
    switch (m.state) {
    case blockdev::Medium::Missing: return "device missing (reader unplugged?)";
    case blockdev::Medium::NoMedium: return "no card";
    case blockdev::Medium::Failed: return m.why;
    case blockdev::Medium::Present: break;
    }
    if (m.noAccess) {
        if (blockdev::AccessWayOf(card.device) == blockdev::AccessWay::UDisks)
            return Human(m.bytes) + " card; this user opens it through UDisks2 (polkit may ask for a password)";
        return std::string("a card is in, but ") + blockdev::NoAccessAdvice() + " (" + m.why + ")";
    }
    std::unique_ptr<vbus::Medium> medium = vbus::OpenDeviceMedium(card, vbus::DeviceGuard());
    if (!medium->Present()) return "card ejected; the slot is empty until another card comes";
    std::string s = Human(m.bytes) + " card (" + std::to_string(m.bytes / 512) + " sectors of 512";
    if (m.logicalBlockSize != 512)
        s += "; its " + std::to_string(m.logicalBlockSize) + "-byte sectors make it unusable";
    return s + ")";
}
