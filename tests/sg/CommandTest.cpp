// The backend's commands against the emulated unit: layouts the unit accepts,
// data that arrives, and every fault coming back as a failure code.
#include "Command.h"
#include "EmuUnit.h"
#include "Tvq.h"
#include "qevcrdio.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <scsi/sg.h>
#include <unistd.h>
#include <vector>

using tvqtest::EmuFault;
using tvqtest::EmuModel;
using tvqtest::EmuUnit;

namespace {

std::vector<uint8_t> FileBytes(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

class SgCommand : public ::testing::TestWithParam<std::tuple<EmuModel, bool>> {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/tvq-sg-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        tvqtest::Emu().Reset();
        unit_ = &tvqtest::Emu().AddUnit(std::get<0>(GetParam()), std::get<1>(GetParam()), dir_);
    }
    void TearDown() override
    {
        targets_.clear();
        for (auto &v : tvqtest::Emu().Violations()) ADD_FAILURE() << "unit saw: " << v;
        EXPECT_EQ(tvqtest::Emu().OpenCount(), 0) << "nodes left open";
        tvqtest::Emu().Reset();
        std::string cmd = "rm -rf '" + dir_ + "'";
        if (std::system(cmd.c_str()) != 0) ADD_FAILURE() << cmd;
    }
    // The target of a slot (0 = VD).
    sg::Target &T(int slot)
    {
        int lun = unit_->LunOfSlot(slot);
        for (auto &n : tvqtest::Emu().List())
            if (n.host == unit_->Host() && static_cast<int>(n.lun) == lun) {
                targets_.push_back(std::make_unique<sg::Target>(tvqtest::Emu(), n));
                return *targets_.back();
            }
        ADD_FAILURE() << "no node for slot " << slot;
        std::abort();
    }
    // A card with its insertion's unit attention already taken.
    std::string Card(int slot, uint32_t sectors, uint32_t seed)
    {
        std::string p = unit_->Insert(slot, sectors, seed);
        EXPECT_EQ(T(slot).TestReady(), QEV_OK);
        if (slot != 0) {
            EXPECT_EQ(T(0).TestReady(), QEV_OK);
        }
        unit_->ClearReceived();
        return p;
    }

    std::string dir_;
    EmuUnit *unit_ = nullptr;
    std::vector<std::unique_ptr<sg::Target>> targets_;
};

TEST_P(SgCommand, IdentityFirmwareAndCapacity)
{
    uint8_t inq[36] = {};
    sg::Target &t = T(1);
    ASSERT_EQ(t.Inquiry(inq, 36), QEV_OK);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(inq + 8), 8), "QEVRA   ");
    bool big = std::get<0>(GetParam()) == EmuModel::Tvq210CF;
    EXPECT_EQ(std::string(reinterpret_cast<char *>(inq + 16), 14), big ? "TVQ-210CF     " : "TVQ-206       ");
    EXPECT_EQ(inq[4], 31);

    uint8_t fw[128] = {};
    ASSERT_EQ(t.ReadBuffer(2, 4, 0x1000, fw, 128), QEV_OK);
    EXPECT_EQ(std::memcmp(fw, "T210", 4), 0);
    uint32_t flags = fw[8] | fw[9] << 8;
    EXPECT_EQ(flags, std::get<1>(GetParam()) ? 0x201u : 0x001u);

    uint32_t blocks = 0, len = 0;
    EXPECT_EQ(t.Capacity(&blocks, &len), QEV_E_NO_MEDIUM);
    Card(1, 4096, 1);
    ASSERT_EQ(T(1).Capacity(&blocks, &len), QEV_OK);
    EXPECT_EQ(blocks, 4096u);
    EXPECT_EQ(len, 512u);
    // The VD reports the card it mirrors.
    ASSERT_EQ(T(0).Capacity(&blocks, &len), QEV_OK);
    EXPECT_EQ(blocks, 4096u);
}

TEST_P(SgCommand, ReadWriteReachTheImageAndTheVdWritesEveryCard)
{
    std::string a = Card(1, 2048, 2), b = Card(3, 2048, 3);
    std::vector<uint8_t> buf(128 * 512);
    ASSERT_EQ(T(3).Read(100, 128, buf.data(), static_cast<uint32_t>(buf.size())), QEV_OK);
    std::vector<uint8_t> img = FileBytes(b);
    EXPECT_TRUE(std::equal(buf.begin(), buf.end(), img.begin() + 100 * 512));

    std::vector<uint8_t> data(7 * 512);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + 1);
    ASSERT_EQ(T(0).Write(2041, 7, data.data(), static_cast<uint32_t>(data.size())), QEV_OK);
    for (const std::string &p : {a, b}) {
        img = FileBytes(p);
        EXPECT_TRUE(std::equal(data.begin(), data.end(), img.begin() + 2041 * 512)) << p;
    }
    // Past the end: the unit's own ILLEGAL REQUEST, LBA out of range.
    EXPECT_EQ(T(1).Read(2047, 2, buf.data(), 1024), QEV_E_LBA_RANGE);
}

