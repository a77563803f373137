#include "DevList.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <libudev.h>

namespace blockdev {

namespace {

struct Deleter {
    void operator()(struct udev *u) const { udev_unref(u); }
    void operator()(struct udev_enumerate *e) const { udev_enumerate_unref(e); }
    void operator()(struct udev_device *d) const { udev_device_unref(d); }
};
template <typename T>
using Ptr = std::unique_ptr<T, Deleter>;

std::string Attr(struct udev_device *d, const char *name)
{
    const char *v = d ? udev_device_get_sysattr_value(d, name) : nullptr;
    std::string s = v ? v : "";
    while (!s.empty() && (s.back() == ' ' || s.back() == '\n')) s.pop_back();
    return s;
}

std::string Prop(struct udev_device *d, const char *name)
{
    const char *v = udev_device_get_property_value(d, name);
    return v ? v : "";
}

uint64_t Number(const std::string &s)
{
    return s.empty() ? 0 : std::strtoull(s.c_str(), nullptr, 10);
}

std::string Join(const std::string &a, const std::string &b)
{
    if (a.empty()) return b;
    if (b.empty()) return a;
    return a + " " + b;
}

// The by-id link a person recognises best: the USB one first.
std::string StableLink(struct udev_device *d)
{
    std::string best;
    struct udev_list_entry *e;
    udev_list_entry_foreach(e, udev_device_get_devlinks_list_entry(d))
    {
        std::string link = udev_list_entry_get_name(e);
        if (link.rfind("/dev/disk/by-id/", 0) != 0) continue;
        bool usb = link.rfind("/dev/disk/by-id/usb-", 0) == 0;
        bool bestUsb = best.rfind("/dev/disk/by-id/usb-", 0) == 0;
        if (best.empty() || (usb && !bestUsb) || (usb == bestUsb && link < best)) best = link;
    }
    return best;
}

// "loop2" before "loop10": runs of digits compare as numbers.
bool NaturalLess(const std::string &a, const std::string &b)
{
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        bool da = std::isdigit(static_cast<unsigned char>(a[i])), db = std::isdigit(static_cast<unsigned char>(b[j]));
        if (da && db) {
            size_t ei = i, ej = j;
            while (ei < a.size() && std::isdigit(static_cast<unsigned char>(a[ei]))) ++ei;
            while (ej < b.size() && std::isdigit(static_cast<unsigned char>(b[ej]))) ++ej;
            uint64_t na = std::strtoull(a.substr(i, ei - i).c_str(), nullptr, 10);
            uint64_t nb = std::strtoull(b.substr(j, ej - j).c_str(), nullptr, 10);
            if (na != nb) return na < nb;
            i = ei;
            j = ej;
        } else {
            if (a[i] != b[j]) return a[i] < b[j];
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

}  // namespace

std::vector<DeviceEntry> ListCardDevices()
{
    std::vector<DeviceEntry> out;
    Ptr<struct udev> udev(udev_new());
    if (!udev) return out;
    Ptr<struct udev_enumerate> en(udev_enumerate_new(udev.get()));
    if (!en) return out;
    udev_enumerate_add_match_subsystem(en.get(), "block");
    udev_enumerate_add_match_property(en.get(), "DEVTYPE", "disk");
    udev_enumerate_scan_devices(en.get());
    struct udev_list_entry *e;
    udev_list_entry_foreach(e, udev_enumerate_get_list_entry(en.get()))
    {
        Ptr<struct udev_device> d(udev_device_new_from_syspath(udev.get(), udev_list_entry_get_name(e)));
        if (!d) continue;
        const char *node = udev_device_get_devnode(d.get());
        const char *name = udev_device_get_sysname(d.get());
        if (!node || !name) continue;
        std::string sys = name;
        std::string devpath = udev_device_get_devpath(d.get()) ? udev_device_get_devpath(d.get()) : "";
        DeviceEntry entry;
        std::string backing = Attr(d.get(), "loop/backing_file");
        if (sys.rfind("loop", 0) == 0) {
            if (backing.empty()) continue;  // not attached
            entry.kind = "loop";
            entry.model = backing;
        } else if (devpath.find("/usb") != std::string::npos) {
            entry.kind = "usb";
        } else if (sys.rfind("mmcblk", 0) == 0) {
            entry.kind = "mmc";
        } else if (Attr(d.get(), "removable") == "1") {
            entry.kind = "removable";
        } else {
            continue;  // fixed disks hold no cards
        }
        if (entry.kind != "loop") {
            entry.model = Join(Prop(d.get(), "ID_VENDOR"), Prop(d.get(), "ID_MODEL"));
            if (entry.model.empty()) {
                // No udev database: the drive's own words from sysfs.
                struct udev_device *scsi = udev_device_get_parent_with_subsystem_devtype(d.get(), "scsi", "scsi_device");
                struct udev_device *mmc = udev_device_get_parent_with_subsystem_devtype(d.get(), "mmc", nullptr);
                if (scsi) entry.model = Join(Attr(scsi, "vendor"), Attr(scsi, "model"));
                else if (mmc) entry.model = Attr(mmc, "name");
                else entry.model = Attr(d.get(), "device/model");
            }
        }
        entry.node = node;
        entry.sysName = sys;
        entry.rdev = udev_device_get_devnum(d.get());
        entry.stablePath = StableLink(d.get());
        entry.bytes = Number(Attr(d.get(), "size")) * 512;
        uint64_t lbs = Number(Attr(d.get(), "queue/logical_block_size"));
        entry.logicalBlockSize = lbs ? static_cast<uint32_t>(lbs) : 512;
        entry.diskSeq = Number(Attr(d.get(), "diskseq"));
        entry.usage = UsageOf(sys);
        out.push_back(std::move(entry));
    }
    std::sort(out.begin(), out.end(),
              [](const DeviceEntry &a, const DeviceEntry &b) { return NaturalLess(a.sysName, b.sysName); });
    return out;
}

std::string DiskSerial(const std::string &sysName)
{
    if (sysName.empty() || sysName.find('/') != std::string::npos || sysName[0] == '.') return "";
    Ptr<struct udev> udev(udev_new());
    if (!udev) return "";
    Ptr<struct udev_device> d(udev_device_new_from_subsystem_sysname(udev.get(), "block", sysName.c_str()));
    if (!d) return "";
    // The card's own number, where the slot reads it from the card.
    if (struct udev_device *mmc = udev_device_get_parent_with_subsystem_devtype(d.get(), "mmc", nullptr)) {
        const std::string serial = Attr(mmc, "serial");
        if (!serial.empty()) return serial;
    }
    for (const char *key : {"ID_SERIAL_SHORT", "ID_SERIAL"}) {
        const std::string serial = Prop(d.get(), key);
        if (!serial.empty()) return serial;
    }
    // No udev database: the USB device's own words.
    if (struct udev_device *usb = udev_device_get_parent_with_subsystem_devtype(d.get(), "usb", "usb_device"))
        return Attr(usb, "serial");
    return "";
}

}  // namespace blockdev
