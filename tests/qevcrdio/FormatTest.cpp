// The format call: a FAT for the card's size that fsck.fat and mtools accept.
#include "FatFormat.h"
#include "LibTestUtil.h"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace tvqtest;

namespace {

bool HaveTool(const char *name)
{
    return std::system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

int Shell(const std::string &cmd)
{
    int rc = std::system((cmd + " >/dev/null 2>&1").c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

std::string FsType(const std::string &image)
{
    auto boot = VirtualBus::ReadFile(image, 0, 512);
    if (boot.size() < 512) return "";
    std::string a(reinterpret_cast<char *>(boot.data() + 54), 5), b(reinterpret_cast<char *>(boot.data() + 82), 5);
    return a.rfind("FAT", 0) == 0 ? a : b;
}

}  // namespace

TEST(Format, LayoutsStayInsideTheirTypeForEverySize)
{
    // Every size from a floppy up to 2 TiB: the cluster count fits the type,
    // the FAT covers every cluster, and the data area stays on the card.
    std::vector<uint32_t> sizes;
    for (uint32_t s = 64; s < 70000; s += 97) sizes.push_back(s);
    for (uint64_t s = 70000; s < 0xFFFFFFFFull; s = s * 21 / 20 + 13) sizes.push_back(static_cast<uint32_t>(s));
    sizes.insert(sizes.end(), {8399u, 8400u, 32680u, 32681u, 1048575u, 1048576u, 0xFFFFFFFFu});
    for (uint32_t total : sizes) {
        fat::Layout l;
        ASSERT_TRUE(fat::PlanLayout(total, &l)) << total;
        uint32_t bits = l.type == fat::Type::Fat12 ? 12 : l.type == fat::Type::Fat16 ? 16 : 32;
        if (l.type == fat::Type::Fat12) {
            ASSERT_LE(l.clusters, 4084u) << total;
        } else if (l.type == fat::Type::Fat16) {
            ASSERT_TRUE(l.clusters >= 4085 && l.clusters <= 65524) << total;
        } else {
            ASSERT_GE(l.clusters, 65525u) << total;
        }
        ASSERT_GE(static_cast<uint64_t>(l.fatSectors) * 512 * 8, (static_cast<uint64_t>(l.clusters) + 2) * bits)
            << total;
        ASSERT_LE(static_cast<uint64_t>(l.dataStart) + static_cast<uint64_t>(l.clusters) * l.sectorsPerCluster,
                  total)
            << total;
        ASSERT_LE(l.sectorsPerCluster, 128u);
    }
    fat::Layout l;
    EXPECT_FALSE(fat::PlanLayout(4, &l));  // too small for any FAT
}

TEST(Format, FormattedCardsPassFsckAndMtools)
{
    if (!HaveTool("fsck.fat") || !HaveTool("mdir")) GTEST_SKIP() << "dosfstools or mtools missing";
    VirtualBus bus;
    bus.AddUnit("u", Model::Tvq210);
    struct Card {
        int slot;
        uint64_t bytes;
        const char *type;
    };
    std::vector<Card> cards = {{1, 1440u << 10, "FAT12"}, {2, 16u << 20, "FAT16"}, {3, 300u << 20, "FAT16"},
                               {4, 600u << 20, "FAT32"}, {5, 4200u * 512, "FAT12"}};
    for (const auto &c : cards) bus.InsertBlank("u", c.slot, c.bytes);
    QevSlotRecord t[QEV_MAX_TARGETS];
    ASSERT_EQ(ScanAll(t), 11);
    for (const auto &c : cards) {
        SCOPED_TRACE(c.type);
        std::string img = bus.CardImage("u", c.slot);
        // Old contents where the FAT goes must not survive the format.
        auto junk = Pattern(128, 4);
        ASSERT_EQ(QevScWrite10(static_cast<uint32_t>(c.slot), 0, 128, junk.data(), 512), 0);
        QevSlotRecord rec;
        std::memset(&rec, 0, sizeof rec);
        ASSERT_EQ(QevScFormat(static_cast<uint32_t>(c.slot), &rec), 0);
        EXPECT_EQ(rec.TotalSectors, c.bytes / 512);
        EXPECT_EQ(FsType(img), c.type);
        EXPECT_EQ(Shell("fsck.fat -n '" + img + "'"), 0);
        EXPECT_EQ(Shell("MTOOLS_SKIP_CHECK=1 mdir -i '" + img + "' ::"), 0);
        // The volume is usable: a file goes in and the check still passes.
        std::string file = bus.WriteFile("hello.txt", std::vector<uint8_t>(3000, 'x'));
        EXPECT_EQ(Shell("MTOOLS_SKIP_CHECK=1 mcopy -i '" + img + "' '" + file + "' ::HELLO.TXT"), 0);
        EXPECT_EQ(Shell("fsck.fat -n '" + img + "'"), 0);
    }
}

TEST(Format, VdFormatsEveryCardAndBadCasesFail)
{
    VirtualBus bus;
    bus.AddUnit("u", Model::Tvq206);
    bus.InsertBlank("u", 2, 8u << 20);
    bus.InsertBlank("u", 4, 8u << 20);
    vbus::DriveParams tiny = vbus::DefaultDriveParams(4 * 512);
    bus.InsertBlank("u", 5, 4 * 512, tiny);
    QevSlotRecord t[QEV_MAX_TARGETS];
    ASSERT_EQ(ScanAll(t), 7);
    EXPECT_EQ(QevScFormat(5, nullptr), QEV_SENSE(3, 0x31, 1));  // no FAT fits 4 sectors
    bus.Pull("u", 5);
    ASSERT_EQ(QevScFormat(0, nullptr), 0);
    EXPECT_EQ(FsType(bus.CardImage("u", 2)), "FAT16");
    EXPECT_EQ(FsType(bus.CardImage("u", 4)), "FAT16");
    if (HaveTool("fsck.fat")) {
        EXPECT_EQ(Shell("fsck.fat -n '" + bus.CardImage("u", 2) + "'"), 0);
        EXPECT_EQ(Shell("fsck.fat -n '" + bus.CardImage("u", 4) + "'"), 0);
    }
    EXPECT_EQ(QevScFormat(1, nullptr), QEV_E_NO_MEDIUM);
    EXPECT_EQ(QevScFormat(9, nullptr), QEV_E_NO_TARGET);
    // A card that claims 1024-byte sectors is not formatted with 512-byte ones.
    vbus::DriveParams odd = vbus::DefaultDriveParams(1u << 20);
    odd.sectorSize = 1024;
    bus.InsertBlank("u", 1, 1u << 20, odd);
    EXPECT_EQ(QevScFormat(1, nullptr), QEV_E_INVALID_FIELD);
}
