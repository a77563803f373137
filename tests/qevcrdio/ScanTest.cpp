// Scanning: bus order, the name filter, VD position, the 11-entry limit,
// incomplete enumeration, plugging and the lock record.
#include "LibTestUtil.h"

#include <gtest/gtest.h>

using namespace tvqtest;

namespace {

int g_filterCalls = 0;
int32_t CountingAcceptAll(const uint8_t *)
{
    ++g_filterCalls;
    return -1;
}

// Accepts only the TVQ-206 targets.
int32_t Only206(const uint8_t *inq)
{
    return std::memcmp(inq + 16, "TVQ-206         ", 16) == 0 ? -1 : 0;
}

}  // namespace

TEST(Scan, DevicesInNameOrderWithNameFilter)
{
    VirtualBus bus;
    // Created out of order on purpose: the bus order is the name order.
    bus.AddUnit("c-210", Model::Tvq210);
    bus.AddForeign("a-disk", "OTHERVND", "FLASHDISK", "USB-BRIDGE", 2);
    bus.AddUnit("b-206", Model::Tvq206);
    bus.AddForeign("d-cousin", "QEVRA", "TVQ-210CF", "XTVQ-MTX2", 3);  // bridge contains the filter

    QevSlotRecord t[QEV_MAX_TARGETS];
    // Units only: 7 of the TVQ-206, then 4 of the TVQ-210CF; the limit cuts the rest.
    ASSERT_EQ(ScanAll(t), 11);
    for (uint32_t i = 0; i < 7; ++i) EXPECT_EQ(ProductOf(i), "TVQ-206") << i;
    for (uint32_t i = 7; i < 11; ++i) EXPECT_EQ(ProductOf(i), "TVQ-210CF") << i;
    EXPECT_EQ(ProductOf(11), "?");  // no 12th index

    // No filter at all: the foreign disk comes first.
    ASSERT_EQ(ScanAll(t, ""), 11);
    EXPECT_EQ(ProductOf(0), "FLASHDISK");
    EXPECT_EQ(ProductOf(1), "FLASHDISK");
    EXPECT_EQ(ProductOf(2), "TVQ-206");
    ASSERT_EQ(ScanAll(t, nullptr), 11);
    EXPECT_EQ(ProductOf(0), "FLASHDISK");

    // The filter picks the TVQ-206 out of the mix; the others are not given indices.
    std::memset(t, 0, sizeof t);
    ASSERT_EQ(QevScScanEx(Only206, "TVQ-MTX", t), 7);
    for (uint32_t i = 0; i < 7; ++i) {
        EXPECT_EQ(ProductOf(i), "TVQ-206");
        EXPECT_EQ(t[i].DriveLetter, 'E' + i);
    }
    EXPECT_EQ(ProductOf(7), "?");

    // A filter naming only the cousin's bridge finds only it.
    ASSERT_EQ(ScanAll(t, "MTX2"), 3);
    uint8_t inq[36];
    ASSERT_EQ(QevScInquiry(0, 36, inq), 0);
    EXPECT_EQ(0, std::memcmp(inq + 8, "QEVRA   ", 8));
    EXPECT_EQ(ScanAll(t, "NO-SUCH-BRIDGE"), 0);
    EXPECT_EQ(QevScInquiry(0, 36, inq), QEV_E_NO_TARGET);
}

TEST(Scan, NeverMoreThanElevenEntries)
{
    VirtualBus bus;
    bus.AddUnit("u1", Model::Tvq210);
    bus.AddUnit("u2", Model::Tvq210);
    // A table with guard entries behind the 11 the library may write.
    QevSlotRecord t[16];
    std::memset(t, 0xA5, sizeof t);
    g_filterCalls = 0;
    EXPECT_EQ(QevScScanEx(CountingAcceptAll, "TVQ-MTX", t), 11);
    EXPECT_EQ(g_filterCalls, 22);  // every candidate is still offered
    const uint8_t *raw = reinterpret_cast<const uint8_t *>(&t[11]);
    for (size_t i = 0; i < 5 * sizeof(QevSlotRecord); ++i) ASSERT_EQ(raw[i], 0xA5) << "byte " << i;
    for (int i = 0; i < 11; ++i) EXPECT_EQ(t[i].DriveLetter, 'E' + i);
    // A null filter accepts all, a null table is not written.
    EXPECT_EQ(QevScScanEx(nullptr, "TVQ-MTX", nullptr), 11);
}

