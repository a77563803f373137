// What tvqcard tells its user and scripts is true: output that cannot be
// written fails the run; --json has one shape per command, on success and
// error, with real counts; batches stop at a failing slot; "all" is exactly
// the slots with a card; a sum is checked whole; a difference in the last
// byte of a block is found; the progress bar counts bytes (run under a
// terminal).
#include "CardFixture.h"
#include "Terminal.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <fstream>
#include <map>
#include <pty.h>
#include <signal.h>
#include <thread>
#include <unistd.h>

using namespace tvqtest;
using json = nlohmann::json;

namespace {

json Parse(const Result &r)
{
    json j = json::parse(r.out, nullptr, false);
    EXPECT_FALSE(j.is_discarded()) << "not JSON: " << r.out << "\n" << r.err;
    return j;
}

Result RunTo(Fixture &f, const std::string &out, const std::vector<std::string> &args)
{
    ToolRun t(f.bus.ScratchDir());
    t.StdoutTo(out);
    EXPECT_TRUE(t.Start(args));
    return t.Wait(60);
}

TEST(TvqcardReport, OutputThatCannotBeWrittenFailsTheRun)
{
    Fixture f;
    f.bus.AddUnit("u");
    const std::string img1 = f.bus.InsertBlank("u", 1, kMiB);
    f.bus.InsertBlank("u", 2, kMiB);
    const std::string sums = f.File("sums", {});
    Result r = f.Run({"hash", "1", "2"});
    ASSERT_EQ(r.rc, 0) << r.err;
    const std::string lines = r.out;
    std::ofstream(sums) << lines;
    const std::string other = f.File("other.img", Pattern(kMiB, 31));
    const std::vector<std::vector<std::string>> runs = {
        {"hash", "1", "2"},
        {"hash", "--check", sums},
        {"list"},
        {"list", "--json"},
        {"read", "1", f.Path("a.img"), "--sha256"},
        {"read", "1", f.Path("b.img"), "--json"},
        {"write", other, "2", "--sha256"},
        {"compare", "1", other},
        {"hash", "1", "--json"},
        {"read", "9", f.Path("c.img"), "--json"},  // refused: the refusal's JSON is output too
    };
    for (const auto &args : runs) {
        Result r = RunTo(f, "/dev/full", args);
        EXPECT_EQ(r.rc, 2) << All(args) << "\n" << r.err;
        EXPECT_NE(r.err.find("error writing the output: No space left on device"), std::string::npos)
            << All(args) << "\n" << r.err;
    }
    // The same run into a file is fine, so it is the output that failed them (the write above was done).
    Result ok = RunTo(f, f.Path("out.txt"), {"hash", "1", "2"});
    EXPECT_EQ(ok.rc, 0) << ok.err;
    EXPECT_EQ(VirtualBus::ReadText(f.Path("out.txt")), Sha256sum(img1) + "  slot1\n" + Sha256sum(other) + "  slot2\n");
}

TEST(TvqcardReport, JsonHasOneShapePerCommandWithTheRealFigures)
{
    Fixture f;
    f.bus.AddUnit("u");
    const auto data = Pattern(4 * kMiB, 32);
    const std::string src = f.File("src.img", data);
    f.bus.InsertImage("u", 1, src);
    f.bus.InsertBlank("u", 2, 4 * kMiB);
    f.bus.InsertBlank("u", 3, 2 * kMiB);

    // list: bytes are bytes, sectors are sectors.
    Result r = f.Run({"list", "--json"});
    ASSERT_EQ(r.rc, 0) << r.err;
    json j = Parse(r);
    EXPECT_EQ(j["slots"][0]["capacityBytes"], 4 * kMiB);
    EXPECT_EQ(j["slots"][0]["totalSectors"], 8192);
    EXPECT_EQ(j["slots"][2]["capacityBytes"], 2 * kMiB);
    // read: sectors are sectors, bytes are bytes.
    r = f.Run({"read", "1", f.Path("part.img"), "--start", "10", "--count", "100", "--json"});
    ASSERT_EQ(r.rc, 0) << r.err;
    j = Parse(r);
    EXPECT_EQ(j["sectors"], 100);
    EXPECT_EQ(j["bytes"], 100 * 512);

    // hash: an object on success and on a refusal, a per-slot result with --check.
    r = f.Run({"hash", "1", "3", "--json"});
    ASSERT_EQ(r.rc, 0) << r.err;
    j = Parse(r);
    ASSERT_TRUE(j.is_object()) << r.out;
    EXPECT_EQ(j["result"], "done");
    ASSERT_EQ(j["slots"].size(), 2u) << r.out;
    EXPECT_EQ(j["slots"][0]["slot"], "slot1");
    EXPECT_EQ(j["slots"][0]["sha256"], Sha256sum(src));
    r = f.Run({"hash", "11", "--json"});
    EXPECT_EQ(r.rc, 2);
    j = Parse(r);
    ASSERT_TRUE(j.is_object()) << r.out;
    EXPECT_EQ(j["command"], "hash");
    EXPECT_EQ(j["result"], "refused");
    const std::string wrong = std::string(64, '0');
    const std::string sums = f.File("sums", {});
    std::ofstream(sums) << Sha256sum(src) << "  slot1\n" << wrong << "  slot3\n";
    r = f.Run({"hash", "--check", sums, "--json"});
    EXPECT_EQ(r.rc, 1) << r.err;
    j = Parse(r);
    ASSERT_EQ(j["slots"].size(), 2u) << r.out;
    EXPECT_EQ(j["result"], "different");
    EXPECT_EQ(j["slots"][0]["match"], true);
    EXPECT_EQ(j["slots"][0]["result"], "done");
    EXPECT_EQ(j["slots"][1]["match"], false);
    EXPECT_EQ(j["slots"][1]["expected"], wrong);
    EXPECT_EQ(j["slots"][1]["result"], "different");

    // compare stopped by --max-diffs: the bytes compared up to and with the last difference shown.
    auto changed = data;
    changed[1000] ^= 1;
    changed[70000] ^= 1;
    changed[3 * kMiB] ^= 1;
    const std::string other = f.File("changed.img", changed);
    r = f.Run({"compare", "1", other, "--max-diffs", "2", "--json"});
    EXPECT_EQ(r.rc, 1) << r.err;
    j = Parse(r);
    EXPECT_EQ(j["bytes"], 70001);
    EXPECT_EQ(j["differences"].size(), 2u);
    EXPECT_EQ(j["maxDiffsReached"], true);
    r = f.Run({"compare", "1", other, "--json"});
    j = Parse(r);
    EXPECT_EQ(j["bytes"], 4 * kMiB);
    EXPECT_EQ(j["differences"].size(), 3u);

    // eject and format answer too, failing or not.
    r = f.Run({"format", "3", "--yes", "--json"});
    EXPECT_EQ(r.rc, 0) << r.err;
    j = Parse(r);
    EXPECT_EQ(j["command"], "format");
    EXPECT_EQ(j["result"], "done");
    EXPECT_EQ(j["slot"], "slot3");
    f.bus.SetFault("u", "slot=3 op=format effect=sense:07/27/00");
    r = f.Run({"format", "3", "--yes", "--json"});
    EXPECT_EQ(r.rc, 2) << r.err;
    EXPECT_NE(r.err.find("the card is write-protected (07/27/00)"), std::string::npos) << r.err;
    j = Parse(r);
    EXPECT_EQ(j["result"], "failed");
    EXPECT_EQ(j["sense"], "07/27/00");
    f.bus.SetFault("u", "slot=3 op=eject effect=sense:02/04/00");
    r = f.Run({"eject", "3", "--json"});
    EXPECT_EQ(r.rc, 2) << r.err;
    j = Parse(r);
    EXPECT_EQ(j["command"], "eject");
    EXPECT_EQ(j["result"], "failed");
    EXPECT_TRUE(f.bus.Bus().HasCard("u", 3));
    f.bus.ClearFaults("u");
    r = f.Run({"eject", "3", "--json"});
    EXPECT_EQ(r.rc, 0) << r.err;
    j = Parse(r);
    EXPECT_EQ(j["result"], "done");
    EXPECT_FALSE(f.bus.Bus().HasCard("u", 3));

    // The process holding a slot has its own field.
    f.bus.Throttle("u", kMiB);
    ToolRun holder(f.bus.ScratchDir());
    ASSERT_TRUE(holder.Start({"write", src, "2"}));
    for (int i = 0; i < 200; ++i) {
        r = f.Run({"list", "--json"});
        j = Parse(r);
        if (j["slots"][1]["inUseByPid"] == holder.Pid()) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(j["slots"][1]["inUseByPid"], holder.Pid()) << r.out;
    EXPECT_EQ(j["slots"][0]["inUseByPid"], nullptr) << r.out;
    r = f.Run({"read", "2", f.Path("x.img"), "--json"});
    EXPECT_EQ(r.rc, 2);
    j = Parse(r);
    EXPECT_EQ(j["holderPid"], holder.Pid()) << r.out;
    EXPECT_EQ(j["holder"], "tvqcard") << r.out;
    ::kill(holder.Pid(), SIGINT);
    EXPECT_EQ(holder.Wait(20).rc, 130);
}

TEST(TvqcardReport, AFailingSlotStopsOnlyItselfAndAllIsTheSlotsWithACard)
{
    Fixture f;
    f.bus.AddUnit("u");
    std::map<int, std::string> images;
    for (int s : {1, 2, 5}) images[s] = f.bus.InsertBlank("u", s, kMiB);
    const auto data = Pattern(kMiB, 33);
    const std::string src = f.File("src.img", data);

    std::vector<std::string> args{"write", src, "all", "--verify"};
    Result r = f.Run(args);
    EXPECT_RUN(r, 0, args);
    for (auto &[s, img] : images) EXPECT_EQ(Whole(img), data) << "slot " << s;
    args = {"hash", "all"};
    r = f.Run(args);
    EXPECT_RUN(r, 0, args);
    const std::string sum = Sha256sum(src);
    EXPECT_EQ(r.out, sum + "  slot1\n" + sum + "  slot2\n" + sum + "  slot5\n");

    // A failing slot in the middle stops only itself: the cards after it are written, the run says it failed.
    const auto other = Pattern(kMiB, 34);
    const std::string src2 = f.File("src2.img", other);
    f.bus.SetFault("u", "slot=2 op=write effect=sense:07/27/00");
    args = {"write", src2, "1", "2", "5"};
    r = f.Run(args);
    EXPECT_RUN(r, 2, args);
    EXPECT_EQ(Whole(images[1]), other);
    EXPECT_EQ(Whole(images[5]), other) << "the cards after the failing slot were skipped";
    EXPECT_NE(r.err.find("writing the card in slot2 failed"), std::string::npos) << r.err;
    f.bus.ClearFaults("u");
    f.bus.SetFault("u", "slot=2 op=read lba=10 effect=sense:03/11/00");
    args = {"--retries", "0", "hash", "1", "2", "5"};
    r = f.Run(args);
    EXPECT_RUN(r, 2, args);
    EXPECT_EQ(r.out, Sha256sum(images[1]) + "  slot1\n" + Sha256sum(images[5]) + "  slot5\n");
    args = {"--retries", "0", "hash", "5", "1", "2"};
    r = f.Run(args);
    EXPECT_RUN(r, 2, args);
    f.bus.ClearFaults("u");

    // A sum is checked whole: a change in its first or last digit fails it.
    for (size_t at : {size_t(0), size_t(63)}) {
        std::string bad = sum;
        bad[at] = bad[at] == '0' ? '1' : '0';
        const std::string sums = f.File("sums" + std::to_string(at), {});
        std::ofstream(sums) << bad << "  slot5\n";
        args = {"hash", "--check", sums};
        r = f.Run(args);
        EXPECT_RUN(r, 1, args);
        EXPECT_EQ(r.out, "slot5: FAILED\n");
    }
}

TEST(TvqcardReport, ADifferenceInTheLastByteOfABlockIsFound)
{
    Fixture f;
    f.bus.AddUnit("u");
    const auto data = Pattern(kMiB, 35);
    f.bus.InsertImage("u", 1, f.File("card.img", data));
    // The last byte of the first and of a later 64 KiB block (128 sectors), and the file's last byte.
    for (size_t at : {size_t(0xFFFF), size_t(0x3FFFF), size_t(kMiB - 1)}) {
        auto changed = data;
        changed[at] ^= 0x80;
        const std::string file = f.File("changed.img", changed);
        std::vector<std::string> args{"compare", "1", file};
        Result r = f.Run(args);
        EXPECT_RUN(r, 1, args);
        char want[96];
        std::snprintf(want, sizeof want, "<Address %08zX (Sector No# = %zX)>  Card : %02X  File : %02X\n", at, at / 512,
                      data[at], changed[at]);
        EXPECT_EQ(r.out, want);
        // A write whose card then holds that byte wrong is caught by its verify.
        args = {"write", file, "1", "--verify"};
        EXPECT_RUN(f.Run(args), 0, args);
        f.bus.SetFault("u", "slot=1 op=write lba=" + std::to_string(at / 512) + " effect=corrupt:511");
        args = {"write", f.File("orig.img", data), "1", "--verify"};
        r = f.Run(args);
        EXPECT_RUN(r, 1, args);
        f.bus.ClearFaults("u");
        args = {"write", f.File("orig.img", data), "1"};
        EXPECT_RUN(f.Run(args), 0, args);
    }
}

// The bar under a terminal: its figures are bytes of the card, rising to the whole of it.
TEST(TvqcardReport, TheProgressBarCountsBytesUnderATerminal)
{
    Fixture f;
    f.bus.AddUnit("u");
    f.bus.InsertBlank("u", 1, 4 * kMiB);
    f.bus.Throttle("u", 4 * kMiB);  // 1 s: about ten frames
    int status = 0;
    const std::string screen = OnTerminal({"hash", "1"}, 0, &status);
    EXPECT_EQ(status, 0) << screen;
    EXPECT_NE(screen.find("  slot1"), std::string::npos) << screen;

    auto bytes = [](double v, const std::string &unit) {
        return unit == "GiB" ? v * 1073741824 : unit == "MiB" ? v * 1048576 : unit == "KiB" ? v * 1024 : v;
    };
    std::vector<double> done;
    for (size_t at = screen.find("slot1 hash ["); at != std::string::npos; at = screen.find("slot1 hash [", at + 1)) {
        int percent = 0;
        double d = 0, t = 0, rate = 0;
        char du[8] = {}, tu[8] = {}, ru[8] = {};
        const char *p = std::strchr(screen.c_str() + at, ']');
        ASSERT_NE(p, nullptr);
        ASSERT_EQ(std::sscanf(p + 1, " %d%% %lf %7s / %lf %7s %lf %7[^/]/s", &percent, &d, du, &t, tu, &rate, ru), 7)
            << screen.substr(at, 100);
        EXPECT_EQ(bytes(t, tu), 4.0 * kMiB) << screen.substr(at, 100);
        const double db = bytes(d, du);
        EXPECT_LE(db, 4.0 * kMiB);
        EXPECT_NEAR(percent, 100.0 * db / (4.0 * kMiB), 2.0) << screen.substr(at, 100);
        // Up to 4 MiB/s: a rate in sectors would be 512 times less.
        if (db > 0) EXPECT_GT(bytes(rate, ru), 64.0 * 1024) << screen.substr(at, 100);
        if (!done.empty()) EXPECT_GE(db, done.back());
        done.push_back(db);
    }
    ASSERT_GE(done.size(), 3u) << screen;
    EXPECT_GT(done.back(), 2.0 * kMiB) << "the last frame shows most of the card done\n" << screen;
}

}  // namespace
