// tvqunit killed half-way, at each step where a change can stop and at
// random moments: the bus stays usable, nothing left behind is read as a
// unit or a card, and the next change of the unit completes or sweeps it.
#include "RunTvqunit.h"
#include "VirtualBus.h"
#include "qevcrdio.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>
#include <sys/wait.h>
#include <unistd.h>

using namespace tvqtest;
namespace fs = std::filesystem;

namespace {

int32_t AcceptAll(const uint8_t *)
{
    return -1;
}

// Runs tvqunit with TVQ_TEST_KILL_AT=step; true when it died by SIGKILL there.
bool KilledAt(VirtualBus &bus, const std::string &step, const std::vector<std::string> &args)
{
    std::string cmd = "TVQ_TEST_KILL_AT=" + Quote(step) + " " + Command(bus.Dir(), args) + " >/dev/null 2>&1";
    int st = std::system(("timeout 20 sh -c " + Quote(cmd)).c_str());
    // The shell reports a child killed by a signal as 128 + the signal.
    return WIFEXITED(st) && WEXITSTATUS(st) == 128 + SIGKILL;
}

// Hidden files a change makes on its way: temporaries, new images, new unit folders.
std::vector<std::string> Leftovers(const std::string &dir)
{
    std::vector<std::string> out;
    for (auto it = fs::recursive_directory_iterator(dir); it != fs::recursive_directory_iterator(); ++it) {
        std::string n = it->path().filename().string();
        if (n.rfind(".tmp-", 0) == 0 || n.rfind(".part-", 0) == 0 || n.rfind(".new-", 0) == 0)
            out.push_back(it->path().string());
    }
    return out;
}

std::string Joined(const std::vector<std::string> &v)
{
    std::string s;
    for (const auto &x : v) s += x + " ";
    return s;
}

// Every image file in the unit's cards folder is named by its description or by the record of a card taken out.
void NoOrphanImages(VirtualBus &bus, const std::string &unit)
{
    std::string dir = bus.Dir() + "/" + unit;
    if (!fs::exists(dir + "/cards")) return;
    std::string named = VirtualBus::ReadText(dir + "/unit.toml");
    if (fs::exists(dir + "/ejected"))
        for (const auto &e : fs::directory_iterator(dir + "/ejected")) named += VirtualBus::ReadText(e.path().string());
    for (const auto &e : fs::directory_iterator(dir + "/cards")) {
        std::string n = e.path().filename().string();
        EXPECT_NE(named.find("cards/" + n), std::string::npos) << n << " is named by nothing";
    }
}

// The unit is there for the library, with all of its targets.
void Served(const char *unit)
{
    QevSlotRecord t[QEV_MAX_TARGETS];
    EXPECT_EQ(QevScScanEx(AcceptAll, "TVQ-MTX", t), 11) << unit;
}

std::vector<uint8_t> RandomBytes(size_t n, unsigned seed)
{
    std::mt19937 g(seed);
    std::vector<uint8_t> v(n);
    for (auto &b : v) b = static_cast<uint8_t>(g());
    return v;
}

}  // namespace