TEST(Scan, VdFirstOrLastAndTableContents)
{
    for (uint32_t flags : {0x0001u, 0x0201u}) {
        SCOPED_TRACE(flags);
        VirtualBus bus;
        bus.AddUnit("u", Model::Tvq210, flags);
        bus.InsertBlank("u", 1, 4u << 20);
        bus.InsertBlank("u", 3, 8u << 20);
        QevSlotRecord t[QEV_MAX_TARGETS];
        ASSERT_EQ(ScanAll(t), 11);
        bool vdLast = flags & 0x200;
        uint32_t vd = vdLast ? 10 : 0;
        auto entry = [&](int slot) { return static_cast<uint32_t>(slot - (vdLast ? 1 : 0)); };
        // The VD mirrors slot 1, the lowest slot with a card.
        EXPECT_EQ(t[vd].CardPresent, 1u);
        EXPECT_EQ(t[vd].TotalSectors, 8192u);
        EXPECT_EQ(t[entry(1)].TotalSectors, 8192u);
        EXPECT_EQ(t[entry(3)].TotalSectors, 16384u);
        EXPECT_EQ(t[entry(3)].SectorSize, 512u);
        EXPECT_EQ(t[entry(2)].CardPresent, 0u);
        EXPECT_EQ(t[entry(2)].TotalSectors, 0u);
        EXPECT_EQ(t[entry(10)].CardPresent, 0u);
        // Drive information agrees with the scan.
        QevSlotRecord r;
        EXPECT_EQ(QevScGetDriveInfo(entry(3), &r), 0);
        EXPECT_EQ(0, std::memcmp(&r, &t[entry(3)], 32));
        EXPECT_EQ(QevScGetDriveInfo(entry(2), &r), QEV_E_NO_MEDIUM);
        // Writing through slot 3's index lands in slot 3's image.
        auto data = Pattern(1, 3);
        ASSERT_EQ(QevScWrite10(entry(3), 5, 1, data.data(), 512), 0);
        EXPECT_EQ(VirtualBus::ReadFile(bus.CardImage("u", 3), 5 * 512, 512), data);
    }
}

TEST(Scan, IncompleteEnumerationForTheNextScans)
{
    VirtualBus bus;
    bus.AddUnit("u", Model::Tvq210);
    uint32_t id = bus.SetFault("u", "op=scan count=next:2 effect=drop:1");
    QevSlotRecord t[QEV_MAX_TARGETS];
    EXPECT_EQ(ScanAll(t), 10);
    EXPECT_EQ(ScanAll(t), 10);
    EXPECT_EQ(ScanAll(t), 11);
    EXPECT_EQ(bus.FireCount("u", id), 2u);

    // A rule on one slot leaves out that slot's target only: with the VD
    // first, slot 3 is target 3, and slot 4 moves up to index 3.
    bus.ClearFaults("u");
    bus.InsertBlank("u", 4, 1u << 20);
    bus.SetFault("u", "slot=3 op=scan count=next:1 effect=drop");
    ASSERT_EQ(ScanAll(t), 10);
    EXPECT_EQ(t[3].CardPresent, 1u);
    EXPECT_EQ(t[3].TotalSectors, 2048u);

    // A failing device answers no scan at all; the TVQ-206 then stands alone.
    bus.AddUnit("v", Model::Tvq206);
    bus.SetFault("u", "op=scan count=always effect=notready");
    EXPECT_EQ(ScanAll(t), 7);
    EXPECT_EQ(ProductOf(0), "TVQ-206");
}

