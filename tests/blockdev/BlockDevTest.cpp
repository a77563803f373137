// The block-device layer on loop devices: presence, transfers, exclusivity,
// the safety checks before writing, and device errors.
#include "DevList.h"
#include "Device.h"
#include "LoopDevice.h"
#include "Node.h"
#include "Pattern.h"
#include "Usage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

using namespace tvqtest;
using blockdev::Device;
using blockdev::Medium;
using Io = blockdev::Device::Io;

namespace {

constexpr uint64_t kMiB = 1u << 20;

std::string SysName(const std::string &node)
{
    return node.substr(node.rfind('/') + 1);
}

// A small tmpfs of the test's own, so that a loop device over a file in it runs out of room.
struct SmallTmpfs {
    std::string dir;
    explicit SmallTmpfs(const std::string &size)
    {
        dir = LoopDevice::ScratchDir() + "/tmpfs-XXXXXX";
        if (!::mkdtemp(dir.data())) throw std::runtime_error("mkdtemp");
        std::string opts = "size=" + size;
        if (::mount("tmpfs", dir.c_str(), "tmpfs", 0, opts.c_str()) != 0)
            throw std::runtime_error(std::string("mount tmpfs: ") + std::strerror(errno));
    }
    ~SmallTmpfs()
    {
        if (::umount2(dir.c_str(), 0) != 0) ::umount2(dir.c_str(), MNT_DETACH);
        ::rmdir(dir.c_str());
    }
};

bool CanOpenExclusively(const std::string &node)
{
    int fd = ::open(node.c_str(), O_RDONLY | O_EXCL | O_CLOEXEC);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

}  // namespace

TEST(BlockDev, PresenceFollowsTheMedium)
{
    TVQ_REQUIRE_LOOP();
    LoopDevice loop(8 * kMiB);
    Medium m = blockdev::Probe(loop.Node());
    ASSERT_EQ(m.state, Medium::Present) << m.why;
    EXPECT_EQ(m.bytes, 8 * kMiB);
    EXPECT_EQ(m.logicalBlockSize, 512u);
    EXPECT_EQ(blockdev::Sectors512(m.bytes), 16384u);
    uint64_t seq = m.diskSeq;

    // Detached: the node stays, the medium is gone; attached again: a new medium.
    loop.Detach();
    EXPECT_EQ(blockdev::Probe(loop.Node()).state, Medium::NoMedium);
    loop.Attach();
    m = blockdev::Probe(loop.Node());
    EXPECT_EQ(m.state, Medium::Present);
    if (seq != 0) {
        EXPECT_GT(m.diskSeq, seq);
    }

    // No node, a file, a FIFO: no card, and no hang.
    EXPECT_EQ(blockdev::Probe(LoopDevice::ScratchDir() + "/none").state, Medium::Missing);
    EXPECT_EQ(blockdev::Probe(loop.File()).state, Medium::Failed);
    std::string fifo = LoopDevice::ScratchDir() + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(blockdev::Probe(fifo).state, Medium::Failed);

    // A 4096-byte logical block size is reported as it is.
    LoopDevice big(8 * kMiB, 4096);
    m = blockdev::Probe(big.Node());
    EXPECT_EQ(m.state, Medium::Present);
    EXPECT_EQ(m.logicalBlockSize, 4096u);
    EXPECT_EQ(blockdev::Sectors512(m.bytes), 16384u);
}

TEST(BlockDev, ResolveFollowsLinksAndFindsTheDisk)
{
    TVQ_REQUIRE_LOOP();
    LoopDevice loop(8 * kMiB, 512, true);
    loop.AddPartition(1, 2048, 8192);
    std::string link = LoopDevice::ScratchDir() + "/by-id-link";
    ASSERT_EQ(::symlink(loop.Node().c_str(), link.c_str()), 0);
    blockdev::NodeInfo info;
    std::string why;
    ASSERT_TRUE(blockdev::Resolve(link, &info, &why)) << why;
    EXPECT_EQ(info.node, loop.Node());
    EXPECT_FALSE(info.partition);
    EXPECT_EQ(info.diskSysName, SysName(loop.Node()));
    ASSERT_TRUE(blockdev::Resolve(loop.Node() + "p1", &info, &why)) << why;
    EXPECT_TRUE(info.partition);
    EXPECT_EQ(info.sysName, SysName(loop.Node()) + "p1");
    EXPECT_EQ(info.diskSysName, SysName(loop.Node()));
    EXPECT_FALSE(blockdev::Resolve(loop.File(), &info, &why));
    EXPECT_NE(why.find("not a block device"), std::string::npos) << why;
    EXPECT_FALSE(blockdev::Resolve("/dev/no-such-card", &info, &why));
}

TEST(BlockDev, TransfersReachTheBackingFileAndHoldTheDeviceExclusively)
{
    TVQ_REQUIRE_LOOP();
    LoopDevice loop(4 * kMiB);
    auto first = Pattern(4 * kMiB, 1);
    loop.Put(0, first);
    Device dev(loop.Node());

    // Reads, into an aligned buffer and into one that is not (the bounce buffer).
    std::vector<uint8_t> buf(64 * 1024 + 1);
    ASSERT_EQ(dev.Read(0, buf.data(), 65536), Io::Ok) << dev.LastError();
    EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + 65536, first.begin()));
    ASSERT_EQ(dev.Read(4 * kMiB - 65536, buf.data() + 1, 65536), Io::Ok) << dev.LastError();
    EXPECT_TRUE(std::equal(buf.begin() + 1, buf.end(), first.end() - 65536));

    // Writes land in the file once flushed, from either kind of buffer.
    auto second = Pattern(128 * 1024 + 1, 2);
    ASSERT_EQ(dev.Write(512, second.data(), 65536), Io::Ok) << dev.LastError();
    ASSERT_EQ(dev.Write(512 + 65536, second.data() + 1, 65536), Io::Ok) << dev.LastError();
    // While it is open for writing nobody can mount it.
    EXPECT_FALSE(CanOpenExclusively(loop.Node()));
    ASSERT_TRUE(dev.Flush());
    auto now = loop.Bytes(0, 4 * kMiB);
    EXPECT_TRUE(std::equal(now.begin(), now.begin() + 512, first.begin()));
    EXPECT_TRUE(std::equal(now.begin() + 512, now.begin() + 512 + 65536, second.begin()));
    EXPECT_TRUE(std::equal(now.begin() + 512 + 65536, now.begin() + 512 + 131072, second.begin() + 1));
    EXPECT_TRUE(std::equal(now.begin() + 512 + 131072, now.end(), first.begin() + 512 + 131072));

    // Past the end, and pieces of a block.
    EXPECT_EQ(dev.Read(4 * kMiB - 512, buf.data(), 1024), Io::OutOfRange);
    EXPECT_EQ(dev.Write(4 * kMiB, buf.data(), 512), Io::OutOfRange);
    EXPECT_EQ(dev.Read(100, buf.data(), 512), Io::Failed);
    EXPECT_EQ(dev.Read(0, buf.data(), 100), Io::Failed);

    // The device is held while transfers keep coming, and let go after a quiet tick.
    dev.Tick();
    EXPECT_TRUE(dev.IsOpen());
    dev.Tick();
    EXPECT_FALSE(dev.IsOpen());
    EXPECT_TRUE(CanOpenExclusively(loop.Node()));

    // A detached loop device is no medium.
    loop.Detach();
    EXPECT_EQ(dev.Read(0, buf.data(), 512), Io::NoMedium);
    EXPECT_EQ(dev.Write(0, buf.data(), 512), Io::NoMedium);
}