TEST(TvqunitKill, KilledAtEveryStepTheNextChangeMendsIt)
{
    struct Case {
        std::vector<std::string> args;
        const char *step;
        bool committed;  // the change is in the description once killed there
    };
    const std::vector<std::string> image = {"insert", "u", "3", "--image", "@IMG"};
    const std::vector<std::string> blank = {"insert", "u", "3", "--size", "64K"};
    const std::vector<std::string> pull = {"pull", "u", "1"};
    const std::vector<std::string> fault = {"fault", "set", "u", "op=read", "count=next:1"};
    const std::vector<Case> cases = {
        {image, "copying", false},          {image, "part-named", false}, {image, "temp-written", false},
        {image, "temp-named", false},       {image, "description-written", true},
        {blank, "part-named", false},       {blank, "temp-named", false}, {blank, "description-written", true},
        {pull, "record-written", false},    {pull, "temp-named", false},  {pull, "description-written", true},
        {fault, "temp-written", false},     {fault, "temp-named", false}, {fault, "description-written", true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(Joined(c.args) + "killed at " + c.step);
        VirtualBus bus;
        bus.AddUnit("u");
        std::vector<uint8_t> bytes = RandomBytes(3 << 20, 7);
        std::string img = bus.WriteFile("src.img", bytes);
        std::string card1 = bus.InsertImage("u", 1, img);
        std::vector<std::string> args = c.args;
        for (auto &a : args)
            if (a == "@IMG") a = img;
        ASSERT_TRUE(KilledAt(bus, c.step, args)) << "no such step";
        // Before the next change: the unit reads, as it was or as the change left it.
        Result show = RunTvqunit(bus, {"show", "u"}, true, 20);
        EXPECT_EQ(show.rc, 0) << show.err;
        Served("u");
        // The next change of the unit: every leftover is swept or put to use.
        Result next = RunTvqunit(bus, {"throttle", "u", "--off"}, true, 20);
        ASSERT_EQ(next.rc, 0) << next.err;
        EXPECT_EQ(Leftovers(bus.Dir()), std::vector<std::string>());
        NoOrphanImages(bus, "u");
        Served("u");
        vbus::Unit u = bus.Bus().GetUnit("u");
        if (args[0] == "insert") {
            bool in = bus.Bus().HasCard("u", 3);
            EXPECT_EQ(in, c.committed);
            if (in && args[3] == "--image") {
                EXPECT_EQ(VirtualBus::ReadFile(bus.CardImage("u", 3)), bytes);
            }
            if (in && args[3] == "--size") {
                EXPECT_EQ(fs::file_size(bus.CardImage("u", 3)), 64u * 1024);
            }
            // The slot takes a card again.
            EXPECT_EQ(RunTvqunit(bus, {"pull", "u", "3"}, true, 20).rc, in ? 0 : 1);
            EXPECT_EQ(RunTvqunit(bus, args, true, 20).rc, 0);
        }
        if (args[0] == "pull") {
            EXPECT_EQ(bus.Bus().HasCard("u", 1), !c.committed);
            EXPECT_EQ(VirtualBus::ReadFile(card1), bytes) << "the image of the card was touched";
        }
        if (args[1] == "set") {
            EXPECT_EQ(u.faults.size(), c.committed ? 1u : 0u);
        }
    }
}

TEST(TvqunitKill, AKilledCreateIsCompletedByTheNextCreate)
{
    for (const char *step : {"temp-written", "temp-named", "unit-built"}) {
        SCOPED_TRACE(step);
        VirtualBus bus;
        bus.AddUnit("u");
        ASSERT_TRUE(KilledAt(bus, step, {"create", "v"})) << "no such step";
        // Never half a unit: v is not on the bus, and u is served as before.
        EXPECT_FALSE(fs::exists(bus.Dir() + "/v"));
        Result list = RunTvqunit(bus, {"list"}, true, 20);
        EXPECT_EQ(list.out.find("v\t"), std::string::npos) << list.out;
        Served("u");
        Result again = RunTvqunit(bus, {"create", "v"}, true, 20);
        EXPECT_EQ(again.rc, 0) << again.err;
        EXPECT_EQ(Leftovers(bus.Dir()), std::vector<std::string>());
        EXPECT_EQ(RunTvqunit(bus, {"insert", "v", "1", "--size", "64K"}, true, 20).rc, 0);
    }
    // A unit folder with no description, as a create killed by an earlier version left it.
    VirtualBus bus;
    fs::create_directories(bus.Dir() + "/w");
    std::ofstream(bus.Dir() + "/w/.tmp-unit.toml-4242-0") << "format = 2\n[unit";
    Result r = RunTvqunit(bus, {"create", "w"}, true, 20);
    EXPECT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(Leftovers(bus.Dir()), std::vector<std::string>());
    EXPECT_EQ(RunTvqunit(bus, {"create", "w"}, true, 20).rc, 1);  // now it is whole
    EXPECT_EQ(RunTvqunit(bus, {"show", "w"}, true, 20).rc, 0);
}

TEST(TvqunitKill, TemporariesOfAnEarlierProcessWithTheSamePidAreNoObstacle)
{
    VirtualBus bus;
    bus.AddUnit("u");
    bus.InsertBlank("u", 1, 64 * 512);
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"fault", "set", "u", "op=read"}, {"create", "v"}, {"insert", "u", "2", "--size", "1M"},
          {"pull", "u", "1"}}) {
        SCOPED_TRACE(Joined(args));
        // The child leaves the names a killed process of its own pid would have, then becomes tvqunit.
        pid_t pid = ::fork();
        if (pid == 0) {
            std::string me = std::to_string(::getpid());
            for (int k = 0; k < 4; ++k) {
                for (const std::string &dir : {bus.Dir() + "/u", bus.Dir() + "/u/cards", bus.Dir() + "/u/ejected"})
                    for (const char *base : {"unit.toml", "slot1", "slot2"})
                        std::ofstream(dir + "/.tmp-" + base + "-" + me + "-" + std::to_string(k)) << "stale";
            }
            fs::create_directories(bus.Dir() + "/.new-v-" + me);
            std::ofstream(bus.Dir() + "/.new-v-" + me + "/unit.toml") << "stale";
            std::vector<std::string> argv = {TVQUNIT_PATH, "--bus", bus.Dir()};
            argv.insert(argv.end(), args.begin(), args.end());
            std::vector<char *> cargv;
            for (auto &a : argv) cargv.push_back(a.data());
            cargv.push_back(nullptr);
            int devnull = ::open("/dev/null", O_WRONLY);
            ::dup2(devnull, 1);
            ::execv(TVQUNIT_PATH, cargv.data());
            ::_exit(127);
        }
        int st = 0;
        ASSERT_EQ(::waitpid(pid, &st, 0), pid);
        ASSERT_TRUE(WIFEXITED(st));
        EXPECT_EQ(WEXITSTATUS(st), 0);
        // The change swept what was dead: a change of u in u's folders, a create the unit folders of creates.
        if (args[0] != "create") {
            EXPECT_EQ(Leftovers(bus.Dir() + "/u"), std::vector<std::string>());
        } else {
            for (const auto &e : fs::directory_iterator(bus.Dir()))
                EXPECT_NE(e.path().filename().string().rfind(".new-", 0), 0u) << e.path();
        }
    }
}

