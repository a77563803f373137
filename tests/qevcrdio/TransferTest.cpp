// READ(10)/WRITE(10) on slots and the VD, eject, and descriptions or images
// that go bad under the library.
#include "LibTestUtil.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

using namespace tvqtest;
namespace fs = std::filesystem;

namespace {

// A TVQ-210CF with the VD first: target 0 is the VD, target s is slot s.
struct Unit210 {
    VirtualBus bus;
    QevSlotRecord t[QEV_MAX_TARGETS];
    explicit Unit210(std::initializer_list<std::pair<int, uint64_t>> cards)
    {
        bus.AddUnit("u", Model::Tvq210);
        for (auto &c : cards) bus.InsertBlank("u", c.first, c.second);
        EXPECT_EQ(ScanAll(t), 11);
    }
    std::vector<uint8_t> Image(int slot, uint64_t lba, uint32_t n)
    {
        return VirtualBus::ReadFile(bus.CardImage("u", slot), lba * 512, n * 512);
    }
};

}  // namespace

TEST(Transfer, SlotReadWriteAndArgumentChecks)
{
    Unit210 u({{2, 1u << 20}});
    auto data = Pattern(128, 1);
    ASSERT_EQ(QevScWrite10(2, 100, 128, data.data(), 512), 0);
    EXPECT_EQ(u.Image(2, 100, 128), data);
    EXPECT_EQ(u.Image(2, 99, 1), std::vector<uint8_t>(512, 0));   // neighbours untouched
    EXPECT_EQ(u.Image(2, 228, 1), std::vector<uint8_t>(512, 0));
    std::vector<uint8_t> back(128 * 512);
    ASSERT_EQ(QevScRead10(2, 100, 128, back.data(), 512), 0);
    EXPECT_EQ(back, data);
    // The last sector is reachable, one past it is not (no wrap-around either).
    ASSERT_EQ(QevScRead10(2, 2047, 1, back.data(), 512), 0);
    EXPECT_EQ(QevScRead10(2, 2047, 2, back.data(), 512), QEV_E_LBA_RANGE);
    EXPECT_EQ(QevScWrite10(2, 2048, 1, data.data(), 512), QEV_E_LBA_RANGE);
    EXPECT_EQ(QevScRead10(2, 0xFFFFFFFFu, 2, back.data(), 512), QEV_E_LBA_RANGE);
    EXPECT_EQ(fs::file_size(u.bus.CardImage("u", 2)), 1u << 20);
    // 1..65535 sectors of 512 bytes, a real buffer; the whole card in one call each way.
    auto whole = Pattern(2048, 21);
    ASSERT_EQ(QevScWrite10(2, 0, 2048, whole.data(), 512), 0);
    EXPECT_EQ(u.Image(2, 0, 2048), whole);
    std::vector<uint8_t> all(2048 * 512);
    ASSERT_EQ(QevScRead10(2, 0, 2048, all.data(), 512), 0);
    EXPECT_EQ(all, whole);
    EXPECT_EQ(QevScRead10(2, 1, 2048, all.data(), 512), QEV_E_LBA_RANGE);
    EXPECT_EQ(QevScRead10(2, 0, 0, back.data(), 512), QEV_E_INVALID_FIELD);
    EXPECT_EQ(QevScRead10(2, 0, 65536, all.data(), 512), QEV_E_INVALID_FIELD);
    EXPECT_EQ(QevScRead10(2, 0, 1, back.data(), 1024), QEV_E_INVALID_FIELD);
    EXPECT_EQ(QevScRead10(2, 0, 1, nullptr, 512), QEV_E_INVALID_FIELD);
    EXPECT_EQ(QevScWrite10(2, 0, 1, nullptr, 512), QEV_E_INVALID_FIELD);
    // Empty slot, unknown target.
    EXPECT_EQ(QevScRead10(3, 0, 1, back.data(), 512), QEV_E_NO_MEDIUM);
    EXPECT_EQ(QevScWrite10(3, 0, 1, data.data(), 512), QEV_E_NO_MEDIUM);
    EXPECT_EQ(QevScRead10(11, 0, 1, back.data(), 512), QEV_E_NO_TARGET);
}