TEST_P(SgCommand, PresenceAttentionAndEject)
{
    sg::Target &t = T(2);
    EXPECT_EQ(t.TestReady(), QEV_E_NO_MEDIUM);
    unit_->Insert(2, 1024, 4);
    std::vector<uint8_t> buf(512);
    // The insertion's unit attention reaches a transfer as a failure...
    EXPECT_EQ(t.Read(0, 1, buf.data(), 512), QEV_E_MEDIUM_CHANGED);
    // ...and presence asks past it.
    unit_->Insert(2, 1024, 4);
    EXPECT_EQ(t.TestReady(), QEV_OK);
    unit_->ClearReceived();
    ASSERT_EQ(t.Eject(), QEV_OK);
    EXPECT_FALSE(unit_->HasCard(2));
    // Flushed before it was unloaded.
    EXPECT_EQ(unit_->Received(unit_->LunOfSlot(2)), (std::vector<uint8_t>{0x35, 0x1B}));
    EXPECT_EQ(t.TestReady(), QEV_E_NO_MEDIUM);
}

TEST_P(SgCommand, DriveParamsFromIdentifyOrTheDefaultsWhenRefused)
{
    Card(1, 1000 * 1024, 0);  // 500 MB
    unit_->SetCardTiming(4, true);
    sg::Params p;
    ASSERT_EQ(T(1).DriveParams(true, &p), QEV_OK);
    EXPECT_TRUE(p.fromIdentify);
    EXPECT_EQ(p.accessTiming, 4u);  // TrueIDE: the PIO mode
    EXPECT_EQ(p.waitCheck, 1u);
    EXPECT_EQ(p.heads, 16u);
    EXPECT_EQ(p.sectorsPerTrack, 63u);
    EXPECT_EQ(p.cylinders, 1000u * 1024 / (16 * 63));
    EXPECT_EQ(p.totalSectors, 1000u * 1024);
    unit_->SetCardTiming(3, false);
    ASSERT_EQ(T(1).DriveParams(false, &p), QEV_OK);
    EXPECT_EQ(p.accessTiming, 180u);  // PC Card ATA: the cycle in ns
    EXPECT_EQ(p.waitCheck, 0u);

    unit_->AddFault({EmuFault::AtaRefused});
    sg::Target &t = T(1);
    ASSERT_EQ(t.DriveParams(true, &p), QEV_OK);
    EXPECT_FALSE(p.fromIdentify);
    EXPECT_EQ(p.totalSectors, 1000u * 1024);
    EXPECT_EQ(p.waitCheck, 1u);
    EXPECT_EQ(p.accessTiming, 250u);
    // A bridge that refused is not asked again.
    size_t asked = unit_->Count(0x85);
    ASSERT_EQ(t.DriveParams(true, &p), QEV_OK);
    EXPECT_EQ(unit_->Count(0x85), asked);
}

TEST_P(SgCommand, EveryFaultIsAFailure)
{
    Card(1, 2048, 5);
    std::vector<uint8_t> buf(16 * 512);
    uint32_t n = static_cast<uint32_t>(buf.size());
    unit_->AddFault({EmuFault::ReadError, 1, 100, 100, -1});
    EXPECT_EQ(T(1).Read(90, 16, buf.data(), n), QEV_E_READ_ERROR);
    EXPECT_EQ(T(1).Read(0, 16, buf.data(), n), QEV_OK);
    unit_->AddFault({EmuFault::WriteError, 1, 200, 200, -1});
    EXPECT_EQ(T(1).Write(195, 16, buf.data(), n), QEV_E_WRITE_ERROR);
    unit_->ClearFaults();

    unit_->AddFault({EmuFault::NoMedium, 1, 0, 0xFFFFFFFFu, 1});
    EXPECT_EQ(T(1).Read(0, 16, buf.data(), n), QEV_E_NO_MEDIUM);
    unit_->AddFault({EmuFault::Short, 1, 0, 0xFFFFFFFFu, 1});
    EXPECT_EQ(T(1).Read(0, 16, buf.data(), n), sg::ShortTransferCode());
    unit_->AddFault({EmuFault::Short, 1, 0, 0xFFFFFFFFu, 1});
    EXPECT_EQ(T(1).Write(0, 16, buf.data(), n), sg::ShortTransferCode());
    unit_->AddFault({EmuFault::Timeout, 1, 0, 0xFFFFFFFFu, 1});
    EXPECT_EQ(T(1).Read(0, 16, buf.data(), n), sg::TimeoutCode());
    unit_->AddFault({EmuFault::Timeout, 1, 0, 0xFFFFFFFFu, 1});
    EXPECT_EQ(T(1).TestReady(), sg::TimeoutCode());
    sg::Target &t = T(1);
    unit_->AddFault({EmuFault::NoDevice, 1, 0, 0xFFFFFFFFu, 1});
    EXPECT_EQ(t.Write(0, 16, buf.data(), n), QEV_E_NO_TARGET);
    // Gone for good: the node cannot be opened again.
    EXPECT_EQ(t.TestReady(), QEV_E_NO_TARGET);
}

