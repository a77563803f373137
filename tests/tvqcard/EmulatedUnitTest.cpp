// tvqcard on the emulated unit at the SCSI generic boundary (preloaded in
// place of the kernel), where faults of the transport itself can be planted:
// the node of the unit vanishing while a transfer runs ends the run at once,
// naming the cause, never tried again, and nothing past the failure is
// reported done or found on the card or in the file. The duplicate station
// on the unit itself goes by its own slots, not by a virtual unit's beside it.
#include "CardFixture.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <thread>

using namespace tvqtest;
using json = nlohmann::json;

namespace {

constexpr uint64_t kCard = 4 * kMiB;

struct EmulatedRun {
    Fixture f;
    std::string unitDir;

    EmulatedRun()
    {
        unitDir = f.Path("unit");
        ::mkdir(unitDir.c_str(), 0755);
    }
    std::string Card(int slot) const { return unitDir + "/slot" + std::to_string(slot) + ".img"; }
    Result Run(const std::vector<std::string> &args, const std::string &fault) { return f.Run(args, Env(fault)); }
    std::map<std::string, std::string> Env(const std::string &fault)
    {
        const char *asan = std::getenv("ASAN_OPTIONS");
        return {{"LD_PRELOAD", TVQ_EMU_PRELOAD},
                            {"TVQ_EMU", "210CF:last:" + unitDir},
                            {"TVQ_EMU_FAULT", fault},
                            {"QEVCRDIO_BACKEND", "sg"},
                            {"XDG_RUNTIME_DIR", f.bus.ScratchDir()},
                            {"LANG", "C"},
                            // A sanitized program takes a preloaded library after its own runtime.
                            {"ASAN_OPTIONS", std::string(asan && *asan ? std::string(asan) + ":" : "") +
                                                 "verify_asan_link_order=0"}};
    }
};

json Parse(const Result &r)
{
    json j = json::parse(r.out, nullptr, false);
    EXPECT_FALSE(j.is_discarded()) << "not JSON: " << r.out << "\n" << r.err;
    return j;
}

TEST(TvqcardEmulatedUnit, TheUnitsNodeVanishingMidTransferEndsTheRunWhereItFailed)
{
    EmulatedRun e;
    const auto master = Pattern(kCard, 41), source = Pattern(kCard, 42);
    e.f.File("unit/slot1.img", master);
    e.f.File("unit/slot2.img", std::vector<uint8_t>(kCard, 0));
    const std::string src = e.f.File("src.img", source);
    const std::string out = e.f.Path("out.img");

    struct Case {
        const char *what;
        std::vector<std::string> args;
        std::string fault;
        uint64_t lba;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"write", {"--retries", "3", "write", src, "2", "--json"}, "nodevice:2:3001", 3001,
         "writing the card in slot2 failed at sector "},
        {"read", {"--retries", "3", "read", "1", out, "--json"}, "nodevice:1:5000", 5000,
         "reading the card in slot1 failed at sector "},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Result r = e.Run(c.args, c.fault);
        EXPECT_RUN(r, 2, c.args);
        EXPECT_NE(r.err.find(c.text), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("the unit was unplugged"), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("trying again"), std::string::npos) << "a vanished node is not tried again\n" << r.err;
        EXPECT_EQ(r.err.find("emulated unit saw"), std::string::npos) << r.err;

        json j = Parse(r);
        if (c.args[2] == "write") {
            ASSERT_TRUE(j["slots"].is_array() && j["slots"].size() == 1) << r.out;
            j = j["slots"][0];
        }
        EXPECT_EQ(j["result"], "failed") << r.out;
        EXPECT_EQ(j["tries"], 1) << r.out;
        EXPECT_EQ(j["cause"], "the unit was unplugged (05/25/00)") << r.out;
        ASSERT_TRUE(j["failedSector"].is_number_unsigned()) << r.out;
        const uint64_t failed = j["failedSector"];
        EXPECT_LE(failed, c.lba) << "the run went past the sector where the node vanished";
        EXPECT_NE(r.err.find(c.text + std::to_string(failed) + ":"), std::string::npos) << r.err;
        // What the report calls done is exactly what is there, and nothing after it.
        ASSERT_TRUE(j["bytes"].is_number_unsigned()) << r.out;
        const uint64_t done = j["bytes"];
        EXPECT_EQ(done, failed * 512) << r.out;
        if (c.args[2] == "write") {
            const auto card = Whole(e.Card(2));
            ASSERT_EQ(card.size(), kCard);
            EXPECT_TRUE(Same(card.data(), source.data(), done)) << "the card lacks what was reported written";
            EXPECT_EQ(std::vector<uint8_t>(card.begin() + done, card.end()), std::vector<uint8_t>(kCard - done, 0))
                << "the card was written past the failure";
        } else {
            EXPECT_EQ(j["sectors"], failed) << r.out;
            const auto file = Whole(out);
            ASSERT_EQ(file.size(), done) << "the file holds other than what was reported read";
            EXPECT_TRUE(Same(file.data(), master.data(), done));
        }
    }
    // The master card itself was only read.
    EXPECT_EQ(Whole(e.Card(1)), master);
}

size_t LogLines(const std::string &log)
{
    std::ifstream f(log);
    size_t n = 0;
    for (std::string line; std::getline(f, line);) n += !line.empty();
    return n;
}

// A virtual unit on the bus beside the unit itself never stands in for it:
// the unit's card is written though the virtual unit's slot is empty.
TEST(TvqcardEmulatedUnit, TheDuplicateStationWatchesTheUnitsOwnSlots)
{
    EmulatedRun e;
    e.f.bus.AddUnit("u");
    e.f.bus.InsertBlank("u", 3, kCard);
    const auto data = Pattern(256 * 1024, 43);
    e.f.File("unit/slot1.img", std::vector<uint8_t>(kCard, 0));
    e.f.File("unit/slot2.img", std::vector<uint8_t>(kCard, 0));
    const std::string src = e.f.File("src.img", data);
    const std::string log = e.f.Path("station.log");
    ToolRun t(e.f.bus.ScratchDir(), e.Env(""));
    ASSERT_TRUE(t.Start({"duplicate", src, "2", "--log", log, "--count", "1"}));
    Result r = t.Wait(30);
    EXPECT_EQ(r.rc, 0) << r.err;
    ASSERT_EQ(LogLines(log), 1u);
    EXPECT_NE(Slurp(log).find("\"result\":\"done\""), std::string::npos) << Slurp(log);
    EXPECT_TRUE(Same(Whole(e.Card(2)).data(), data.data(), data.size()));
}

}  // namespace
