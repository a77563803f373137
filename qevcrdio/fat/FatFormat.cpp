#include "FatFormat.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace fat {

namespace {

constexpr uint32_t kSector = 512;
constexpr uint32_t kMaxFat12 = 4084;
constexpr uint32_t kMaxFat16 = 65524;
constexpr uint32_t kMaxFat32 = 0x0FFFFFF4;

uint32_t Bits(Type t)
{
    return t == Type::Fat12 ? 12 : t == Type::Fat16 ? 16 : 32;
}

// Sizes the FATs for a given type and cluster size; false if nothing fits.
bool Fit(uint32_t total, Type type, uint32_t spc, Layout *l)
{
    l->type = type;
    l->totalSectors = total;
    l->sectorsPerCluster = spc;
    l->numFats = 2;
    l->reservedSectors = type == Type::Fat32 ? 32 : 1;
    l->rootEntries = type == Type::Fat32 ? 0 : (type == Type::Fat12 && total < 8400 ? 224 : 512);
    if (type == Type::Fat12 && total < 2880) l->rootEntries = 64;
    l->rootDirSectors = (l->rootEntries * 32 + kSector - 1) / kSector;
    uint64_t fatSz = 1;
    // Grows the FAT until it covers every cluster left beside it.
    for (int round = 0; round < 64; ++round) {
        uint64_t overhead = l->reservedSectors + l->numFats * fatSz + l->rootDirSectors;
        if (overhead + spc > total) return false;
        uint64_t clusters = (total - overhead) / spc;
        uint64_t need = ((clusters + 2) * Bits(type) + 8 * kSector - 1) / (8 * kSector);
        if (need <= fatSz) {
            l->fatSectors = static_cast<uint32_t>(fatSz);
            l->dataStart = static_cast<uint32_t>(overhead);
            l->clusters = static_cast<uint32_t>(clusters);
            return true;
        }
        fatSz = need;
    }
    return false;
}

bool InRange(const Layout &l)
{
    switch (l.type) {
    case Type::Fat12: return l.clusters >= 1 && l.clusters <= kMaxFat12;
    case Type::Fat16: return l.clusters > kMaxFat12 && l.clusters <= kMaxFat16;
    case Type::Fat32: return l.clusters > kMaxFat16 && l.clusters <= kMaxFat32;
    }
    return false;
}

void Put16(uint8_t *p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void Put32(uint8_t *p, uint32_t v)
{
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

bool WriteZeros(const SectorWriter &write, uint32_t lba, uint32_t count)
{
    static const std::vector<uint8_t> zero(128 * kSector, 0);
    while (count > 0) {
        uint32_t n = std::min<uint32_t>(count, 128);
        if (!write(lba, n, zero.data())) return false;
        lba += n;
        count -= n;
    }
    return true;
}

}  // namespace

bool PlanLayout(uint32_t total, Layout *layout, std::string *why)
{
    // Preferred type by size, as disks are commonly formatted.
    Type type = total < 8400 ? Type::Fat12 : total < 1048576 ? Type::Fat16 : Type::Fat32;
    uint32_t spc;
    if (type == Type::Fat12) spc = 1;
    else if (type == Type::Fat16)
        spc = total <= 32680 ? 2 : total <= 262144 ? 4 : total <= 524288 ? 8 : 16;
    else
        spc = total <= 16777216 ? 8 : total <= 33554432 ? 16 : total <= 67108864 ? 32 : 64;
    for (int guard = 0; guard < 32; ++guard) {
        Layout l;
        if (Fit(total, type, spc, &l)) {
            if (InRange(l)) {
                *layout = l;
                return true;
            }
            bool tooMany = (type == Type::Fat12 && l.clusters > kMaxFat12) ||
                           (type == Type::Fat16 && l.clusters > kMaxFat16) ||
                           (type == Type::Fat32 && l.clusters > kMaxFat32);
            if (tooMany && spc < 128) {
                spc *= 2;
                continue;
            }
            if (!tooMany && spc > 1) {
                spc /= 2;
                continue;
            }
            if (!tooMany && type != Type::Fat12) {
                // Too few clusters for this type even with the smallest cluster.
                type = type == Type::Fat32 ? Type::Fat16 : Type::Fat12;
                spc = type == Type::Fat16 ? 16 : 8;
                continue;
            }
        } else if (spc > 1) {
            spc /= 2;
            continue;
        }
        break;
    }
    if (why) *why = "no FAT layout fits " + std::to_string(total) + " sectors";
    return false;
}

bool Format(uint32_t total, const SectorWriter &write, const Options &opt, std::string *why)
{
    Layout l;
    if (!PlanLayout(total, &l, why)) return false;
    auto fail = [why](const char *what) {
        if (why) *why = what;
        return false;
    };

    std::vector<uint8_t> boot(kSector, 0);
    uint8_t *b = boot.data();
    bool f32 = l.type == Type::Fat32;
    b[0] = 0xEB;
    b[1] = f32 ? 0x58 : 0x3C;
    b[2] = 0x90;
    std::memcpy(b + 3, "QEVCRDIO", 8);
    Put16(b + 11, kSector);
    b[13] = static_cast<uint8_t>(l.sectorsPerCluster);
    Put16(b + 14, l.reservedSectors);
    b[16] = static_cast<uint8_t>(l.numFats);
    Put16(b + 17, l.rootEntries);
    Put16(b + 19, total < 65536 && !f32 ? total : 0);
    b[21] = 0xF8;
    Put16(b + 22, f32 ? 0 : l.fatSectors);
    Put16(b + 24, opt.sectorsPerTrack);
    Put16(b + 26, opt.heads);
    Put32(b + 28, 0);
    Put32(b + 32, total < 65536 && !f32 ? 0 : total);
    char label[11];
    std::memset(label, ' ', sizeof label);
    std::memcpy(label, opt.label.data(), std::min<size_t>(opt.label.size(), sizeof label));
    uint8_t *ext = b + (f32 ? 64 : 36);
    if (f32) {
        Put32(b + 36, l.fatSectors);
        Put16(b + 40, 0);
        Put16(b + 42, 0);
        Put32(b + 44, 2);  // root directory cluster
        Put16(b + 48, 1);  // FSInfo sector
        Put16(b + 50, 6);  // backup boot sector
    }
    ext[0] = 0x80;
    ext[1] = 0;
    ext[2] = 0x29;
    Put32(ext + 3, opt.volumeId);
    std::memcpy(ext + 7, label, 11);
    std::memcpy(ext + 18, l.type == Type::Fat12 ? "FAT12   " : l.type == Type::Fat16 ? "FAT16   " : "FAT32   ", 8);
    // Not bootable: the jump lands on "int 18h; jmp $".
    uint8_t *code = b + 2 + b[1];
    code[0] = 0xCD;
    code[1] = 0x18;
    code[2] = 0xEB;
    code[3] = 0xFE;
    b[510] = 0x55;
    b[511] = 0xAA;

    // Reserved area, FATs and the root directory start out zero.
    uint32_t rootSectors = f32 ? l.sectorsPerCluster : l.rootDirSectors;
    if (!WriteZeros(write, 0, l.dataStart + (f32 ? rootSectors : 0))) return fail("write failed");

    if (f32) {
        std::vector<uint8_t> info(kSector, 0);
        Put32(info.data(), 0x41615252);
        Put32(info.data() + 484, 0x61417272);
        Put32(info.data() + 488, l.clusters - 1);  // the root takes cluster 2
        Put32(info.data() + 492, 3);
        Put32(info.data() + 508, 0xAA550000);
        if (!write(1, 1, info.data()) || !write(7, 1, info.data())) return fail("write failed");
        if (!write(6, 1, boot.data())) return fail("write failed");
    }

    std::vector<uint8_t> fat0(kSector, 0);
    switch (l.type) {
    case Type::Fat12:
        fat0[0] = 0xF8, fat0[1] = 0xFF, fat0[2] = 0xFF;
        break;
    case Type::Fat16:
        Put16(fat0.data(), 0xFFF8);
        Put16(fat0.data() + 2, 0xFFFF);
        break;
    case Type::Fat32:
        Put32(fat0.data(), 0x0FFFFFF8);
        Put32(fat0.data() + 4, 0x0FFFFFFF);
        Put32(fat0.data() + 8, 0x0FFFFFFF);  // root directory: one cluster, end of chain
        break;
    }
    for (uint32_t i = 0; i < l.numFats; ++i)
        if (!write(l.reservedSectors + i * l.fatSectors, 1, fat0.data())) return fail("write failed");

    // The boot sector last: an interrupted format leaves no half-valid volume.
    if (!write(0, 1, boot.data())) return fail("write failed");
    return true;
}

}  // namespace fat