TEST(Scan, UnpluggedUnitsAreNotFoundAndStopAnswering)
{
    VirtualBus bus;
    bus.AddUnit("u", Model::Tvq206);
    QevSlotRecord t[QEV_MAX_TARGETS];
    ASSERT_EQ(ScanAll(t), 7);
    bus.Unplug("u");
    uint8_t inq[36];
    QevSlotStatus st;
    EXPECT_EQ(QevScInquiry(0, 36, inq), QEV_E_NO_TARGET);
    EXPECT_EQ(QevScGetSlotStatus(0, &st), QEV_E_NO_TARGET);
    EXPECT_EQ(QevScEject(1), 0);
    EXPECT_EQ(ScanAll(t), 0);
    bus.Plug("u");
    EXPECT_EQ(ScanAll(t), 7);
    EXPECT_EQ(QevScInquiry(0, 36, inq), 0);
}

TEST(Scan, LockAndFreeAreRecorded)
{
    VirtualBus bus;
    bus.AddUnit("u", Model::Tvq206, 0x0201);
    QevSlotRecord t[QEV_MAX_TARGETS];
    ASSERT_EQ(ScanAll(t), 7);
    for (uint32_t i = 0; i < 7; ++i) EXPECT_EQ(QevScLock(i), 0);
    EXPECT_EQ(QevScLock(7), QEV_E_NO_TARGET);
    EXPECT_EQ(bus.Bus().LockedTargets("u"), (std::vector<int>{0, 1, 2, 3, 4, 5, 6}));
    EXPECT_NE(QevScFreeEx(2), 0);
    EXPECT_EQ(bus.Bus().LockedTargets("u"), (std::vector<int>{0, 1, 3, 4, 5, 6}));
    EXPECT_NE(QevScFreeEx(0xFF), 0);
    EXPECT_TRUE(bus.Bus().LockedTargets("u").empty());
    EXPECT_EQ(QevScLock(6), 0);
    EXPECT_NE(QevScFree(), 0);
    EXPECT_TRUE(bus.Bus().LockedTargets("u").empty());
    EXPECT_EQ(QevScFreeEx(40), 0);
    auto calls = bus.Bus().Calls();
    ASSERT_EQ(calls.size(), 11u);
    EXPECT_EQ(calls[0].op, "lock");
    EXPECT_EQ(calls[0].unit, "u");
    EXPECT_EQ(calls[7].op, "freeex");
    EXPECT_EQ(calls[7].target, 2);
    EXPECT_EQ(calls[10].op, "free");
    // A failing lock is reported and not recorded.
    bus.SetFault("u", "op=lock effect=notready");
    EXPECT_EQ(QevScLock(0), QEV_E_BECOMING_READY);
    EXPECT_EQ(bus.Bus().Calls().size(), 11u);

    uint32_t major = 0, minor = 99;
    EXPECT_NE(QevScGetVersion(&major, &minor), 0);
    EXPECT_EQ(major, 1u);
    EXPECT_EQ(minor, 0u);
}

TEST(Scan, EntriesPastTheLastTargetFoundAreZero)
{
    VirtualBus bus;
    bus.AddUnit("u", Model::Tvq210);
    bus.InsertBlank("u", 9, 1u << 20);
    bus.InsertBlank("u", 10, 1u << 20);
    QevSlotRecord t[QEV_MAX_TARGETS];
    ASSERT_EQ(ScanAll(t), 11);
    ASSERT_EQ(t[10].CardPresent, 1u);
    // A retry that finds fewer targets, into the same table without clearing it
    // between: nothing of the earlier scan is left past its last entry.
    bus.SetFault("u", "op=scan count=next:1 effect=drop:3");
    ASSERT_EQ(QevScScanEx(AcceptAll, "TVQ-MTX", t), 8);
    const QevSlotRecord zero{};
    for (int i = 8; i < QEV_MAX_TARGETS; ++i)
        EXPECT_EQ(std::memcmp(&t[i], &zero, sizeof zero), 0) << "entry " << i;
    // And with nothing found at all, every entry.
    ASSERT_EQ(ScanAll(t), 11);
    bus.SetFault("u", "op=scan count=next:1 effect=notready");
    ASSERT_EQ(QevScScanEx(AcceptAll, "TVQ-MTX", t), 0);
    for (int i = 0; i < QEV_MAX_TARGETS; ++i)
        EXPECT_EQ(std::memcmp(&t[i], &zero, sizeof zero), 0) << "entry " << i;
}
