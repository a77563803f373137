// tvqcard duplicate on a virtual unit while cards are pulled and pushed in as
// an operator would: every card written once and equal to the image, one log
// record per card, a card left in its slot never written again (not even when
// a look at the slot fails), a card swapped faster than the station looks
// still written, a card too small refused, Ctrl+C ending the station with 130,
// and the slots' line on a terminal.
#include "CardFixture.h"
#include "Terminal.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <pty.h>
#include <sys/ioctl.h>

#include <chrono>
#include <fstream>
#include <regex>
#include <thread>

using namespace tvqtest;
using json = nlohmann::json;

namespace {

std::vector<json> Records(const std::string &log)
{
    std::vector<json> out;
    std::ifstream f(log);
    for (std::string line; std::getline(f, line);)
        if (!line.empty()) out.push_back(json::parse(line));
    return out;
}

TEST(TvqcardDuplicate, TwentyCardsEachWrittenOnceAndLogged)
{
    Fixture f;
    f.bus.AddUnit("u");
    f.bus.InsertBlank("u", 1, kMiB);  // the master: not watched
    const auto data = Pattern(300 * 1024 + 17, 31);
    const std::string src = f.File("src.img", data);
    const std::string log = f.Path("station.log");
    for (int s : {2, 3}) f.bus.InsertBlank("u", s, kMiB);
    ToolRun t(f.bus.ScratchDir());
    ASSERT_TRUE(t.Start({"duplicate", src, "2", "3", "--verify", "--log", log, "--count", "20"}));

    // The operator: a card whose record is in the log is left in a while (it must not be written again), then
    // pulled, checked and replaced by a blank one.
    std::map<std::string, int> handled{{"slot2", 0}, {"slot3", 0}};
    int pulled = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (pulled < 20 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const auto recs = Records(log);
        std::map<std::string, int> seen;
        for (const json &r : recs) ++seen[r.at("slot").get<std::string>()];
        for (int s : {2, 3}) {
            const std::string name = "slot" + std::to_string(s);
            if (seen[name] <= handled[name]) continue;
            ASSERT_EQ(seen[name], handled[name] + 1) << name << " written twice without a change";
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            const std::string img = f.bus.Bus().GetCard("u", s).image;
            EXPECT_EQ(VirtualBus::ReadFile(img, 0, data.size()), data) << name << " card " << handled[name];
            f.bus.Pull("u", s);
            ++handled[name];
            ++pulled;
            if (pulled < 20) {
                std::this_thread::sleep_for(std::chrono::milliseconds(250));
                f.bus.InsertBlank("u", s, kMiB);
            }
        }
    }
    Result r = t.Wait(60);
    EXPECT_EQ(r.rc, 0) << r.err;
    const auto recs = Records(log);
    ASSERT_EQ(recs.size(), 20u);
    for (const json &rec : recs) {
        EXPECT_EQ(rec.at("result"), "done") << rec.dump();
        EXPECT_EQ(rec.at("sha256"), Sha256sum(src)) << rec.dump();
        EXPECT_EQ(rec.at("cardBytes"), kMiB);
        EXPECT_TRUE(rec.contains("time") && rec.contains("seconds")) << rec.dump();
    }
    EXPECT_EQ(handled["slot2"] + handled["slot3"], 20);
}

TEST(TvqcardDuplicate, ASmallCardIsRefusedAndCtrlCEndsTheStation)
{
    Fixture f;
    f.bus.AddUnit("u");
    const auto data = Pattern(600 * 1024, 32);
    const std::string src = f.File("src.img", data);
    const std::string log = f.Path("station.log");
    const std::string small = f.bus.InsertBlank("u", 2, 512 * 1024);
    ToolRun t(f.bus.ScratchDir());
    ASSERT_TRUE(t.Start({"duplicate", src, "2", "--log", log}));
    for (int i = 0; i < 100 && Records(log).empty(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_EQ(::kill(t.Pid(), SIGINT), 0);
    Result r = t.Wait(30);
    EXPECT_EQ(r.rc, 130) << r.err;
    const auto recs = Records(log);
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].at("result"), "refused");
    EXPECT_EQ(Whole(small), std::vector<uint8_t>(512 * 1024, 0));
}

// Waits until the log holds n records (at most seconds s).
std::vector<json> AwaitRecords(const std::string &log, size_t n, int s = 30)
{
    std::vector<json> recs = Records(log);
    for (int i = 0; i < s * 20 && recs.size() < n; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        recs = Records(log);
    }
    return recs;
}

TEST(TvqcardDuplicate, ACardIsWrittenOncePerInsertEvenWhenSwappedBetweenTwoLooks)
{
    Fixture f;
    f.bus.AddUnit("u");
    const auto data = Pattern(200 * 1024 + 5, 33);
    const std::string src = f.File("src.img", data);
    const std::string log = f.Path("station.log");
    const std::vector<uint8_t> blank(kMiB, 0);
    // The operator's own card, used in place: put in again it has the same file and is another card all the same.
    const std::string card = f.File("card.img", blank);
    f.bus.InsertImage("u", 2, card, true);
    ToolRun t(f.bus.ScratchDir());
    ASSERT_TRUE(t.Start({"duplicate", src, "2", "--log", log}));
    ASSERT_EQ(AwaitRecords(log, 1).size(), 1u) << t.ErrSoFar();
    EXPECT_EQ(VirtualBus::ReadFile(card, 0, data.size()), data);

    // Looks at the slot that fail for a while are no empty slot: the card stays written once.
    const uint32_t rule = f.bus.SetFault("u", "slot=2 op=driveinfo count=next:6 effect=sense:02/3A/00");
    for (int i = 0; i < 200 && f.bus.Bus().FireCount("u", rule) < 6; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(f.bus.Bus().FireCount("u", rule), 6u);
    EXPECT_EQ(Records(log).size(), 1u) << "a card left in was written again";

    // Taken out and put in again while the station is held: it never sees the slot empty.
    ASSERT_EQ(::kill(t.Pid(), SIGSTOP), 0);
    f.bus.Pull("u", 2);
    f.File("card.img", blank);
    f.bus.InsertImage("u", 2, card, true);
    ASSERT_EQ(::kill(t.Pid(), SIGCONT), 0);
    ASSERT_EQ(AwaitRecords(log, 2).size(), 2u) << t.ErrSoFar();
    EXPECT_EQ(VirtualBus::ReadFile(card, 0, data.size()), data);

    // Another card in its place, the same way.
    ASSERT_EQ(::kill(t.Pid(), SIGSTOP), 0);
    f.bus.Pull("u", 2);
    const std::string other = f.bus.InsertBlank("u", 2, kMiB);
    ASSERT_EQ(::kill(t.Pid(), SIGCONT), 0);
    ASSERT_EQ(AwaitRecords(log, 3).size(), 3u) << t.ErrSoFar();
    EXPECT_EQ(VirtualBus::ReadFile(other, 0, data.size()), data);

    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    ASSERT_EQ(::kill(t.Pid(), SIGINT), 0);
    Result r = t.Wait(30);
    EXPECT_EQ(r.rc, 130) << r.err;
    const auto recs = Records(log);
    ASSERT_EQ(recs.size(), 3u);
    for (const json &rec : recs) {
        EXPECT_EQ(rec.at("result"), "done") << rec.dump();
        EXPECT_EQ(rec.at("slot"), "slot2") << rec.dump();
        EXPECT_TRUE(rec.at("device").is_null() && rec.at("serial").is_null()) << rec.dump();
    }
}

// The frames of the slots' line: each "\r...\033[K", without the control sequences.
std::vector<std::string> Frames(const std::string &screen)
{
    std::vector<std::string> out;
    size_t at = 0;
    while ((at = screen.find('\r', at)) != std::string::npos) {
        const size_t end = screen.find("\033[K", at);
        if (end == std::string::npos) break;
        std::string frame = screen.substr(at + 1, end - at - 1);
        if (!frame.empty() && frame.find('\r') == std::string::npos) out.push_back(frame);
        at = end;
    }
    return out;
}

TEST(TvqcardDuplicate, TheSlotsLineShowsEachCardAndFitsTheTerminal)
{
    Fixture f;
    f.bus.AddUnit("u");
    const auto data = Pattern(kMiB, 34);
    const std::string src = f.File("src.img", data);
    for (int s : {2, 3, 4, 5}) f.bus.InsertBlank("u", s, kMiB);
    f.bus.Throttle("u", 4 * kMiB);  // 2 s for the four cards, written and read back: about ten frames
    const std::string bus = "--bus=" + f.bus.Bus().Dir();
    int rc = -1;
    std::string screen = OnTerminal({bus, "duplicate", src, "2", "3", "4", "5", "--verify", "--count", "4"}, 200, &rc);
    EXPECT_EQ(rc, 0) << screen;
    std::vector<std::string> frames = Frames(screen);
    ASSERT_FALSE(frames.empty()) << screen;
    const std::regex writing("slot[2-5]: writing [0-9]+ %  "), verifying("slot[2-5]: verifying [0-9]+ %  ");
    bool sawWriting = false, sawVerifying = false;
    for (const std::string &fr : frames) {
        sawWriting |= std::regex_search(fr, writing);
        sawVerifying |= std::regex_search(fr, verifying);
    }
    EXPECT_TRUE(sawWriting && sawVerifying) << screen;
    EXPECT_EQ(frames.back(), "slot2: done OK  slot3: done OK  slot4: done OK  slot5: done OK  | 4 good, 0 failed");

    // A narrow terminal: every frame within its width, the totals always there.
    for (int s : {2, 3, 4, 5}) {
        f.bus.Pull("u", s);
        f.bus.InsertBlank("u", s, kMiB);
    }
    screen = OnTerminal({bus, "duplicate", src, "2", "3", "4", "5", "--verify", "--count", "4"}, 30, &rc);
    EXPECT_EQ(rc, 0) << screen;
    frames = Frames(screen);
    ASSERT_FALSE(frames.empty()) << screen;
    for (const std::string &fr : frames) {
        EXPECT_LE(fr.size(), 29u) << fr;
        EXPECT_NE(fr.find("good, "), std::string::npos) << fr;
    }
    EXPECT_NE(frames.back().find("| 4 good, 0 failed"), std::string::npos) << frames.back();

    // In a pipe: no line at all.
    for (int s : {2, 3, 4, 5}) {
        f.bus.Pull("u", s);
        f.bus.InsertBlank("u", s, kMiB);
    }
    const std::string err = f.Path("err.txt");
    screen = OnTerminal({bus, "duplicate", src, "2", "3", "4", "5", "--count", "4"}, 200, &rc, err);
    EXPECT_EQ(rc, 0) << screen;
    const std::string piped = Slurp(err);
    EXPECT_EQ(piped, "4 good, 0 failed\n");
}

}  // namespace
