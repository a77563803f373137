// The block devices a card can be in: card readers and other removable or
// USB disks, SD/MMC slots, and attached loop devices. Found through libudev.
#pragma once

#include "Usage.h"

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace blockdev {

struct DeviceEntry {
    std::string node;          // "/dev/sdb"
    std::string sysName;       // "sdb"
    dev_t rdev = 0;
    std::string stablePath;    // a /dev/disk/by-id/ link, "" when udev made none
    std::string kind;          // "usb", "mmc", "removable" or "loop"
    std::string model;         // vendor and model; for a loop device its backing file
    uint64_t bytes = 0;        // 0: no medium
    uint32_t logicalBlockSize = 512;
    uint64_t diskSeq = 0;
    Usage usage;
};

// In the kernel's order of names.
std::vector<DeviceEntry> ListCardDevices();

// The serial number the system knows for the whole disk sysName ("sdb",
// "mmcblk0"): an SD or MMC card's own, else the drive's as udev records it,
// else its USB device's from sysfs. "" when none is known (a loop device).
std::string DiskSerial(const std::string &sysName);

}  // namespace blockdev
