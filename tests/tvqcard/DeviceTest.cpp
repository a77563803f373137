// tvqcard on slots bound to loop devices over the test's own files: a whole
// card read, a verified write to two device cards, hashes against sha256sum
// of the backing files, a card taken away mid-script, the files and nodes
// that are a card's medium refused, and flushes failing beneath the cards
// (the FUSE fault file system), and the duplicate station on a device card
// that is put in again.
#include "FaultFsMount.h"
#include "LoopDevice.h"
#include "Pattern.h"
#include "ToolRun.h"
#include "VirtualBus.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

using namespace tvqtest;

namespace {

constexpr uint64_t kMiB = 1u << 20;

Result Tvqcard(VirtualBus &bus, const std::vector<std::string> &args)
{
    ToolRun t(bus.ScratchDir());
    EXPECT_TRUE(t.Start(args));
    return t.Wait();
}

std::string Sha256sum(const std::string &path)
{
    return ShellOutput("sha256sum '" + path + "'").substr(0, 64);
}

std::vector<nlohmann::json> Records(const std::string &log)
{
    std::vector<nlohmann::json> out;
    std::ifstream f(log);
    for (std::string line; std::getline(f, line);)
        if (!line.empty()) out.push_back(nlohmann::json::parse(line));
    return out;
}

std::vector<nlohmann::json> AwaitRecords(const std::string &log, size_t n)
{
    std::vector<nlohmann::json> recs = Records(log);
    for (int i = 0; i < 600 && recs.size() < n; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        recs = Records(log);
    }
    return recs;
}

// Whether process pid has node open.
bool Holds(pid_t pid, const std::string &node)
{
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR *d = ::opendir(dir.c_str());
    if (!d) return false;
    bool held = false;
    while (dirent *e = ::readdir(d)) {
        char target[256] = {};
        const std::string link = dir + "/" + e->d_name;
        if (::readlink(link.c_str(), target, sizeof target - 1) > 0 && node == target) held = true;
    }
    ::closedir(d);
    return held;
}

}  // namespace

