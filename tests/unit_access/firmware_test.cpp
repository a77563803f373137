// Reading the firmware information block and the unit check built on it.
#include "BusFixture.h"

#include <string>

namespace {

using vbus::Model;

class UnitAccessFirmware : public BusTest {
protected:
    void AddUnit(uint32_t targets, const vbus::Firmware &fw)
    {
        vbus::UnitDesc desc;
        desc.model = targets == 7 ? Model::Tvq206 : Model::Tvq210;
        desc.fw = fw;
        bus->AddUnit("u", desc);
        DeviceCount = ScanUnit(SlotTable);
        ASSERT_EQ(DeviceCount, targets);
    }
    // Reads the block and runs the check on it, as the main window does.
    int32_t ReadAndCheck()
    {
        const bool read = ReadFirmwareInfo(UnitInfo);
        return CheckUnit(read, UnitInfo);
    }
    void SetModeSentinels()
    {
        TrueIdeMode = 7;
        VdAtEnd = 7;
        VdIndex = 7;
        MasterSlotIndex = 7;
    }
    void ExpectModeSentinels()
    {
        EXPECT_EQ(TrueIdeMode, 7u);
        EXPECT_EQ(VdAtEnd, 7u);
        EXPECT_EQ(VdIndex, 7u);
        EXPECT_EQ(MasterSlotIndex, 7u);
    }
};

std::string Text(const char *p, size_t n) { return std::string(p, n); }

TEST_F(UnitAccessFirmware, BlockFieldsAndVdLast)
{
    vbus::Firmware fw;
    fw.bios = 0x20305;
    fw.cardIf = 0x20100;
    fw.flags = 0x0601;
    fw.productCode = 0x12345678;
    fw.vendorText = "QEVRA";
    fw.productName = "TVQ-210CF UNIT";
    AddUnit(11, fw);
    ASSERT_TRUE(ReadFirmwareInfo(UnitInfo));
    EXPECT_EQ(UnitInfo.BiosVersion(), 0x20305);
    EXPECT_EQ(UnitInfo.CardIfVersion(), 0x20100);
    EXPECT_EQ(UnitInfo.UnitFlags, 0x0601u);
    EXPECT_EQ(UnitInfo.ProductCode, 0x12345678u);
    EXPECT_EQ(Text(UnitInfo.VendorText, 8), "QEVRA   ");
    EXPECT_EQ(Text(UnitInfo.ProductName, 16), "TVQ-210CF UNIT  ");
    // The other thirteen version values are never taken from the unit.
    for (int e = 0; e < 5; ++e) {
        for (int v = 0; v < 3; ++v) {
            if (!((e == 0 || e == 2) && v == 0)) {
                EXPECT_EQ(UnitInfo.VersionTable[e][v], -1) << e << "," << v;
            }
        }
    }

    EXPECT_EQ(CheckUnit(true, UnitInfo), UnitCheckOk);
    EXPECT_EQ(TrueIdeMode, 1u);
    EXPECT_EQ(VdAtEnd, 1u);
    EXPECT_EQ(VdIndex, 10u);
    EXPECT_EQ(MasterSlotIndex, 0u);
    EXPECT_EQ(SlotEntryOf(0), 10u);
    EXPECT_EQ(SlotEntryOf(1), 0u);
    EXPECT_EQ(SlotEntryOf(10), 9u);
}

TEST_F(UnitAccessFirmware, VdFirstOnATvq206)
{
    vbus::Firmware fw;
    fw.flags = 0x0001;
    AddUnit(7, fw);
    SetModeSentinels();
    EXPECT_EQ(ReadAndCheck(), UnitCheckOk);
    EXPECT_EQ(TrueIdeMode, 0u);
    EXPECT_EQ(VdAtEnd, 0u);
    EXPECT_EQ(VdIndex, 0u);
    EXPECT_EQ(MasterSlotIndex, 1u);
    EXPECT_EQ(SlotEntryOf(6), 6u);

    // VD last on seven targets: the VD is entry 6.
    fw.flags = 0x0201;
    bus->SetFirmware("u", fw);
    EXPECT_EQ(ReadAndCheck(), UnitCheckOk);
    EXPECT_EQ(VdIndex, 6u);
    EXPECT_EQ(MasterSlotIndex, 0u);
}

TEST_F(UnitAccessFirmware, MissingSignatureTakesTextsOnly)
{
    vbus::Firmware fw;
    fw.signature = "X210";
    fw.flags = 0x0201;
    fw.productCode = 0xABCD;
    fw.productName = "RENAMED";
    fw.vendorText = "ACME";
    AddUnit(11, fw);

    // No signed block read before: the flags are still zero, so the mode is refused.
    SetModeSentinels();
    EXPECT_EQ(ReadAndCheck(), UnitCheckMode);
    EXPECT_EQ(UnitInfo.BiosVersion(), -1);
    EXPECT_EQ(UnitInfo.CardIfVersion(), -1);
    EXPECT_EQ(UnitInfo.UnitFlags, 0u);
    EXPECT_EQ(UnitInfo.ProductCode, 0u);
    EXPECT_EQ(Text(UnitInfo.ProductName, 16), "RENAMED         ");
    EXPECT_EQ(Text(UnitInfo.VendorText, 8), "ACME    ");
    ExpectModeSentinels();

    // After a signed block the flags left from it decide: mode 1, so -7.
    vbus::Firmware signedFw;
    signedFw.flags = 0x0201;
    signedFw.productCode = 0x1111;
    bus->SetFirmware("u", signedFw);
    EXPECT_EQ(ReadAndCheck(), UnitCheckOk);
    bus->SetFirmware("u", fw);
    EXPECT_EQ(ReadAndCheck(), UnitCheckFirmware);
    EXPECT_EQ(UnitInfo.UnitFlags, 0x0201u);
    EXPECT_EQ(UnitInfo.ProductCode, 0x1111u);
    EXPECT_EQ(UnitInfo.BiosVersion(), -1);
    EXPECT_EQ(Text(UnitInfo.ProductName, 16), "RENAMED         ");
    EXPECT_EQ(VdAtEnd, 1u);

    // Flags left with another mode give -8 instead.
    signedFw.flags = 0x0002;
    bus->SetFirmware("u", signedFw);
    EXPECT_EQ(ReadAndCheck(), UnitCheckMode);
    bus->SetFirmware("u", fw);
    EXPECT_EQ(ReadAndCheck(), UnitCheckMode);
}

TEST_F(UnitAccessFirmware, MinimumVersionIsTwoTen)
{
    struct Case {
        uint32_t bios, cardIf;
        int32_t expected;
    } cases[] = {
        {0x20100, 0x20100, UnitCheckOk},
        {0x20009, 0x20100, UnitCheckFirmware},
        {0x20100, 0x20009, UnitCheckFirmware},
        {0xFFFFFFFF, 0x20100, UnitCheckFirmware},
        {0x20100, 0xFFFFFFFF, UnitCheckFirmware},
        {0x30000, 0x20101, UnitCheckOk},
        {0x000FF, 0x20100, UnitCheckFirmware},
        {0x10999, 0x30000, UnitCheckFirmware},
    };
    vbus::Firmware fw;
    AddUnit(11, fw);
    for (const Case &c : cases) {
        fw.bios = c.bios;
        fw.cardIf = c.cardIf;
        bus->SetFirmware("u", fw);
        EXPECT_EQ(ReadAndCheck(), c.expected) << std::hex << c.bios << " " << c.cardIf;
        EXPECT_EQ(uint32_t(UnitInfo.BiosVersion()), c.bios);
    }
}

TEST_F(UnitAccessFirmware, UnsupportedModeWinsOverVersionsAndKeepsScalars)
{
    vbus::Firmware fw;
    fw.flags = 0x0002;
    fw.bios = 0x20009;
    fw.cardIf = 0x10000;
    AddUnit(11, fw);
    SetModeSentinels();
    EXPECT_EQ(ReadAndCheck(), UnitCheckMode);
    ExpectModeSentinels();

    // Only bits 0-7 are the mode: bit 8 set beside mode 1 is accepted, mode 0x101 is not.
    fw.bios = fw.cardIf = 0x20100;
    fw.flags = 0x0101;
    bus->SetFirmware("u", fw);
    EXPECT_EQ(ReadAndCheck(), UnitCheckOk);
    fw.flags = 0x0011;
    bus->SetFirmware("u", fw);
    EXPECT_EQ(ReadAndCheck(), UnitCheckMode);
}

TEST_F(UnitAccessFirmware, UnreadableBlockIsRefused)
{
    vbus::Firmware fw;
    AddUnit(11, fw);
    ASSERT_EQ(ReadAndCheck(), UnitCheckOk);
    const uint32_t id = Fail("u", vbus::OpReadBuffer);
    std::memset(UnitInfo.ProductName, 'Z', 16);
    SetModeSentinels();
    EXPECT_FALSE(ReadFirmwareInfo(UnitInfo));
    EXPECT_EQ(CheckUnit(false, UnitInfo), UnitCheckFirmware);
    EXPECT_GE(bus->FireCount("u", id), 1u);
    // The reset of step one happened; the mode scalars were not touched.
    EXPECT_EQ(UnitInfo.BiosVersion(), -1);
    EXPECT_EQ(Text(UnitInfo.ProductName, 16), std::string(16, ' '));
    ExpectModeSentinels();

    // Readable again, but with a blank signature: a block without versions.
    bus->ClearFaults("u");
    fw.signature = "";
    fw.productName = "NO SIGNATURE";
    bus->SetFirmware("u", fw);
    EXPECT_TRUE(ReadFirmwareInfo(UnitInfo));
    EXPECT_EQ(UnitInfo.BiosVersion(), -1);
    EXPECT_EQ(Text(UnitInfo.ProductName, 16), "NO SIGNATURE    ");
    EXPECT_EQ(CheckUnit(true, UnitInfo), UnitCheckFirmware);
}

TEST_F(UnitAccessFirmware, NoTargetsKeepsTheVdIndexInRange)
{
    UnitInfo.VersionTable[0][0] = UnitInfo.VersionTable[2][0] = 0x20100;
    UnitInfo.UnitFlags = 0x0201;
    DeviceCount = 0;
    EXPECT_EQ(CheckUnit(true, UnitInfo), UnitCheckOk);
    EXPECT_EQ(VdAtEnd, 1u);
    EXPECT_LT(VdIndex, uint32_t(kSlotTableEntries));
}

}  // namespace
