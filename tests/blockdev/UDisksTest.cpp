// Cards the process may not open itself, through UDisks2: against a stand-in
// service (tests/support/udisks_mock.py) on a private bus, handing out a loop
// device. The library's own open is made to fail with the test-only switch,
// as it fails for a user without permission. A grant, a refusal, the service
// missing, no bus at all.
#include "Device.h"
#include "LoopDevice.h"
#include "UDisks.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace tvqtest;
using blockdev::AccessWay;
using blockdev::Device;
using Io = blockdev::Device::Io;

namespace {

constexpr uint64_t kMiB = 1u << 20;

std::string ReadFile(const std::string &path)
{
    std::ifstream f(path);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

std::vector<uint8_t> Pattern(size_t n, uint8_t seed)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 13 + (i >> 9));
    return v;
}

bool CanOpenExclusively(const std::string &node)
{
    int fd = ::open(node.c_str(), O_RDONLY | O_EXCL | O_CLOEXEC);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

// A bus of the test's own, optionally with the stand-in UDisks2 on it; the
// library is pointed at it and its own opens are denied while it lives.
class PrivateBus {
public:
    explicit PrivateBus(const char *answer)
    {
        dir_ = LoopDevice::ScratchDir() + "/bus-XXXXXX";
        if (!::mkdtemp(dir_.data())) throw std::runtime_error("mkdtemp");
        std::ofstream(dir_ + "/bus.conf")
            << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN\"\n"
               " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
               "<busconfig><type>custom</type><listen>unix:path="
            << dir_ << "/socket</listen><auth>EXTERNAL</auth>"
               "<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
               "<allow eavesdrop=\"true\"/><allow own=\"*\"/><allow user=\"*\"/></policy></busconfig>\n";
        std::string out = ShellOutput("dbus-daemon --config-file='" + dir_ + "/bus.conf' --fork --print-address=1 --print-pid=1");
        std::istringstream lines(out);
        std::getline(lines, address_);
        lines >> daemonPid_;
        if (address_.empty() || daemonPid_ <= 0) throw std::runtime_error("dbus-daemon did not start: " + out);
        if (answer) {
            log_ = dir_ + "/calls.log";
            std::string ready = dir_ + "/ready";
            Shell(std::string(TVQ_SYSTEM_PYTHON) + " '" + TVQ_UDISKS_MOCK + "' --address '" + address_ + "' --answer " + answer +
                  " --log '" + log_ + "' --ready '" + ready + "' >'" + dir_ + "/mock.out' 2>&1 &");
            for (int i = 0; i < 200 && mockPid_ <= 0; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                mockPid_ = std::atoi(ReadFile(ready).c_str());
            }
            if (mockPid_ <= 0) throw std::runtime_error("the UDisks2 stand-in did not start: " + ReadFile(dir_ + "/mock.out"));
        }
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", address_.c_str(), 1);
        ::setenv("QEVCRDIO_TEST_DENY_OWN_OPEN", "1", 1);
    }
    ~PrivateBus()
    {
        ::unsetenv("QEVCRDIO_TEST_DENY_OWN_OPEN");
        ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
        if (mockPid_ > 0) ::kill(mockPid_, SIGTERM);
        if (daemonPid_ > 0) ::kill(daemonPid_, SIGTERM);
        Shell("rm -rf '" + dir_ + "'");
    }
    // The calls the stand-in received, one JSON line each.
    std::string Calls() const { return log_.empty() ? std::string() : ReadFile(log_); }

private:
    std::string dir_, address_, log_;
    pid_t daemonPid_ = 0;
    pid_t mockPid_ = 0;
};

TEST(UDisks, GrantedDeviceIsWrittenExclusivelyAndDirectly)
{
    TVQ_REQUIRE_LOOP();
    LoopDevice loop(8 * kMiB);
    EXPECT_EQ(blockdev::AccessWayOf(loop.Node()), AccessWay::Direct) << "root opens it itself";
    PrivateBus bus("grant");
    EXPECT_EQ(blockdev::AccessWayOf(loop.Node()), AccessWay::UDisks);

    const std::vector<uint8_t> data = Pattern(64 * 1024, 7);
    {
        Device dev(loop.Node());
        ASSERT_EQ(dev.Write(4096, data.data(), data.size()), Io::Ok) << dev.LastError();
        // Held exclusively while open, as the library's own open holds it.
        EXPECT_FALSE(CanOpenExclusively(loop.Node()));
        std::vector<uint8_t> back(data.size());
        ASSERT_EQ(dev.Read(4096, back.data(), back.size()), Io::Ok) << dev.LastError();
        EXPECT_EQ(back, data);
        ASSERT_TRUE(dev.Release());
        EXPECT_TRUE(CanOpenExclusively(loop.Node()));
    }
    EXPECT_EQ(loop.Bytes(4096, data.size()), data);
    EXPECT_EQ(loop.Bytes(0, 4096), std::vector<uint8_t>(4096, 0)) << "sectors before it untouched";

    const std::string calls = bus.Calls();
    EXPECT_EQ(calls.find("\"error\""), std::string::npos) << calls;
    bool exclusiveWrite = false;
    std::istringstream lines(calls);
    for (std::string line; std::getline(lines, line);)
        exclusiveWrite |= line.find("\"answer\": \"granted\"") != std::string::npos &&
                          line.find("\"mode\": \"rw\", \"flags\": " + std::to_string(O_EXCL) + "}") != std::string::npos;
    EXPECT_TRUE(exclusiveWrite) << "a read-write, exclusive open: " << calls;
    // The library switched direct I/O on itself; the descriptor must carry it.
    {
        Device dev(loop.Node());
        std::vector<uint8_t> back(4096);
        ASSERT_EQ(dev.Read(0, back.data(), back.size()), Io::Ok) << dev.LastError();
        bool direct = false;
        for (int fd = 3; fd < 1024; ++fd) {
            struct stat st;
            char link[64], target[256];
            std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
            ssize_t n = ::readlink(link, target, sizeof target - 1);
            if (n <= 0 || ::fstat(fd, &st) != 0 || !S_ISBLK(st.st_mode)) continue;
            target[n] = 0;
            if (std::string(target) == loop.Node()) direct = (::fcntl(fd, F_GETFL) & O_DIRECT) != 0;
        }
        EXPECT_TRUE(direct);
    }
}

TEST(UDisks, RefusedOrMissingServiceIsNoAccessAndSaysWhatToDo)
{
    TVQ_REQUIRE_LOOP();
    LoopDevice loop(4 * kMiB);
    const std::vector<uint8_t> data = Pattern(8192, 3);
    {
        PrivateBus bus("refuse");
        EXPECT_EQ(blockdev::AccessWayOf(loop.Node()), AccessWay::UDisks) << "known, though it may say no";
        Device dev(loop.Node());
        EXPECT_EQ(dev.Write(0, data.data(), data.size()), Io::NoAccess);
        EXPECT_NE(dev.LastError().find("permission denied; "), std::string::npos) << dev.LastError();
        EXPECT_NE(dev.LastError().find("udisks2"), std::string::npos) << dev.LastError();
        EXPECT_NE(dev.LastError().find("uaccess"), std::string::npos) << dev.LastError();
        EXPECT_NE(dev.LastError().find("not authorised"), std::string::npos) << dev.LastError();
        std::vector<uint8_t> back(512);
        EXPECT_EQ(dev.Read(0, back.data(), back.size()), Io::NoAccess);
        EXPECT_NE(bus.Calls().find("\"answer\": \"refused\""), std::string::npos) << bus.Calls();
    }
    {
        PrivateBus bus(nullptr);  // a bus, but no UDisks2 on it
        EXPECT_EQ(blockdev::AccessWayOf(loop.Node()), AccessWay::None);
        Device dev(loop.Node());
        EXPECT_EQ(dev.Write(0, data.data(), data.size()), Io::NoAccess);
        EXPECT_NE(dev.LastError().find("UDisks2 is not running"), std::string::npos) << dev.LastError();
    }
    {
        // No bus at all.
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + LoopDevice::ScratchDir() + "/no-bus").c_str(), 1);
        ::setenv("QEVCRDIO_TEST_DENY_OWN_OPEN", "1", 1);
        Device dev(loop.Node());
        EXPECT_EQ(dev.Write(0, data.data(), data.size()), Io::NoAccess);
        EXPECT_NE(dev.LastError().find("permission denied; "), std::string::npos) << dev.LastError();
        EXPECT_EQ(blockdev::AccessWayOf(loop.Node()), AccessWay::None);
        ::unsetenv("QEVCRDIO_TEST_DENY_OWN_OPEN");
        ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    }
    EXPECT_EQ(loop.Bytes(0, data.size()), std::vector<uint8_t>(data.size(), 0)) << "nothing written";
}