// A card in a reader is written once however long it stays in; the same card
// taken out and put in again (the kernel numbers it anew), even while the
// station does not look, is another card. The log names the device.
TEST(TvqcardDevices, TheDuplicateStationWritesEachMediumOnce)
{
    TVQ_REQUIRE_LOOP();
    LoopDevice card(kMiB);
    VirtualBus bus;
    bus.AddUnit("u", Model::Tvq210);
    bus.Bus().InsertDevice("u", 2, card.Node());
    const auto data = Pattern(300 * 1024, 41);
    const std::string src = bus.WriteFile("src.img", data);
    const std::string log = bus.ScratchDir() + "/station.log";
    ToolRun t(bus.ScratchDir());
    ASSERT_TRUE(t.Start({"duplicate", src, "2", "--verify", "--log", log}));
    auto recs = AwaitRecords(log, 1);
    ASSERT_EQ(recs.size(), 1u) << t.ErrSoFar();
    EXPECT_EQ(card.Bytes(0, data.size()), data);

    // Left in past the library's letting go of the idle device: not written again.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(Records(log).size(), 1u);

    // Out and in again while the station is held, with nothing of it open.
    for (int tries = 0;; ++tries) {
        ASSERT_EQ(::kill(t.Pid(), SIGSTOP), 0);
        if (!Holds(t.Pid(), card.Node())) break;
        ASSERT_EQ(::kill(t.Pid(), SIGCONT), 0);
        ASSERT_LT(tries, 100) << "the station keeps " << card.Node() << " open";
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
    card.Detach();
    card.Put(0, std::vector<uint8_t>(kMiB, 0));
    card.Attach();
    ASSERT_EQ(::kill(t.Pid(), SIGCONT), 0);
    recs = AwaitRecords(log, 2);
    ASSERT_EQ(recs.size(), 2u) << t.ErrSoFar();
    EXPECT_EQ(card.Bytes(0, data.size()), data);

    ASSERT_EQ(::kill(t.Pid(), SIGINT), 0);
    Result r = t.Wait(30);
    EXPECT_EQ(r.rc, 130) << r.err;
    recs = Records(log);
    ASSERT_EQ(recs.size(), 2u);
    for (const nlohmann::json &rec : recs) {
        EXPECT_EQ(rec.at("result"), "done") << rec.dump();
        EXPECT_EQ(rec.at("device"), card.Node()) << rec.dump();
        EXPECT_TRUE(rec.at("serial").is_null()) << "a loop device has no serial: " << rec.dump();
        EXPECT_EQ(rec.at("cardBytes"), kMiB) << rec.dump();
    }
}

TEST(TvqcardDevices, WholeCardsOnLoopDevices)
{
    TVQ_REQUIRE_LOOP();
    LoopDevice one(4 * kMiB), two(4 * kMiB);
    const auto master = Pattern(4 * kMiB, 1);
    one.Put(0, master);
    two.Put(0, Pattern(4 * kMiB, 2));
    VirtualBus bus;
    bus.AddUnit("u", Model::Tvq210);
    bus.Bus().InsertDevice("u", 1, one.Node());
    bus.Bus().InsertDevice("u", 2, two.Node());
    const std::string image = bus.InsertBlank("u", 3, 4 * kMiB);

    // The whole master card, byte for byte.
    const std::string copy = bus.ScratchDir() + "/master.img";
    Result r = Tvqcard(bus, {"read", "1", copy});
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(ShellOutput("cmp '" + copy + "' '" + one.File() + "' 2>&1"), "");

    // Onto the second device card and the image card, read back and checked.
    r = Tvqcard(bus, {"write", copy, "2", "3", "--verify"});
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(two.Bytes(0, 4 * kMiB), master);
    EXPECT_EQ(VirtualBus::ReadFile(image, 0, 4 * kMiB), master);

    // Hashes in sha256sum's format, of the bytes on each device.
    r = Tvqcard(bus, {"hash", "1", "2"});
    ASSERT_EQ(r.rc, 0) << r.err;
    const std::string want = Sha256sum(one.File());
    ASSERT_EQ(want.size(), 64u);
    EXPECT_EQ(r.out, want + "  slot1\n" + want + "  slot2\n");
    r = Tvqcard(bus, {"compare", "2", copy});
    EXPECT_EQ(r.rc, 0) << r.out << r.err;

    // The reader's card taken away: the slot is empty, the script is told, nothing written.
    two.Detach();
    r = Tvqcard(bus, {"write", copy, "2"});
    EXPECT_NE(r.rc, 0);
    EXPECT_FALSE(r.err.empty());
    r = Tvqcard(bus, {"read", "2", bus.ScratchDir() + "/gone.img"});
    EXPECT_NE(r.rc, 0);
    two.Attach();
    r = Tvqcard(bus, {"compare", "2", copy});
    EXPECT_EQ(r.rc, 0) << r.out << r.err;
}

// The file behind a bound loop device, the node itself under any of its names,
// and a loop device over a card's image are that card's medium: never written.
TEST(TvqcardDevices, ACardsDeviceOrTheFileBehindItIsNeverWritten)
{
    TVQ_REQUIRE_LOOP();
    LoopDevice one(2 * kMiB);
    const auto master = Pattern(2 * kMiB, 41);
    one.Put(0, master);
    VirtualBus bus;
    bus.AddUnit("u", Model::Tvq210);
    bus.Bus().InsertDevice("u", 1, one.Node());
    const auto second = Pattern(2 * kMiB, 42);
    const std::string image = bus.InsertImage("u", 2, bus.WriteFile("two.img", second));
    bus.InsertBlank("u", 3, 2 * kMiB);
    struct stat st;
    ASSERT_EQ(::stat(one.Node().c_str(), &st), 0);
    const std::string alias = "/dev/block/" + std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
    const std::string link = bus.ScratchDir() + "/backing-link";
    ASSERT_EQ(::symlink(one.File().c_str(), link.c_str()), 0);

    std::vector<std::string> targets{one.File(), link, one.Node()};
    if (::access(alias.c_str(), F_OK) == 0) targets.push_back(alias);
    for (const std::string &file : targets) {
        Result r = Tvqcard(bus, {"read", "1", file});
        EXPECT_EQ(r.rc, 2) << file << "\n" << r.err;
        EXPECT_NE(r.err.find(file + " is where the card in slot 1 of unit 'u' keeps its data"), std::string::npos)
            << r.err;
        EXPECT_EQ(one.Bytes(0, 2 * kMiB), master) << file;
        r = Tvqcard(bus, {"write", file, "1"});
        EXPECT_EQ(r.rc, 2) << file << "\n" << r.err;
        EXPECT_EQ(one.Bytes(0, 2 * kMiB), master) << file;
    }
    // A loop device of the test's own over the image card of slot 2.
    const std::string over = ShellOutput("losetup -f --show '" + image + "'");
    ASSERT_FALSE(over.empty());
    const std::string node = over.substr(0, over.find('\n'));
    Result r = Tvqcard(bus, {"read", "1", node});
    Shell("losetup -d '" + node + "'");
    EXPECT_EQ(r.rc, 2) << r.err;
    EXPECT_NE(r.err.find("is where the card in slot 2 of unit 'u' keeps its data"), std::string::npos) << r.err;
    EXPECT_EQ(VirtualBus::ReadFile(image), second);
    // Copying the device card onto another card from its backing file is fine.
    r = Tvqcard(bus, {"write", one.File(), "3", "--verify"});
    EXPECT_EQ(r.rc, 0) << r.err;
}

// A flush the card's storage fails: the run that wrote fails, never reports success.
TEST(TvqcardDevices, AFailingFlushFailsTheRun)
{
    TVQ_REQUIRE_LOOP();
    TVQ_REQUIRE_FAULTFS();
    FaultFsMount fs;
    LoopDevice loop(2 * kMiB, 512, false, fs.Dir());
    const std::string image = fs.Dir() + "/card.img";
    {
        std::ofstream f(image, std::ios::binary);
        f << std::string(2 * kMiB, '\0');
    }
    VirtualBus bus;
    bus.AddUnit("u", Model::Tvq210);
    bus.Bus().InsertDevice("u", 1, loop.Node());
    bus.Bus().InsertImage("u", 2, image, true);
    const auto data = Pattern(kMiB, 43);
    const std::string src = bus.WriteFile("src.img", data);
    fs.SetRules({"op=fsync effect=eio"});
    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
             {"write", src, "1", "--verify"}, {"write", src, "2"}, {"write", src, "vd", "--json"}}) {
        const uint64_t before = fs.Fires(1);
        Result r = Tvqcard(bus, args);
        EXPECT_EQ(r.rc, 2) << args[2] << "\n" << r.err;
        EXPECT_NE(r.err.find("releasing the unit failed: the library could not flush the cards"), std::string::npos)
            << r.err;
        EXPECT_GT(fs.Fires(1), before);
        if (args.back() == "--json") EXPECT_NE(r.out.find("\"result\": \"failed\""), std::string::npos) << r.out;
    }
    // An eject whose flush fails leaves the card in, and says so.
    Result r = Tvqcard(bus, {"eject", "2"});
    fs.SetRules({});
    EXPECT_EQ(r.rc, 2) << r.err;
    EXPECT_TRUE(bus.Bus().HasCard("u", 2));
    r = Tvqcard(bus, {"write", src, "1", "2", "--verify"});
    EXPECT_EQ(r.rc, 0) << r.err;
}