TEST(Transfer, VdReadsTheMirroredCardAndWritesEveryCard)
{
    Unit210 u({{3, 1u << 20}, {5, 1u << 20}, {9, 2u << 20}});
    auto three = Pattern(4, 3), five = Pattern(4, 5);
    ASSERT_EQ(QevScWrite10(3, 10, 4, three.data(), 512), 0);
    ASSERT_EQ(QevScWrite10(5, 10, 4, five.data(), 512), 0);
    std::vector<uint8_t> back(4 * 512);
    ASSERT_EQ(QevScRead10(0, 10, 4, back.data(), 512), 0);
    EXPECT_EQ(back, three);  // slot 3 is the lowest with a card

    // A VD write duplicates onto every card.
    auto dup = Pattern(8, 7);
    ASSERT_EQ(QevScWrite10(0, 40, 8, dup.data(), 512), 0);
    for (int s : {3, 5, 9}) EXPECT_EQ(u.Image(s, 40, 8), dup) << "slot " << s;

    // Beyond the smallest card the whole write is refused, nothing lands anywhere.
    ASSERT_EQ(QevScWrite10(0, 2048, 1, dup.data(), 512), QEV_E_LBA_RANGE);
    EXPECT_EQ(u.Image(9, 2048, 1), std::vector<uint8_t>(512, 0));

    // The VD follows the cards: with slot 3 pulled it mirrors slot 5, another
    // medium, which its first read says once.
    u.bus.Pull("u", 3);
    EXPECT_EQ(QevScRead10(0, 10, 4, back.data(), 512), QEV_E_MEDIUM_CHANGED);
    ASSERT_EQ(QevScRead10(0, 10, 4, back.data(), 512), 0);
    EXPECT_EQ(back, five);
    u.bus.Pull("u", 5);
    u.bus.Pull("u", 9);
    EXPECT_EQ(QevScRead10(0, 10, 4, back.data(), 512), QEV_E_NO_MEDIUM);
    EXPECT_EQ(QevScWrite10(0, 10, 4, back.data(), 512), QEV_E_NO_MEDIUM);
}

TEST(Transfer, EjectKeepsEveryByte)
{
    Unit210 u({{1, 1u << 20}, {4, 1u << 20}});
    auto data = Pattern(128, 11);
    for (uint32_t lba = 0; lba < 2048; lba += 128) ASSERT_EQ(QevScWrite10(4, lba, 128, data.data(), 512), 0);
    std::string image = u.bus.CardImage("u", 4);
    auto before = VirtualBus::ReadFile(image);
    ASSERT_EQ(before.size(), 1u << 20);

    EXPECT_NE(QevScEject(4), 0);
    EXPECT_FALSE(u.bus.Bus().HasCard("u", 4));
    EXPECT_EQ(VirtualBus::ReadFile(image), before);
    QevSlotStatus st;
    ASSERT_EQ(QevScGetSlotStatus(0, &st), 0);
    EXPECT_EQ(st.CardMask, 1u);
    std::vector<uint8_t> back(512);
    EXPECT_EQ(QevScRead10(4, 0, 1, back.data(), 512), QEV_E_NO_MEDIUM);
    EXPECT_EQ(QevScEject(4), 0);  // nothing left to eject

    // The same image can go back in, as it was; the first read says a card came.
    u.bus.InsertImage("u", 6, image, true);
    EXPECT_EQ(QevScRead10(6, 128, 1, back.data(), 512), QEV_E_MEDIUM_CHANGED);
    ASSERT_EQ(QevScRead10(6, 128, 1, back.data(), 512), 0);
    EXPECT_EQ(0, std::memcmp(back.data(), data.data(), 512));

    // Ejecting the VD takes out the card it mirrors (slot 1) and nothing else.
    std::string one = u.bus.CardImage("u", 1);
    EXPECT_NE(QevScEject(0), 0);
    EXPECT_FALSE(u.bus.Bus().HasCard("u", 1));
    EXPECT_TRUE(u.bus.Bus().HasCard("u", 6));
    EXPECT_TRUE(fs::exists(one));
    EXPECT_EQ(QevScEject(11), 0);
}

TEST(Transfer, CopiedAndInPlaceImages)
{
    VirtualBus bus;
    bus.AddUnit("u", Model::Tvq206);
    auto src = Pattern(64, 21);
    std::string copied = bus.WriteFile("copied.bin", src);
    std::string inPlace = bus.WriteFile("inplace.bin", src);
    std::string a = bus.InsertImage("u", 1, copied);
    std::string b = bus.InsertImage("u", 2, inPlace, true);
    EXPECT_NE(a, copied);
    EXPECT_EQ(fs::canonical(b), fs::canonical(inPlace));
    QevSlotRecord t[QEV_MAX_TARGETS];
    ASSERT_EQ(ScanAll(t), 7);
    EXPECT_EQ(t[1].TotalSectors, 64u);
    std::vector<uint8_t> back(64 * 512);
    ASSERT_EQ(QevScRead10(1, 0, 64, back.data(), 512), 0);
    EXPECT_EQ(back, src);
    auto z = std::vector<uint8_t>(512, 0x5A);
    ASSERT_EQ(QevScWrite10(1, 0, 1, z.data(), 512), 0);
    ASSERT_EQ(QevScWrite10(2, 0, 1, z.data(), 512), 0);
    EXPECT_EQ(VirtualBus::ReadFile(copied), src);             // the source of a copy stays as it was
    EXPECT_EQ(VirtualBus::ReadFile(inPlace, 0, 512), z);      // an image in place is the card
}

