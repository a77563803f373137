// The emulated unit for whole programs (tvqcard, tvqunit, tvqcrdut): preloaded
// (LD_PRELOAD), it offers the library its port, set up from TVQ_EMU:
//   MODEL:VD:DIR[:BRIDGE]   MODEL 210CF or 206, VD first or last,
// DIR holding the cards as slot<N>.img (the images are used in place).
// TVQ_EMU_FAULT plants a fault once the unit is set up:
//   nodevice:SLOT:LBA       the cable comes out when a READ(10) or WRITE(10)
//                           on SLOT (0 = the VD) reaches LBA: that command and
//                           every one after it end in ENODEV, as the sg
//                           driver answers for a device gone.
// Each process has its own unit; only the images are shared. The file
// DIR/unplugged stands for the cable: while it exists the unit is gone.
// A program's udev monitor hears the unit's nodes come and go with it: the
// monitor calls are answered here from an inotify watch of DIR.
#include "EmuUnit.h"

#include <cstdio>
#include <dlfcn.h>
#include <cstdlib>
#include <string>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A function's own: the constructor below may run before this file's other statics are made.
std::string &UnitDir()
{
    static std::string dir;
    return dir;
}

// A whole decimal number up to max, nothing else.
bool Number(const std::string &text, unsigned long long max, unsigned long long *out)
{
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    *out = std::stoull(text);
    return *out <= max;
}

// A fault the run cannot be set up with ends the program before it starts, saying why.
void PlantFault(tvqtest::EmuUnit &u, const std::string &rule)
{
    std::string kind, slot, lba;
    const size_t a = rule.find(':'), b = a == std::string::npos ? a : rule.find(':', a + 1);
    if (b != std::string::npos && rule.find(':', b + 1) == std::string::npos) {
        kind = rule.substr(0, a);
        slot = rule.substr(a + 1, b - a - 1);
        lba = rule.substr(b + 1);
    }
    unsigned long long s = 0, first = 0;
    if (kind != "nodevice" || !Number(slot, static_cast<unsigned>(u.Slots()), &s) || !Number(lba, 0xFFFFFFFFull, &first)) {
        std::fprintf(stderr, "emulated unit: TVQ_EMU_FAULT '%s' is not nodevice:SLOT:LBA (slot 0 to %d)\n", rule.c_str(),
                     u.Slots());
        std::_Exit(125);
    }
    tvqtest::EmuFault f;
    f.kind = tvqtest::EmuFault::NoDevice;
    f.slot = static_cast<int>(s);
    f.first = static_cast<uint32_t>(first);
    f.times = 1;
    u.AddFault(f);
}

__attribute__((constructor)) void SetUp()
{
    const char *env = std::getenv("TVQ_EMU");
    if (!env || !*env) return;
    std::string fields = env;
    auto next = [&fields]() {
        size_t c = fields.find(':');
        std::string part = fields.substr(0, c);
        fields = c == std::string::npos ? std::string() : fields.substr(c + 1);
        return part;
    };
    std::string model = next(), vd = next(), dir = next(), bridge = next();
    tvqtest::EmuUnit &u = tvqtest::Emu().AddUnit(model == "206" ? tvqtest::EmuModel::Tvq206 : tvqtest::EmuModel::Tvq210CF,
                                                 vd == "last", dir);
    if (!bridge.empty()) u.SetBridgeProduct(bridge);
    u.SetUnplugFile(dir + "/unplugged");
    UnitDir() = dir;
    for (int slot = 1; slot <= u.Slots(); ++slot) {
        std::string img = dir + "/slot" + std::to_string(slot) + ".img";
        struct stat st;
        if (::stat(img.c_str(), &st) == 0) u.InsertImage(slot, img);
    }
    const char *fault = std::getenv("TVQ_EMU_FAULT");
    if (fault && *fault) PlantFault(u, fault);
}

// Whatever the unit did not expect is told on stderr, for the test to find.
__attribute__((destructor)) void Report()
{
    for (const std::string &v : tvqtest::Emu().Violations()) std::fprintf(stderr, "emulated unit saw: %s\n", v.c_str());
}

}  // namespace

// ---- the udev monitor a program opens, for the emulated unit's nodes ----------

extern "C" {
struct udev;
struct udev_monitor;
struct udev_device;
}

namespace {

struct FakeMonitor {
    int fd = -1;
    std::string pending;  // actions not handed out yet, one letter each: a(dd) r(emove)
};
FakeMonitor g_monitor;
char g_device;  // the address stands for the device; its action is in g_action
const char *g_action = "";

}  // namespace

