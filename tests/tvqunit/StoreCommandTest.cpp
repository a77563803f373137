// tvqunit against a bus with wrong files in it, two tvqunit processes at
// once, and the small refusals: what the store promises, seen from the shell.
#include "RunTvqunit.h"
#include "VirtualBus.h"
#include "qevcrdio.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>

using namespace tvqtest;
namespace fs = std::filesystem;

namespace {

// Runs tvqunit; a run that hangs is cut off after 10 s (exit status 124).
Result Tvq(VirtualBus &bus, const std::vector<std::string> &args)
{
    return RunTvqunit(bus, args, true, 10);
}

std::string Joined(const std::vector<std::string> &args)
{
    std::string s;
    for (const auto &a : args) s += a + " ";
    return s;
}

int32_t AcceptAll(const uint8_t *)
{
    return -1;
}

}  // namespace

TEST(TvqunitStore, AFifoInAnyPlaceOfTheBusHangsNoCommand)
{
    // What a command takes on a clean bus here; a FIFO may cost nothing more than a second on top.
    double usual = 0;
    {
        VirtualBus bus;
        bus.AddUnit("u");
        for (int i = 0; i < 3; ++i) usual = std::max(usual, Tvq(bus, {"show", "u"}).seconds);
    }
    const double limit = 1.0 + 2 * usual;
    const char *places[] = {"u/unit.toml", "u/fault-counts", ".calls", "u/cards/slot1-1.img", "u/cards"};
    for (const char *place : places) {
        SCOPED_TRACE(place);
        VirtualBus bus;
        bus.AddUnit("u");
        bus.InsertBlank("u", 1, 64 * 512);
        bus.InsertBlank("u", 2, 64 * 512);
        std::string path = bus.Dir() + "/" + place;
        fs::remove_all(path);
        ASSERT_EQ(::mkfifo(path.c_str(), 0644), 0);
        const std::vector<std::vector<std::string>> commands = {
            {"create", "u9"},          {"set", "u", "--product-code", "7"}, {"list"},
            {"show", "u"},             {"plug", "u"},                       {"unplug", "u"},
            {"insert", "u", "3", "--size", "32K"}, {"pull", "u", "2"},      {"eject", "u", "1"},
            {"params", "u", "1", "--heads", "2"},  {"fault", "set", "u", "op=read"},
            {"fault", "list", "u"},    {"fault", "clear", "u", "--all"},    {"throttle", "u", "--off"},
        };
        bool named = false;
        for (const auto &args : commands) {
            Result r = Tvq(bus, args);
            EXPECT_NE(r.rc, 124) << Joined(args) << "hung";
            EXPECT_LT(r.seconds, limit) << Joined(args);
            EXPECT_TRUE(r.rc == 0 || r.rc == 1) << Joined(args) << r.err;
            if ((args[0] == "show" || args[0] == "list") && (r.out + r.err).find("FIFO") != std::string::npos)
                named = true;
        }
        // show or list names the file that is wrong.
        EXPECT_TRUE(named);
        struct stat st;
        ASSERT_EQ(::lstat(path.c_str(), &st), 0);
        EXPECT_TRUE(S_ISFIFO(st.st_mode)) << "the FIFO was replaced or removed";
    }
}

TEST(TvqunitStore, PathsOfAnyTextRoundTripThroughTheShell)
{
    VirtualBus bus;
    ASSERT_EQ(Tvq(bus, {"create", "u"}).rc, 0);
    std::string base = bus.ScratchDir();
    std::string deep = base + "/" + std::string(100, 'p') + "/" + std::string(100, 'q');
    std::vector<std::string> paths{deep + "/" + std::string(300 - deep.size() - 5, 'r') + ".img",
                                   base + "/作業フォルダ/カード画像の保存先フォルダ/読み書き用カード.img",
                                   base + "/a b/\"q\" = x; #c \\d '.img"};
    for (size_t i = 0; i < paths.size(); ++i) {
        fs::create_directories(fs::path(paths[i]).parent_path());
        std::vector<uint8_t> bytes(16 * 512, static_cast<uint8_t>(0x40 + i));
        { std::ofstream(paths[i], std::ios::binary).write(reinterpret_cast<const char *>(bytes.data()), bytes.size()); }
        std::string slot = std::to_string(i + 1);
        Result r = Tvq(bus, {"insert", "u", slot, "--image", paths[i], "--in-place"});
        ASSERT_EQ(r.rc, 0) << r.err;
    }
    // Every later command still reads the unit, and show gives the paths back.
    Result show = Tvq(bus, {"show", "u"});
    ASSERT_EQ(show.rc, 0) << show.err;
    for (const auto &p : paths) EXPECT_NE(show.out.find(p), std::string::npos) << p;
    ASSERT_EQ(Tvq(bus, {"throttle", "u", "--delay", "0"}).rc, 0);
    QevSlotRecord t[QEV_MAX_TARGETS];
    ASSERT_EQ(QevScScanEx(AcceptAll, "TVQ-MTX", t), 11);
    std::vector<uint8_t> buf(512);
    for (size_t i = 0; i < paths.size(); ++i) {
        ASSERT_EQ(QevScRead10(static_cast<uint32_t>(i + 1), 15, 1, buf.data(), 512), 0) << paths[i];
        EXPECT_EQ(buf[511], 0x40 + i) << paths[i];
    }
    // A bridge name as long as the operator likes.
    std::string bridge = "TVQ-MTX " + std::string(400, 'b');
    ASSERT_EQ(Tvq(bus, {"set", "u", "--bridge", bridge}).rc, 0);
    EXPECT_NE(Tvq(bus, {"show", "u"}).out.find(bridge), std::string::npos);
    // Not UTF-8: refused, nothing changed.
    std::string before = VirtualBus::ReadText(bus.Dir() + "/u/unit.toml");
    Result bad = Tvq(bus, {"set", "u", "--product-name", "\xff\xfe"});
    EXPECT_EQ(bad.rc, 1);
    EXPECT_NE(bad.err.find("not UTF-8"), std::string::npos) << bad.err;
    EXPECT_EQ(VirtualBus::ReadText(bus.Dir() + "/u/unit.toml"), before);
}

