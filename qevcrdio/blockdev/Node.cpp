#include "Node.h"

#include "UDisks.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <memory>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <libudev.h>

namespace blockdev {

namespace {

struct UdevDeleter {
    void operator()(struct udev *u) const { udev_unref(u); }
    void operator()(struct udev_device *d) const { udev_device_unref(d); }
};
using UdevPtr = std::unique_ptr<struct udev, UdevDeleter>;
using UdevDevicePtr = std::unique_ptr<struct udev_device, UdevDeleter>;

// A number in a sysfs file, 0 when there is none.
uint64_t SysNumber(const std::string &path)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    char buf[64];
    ssize_t n = ::read(fd, buf, sizeof buf - 1);
    ::close(fd);
    if (n <= 0) return 0;
    buf[n] = 0;
    return std::strtoull(buf, nullptr, 10);
}

}  // namespace

bool Resolve(const std::string &path, NodeInfo *info, std::string *why)
{
    *info = NodeInfo{};
    info->path = path;
    char real[PATH_MAX];
    struct stat st;
    if (!::realpath(path.c_str(), real) || ::stat(real, &st) != 0) {
        *why = "'" + path + "': " + std::strerror(errno);
        return false;
    }
    if (!S_ISBLK(st.st_mode)) {
        *why = "'" + path + "' is not a block device";
        return false;
    }
    info->node = real;
    info->rdev = st.st_rdev;
    info->diskRdev = st.st_rdev;

    UdevPtr udev(udev_new());
    if (!udev) {
        *why = "cannot look up '" + path + "' in sysfs";
        return false;
    }
    UdevDevicePtr dev(udev_device_new_from_devnum(udev.get(), 'b', st.st_rdev));
    if (!dev) {
        *why = "'" + path + "' (" + std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev)) +
               ") is not known to the kernel";
        return false;
    }
    const char *name = udev_device_get_sysname(dev.get());
    info->sysName = name ? name : "";
    info->diskSysName = info->sysName;
    const char *type = udev_device_get_devtype(dev.get());
    if (type && std::strcmp(type, "partition") == 0) {
        info->partition = true;
        // The parent is owned by its child; no unref.
        struct udev_device *disk = udev_device_get_parent_with_subsystem_devtype(dev.get(), "block", "disk");
        if (disk) {
            const char *dn = udev_device_get_sysname(disk);
            info->diskSysName = dn ? dn : "";
            info->diskRdev = udev_device_get_devnum(disk);
        }
    }
    return true;
}

namespace {
thread_local std::string openNodeWhy;

// The node opened by UDisks2 for a process that may not open it itself:
// exclusive as our own open is (UDisks2 is always asked for O_EXCL), then
// direct I/O where asked and the device takes it. The descriptor must be the
// very device the path names now.
int OpenForUs(const std::string &path, int flags)
{
    char real[PATH_MAX];
    const std::string node = ::realpath(path.c_str(), real) ? std::string(real) : path;
    int fd = OpenThroughUDisks(node, (flags & O_ACCMODE) != O_RDONLY, &openNodeWhy);
    if (fd < 0) return -1;
    struct stat got, want;
    if (::fstat(fd, &got) != 0 || ::stat(node.c_str(), &want) != 0 || !S_ISBLK(got.st_mode) ||
        got.st_rdev != want.st_rdev) {
        ::close(fd);
        openNodeWhy = "UDisks2 handed over another device than " + node;
        return -1;
    }
    if (flags & O_DIRECT) {
        int fl = ::fcntl(fd, F_GETFL);
        if (fl >= 0) ::fcntl(fd, F_SETFL, fl | O_DIRECT);  // without it, the page cache
    }
    return fd;
}
}  // namespace

int OpenNode(const std::string &path, int flags)
{
    openNodeWhy.clear();
    int fd = OwnOpenDenied() ? -1 : ::open(path.c_str(), flags | O_CLOEXEC);
    if (fd >= 0) return fd;
    int e = OwnOpenDenied() ? EACCES : errno;
    if (e == EACCES || e == EPERM) {
        fd = OpenForUs(path, flags);
        if (fd >= 0) return fd;
    }
    errno = e;
    return -1;
}

const std::string &OpenNodeWhy()
{
    return openNodeWhy;
}

Medium Probe(const std::string &path)
{
    Medium m;
    struct stat pre;
    if (::stat(path.c_str(), &pre) != 0) {
        m.state = Medium::Missing;
        return m;
    }
    // Only block devices are opened: opening some other node can have effects.
    if (!S_ISBLK(pre.st_mode)) {
        m.state = Medium::Failed;
        m.why = "'" + path + "' is not a block device";
        return m;
    }
    // O_NONBLOCK: a reader without a card opens anyway, and a FIFO put in the
    // node's place cannot hold us.
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        int e = errno;
        if (e == ENOENT || e == ENXIO || e == ENODEV || e == ENOTDIR) m.state = Medium::Missing;
        else if (e == ENOMEDIUM) m.state = Medium::NoMedium;
        else if (e == EACCES || e == EPERM) {
            // Not ours to open, yet a card is in: the kernel tells its size to anyone.
            std::string sys = "/sys/dev/block/" + std::to_string(major(pre.st_rdev)) + ":" +
                              std::to_string(minor(pre.st_rdev));
            uint64_t sectors = SysNumber(sys + "/size");
            uint64_t lbs = SysNumber(sys + "/queue/logical_block_size");
            if (lbs == 0) lbs = SysNumber(sys + "/../queue/logical_block_size");  // a partition
            m.bytes = sectors * 512;
            m.logicalBlockSize = lbs > 0 && lbs <= 65536 ? static_cast<uint32_t>(lbs) : 512;
            m.diskSeq = SysNumber(sys + "/diskseq");
            m.noAccess = true;
            m.state = m.bytes > 0 ? Medium::Present : Medium::NoMedium;
            m.why = "'" + path + "': " + std::strerror(e);
        } else {
            m.state = Medium::Failed;
            m.why = "'" + path + "': " + std::strerror(e);
        }
        return m;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISBLK(st.st_mode)) {
        ::close(fd);
        m.state = Medium::Failed;
        m.why = "'" + path + "' is not a block device";
        return m;
    }
    uint64_t bytes = 0;
    int lbs = 0;
    if (::ioctl(fd, BLKGETSIZE64, &bytes) != 0) {
        int e = errno;
        ::close(fd);
        m.state = e == ENOMEDIUM ? Medium::NoMedium : Medium::Failed;
        if (m.state == Medium::Failed) m.why = "'" + path + "': " + std::strerror(e);
        return m;
    }
    if (::ioctl(fd, BLKSSZGET, &lbs) != 0) lbs = 512;
#ifdef BLKGETDISKSEQ
    uint64_t seq = 0;
    if (::ioctl(fd, BLKGETDISKSEQ, &seq) == 0) m.diskSeq = seq;
#endif
    ::close(fd);
    m.bytes = bytes;
    m.logicalBlockSize = lbs > 0 ? static_cast<uint32_t>(lbs) : 512;
    m.state = bytes > 0 ? Medium::Present : Medium::NoMedium;
    return m;
}

}  // namespace blockdev
