// The library's 13 calls on the emulated TVQ-210CF and TVQ-206 (VD first and
// last), the emulation standing in for the kernel at SG_IO.
#include "EmuUnit.h"
#include "Pattern.h"
#include "VirtualBus.h"
#include "qevcrdio.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sys/wait.h>
#include <unistd.h>

using tvqtest::EmuFault;
using tvqtest::EmuModel;
using tvqtest::EmuUnit;

namespace {

// Accepts the targets of one unit model, as the program's filter does.
int32_t TvqOnly(const uint8_t *inq)
{
    if (std::memcmp(inq + 8, "QEVRA   ", 8) != 0) return 0;
    return std::memcmp(inq + 16, "TVQ-210CF     ", 14) == 0 || std::memcmp(inq + 16, "TVQ-206       ", 14) == 0
               ? -1
               : 0;
}

int32_t AcceptAll(const uint8_t *)
{
    return -1;
}

std::vector<uint8_t> FileBytes(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

int Shell(const std::string &cmd)
{
    int rc = std::system((cmd + " >/dev/null 2>&1").c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

class SgLibrary : public ::testing::TestWithParam<std::tuple<EmuModel, bool>> {
protected:
    void SetUp() override
    {
        setenv("QEVCRDIO_BACKEND", "sg", 1);
        char tmpl[] = "/tmp/tvq-sglib-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        setenv("XDG_RUNTIME_DIR", dir_.c_str(), 1);
        QevScFree();
        tvqtest::Emu().Reset();
        // Other SCSI devices first, on lower hosts: the scan must pass them by.
        tvqtest::Emu().AddOtherDevice(0, "ATA", "SSD 512GB");
        tvqtest::Emu().AddOtherDevice(5, "HL-DT-ST", "DVDRAM GP57");
        unit_ = &tvqtest::Emu().AddUnit(Model(), VdLast(), dir_);
    }
    void TearDown() override
    {
        QevScFree();
        QevSlotRecord t[QEV_MAX_TARGETS];
        tvqtest::Emu().Reset();
        QevScScanEx(TvqOnly, "TVQ-MTX", t);  // lets go of every node of this test
        for (auto &v : violations_) ADD_FAILURE() << "unit saw: " << v;
        for (auto &v : tvqtest::Emu().Violations()) ADD_FAILURE() << "unit saw: " << v;
        EXPECT_EQ(tvqtest::Emu().OpenCount(), 0) << "nodes left open";
        EXPECT_EQ(tvqtest::Emu().DiskHolds(), 0) << "disk nodes left held";
        unsetenv("QEVCRDIO_BACKEND");
        std::string cmd = "rm -rf '" + dir_ + "'";
        if (std::system(cmd.c_str()) != 0) ADD_FAILURE() << cmd;
    }
    EmuModel Model() const { return std::get<0>(GetParam()); }
    bool VdLast() const { return std::get<1>(GetParam()); }
    int N() const { return unit_->Targets(); }
    // The library's target index of a slot (0 = VD), as the program computes it.
    uint32_t Index(int slot) const
    {
        if (slot == 0) return VdLast() ? static_cast<uint32_t>(N() - 1) : 0;
        return static_cast<uint32_t>(slot - (VdLast() ? 1 : 0));
    }
    int32_t Scan(QevSlotRecord *t)
    {
        std::memset(t, 0xEE, sizeof(QevSlotRecord) * QEV_MAX_TARGETS);
        return QevScScanEx(TvqOnly, "TVQ-MTX", t);
    }
    // A card in, and its unit attention seen, as after the program's first status look.
    std::string Card(int slot, uint32_t sectors, uint32_t seed)
    {
        std::string p = unit_->Insert(slot, sectors, seed);
        QevSlotRecord t[QEV_MAX_TARGETS];
        EXPECT_EQ(Scan(t), N());
        QevSlotStatus st;
        EXPECT_EQ(QevScGetSlotStatus(0, &st), 0);
        QevSlotRecord r;
        EXPECT_EQ(QevScGetDriveInfo(Index(0), &r), 0);
        return p;
    }

    std::string dir_;
    EmuUnit *unit_ = nullptr;
    std::vector<std::string> violations_;
};

TEST_P(SgLibrary, ScanIdentifiesTheUnitAmongOtherDevices)
{
    Card(1, 4096, 1);
    QevSlotRecord t[QEV_MAX_TARGETS];
    ASSERT_EQ(Scan(t), N());
    for (int i = 0; i < QEV_MAX_TARGETS; ++i) {
        if (i < N()) {
            EXPECT_EQ(t[i].DriveLetter, 'E' + i);
        } else {
            QevSlotRecord zero;
            std::memset(&zero, 0, sizeof zero);
            EXPECT_EQ(std::memcmp(&t[i], &zero, sizeof zero), 0) << "entry " << i;
        }
    }
    // Slot 1's card shows in its entry and in the VD's.
    EXPECT_EQ(t[Index(1)].CardPresent, 1u);
    EXPECT_EQ(t[Index(1)].TotalSectors, 4096u);
    EXPECT_EQ(t[Index(0)].TotalSectors, 4096u);
    EXPECT_EQ(t[Index(2)].CardPresent, 0u);

    uint8_t inq[36];
    ASSERT_EQ(QevScInquiry(0, 36, inq), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(inq + 8), 8), "QEVRA   ");
    uint8_t fw[128];
    ASSERT_EQ(QevScReadBuffer(0, 2, 4, 0x1000, fw, 128), 0);
    EXPECT_EQ(std::memcmp(fw, "T210", 4), 0);
    EXPECT_EQ(fw[9] & 0x02, VdLast() ? 0x02 : 0);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(fw + 40), 9), Model() == EmuModel::Tvq210CF ? "TVQ-210CF" : "TVQ-206  ");
    // Nothing but the firmware block is asked of the unit.
    EXPECT_EQ(QevScReadBuffer(0, 2, 4, 0, fw, 128), QEV_E_INVALID_FIELD);
    EXPECT_EQ(QevScInquiry(static_cast<uint32_t>(N()), 36, inq), QEV_E_NO_TARGET);

    // A bridge with another name: the unit's own INQUIRY still lets it in.
    unit_->SetBridgeProduct("USB2.0 Storage");
    EXPECT_EQ(Scan(t), N());
    // The scan never fills more than 11 entries, whatever the filter accepts.
    tvqtest::Emu().AddUnit(EmuModel::Tvq210CF, false, dir_);
    EXPECT_EQ(QevScScanEx(AcceptAll, "", t), QEV_MAX_TARGETS);
}

TEST_P(SgLibrary, DriveInfoWithAndWithoutIdentify)
{
    QevSlotRecord t[QEV_MAX_TARGETS];
    ASSERT_EQ(Scan(t), N());
    unit_->Insert(2, 1000 * 1024, 0);
    unit_->SetCardTiming(4, true);
    QevSlotRecord r;
    // The first look meets the insertion's unit attention and asks past it.
    ASSERT_EQ(QevScGetDriveInfo(Index(2), &r), 0);
    EXPECT_EQ(r.CardPresent, 1u);
    EXPECT_EQ(r.Heads, 16u);
    EXPECT_EQ(r.SectorsPerTrack, 63u);
    EXPECT_EQ(r.TotalSectors, 1000u * 1024);
    EXPECT_EQ(r.SectorSize, 512u);
    EXPECT_EQ(r.WaitCheck, 1u);
    EXPECT_EQ(r.AccessTiming, 120u);  // PC Card ATA mode: PIO 4's cycle
    EXPECT_EQ(r.DriveLetter, 'E' + Index(2));
    EXPECT_EQ(r.Reserved[QEV_BACKEND_BYTE], QEV_BACKEND_SG);
    EXPECT_EQ(r.Reserved[QEV_PARAMS_BYTE], 0);
    ASSERT_EQ(QevScGetDriveInfo(Index(3), &r), QEV_E_NO_MEDIUM);
    EXPECT_EQ(r.CardPresent, 0u);
    EXPECT_EQ(r.DriveLetter, 'E' + Index(3));

    unit_->AddFault({EmuFault::AtaRefused});
    ASSERT_EQ(Scan(t), N());  // a fresh look at every target
    unit_->SetCardTiming(2, false);
    ASSERT_EQ(QevScGetDriveInfo(Index(2), &r), 0);
    EXPECT_EQ(r.TotalSectors, 1000u * 1024);
    EXPECT_EQ(r.WaitCheck, 1u);       // the defaults of a card that size
    EXPECT_EQ(r.AccessTiming, 250u);
    EXPECT_EQ(r.Reserved[QEV_PARAMS_BYTE], QEV_PARAMS_DEFAULTED);
}

TEST_P(SgLibrary, SlotStatusFollowsTheCards)
{
    QevSlotRecord t[QEV_MAX_TARGETS];
    ASSERT_EQ(Scan(t), N());
    QevSlotStatus st;
    ASSERT_EQ(QevScGetSlotStatus(0, &st), 0);
    EXPECT_EQ(st.CardMask, 0u);
    unit_->Insert(3, 64, 0);
    unit_->Insert(N() - 1, 64, 0);
    ASSERT_EQ(QevScGetSlotStatus(0, &st), 0);
    EXPECT_EQ(st.CardMask, (1u << 2) | (1u << (N() - 2)));
    EXPECT_EQ(st.VdTarget, 2u);  // slot 3, counted from 0
    unit_->Pull(3);
    ASSERT_EQ(QevScGetSlotStatus(Index(0), &st), 0);
    EXPECT_EQ(st.CardMask, 1u << (N() - 2));
    EXPECT_EQ(st.VdTarget, static_cast<uint32_t>(N() - 2));
    // A status that cannot be had is a failure, never a mask.
    unit_->AddFault({EmuFault::Timeout, 2, 0, 0xFFFFFFFFu, 1});
    st.CardMask = 0xABCD;
    EXPECT_NE(QevScGetSlotStatus(0, &st), 0);
    EXPECT_EQ(st.CardMask, 0xABCDu);
}

TEST_P(SgLibrary, ReadWriteEjectAndFormat)
{
    std::string one = Card(1, 8192, 3), two = Card(2, 8192, 4);
    QevSlotRecord t[QEV_MAX_TARGETS];
    ASSERT_EQ(Scan(t), N());
    std::vector<uint8_t> buf(128 * 512);
    ASSERT_EQ(QevScRead10(Index(2), 1000, 128, buf.data(), 512), 0);
    auto img = FileBytes(two);
    EXPECT_TRUE(std::equal(buf.begin(), buf.end(), img.begin() + 1000 * 512));
    // The VD reads the lowest slot's card, writes to every card.
    ASSERT_EQ(QevScRead10(Index(0), 0, 128, buf.data(), 512), 0);
    img = FileBytes(one);
    EXPECT_TRUE(std::equal(buf.begin(), buf.end(), img.begin()));
    auto data = tvqtest::Pattern(100 * 512, 9);
    ASSERT_EQ(QevScWrite10(Index(0), 8092, 100, data.data(), 512), 0);
    for (auto &p : {one, two}) {
        img = FileBytes(p);
        EXPECT_TRUE(std::equal(data.begin(), data.end(), img.begin() + 8092 * 512)) << p;
    }
    // Bad arguments never reach the unit.
    EXPECT_EQ(QevScRead10(Index(1), 0, 129, buf.data(), 512), QEV_E_INVALID_FIELD);
    EXPECT_EQ(QevScRead10(Index(1), 0, 1, buf.data(), 2048), QEV_E_INVALID_FIELD);
    EXPECT_EQ(QevScWrite10(Index(1), 0, 1, nullptr, 512), QEV_E_INVALID_FIELD);
    EXPECT_EQ(QevScRead10(Index(1), 8192, 1, buf.data(), 512), QEV_E_LBA_RANGE);

    // Eject flushes what was written first, then unloads the card.
    unit_->ClearReceived();
    EXPECT_NE(QevScEject(Index(2)), 0);
    auto sent = unit_->Received(unit_->LunOfSlot(2));
    auto vdSent = unit_->Received(unit_->LunOfSlot(0));
    EXPECT_EQ(sent.back(), 0x1B);
    EXPECT_NE(std::find(vdSent.begin(), vdSent.end(), 0x35), vdSent.end()) << "the VD's writes were not flushed";
    EXPECT_FALSE(unit_->HasCard(2));
    EXPECT_EQ(QevScEject(Index(2)), 0);  // no card: no success

    if (Shell("command -v fsck.fat") != 0) GTEST_SKIP() << "dosfstools missing";
    QevSlotRecord rec;
    ASSERT_EQ(QevScFormat(Index(1), &rec), 0);
    EXPECT_EQ(rec.TotalSectors, 8192u);
    EXPECT_EQ(rec.DriveLetter, 'E' + Index(1));
    EXPECT_EQ(Shell("fsck.fat -n '" + one + "'"), 0);
}

TEST_P(SgLibrary, EveryFaultIsAFailure)
{
    Card(1, 2048, 5);
    QevSlotRecord t[QEV_MAX_TARGETS];
    ASSERT_EQ(Scan(t), N());
    std::vector<uint8_t> buf(16 * 512);
    uint32_t s1 = Index(1);
    unit_->AddFault({EmuFault::ReadError, 1, 10, 10, -1});
    EXPECT_EQ(QevScRead10(s1, 0, 16, buf.data(), 512), QEV_E_READ_ERROR);
    unit_->AddFault({EmuFault::WriteError, 1, 10, 10, -1});
    EXPECT_EQ(QevScWrite10(s1, 0, 16, buf.data(), 512), QEV_E_WRITE_ERROR);
    unit_->ClearFaults();
    unit_->AddFault({EmuFault::NoMedium, 1, 0, 0xFFFFFFFFu, 1});
    EXPECT_EQ(QevScRead10(s1, 0, 16, buf.data(), 512), QEV_E_NO_MEDIUM);
    unit_->AddFault({EmuFault::Short, 1, 0, 0xFFFFFFFFu, 1});
    EXPECT_NE(QevScRead10(s1, 0, 16, buf.data(), 512), 0);
    unit_->AddFault({EmuFault::Short, 1, 0, 0xFFFFFFFFu, 1});
    EXPECT_NE(QevScWrite10(s1, 0, 16, buf.data(), 512), 0);
    unit_->AddFault({EmuFault::Timeout, 1, 0, 0xFFFFFFFFu, 1});
    EXPECT_NE(QevScRead10(s1, 0, 16, buf.data(), 512), 0);
    unit_->AddFault({EmuFault::Timeout, 1, 0, 0xFFFFFFFFu, 1});
    QevSlotRecord r;
    EXPECT_NE(QevScGetDriveInfo(s1, &r), 0);
    EXPECT_NE(QevScGetDriveInfo(s1, &r), QEV_E_NO_MEDIUM);
    unit_->Insert(1, 2048, 5);
    EXPECT_EQ(QevScRead10(s1, 0, 16, buf.data(), 512), QEV_E_MEDIUM_CHANGED);
    EXPECT_EQ(QevScRead10(s1, 0, 16, buf.data(), 512), 0);
    // The cable pulled in the middle of a transfer.
    unit_->AddFault({EmuFault::NoDevice, 1, 0, 0xFFFFFFFFu, 1});
    EXPECT_EQ(QevScWrite10(s1, 0, 16, buf.data(), 512), QEV_E_NO_TARGET);
    EXPECT_NE(QevScRead10(Index(0), 0, 16, buf.data(), 512), 0);
    EXPECT_EQ(QevScEject(s1), 0);
    QevSlotStatus st;
    EXPECT_NE(QevScGetSlotStatus(0, &st), 0);
    EXPECT_EQ(Scan(t), 0);
}

TEST_P(SgLibrary, WritesRefusedWhileTheDiskIsInUseAndHeldWhileWriting)
{
    Card(1, 2048, 6);
    Card(2, 2048, 7);
    QevSlotRecord t[QEV_MAX_TARGETS];
    ASSERT_EQ(Scan(t), N());
    std::vector<uint8_t> buf(8 * 512);
    unit_->SetMounted(2, true);
    auto before = FileBytes(unit_->ImagePath(2));
    EXPECT_EQ(QevScWrite10(Index(2), 0, 8, buf.data(), 512), QEV_E_IN_USE);
    // The VD writes to slot 2's card too: refused as well.
    EXPECT_EQ(QevScWrite10(Index(0), 0, 8, buf.data(), 512), QEV_E_IN_USE);
    EXPECT_EQ(FileBytes(unit_->ImagePath(2)), before);
    EXPECT_EQ(QevScRead10(Index(2), 0, 8, buf.data(), 512), 0);  // reading is fine
    unit_->SetMounted(2, false);
    ASSERT_EQ(QevScWrite10(Index(2), 0, 8, buf.data(), 512), 0);
    EXPECT_GT(tvqtest::Emu().DiskHolds(), 0);
    // Free lets go of the disk nodes after flushing.
    size_t syncs = unit_->Count(0x35);
    EXPECT_NE(QevScFreeEx(0xFF), 0);
    EXPECT_EQ(tvqtest::Emu().DiskHolds(), 0);
    EXPECT_GT(unit_->Count(0x35), syncs);
}

TEST_P(SgLibrary, LockHeldBetweenProcesses)
{
    QevSlotRecord t[QEV_MAX_TARGETS];
    ASSERT_EQ(Scan(t), N());
    ASSERT_EQ(QevScLock(0), 0);
    ASSERT_EQ(QevScLock(0), 0);  // again, at no cost
    pid_t pid = fork();
    if (pid == 0) {
        int32_t rc = QevScLock(0);
        _exit(rc == QEV_E_LOCKED ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "another process took a held lock";
    QevSlotRecord r;
    ASSERT_EQ(QevScGetDriveInfo(0, &r), QEV_E_NO_MEDIUM);
    EXPECT_EQ(r.Reserved[QEV_HOLDER_FLAG_BYTE], 0);  // held by this process
}

INSTANTIATE_TEST_SUITE_P(Units, SgLibrary,
                         ::testing::Combine(::testing::Values(EmuModel::Tvq210CF, EmuModel::Tvq206),
                                            ::testing::Bool()));

// Real units come first, then the virtual bus; QEVCRDIO_BACKEND narrows the scan.
TEST(SgDispatch, RealUnitsFirstThenTheBus)
{
    char tmpl[] = "/tmp/tvq-sgdisp-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string dir = tmpl;
    tvqtest::Emu().Reset();
    EmuUnit &u = tvqtest::Emu().AddUnit(EmuModel::Tvq206, false, dir);
    u.Insert(1, 256, 1);
    tvqtest::VirtualBus bus;
    bus.AddUnit("u", tvqtest::Model::Tvq206);
    bus.InsertBlank("u", 1, 512 * 512);
    QevSlotRecord t[QEV_MAX_TARGETS];
    unsetenv("QEVCRDIO_BACKEND");
    ASSERT_EQ(QevScScanEx(AcceptAll, "TVQ-MTX", t), 11);  // 7 of the unit, 4 of the bus's 7
    EXPECT_EQ(t[1].TotalSectors, 256u);
    EXPECT_EQ(t[8].TotalSectors, 512u);
    EXPECT_EQ(t[8].DriveLetter, 'E' + 8);
    QevSlotRecord r;
    ASSERT_EQ(QevScGetDriveInfo(8, &r), 0);
    EXPECT_EQ(r.TotalSectors, 512u);
    EXPECT_EQ(r.DriveLetter, 'E' + 8);
    EXPECT_EQ(r.Reserved[QEV_BACKEND_BYTE], QEV_BACKEND_BUS);
    EXPECT_EQ(t[0].Reserved[QEV_BACKEND_BYTE], QEV_BACKEND_SG);
    std::vector<uint8_t> buf(512);
    ASSERT_EQ(QevScRead10(1, 0, 1, buf.data(), 512), 0);
    EXPECT_EQ(std::memcmp(buf.data(), FileBytes(u.ImagePath(1)).data(), 512), 0);
    setenv("QEVCRDIO_BACKEND", "bus", 1);
    EXPECT_EQ(QevScScanEx(AcceptAll, "TVQ-MTX", t), 7);
    EXPECT_EQ(t[1].TotalSectors, 512u);
    setenv("QEVCRDIO_BACKEND", "sg", 1);
    EXPECT_EQ(QevScScanEx(AcceptAll, "TVQ-MTX", t), 7);
    EXPECT_EQ(t[1].TotalSectors, 256u);
    QevScFree();
    unsetenv("QEVCRDIO_BACKEND");
    tvqtest::Emu().Reset();
    QevScScanEx(AcceptAll, "TVQ-MTX", t);
    for (auto &v : tvqtest::Emu().Violations()) ADD_FAILURE() << v;
    std::string cmd = "rm -rf '" + dir + "'";
    EXPECT_EQ(std::system(cmd.c_str()), 0);
}

}  // namespace
