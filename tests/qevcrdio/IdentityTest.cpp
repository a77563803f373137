// INQUIRY data, the firmware block, slot status and drive information.
#include "LibTestUtil.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

using namespace tvqtest;

namespace {

uint32_t Le32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

std::string RunCapture(const std::string &cmd, int *rc)
{
    std::string out;
    FILE *p = ::popen(cmd.c_str(), "r");
    if (!p) {
        *rc = -1;
        return out;
    }
    char buf[512];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    *rc = ::pclose(p);
    return out;
}

}  // namespace

TEST(Identity, StandardInquiryData)
{
    VirtualBus bus;
    bus.AddUnit("a", Model::Tvq210);
    bus.AddUnit("b", Model::Tvq206);
    QevSlotRecord t[QEV_MAX_TARGETS];
    ASSERT_EQ(ScanAll(t), 11);  // a's 11; b does not fit
    uint8_t inq[40];
    std::memset(inq, 0xEE, sizeof inq);
    ASSERT_EQ(QevScInquiry(10, 36, inq), 0);
    EXPECT_EQ(inq[0], 0x00);         // disk, connected
    EXPECT_EQ(inq[1] & 0x80, 0x80);  // removable
    EXPECT_EQ(inq[3] & 0x0F, 0x02);  // response data format
    EXPECT_EQ(inq[4], 0x1F);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(inq + 8), 8), "QEVRA   ");
    EXPECT_EQ(std::string(reinterpret_cast<char *>(inq + 16), 16), "TVQ-210CF       ");
    EXPECT_EQ(std::string(reinterpret_cast<char *>(inq + 32), 4), "1.00");
    EXPECT_EQ(inq[36], 0xEE);  // nothing past 36 bytes

    // A short allocation length gets that much and no more.
    uint8_t small[12];
    std::memset(small, 0xEE, sizeof small);
    ASSERT_EQ(QevScInquiry(0, 8, small), 0);
    EXPECT_EQ(small[4], 0x1F);
    EXPECT_EQ(small[8], 0xEE);
    EXPECT_EQ(QevScInquiry(0, 36, nullptr), QEV_E_INVALID_FIELD);

    // The peer decoder reads the same fields.
    std::string hexPath = bus.ScratchDir() + "/inq.hex";
    {
        std::ofstream f(hexPath);
        for (int i = 0; i < 36; ++i) {
            char b[4];
            std::snprintf(b, sizeof b, "%02x ", inq[i]);
            f << b;
        }
        f << "\n";
    }
    int rc;
    std::string out = RunCapture("sg_inq --inhex='" + hexPath + "' 2>&1", &rc);
    if (rc == -1 || out.find("not found") != std::string::npos) GTEST_SKIP() << "sg_inq not available";
    EXPECT_EQ(rc, 0) << out;
    EXPECT_NE(out.find("PDT=0"), std::string::npos) << out;
    EXPECT_NE(out.find("RMB=1"), std::string::npos) << out;
    EXPECT_NE(out.find("Resp_data_format=2"), std::string::npos) << out;
    EXPECT_NE(out.find("Vendor identification: QEVRA"), std::string::npos) << out;
    EXPECT_NE(out.find("Product identification: TVQ-210CF"), std::string::npos) << out;
    EXPECT_NE(out.find("Product revision level: 1.00"), std::string::npos) << out;
}

