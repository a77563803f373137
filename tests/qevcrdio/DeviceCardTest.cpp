// Slots bound to block devices, through the real library and tvqunit, on
// loop devices over the test's own files.
#include "LibTestUtil.h"
#include "LoopDevice.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace tvqtest;

namespace {

constexpr uint64_t kMiB = 1u << 20;

// A TVQ-210CF with the VD first: target 0 is the VD, target s is slot s.
struct Unit210 {
    VirtualBus bus;
    QevSlotRecord t[QEV_MAX_TARGETS];
    Unit210() { bus.AddUnit("u", Model::Tvq210); }
    void Bind(int slot, const std::string &node) { bus.Bus().InsertDevice("u", slot, node); }
    void Scan() { ASSERT_EQ(ScanAll(t), 11); }
    uint32_t Mask()
    {
        QevSlotStatus st{};
        EXPECT_EQ(QevScGetSlotStatus(0, &st), 0);
        return st.CardMask;
    }
};

std::string Cmp(const std::string &a, const std::string &b)
{
    return ShellOutput("cmp " + a + " " + b + " 2>&1");
}

std::string Tvqunit(const std::string &args)
{
    return ShellOutput(std::string(TVQUNIT_PATH) + " " + args + " 2>&1; echo \"exit $?\"");
}

bool CanOpenExclusively(const std::string &node)
{
    int fd = ::open(node.c_str(), O_RDONLY | O_EXCL | O_CLOEXEC);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

std::vector<uint8_t> ReadCard(uint32_t target, uint32_t sectors)
{
    std::vector<uint8_t> out(static_cast<size_t>(sectors) * 512);
    for (uint32_t lba = 0; lba < sectors; lba += 128) {
        uint32_t n = std::min<uint32_t>(128, sectors - lba);
        int32_t rc = QevScRead10(target, lba, n, out.data() + static_cast<size_t>(lba) * 512, 512);
        if (rc != 0) {
            ADD_FAILURE() << "read at " << lba << ": 0x" << std::hex << rc;
            return {};
        }
    }
    return out;
}

// A loop device over another block device (losetup over a node), mounted
// read-only when asked; undone, and detached, whatever the test did.
struct StackedLoop {
    explicit StackedLoop(const std::string &under) : lower(under)
    {
        node = ShellOutput("losetup -f --show " + under + " 2>/dev/null");
        while (!node.empty() && node.back() == '\n') node.pop_back();
    }
    ~StackedLoop() { Detach(); }
    std::string Mount()
    {
        mnt = LoopDevice::ScratchDir() + "/stacked-mnt";
        ::mkdir(mnt.c_str(), 0755);
        if (Shell("mount -o ro,noload " + node + " " + mnt) != 0) mnt.clear();
        return mnt;
    }
    void Unmount()
    {
        if (mnt.empty()) return;
        if (::umount2(mnt.c_str(), 0) != 0) ::umount2(mnt.c_str(), MNT_DETACH);
        ::rmdir(mnt.c_str());
        mnt.clear();
    }
    void Detach()
    {
        Unmount();
        // Only while it is still over our device: the node may be another's later.
        if (!node.empty() && BackingFile(node) == lower) Shell("losetup -d " + node);
        node.clear();
    }
    std::string lower, node, mnt;
};

}  // namespace

TEST(DeviceCard, ReadsWritesAndPresenceFollowTheDevice)
{
    TVQ_REQUIRE_LOOP();
    LoopDevice loop(8 * kMiB);
    auto first = Pattern(16384, 1);
    loop.Put(0, first);
    Unit210 u;
    u.Bind(1, loop.Node());
    u.Scan();
    EXPECT_EQ(u.t[1].CardPresent, 1u);
    EXPECT_EQ(u.Mask(), 1u);
    QevSlotRecord rec{};
    ASSERT_EQ(QevScGetDriveInfo(1, &rec), 0);
    EXPECT_EQ(rec.TotalSectors, 16384u);
    EXPECT_EQ(rec.SectorSize, 512u);
    EXPECT_NE(rec.Heads, 0u);

    // The bytes read are the backing file's, through the slot and the VD.
    EXPECT_EQ(ReadCard(1, 16384), first);
    std::vector<uint8_t> head(128 * 512);
    ASSERT_EQ(QevScRead10(0, 0, 128, head.data(), 512), 0);
    EXPECT_TRUE(std::equal(head.begin(), head.end(), first.begin()));

    // Writes land: after the free call the file is what cmp expects.
    auto data = Pattern(256, 2);
    ASSERT_EQ(QevScWrite10(1, 100, 128, data.data(), 512), 0);
    ASSERT_EQ(QevScWrite10(1, 228, 128, data.data() + 128 * 512, 512), 0);
    ASSERT_EQ(QevScFree(), 1);
    std::vector<uint8_t> want = first;
    std::copy(data.begin(), data.end(), want.begin() + 100 * 512);
    std::string expected = u.bus.WriteFile("expected.bin", want);
    EXPECT_EQ(Cmp(expected, loop.File()), "");
    // Freed, the device is the system's again.
    EXPECT_TRUE(CanOpenExclusively(loop.Node()));

    // losetup -d empties the slot at the next status call; attached again, the card is back.
    u.Mask();
    ASSERT_EQ(Shell("losetup -d " + loop.Node()), 0);
    EXPECT_EQ(u.Mask(), 0u);
    EXPECT_EQ(QevScGetDriveInfo(1, &rec), QEV_E_NO_MEDIUM);
    EXPECT_EQ(rec.CardPresent, 0u);
    EXPECT_EQ(QevScRead10(1, 0, 1, head.data(), 512), QEV_E_NO_MEDIUM);
    EXPECT_EQ(QevScWrite10(1, 0, 1, head.data(), 512), QEV_E_NO_MEDIUM);
    loop.Attach();
    EXPECT_EQ(u.Mask(), 1u);
    ASSERT_EQ(QevScRead10(1, 100, 1, head.data(), 512), 0);
    EXPECT_TRUE(std::equal(head.begin(), head.begin() + 512, data.begin()));

    // Held by a write, then idle for one status look: the detach shows at the next one.
    ASSERT_EQ(QevScWrite10(1, 0, 1, first.data(), 512), 0);
    u.Mask();
    ASSERT_EQ(Shell("losetup -d " + loop.Node()), 0);
    EXPECT_EQ(u.Mask(), 0u);
    loop.Attach();
    EXPECT_EQ(u.Mask(), 1u);

    // A node that goes away (a reader unplugged) is an empty slot too.
    std::string link = LoopDevice::ScratchDir() + "/reader-link";
    ASSERT_EQ(::symlink(loop.Node().c_str(), link.c_str()), 0);
    u.bus.Bus().Pull("u", 1);
    u.Bind(1, link);
    EXPECT_EQ(u.Mask(), 1u);
    ::unlink(link.c_str());
    EXPECT_EQ(u.Mask(), 0u);
    ASSERT_EQ(::symlink(loop.Node().c_str(), link.c_str()), 0);
    EXPECT_EQ(u.Mask(), 1u);
}

TEST(DeviceCard, AnIdleDeviceIsLetGoWithoutAnyLook)
{
    TVQ_REQUIRE_LOOP();
    LoopDevice loop(8 * kMiB);
    Unit210 u;
    u.Bind(1, loop.Node());
    u.Scan();
    // A client that writes and then does nothing, not even look at the slots.
    auto data = Pattern(8, 3);
    ASSERT_EQ(QevScWrite10(1, 40, 8, data.data(), 512), 0);
    EXPECT_FALSE(CanOpenExclusively(loop.Node()));  // held while in use
    bool free = false;
    for (int i = 0; i < 200 && !free; ++i) {  // about a second is enough; ten are allowed
        ::usleep(50000);
        free = CanOpenExclusively(loop.Node());
    }
    EXPECT_TRUE(free) << "the device is still held";
    EXPECT_EQ(loop.Bytes(40 * 512, 8 * 512), data);
    // Taken again by the next transfer.
    std::vector<uint8_t> back(8 * 512);
    ASSERT_EQ(QevScRead10(1, 40, 8, back.data(), 512), 0);
    EXPECT_EQ(back, data);
    ASSERT_EQ(QevScFree(), 1);
}

TEST(DeviceCard, MountedDevicesAreRefusedAndNeverWritten)
{
    TVQ_REQUIRE_LOOP();
    // ext4 in the first 8 MiB; the rest is ours to watch.
    LoopDevice loop(16 * kMiB);
    auto tail = Pattern(16384, 3);
    loop.Put(8 * kMiB, tail);
    ASSERT_EQ(Shell("mkfs.ext4 -q -F " + loop.Node() + " 8M >/dev/null 2>&1"), 0);
    std::string mnt = loop.Mount(loop.Node(), "ext4");
    Unit210 u;

    // Mounted before binding: refused, nothing changed.
    try {
        u.Bind(1, loop.Node());
        ADD_FAILURE() << "a mounted device was bound";
    } catch (const vbus::Error &e) {
        EXPECT_NE(std::string(e.what()).find("mounted"), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find(mnt), std::string::npos) << e.what();
    }
    EXPECT_FALSE(u.bus.Bus().HasCard("u", 1));
    std::string out = Tvqunit("insert u 2 --device " + loop.Node());
    EXPECT_NE(out.find("mounted"), std::string::npos) << out;
    EXPECT_NE(out.find("exit 1"), std::string::npos) << out;
    // tvqunit devices says where it is mounted.
    out = Tvqunit("devices");
    ASSERT_NE(out.find(loop.Node() + "\t"), std::string::npos) << out;
    std::string line = out.substr(out.find(loop.Node() + "\t"));
    line = line.substr(0, line.find('\n'));
    EXPECT_NE(line.find("mounted: " + loop.Node() + " on " + mnt), std::string::npos) << line;

    // Mounted after binding: reads and writes are "not ready" until it is unmounted.
    loop.UnmountAll();
    u.Bind(1, loop.Node());
    u.Scan();
    loop.Mount(loop.Node(), "ext4");
    auto data = Pattern(128, 4);
    std::vector<uint8_t> back(128 * 512);
    EXPECT_EQ(QevScWrite10(1, 16384, 128, data.data(), 512), QEV_E_IN_USE);
    EXPECT_EQ(QevScWrite10(0, 16384, 128, data.data(), 512), QEV_E_IN_USE);
    EXPECT_EQ(QevScRead10(1, 16384, 128, back.data(), 512), QEV_E_IN_USE);
    EXPECT_EQ(QevScFormat(1, nullptr), QEV_E_IN_USE);
    EXPECT_EQ(u.Mask(), 1u);  // the card is there, only busy
    loop.UnmountAll();
    EXPECT_EQ(loop.Bytes(8 * kMiB, 8 * kMiB), tail);
    ASSERT_EQ(QevScRead10(1, 16384, 128, back.data(), 512), 0);
    EXPECT_TRUE(std::equal(back.begin(), back.end(), tail.begin()));
    ASSERT_EQ(QevScWrite10(1, 16384, 128, data.data(), 512), 0);
    ASSERT_EQ(QevScFree(), 1);
    EXPECT_EQ(loop.Bytes(8 * kMiB, 128 * 512), data);

    // While the library writes, the kernel refuses a mount.
    ASSERT_EQ(QevScWrite10(1, 16384, 1, data.data(), 512), 0);
    EXPECT_THROW(loop.Mount(loop.Node(), "ext4"), std::runtime_error);
    ASSERT_EQ(QevScFree(), 1);
}

TEST(DeviceCard, ADeviceIsBoundOnceAndWritableOnly)
{
    TVQ_REQUIRE_LOOP();
    LoopDevice loop(8 * kMiB);
    Unit210 u;
    u.bus.AddUnit("v", Model::Tvq206);
    u.Bind(1, loop.Node());
    // Twice: the same node, another name for it, another unit.
    std::string alias = LoopDevice::ScratchDir() + "/alias";
    ASSERT_EQ(::symlink(loop.Node().c_str(), alias.c_str()), 0);
    for (auto target : {std::make_pair(std::string("u"), loop.Node()), std::make_pair(std::string("u"), alias),
                        std::make_pair(std::string("v"), alias)}) {
        try {
            u.bus.Bus().InsertDevice(target.first, 2, target.second);
            ADD_FAILURE() << target.second << " bound twice";
        } catch (const vbus::Error &e) {
            EXPECT_NE(std::string(e.what()).find("already bound to slot 1 of unit 'u'"), std::string::npos)
                << e.what();
        }
    }
    EXPECT_FALSE(u.bus.Bus().HasCard("u", 2));
    EXPECT_FALSE(u.bus.Bus().HasCard("v", 2));

    // A description edited by hand to bind it twice: neither slot writes it then.
    std::string toml = u.bus.Dir() + "/u/unit.toml";
    std::ofstream(toml, std::ios::app) << "\n[slot.3]\ndevice = \"" << alias << "\"\n";
    u.Scan();
    EXPECT_EQ(u.Mask(), 5u);
    auto data = Pattern(1, 5);
    EXPECT_EQ(QevScWrite10(3, 0, 1, data.data(), 512), QEV_SENSE(0x07, 0x27, 0x00));
    EXPECT_EQ(QevScWrite10(1, 0, 1, data.data(), 512), QEV_SENSE(0x07, 0x27, 0x00));
    EXPECT_EQ(QevScWrite10(0, 0, 1, data.data(), 512), QEV_SENSE(0x07, 0x27, 0x00));
    EXPECT_EQ(loop.Bytes(0, 512), std::vector<uint8_t>(512, 0));
    u.bus.Pull("u", 3);
    EXPECT_EQ(QevScWrite10(1, 0, 1, data.data(), 512), 0);
    ASSERT_EQ(QevScFree(), 1);
    EXPECT_EQ(loop.Bytes(0, 512), data);

    // A partition, a file, a read-only device: refused.
    LoopDevice parted(8 * kMiB, 512, true);
    parted.AddPartition(1, 2048, 4096);
    std::string part = parted.Node() + "p1";
    for (int i = 0; i < 100 && ::access(part.c_str(), F_OK) != 0; ++i) ::usleep(20000);  // udev makes the node
    ASSERT_EQ(::access(part.c_str(), F_OK), 0) << part;
    std::string out = Tvqunit("insert v 1 --device " + part);
    EXPECT_NE(out.find("is a partition of /dev/" + parted.Node().substr(5)), std::string::npos) << out;
    EXPECT_NE(out.find("exit 1"), std::string::npos) << out;
    EXPECT_FALSE(u.bus.Bus().HasCard("v", 1));
    out = Tvqunit("insert v 1 --device " + loop.File());
    EXPECT_NE(out.find("not a block device"), std::string::npos) << out;
    EXPECT_NE(out.find("exit 1"), std::string::npos) << out;
    LoopDevice ro(8 * kMiB);
    ro.Detach();
    ASSERT_EQ(Shell("losetup -r " + ro.Node() + " " + ro.File()), 0);
    out = Tvqunit("insert v 1 --device " + ro.Node());
    EXPECT_NE(out.find("read-only"), std::string::npos) << out;
    EXPECT_NE(out.find("exit 1"), std::string::npos) << out;
    Shell("losetup -d " + ro.Node());

    // tvqunit devices names the binding.
    out = Tvqunit("devices");
    std::string line = out.substr(out.find(loop.Node() + "\t"));
    line = line.substr(0, line.find('\n'));
    EXPECT_NE(line.find("bound to slot 1 of unit 'u'"), std::string::npos) << out;
    EXPECT_NE(line.find(loop.File()), std::string::npos) << line;
}

TEST(DeviceCard, FourKibSectorsShowAsUnusable)
{
    TVQ_REQUIRE_LOOP();
    LoopDevice loop(8 * kMiB, 4096);
    Unit210 u;
    u.Bind(1, loop.Node());
    u.Scan();
    QevSlotRecord rec{};
    ASSERT_EQ(QevScGetDriveInfo(1, &rec), 0);
    EXPECT_EQ(rec.CardPresent, 1u);
    EXPECT_EQ(rec.SectorSize, 4096u);
    EXPECT_EQ(rec.TotalSectors, 2048u);  // in its own sectors: 8 MiB, not 64
    EXPECT_LE(uint64_t(rec.Cylinders) * rec.Heads * rec.SectorsPerTrack, 2048u);
    QevSlotRecord vd{};
    ASSERT_EQ(QevScGetDriveInfo(0, &vd), 0);
    EXPECT_EQ(vd.TotalSectors, 2048u);
    EXPECT_EQ(vd.SectorSize, 4096u);
    std::vector<uint8_t> buf(512);
    EXPECT_EQ(QevScRead10(1, 0, 1, buf.data(), 512), QEV_E_INVALID_FIELD);
    EXPECT_EQ(QevScWrite10(1, 0, 1, buf.data(), 512), QEV_E_INVALID_FIELD);
    EXPECT_EQ(QevScFormat(1, nullptr), QEV_E_INVALID_FIELD);
}

TEST(DeviceCard, VdWriteReachesDeviceAndImageCards)
{
    TVQ_REQUIRE_LOOP();
    LoopDevice a(8 * kMiB), b(8 * kMiB);
    a.Put(0, Pattern(16384, 6));
    b.Put(0, Pattern(16384, 7));
    Unit210 u;
    u.Bind(1, a.Node());
    u.Bind(2, b.Node());
    std::string image = u.bus.InsertBlank("u", 3, 8 * kMiB);
    u.Scan();
    EXPECT_EQ(u.Mask(), 7u);
    auto data = Pattern(2048, 8);  // 1 MiB through the VD
    for (uint32_t lba = 0; lba < 2048; lba += 128)
        ASSERT_EQ(QevScWrite10(0, 4096 + lba, 128, data.data() + lba * 512, 512), 0) << lba;
    ASSERT_EQ(QevScFree(), 1);
    for (const std::string &f : {a.File(), b.File(), image})
        EXPECT_EQ(VirtualBus::ReadFile(f, 4096 * 512, data.size()), data) << f;
    // The sectors around the range are as they were.
    auto pa = Pattern(16384, 6), pb = Pattern(16384, 7);
    EXPECT_EQ(a.Bytes(4095 * 512, 512), std::vector<uint8_t>(pa.begin() + 4095 * 512, pa.begin() + 4096 * 512));
    EXPECT_EQ(b.Bytes(6144 * 512, 512), std::vector<uint8_t>(pb.begin() + 6144 * 512, pb.begin() + 6145 * 512));

    // A card that fails takes the VD write with it; the others still get the data.
    b.Detach();
    u.Mask();
    EXPECT_EQ(u.Mask(), 5u);
    auto more = Pattern(128, 9);
    ASSERT_EQ(QevScWrite10(0, 0, 128, more.data(), 512), 0);
    ASSERT_EQ(QevScFree(), 1);
    EXPECT_EQ(a.Bytes(0, more.size()), more);
    EXPECT_EQ(VirtualBus::ReadFile(image, 0, more.size()), more);
}

TEST(DeviceCard, FormatEjectAndPull)
{
    TVQ_REQUIRE_LOOP();
    LoopDevice loop(32 * kMiB);
    loop.Put(0, Pattern(2048, 10));
    Unit210 u;
    u.Bind(1, loop.Node());
    u.Scan();
    QevSlotRecord rec{};
    ASSERT_EQ(QevScFormat(1, &rec), 0);
    EXPECT_EQ(rec.TotalSectors, 65536u);
    ASSERT_EQ(QevScFree(), 1);
    std::string fsck = ShellOutput("fsck.fat -n " + loop.Node() + " 2>&1; echo \"exit $?\"");
    EXPECT_NE(fsck.find("exit 0"), std::string::npos) << fsck;

    // Eject: the kernel keeps a loop device's medium, the slot stays empty until another comes.
    EXPECT_NE(QevScEject(1), 0);
    EXPECT_EQ(u.Mask(), 0u);
    EXPECT_TRUE(u.bus.Bus().HasCard("u", 1));  // still bound
    std::vector<uint8_t> buf(512);
    EXPECT_EQ(QevScRead10(1, 0, 1, buf.data(), 512), QEV_E_NO_MEDIUM);
    std::string out = Tvqunit("show u");
    EXPECT_NE(out.find("card ejected"), std::string::npos) << out;
    loop.Detach();
    loop.Attach();  // another medium (a new number from the kernel)
    EXPECT_EQ(u.Mask(), 1u);
    ASSERT_EQ(QevScRead10(1, 0, 1, buf.data(), 512), 0);
    EXPECT_EQ(buf[510], 0x55);
    EXPECT_EQ(buf[511], 0xAA);

    // Pull unbinds and leaves the device as it is, and free for the system.
    ASSERT_EQ(QevScWrite10(1, 1000, 1, buf.data(), 512), 0);  // held open by the library now
    auto before = loop.Bytes(0, 32 * kMiB);
    out = Tvqunit("pull u 1");
    EXPECT_NE(out.find("exit 0"), std::string::npos) << out;
    EXPECT_EQ(u.Mask(), 0u);
    EXPECT_EQ(loop.Bytes(0, 32 * kMiB), before);
    EXPECT_TRUE(CanOpenExclusively(loop.Node()));
}

TEST(DeviceCard, DeviceErrorsAreMediumErrors)
{
    TVQ_REQUIRE_LOOP();
    // An 8 MiB card whose backing store holds 1 MiB: writes beyond fail in the device.
    std::string dir = LoopDevice::ScratchDir() + "/tmpfs-XXXXXX";
    ASSERT_TRUE(::mkdtemp(dir.data()));
    ASSERT_EQ(::mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=1M"), 0);
    {
        LoopDevice loop(8 * kMiB, 512, false, dir);
        Unit210 u;
        u.Bind(1, loop.Node());
        u.Scan();
        auto data = Pattern(128, 11);
        int32_t rc = 0;
        uint32_t lba = 0;
        for (; lba < 16384 && rc == 0; lba += 128) rc = QevScWrite10(1, lba, 128, data.data(), 512);
        EXPECT_EQ(rc, QEV_E_WRITE_ERROR) << std::hex << rc;
        EXPECT_LT(lba, 8192u);
        ASSERT_EQ(QevScFree(), 1);
    }
    ::umount2(dir.c_str(), MNT_DETACH);
    ::rmdir(dir.c_str());
}

TEST(DeviceCard, ANewMediumIsToldOnceOnItsFirstTransfer)
{
    TVQ_REQUIRE_LOOP();
    LoopDevice loop(4 * kMiB);
    Unit210 u;
    u.Bind(1, loop.Node());
    u.Scan();
    auto a = Pattern(8, 1), b = Pattern(8, 2);
    const std::vector<uint8_t> zeros(8 * 512, 0);
    ASSERT_EQ(QevScWrite10(1, 0, 8, a.data(), 512), 0);

    // Let go while idle, then another medium in the device (attached anew:
    // a new disk sequence number): its first write is refused, nothing lands.
    u.Mask();
    u.Mask();
    EXPECT_TRUE(CanOpenExclusively(loop.Node())) << "the idle device was not let go";
    loop.Detach();
    loop.Attach();
    EXPECT_EQ(QevScWrite10(1, 8, 8, b.data(), 512), QEV_E_MEDIUM_CHANGED);
    EXPECT_EQ(loop.Bytes(8 * 512, 8 * 512), zeros);
    ASSERT_EQ(QevScWrite10(1, 8, 8, b.data(), 512), 0);
    EXPECT_EQ(loop.Bytes(8 * 512, 8 * 512), b);

    // The same after the device was freed.
    EXPECT_NE(QevScFreeEx(1), 0);
    loop.Detach();
    loop.Attach();
    std::vector<uint8_t> back(8 * 512);
    EXPECT_EQ(QevScRead10(1, 0, 8, back.data(), 512), QEV_E_MEDIUM_CHANGED);
    ASSERT_EQ(QevScRead10(1, 0, 8, back.data(), 512), 0);
    EXPECT_EQ(back, a);

    // A look at the slot in between takes note of the new medium: no news then.
    EXPECT_NE(QevScFreeEx(1), 0);
    loop.Detach();
    loop.Attach();
    u.Mask();
    EXPECT_EQ(QevScRead10(1, 0, 8, back.data(), 512), 0);
    EXPECT_NE(QevScFreeEx(1), 0);
    loop.Detach();
    loop.Attach();
    QevSlotRecord rec{};
    ASSERT_EQ(QevScGetDriveInfo(1, &rec), 0);
    EXPECT_EQ(QevScWrite10(1, 16, 8, b.data(), 512), 0);
}

TEST(DeviceCard, ASwappedMediumIsNeverReadAsTheOldOne)
{
    TVQ_REQUIRE_LOOP();
    LoopDevice loop(4 * kMiB);
    auto a = Pattern(8, 5), b = Pattern(8, 6);
    loop.Put(0, a);
    std::string other = LoopDevice::ScratchDir() + "/other-card.img";
    {
        std::ofstream out(other, std::ios::binary);
        out.write(reinterpret_cast<const char *>(b.data()), static_cast<std::streamsize>(b.size()));
        out.seekp(4 * kMiB - 1);
        out.put('\0');
    }
    Unit210 u;
    u.Bind(1, loop.Node());
    // Read-only from here on: the loop driver swaps the file of such a device in place.
    loop.Detach();
    loop.Attach(true);
    u.Scan();
    std::vector<uint8_t> back(8 * 512);
    ASSERT_EQ(QevScRead10(1, 0, 8, back.data(), 512), 0);
    EXPECT_EQ(back, a);
    loop.ChangeFile(other);
    // The device stays open in the library; its medium is another one now.
    EXPECT_EQ(QevScRead10(1, 0, 8, back.data(), 512), QEV_E_MEDIUM_CHANGED);
    ASSERT_EQ(QevScRead10(1, 0, 8, back.data(), 512), 0);
    EXPECT_EQ(back, b);
    EXPECT_EQ(QevScWrite10(1, 0, 8, a.data(), 512), QEV_E_WRITE_PROTECT);
    QevScFree();
    loop.Detach();
    ::unlink(other.c_str());
}

TEST(DeviceCard, DevicesStackedOnACardRefuseBindingAndWriting)
{
    TVQ_REQUIRE_LOOP();
    LoopDevice loop(16 * kMiB);
    auto tail = Pattern(16384, 7);
    loop.Put(8 * kMiB, tail);
    Unit210 u;
    {
        // A loop device over the card's node, mounted: the loop driver registers no holder.
        StackedLoop stacked(loop.Node());
        ASSERT_FALSE(stacked.node.empty()) << "no loop device over " << loop.Node();
        ASSERT_EQ(Shell("mkfs.ext4 -q -F " + stacked.node + " 8M >/dev/null 2>&1"), 0);
        ASSERT_FALSE(stacked.Mount().empty());
        std::string out = Tvqunit("insert u 1 --device " + loop.Node());
        EXPECT_NE(out.find(stacked.node.substr(5)), std::string::npos) << out;
        EXPECT_NE(out.find("mounted"), std::string::npos) << out;
        EXPECT_NE(out.find("exit 1"), std::string::npos) << out;
        EXPECT_FALSE(u.bus.Bus().HasCard("u", 1));
        // Unmounted, the loop device over it still writes through to it.
        stacked.Unmount();
        out = Tvqunit("insert u 1 --device " + loop.Node());
        EXPECT_NE(out.find("in use by another device"), std::string::npos) << out;
        EXPECT_FALSE(u.bus.Bus().HasCard("u", 1));
    }

    // Stacked and mounted after binding: the card is in, in use; nothing is written.
    u.Bind(1, loop.Node());
    u.Scan();
    auto data = Pattern(128, 8);
    ASSERT_EQ(QevScWrite10(1, 16384, 128, data.data(), 512), 0);
    ASSERT_NE(QevScFree(), 0);
    loop.Put(8 * kMiB, tail);
    StackedLoop stacked(loop.Node());
    ASSERT_FALSE(stacked.node.empty());
    ASSERT_FALSE(stacked.Mount().empty());
    EXPECT_EQ(QevScWrite10(1, 16384, 128, data.data(), 512), QEV_E_IN_USE);
    EXPECT_EQ(QevScWrite10(0, 16384, 128, data.data(), 512), QEV_E_IN_USE);
    EXPECT_EQ(QevScFormat(1, nullptr), QEV_E_IN_USE);
    EXPECT_EQ(u.Mask(), 1u);
    EXPECT_EQ(loop.Bytes(8 * kMiB, 8 * kMiB), tail);
    stacked.Detach();
    EXPECT_EQ(QevScWrite10(1, 16384, 128, data.data(), 512), 0);
    EXPECT_NE(QevScFree(), 0);
    EXPECT_EQ(loop.Bytes(8 * kMiB, 128 * 512), data);

    // Another program holding the card exclusively: held, not "not ready".
    int fd = ::open(loop.Node().c_str(), O_RDONLY | O_EXCL | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    std::vector<uint8_t> back(512);
    EXPECT_EQ(QevScRead10(1, 0, 1, back.data(), 512), QEV_E_HELD);
    EXPECT_EQ(QevScWrite10(1, 0, 1, data.data(), 512), QEV_E_HELD);
    ::close(fd);
    EXPECT_EQ(QevScRead10(1, 0, 1, back.data(), 512), 0);
    QevScFree();
}

TEST(DeviceCard, NoPermissionIsNotNoCard)
{
    TVQ_REQUIRE_LOOP();
    LoopDevice loop(8 * kMiB);
    Unit210 u;
    u.Bind(1, loop.Node());
    struct stat st;
    ASSERT_EQ(::stat(loop.Node().c_str(), &st), 0);
    const char *ci = std::getenv("CI");
    const bool inCi = ci && std::string(ci) == "true";
    if (st.st_mode & 0006) {
        if (inCi) FAIL() << loop.Node() << " is open to everyone here";
        GTEST_SKIP() << loop.Node() << " is open to everyone here";
    }
    // Another user reads the bus, but may not open the device.
    std::string root = u.bus.Dir().substr(0, u.bus.Dir().rfind('/'));
    ASSERT_EQ(Shell("chmod -R a+rwX " + root), 0);
    std::string out = ShellOutput("setpriv --reuid=65534 --regid=65534 --clear-groups " + std::string(TVQUNIT_PATH) +
                                  " show u 2>&1; echo \"exit $?\"");
    if (out.find("exit 0") == std::string::npos) {
        if (inCi) FAIL() << "the bus is not reachable for another user: " << out;
        GTEST_SKIP() << "the bus is not reachable for another user: " << out;
    }
    // Where the machine runs UDisks2 that user would go through it; else the two ways are named.
    EXPECT_TRUE(out.find("a card is in, but permission denied; ") != std::string::npos ||
                out.find("opens it through UDisks2") != std::string::npos)
        << out;

    int pipefd[2];
    ASSERT_EQ(::pipe(pipefd), 0);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::close(pipefd[0]);
        int32_t r[6] = {-1, -1, -1, -1, -1, -1};
        if (::setgroups(0, nullptr) == 0 && ::setgid(65534) == 0 && ::setuid(65534) == 0) {
            QevSlotRecord t[QEV_MAX_TARGETS];
            r[0] = ScanAll(t);
            QevSlotStatus s{};
            r[1] = QevScGetSlotStatus(0, &s) == 0 ? static_cast<int32_t>(s.CardMask) : -2;
            QevSlotRecord rec{};
            r[2] = QevScGetDriveInfo(1, &rec) == 0 ? static_cast<int32_t>(rec.TotalSectors) : -2;
            std::vector<uint8_t> buf(512);
            r[3] = QevScRead10(1, 0, 1, buf.data(), 512);
            r[4] = QevScWrite10(1, 0, 1, buf.data(), 512);
            r[5] = static_cast<int32_t>(rec.CardPresent);
        }
        ssize_t n = ::write(pipefd[1], r, sizeof r);
        ::_exit(n == static_cast<ssize_t>(sizeof r) ? 0 : 1);
    }
    ::close(pipefd[1]);
    int32_t r[6] = {};
    ssize_t n = ::read(pipefd[0], r, sizeof r);
    ::close(pipefd[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_EQ(n, static_cast<ssize_t>(sizeof r));
    EXPECT_EQ(r[0], 11);
    EXPECT_EQ(r[1], 1) << "the card must show as in";
    EXPECT_EQ(r[2], 16384);
    EXPECT_EQ(r[5], 1);
    EXPECT_EQ(r[3], QEV_E_NO_ACCESS);
    EXPECT_EQ(r[4], QEV_E_NO_ACCESS);
}
