// Finding the unit through the library: retries of an incomplete unit, mixed
// models, foreign devices, and the locks a scan leaves behind.
#include "BusFixture.h"

#include <vector>

namespace {

using vbus::Model;

std::vector<int> Range(int n)
{
    std::vector<int> v;
    for (int i = 0; i < n; ++i)
        v.push_back(i);
    return v;
}

// Lock calls recorded, as the caller's target indices, in call order.
std::vector<uint32_t> LockIndices(const vbus::Bus &b)
{
    std::vector<uint32_t> v;
    for (const auto &c : b.Calls())
        if (c.op == "lock")
            v.push_back(c.index);
    return v;
}

class UnitAccessScan : public BusTest {};

TEST_F(UnitAccessScan, CompleteUnitsNeedOneScanAndAreLocked)
{
    bus->AddUnit("u210", Model::Tvq210);
    const uint32_t scans = CountScans("u210");
    EXPECT_EQ(ScanUnit(SlotTable), 11u);
    EXPECT_EQ(ScanModel(), uint32_t(ModelTvq210));
    EXPECT_EQ(Hits("u210", scans), 1u);
    for (int i = 0; i < 11; ++i)
        EXPECT_NE(SlotTable[i].DriveLetter, 0) << "entry " << i;
    EXPECT_EQ(bus->Bus().LockedTargets("u210"), Range(11));
    std::vector<uint32_t> ascending(11);
    for (uint32_t i = 0; i < 11; ++i)
        ascending[i] = i;
    EXPECT_EQ(LockIndices(bus->Bus()), ascending);

    // A repeated scan without a release locks again.
    EXPECT_EQ(ScanUnit(SlotTable), 11u);
    EXPECT_EQ(LockIndices(bus->Bus()).size(), 22u);

    uint32_t all = 0xFF;
    EXPECT_TRUE(FreeDevicesEx(all));
    EXPECT_TRUE(bus->Bus().LockedTargets("u210").empty());
}

TEST_F(UnitAccessScan, IncompleteTvq210IsScannedTwentyTwoTimes)
{
    vbus::UnitDesc desc;
    desc.model = Model::Tvq210;
    desc.targets = 10;
    bus->AddUnit("short210", desc);
    const uint32_t scans = CountScans("short210");
    EXPECT_EQ(ScanUnit(SlotTable), 10u);
    EXPECT_EQ(ScanModel(), uint32_t(ModelTvq210));
    EXPECT_EQ(Hits("short210", scans), 22u);
    // Only the last attempt's targets are locked, once each.
    EXPECT_EQ(bus->Bus().LockedTargets("short210"), Range(10));
    EXPECT_EQ(LockIndices(bus->Bus()).size(), 10u);
}

TEST_F(UnitAccessScan, Tvq206NeedsSevenTargetsToStopRetrying)
{
    vbus::UnitDesc desc;
    desc.model = Model::Tvq206;
    desc.targets = 6;
    bus->AddUnit("u206", desc);
    const uint32_t scans = CountScans("u206");
    EXPECT_EQ(ScanUnit(SlotTable), 6u);
    EXPECT_EQ(ScanModel(), uint32_t(ModelTvq206));
    EXPECT_EQ(Hits("u206", scans), 22u);
    EXPECT_EQ(bus->Bus().LockedTargets("u206"), Range(6));

    desc.targets = 7;
    bus->Bus().UpdateUnit("u206", desc);
    EXPECT_EQ(ScanUnit(SlotTable), 7u);
    EXPECT_EQ(Hits("u206", scans), 23u);
    EXPECT_EQ(bus->Bus().LockedTargets("u206"), Range(7));
    for (int i = 7; i < 11; ++i)
        EXPECT_EQ(SlotTable[i].DriveLetter, 0) << "entry " << i;
}

TEST_F(UnitAccessScan, EnumerationThatRecoversEndsTheRetries)
{
    bus->AddUnit("slow", Model::Tvq210);
    const uint32_t scans = CountScans("slow");
    vbus::FaultRule drop;
    drop.ops = vbus::OpScan;
    drop.count = vbus::Count::Next;
    drop.n = 3;
    drop.effect = vbus::Effect::Drop;
    drop.arg = 2;
    const uint32_t dropId = bus->SetFault("slow", drop);
    EXPECT_EQ(ScanUnit(SlotTable), 11u);
    EXPECT_EQ(bus->FireCount("slow", dropId), 3u);
    EXPECT_EQ(Hits("slow", scans), 4u);
}

TEST_F(UnitAccessScan, FirstModelOnTheBusWins)
{
    bus->AddUnit("a206", Model::Tvq206);
    bus->AddUnit("b210", Model::Tvq210);
    EXPECT_EQ(ScanUnit(SlotTable), 7u);
    EXPECT_EQ(ScanModel(), uint32_t(ModelTvq206));
    EXPECT_EQ(bus->Bus().LockedTargets("a206"), Range(7));
    EXPECT_TRUE(bus->Bus().LockedTargets("b210").empty());
    for (int i = 7; i < 11; ++i)
        EXPECT_EQ(SlotTable[i].DriveLetter, 0) << "entry " << i;
}

TEST_F(UnitAccessScan, TargetsBeyondElevenAreRejected)
{
    // The slot table sits between guards: nothing may be written past entry 10.
    struct Guarded {
        uint8_t before[64];
        SlotTableType table;
        uint8_t after[64];
    } g;
    std::memset(&g, 0xA5, sizeof(g));
    std::memset(&g.table, 0, sizeof(g.table));

    bus->AddUnit("first", Model::Tvq210);
    bus->AddUnit("second", Model::Tvq210);
    const uint32_t scans = CountScans("first");
    EXPECT_EQ(ScanUnit(g.table), 11u);
    EXPECT_EQ(ScanModel(), uint32_t(ModelTvq210));
    EXPECT_EQ(ScanTargets(), 22u);  // the rejected ones are counted too
    EXPECT_EQ(Hits("first", scans), 1u);
    EXPECT_EQ(bus->Bus().LockedTargets("first"), Range(11));
    EXPECT_TRUE(bus->Bus().LockedTargets("second").empty());
    for (uint8_t b : g.before)
        ASSERT_EQ(b, 0xA5);
    for (uint8_t b : g.after)
        ASSERT_EQ(b, 0xA5);
}

TEST_F(UnitAccessScan, NoUnitMeansOneScanAndNoLocks)
{
    EXPECT_EQ(ScanUnit(SlotTable), 0u);
    EXPECT_EQ(ScanModel(), 0u);

    // Right identity behind the wrong bridge, a foreign disk behind the unit's
    // bridge, and a unit that is unplugged: none of them is a unit.
    bus->AddForeign("disk1", "QEVRA", "TVQ-210CF", "USB-BRIDGE", 11);
    bus->AddForeign("disk2", "OTHERVND", "TVQ-210CF", "TVQ-MTX", 11);
    bus->AddUnit("gone", Model::Tvq210);
    bus->Unplug("gone");
    const uint32_t scans = CountScans("disk2");
    EXPECT_EQ(ScanUnit(SlotTable), 0u);
    EXPECT_EQ(ScanModel(), 0u);
    EXPECT_EQ(Hits("disk2", scans), 1u);  // nothing accepted: no retry
    EXPECT_TRUE(LockIndices(bus->Bus()).empty());
    for (const auto &rec : SlotTable)
        EXPECT_EQ(rec.DriveLetter, 0);

    bus->Plug("gone");
    EXPECT_EQ(ScanUnit(SlotTable), 11u);
    EXPECT_EQ(bus->Bus().LockedTargets("gone"), Range(11));
}

}  // namespace
