// The tests' FUSE fault file system, through a loop device over one of its
// files: the faults it is told to make reach the block device's users.
#include "FaultFsMount.h"
#include "LoopDevice.h"
#include <filesystem>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace {

using tvqtest::FaultFsMount;
using tvqtest::LoopDevice;

// Direct I/O, so that the page cache answers nothing.
struct Node {
    explicit Node(const std::string &path) : fd(::open(path.c_str(), O_RDWR | O_DIRECT | O_CLOEXEC)) {}
    ~Node()
    {
        if (fd >= 0) ::close(fd);
    }
    int Read(off_t off, size_t len, std::vector<uint8_t> *out = nullptr)
    {
        void *p = nullptr;
        if (posix_memalign(&p, 4096, len) != 0) return ENOMEM;
        ssize_t n = ::pread(fd, p, len, off);
        int e = n < 0 ? errno : (static_cast<size_t>(n) == len ? 0 : -1);
        if (out && n > 0) out->assign(static_cast<uint8_t *>(p), static_cast<uint8_t *>(p) + n);
        std::free(p);
        return e;
    }
    int Write(off_t off, const std::vector<uint8_t> &data)
    {
        void *p = nullptr;
        if (posix_memalign(&p, 4096, data.size()) != 0) return ENOMEM;
        std::memcpy(p, data.data(), data.size());
        ssize_t n = ::pwrite(fd, p, data.size(), off);
        int e = n < 0 ? errno : (static_cast<size_t>(n) == data.size() ? 0 : -1);
        std::free(p);
        return e;
    }
    int Sync() { return ::fdatasync(fd) == 0 ? 0 : errno; }
    int fd;
};

std::vector<uint8_t> Bytes(size_t n, uint8_t seed)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 7);
    return v;
}

TEST(FaultFs, FaultsReachTheLoopDevice)
{
    TVQ_REQUIRE_LOOP();
    TVQ_REQUIRE_FAULTFS();
    FaultFsMount fs;
    LoopDevice loop(1 << 20, 512, false, fs.Dir());
    std::string name = loop.File().substr(fs.Dir().size() + 1);
    Node dev(loop.Node());
    ASSERT_GE(dev.fd, 0) << loop.Node() << ": " << std::strerror(errno);

    // No rule: the data goes through to the backing file and back.
    auto data = Bytes(8192, 1);
    ASSERT_EQ(dev.Write(65536, data), 0);
    ASSERT_EQ(dev.Sync(), 0);
    std::vector<uint8_t> back;
    ASSERT_EQ(dev.Read(65536, 8192, &back), 0);
    EXPECT_EQ(back, data);
    std::vector<uint8_t> file(8192);
    int bf = ::open((fs.Backing() + "/" + name).c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(bf, 0);
    ASSERT_EQ(::pread(bf, file.data(), file.size(), 65536), 8192);
    ::close(bf);
    EXPECT_EQ(file, data);

    // Reads of one byte range fail, the bytes beside it read.
    fs.SetRules({"op=read file=" + name + " bytes=131072-131072 effect=eio"});
    EXPECT_EQ(dev.Read(131072, 512), EIO);
    EXPECT_EQ(dev.Read(130560, 1024), EIO);
    EXPECT_EQ(dev.Read(131584, 512), 0);
    EXPECT_EQ(dev.Read(130560, 512), 0);
    EXPECT_EQ(fs.Fires(1), 2u);
    EXPECT_GE(fs.Hits(1), 2u);

    // A rule for another file leaves this one alone; writes fail where told.
    fs.SetRules({"op=all file=other.img effect=eio", "op=write file=" + name + " bytes=0-4095 effect=eio"});
    EXPECT_EQ(dev.Read(131072, 512), 0);
    EXPECT_EQ(dev.Write(0, Bytes(512, 9)), EIO);
    EXPECT_EQ(dev.Write(4096, Bytes(512, 9)), 0);
    EXPECT_EQ(fs.Hits(1), 0u);
    EXPECT_EQ(fs.Fires(2), 1u);

    // Flushes fail: the loop device reports it to fdatasync.
    fs.SetRules({"op=fsync effect=eio"});
    ASSERT_EQ(dev.Write(8192, Bytes(512, 3)), 0);
    EXPECT_EQ(dev.Sync(), EIO);
    EXPECT_GE(fs.Fires(1), 1u);

    // A transient fault: the next two reads fail, the third passes.
    fs.SetRules({"op=read count=next:2 effect=eio"});
    EXPECT_EQ(dev.Read(0, 512), EIO);
    EXPECT_EQ(dev.Read(0, 512), EIO);
    EXPECT_EQ(dev.Read(0, 512), 0);
    EXPECT_EQ(fs.Fires(1), 2u);
    EXPECT_EQ(fs.Hits(1), 3u);

    // Delays and a throughput limit hold the operation at least that long.
    fs.SetRules({"op=read effect=delay:300"});
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(dev.Read(0, 512), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(300));
    fs.SetRules({"op=write effect=rate:65536"});
    t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(dev.Write(0, Bytes(32768, 5)), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(500));

    // A list it cannot read applies nothing (and says so on stderr).
    fs.SetRules({"op=read effect=eio", "op=sideways"});
    EXPECT_EQ(dev.Read(0, 512), 0);
}

TEST(FaultFs, UnmountDetachesLoopDevicesOverIt)
{
    TVQ_REQUIRE_LOOP();
    TVQ_REQUIRE_FAULTFS();
    std::string node, mnt;
    {
        FaultFsMount fs;
        mnt = fs.Dir();
        // Declared after the mount, as a careless test would: the mount still goes cleanly.
        auto *loop = new LoopDevice(1 << 20, 512, false, fs.Dir());
        node = loop->Node();
        fs.Unmount();
        EXPECT_EQ(tvqtest::BackingFile(node), "");
        delete loop;  // its node is no longer over its file: left alone
    }
    EXPECT_FALSE(std::filesystem::exists(mnt));
}

}  // namespace
