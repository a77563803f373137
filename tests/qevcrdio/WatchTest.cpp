// A running client follows the bus when its folders are renamed, replaced or
// swapped under it: a unit folder moved aside and made anew, the bus folder
// itself, a unit's cards folder. It sees the new folder's inserts, pulls and
// unplugs, and never writes with success into a card that left.
#include "LibTestUtil.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <sys/stat.h>

using namespace tvqtest;

namespace {

std::vector<uint8_t> Sector(uint8_t b)
{
    return std::vector<uint8_t>(512, b);
}

int32_t WriteSector(uint32_t target, uint8_t b)
{
    auto s = Sector(b);
    return QevScWrite10(target, 0, 1, s.data(), 512);
}

int32_t ReadSector(uint32_t target, std::vector<uint8_t> *out)
{
    out->assign(512, 0xEE);
    return QevScRead10(target, 0, 1, out->data(), 512);
}

// The first access to a card that came in meanwhile may say so (06/28/00) once.
template <typename Call>
int32_t AfterChange(Call call)
{
    int32_t rc = call();
    return rc == QEV_E_MEDIUM_CHANGED ? call() : rc;
}

void Rename(const std::string &from, const std::string &to)
{
    ASSERT_EQ(std::rename(from.c_str(), to.c_str()), 0) << from << " -> " << to;
}

// The new unit u, as the client must see it: inserts, pulls and unplugs. No
// write after a pull or an unplug reaches the card that left.
void FollowsTheUnit(VirtualBus &bus, const std::string &what)
{
    SCOPED_TRACE(what);
    std::vector<uint8_t> got;
    EXPECT_EQ(WriteSector(1, 0x11), QEV_E_NO_MEDIUM);  // the new unit's slot is empty

    std::string image = bus.InsertBlank("u", 1, 1u << 20);
    ASSERT_EQ(AfterChange([] { return WriteSector(1, 0x22); }), 0);
    EXPECT_EQ(VirtualBus::ReadFile(image, 0, 512), Sector(0x22));

    bus.Pull("u", 1);
    EXPECT_EQ(WriteSector(1, 0x33), QEV_E_NO_MEDIUM);
    EXPECT_EQ(VirtualBus::ReadFile(image, 0, 512), Sector(0x22));

    std::string again = bus.InsertImage("u", 1, image, true);
    ASSERT_EQ(AfterChange([&] { return ReadSector(1, &got); }), 0);
    EXPECT_EQ(got, Sector(0x22));
    bus.Unplug("u");
    EXPECT_EQ(WriteSector(1, 0x44), QEV_E_NO_TARGET);
    EXPECT_EQ(VirtualBus::ReadFile(again, 0, 512), Sector(0x22));
    bus.Plug("u");
    EXPECT_EQ(AfterChange([] { return WriteSector(1, 0x55); }), 0);
    EXPECT_EQ(VirtualBus::ReadFile(again, 0, 512), Sector(0x55));
    bus.Pull("u", 1);
}

}  // namespace

TEST(Watch, AUnitFolderMovedAsideAndMadeAnew)
{
    VirtualBus bus;
    bus.AddUnit("u");
    std::string first = bus.InsertBlank("u", 1, 1u << 20);
    QevSlotRecord t[QEV_MAX_TARGETS];
    ASSERT_EQ(ScanAll(t), 11);
    ASSERT_EQ(WriteSector(1, 0x01), 0);

    // Twice: the folder watched in the first round is moved aside in the second.
    for (int round = 0; round < 2; ++round) {
        std::string aside = bus.Dir() + "/u-old" + std::to_string(round);
        std::string old = round == 0 ? aside + "/cards/" + first.substr(first.rfind('/') + 1) : "";
        Rename(bus.Dir() + "/u", aside);
        bus.AddUnit("u");
        FollowsTheUnit(bus, "round " + std::to_string(round));
        if (!old.empty()) EXPECT_EQ(VirtualBus::ReadFile(old, 0, 512), Sector(0x01));  // the old card untouched
    }
}

TEST(Watch, TheBusFolderMovedAsideAndMadeAnew)
{
    VirtualBus bus;
    bus.AddUnit("u");
    bus.InsertBlank("u", 1, 1u << 20);
    QevSlotRecord t[QEV_MAX_TARGETS];
    ASSERT_EQ(ScanAll(t), 11);
    ASSERT_EQ(WriteSector(1, 0x01), 0);

    for (int round = 0; round < 2; ++round) {
        Rename(bus.Dir(), bus.ScratchDir() + "/bus-old" + std::to_string(round));
        ASSERT_EQ(::mkdir(bus.Dir().c_str(), 0755), 0);
        bus.AddUnit("u");
        FollowsTheUnit(bus, "round " + std::to_string(round));
    }
    // Moved away and back: the same folder again, followed as well.
    Rename(bus.Dir(), bus.ScratchDir() + "/bus-away");
    EXPECT_EQ(WriteSector(1, 0x66), QEV_E_NO_TARGET);
    Rename(bus.ScratchDir() + "/bus-away", bus.Dir());
    FollowsTheUnit(bus, "moved back");
}

TEST(Watch, ACardsFolderSwapped)
{
    VirtualBus bus;
    bus.AddUnit("u");
    std::string image = bus.InsertBlank("u", 1, 1u << 20);
    QevSlotRecord t[QEV_MAX_TARGETS];
    ASSERT_EQ(ScanAll(t), 11);
    ASSERT_EQ(WriteSector(1, 0x01), 0);
    std::string cards = image.substr(0, image.rfind('/'));

    // Another folder takes the cards folder's place, with another file at the image's path.
    std::vector<uint8_t> got;
    for (uint8_t round = 0; round < 2; ++round) {
        std::string fresh = bus.ScratchDir() + "/cards-new" + std::to_string(round);
        ASSERT_EQ(::mkdir(fresh.c_str(), 0755), 0);
        std::string staged = bus.WriteFile("staged" + std::to_string(round), std::vector<uint8_t>(1u << 20, 0xA0 + round));
        Rename(staged, fresh + image.substr(image.rfind('/')));
        Rename(cards, bus.ScratchDir() + "/cards-old" + std::to_string(round));
        Rename(fresh, cards);
        ASSERT_EQ(AfterChange([&] { return ReadSector(1, &got); }), 0);
        EXPECT_EQ(got, Sector(0xA0 + round));

        // A file renamed over the image inside the new folder is the card from then on.
        std::string next = bus.WriteFile("next" + std::to_string(round), std::vector<uint8_t>(1u << 20, 0xB0 + round));
        Rename(next, image);
        ASSERT_EQ(AfterChange([&] { return ReadSector(1, &got); }), 0);
        EXPECT_EQ(got, Sector(0xB0 + round));
        ASSERT_EQ(WriteSector(1, 0xC0 + round), 0);
        EXPECT_EQ(VirtualBus::ReadFile(image, 0, 512), Sector(0xC0 + round));
    }
}