TEST(TvqunitKill, RandomKillsLeaveABusThatTheNextChangesMend)
{
    VirtualBus bus;
    bus.AddUnit("u");
    std::vector<uint8_t> bytes = RandomBytes(8 << 20, 11);
    std::string img = bus.WriteFile("src.img", bytes);
    const int rounds = std::getenv("TVQ_STRESS_COMMANDS") ? 24 : 60;
    std::mt19937 g(static_cast<unsigned>(::time(nullptr)));
    int killed = 0;
    for (int i = 0; i < rounds; ++i) {
        int slot = 1 + i % 10;
        std::vector<std::vector<std::string>> choices = {
            {"insert", "u", std::to_string(slot), "--image", img},
            {"pull", "u", std::to_string(slot)},
            {"fault", "set", "u", "op=write", "count=next:2"},
            {"create", "n" + std::to_string(i % 3)},
            {"insert", "u", std::to_string(slot), "--size", "4M"},
        };
        const auto &args = choices[g() % choices.size()];
        std::vector<std::string> argv = {TVQUNIT_PATH, "--bus", bus.Dir()};
        argv.insert(argv.end(), args.begin(), args.end());
        pid_t pid = ::fork();
        if (pid == 0) {
            std::vector<char *> cargv;
            for (auto &a : argv) cargv.push_back(a.data());
            cargv.push_back(nullptr);
            int devnull = ::open("/dev/null", O_WRONLY);
            ::dup2(devnull, 1);
            ::dup2(devnull, 2);
            ::execv(TVQUNIT_PATH, cargv.data());
            ::_exit(127);
        }
        struct timespec ts{0, static_cast<long>(g() % 12000) * 1000};
        nanosleep(&ts, nullptr);
        ::kill(pid, SIGKILL);
        int st = 0;
        ASSERT_EQ(::waitpid(pid, &st, 0), pid);
        killed += WIFSIGNALED(st);
        // Whatever was left, the unit reads and is served.
        Result show = RunTvqunit(bus, {"show", "u"}, true, 20);
        ASSERT_EQ(show.rc, 0) << show.err;
    }
    std::printf("%d of %d runs were killed before they ended\n", killed, rounds);
    // The next change of every unit mends it; each created unit either is whole or is made whole.
    ASSERT_EQ(RunTvqunit(bus, {"throttle", "u", "--off"}, true, 20).rc, 0);
    for (const char *n : {"n0", "n1", "n2"}) {
        Result r = RunTvqunit(bus, {"create", n}, true, 20);
        EXPECT_TRUE(r.rc == 0 || r.err.find("already exists") != std::string::npos) << r.err;
        EXPECT_EQ(RunTvqunit(bus, {"show", n}, true, 20).rc, 0);
    }
    EXPECT_EQ(Leftovers(bus.Dir()), std::vector<std::string>());
    NoOrphanImages(bus, "u");
    // Every card in a slot holds the whole image, or is a blank one of its size.
    for (const auto &c : bus.Bus().GetUnit("u").cards) {
        uintmax_t size = fs::file_size(c.image);
        if (size == bytes.size()) EXPECT_EQ(VirtualBus::ReadFile(c.image), bytes) << c.image;
        else EXPECT_EQ(size, 4u << 20) << c.image;
    }
}