TEST(TvqunitStore, SmallRefusalsSayTheRightThing)
{
    VirtualBus bus;
    ASSERT_EQ(Tvq(bus, {"create", "u"}).rc, 0);
    // Senses that report no error are no fault.
    for (const char *effect : {"effect=sense:00/00/00", "effect=sense:01/17/01", "effect=short:4:00/00/00"}) {
        Result r = Tvq(bus, {"fault", "set", "u", effect});
        EXPECT_EQ(r.rc, 1) << effect;
        EXPECT_NE(r.err.find("no error"), std::string::npos) << r.err;
    }
    EXPECT_TRUE(bus.Bus().Faults("u").empty());
    // fault set's help says what a rule without op= does.
    Result help = Tvq(bus, {"fault", "set", "--help"});
    EXPECT_NE(help.out.find("op=all"), std::string::npos) << help.out;

    // eject is pull.
    ASSERT_EQ(Tvq(bus, {"insert", "u", "1", "--size", "64K"}).rc, 0);
    Result ej = Tvq(bus, {"eject", "u", "1"});
    EXPECT_EQ(ej.rc, 0) << ej.err;
    EXPECT_FALSE(bus.Bus().HasCard("u", 1));
    EXPECT_EQ(Tvq(bus, {"eject", "u", "1"}).rc, 1);

    // A pull that cannot keep the card's record says so, and the card stays in.
    ASSERT_EQ(Tvq(bus, {"insert", "u", "2", "--size", "64K"}).rc, 0);
    fs::remove_all(bus.Dir() + "/u/ejected");
    { std::ofstream(bus.Dir() + "/u/ejected") << "a file where the folder belongs"; }
    Result pull = Tvq(bus, {"pull", "u", "2"});
    EXPECT_EQ(pull.rc, 1);
    EXPECT_NE(pull.err.find("the card stays in slot 2"), std::string::npos) << pull.err;
    EXPECT_EQ(pull.err.find("is empty"), std::string::npos) << pull.err;
    EXPECT_TRUE(bus.Bus().HasCard("u", 2));

    // A failed insert leaves no image behind.
    auto images = [&] {
        size_t n = 0;
        for (const auto &e : fs::directory_iterator(bus.Dir() + "/u/cards")) n += e.is_regular_file();
        return n;
    };
    size_t before = images();
    EXPECT_EQ(Tvq(bus, {"insert", "u", "2", "--size", "64K"}).rc, 1);  // occupied
    ASSERT_EQ(Tvq(bus, {"set", "u", "--targets", "3"}).rc, 0);
    EXPECT_EQ(Tvq(bus, {"insert", "u", "5", "--size", "64K"}).rc, 1);  // no such slot
    EXPECT_EQ(images(), before);
}

TEST(TvqunitStore, ASetThatFailsChangesNoField)
{
    VirtualBus bus;
    ASSERT_EQ(Tvq(bus, {"create", "u"}).rc, 0);
    ASSERT_EQ(Tvq(bus, {"insert", "u", "5", "--size", "32K"}).rc, 0);
    // The product code and sync are taken first; the target count then fails on the card in slot 5.
    const std::string before = VirtualBus::ReadText(bus.Dir() + "/u/unit.toml");
    Result r = Tvq(bus, {"set", "u", "--product-code", "7", "--sync", "always", "--targets", "3"});
    EXPECT_EQ(r.rc, 1);
    EXPECT_NE(r.err.find("slot 5 holds a card"), std::string::npos) << r.err;
    EXPECT_EQ(VirtualBus::ReadText(bus.Dir() + "/u/unit.toml"), before) << "a field changed although set failed";
}

