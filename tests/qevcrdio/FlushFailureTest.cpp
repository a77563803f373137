// Flushes that fail beneath the block layer (the tests' FUSE fault file
// system under a loop device, or under an image kept in place) reach whoever
// asked for the data to be safe: the library's caller and tvqunit.
#include "FaultFsMount.h"
#include "LibTestUtil.h"
#include "LoopDevice.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace tvqtest;

namespace {

constexpr uint64_t kMiB = 1u << 20;
const char *kFsyncFails = "op=fsync effect=eio";

std::string Tvqunit(const std::string &args)
{
    return ShellOutput(std::string(TVQUNIT_PATH) + " " + args + " 2>&1; echo \"exit $?\"");
}

uint32_t Mask()
{
    QevSlotStatus st{};
    EXPECT_EQ(QevScGetSlotStatus(0, &st), 0);
    return st.CardMask;
}

}  // namespace

TEST(FlushFailure, BoundDeviceFlushFailuresAreFailures)
{
    TVQ_REQUIRE_LOOP();
    TVQ_REQUIRE_FAULTFS();
    FaultFsMount fs;
    LoopDevice loop(8 * kMiB, 512, false, fs.Dir());
    VirtualBus bus;
    bus.AddUnit("u", Model::Tvq210);
    bus.Bus().InsertDevice("u", 1, loop.Node());
    bus.InsertBlank("u", 2, 8 * kMiB);
    QevSlotRecord t[QEV_MAX_TARGETS];
    ASSERT_EQ(ScanAll(t), 11);
    auto data = Pattern(16, 3);

    // Free flushes what was written; a flush the device fails makes it fail.
    ASSERT_EQ(QevScWrite10(1, 0, 16, data.data(), 512), 0);
    fs.SetRules({kFsyncFails});
    EXPECT_EQ(QevScFree(), 0);
    EXPECT_GE(fs.Fires(1), 1u);
    fs.SetRules({});
    ASSERT_EQ(QevScWrite10(1, 0, 16, data.data(), 512), 0);
    EXPECT_NE(QevScFree(), 0);
    ASSERT_EQ(QevScWrite10(1, 16, 16, data.data(), 512), 0);
    fs.SetRules({kFsyncFails});
    EXPECT_EQ(QevScFreeEx(1), 0);
    fs.SetRules({});

    // With every write synchronous, a flush failure fails the write, on the VD too.
    bus.Bus().SetSync("u", true);
    fs.SetRules({kFsyncFails});
    EXPECT_EQ(QevScWrite10(1, 32, 16, data.data(), 512), QEV_E_WRITE_ERROR);
    EXPECT_EQ(QevScWrite10(0, 32, 16, data.data(), 512), QEV_E_WRITE_ERROR);
    EXPECT_GE(fs.Fires(1), 2u);
    fs.SetRules({});
    EXPECT_EQ(QevScWrite10(0, 32, 16, data.data(), 512), 0);
    bus.Bus().SetSync("u", false);

    // An eject whose flush fails leaves the card in: here, on the bus, and in the device.
    ASSERT_EQ(QevScWrite10(1, 48, 16, data.data(), 512), 0);
    fs.SetRules({kFsyncFails});
    EXPECT_EQ(QevScEject(1), 0);
    EXPECT_EQ(Mask() & 1u, 1u);
    EXPECT_EQ(bus.Bus().GetCard("u", 1).ejectedMedium, 0u);
    fs.SetRules({});
    std::vector<uint8_t> back(16 * 512);
    EXPECT_EQ(QevScRead10(1, 48, 16, back.data(), 512), 0);
    EXPECT_EQ(back, data);

    // A device let go while idle: its failed flush fails the next call on the card, once.
    ASSERT_EQ(QevScWrite10(1, 64, 16, data.data(), 512), 0);
    fs.SetRules({kFsyncFails});
    for (int i = 0; i < 3; ++i) Mask();  // idle at the second look: released
    EXPECT_GE(fs.Fires(1), 1u);
    fs.SetRules({});
    EXPECT_EQ(QevScRead10(1, 64, 16, back.data(), 512), QEV_E_WRITE_ERROR);
    EXPECT_EQ(QevScRead10(1, 64, 16, back.data(), 512), 0);
    ASSERT_EQ(QevScWrite10(1, 80, 16, data.data(), 512), 0);
    fs.SetRules({kFsyncFails});
    for (int i = 0; i < 3; ++i) Mask();
    fs.SetRules({});
    EXPECT_EQ(QevScFree(), 0);  // free hears of it too
    EXPECT_NE(QevScFree(), 0);

    // At the end of the process no call is left to fail: it is said on standard error.
    ASSERT_NE(QevScFree(), 0);
    fs.SetRules({kFsyncFails});
    int err[2];
    ASSERT_EQ(::pipe(err), 0);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::dup2(err[1], 2);
        ::close(err[0]);
        int32_t rc = QevScWrite10(1, 96, 16, data.data(), 512);
        std::exit(rc == 0 ? 0 : 3);  // the library's end flushes
    }
    ::close(err[1]);
    std::string said;
    char buf[512];
    for (ssize_t n; (n = ::read(err[0], buf, sizeof buf)) > 0;) said.append(buf, static_cast<size_t>(n));
    ::close(err[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_NE(said.find("cannot flush " + loop.Node()), std::string::npos) << said;
    fs.SetRules({});

    // tvqunit pull: a flush that fails is said, the device stays bound, the exit is not 0.
    fs.SetRules({kFsyncFails});
    std::string out = Tvqunit("pull u 1");
    EXPECT_EQ(out.find("nothing was written"), std::string::npos) << out;
    EXPECT_NE(out.find("cannot flush"), std::string::npos) << out;
    EXPECT_EQ(out.find("exit 0"), std::string::npos) << out;
    EXPECT_EQ(bus.Bus().GetCard("u", 1).device, loop.Node());
    out = Tvqunit("unplug u");
    EXPECT_EQ(out.find("exit 0"), std::string::npos) << out;
    fs.SetRules({});
    out = Tvqunit("pull u 1");
    EXPECT_NE(out.find("exit 0"), std::string::npos) << out;
    EXPECT_FALSE(bus.Bus().HasCard("u", 1));
}

TEST(FlushFailure, AnIdleReleaseNobodyLookedAtIsToldToTheNextCall)
{
    TVQ_REQUIRE_LOOP();
    TVQ_REQUIRE_FAULTFS();
    FaultFsMount fs;
    LoopDevice loop(8 * kMiB, 512, false, fs.Dir());
    VirtualBus bus;
    bus.AddUnit("u", Model::Tvq210);
    bus.Bus().InsertDevice("u", 1, loop.Node());
    QevSlotRecord t[QEV_MAX_TARGETS];
    ASSERT_EQ(ScanAll(t), 11);
    auto data = Pattern(16, 4);
    ASSERT_EQ(QevScWrite10(1, 0, 16, data.data(), 512), 0);
    fs.SetRules({kFsyncFails});
    // No call at all: the library lets the device go by itself, and its flush fails.
    for (int i = 0; i < 200 && fs.Fires(1) == 0; ++i) ::usleep(50000);
    ASSERT_GE(fs.Fires(1), 1u) << "the idle device was never let go";
    fs.SetRules({});
    std::vector<uint8_t> back(16 * 512);
    EXPECT_EQ(QevScRead10(1, 0, 16, back.data(), 512), QEV_E_WRITE_ERROR);
    EXPECT_EQ(QevScRead10(1, 0, 16, back.data(), 512), 0);
    EXPECT_NE(QevScFree(), 0);
}

TEST(FlushFailure, ImageCardFlushFailuresKeepTheCardIn)
{
    TVQ_REQUIRE_FAULTFS();
    FaultFsMount fs;
    std::string image = fs.Dir() + "/card.img";
    {
        int fd = ::open(image.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, 4 * kMiB), 0);
        ::close(fd);
    }
    VirtualBus bus;
    bus.AddUnit("u", Model::Tvq210);
    bus.Bus().InsertImage("u", 3, image, true);
    QevSlotRecord t[QEV_MAX_TARGETS];
    ASSERT_EQ(ScanAll(t), 11);
    auto data = Pattern(8, 5);
    ASSERT_EQ(QevScWrite10(3, 0, 8, data.data(), 512), 0);

    fs.SetRules({"op=fsync file=card.img effect=eio"});
    std::string out = Tvqunit("pull u 3");
    EXPECT_NE(out.find("cannot flush"), std::string::npos) << out;
    EXPECT_EQ(out.find("exit 0"), std::string::npos) << out;
    EXPECT_TRUE(bus.Bus().HasCard("u", 3));
    EXPECT_EQ(QevScEject(3), 0);
    EXPECT_TRUE(bus.Bus().HasCard("u", 3));
    EXPECT_EQ(Mask() & 4u, 4u);
    EXPECT_EQ(QevScFree(), 0);
    EXPECT_GE(fs.Fires(1), 3u);

    fs.SetRules({});
    ASSERT_EQ(QevScWrite10(3, 8, 8, data.data(), 512), 0);
    EXPECT_NE(QevScEject(3), 0);
    EXPECT_FALSE(bus.Bus().HasCard("u", 3));
}
