// tvqcard write --verify, compare and hash on several cards at once: a card
// that fails mid-way, is pulled, differs or is too small stops only itself;
// the others are done whole and right; the exit status and the JSON say which
// card had what; cards of another size take the same image.
#include "CardFixture.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using namespace tvqtest;
using json = nlohmann::json;

namespace {

// The card holds data and, after it, nothing but the blank card's zeros.
void ExpectWritten(const std::string &img, const std::vector<uint8_t> &data, const std::string &what)
{
    const auto card = Whole(img);
    ASSERT_GE(card.size(), data.size()) << what;
    EXPECT_TRUE(Same(card.data(), data.data(), data.size())) << what << ": not the image";
    EXPECT_TRUE(std::all_of(card.begin() + static_cast<long>(data.size()), card.end(), [](uint8_t b) { return b == 0; }))
        << what << ": written past the image";
}

json Row(const json &j, const std::string &slot)
{
    for (const json &r : j.at("slots"))
        if (r.at("slot") == slot) return r;
    return json();
}

TEST(TvqcardManyCards, OneCardFailingMidWayStopsOnlyItself)
{
    Fixture f;
    f.bus.AddUnit("u");
    std::vector<std::string> images;
    // Images longer than the pieces a card's queue holds: the others go on well past the failing card.
    for (int s = 1; s <= 4; ++s) images.push_back(f.bus.InsertBlank("u", s, 16 * kMiB));
    const auto data = Pattern(15 * kMiB + 100, 21);  // a final partial sector
    const std::string src = f.File("src.img", data);

    // A write error on slot3 two thirds in, not to be tried again.
    const uint32_t id = f.bus.SetFault("u", "slot=3 op=write lba=4000-4100 effect=sense:03/0C/00");
    std::vector<std::string> args{"--retries", "0", "--json", "write", src, "1", "2", "3", "4", "--verify", "--sha256"};
    Result r = f.Run(args);
    EXPECT_RUN(r, 2, args);
    EXPECT_GT(f.bus.FireCount("u", id), 0u);
    for (int s : {1, 2, 4}) ExpectWritten(images[s - 1], data, "slot" + std::to_string(s));
    EXPECT_NE(r.err.find("writing the card in slot3 failed at sector 4000"), std::string::npos) << r.err;
    const json j = json::parse(r.out);
    EXPECT_EQ(j.at("result"), "failed");
    ASSERT_EQ(j.at("slots").size(), 4u);
    for (const char *s : {"slot1", "slot2", "slot4"}) {
        EXPECT_EQ(Row(j, s).at("result"), "done") << s;
        EXPECT_EQ(Row(j, s).at("bytes"), data.size()) << s;
        EXPECT_EQ(Row(j, s).at("sha256"), Sha256sum(src)) << s;
    }
    EXPECT_EQ(Row(j, "slot3").at("result"), "failed");
    EXPECT_EQ(Row(j, "slot3").at("failedSector"), 4000);
    EXPECT_EQ(Row(j, "slot3").at("bytes"), 4000u * 512);
    // Slot3 holds the sectors before the bad one, and nothing from it on.
    const auto card3 = Whole(images[2]);
    EXPECT_TRUE(Same(card3.data(), data.data(), 4000 * 512));
    EXPECT_TRUE(std::all_of(card3.begin() + 4000 * 512, card3.end(), [](uint8_t b) { return b == 0; }));
    f.bus.ClearFaults("u");

    // A card that takes the writes and drops some: only its read-back says so, exit 1.
    const auto data2 = Pattern(2 * kMiB, 22);
    const std::string src2 = f.File("src2.img", data2);
    f.bus.SetFault("u", "slot=2 op=write lba=3000-3000 effect=drop");
    args = {"--json", "write", src2, "all", "--verify"};
    r = f.Run(args);
    EXPECT_RUN(r, 1, args);
    const json j2 = json::parse(r.out);
    EXPECT_EQ(Row(j2, "slot2").at("result"), "different");
    EXPECT_NE(r.err.find("verify failed: slot2"), std::string::npos) << r.err;
    for (int s : {1, 3, 4}) {
        EXPECT_EQ(Row(j2, "slot" + std::to_string(s)).at("result"), "done") << s;
        EXPECT_EQ(VirtualBus::ReadFile(images[s - 1], 0, data2.size()), data2) << s;
    }
    f.bus.ClearFaults("u");

    // Hashes of all four at once, in the order asked, a read error on one of them.
    f.bus.SetFault("u", "slot=4 op=read lba=100 effect=sense:03/11/00");
    args = {"--retries", "0", "hash", "4", "1", "2"};
    r = f.Run(args);
    EXPECT_RUN(r, 2, args);
    EXPECT_EQ(r.out, Sha256sum(images[0]) + "  slot1\n" + Sha256sum(images[1]) + "  slot2\n");
}

TEST(TvqcardManyCards, ACardPulledMidWriteStopsOnlyItself)
{
    Fixture f;
    f.bus.AddUnit("u");
    std::vector<std::string> images;
    for (int s = 1; s <= 4; ++s) images.push_back(f.bus.InsertBlank("u", s, 12 * kMiB));
    const auto data = Pattern(12 * kMiB, 23);
    const std::string src = f.File("src.img", data);
    f.bus.Throttle("u", 24 * kMiB);  // 2 s for the writes of the four cards, 2 s for their read-back
    ToolRun t(f.bus.ScratchDir());
    ASSERT_TRUE(t.Start({"--json", "write", src, "1", "2", "3", "4", "--verify"}));
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    f.bus.Pull("u", 2);
    Result r = t.Wait();
    EXPECT_EQ(r.rc, 2) << r.err;
    for (int s : {1, 3, 4}) ExpectWritten(images[s - 1], data, "slot" + std::to_string(s));
    const json j = json::parse(r.out);
    EXPECT_EQ(Row(j, "slot2").at("result"), "failed") << r.out;
    EXPECT_LT(Row(j, "slot2").at("bytes").get<uint64_t>(), data.size()) << r.out;
    for (const char *s : {"slot1", "slot3", "slot4"}) EXPECT_EQ(Row(j, s).at("result"), "done") << s;
    EXPECT_NE(r.err.find("slot2"), std::string::npos) << r.err;
}

TEST(TvqcardManyCards, CardsOfAnotherSizeTakeTheSameImage)
{
    Fixture f;
    f.bus.AddUnit("u");
    std::vector<std::string> images;
    for (int s = 1; s <= 3; ++s) images.push_back(f.bus.InsertBlank("u", s, 4 * kMiB));
    images.push_back(f.bus.InsertBlank("u", 4, 8 * kMiB));
    const auto data = Pattern(4 * kMiB - 1000, 24);
    const std::string src = f.File("src.img", data);
    std::vector<std::string> args{"write", src, "all", "--verify"};
    Result r = f.Run(args);
    EXPECT_RUN(r, 0, args);
    for (int s = 1; s <= 4; ++s) ExpectWritten(images[s - 1], data, "slot" + std::to_string(s));

    // An image that fits only the larger card is refused before a byte is written anywhere.
    const auto big = Pattern(6 * kMiB, 25);
    args = {"write", f.File("big.img", big), "1", "2", "3", "4"};
    r = f.Run(args);
    EXPECT_RUN(r, 2, args);
    EXPECT_NE(r.err.find("does not fit on the card in slot1"), std::string::npos) << r.err;
    for (int s = 1; s <= 4; ++s) ExpectWritten(images[s - 1], data, "slot" + std::to_string(s));
}

}  // namespace