TEST(Transfer, BadDescriptionsAndImagesNeverCrash)
{
    VirtualBus bus;
    bus.AddUnit("u", Model::Tvq210);
    bus.AddUnit("v", Model::Tvq206);
    std::string img = bus.InsertBlank("u", 1, 1u << 20);
    bus.InsertBlank("u", 2, 1u << 20);
    std::string gone = bus.InsertImage("u", 3, bus.WriteFile("gone.bin", Pattern(16, 1)), true);
    QevSlotRecord t[QEV_MAX_TARGETS];
    ASSERT_EQ(ScanAll(t), 11);
    std::vector<uint8_t> buf(128 * 512);

    // A truncated image: what is left reads, the lost part fails, nothing grows it back.
    ASSERT_EQ(::truncate(img.c_str(), 1000 * 512 + 100), 0);
    EXPECT_EQ(QevScRead10(1, 0, 128, buf.data(), 512), 0);
    EXPECT_EQ(QevScRead10(1, 990, 128, buf.data(), 512), QEV_E_HARDWARE);
    EXPECT_EQ(QevScWrite10(1, 1000, 1, buf.data(), 512), QEV_E_HARDWARE);
    EXPECT_EQ(fs::file_size(img), 1000u * 512 + 100);
    EXPECT_EQ(QevScFormat(1, nullptr), QEV_E_HARDWARE);

    // A card file that is gone: the slot reads as empty.
    fs::remove(gone);
    QevSlotStatus st;
    ASSERT_EQ(QevScGetSlotStatus(0, &st), 0);
    EXPECT_EQ(st.CardMask, 0x3u);
    QevSlotRecord r;
    EXPECT_EQ(QevScGetDriveInfo(3, &r), QEV_E_NO_MEDIUM);
    EXPECT_EQ(QevScRead10(3, 0, 1, buf.data(), 512), QEV_E_NO_MEDIUM);
    EXPECT_EQ(QevScEject(3), 0);

    // A malformed card description: that slot is empty, the others work on.
    std::string unitToml = bus.Dir() + "/u/unit.toml";
    {
        std::string text = VirtualBus::ReadText(unitToml);
        size_t at = text.find("[slot.2]");
        ASSERT_NE(at, std::string::npos);
        size_t heads = text.find("heads = ", at);
        text.replace(heads, text.find('\n', heads) - heads, "heads = \"lots\"");
        std::ofstream(unitToml) << text;
    }
    EXPECT_EQ(QevScGetDriveInfo(2, &r), QEV_E_NO_MEDIUM);
    ASSERT_EQ(QevScGetSlotStatus(0, &st), 0);
    EXPECT_EQ(st.CardMask, 0x1u);

    // A malformed unit description: the unit stops answering and is not found; its neighbour is.
    std::string unitIni = unitToml;
    {
        std::ofstream f(unitIni, std::ios::binary);
        f << "[unit]\nmodel = TVQ-999\n" << std::string("\0\xff\x01garbage", 10) << "\n[[[\n";
    }
    EXPECT_EQ(QevScRead10(1, 0, 1, buf.data(), 512), QEV_E_NO_TARGET);
    EXPECT_EQ(QevScGetSlotStatus(0, &st), QEV_E_NO_TARGET);
    EXPECT_EQ(ScanAll(t), 7);
    EXPECT_EQ(ProductOf(0), "TVQ-206");
    // Empty, missing and directory-shaped descriptions too.
    { std::ofstream(unitIni, std::ios::trunc); }
    EXPECT_EQ(ScanAll(t), 7);
    fs::remove(unitIni);
    fs::create_directory(unitIni);
    EXPECT_EQ(ScanAll(t), 7);
    fs::create_directory(bus.Dir() + "/a-not-a-unit");
    { std::ofstream(bus.Dir() + "/stray-file") << "x"; }
    EXPECT_EQ(ScanAll(t), 7);
    EXPECT_EQ(ProductOf(0), "TVQ-206");
}

