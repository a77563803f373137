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
#include <functional>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

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

TEST(TvqunitStore, DeeplyNestedFilesAreNamedNotFollowedIntoACrash)
{
    VirtualBus bus;
    bus.AddUnit("u");
    bus.AddUnit("w");
    std::string parts = "a";
    for (int i = 1; i < 35000; ++i) parts += ".a";
    const std::string unitFile = bus.Dir() + "/u/unit.toml", counts = bus.Dir() + "/w/fault-counts";
    { std::ofstream(unitFile) << parts << " = 1\n"; }
    { std::ofstream(counts) << "[rule.1]\n" << parts << " = 1\n"; }
    bus.SetFault("w", "op=read count=next:1");
    for (const auto &args : std::vector<std::vector<std::string>>{{"show", "u"}, {"fault", "set", "u", "op=read"}}) {
        Result r = Tvq(bus, args);
        EXPECT_EQ(r.rc, 1) << Joined(args) << r.err;
        EXPECT_NE(r.err.find("'" + unitFile + "': line 1: "), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("nested deeper than"), std::string::npos) << r.err;
    }
    Result list = Tvq(bus, {"list"});
    EXPECT_EQ(list.rc, 0) << list.err;
    EXPECT_NE(list.out.find("u\t(malformed description of unit 'u'"), std::string::npos) << list.out;
    EXPECT_NE(list.out.find("w\tTVQ-210CF"), std::string::npos) << list.out;
    // Counts that cannot be read count from nothing, and show says why.
    Result faults = Tvq(bus, {"fault", "list", "w"});
    EXPECT_EQ(faults.rc, 0) << faults.err;
    EXPECT_NE(faults.out.find("hits 0\tfired 0"), std::string::npos) << faults.out;
    Result show = Tvq(bus, {"show", "w"});
    EXPECT_EQ(show.rc, 0) << show.err;
    EXPECT_NE(show.out.find("problem: '" + counts + "': line 2: "), std::string::npos) << show.out;
}

TEST(TvqunitStore, NoChangeGrowsADescriptionPastWhatReadersTake)
{
    VirtualBus bus;
    ASSERT_EQ(Tvq(bus, {"create", "u"}).rc, 0);
    const std::string file = bus.Dir() + "/u/unit.toml";
    std::string head = VirtualBus::ReadText(file);
    auto rules = [&](size_t bytes) {
        std::string t = head.substr(0, head.find("[faults]")) + "[faults]\nnext_id = 100000\n";
        for (int id = 1; t.size() < bytes; ++id)
            t += "\n[[faults.rule]]\nid = " + std::to_string(id) +
                 "\nslot = \"any\"\nop = \"read\"\ncount = \"next:3\"\nlba = \"0x100-0x1FF\"\neffect = \"sense:03/11/00\"\n";
        return t;
    };
    // Just under the limit: the file reads, and one rule more would take it over.
    std::string full = rules((1u << 20) - 200);
    ASSERT_LE(full.size(), 1u << 20);
    { std::ofstream(file, std::ios::binary) << full; }
    ASSERT_EQ(Tvq(bus, {"show", "u"}).rc, 0);
    Result r = Tvq(bus, {"fault", "set", "u", "op=read", "lba=0x100-0x1ff", "count=next:3"});
    EXPECT_EQ(r.rc, 1);
    EXPECT_NE(r.err.find("more than the 1048576 a description may hold; nothing was changed"), std::string::npos) << r.err;
    EXPECT_EQ(VirtualBus::ReadText(file), full);
    // Grown past it by other hands: the unit cannot be read, and clearing the rules mends it.
    std::string over = rules((1u << 20) + 5000);
    { std::ofstream(file, std::ios::binary) << over; }
    Result show = Tvq(bus, {"show", "u"});
    EXPECT_EQ(show.rc, 1);
    EXPECT_NE(show.err.find("larger than any description"), std::string::npos) << show.err;
    Result clear = Tvq(bus, {"fault", "clear", "u", "--all"});
    EXPECT_EQ(clear.rc, 0) << clear.err;
    EXPECT_EQ(Tvq(bus, {"show", "u"}).rc, 0);
    EXPECT_LT(fs::file_size(file), 4096u);
    // Nor is a unit created with a description past it.
    vbus::UnitDesc big;
    big.bridge = std::string((1u << 20) + 1, 'b');
    EXPECT_THROW(bus.Bus().CreateUnit("big", big), vbus::Error);
    EXPECT_FALSE(fs::exists(bus.Dir() + "/big"));
    // The id counter stays where it was, so old counts never meet new rules.
    EXPECT_EQ(Tvq(bus, {"fault", "set", "u", "op=read"}).out, "100000\n");
}

