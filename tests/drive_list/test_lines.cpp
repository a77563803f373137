// Text lines of the drive list, straight from the slot table.
#include "CardInfo.h"
#include "QStringPrint.h"
#include "UnitState.h"

#include <QLocale>
#include <cstring>
#include <gtest/gtest.h>

namespace {

void SetUnit(uint32_t model, uint32_t count, uint32_t vdAtEnd, uint32_t trueIde)
{
    std::memset(SlotTable, 0, sizeof SlotTable);
    ModelKind = model;
    DeviceCount = count;
    VdAtEnd = vdAtEnd;
    VdIndex = vdAtEnd ? count - 1 : 0;
    MasterSlotIndex = vdAtEnd ? 0 : 1;
    TrueIdeMode = trueIde;
}

SlotRecord Card(uint32_t cyl, uint32_t heads, uint32_t spt, uint32_t total, uint32_t timing, uint32_t wait,
                uint32_t sectorSize = 512)
{
    SlotRecord r{};
    r.CardPresent = 1;
    r.Cylinders = cyl;
    r.Heads = heads;
    r.SectorsPerTrack = spt;
    r.TotalSectors = total;
    r.SectorSize = sectorSize;
    r.AccessTiming = timing;
    r.WaitCheck = wait;
    r.DriveLetter = 'E';
    return r;
}

class CardInfoLines : public ::testing::Test {
protected:
    void SetUp() override { QLocale::setDefault(QLocale::c()); }
};

TEST_F(CardInfoLines, NearlyTwoGigabyteCardOnTheTenSlotUnit)
{
    SetUnit(ModelTvq210, 11, 0, 0);
    // 3970 x 16 x 63 sectors: 1.908 times 2^30 bytes.
    SlotTable[1] = Card(3970, 16, 63, 4001760, 120, 0);
    const QString line = GetCardInfoLine(true, 1);
    EXPECT_EQ(line, QStringLiteral("Slot 1 :   1.9GB  4001760  3970    16    63  512  120ns    NO "));
    EXPECT_EQ(line.size(), 62);
    EXPECT_EQ(line.size(), GetCardInfoHeader().size());

    // Slot 10 has no blank before its number; the VD-at-end layout reads entry n - 1.
    SetUnit(ModelTvq210, 11, 1, 0);
    SlotTable[9] = Card(3970, 16, 63, 4001760, 120, 1);
    EXPECT_EQ(GetCardInfoLine(true, 10), QStringLiteral("Slot10 :   1.9GB  4001760  3970    16    63  512  120ns    YES"));
}

TEST_F(CardInfoLines, HeaderFollowsTheInterfaceMode)
{
    SetUnit(ModelTvq210, 11, 0, 0);
    const QString ata = GetCardInfoHeader();
    EXPECT_EQ(ata, QStringLiteral("        Capacity  Sector Cylinder Head  S/T  B/S  Speed  -WAIT"));
    // The header's words sit over their columns (positions counted from 1).
    EXPECT_EQ(ata.indexOf(QStringLiteral("Capacity")), 8);
    EXPECT_EQ(ata.indexOf(QStringLiteral("Sector")), 18);
    EXPECT_EQ(ata.indexOf(QStringLiteral("-WAIT")), 57);

    SetUnit(ModelTvq210, 11, 0, 1);
    EXPECT_EQ(GetCardInfoHeader(), QStringLiteral("        Capacity  Sector Cylinder Head  S/T  B/S  Mode   IORDY"));
    // Only the low three bits of the timing give the PIO mode; 12 is PIO-4.
    SlotTable[2] = Card(489, 8, 32, 125184, 12, 1);
    const QString line = GetCardInfoLine(true, 2);
    EXPECT_EQ(line, QStringLiteral("Slot 2 :  61.1MB   125184   489     8    32  512  PIO-4    YES"));
    EXPECT_EQ(line.mid(49, 10), QStringLiteral(" PIO-4    "));
}

TEST_F(CardInfoLines, SixSlotUnitLabels)
{
    SetUnit(ModelTvq206, 7, 0, 0);
    SlotTable[1] = Card(980, 16, 32, 501760, 250, 1);
    SlotTable[2] = Card(980, 16, 32, 501760, 250, 1);
    EXPECT_TRUE(GetCardInfoLine(true, 1).startsWith(QStringLiteral("Slot M : ")));
    EXPECT_TRUE(GetCardInfoLine(true, 2).startsWith(QStringLiteral("Slot 1 : ")));
    EXPECT_EQ(GetCardInfoLine(false, 6), QStringLiteral("Slot 5 : ") + QString(53, QLatin1Char(' ')));
    EXPECT_EQ(GetCardInfoLine(false, 1).size(), 62);

    // An unknown model has no label at all.
    SetUnit(ModelNone, 11, 0, 0);
    EXPECT_EQ(GetCardInfoLine(false, 1), QString(53, QLatin1Char(' ')));
}

TEST_F(CardInfoLines, CapacityColumn)
{
    SetUnit(ModelTvq210, 11, 0, 0);
    auto capacity = [](uint32_t sectors, uint32_t size) {
        SlotTable[3] = Card(1, 1, 1, sectors, 250, 0, size);
        return GetCardInfoLine(true, 3).mid(9, 7);
    };
    EXPECT_EQ(capacity(2048, 512), QStringLiteral("  1.0MB"));
    EXPECT_EQ(capacity(1, 512), QStringLiteral("       "));   // below 1 KB: blanks only
    EXPECT_EQ(capacity(2, 512), QStringLiteral("  1.0KB"));
    EXPECT_EQ(capacity(2097152, 512), QStringLiteral("  1.0GB"));
    // The unit is chosen first, so one sector less stays in megabytes.
    SlotTable[3] = Card(1, 1, 1, 2097151, 250, 0);
    EXPECT_EQ(GetCardInfoLine(true, 3).mid(9, 8), QStringLiteral("1024.0MB"));
    // Sector count times size may pass 32 bits; the product is taken in 64.
    EXPECT_EQ(capacity(4194304, 2048), QStringLiteral("  8.0GB"));
    EXPECT_EQ(capacity(0, 512), QStringLiteral("       "));

    // A text wider than seven characters is not cut; it pushes the rest right.
    SlotTable[3] = Card(1, 1, 1, 0x80000000u, 250, 0);
    const QString wide = GetCardInfoLine(true, 3);
    EXPECT_EQ(wide.mid(9, 8), QStringLiteral("1024.0GB"));
    // The count is shown as a signed 32-bit number, as wide as it needs.
    EXPECT_EQ(wide.mid(17, 11), QStringLiteral("-2147483648"));
    EXPECT_EQ(wide.size(), 62 + 1 + 2);
}

TEST_F(CardInfoLines, UnusualGeometryStillGetsAFullLine)
{
    SetUnit(ModelTvq210, 11, 0, 0);
    SlotTable[4] = Card(123456, 0, 255, 999999, 9999, 0, 2048);
    const QString line = GetCardInfoLine(true, 4);
    EXPECT_EQ(line, QStringLiteral("Slot 4 :   1.9GB   999999123456     0   255 2048 9999ns    NO "));
    EXPECT_EQ(line.size(), 62);
}

TEST_F(CardInfoLines, DecimalSeparatorFollowsTheSystem)
{
    SetUnit(ModelTvq210, 11, 0, 0);
    SlotTable[1] = Card(3970, 16, 63, 4001760, 120, 0);
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    // The capacity uses the locale's separator and never a group separator.
    EXPECT_EQ(GetCardInfoLine(true, 1).mid(9, 7), QStringLiteral("  1,9GB"));
    SlotTable[1] = Card(1, 1, 1, 0x80000000u, 250, 0);
    EXPECT_EQ(GetCardInfoLine(true, 1).mid(9, 8), QStringLiteral("1024,0GB"));
}

TEST_F(CardInfoLines, SlotNumbersOutsideTheTableAreSafe)
{
    SetUnit(ModelTvq210, 11, 1, 0);
    for (uint32_t i = 0; i < 11; ++i)
        SlotTable[i] = Card(1, 1, 1, 2048, 250, 0);
    // Slot 0 is the VD (entry 10 here) and has no line; numbers past the table read as zeros.
    EXPECT_EQ(GetCardInfoLine(true, 12).mid(9, 7), QStringLiteral("       "));
    EXPECT_EQ(GetCardInfoLine(true, 0).mid(9, 7), QStringLiteral("       "));
    EXPECT_EQ(GetCardInfoLine(true, 0xFFFFFFFFu).size(), 9 + 53);
}

} // namespace