TEST(Identity, FirmwareBlockFieldsRoundTrip)
{
    VirtualBus bus;
    vbus::UnitDesc unitDesc;
    unitDesc.model = Model::Tvq206;
    unitDesc.fw.bios = 0x20305;
    unitDesc.fw.cardIf = 0x20009;
    unitDesc.fw.flags = 0x0601;
    unitDesc.fw.productCode = 0xDEADBEEF;
    unitDesc.fw.vendorText = "QEVRA";
    unitDesc.fw.productName = "TVQ-206 SPECIAL";
    bus.AddUnit("u", unitDesc);
    QevSlotRecord t[QEV_MAX_TARGETS];
    ASSERT_EQ(ScanAll(t), 7);

    uint8_t blk[130];
    std::memset(blk, 0xEE, sizeof blk);
    ASSERT_EQ(QevScReadBuffer(0, 2, 4, 0x1000, blk, 128), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(blk), 4), "T210");
    EXPECT_EQ(Le32(blk + 4), 0x20305u);
    EXPECT_EQ(Le32(blk + 8), 0x0601u);
    EXPECT_EQ(Le32(blk + 12), 0xDEADBEEFu);
    EXPECT_EQ(Le32(blk + 16), 0x20009u);
    for (int i = 20; i < 32; ++i) EXPECT_EQ(blk[i], 0) << i;
    EXPECT_EQ(std::string(reinterpret_cast<char *>(blk + 32), 8), "QEVRA   ");
    EXPECT_EQ(std::string(reinterpret_cast<char *>(blk + 40), 16), "TVQ-206 SPECIAL ");
    for (int i = 56; i < 128; ++i) EXPECT_EQ(blk[i], 0) << i;
    EXPECT_EQ(blk[128], 0xEE);
    // With flag 0x200 the VD is the last target; every target serves the block.
    uint8_t last[128];
    ASSERT_EQ(QevScReadBuffer(6, 2, 4, 0x1000, last, 128), 0);
    EXPECT_EQ(0, std::memcmp(blk, last, 128));

    // Other modes, buffers and offsets are not served.
    EXPECT_EQ(QevScReadBuffer(0, 3, 4, 0x1000, blk, 128), QEV_E_INVALID_FIELD);
    EXPECT_EQ(QevScReadBuffer(0, 2, 5, 0x1000, blk, 128), QEV_E_INVALID_FIELD);
    EXPECT_EQ(QevScReadBuffer(0, 2, 4, 0, blk, 128), QEV_E_INVALID_FIELD);
    EXPECT_EQ(QevScReadBuffer(0, 2, 4, 0x1000, nullptr, 128), QEV_E_INVALID_FIELD);

    // A block without signature, changed while the library runs: the texts stay readable.
    vbus::Firmware fw = unitDesc.fw;
    fw.signature = "";
    fw.productName = "NO SIGNATURE";
    bus.SetFirmware("u", fw);
    ASSERT_EQ(QevScReadBuffer(0, 2, 4, 0x1000, blk, 128), 0);
    EXPECT_EQ(Le32(blk), 0u);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(blk + 40), 16), "NO SIGNATURE    ");
    // Any signature can be served, a wrong one too.
    fw.signature = "T2";
    bus.SetFirmware("u", fw);
    ASSERT_EQ(QevScReadBuffer(0, 2, 4, 0x1000, blk, 128), 0);
    EXPECT_EQ(0, std::memcmp(blk, "T2\0\0", 4));
}

TEST(Identity, SlotStatusFollowsTheCards)
{
    VirtualBus bus;
    bus.AddUnit("u", Model::Tvq210, 0x0201);
    QevSlotRecord t[QEV_MAX_TARGETS];
    ASSERT_EQ(ScanAll(t), 11);
    QevSlotStatus st;
    std::memset(&st, 0xEE, sizeof st);
    ASSERT_EQ(QevScGetSlotStatus(0, &st), 0);
    EXPECT_EQ(st.CardMask, 0u);
    EXPECT_EQ(st.VdTarget, 0u);
    EXPECT_EQ(st.Unused, 0u);

    bus.InsertBlank("u", 10, 1u << 20);
    bus.InsertBlank("u", 4, 1u << 20);
    ASSERT_EQ(QevScGetSlotStatus(0, &st), 0);
    EXPECT_EQ(st.CardMask, (1u << 9) | (1u << 3));
    EXPECT_EQ(st.VdTarget, 3u);  // slot 4, counted from 0
    // Any target of the unit answers alike.
    QevSlotStatus st2;
    ASSERT_EQ(QevScGetSlotStatus(10, &st2), 0);
    EXPECT_EQ(0, std::memcmp(&st, &st2, sizeof st));

    bus.InsertBlank("u", 1, 1u << 20);
    ASSERT_EQ(QevScGetSlotStatus(0, &st), 0);
    EXPECT_EQ(st.CardMask, (1u << 9) | (1u << 3) | 1u);
    EXPECT_EQ(st.VdTarget, 0u);
    bus.Pull("u", 1);
    bus.Pull("u", 4);
    ASSERT_EQ(QevScGetSlotStatus(0, &st), 0);
    EXPECT_EQ(st.CardMask, 1u << 9);
    EXPECT_EQ(st.VdTarget, 9u);
    EXPECT_EQ(QevScGetSlotStatus(0, nullptr), QEV_E_INVALID_FIELD);
}

