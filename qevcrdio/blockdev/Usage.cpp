#include "Usage.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <memory>
#include <set>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <libmount.h>
#include <libudev.h>

namespace blockdev {

namespace {

struct Deleter {
    void operator()(struct libmnt_table *t) const { mnt_unref_table(t); }
    void operator()(struct libmnt_iter *i) const { mnt_free_iter(i); }
    void operator()(struct udev *u) const { udev_unref(u); }
    void operator()(struct udev_enumerate *e) const { udev_enumerate_unref(e); }
    void operator()(struct udev_device *d) const { udev_device_unref(d); }
};
template <typename T>
using Ptr = std::unique_ptr<T, Deleter>;

std::string DevDir(dev_t d)
{
    return "/sys/dev/block/" + std::to_string(major(d)) + ":" + std::to_string(minor(d));
}

// Names in a sysfs folder such as holders/ or slaves/.
std::vector<std::string> Entries(const std::string &dir)
{
    std::vector<std::string> out;
    DIR *d = ::opendir(dir.c_str());
    if (!d) return out;
    while (struct dirent *e = ::readdir(d))
        if (e->d_name[0] != '.') out.push_back(e->d_name);
    ::closedir(d);
    std::sort(out.begin(), out.end());
    return out;
}

dev_t DevOfSysName(struct udev *udev, const std::string &name)
{
    Ptr<struct udev_device> d(udev_device_new_from_subsystem_sysname(udev, "block", name.c_str()));
    return d ? udev_device_get_devnum(d.get()) : 0;
}

// The device behind a mount or swap entry: its major:minor, else its source node.
dev_t DevOfEntry(struct libmnt_fs *fs)
{
    dev_t d = mnt_fs_get_devno(fs);
    if (major(d) != 0) return d;
    const char *src = mnt_fs_get_srcpath(fs);
    struct stat st;
    if (src && std::strncmp(src, "/dev/", 5) == 0 && ::stat(src, &st) == 0 && S_ISBLK(st.st_mode))
        return st.st_rdev;
    return 0;
}

Ptr<struct libmnt_table> ParseTable(const std::string &path, bool swaps)
{
    Ptr<struct libmnt_table> tb(mnt_new_table());
    if (!tb) return tb;
    const char *file = path.empty() ? nullptr : path.c_str();
    int rc = swaps ? mnt_table_parse_swaps(tb.get(), file)
                   : (file ? mnt_table_parse_file(tb.get(), file) : mnt_table_parse_mtab(tb.get(), nullptr));
    (void)rc;  // an unreadable table counts as empty; O_EXCL still guards the writes
    return tb;
}

template <typename F>
void ForEach(struct libmnt_table *tb, F f)
{
    if (!tb) return;
    Ptr<struct libmnt_iter> it(mnt_new_iter(MNT_ITER_FORWARD));
    struct libmnt_fs *fs = nullptr;
    while (it && mnt_table_next_fs(tb, it.get(), &fs) == 0) f(fs);
}

// Every device the running system's own file systems stand on, down through
// device mapper and RAID to the partitions and disks.
std::set<dev_t> SystemDevices(struct libmnt_table *tb)
{
    static const char *const kSystemMounts[] = {"/", "/usr", "/boot", "/boot/efi", "/var"};
    std::set<dev_t> out;
    std::vector<dev_t> todo;
    ForEach(tb, [&](struct libmnt_fs *fs) {
        const char *target = mnt_fs_get_target(fs);
        if (!target) return;
        for (const char *m : kSystemMounts)
            if (std::strcmp(target, m) == 0)
                if (dev_t d = DevOfEntry(fs)) todo.push_back(d);
    });
    Ptr<struct udev> udev(udev_new());
    while (!todo.empty()) {
        dev_t d = todo.back();
        todo.pop_back();
        if (!out.insert(d).second) continue;
        std::string dir = DevDir(d);
        for (const auto &s : Entries(dir + "/slaves"))
            if (udev)
                if (dev_t sd = DevOfSysName(udev.get(), s)) todo.push_back(sd);
        // A partition stands on its disk.
        struct stat st;
        if (::stat((dir + "/partition").c_str(), &st) == 0 && udev) {
            Ptr<struct udev_device> p(udev_device_new_from_devnum(udev.get(), 'b', d));
            struct udev_device *disk =
                p ? udev_device_get_parent_with_subsystem_devtype(p.get(), "block", "disk") : nullptr;
            if (disk) todo.push_back(udev_device_get_devnum(disk));
        }
    }
    return out;
}

// Loop devices over one of these devices: the loop driver registers no holder,
// only the name of its backing file. Pairs of (loop, the device under it).
std::vector<std::pair<std::string, std::string>> LoopsOver(const std::vector<std::pair<dev_t, std::string>> &devs)
{
    std::vector<std::pair<std::string, std::string>> out;
    for (const auto &loop : Entries("/sys/block")) {
        if (loop.rfind("loop", 0) != 0) continue;
        std::string back;
        if (FILE *f = std::fopen(("/sys/block/" + loop + "/loop/backing_file").c_str(), "re")) {
            char buf[4096];
            if (std::fgets(buf, sizeof buf, f)) back = buf;
            std::fclose(f);
        }
        while (!back.empty() && back.back() == '\n') back.pop_back();
        struct stat st;
        if (back.empty() || ::stat(back.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) continue;
        for (const auto &d : devs)
            if (d.first == st.st_rdev) out.emplace_back(loop, d.second);
    }
    return out;
}

// A device and its partitions, by device number and name.
std::vector<std::pair<dev_t, std::string>> WithPartitions(struct udev *udev, const std::string &diskSysName)
{
    std::vector<std::pair<dev_t, std::string>> parts;
    if (udev) {
        Ptr<struct udev_device> disk(udev_device_new_from_subsystem_sysname(udev, "block", diskSysName.c_str()));
        if (disk) {
            parts.emplace_back(udev_device_get_devnum(disk.get()), diskSysName);
            Ptr<struct udev_enumerate> en(udev_enumerate_new(udev));
            if (en) {
                udev_enumerate_add_match_parent(en.get(), disk.get());
                udev_enumerate_add_match_subsystem(en.get(), "block");
                udev_enumerate_scan_devices(en.get());
                struct udev_list_entry *e;
                udev_list_entry_foreach(e, udev_enumerate_get_list_entry(en.get()))
                {
                    Ptr<struct udev_device> d(udev_device_new_from_syspath(udev, udev_list_entry_get_name(e)));
                    if (!d) continue;
                    const char *type = udev_device_get_devtype(d.get());
                    const char *name = udev_device_get_sysname(d.get());
                    if (type && name && std::strcmp(type, "partition") == 0)
                        parts.emplace_back(udev_device_get_devnum(d.get()), name);
                }
            }
        }
    }
    return parts;
}

}  // namespace

Usage UsageOf(const std::string &diskSysName, const Tables &tables)
{
    Usage u;
    Ptr<struct udev> udev(udev_new());
    std::vector<std::pair<dev_t, std::string>> parts = WithPartitions(udev.get(), diskSysName);
    // The system may stand only on the disk itself; mounts and swap count on
    // every device stacked on it too (loop devices, device mapper, RAID), and
    // on theirs, and so on.
    const size_t own = parts.size();
    std::set<std::string> seen{diskSysName};
    for (size_t i = 0; i < parts.size() && parts.size() < 256; ++i) {
        std::vector<std::pair<std::string, std::string>> above;
        for (const auto &h : Entries("/sys/class/block/" + parts[i].second + "/holders"))
            above.emplace_back(h, parts[i].second);
        for (const auto &l : LoopsOver({parts[i]})) above.push_back(l);
        for (const auto &a : above) {
            u.holders.push_back(a.second + " by " + a.first);
            if (!seen.insert(a.first).second) continue;
            for (const auto &p : WithPartitions(udev.get(), a.first)) parts.push_back(p);
        }
    }
    auto mine = [&](dev_t d) {
        return d != 0 && std::any_of(parts.begin(), parts.end(), [&](const auto &p) { return p.first == d; });
    };

    Ptr<struct libmnt_table> mounts = ParseTable(tables.mountinfo, false);
    ForEach(mounts.get(), [&](struct libmnt_fs *fs) {
        if (!mine(DevOfEntry(fs))) return;
        const char *src = mnt_fs_get_source(fs);
        const char *target = mnt_fs_get_target(fs);
        u.mounts.push_back(std::string(src ? src : "?") + " on " + (target ? target : "?"));
    });
    Ptr<struct libmnt_table> swaps = ParseTable(tables.swaps, true);
    ForEach(swaps.get(), [&](struct libmnt_fs *fs) {
        if (!mine(DevOfEntry(fs))) return;
        const char *src = mnt_fs_get_source(fs);
        u.swaps.push_back(src ? src : "?");
    });
    std::set<dev_t> system = SystemDevices(mounts.get());
    for (size_t i = 0; i < own; ++i)
        if (system.count(parts[i].first)) u.system = true;
    return u;
}

std::string RefusalText(const std::string &node, const Usage &u)
{
    auto join = [](const std::vector<std::string> &v) {
        std::string s;
        for (const auto &x : v) s += (s.empty() ? "" : ", ") + x;
        return s;
    };
    std::string what = "'" + node + "'";
    if (u.system) return what + " holds the running system; it is never written";
    std::vector<std::string> why;
    if (!u.mounts.empty()) why.push_back("is mounted (" + join(u.mounts) + "); unmount it first");
    if (!u.swaps.empty()) why.push_back("is used as swap (" + join(u.swaps) + "); turn that swap off first");
    if (!u.holders.empty()) why.push_back("is in use by another device (" + join(u.holders) + ")");
    if (why.empty()) return std::string();
    std::string s = what;
    for (size_t i = 0; i < why.size(); ++i) s += (i ? " and " : " ") + why[i];
    return s;
}

}  // namespace blockdev
