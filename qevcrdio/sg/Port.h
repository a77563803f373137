// What the SCSI generic backend needs from the system: the list of SCSI
// generic nodes with what udev knows of them, and open/SG_IO/close on a node,
// plus the checks and the exclusive hold on the disk node behind a target.
// The system's own port goes through libudev and the kernel. A process may put
// another in its place by exporting the C function qevcrdio_sg_port (looked
// up once, when the backend is made): tests answer there as a unit would.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct sg_io_hdr;

namespace sg {

// One SCSI generic node and the SCSI device behind it.
struct Node {
    std::string sgPath;        // "/dev/sg2"
    std::string diskPath;      // "/dev/sdc", "" when no disk driver is bound
    std::string diskSysName;   // "sdc"
    int host = 0, channel = 0, id = 0;
    uint64_t lun = 0;
    std::string usbProduct;    // the USB device's product string, "" when none is known
    std::string unitKey;       // the same for every LUN of one unit (host and USB device)
    int type = 0;              // SCSI peripheral device type as the kernel saw it
};

class Port {
public:
    virtual ~Port() = default;
    // Every SCSI generic node, in no particular order.
    virtual std::vector<Node> List() = 0;
    // A file descriptor of the node, or -errno.
    virtual int Open(const std::string &sgPath) = 0;
    // ioctl(SG_IO): 0, or -errno.
    virtual int Io(int fd, sg_io_hdr *hdr) = 0;
    virtual void Close(int fd) = 0;
    // Why the disk must not be written now (mounted, swap, the system), "" when it may.
    virtual std::string DiskRefusal(const Node &node) = 0;
    // Holds the disk node exclusively (O_EXCL): a descriptor, or -errno.
    virtual int HoldDisk(const Node &node) = 0;
    virtual void ReleaseDisk(int fd) = 0;
};

// The kernel's, through libudev.
Port &SystemPort();

// The port to use: a process's own qevcrdio_sg_port when it exports one, else the system's.
Port &ActivePort();

}  // namespace sg

extern "C" {
// Exported by a test program or a preloaded library to stand in for the system.
typedef sg::Port *(*QevSgPortFn)(void);
}
