// The thin operations through the library: their result senses, and that the
// bytes land where they should.
#include "BusFixture.h"

#include <numeric>
#include <vector>

namespace {

using vbus::Model;

class UnitAccessOps : public BusTest {
protected:
    // A TVQ-210CF with the VD first: target s is slot s.
    void SetUp() override
    {
        BusTest::SetUp();
        bus->AddUnit("u", Model::Tvq210, 0x0001);
    }
    void Scan()
    {
        DeviceCount = ScanUnit(SlotTable);
        ASSERT_EQ(DeviceCount, 11u);
    }
    static std::vector<uint8_t> Pattern(size_t bytes, uint8_t seed)
    {
        std::vector<uint8_t> v(bytes);
        for (size_t i = 0; i < bytes; ++i)
            v[i] = uint8_t(seed + i * 7 + (i >> 9));
        return v;
    }
};

TEST_F(UnitAccessOps, DriveInfoOfFullAndEmptySlots)
{
    vbus::DriveParams p;
    p.cylinders = 123;
    p.heads = 4;
    p.sectorsPerTrack = 32;
    p.totalSectors = 123 * 4 * 32;
    p.accessTiming = 150;
    bus->InsertBlank("u", 2, uint64_t(p.totalSectors) * 512, p);
    Scan();

    SlotRecord rec = {};
    ASSERT_TRUE(ReadDriveInfo(2, rec));
    EXPECT_NE(rec.CardPresent, 0u);
    EXPECT_EQ(rec.Cylinders, 123u);
    EXPECT_EQ(rec.Heads, 4u);
    EXPECT_EQ(rec.TotalSectors, p.totalSectors);
    EXPECT_EQ(rec.SectorsPerTrack, 32u);
    EXPECT_EQ(rec.SectorSize, 512u);
    EXPECT_EQ(rec.AccessTiming, 150u);

    // An empty slot answers "medium not present": no error, zero parameters.
    SlotRecord empty;
    std::memset(&empty, 0x5A, sizeof(empty));
    ASSERT_TRUE(ReadDriveInfo(3, empty));
    EXPECT_EQ(empty.CardPresent, 0u);
    EXPECT_EQ(empty.Heads, 0u);

    // Any other failure is one, and leaves the record as it was.
    Fail("u", vbus::OpDriveInfo);
    SlotRecord kept = rec;
    EXPECT_FALSE(ReadDriveInfo(2, kept));
    EXPECT_EQ(std::memcmp(&kept, &rec, sizeof(rec)), 0);
    // An index the scan never gave is refused.
    EXPECT_FALSE(ReadDriveInfo(11, kept));
}

TEST_F(UnitAccessOps, SlotStatusAndTargetIdentity)
{
    bus->InsertBlank("u", 2, 1 << 20);
    bus->InsertBlank("u", 5, 1 << 20);
    Scan();

    SlotStatusBlockType status = {};
    ASSERT_TRUE(ReadSlotStatus(status));
    EXPECT_EQ(status.CardMask, (1u << 1) | (1u << 4));
    EXPECT_EQ(status.VdTarget, 1u);  // the lowest slot holding a card, from 0

    uint32_t target = 0, kind = ModelTvq210;
    EXPECT_TRUE(CheckTargetIdentity(target, kind));
    uint32_t other = ModelTvq206, none = ModelNone;
    EXPECT_FALSE(CheckTargetIdentity(target, other));
    EXPECT_TRUE(CheckTargetIdentity(target, none));

    Fail("u", vbus::OpSlotStatus);
    SlotStatusBlockType kept = status;
    EXPECT_FALSE(ReadSlotStatus(kept));
    EXPECT_EQ(std::memcmp(&kept, &status, sizeof(status)), 0);

    // Pulled out: target 0 no longer answers as the unit.
    bus->Unplug("u");
    EXPECT_FALSE(CheckTargetIdentity(target, kind));
    EXPECT_FALSE(CheckTargetIdentity(target, none));
}

TEST_F(UnitAccessOps, SectorsGoToTheSlotAndTheVdWritesToAll)
{
    const std::string img2 = bus->InsertBlank("u", 2, 1 << 20);
    const std::string img4 = bus->InsertBlank("u", 4, 1 << 20);
    Scan();

    const auto data = Pattern(kTransferBufferSize, 3);
    uint32_t slot2 = 2;
    ASSERT_TRUE(WriteSectors(slot2, 0x100, 128, const_cast<uint8_t *>(data.data()), 512));
    EXPECT_EQ(tvqtest::VirtualBus::ReadFile(img2, 0x100 * 512, data.size()), data);
    EXPECT_EQ(tvqtest::VirtualBus::ReadFile(img2, 0xFF * 512, 512), std::vector<uint8_t>(512, 0));
    EXPECT_EQ(tvqtest::VirtualBus::ReadFile(img2, 0x180 * 512, 512), std::vector<uint8_t>(512, 0));
    EXPECT_EQ(tvqtest::VirtualBus::ReadFile(img4, 0x100 * 512, 512), std::vector<uint8_t>(512, 0));

    std::vector<uint8_t> back(kTransferBufferSize);
    ASSERT_TRUE(ReadSectors(slot2, 0x100, 128, back.data(), 512));
    EXPECT_EQ(back, data);

    // Past the end of the card: a failure, not a short success.
    const uint32_t last = (1u << 20) / 512;
    EXPECT_FALSE(ReadSectors(slot2, last - 1, 2, back.data(), 512));
    EXPECT_FALSE(WriteSectors(slot2, last, 1, back.data(), 512));

    // Through the VD the write reaches every card.
    const auto vdData = Pattern(4 * 512, 99);
    uint32_t vd = 0;
    ASSERT_TRUE(WriteSectors(vd, 8, 4, const_cast<uint8_t *>(vdData.data()), 512));
    EXPECT_EQ(tvqtest::VirtualBus::ReadFile(img2, 8 * 512, vdData.size()), vdData);
    EXPECT_EQ(tvqtest::VirtualBus::ReadFile(img4, 8 * 512, vdData.size()), vdData);

    // A read error reaches the caller as a failure.
    vbus::FaultRule bad;
    bad.slot = 2;
    bad.ops = vbus::OpRead;
    bad.lbaFirst = 0x10;
    bad.lbaLast = 0x10;
    const uint32_t id = bus->SetFault("u", bad);
    EXPECT_TRUE(ReadSectors(slot2, 0, 0x10, back.data(), 512));
    EXPECT_FALSE(ReadSectors(slot2, 0x08, 0x10, back.data(), 512));
    EXPECT_EQ(bus->FireCount("u", id), 1u);
}

TEST_F(UnitAccessOps, EjectFormatAndFree)
{
    const std::string img = bus->InsertBlank("u", 3, 8 << 20);
    Scan();

    uint32_t target = 3;
    ASSERT_TRUE(ReadDriveInfo(target, SlotTable[3]));
    ASSERT_TRUE(FormatCard(target, SlotTable[3]));
    const auto boot = tvqtest::VirtualBus::ReadFile(img, 0, 512);
    ASSERT_EQ(boot.size(), 512u);
    EXPECT_EQ(boot[510], 0x55);
    EXPECT_EQ(boot[511], 0xAA);

    uint32_t empty = 4;
    SlotRecord rec = {};
    EXPECT_FALSE(FormatCard(empty, rec));

    ASSERT_TRUE(EjectCard(target));
    EXPECT_FALSE(bus->Bus().HasCard("u", 3));
    // The image outlives the eject, formatted as it was.
    EXPECT_EQ(tvqtest::VirtualBus::ReadFile(img, 0, 512), boot);
    EXPECT_FALSE(EjectCard(target));

    EXPECT_TRUE(FreeDevices());
    EXPECT_TRUE(bus->Bus().LockedTargets("u").empty());
    bool sawFree = false;
    for (const auto &c : bus->Bus().Calls())
        sawFree = sawFree || c.op == "free";
    EXPECT_TRUE(sawFree);
}

}  // namespace