// A user without permission on the bound node: the card is not "no card",
// the run fails saying so and how to get access, and writes nothing.
TEST(TvqcardDevices, NoPermissionOnTheNodeIsSaidNotNoCard)
{
    TVQ_REQUIRE_LOOP();
    if (Shell("command -v setpriv >/dev/null") != 0) GTEST_SKIP() << "needs setpriv to run as another user";
    LoopDevice one(kMiB);
    const auto data = Pattern(kMiB, 44);
    one.Put(0, data);
    VirtualBus bus;
    bus.AddUnit("u", Model::Tvq210);
    bus.Bus().InsertDevice("u", 1, one.Node());
    bus.InsertBlank("u", 2, kMiB);
    const std::string src = bus.WriteFile("src.img", Pattern(kMiB, 45));
    // The bus and scratch are the test's own: open them to the other user; the node stays root's alone.
    const std::string root = bus.Dir().substr(0, bus.Dir().rfind('/'));
    ASSERT_EQ(Shell("chmod -R a+rwX '" + root + "'"), 0);
    ASSERT_EQ(Shell("chmod 0600 '" + one.Node() + "'"), 0);
    auto asNobody = [&](const std::string &args) {
        return ShellOutput("setpriv --reuid=65534 --regid=65534 --clear-groups env QEVCRDIO_BUS='" + bus.Dir() +
                           "' XDG_RUNTIME_DIR='" + bus.ScratchDir() + "' LC_ALL=C " TVQCARD_PATH " --quiet " + args +
                           " 2>&1; echo \"exit $?\"");
    };
    const std::string denied = "permission denied; use it from a desktop session with udisks2 installed";
    std::string out = asNobody("list");
    EXPECT_NE(out.find("exit 0"), std::string::npos) << out;
    EXPECT_EQ(out.find("\n1     no"), std::string::npos) << "slot 1 reads as no card\n" << out;
    out = asNobody("read 1 '" + bus.ScratchDir() + "/out.img'");
    EXPECT_NE(out.find("exit 2"), std::string::npos) << out;
    EXPECT_NE(out.find(denied), std::string::npos) << out;
    EXPECT_EQ(out.find("no card"), std::string::npos) << out;
    out = asNobody("write '" + src + "' 1");
    EXPECT_NE(out.find("exit 2"), std::string::npos) << out;
    EXPECT_NE(out.find(denied), std::string::npos) << out;
    EXPECT_EQ(one.Bytes(0, kMiB), data);
    // Root may: the same read passes.
    Result r = Tvqcard(bus, {"read", "1", bus.ScratchDir() + "/root.img"});
    EXPECT_EQ(r.rc, 0) << r.err;
}