TEST(TvqunitStore, AnImageThatDoesNotOpenBlocksNothing)
{
    struct Kind {
        const char *name;
        std::function<void(const std::string &)> make;  // turns the image file into that
        const char *said;
    };
    std::vector<Kind> kinds = {
        {"socket",
         [](const std::string &p) {
             fs::remove(p);
             int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
             sockaddr_un a{};
             a.sun_family = AF_UNIX;
             std::snprintf(a.sun_path, sizeof a.sun_path, "%s", p.c_str());
             ASSERT_EQ(::bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a), 0) << p;
             ::close(s);
         },
         "is a socket"},
        {"symlink loop",
         [](const std::string &p) {
             fs::remove(p);
             fs::create_symlink(p, p);
         },
         "loop of symbolic links"},
    };
    // Root reads every file, whatever its mode.
    if (::geteuid() != 0)
        kinds.push_back({"unreadable", [](const std::string &p) { ::chmod(p.c_str(), 0); }, "Permission denied"});
    for (const auto &k : kinds) {
        SCOPED_TRACE(k.name);
        VirtualBus bus;
        ASSERT_EQ(Tvq(bus, {"create", "u"}).rc, 0);
        // Short names: a socket's path has room for 107 bytes only.
        std::string dir = "/tmp/tvqk-" + std::to_string(::getpid());
        fs::create_directories(dir);
        std::string a = dir + "/a.img", b = dir + "/b.img";
        for (const auto &p : {a, b}) std::ofstream(p, std::ios::binary) << std::string(64 * 512, 'x');
        ASSERT_EQ(Tvq(bus, {"insert", "u", "1", "--image", a, "--in-place"}).rc, 0);
        ASSERT_EQ(Tvq(bus, {"insert", "u", "2", "--image", b, "--in-place"}).rc, 0);
        ASSERT_EQ(Tvq(bus, {"insert", "u", "3", "--size", "64K"}).rc, 0);
        k.make(a);
        k.make(b);
        for (const auto &args : std::vector<std::vector<std::string>>{
                 {"set", "u", "--sync", "always"}, {"unplug", "u"}, {"plug", "u"}, {"pull", "u", "1"}, {"eject", "u", "2"}}) {
            Result r = Tvq(bus, args);
            EXPECT_EQ(r.rc, 0) << Joined(args) << r.err;
            if (args[0] != "plug") {
                EXPECT_NE(r.err.find(k.said), std::string::npos) << Joined(args) << r.err;
            }
        }
        vbus::Unit u = bus.Bus().GetUnit("u");
        EXPECT_TRUE(u.unitDesc.syncAlways);
        ASSERT_EQ(u.cards.size(), 1u);  // the blank card stays
        EXPECT_EQ(u.cards[0].slot, 3);
        fs::remove_all(dir);
    }
}

TEST(TvqunitStore, ABusFolderNamedInShiftJisTakesCards)
{
    VirtualBus scratch;
    // テスト in Shift_JIS: not UTF-8.
    const std::string busDir = scratch.ScratchDir() + "/\x83\x65\x83\x58\x83\x67";
    auto run = [&](const std::vector<std::string> &args) {
        std::string out = scratch.ScratchDir() + "/o", err = scratch.ScratchDir() + "/e";
        int st = std::system(("timeout 20 " + Command(busDir, args) + " >" + Quote(out) + " 2>" + Quote(err)).c_str());
        Result r;
        r.rc = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
        r.out = Slurp(out);
        r.err = Slurp(err);
        return r;
    };
    std::string src = scratch.ScratchDir() + "/src.img";
    std::ofstream(src, std::ios::binary) << std::string(128 * 512, '\x3C');
    for (const auto &args : std::vector<std::vector<std::string>>{{"create", "u"},
                                                                  {"insert", "u", "1", "--size", "64K"},
                                                                  {"insert", "u", "2", "--image", src},
                                                                  {"insert", "u", "3", "--image", src, "--in-place"},
                                                                  {"pull", "u", "1"},
                                                                  {"show", "u"}}) {
        Result r = run(args);
        EXPECT_EQ(r.rc, 0) << Joined(args) << r.err;
    }
    // The library serves the cards of that bus, the copy's bytes with them.
    ::setenv("QEVCRDIO_BUS", busDir.c_str(), 1);
    QevSlotRecord t[QEV_MAX_TARGETS];
    EXPECT_EQ(QevScScanEx(AcceptAll, "TVQ-MTX", t), 11);
    QevSlotStatus st{};
    ASSERT_EQ(QevScGetSlotStatus(0, &st), 0);
    EXPECT_EQ(st.CardMask & 0x7u, 0x6u);
    std::vector<uint8_t> sector(512);
    ASSERT_EQ(QevScRead10(2, 5, 1, sector.data(), 512), 0);
    EXPECT_EQ(sector, std::vector<uint8_t>(512, 0x3C));
    ::setenv("QEVCRDIO_BUS", scratch.Dir().c_str(), 1);
    // What has to be stored as text and is not UTF-8 is refused, and says so.
    std::string odd = busDir + "/odd.img";
    fs::copy_file(src, odd);
    Result r = run({"insert", "u", "4", "--image", odd, "--in-place"});
    EXPECT_EQ(r.rc, 1);
    EXPECT_NE(r.err.find("is not UTF-8 text and cannot be stored"), std::string::npos) << r.err;
}
