// A card in an ordinary reader (or a loop device) seen through its device
// node: what the node is, and whether a medium is in it right now. Nothing
// here opens a device for writing or blocks on a missing medium.
#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>

namespace blockdev {

// What a path names, as the kernel sees it now.
struct NodeInfo {
    std::string path;          // as the user gave it (may be a /dev/disk/by-id/ link)
    std::string node;          // the node it leads to, e.g. "/dev/sdb"
    dev_t rdev = 0;
    std::string sysName;       // "sdb", "loop3", "sdb1"
    bool partition = false;
    std::string diskSysName;   // the whole disk: sysName itself, or "sdb" for "sdb1"
    dev_t diskRdev = 0;
};

// Follows links to the node and finds its disk; false with a message for the
// user when path is missing or is no block device.
bool Resolve(const std::string &path, NodeInfo *info, std::string *why);

// The state of the medium behind a node.
struct Medium {
    enum State {
        Missing,    // no such node (reader unplugged, loop device gone)
        NoMedium,   // node there, no card (or size 0: a detached loop device)
        Present,
        Failed,     // the node cannot be looked at (no block device, no permission)
    };
    State state = Missing;
    uint64_t bytes = 0;
    uint32_t logicalBlockSize = 0;
    uint64_t diskSeq = 0;      // the kernel's count of media seen; 0 when unknown
    bool noAccess = false;     // no permission to open the node: what the kernel shows in sysfs
    std::string why;           // Failed: for the user
};

// Opens the node read-only and without waiting for a medium, and asks the kernel.
Medium Probe(const std::string &path);

// The one place a bound device's node is opened to be used (transfers, the
// bind check): open(2) with flags (O_CLOEXEC added); -1 with errno. Another
// way in to a node this user may not open belongs here.
// A node this user may not open (EACCES, EPERM) is asked of UDisks2 (see
// UDisks.h); when that fails too, errno is the own open's and OpenNodeWhy()
// says what UDisks2 answered.
int OpenNode(const std::string &path, int flags);
const std::string &OpenNodeWhy();

// Sectors of 512 bytes in a medium of that many bytes, as the drive reports them.
inline uint64_t Sectors512(uint64_t bytes)
{
    return bytes / 512;
}

}  // namespace blockdev