namespace {

// One process's share of the stress run: commands on fields only it touches,
// so that any serial order of both gives the same final value of each field.
struct Share {
    std::vector<std::vector<std::string>> commands;
    // What the last command on each field left there.
    uint64_t throttle = 0, delay = 0;
    uint32_t productCode = 0;
    bool connected = true;
    int slot = 0;
    bool cardIn = false;
    uint32_t heads = 0;
    size_t faultsAdded = 0;
};

Share MakeShare(int who, int n)
{
    Share s;
    s.slot = who == 0 ? 2 : 3;
    std::string slot = std::to_string(s.slot);
    for (int i = 0; i < n; ++i) {
        switch (i % 5) {
        case 0:
            if (who == 0) {
                s.throttle = 1000 + i;
                s.commands.push_back({"throttle", "u", "--bytes-per-second", std::to_string(s.throttle)});
            } else {
                s.connected = !s.connected;
                s.commands.push_back({s.connected ? "plug" : "unplug", "u"});
            }
            break;
        case 1:
            if (who == 0) {
                s.productCode = 0x1000 + i;
                s.commands.push_back({"set", "u", "--product-code", std::to_string(s.productCode)});
            } else {
                s.commands.push_back({"set", "u", "--product-name", "B" + std::to_string(i)});
            }
            break;
        case 2:
            s.cardIn = !s.cardIn;
            if (s.cardIn) s.commands.push_back({"insert", "u", slot, "--size", "64K"});
            else s.commands.push_back({i % 2 ? "pull" : "eject", "u", slot});
            break;
        case 3:
            if (s.cardIn) {
                s.heads = 1 + i % 15;
                s.commands.push_back({"params", "u", slot, "--heads", std::to_string(s.heads)});
            } else {
                s.commands.push_back({"show", "u"});
            }
            break;
        case 4:
            ++s.faultsAdded;
            s.commands.push_back({"fault", "set", "u", "slot=" + slot, "op=eject", "count=off"});
            break;
        }
    }
    return s;
}

}  // namespace

TEST(TvqunitStore, TwoProcessesAtOnceLoseNoChange)
{
    VirtualBus bus;
    ASSERT_EQ(Tvq(bus, {"create", "u"}).rc, 0);
    // 200 a process; fewer where each run is slow (the sanitizer build).
    const char *count = std::getenv("TVQ_STRESS_COMMANDS");
    const int n = count && std::atoi(count) >= 10 ? std::atoi(count) / 5 * 5 : 200;
    Share shares[2] = {MakeShare(0, n), MakeShare(1, n)};
    // Each process is one shell running its commands back to back, logging every exit status.
    std::string scripts[2], logs[2];
    for (int w = 0; w < 2; ++w) {
        scripts[w] = bus.ScratchDir() + "/run" + std::to_string(w) + ".sh";
        logs[w] = bus.ScratchDir() + "/log" + std::to_string(w);
        std::ofstream f(scripts[w]);
        for (const auto &c : shares[w].commands)
            f << Command(bus.Dir(), c) << " >>" << Quote(logs[w] + ".out") << " 2>&1; echo $? >>" << Quote(logs[w])
              << "\n";
    }
    std::string both = "sh " + Quote(scripts[0]) + " & sh " + Quote(scripts[1]) + " & wait";
    ASSERT_EQ(std::system(both.c_str()), 0);

    // Every command says it was done.
    std::vector<uint32_t> ids;
    for (int w = 0; w < 2; ++w) {
        std::istringstream in(Slurp(logs[w]));
        std::string rc;
        int count = 0, bad = 0;
        while (in >> rc) {
            ++count;
            bad += rc != "0";
        }
        EXPECT_EQ(count, n) << "process " << w;
        EXPECT_EQ(bad, 0) << "process " << w << ":\n" << Slurp(logs[w] + ".out");
    }
    // The state is the one any serial order of the two gives, field by field.
    vbus::Unit u = bus.Bus().GetUnit("u");
    EXPECT_EQ(u.unitDesc.throttleBytesPerSecond, shares[0].throttle);
    EXPECT_EQ(u.unitDesc.fw.productCode, shares[0].productCode);
    EXPECT_EQ(u.unitDesc.connected, shares[1].connected);
    EXPECT_EQ(u.unitDesc.fw.productName, "B" + std::to_string(n - 4));  // the last i with i % 5 == 1
    for (const Share &s : shares) {
        SCOPED_TRACE(s.slot);
        EXPECT_EQ(bus.Bus().HasCard("u", s.slot), s.cardIn);
        if (s.cardIn && s.heads) {
            EXPECT_EQ(bus.Bus().GetCard("u", s.slot).params.heads, s.heads);
        }
        size_t rules = 0;
        for (const auto &r : u.faults) rules += r.slot == s.slot;
        EXPECT_EQ(rules, s.faultsAdded);
    }
    std::set<uint32_t> distinct;
    for (const auto &r : u.faults) distinct.insert(r.id);
    EXPECT_EQ(distinct.size(), shares[0].faultsAdded + shares[1].faultsAdded);
    EXPECT_EQ(u.nextFaultId, *distinct.rbegin() + 1);
    // Every card that went in and out left its record, none was lost.
    size_t records = 0;
    for (const auto &e : fs::directory_iterator(bus.Dir() + "/u/ejected")) records += e.is_regular_file();
    size_t pulls = 0;
    for (const Share &s : shares)
        for (const auto &c : s.commands) pulls += c[0] == "pull" || c[0] == "eject";
    EXPECT_EQ(records, pulls);
}