INSTANTIATE_TEST_SUITE_P(Units, SgCommand,
                         ::testing::Combine(::testing::Values(EmuModel::Tvq210CF, EmuModel::Tvq206),
                                            ::testing::Bool()));

// A device's sense, in either format, packs as the library's codes; never as success.
TEST(SgSense, PacksFixedAndDescriptorSense)
{
    uint8_t fixed[18] = {0x70, 0, 0x02, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x3A, 0x00};
    EXPECT_EQ(sg::PackSense(fixed, 18), 0x3A00002);
    fixed[12] = 0x3A, fixed[13] = 0x02;  // tray open is still "no medium" in TEST UNIT READY's sense
    EXPECT_EQ(sg::PackSense(fixed, 18), QEV_SENSE(2, 0x3A, 2));
    uint8_t desc[8] = {0x72, 0x03, 0x11, 0x00};
    EXPECT_EQ(sg::PackSense(desc, 8), QEV_E_READ_ERROR);
    uint8_t none[18] = {0x70};
    EXPECT_EQ(sg::PackSense(none, 18), QEV_E_HARDWARE);
    uint8_t junk[18] = {0x00, 0x02};
    EXPECT_EQ(sg::PackSense(junk, 18), QEV_E_HARDWARE);
    EXPECT_EQ(sg::PackSense(fixed, 0), QEV_E_HARDWARE);
}

// The kernel's own failures: host and driver status, residuals, errno.
TEST(SgExec, HostDriverAndResidualAreFailures)
{
    struct Fake : sg::Port {
        std::function<void(sg_io_hdr *)> answer;
        int err = 0;
        std::vector<sg::Node> List() override { return {}; }
        int Open(const std::string &) override { return 3; }
        int Io(int, sg_io_hdr *h) override
        {
            if (err) return -err;
            answer(h);
            return 0;
        }
        void Close(int) override {}
        std::string DiskRefusal(const sg::Node &) override { return ""; }
        int HoldDisk(const sg::Node &) override { return -1; }
        void ReleaseDisk(int) override {}
    } f;
    uint8_t buf[8];
    auto run = [&] { return sg::Exec(f, 3, "x", sg::ReadCapacity10(), sg::Dir::In, buf, 8, 1000); };
    f.answer = [](sg_io_hdr *h) { h->status = 0, h->host_status = 0, h->driver_status = 0, h->resid = 0; };
    EXPECT_EQ(run(), QEV_OK);
    f.answer = [](sg_io_hdr *h) { h->status = 0, h->host_status = 0x07, h->driver_status = 0, h->resid = 0; };
    EXPECT_EQ(run(), sg::LinkFailureCode());
    f.answer = [](sg_io_hdr *h) { h->status = 0, h->host_status = 0, h->driver_status = 0x06, h->resid = 0; };
    EXPECT_EQ(run(), sg::TimeoutCode());
    f.answer = [](sg_io_hdr *h) { h->status = 0, h->host_status = 0, h->driver_status = 0x04, h->resid = 0; };
    EXPECT_EQ(run(), sg::LinkFailureCode());
    f.answer = [](sg_io_hdr *h) { h->status = 0, h->host_status = 0, h->driver_status = 0, h->resid = 4; };
    EXPECT_EQ(run(), sg::ShortTransferCode());
    f.answer = [](sg_io_hdr *h) { h->status = 0x02, h->host_status = 0, h->driver_status = 0x08, h->sb_len_wr = 0; };
    EXPECT_EQ(run(), QEV_E_HARDWARE);  // CHECK CONDITION without sense
    f.answer = [](sg_io_hdr *h) { h->status = 0x08, h->host_status = 0, h->driver_status = 0, h->resid = 0; };
    EXPECT_EQ(run(), QEV_E_NOT_READY);  // BUSY
    f.answer = [](sg_io_hdr *h) {
        h->status = 0x02, h->host_status = 0, h->driver_status = 0x08, h->resid = 0;
        uint8_t s[18] = {0x70, 0, 0x01, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x17, 0x01};
        std::memcpy(h->sbp, s, 18);
        h->sb_len_wr = 18;
    };
    EXPECT_EQ(run(), QEV_OK);  // recovered error: done
    f.err = ENODEV;
    EXPECT_EQ(run(), QEV_E_NO_TARGET);
    f.err = EIO;
    EXPECT_EQ(run(), sg::LinkFailureCode());
}

}  // namespace