TEST(Transfer, ImageReplacedUnderTheLibrary)
{
    Unit210 u({{1, 64 * 512}});
    std::string img = u.bus.CardImage("u", 1);
    std::vector<uint8_t> buf(512);
    ASSERT_EQ(QevScRead10(1, 0, 1, buf.data(), 512), 0);  // the file is open now
    // A new file renamed over the old one is what the library reads next.
    std::string other = u.bus.WriteFile("new.img", Pattern(64, 9));
    fs::rename(other, img);
    ASSERT_EQ(QevScRead10(1, 0, 1, buf.data(), 512), 0);
    auto fresh = Pattern(64, 9);
    EXPECT_EQ(buf, std::vector<uint8_t>(fresh.begin(), fresh.begin() + 512));
}

TEST(Transfer, ACardSwappedBetweenTwoCallsIsToldOnce)
{
    Unit210 u({{1, 1u << 20}, {2, 1u << 20}});
    auto data = Pattern(8, 21);
    ASSERT_EQ(QevScWrite10(1, 0, 8, data.data(), 512), 0);
    std::vector<uint8_t> back(8 * 512);

    // Pulled and another inserted, nobody looked: the first transfer on it
    // says so and moves nothing; the next one goes ahead on the new card.
    u.bus.Pull("u", 1);
    u.bus.InsertBlank("u", 1, 1u << 20);
    EXPECT_EQ(QevScWrite10(1, 0, 8, data.data(), 512), QEV_E_MEDIUM_CHANGED);
    EXPECT_EQ(u.Image(1, 0, 8), std::vector<uint8_t>(8 * 512, 0));
    ASSERT_EQ(QevScRead10(1, 0, 8, back.data(), 512), 0);
    EXPECT_EQ(back, std::vector<uint8_t>(8 * 512, 0));
    ASSERT_EQ(QevScWrite10(1, 0, 8, data.data(), 512), 0);

    // The VD mirrors slot 1: another card there is another medium to it too.
    u.bus.Pull("u", 1);
    u.bus.InsertBlank("u", 1, 1u << 20);
    EXPECT_EQ(QevScRead10(0, 0, 8, back.data(), 512), QEV_E_MEDIUM_CHANGED);
    ASSERT_EQ(QevScRead10(0, 0, 8, back.data(), 512), 0);
    EXPECT_EQ(QevScRead10(1, 0, 8, back.data(), 512), 0);  // told already, through the VD read

    // A look at the slot status or the drive information takes note of the new
    // card, as a client that polls does: its first transfer then goes ahead.
    u.bus.Pull("u", 2);
    u.bus.InsertBlank("u", 2, 1u << 20);
    QevSlotStatus st{};
    ASSERT_EQ(QevScGetSlotStatus(0, &st), 0);
    EXPECT_EQ(QevScRead10(2, 0, 8, back.data(), 512), 0);
    u.bus.Pull("u", 2);
    u.bus.InsertBlank("u", 2, 1u << 20);
    QevSlotRecord rec{};
    ASSERT_EQ(QevScGetDriveInfo(2, &rec), 0);
    EXPECT_EQ(QevScWrite10(2, 0, 8, data.data(), 512), 0);

    // A slot seen empty, then a card in it: news to the first transfer.
    u.bus.Pull("u", 2);
    ASSERT_EQ(QevScGetSlotStatus(0, &st), 0);
    u.bus.InsertBlank("u", 2, 1u << 20);
    EXPECT_EQ(QevScRead10(2, 0, 8, back.data(), 512), QEV_E_MEDIUM_CHANGED);
    EXPECT_EQ(QevScRead10(2, 0, 8, back.data(), 512), 0);

    // The same card after an unplug and plug is no news.
    u.bus.Bus().Unplug("u");
    u.bus.Bus().Plug("u");
    EXPECT_EQ(QevScRead10(2, 0, 8, back.data(), 512), 0);

    // The operator's own image file, taken out and put in again: the same file, another card.
    u.bus.Pull("u", 2);
    const std::string own = u.bus.WriteFile("own.img", std::vector<uint8_t>(1u << 20, 0));
    u.bus.InsertImage("u", 2, own, true);
    ASSERT_EQ(QevScGetSlotStatus(0, &st), 0);
    ASSERT_EQ(QevScRead10(2, 0, 8, back.data(), 512), 0);
    u.bus.Pull("u", 2);
    u.bus.InsertImage("u", 2, own, true);
    EXPECT_EQ(QevScWrite10(2, 0, 8, data.data(), 512), QEV_E_MEDIUM_CHANGED);
    EXPECT_EQ(VirtualBus::ReadFile(own, 0, 8 * 512), std::vector<uint8_t>(8 * 512, 0));
    EXPECT_EQ(QevScWrite10(2, 0, 8, data.data(), 512), 0);
}
