// tvqcard duplicate on a virtual unit while cards are pulled and pushed in as
// an operator would: every card written once and equal to the image, one log
// record per card, a card left in its slot never written again, a card too
// small refused, Ctrl+C ending the station with 130.
#include "CardFixture.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
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

}  // namespace
