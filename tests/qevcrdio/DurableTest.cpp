// Data a WRITE(10) reported written reaches stable storage at eject, pull,
// unplug and free at the latest, and at once with sync "always". The page
// cache tells: cachestat() counts the dirty pages of a file.
#include "LibTestUtil.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <pwd.h>
#include <sys/syscall.h>
#include <unistd.h>

using namespace tvqtest;

namespace {

struct CacheStat {
    uint64_t cache, dirty, writeback, evicted, recentlyEvicted;
};

// Dirty or under-writeback pages of the file; -1 when the kernel cannot tell.
long long Unsettled(const std::string &path)
{
#ifdef SYS_cachestat
    const long nr = SYS_cachestat;
#else
    const long nr = 451;  // cachestat, Linux 6.5
#endif
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    struct {
        uint64_t off, len;
    } range{0, 0};
    CacheStat cs{};
    long rc = ::syscall(nr, fd, &range, &cs, 0);
    ::close(fd);
    return rc == 0 ? static_cast<long long>(cs.dirty + cs.writeback) : -1;
}

struct Unit {
    VirtualBus bus;
    std::string img1, img2;
    Unit()
    {
        bus.AddUnit("u");
        img1 = bus.InsertBlank("u", 1, 1 << 20);
        img2 = bus.InsertBlank("u", 2, 1 << 20);
        QevSlotRecord t[QEV_MAX_TARGETS];
        EXPECT_EQ(ScanAll(t), 11);
    }
    // Writes through the library; false when the page cache does not show it as dirty.
    bool WriteDirty(uint32_t target, const std::string &img)
    {
        auto data = Pattern(128, target);
        EXPECT_EQ(QevScWrite10(target, 0, 128, data.data(), 512), 0);
        return Unsettled(img) > 0;
    }
};

}  // namespace

TEST(Durable, WrittenDataIsOnDiskAtEjectPullUnplugAndFree)
{
    Unit u;
    if (Unsettled(u.img1) < 0) GTEST_SKIP() << "the kernel has no cachestat(): dirty pages cannot be seen";
    if (!u.WriteDirty(1, u.img1)) GTEST_SKIP() << "written pages are not held dirty on this file system";
    // Eject through the library.
    ASSERT_NE(QevScEject(1), 0);
    EXPECT_EQ(Unsettled(u.img1), 0) << "eject left written data in the page cache";

    // Pull through the bus (what tvqunit pull does), from outside the library.
    ASSERT_TRUE(u.WriteDirty(2, u.img2));
    u.bus.Pull("u", 2);
    EXPECT_EQ(Unsettled(u.img2), 0) << "pull left written data in the page cache";

    // Unplug.
    std::string img3 = u.bus.InsertBlank("u", 3, 1 << 20);
    QevSlotStatus st;
    ASSERT_EQ(QevScGetSlotStatus(0, &st), 0);  // the new card seen, as a client polling does
    ASSERT_TRUE(u.WriteDirty(3, img3));
    u.bus.Unplug("u");
    EXPECT_EQ(Unsettled(img3), 0) << "unplug left written data in the page cache";
    u.bus.Plug("u");

    // Free, and the release of one target.
    ASSERT_TRUE(u.WriteDirty(3, img3));
    ASSERT_NE(QevScFree(), 0);
    EXPECT_EQ(Unsettled(img3), 0) << "free left written data in the page cache";
    ASSERT_TRUE(u.WriteDirty(3, img3));
    ASSERT_NE(QevScFreeEx(0xFF), 0);
    EXPECT_EQ(Unsettled(img3), 0) << "the release of the unit left written data in the page cache";
}

TEST(Durable, FreeFlushesOnlyWhatTheLibraryWrote)
{
    // A session that only read leaves the page cache to the kernel: its free
    // must not wait for data other programs wrote (an fdatasync would).
    Unit u;
    if (Unsettled(u.img1) < 0) GTEST_SKIP() << "the kernel has no cachestat(): dirty pages cannot be seen";
    auto data = Pattern(128, 9);
    std::vector<uint8_t> back(data.size());
    ASSERT_EQ(QevScRead10(1, 0, 128, back.data(), 512), 0);
    int fd = ::open(u.img1.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, data.data(), data.size(), 0), static_cast<ssize_t>(data.size()));
    ::close(fd);
    if (Unsettled(u.img1) <= 0) GTEST_SKIP() << "written pages are not held dirty on this file system";
    ASSERT_NE(QevScFree(), 0);
    EXPECT_GT(Unsettled(u.img1), 0) << "free flushed a card the library only read";
    // Once it writes, the same free makes it durable.
    ASSERT_TRUE(u.WriteDirty(1, u.img1));
    ASSERT_NE(QevScFree(), 0);
    EXPECT_EQ(Unsettled(u.img1), 0);
}

TEST(Durable, SyncAlwaysMakesEveryWriteSynchronous)
{
    Unit u;
    if (Unsettled(u.img1) < 0) GTEST_SKIP() << "the kernel has no cachestat(): dirty pages cannot be seen";
    if (!u.WriteDirty(1, u.img1)) GTEST_SKIP() << "written pages are not held dirty on this file system";
    u.bus.Bus().SetSync("u", true);
    EXPECT_EQ(Unsettled(u.img1), 0) << "turning sync on leaves earlier writes unflushed";
    EXPECT_FALSE(u.WriteDirty(1, u.img1)) << "a write with sync always returned before its data was on disk";
    EXPECT_FALSE(u.WriteDirty(0, u.img1)) << "the same through the VD";
    u.bus.Bus().SetSync("u", false);
    EXPECT_TRUE(u.WriteDirty(1, u.img1));
}

TEST(Durable, NullBuffersOfLengthZeroAreDefined)
{
    Unit u;
    // Nothing to copy, so nothing is touched: both calls succeed (the sanitizer build checks the rest).
    EXPECT_EQ(QevScInquiry(0, 0, nullptr), 0);
    EXPECT_EQ(QevScReadBuffer(0, 2, 4, 0x1000, nullptr, 0), 0);
    EXPECT_EQ(QevScInquiry(0, 36, nullptr), QEV_E_INVALID_FIELD);
}

TEST(Durable, WithoutHomeTheBusIsInTheUsersHomeNeverHere)
{
    std::string saved[3];
    const char *names[3] = {"HOME", "QEVCRDIO_BUS", "XDG_DATA_HOME"};
    bool had[3];
    for (int i = 0; i < 3; ++i) {
        const char *v = std::getenv(names[i]);
        had[i] = v != nullptr;
        if (v) saved[i] = v;
        ::unsetenv(names[i]);
    }
    std::string dir = vbus::DefaultBusDir();
    for (int i = 0; i < 3; ++i)
        if (had[i]) ::setenv(names[i], saved[i].c_str(), 1);
    ASSERT_FALSE(dir.empty());
    EXPECT_EQ(dir[0], '/') << dir;
    // The password database's home, where the library and tvqunit look too.
    struct passwd *pw = ::getpwuid(::getuid());
    ASSERT_NE(pw, nullptr);
    EXPECT_EQ(dir, std::string(pw->pw_dir) + "/.local/share/qevcrdio/bus");
}