TEST(BlockDev, MountedSwapAndSystemDisksAreNeverWritten)
{
    TVQ_REQUIRE_LOOP();
    // The file system takes the first half; the second half is ours to watch.
    LoopDevice loop(16 * kMiB);
    auto tail = Pattern(8 * kMiB, 4);
    loop.Put(8 * kMiB, tail);
    ASSERT_EQ(Shell("mkfs.ext4 -q -F " + loop.Node() + " 8M >/dev/null 2>&1"), 0);
    std::string mnt = loop.Mount(loop.Node(), "ext4");
    std::string sys = SysName(loop.Node());

    blockdev::Usage u = blockdev::UsageOf(sys);
    ASSERT_EQ(u.mounts.size(), 1u);
    EXPECT_NE(u.mounts[0].find(mnt), std::string::npos) << u.mounts[0];
    EXPECT_FALSE(u.system);

    Device dev(loop.Node());
    std::vector<uint8_t> zeros(65536, 0);
    EXPECT_EQ(dev.Write(8 * kMiB, zeros.data(), zeros.size()), Io::InUse);
    EXPECT_NE(dev.LastError().find("mounted"), std::string::npos) << dev.LastError();
    EXPECT_NE(dev.LastError().find(mnt), std::string::npos) << dev.LastError();
    EXPECT_EQ(dev.Write(16 * kMiB - 512, zeros.data(), 512), Io::InUse);
    // A mounted card does not answer reads either.
    EXPECT_EQ(dev.Read(8 * kMiB, zeros.data(), 512), Io::InUse);
    loop.UnmountAll();
    EXPECT_EQ(loop.Bytes(8 * kMiB, 8 * kMiB), tail);
    EXPECT_FALSE(blockdev::UsageOf(sys).Any());
    EXPECT_EQ(dev.Write(0, zeros.data(), 512), Io::Ok) << dev.LastError();
    dev.Release();

    // The caller's own check (the bus: bound twice) is asked too.
    Device guarded(loop.Node(), [](const blockdev::NodeInfo &n) { return n.node + " is bound to u slot 1"; });
    EXPECT_EQ(guarded.Write(0, zeros.data(), 512), Io::Refused);
    EXPECT_NE(guarded.LastError().find("bound to u slot 1"), std::string::npos);
    EXPECT_EQ(guarded.Read(0, zeros.data(), 512), Io::Ok);
    guarded.Release();

    // Swap on it.
    ASSERT_EQ(Shell("mkswap " + loop.Node() + " >/dev/null 2>&1"), 0);
    auto before = loop.Bytes(0, 16 * kMiB);
    if (Shell("swapon " + loop.Node() + " 2>/dev/null") == 0) {
        u = blockdev::UsageOf(sys);
        EXPECT_EQ(u.swaps.size(), 1u);
        EXPECT_EQ(dev.Write(0, zeros.data(), 512), Io::InUse);
        EXPECT_NE(dev.LastError().find("swap"), std::string::npos) << dev.LastError();
        Shell("swapoff " + loop.Node());
        EXPECT_EQ(loop.Bytes(0, 16 * kMiB), before);
    } else {
        std::cout << "swapon is not allowed here; swap refusal not checked\n";
    }

    // The running system on it, as a mount table would tell (a copy; nothing is mounted).
    struct stat st;
    ASSERT_EQ(::stat(loop.Node().c_str(), &st), 0);
    std::string dev_ = std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
    std::string table = LoopDevice::ScratchDir() + "/mountinfo";
    std::ofstream(table) << "21 1 254:0 / / rw,relatime - ext4 /dev/vdz rw\n"
                         << "22 21 " << dev_ << " / /usr rw,relatime - ext4 " << loop.Node() << " rw\n";
    blockdev::Tables t;
    t.mountinfo = table;
    t.swaps = "/dev/null";
    u = blockdev::UsageOf(sys, t);
    EXPECT_TRUE(u.system);
    std::string why = blockdev::RefusalText(loop.Node(), u);
    EXPECT_NE(why.find("running system"), std::string::npos) << why;
    std::ofstream(table) << "22 21 " << dev_ << " / /srv/cards rw,relatime - ext4 " << loop.Node() << " rw\n";
    u = blockdev::UsageOf(sys, t);
    EXPECT_FALSE(u.system);
    EXPECT_EQ(u.mounts.size(), 1u);
}