// The tools on top: tvqunit devices tells the way, tvqcard reads a bound
// card through UDisks2, or says what to do when refused.
#ifdef TVQCARD_PATH
TEST(UDisks, ToolsTellTheWayAndUseIt)
{
    TVQ_REQUIRE_LOOP();
    LoopDevice loop(4 * kMiB);
    const std::vector<uint8_t> data = Pattern(4 * kMiB, 9);
    loop.Put(0, data);
    const std::string dir = LoopDevice::ScratchDir();
    const std::string env = "QEVCRDIO_BUS='" + dir + "/tools-bus' ";
    const std::string tvqunit = env + "'" + TVQUNIT_PATH + "' ";
    const std::string tvqcard = env + "'" + TVQCARD_PATH + "' ";
    ASSERT_EQ(Shell(tvqunit + "create u >/dev/null && " + tvqunit + "insert u 1 --device " + loop.Node() + " >/dev/null"), 0);
    auto wayOf = [&] {
        std::string out = ShellOutput(tvqunit + "devices");
        size_t at = out.find(loop.Node() + "\t");
        if (at == std::string::npos) return std::string("(not listed) ") + out;
        std::string line = out.substr(at, out.find('\n', at) - at);
        size_t open = line.find("\topen: ");
        return open == std::string::npos ? line : line.substr(open + 7, line.find('\t', open + 1) - open - 7);
    };
    EXPECT_EQ(wayOf(), "direct");
    {
        PrivateBus bus("grant");
        EXPECT_EQ(wayOf(), "udisks2");
        const std::string out = dir + "/card.img";
        EXPECT_EQ(Shell(tvqcard + "read 1 '" + out + "' 2>'" + dir + "/err'"), 0) << ReadFile(dir + "/err");
        std::ifstream f(out, std::ios::binary);
        std::vector<uint8_t> got((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        EXPECT_TRUE(got == data) << "the card read through UDisks2, " << got.size() << " bytes";
        EXPECT_NE(bus.Calls().find("\"answer\": \"granted\""), std::string::npos) << bus.Calls();
    }
    {
        PrivateBus bus("refuse");
        int rc = Shell(tvqcard + "read 1 '" + dir + "/refused.img' 2>'" + dir + "/err'");
        EXPECT_EQ(rc, 2);
        EXPECT_NE(ReadFile(dir + "/err").find("permission denied; use it from a desktop session with udisks2"),
                  std::string::npos)
            << ReadFile(dir + "/err");
    }
    {
        PrivateBus bus(nullptr);
        EXPECT_EQ(wayOf(), "no access");
    }
    Shell(tvqunit + "pull u 1 >/dev/null");
}
#endif

}  // namespace