namespace {

// A card holding bytes, copied into the slot; the card is exactly as large.
std::string Card(Fixture &f, int slot, const std::vector<uint8_t> &bytes)
{
    return f.bus.InsertImage("u", slot, f.File("card" + std::to_string(slot) + ".img", bytes));
}

// A card of cardBytes beginning with data, blank beyond it, the byte at flip (when given) changed.
std::vector<uint8_t> Holding(const std::vector<uint8_t> &data, size_t cardBytes, size_t flip = SIZE_MAX)
{
    std::vector<uint8_t> card(cardBytes, 0);
    std::copy(data.begin(), data.end(), card.begin());
    if (flip != SIZE_MAX) card[flip] ^= 0x5A;
    return card;
}

TEST(TvqcardManyCards, CompareOnFourCardsAtOnce)
{
    Fixture f;
    f.bus.AddUnit("u");
    // Longer than the pieces a card's queue holds, ending in a partial sector.
    const auto data = Pattern(9 * kMiB + 300, 31);
    Card(f, 1, Holding(data, 12 * kMiB));
    // Differs in the image's last (partial) sector only.
    const uint64_t at = data.size() - 7;
    const auto other = Holding(data, 12 * kMiB, at);
    Card(f, 2, other);
    Card(f, 3, Holding(data, 12 * kMiB));
    // Smaller than the image, and holding its first bytes.
    Card(f, 4, std::vector<uint8_t>(data.begin(), data.begin() + 6 * kMiB));
    const std::string src = f.File("src.img", data);

    const uint32_t id = f.bus.SetFault("u", "slot=3 op=read lba=12000-12000 effect=sense:03/11/00");
    std::vector<std::string> args{"--retries", "0", "--json", "compare", "1", "2", "3", "4", src};
    Result r = f.Run(args);
    EXPECT_RUN(r, 2, args);
    EXPECT_GT(f.bus.FireCount("u", id), 0u);
    json j = json::parse(r.out);
    EXPECT_EQ(j.at("command"), "compare");
    EXPECT_EQ(j.at("result"), "failed");
    ASSERT_EQ(j.at("slots").size(), 4u) << r.out;
    EXPECT_EQ(Row(j, "slot1").at("result"), "done") << r.out;
    EXPECT_EQ(Row(j, "slot1").at("bytes"), data.size());
    EXPECT_FALSE(Row(j, "slot1").contains("firstDifference"));
    const json d = Row(j, "slot2");
    EXPECT_EQ(d.at("result"), "different") << r.out;
    EXPECT_EQ(d.at("firstDifference").at("address"), at);
    EXPECT_EQ(d.at("firstDifference").at("sector"), at / 512);
    EXPECT_EQ(d.at("firstDifference").at("card"), other[at]);
    EXPECT_EQ(d.at("firstDifference").at("file"), data[at]);
    EXPECT_EQ(Row(j, "slot3").at("result"), "failed") << r.out;
    EXPECT_EQ(Row(j, "slot3").at("failedSector"), 12000);
    EXPECT_EQ(Row(j, "slot3").at("bytes"), 12000u * 512);
    EXPECT_EQ(Row(j, "slot4").at("result"), "failed") << r.out;
    EXPECT_EQ(Row(j, "slot4").at("bytes"), 6 * kMiB);
    EXPECT_NE(Row(j, "slot4").at("message").get<std::string>().find(
                  "the card in slot4 ends before " + src + ": " + std::to_string(data.size() - 6 * kMiB) + " bytes"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.err.find("reading the card in slot3 failed at sector 12000"), std::string::npos) << r.err;

    // No card in trouble: the one that differs makes it 1, and says where as one card's compare does.
    f.bus.ClearFaults("u");
    args = {"compare", "3", "2", "1", src};
    r = f.Run(args);
    EXPECT_RUN(r, 1, args);
    char line[96];
    std::snprintf(line, sizeof line, "slot2: <Address %08llX (Sector No# = %llX)>  Card : %02X  File : %02X\n",
                  static_cast<unsigned long long>(at), static_cast<unsigned long long>(at / 512), other[at], data[at]);
    EXPECT_EQ(r.out, line);
    EXPECT_EQ(r.err, "");
    args = {"--json", "compare", "1", "3", src};
    r = f.Run(args);
    EXPECT_RUN(r, 0, args);
    EXPECT_EQ(json::parse(r.out).at("result"), "done");

    // One slot stays as it was: every difference listed, no table.
    args = {"compare", "2", src};
    r = f.Run(args);
    EXPECT_RUN(r, 1, args);
    EXPECT_EQ(r.out, std::string(line).substr(7));
    EXPECT_EQ(r.err.find("SLOT"), std::string::npos) << r.err;

    // What several slots cannot do is said, not passed over.
    for (const std::vector<std::string> &bad : std::vector<std::vector<std::string>>{
             {"compare", "1", "vd", src}, {"compare", "1", "2", src, "--max-diffs", "5"}}) {
        r = f.Run(bad);
        EXPECT_RUN(r, 2, bad);
        EXPECT_NE(r.err.find("works on one slot at a time"), std::string::npos) << r.err;
    }
}

TEST(TvqcardManyCards, CompressedImageComparedWithSeveralCards)
{
    Fixture f;
    f.bus.AddUnit("u");
    const auto data = Pattern(5 * kMiB + 1000, 32);
    Card(f, 1, Holding(data, 6 * kMiB));
    const uint64_t at = 3 * kMiB + 5;
    Card(f, 2, Holding(data, 6 * kMiB, at));
    Card(f, 3, std::vector<uint8_t>(data.begin(), data.begin() + 4 * kMiB));
    const std::string src = f.File("src.img", data);
    // zstd states the image's length, bzip2 does not: the card too small is found either way.
    for (const std::string tool : {"zstd -q", "bzip2"}) {
        const std::string packed = f.Path("src.packed");
        ASSERT_EQ(std::system((tool + " -c '" + src + "' > '" + packed + "'").c_str()), 0);
        std::vector<std::string> args{"--json", "compare", "all", packed};
        Result r = f.Run(args);
        EXPECT_RUN(r, 2, args);
        const json j = json::parse(r.out);
        EXPECT_EQ(Row(j, "slot1").at("result"), "done") << tool << r.out;
        EXPECT_EQ(Row(j, "slot1").at("bytes"), data.size()) << tool;
        EXPECT_EQ(Row(j, "slot2").at("result"), "different") << tool << r.out;
        EXPECT_EQ(Row(j, "slot2").at("firstDifference").at("address"), at) << tool;
        EXPECT_EQ(Row(j, "slot3").at("result"), "failed") << tool << r.out;
        EXPECT_NE(r.err.find(std::to_string(data.size() - 4 * kMiB) + " bytes of the file are past its last sector"),
                  std::string::npos)
            << tool << r.err;
        args = {"compare", "1", "2", packed};
        r = f.Run(args);
        EXPECT_RUN(r, 1, args);
    }

    // A truncated stream is trouble for every card, never an equal one.
    const std::string gz = f.Path("src.img.gz");
    ASSERT_EQ(std::system(("gzip -c '" + src + "' | head -c 300000 > '" + gz + "'").c_str()), 0);
    std::vector<std::string> args{"--json", "compare", "1", "2", gz};
    Result r = f.Run(args);
    EXPECT_RUN(r, 2, args);
    const json j = json::parse(r.out);
    EXPECT_EQ(j.at("result"), "failed");
    EXPECT_EQ(Row(j, "slot1").at("result"), "failed") << r.out;
}

TEST(TvqcardManyCards, ACardPulledOrChangedMidCompareStopsOnlyItself)
{
    Fixture f;
    f.bus.AddUnit("u");
    const auto data = Pattern(12 * kMiB, 33);
    for (int s = 1; s <= 4; ++s) Card(f, s, data);
    const std::string src = f.File("src.img", data);
    f.bus.Throttle("u", 24 * kMiB);  // 2 s for the four cards
    // Slot1 answers as a card changed behind the run's back would.
    const uint32_t id = f.bus.SetFault("u", "slot=1 op=read lba=5000-5000 effect=sense:06/28/00");
    ToolRun t(f.bus.ScratchDir());
    ASSERT_TRUE(t.Start({"--json", "compare", "all", src}));
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    f.bus.Pull("u", 3);
    Result r = t.Wait();
    EXPECT_EQ(r.rc, 2) << r.err;
    const json j = json::parse(r.out);
    EXPECT_EQ(Row(j, "slot3").at("result"), "failed") << r.out;
    EXPECT_LT(Row(j, "slot3").at("bytes").get<uint64_t>(), data.size()) << r.out;
    EXPECT_GT(f.bus.FireCount("u", id), 0u);
    EXPECT_EQ(Row(j, "slot1").at("result"), "failed") << r.out;
    // Not a medium error: the block that met it fails whole, nothing of it counted.
    const uint64_t at = Row(j, "slot1").at("failedSector");
    EXPECT_LE(at, 5000u);
    EXPECT_EQ(Row(j, "slot1").at("bytes"), at * 512);
    EXPECT_EQ(Row(j, "slot1").at("cause"), "the card was changed (06/28/00)");
    for (const char *s : {"slot2", "slot4"}) {
        EXPECT_EQ(Row(j, s).at("result"), "done") << s << r.out;
        EXPECT_EQ(Row(j, s).at("bytes"), data.size()) << s;
    }
    EXPECT_NE(r.err.find("slot3"), std::string::npos) << r.err;
}

}  // namespace
