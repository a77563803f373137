// FAT12/16/32 formatter for a whole card (no partition table: the file system
// starts at sector 0). The type and cluster size follow the card's size.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace fat {

enum class Type { Fat12, Fat16, Fat32 };

struct Layout {
    Type type = Type::Fat12;
    uint32_t totalSectors = 0;
    uint32_t sectorsPerCluster = 0;
    uint32_t reservedSectors = 0;
    uint32_t numFats = 2;
    uint32_t rootEntries = 0;      // FAT12/16 only
    uint32_t rootDirSectors = 0;   // FAT12/16 only
    uint32_t fatSectors = 0;       // one FAT
    uint32_t dataStart = 0;        // first sector of cluster 2
    uint32_t clusters = 0;
};

// Chooses the layout for a card of totalSectors 512-byte sectors; false (with
// a reason) when no FAT fits.
bool PlanLayout(uint32_t totalSectors, Layout *layout, std::string *why = nullptr);

// Writes count sectors at lba; false on failure.
using SectorWriter = std::function<bool(uint32_t lba, uint32_t count, const uint8_t *data)>;

struct Options {
    uint32_t volumeId = 0x12345678;
    std::string label = "NO NAME";  // up to 11 characters
    uint16_t sectorsPerTrack = 63;  // geometry hints for the boot sector
    uint16_t heads = 255;
};

// Writes boot sector(s), FATs and an empty root directory; the data area is
// left as it is. False when the layout does not fit or a write fails.
bool Format(uint32_t totalSectors, const SectorWriter &write, const Options &opt = Options(),
            std::string *why = nullptr);

}  // namespace fat
