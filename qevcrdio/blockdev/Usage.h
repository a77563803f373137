// Who else uses a disk: a mount or swap of it or of any of its partitions,
// another device stacked on it (device mapper, RAID), or the running system.
// Read from the kernel's mount table and sysfs through libmount and libudev.
#pragma once

#include <string>
#include <vector>

namespace blockdev {

struct Usage {
    std::vector<std::string> mounts;   // "/dev/sdb1 on /media/card"
    std::vector<std::string> swaps;    // "/dev/sdb2"
    std::vector<std::string> holders;  // "sdb1 by dm-0", "sdb by loop5" (a loop device over it)
    bool system = false;               // the running system lives on it
    bool Any() const { return system || !mounts.empty() || !swaps.empty() || !holders.empty(); }
};

// The tables looked at; empty paths mean the system's own (tests give copies).
struct Tables {
    std::string mountinfo;             // default /proc/self/mountinfo
    std::string swaps;                 // default /proc/swaps
};

// Uses of the whole disk diskSysName ("sdb", "loop3") and of its partitions,
// and of every device stacked on them (holders, and loop devices whose
// backing file is one of them), all the way up: mounts and swap of any.
Usage UsageOf(const std::string &diskSysName, const Tables &tables = Tables());

// "" when nothing uses it; else why node must not be written, for the user.
std::string RefusalText(const std::string &node, const Usage &usage);

}  // namespace blockdev