// Anything not the emulation's own goes on to libudev.

extern "C" __attribute__((visibility("default"))) udev_monitor *udev_monitor_new_from_netlink(udev *u, const char *name)
{
    if (UnitDir().empty()) {
        auto next = reinterpret_cast<udev_monitor *(*)(udev *, const char *)>(dlsym(RTLD_NEXT, "udev_monitor_new_from_netlink"));
        return next ? next(u, name) : nullptr;
    }
    g_monitor.fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (g_monitor.fd < 0 || inotify_add_watch(g_monitor.fd, UnitDir().c_str(), IN_CREATE | IN_DELETE | IN_MOVED_TO) < 0)
        return nullptr;
    return reinterpret_cast<udev_monitor *>(&g_monitor);
}

template <typename F>
F Next(const char *name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

bool Ours(udev_monitor *m)
{
    return m == reinterpret_cast<udev_monitor *>(&g_monitor);
}

extern "C" __attribute__((visibility("default"))) int udev_monitor_filter_add_match_subsystem_devtype(
    udev_monitor *m, const char *subsystem, const char *devtype)
{
    if (!Ours(m)) {
        auto next = Next<int (*)(udev_monitor *, const char *, const char *)>(
            "udev_monitor_filter_add_match_subsystem_devtype");
        return next ? next(m, subsystem, devtype) : -1;
    }
    return subsystem && std::string(subsystem) == "scsi_generic" ? 0 : -1;
}

extern "C" __attribute__((visibility("default"))) int udev_monitor_enable_receiving(udev_monitor *m)
{
    if (!Ours(m)) {
        auto next = Next<int (*)(udev_monitor *)>("udev_monitor_enable_receiving");
        return next ? next(m) : -1;
    }
    return 0;
}

extern "C" __attribute__((visibility("default"))) int udev_monitor_get_fd(udev_monitor *m)
{
    if (!Ours(m)) {
        auto next = Next<int (*)(udev_monitor *)>("udev_monitor_get_fd");
        return next ? next(m) : -1;
    }
    return g_monitor.fd;
}

extern "C" __attribute__((visibility("default"))) udev_device *udev_monitor_receive_device(udev_monitor *m)
{
    if (!Ours(m)) {
        auto next = Next<udev_device *(*)(udev_monitor *)>("udev_monitor_receive_device");
        return next ? next(m) : nullptr;
    }
    alignas(struct inotify_event) char buf[4096];
    ssize_t n;
    while ((n = read(g_monitor.fd, buf, sizeof buf)) > 0) {
        for (ssize_t off = 0; off < n;) {
            auto *ev = reinterpret_cast<struct inotify_event *>(buf + off);
            if (ev->len && std::string(ev->name) == "unplugged") {
                // Every LUN's node goes (or comes) with the cable.
                int luns = tvqtest::Emu().Unit(0).Targets();
                g_monitor.pending.append(static_cast<size_t>(luns), (ev->mask & IN_DELETE) ? 'a' : 'r');
            }
            off += static_cast<ssize_t>(sizeof(struct inotify_event) + ev->len);
        }
    }
    if (g_monitor.pending.empty()) return nullptr;
    g_action = g_monitor.pending[0] == 'a' ? "add" : "remove";
    g_monitor.pending.erase(0, 1);
    return reinterpret_cast<udev_device *>(&g_device);
}

extern "C" __attribute__((visibility("default"))) const char *udev_device_get_action(udev_device *d)
{
    if (d == reinterpret_cast<udev_device *>(&g_device)) return g_action;
    auto next = Next<const char *(*)(udev_device *)>("udev_device_get_action");
    return next ? next(d) : nullptr;
}

extern "C" __attribute__((visibility("default"))) udev_device *udev_device_unref(udev_device *d)
{
    if (d == reinterpret_cast<udev_device *>(&g_device)) return nullptr;
    auto next = Next<udev_device *(*)(udev_device *)>("udev_device_unref");
    return next ? next(d) : nullptr;
}

extern "C" __attribute__((visibility("default"))) udev_monitor *udev_monitor_unref(udev_monitor *m)
{
    if (m != reinterpret_cast<udev_monitor *>(&g_monitor)) {
        auto next = Next<udev_monitor *(*)(udev_monitor *)>("udev_monitor_unref");
        return next ? next(m) : nullptr;
    }
    if (g_monitor.fd >= 0) close(g_monitor.fd);
    g_monitor.fd = -1;
    return nullptr;
}
