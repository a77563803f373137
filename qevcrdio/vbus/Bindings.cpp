#include "Bindings.h"

#include "Files.h"
#include "Node.h"
#include "Store.h"
#include "Usage.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace vbus {

std::vector<Binding> BindingsOf(const std::string &busDir, uint64_t rdev)
{
    std::vector<Binding> out;
    for (const auto &name : UnitFolders(busDir)) {
        Unit u;
        std::string why;
        Leniency lenient;
        lenient.cards = lenient.faults = true;
        if (LoadUnitDir(busDir + "/" + name, &u, &why, nullptr, lenient) != LoadResult::Ok) continue;
        for (const auto &c : u.cards) {
            struct stat st;
            if (!c.device.empty() && ::stat(c.device.c_str(), &st) == 0 && S_ISBLK(st.st_mode) &&
                static_cast<uint64_t>(st.st_rdev) == rdev)
                out.push_back(Binding{name, c.slot, c.device});
        }
    }
    return out;
}

std::string BoundElsewhere(const std::string &busDir, const std::string &unit, int slot, uint64_t rdev)
{
    for (const Binding &b : BindingsOf(busDir, rdev))
        if (b.unit != unit || b.slot != slot)
            return "'" + b.device + "' is already bound to slot " + std::to_string(b.slot) + " of unit '" + b.unit +
                   "'";
    return std::string();
}

std::string BindRefusal(const std::string &busDir, const std::string &unit, int slot, const std::string &path,
                        std::string *node)
{
    blockdev::NodeInfo info;
    std::string why;
    if (!blockdev::Resolve(path, &info, &why)) return why;
    *node = info.node;
    if (info.partition)
        return "'" + path + "' is a partition of /dev/" + info.diskSysName + "; bind the whole card: /dev/" +
               info.diskSysName;
    std::string refusal = blockdev::RefusalText(info.node, blockdev::UsageOf(info.diskSysName));
    if (!refusal.empty()) return refusal;
    refusal = BoundElsewhere(busDir, unit, slot, info.rdev);
    if (!refusal.empty()) return refusal;
    // Exclusive, as every transfer will open it. Opened for reading only: a
    // close after opening for writing makes udev probe the card anew.
    if (::access(info.node.c_str(), R_OK | W_OK) != 0)
        return "'" + path + "' cannot be opened for reading and writing: " + std::strerror(errno);
    int fd = blockdev::OpenNode(info.node, O_RDONLY | O_EXCL | O_NONBLOCK);
    if (fd < 0) {
        int e = errno;
        if (e == EBUSY) return "'" + path + "' is in use: another program holds it exclusively";
        return "'" + path + "' cannot be opened: " + std::strerror(e);
    }
    int ro = 0;
    bool readOnly = ::ioctl(fd, BLKROGET, &ro) == 0 && ro != 0;
    ::close(fd);
    if (readOnly) return "'" + path + "' cannot be opened for reading and writing: it is read-only (write-protected)";
    return std::string();
}

std::string BootId()
{
    int fd = ::open("/proc/sys/kernel/random/boot_id", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::string();
    char buf[64];
    ssize_t n = ::read(fd, buf, sizeof buf - 1);
    ::close(fd);
    std::string id(buf, n > 0 ? static_cast<size_t>(n) : 0);
    while (!id.empty() && (id.back() == '\n' || id.back() == ' ')) id.pop_back();
    return id;
}

}  // namespace vbus