TEST(BlockDev, APartitionMountedRefusesTheWholeCard)
{
    TVQ_REQUIRE_LOOP();
    LoopDevice loop(16 * kMiB, 512, true);
    // The partition starts at 1 MiB; the bytes before it are ours to watch.
    auto head = Pattern(kMiB, 5);
    loop.Put(0, head);
    loop.AddPartition(1, 2048, 16384);
    std::string part = loop.Node() + "p1";
    ASSERT_EQ(Shell("mkfs.ext4 -q -F " + part + " >/dev/null 2>&1"), 0);
    loop.Mount(part, "ext4");

    Device whole(loop.Node());
    std::vector<uint8_t> zeros(4096, 0);
    EXPECT_EQ(whole.Write(0, zeros.data(), zeros.size()), Io::InUse);
    EXPECT_NE(whole.LastError().find(part), std::string::npos) << whole.LastError();
    // Binding a partition instead is refused too: a card is bound whole.
    Device one(part);
    EXPECT_EQ(one.Write(0, zeros.data(), zeros.size()), Io::Refused);
    EXPECT_NE(one.LastError().find("partition"), std::string::npos) << one.LastError();
    loop.UnmountAll();
    EXPECT_EQ(loop.Bytes(0, kMiB), head);
}

TEST(BlockDev, DeviceErrorsAreMediumErrorsNeverSuccess)
{
    TVQ_REQUIRE_LOOP();
    // A card of 8 MiB whose backing store holds 1 MiB: writes beyond fail in the device.
    SmallTmpfs small("1M");
    LoopDevice loop(8 * kMiB, 512, false, small.dir);
    Device dev(loop.Node());
    auto data = Pattern(65536, 3);
    Io last = Io::Ok;
    uint64_t off = 0;
    for (; off < 8 * kMiB && last == Io::Ok; off += 65536) last = dev.Write(off, data.data(), data.size());
    EXPECT_EQ(last, Io::MediumError) << blockdev::IoName(last) << " " << dev.LastError();
    EXPECT_LT(off, 4 * kMiB);
    // What did fit reads back.
    std::vector<uint8_t> back(65536);
    ASSERT_EQ(dev.Read(0, back.data(), back.size()), Io::Ok);
    EXPECT_EQ(back, data);
}

TEST(BlockDev, TheListShowsLoopDevicesWithTheirUse)
{
    TVQ_REQUIRE_LOOP();
    LoopDevice loop(8 * kMiB);
    auto find = [&]() {
        for (const auto &e : blockdev::ListCardDevices())
            if (e.node == loop.Node()) return e;
        return blockdev::DeviceEntry{};
    };
    blockdev::DeviceEntry e = find();
    ASSERT_EQ(e.node, loop.Node());
    EXPECT_EQ(e.kind, "loop");
    EXPECT_EQ(e.model, loop.File());
    EXPECT_EQ(e.bytes, 8 * kMiB);
    EXPECT_FALSE(e.usage.Any());
    ASSERT_EQ(Shell("mkfs.ext4 -q -F " + loop.Node() + " >/dev/null 2>&1"), 0);
    loop.Mount(loop.Node(), "ext4");
    e = find();
    EXPECT_EQ(e.usage.mounts.size(), 1u);
    // Detached, it is no card device any more.
    loop.UnmountAll();
    loop.Detach();
    EXPECT_TRUE(find().node.empty());
}
