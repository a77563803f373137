// The system's SCSI generic nodes through libudev, and the kernel's SG_IO.
#include "Port.h"

#include "Usage.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <libudev.h>
#include <memory>
#include <mutex>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace sg {

namespace {

std::string Str(const char *s)
{
    return s ? s : "";
}

std::string Trim(std::string s)
{
    while (!s.empty() && (s.back() == ' ' || s.back() == '\n')) s.pop_back();
    return s;
}

// The disk (block device of type disk) the kernel bound to a SCSI device.
void FindDisk(udev *u, udev_device *scsiDev, Node *n)
{
    udev_enumerate *e = udev_enumerate_new(u);
    if (!e) return;
    udev_enumerate_add_match_parent(e, scsiDev);
    udev_enumerate_add_match_subsystem(e, "block");
    udev_enumerate_add_match_property(e, "DEVTYPE", "disk");
    udev_enumerate_scan_devices(e);
    udev_list_entry *entry;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(e))
    {
        udev_device *d = udev_device_new_from_syspath(u, udev_list_entry_get_name(entry));
        if (!d) continue;
        if (n->diskPath.empty() && udev_device_get_devnode(d)) {
            n->diskPath = udev_device_get_devnode(d);
            n->diskSysName = Str(udev_device_get_sysname(d));
        }
        udev_device_unref(d);
    }
    udev_enumerate_unref(e);
}

class SystemPortImpl : public Port {
public:
    std::vector<Node> List() override
    {
        std::vector<Node> out;
        udev *u = udev_new();
        if (!u) return out;
        udev_enumerate *e = udev_enumerate_new(u);
        if (e) {
            udev_enumerate_add_match_subsystem(e, "scsi_generic");
            udev_enumerate_scan_devices(e);
            udev_list_entry *entry;
            udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(e))
            {
                udev_device *d = udev_device_new_from_syspath(u, udev_list_entry_get_name(entry));
                if (!d) continue;
                udev_device *scsi = udev_device_get_parent_with_subsystem_devtype(d, "scsi", "scsi_device");
                const char *devnode = udev_device_get_devnode(d);
                Node n;
                // "H:C:T:L"
                unsigned long long lun = 0;
                if (scsi && devnode &&
                    std::sscanf(Str(udev_device_get_sysname(scsi)).c_str(), "%d:%d:%d:%llu", &n.host, &n.channel,
                                &n.id, &lun) == 4) {
                    n.sgPath = devnode;
                    n.lun = lun;
                    n.type = std::atoi(Str(udev_device_get_sysattr_value(scsi, "type")).c_str());
                    FindDisk(u, scsi, &n);
                    udev_device *usb = udev_device_get_parent_with_subsystem_devtype(scsi, "usb", "usb_device");
                    n.unitKey = "host" + std::to_string(n.host);
                    if (usb) {
                        n.usbProduct = Trim(Str(udev_device_get_sysattr_value(usb, "product")));
                        n.unitKey += " " + Str(udev_device_get_syspath(usb));
                    }
                    out.push_back(n);
                }
                udev_device_unref(d);
            }
            udev_enumerate_unref(e);
        }
        udev_unref(u);
        return out;
    }

    int Open(const std::string &path) override
    {
        // O_NONBLOCK: an open never waits for the device; SG_IO still blocks until done.
        int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        return fd >= 0 ? fd : -errno;
    }

    int Io(int fd, sg_io_hdr *hdr) override
    {
        for (;;) {
            if (::ioctl(fd, SG_IO, hdr) == 0) return 0;
            if (errno != EINTR) return -errno;
        }
    }

    void Close(int fd) override { ::close(fd); }

    std::string DiskRefusal(const Node &node) override
    {
        if (node.diskSysName.empty()) return std::string();
        return blockdev::RefusalText(node.diskPath, blockdev::UsageOf(node.diskSysName));
    }

    int HoldDisk(const Node &node) override
    {
        if (node.diskPath.empty()) return -ENODEV;
        // O_EXCL on a block device: no mount while we hold it, and no hold while it is mounted.
        int fd = ::open(node.diskPath.c_str(), O_RDONLY | O_EXCL | O_NONBLOCK | O_CLOEXEC);
        return fd >= 0 ? fd : -errno;
    }

    void ReleaseDisk(int fd) override { ::close(fd); }
};

}  // namespace

Port &SystemPort()
{
    static SystemPortImpl port;
    return port;
}

Port &ActivePort()
{
    static Port *p = [] {
        auto fn = reinterpret_cast<QevSgPortFn>(dlsym(RTLD_DEFAULT, "qevcrdio_sg_port"));
        Port *own = fn ? fn() : nullptr;
        return own ? own : &SystemPort();
    }();
    return *p;
}

}  // namespace sg