TEST(Identity, DriveInformation)
{
    VirtualBus bus;
    bus.AddUnit("u", Model::Tvq206);
    vbus::DriveParams p;
    p.cylinders = 123;
    p.heads = 0;  // unusable card
    p.totalSectors = 4000;
    p.sectorsPerTrack = 17;
    p.sectorSize = 512;
    p.waitCheck = 0;
    p.accessTiming = 0x4;
    bus.InsertBlank("u", 2, 4096 * 512, p);
    bus.InsertBlank("u", 3, 64u << 20);
    QevSlotRecord t[QEV_MAX_TARGETS];
    ASSERT_EQ(ScanAll(t), 7);

    QevSlotRecord r;
    std::memset(&r, 0xEE, sizeof r);
    ASSERT_EQ(QevScGetDriveInfo(2, &r), 0);
    EXPECT_EQ(r.CardPresent, 1u);
    EXPECT_EQ(r.Cylinders, 123u);
    EXPECT_EQ(r.Heads, 0u);
    EXPECT_EQ(r.TotalSectors, 4000u);
    EXPECT_EQ(r.SectorsPerTrack, 17u);
    EXPECT_EQ(r.WaitCheck, 0u);
    EXPECT_EQ(r.AccessTiming, 4u);
    EXPECT_EQ(r.DriveLetter, 'G');

    // Defaults from the size look like a CompactFlash card's and cover it.
    ASSERT_EQ(QevScGetDriveInfo(3, &r), 0);
    EXPECT_EQ(r.TotalSectors, 131072u);
    EXPECT_EQ(r.SectorSize, 512u);
    EXPECT_GT(r.Heads, 0u);
    EXPECT_LE(static_cast<uint64_t>(r.Cylinders) * r.Heads * r.SectorsPerTrack, 131072u);
    EXPECT_GT(static_cast<uint64_t>(r.Cylinders + 1) * r.Heads * r.SectorsPerTrack, 131072u);

    // The VD shows the card it mirrors: slot 2's, until that one is pulled.
    ASSERT_EQ(QevScGetDriveInfo(0, &r), 0);
    EXPECT_EQ(r.TotalSectors, 4000u);
    EXPECT_EQ(r.DriveLetter, 'E');
    bus.Pull("u", 2);
    ASSERT_EQ(QevScGetDriveInfo(0, &r), 0);
    EXPECT_EQ(r.TotalSectors, 131072u);

    // An empty slot: "no medium" with zero parameters; the drive letter stays.
    std::memset(&r, 0xEE, sizeof r);
    EXPECT_EQ(QevScGetDriveInfo(1, &r), 0x3A00002);
    EXPECT_EQ(r.CardPresent, 0u);
    EXPECT_EQ(r.TotalSectors, 0u);
    EXPECT_EQ(r.Heads, 0u);
    EXPECT_EQ(r.AccessTiming, 0u);
    EXPECT_EQ(r.DriveLetter, 'F');
    EXPECT_EQ(r.Reserved[6], 0u);
    bus.Pull("u", 3);
    EXPECT_EQ(QevScGetDriveInfo(0, &r), QEV_E_NO_MEDIUM);
    EXPECT_EQ(QevScGetDriveInfo(7, &r), QEV_E_NO_TARGET);
    EXPECT_EQ(QevScGetDriveInfo(1, nullptr), QEV_E_INVALID_FIELD);
}
