// tvqcard through the real library on virtual units: every command on both
// models with the VD first and last, whole-card round trips, the final
// partial sector, VD writes, verify against faulty writes, hashes against
// sha256sum, exit statuses, Ctrl+C, a slot in use by another process, and
// bad input refused with nothing written.
#include "CardFixture.h"
#include "qevcrdio.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>

using namespace tvqtest;

namespace {

// ---- every command on both models, VD first and last ----

struct Layout {
    Model model;
    uint32_t flags;
    const char *second;  // the label of slot number 2 on the unit
    const char *master;
};

class BothModels : public ::testing::TestWithParam<Layout> {};

TEST_P(BothModels, EveryCommand)
{
    const Layout l = GetParam();
    Fixture f;
    f.bus.AddUnit("u", l.model, l.flags);
    const std::string img1 = f.bus.InsertBlank("u", 1, 4 * kMiB);
    const std::string img2 = f.bus.InsertBlank("u", 2, 4 * kMiB);
    const std::string img3 = f.bus.InsertBlank("u", 3, 4 * kMiB);
    const auto data = Pattern(4 * kMiB, 1);
    const std::string src = f.File("src.img", data);

    Result r = f.Run({"list", "--json"});
    EXPECT_RUN(r, 0, {"list"});
    EXPECT_NE(r.out.find(l.model == Model::Tvq206 ? "\"TVQ-206\"" : "\"TVQ-210CF\""), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(l.flags & 0x200 ? "\"vd\": \"last\"" : "\"vd\": \"first\""), std::string::npos) << r.out;
    r = f.Run({"list"});
    EXPECT_RUN(r, 0, {"list"});
    EXPECT_NE(r.out.find("\n" + std::string(l.master) + " "), std::string::npos) << r.out;

    // The slot labelled `second` on the unit is slot number 2: its image, and no other, changes.
    std::vector<std::string> args{"write", src, l.second, "--verify"};
    r = f.Run(args);
    EXPECT_RUN(r, 0, args);
    EXPECT_EQ(Whole(img2), data);
    EXPECT_EQ(Whole(img1), std::vector<uint8_t>(4 * kMiB, 0));
    EXPECT_EQ(Whole(img3), std::vector<uint8_t>(4 * kMiB, 0));

    args = {"read", l.second, f.Path("back.img")};
    r = f.Run(args);
    EXPECT_RUN(r, 0, args);
    EXPECT_EQ(Whole(f.Path("back.img")), data);
    args = {"compare", l.second, src};
    EXPECT_RUN(f.Run(args), 0, args);
    args = {"compare", l.master, src, "--max-diffs", "1"};
    EXPECT_RUN(f.Run(args), 1, args);
    args = {"hash", l.second, l.master};
    r = f.Run(args);
    EXPECT_RUN(r, 0, args);
    const std::string secondName = l.model == Model::Tvq206 ? "slot1" : "slot2";
    const std::string masterName = l.model == Model::Tvq206 ? "master" : "slot1";
    EXPECT_EQ(r.out, Sha256sum(src) + "  " + secondName + "\n" + Sha256sum(img1) + "  " + masterName + "\n");

    // The VD: one write reaches every card; a read comes from the master card it mirrors.
    const auto vdData = Pattern(3 * kMiB + 100, 2);
    const std::string vdSrc = f.File("vd.img", vdData);
    args = {"write", vdSrc, "vd", "--verify"};
    EXPECT_RUN(f.Run(args), 0, args);
    for (const std::string &img : {img1, img2, img3})
        EXPECT_EQ(VirtualBus::ReadFile(img, 0, vdData.size()), vdData) << img;
    args = {"read", "vd", f.Path("vd-back.img"), "--count", "6145"};
    EXPECT_RUN(f.Run(args), 0, args);
    EXPECT_EQ(VirtualBus::ReadFile(f.Path("vd-back.img"), 0, vdData.size()), vdData);
    args = {"compare", "vd", vdSrc};
    EXPECT_RUN(f.Run(args), 0, args);
    args = {"hash", "vd", "--count", "0x1800"};
    r = f.Run(args);
    EXPECT_RUN(r, 0, args);
    EXPECT_EQ(r.out, Sha256sum(f.File("vd-part.img", std::vector<uint8_t>(vdData.begin(), vdData.begin() + 3 * kMiB))) +
                         "  vd\n");

    // Format needs --yes; then the card holds a FAT boot sector. Eject takes the card out.
    args = {"format", l.second};
    EXPECT_RUN(f.Run(args), 2, args);
    EXPECT_EQ(VirtualBus::ReadFile(img2, 510, 2), (std::vector<uint8_t>{vdData[510], vdData[511]}));
    args = {"format", l.second, "--yes"};
    EXPECT_RUN(f.Run(args), 0, args);
    EXPECT_EQ(VirtualBus::ReadFile(img2, 510, 2), (std::vector<uint8_t>{0x55, 0xAA}));
    args = {"eject", l.second};
    EXPECT_RUN(f.Run(args), 0, args);
    EXPECT_FALSE(f.bus.Bus().HasCard("u", 2));
    EXPECT_TRUE(f.bus.Bus().HasCard("u", 1));
    args = {"read", l.second, f.Path("none.img")};
    r = f.Run(args);
    EXPECT_RUN(r, 2, args);
    EXPECT_NE(r.err.find("no card in " + secondName), std::string::npos) << r.err;
    EXPECT_FALSE(std::ifstream(f.Path("none.img")).good());
}

INSTANTIATE_TEST_SUITE_P(Tvq, BothModels,
                         ::testing::Values(Layout{Model::Tvq210, 0x0001, "2", "1"},
                                           Layout{Model::Tvq210, 0x0201, "2", "1"},
                                           Layout{Model::Tvq206, 0x0001, "1", "M"},
                                           Layout{Model::Tvq206, 0x0601, "1", "M"}));

// ---- whole cards ----

TEST(Tvqcard, WholeCardRoundTripAndThePartialFinalSector)
{
    Fixture f;
    f.bus.AddUnit("u");
    const std::string img1 = f.bus.InsertBlank("u", 1, 64 * kMiB);
    const auto data = Pattern(64 * kMiB, 3);
    const std::string src = f.File("card.img", data);
    std::vector<std::string> args{"write", src, "1", "--sha256"};
    Result r = f.Run(args);
    EXPECT_RUN(r, 0, args);
    EXPECT_EQ(r.out, Sha256sum(src) + "  " + src + "\n");
    args = {"read", "1", f.Path("back.img"), "--sha256"};
    r = f.Run(args);
    EXPECT_RUN(r, 0, args);
    EXPECT_EQ(r.out, Sha256sum(src) + "  " + f.Path("back.img") + "\n");
    EXPECT_TRUE(Whole(f.Path("back.img")) == data);
    args = {"compare", "1", f.Path("back.img")};
    EXPECT_RUN(f.Run(args), 0, args);

    // 1000 bytes from sector 5: sector 5 whole, sector 6 up to byte 487; the rest keeps the card's bytes.
    const auto small = Pattern(1000, 4);
    const std::string tail = f.File("tail.img", small);
    args = {"write", tail, "1", "--start", "0x5", "--verify"};
    EXPECT_RUN(f.Run(args), 0, args);
    auto s = Sectors(img1, 4, 4);
    EXPECT_TRUE(Same(s.data(), data.data() + 4 * 512, 512));
    EXPECT_TRUE(Same(s.data() + 512, small.data(), 1000));
    EXPECT_TRUE(Same(s.data() + 1512, data.data() + 6 * 512 + 488, 24 + 512));
    args = {"compare", "1", tail, "--start", "5"};
    EXPECT_RUN(f.Run(args), 0, args);
    // A file of less than one sector, compared where the card differs after its end: equal.
    args = {"compare", "1", f.File("short.img", std::vector<uint8_t>(small.begin() + 512, small.end())), "--start", "6"};
    EXPECT_RUN(f.Run(args), 0, args);

    // Reading the last sector alone, and a range given in hexadecimal.
    args = {"read", "1", f.Path("last.img"), "--start", "131071"};
    EXPECT_RUN(f.Run(args), 0, args);
    EXPECT_EQ(Whole(f.Path("last.img")), Sectors(img1, 131071, 1));
    args = {"hash", "1", "--start", "0x10", "--count", "0x81"};
    r = f.Run(args);
    EXPECT_RUN(r, 0, args);
    EXPECT_EQ(r.out, Sha256sum(f.File("part.img", Sectors(img1, 16, 129))) + "  slot1\n");

    // Its lines check the card again, as sha256sum -c checks files.
    const std::string sums = f.File("sums", std::vector<uint8_t>(r.out.begin(), r.out.end()));
    args = {"hash", "--check", sums, "--start", "0x10", "--count", "0x81"};
    r = f.Run(args);
    EXPECT_RUN(r, 0, args);
    EXPECT_EQ(r.out, "slot1: OK\n");
    args = {"hash", "--check", sums, "--count", "0x81"};
    r = f.Run(args);
    EXPECT_RUN(r, 1, args);
    EXPECT_EQ(r.out, "slot1: FAILED\n");
    args = {"hash", "--check", src};
    EXPECT_RUN(f.Run(args), 2, args);
}

TEST(Tvqcard, VdWriteToTenCardsAndItsRefusals)
{
    Fixture f;
    f.bus.AddUnit("u", Model::Tvq210, 0x0201);
    std::vector<std::string> images;
    for (int s = 1; s <= 10; ++s) images.push_back(f.bus.InsertBlank("u", s, 2 * kMiB));
    const auto data = Pattern(2 * kMiB - 300, 5);
    const std::string src = f.File("src.img", data);
    std::vector<std::string> args{"write", src, "vd", "--verify", "--json"};
    Result r = f.Run(args);
    EXPECT_RUN(r, 0, args);
    EXPECT_NE(r.out.find("\"result\": \"done\""), std::string::npos) << r.out;
    for (const auto &img : images) EXPECT_EQ(VirtualBus::ReadFile(img, 0, data.size()), data) << img;

    // One card of another size: no VD write, nothing written anywhere.
    f.bus.Pull("u", 7);
    const std::string other = f.bus.InsertBlank("u", 7, 4 * kMiB);
    const std::string src2 = f.File("src2.img", Pattern(4096, 6));
    args = {"write", src2, "vd"};
    r = f.Run(args);
    EXPECT_RUN(r, 2, args);
    EXPECT_NE(r.err.find("slot7"), std::string::npos) << r.err;
    for (const auto &img : images) EXPECT_EQ(VirtualBus::ReadFile(img, 0, data.size()), data) << img;
    EXPECT_EQ(VirtualBus::ReadFile(other, 0, 4096), std::vector<uint8_t>(4096, 0));

    // "all" writes each card in turn, whatever its parameters.
    args = {"write", src2, "all", "--verify"};
    EXPECT_RUN(f.Run(args), 0, args);
    EXPECT_EQ(VirtualBus::ReadFile(other, 0, 4096), Pattern(4096, 6));
    EXPECT_EQ(VirtualBus::ReadFile(images[9], 0, 4096), Pattern(4096, 6));
}

TEST(Tvqcard, VerifyCatchesDroppedAndCorruptedWrites)
{
    Fixture f;
    f.bus.AddUnit("u");
    for (int s = 1; s <= 3; ++s) f.bus.InsertBlank("u", s, 2 * kMiB);
    const std::string src = f.File("src.img", Pattern(2 * kMiB, 7));

    // Dropped: the library says done, the card keeps its old sectors 2100-2199.
    uint32_t id = f.bus.SetFault("u", "slot=2 op=write lba=2100-2199 effect=drop");
    std::vector<std::string> args{"write", src, "2", "--verify"};
    Result r = f.Run(args);
    EXPECT_RUN(r, 1, args);
    EXPECT_GT(f.bus.FireCount("u", id), 0u);
    EXPECT_NE(r.err.find("verify failed: slot2"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("sector 2048"), std::string::npos) << r.err;  // the block of 2048 from 2048 was dropped
    // Without --verify the same write claims success: only the read-back sees it.
    args = {"write", src, "2"};
    EXPECT_RUN(f.Run(args), 0, args);
    f.bus.ClearFaults("u");

    // Corrupted: byte 17 of each sector from 1000 on.
    f.bus.SetFault("u", "slot=3 op=write lba=1000-1000 effect=corrupt:17");
    args = {"write", src, "3", "--verify", "--json"};
    r = f.Run(args);
    EXPECT_RUN(r, 1, args);
    EXPECT_NE(r.out.find("\"sector\": 1000"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"address\": " + std::to_string(1000 * 512 + 17)), std::string::npos) << r.out;
    f.bus.ClearFaults("u");

    // Through the VD: one card drops its copy; verify reads every card and names it.
    f.bus.SetFault("u", "slot=3 op=write lba=5 effect=drop");
    args = {"write", f.File("vd.img", Pattern(kMiB, 15)), "vd", "--verify"};
    r = f.Run(args);
    EXPECT_RUN(r, 1, args);
    EXPECT_NE(r.err.find("verify failed: slot3"), std::string::npos) << r.err;
}

TEST(Tvqcard, ExitStatusesRetriesAndTheDifferenceFormat)
{
    Fixture f;
    f.bus.AddUnit("u");
    const std::string img = f.bus.InsertBlank("u", 1, kMiB);
    auto data = Pattern(kMiB, 8);
    f.bus.Bus().Pull("u", 1);
    const std::string src = f.File("src.img", data);
    f.bus.InsertImage("u", 1, src);
    data[0x10 * 512 + 3] ^= 0x5A;
    data[0x10 * 512 + 4] ^= 0x01;
    data[0] ^= 0xFF;
    const std::string changed = f.File("changed.img", data);

    std::vector<std::string> args{"compare", "1", changed};
    Result r = f.Run(args);
    EXPECT_RUN(r, 1, args);
    const auto card = Pattern(kMiB, 8);
    char want[256];
    std::snprintf(want, sizeof want,
                  "<Address 00000000 (Sector No# = 0)>  Card : %02X  File : %02X\n"
                  "<Address 00002003 (Sector No# = 10)>  Card : %02X  File : %02X\n"
                  "<Address 00002004 (Sector No# = 10)>  Card : %02X  File : %02X\n",
                  card[0], data[0], card[0x2003], data[0x2003], card[0x2004], data[0x2004]);
    EXPECT_EQ(r.out, want);
    args = {"compare", "1", changed, "--max-diffs", "2"};
    r = f.Run(args);
    EXPECT_RUN(r, 1, args);
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 2) << r.out;
    // A file longer than the card: cmp's "EOF" is a difference.
    auto longer = Pattern(kMiB, 8);
    longer.push_back(1);
    args = {"compare", "1", f.File("longer.img", longer)};
    r = f.Run(args);
    EXPECT_RUN(r, 1, args);
    EXPECT_NE(r.err.find("1 bytes of the file are past"), std::string::npos) << r.err;

    // Two failures in a row are tried again (3 retries by default); with none allowed, the run stops at the LBA.
    uint32_t id = f.bus.SetFault("u", "slot=1 op=read lba=700 count=next:2 effect=readerror");
    args = {"hash", "1"};
    r = f.Run(args);
    EXPECT_RUN(r, 0, args);
    EXPECT_EQ(f.bus.FireCount("u", id), 2u);
    EXPECT_EQ(r.out, Sha256sum(src) + "  slot1\n");
    // A bad sector is narrowed down inside its block: the good sectors before it are moved, and it is named.
    f.bus.ClearFaults("u");
    id = f.bus.SetFault("u", "slot=1 op=read lba=700 effect=readerror");
    args = {"--retries", "0", "read", "1", f.Path("out.img")};
    r = f.Run(args);
    EXPECT_RUN(r, 2, args);
    EXPECT_NE(r.err.find("reading the card in slot1 failed at sector 700 (after 1 tries): medium error: "
                         "unrecovered read error (03/11/00)"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(Whole(f.Path("out.img")), Sectors(src, 0, 700)) << "the sectors before stay in the file";
    EXPECT_EQ(f.bus.FireCount("u", id), 2u) << "the block, then the sector alone";
    f.bus.ClearFaults("u");
    const std::string card1 = f.bus.CardImage("u", 1);
    auto before = Whole(card1);
    id = f.bus.SetFault("u", "slot=1 op=write lba=1000 effect=writeerror");
    args = {"write", changed, "1", "--json"};
    r = f.Run(args);
    EXPECT_RUN(r, 2, args);
    EXPECT_NE(r.err.find("writing the card in slot1 failed at sector 1000 (after 4 tries): medium error: write error "
                         "(03/0C/00)"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.out.find("\"failedSector\": 1000"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"sense\": \"03/0C/00\""), std::string::npos) << r.out;
    EXPECT_EQ(f.bus.FireCount("u", id), 5u) << "the block, then the sector alone 4 times";
    auto after = Whole(card1);
    EXPECT_TRUE(Same(after.data(), data.data(), 1000 * 512)) << "sectors 896-999 were written";
    EXPECT_TRUE(Same(after.data() + 1000 * 512, before.data() + 1000 * 512, after.size() - 1000 * 512));
    f.bus.ClearFaults("u");

    // No unit at all.
    f.bus.Unplug("u");
    args = {"list"};
    r = f.Run(args);
    EXPECT_RUN(r, 2, args);
    EXPECT_NE(r.err.find("no TVQ-206 or TVQ-210CF unit found"), std::string::npos) << r.err;
    args = {"--help"};
    r = f.Run(args);
    EXPECT_RUN(r, 0, args);
    EXPECT_NE(r.out.find("Exit status"), std::string::npos);
    args = {"frobnicate"};
    EXPECT_RUN(f.Run(args), 2, args);
}

// ---- Ctrl+C ----

TEST(Tvqcard, CtrlCStopsAWriteAfterItsBlockWithTheCardHoldingExactlyTheBlocksDone)
{
    Fixture f;
    f.bus.AddUnit("u");
    const std::string img = f.bus.InsertBlank("u", 2, 16 * kMiB);
    const auto data = Pattern(16 * kMiB, 9);
    const std::string src = f.File("src.img", data);
    f.bus.Throttle("u", 8 * kMiB);  // 2 s for the whole card
    ToolRun t(f.bus.ScratchDir());
    ASSERT_TRUE(t.Start({"write", src, "2"}));
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    ASSERT_EQ(::kill(t.Pid(), SIGINT), 0);
    Result r = t.Wait();
    EXPECT_EQ(r.rc, 130) << r.err;
    unsigned long done = 0, total = 0;
    const auto at = r.err.find("interrupted: ");
    ASSERT_NE(at, std::string::npos) << r.err;
    ASSERT_EQ(std::sscanf(r.err.c_str() + at, "interrupted: %lu of %lu sectors done", &done, &total), 2) << r.err;
    EXPECT_EQ(total, 32768u);
    EXPECT_GT(done, 0u);
    EXPECT_LT(done, total);
    EXPECT_EQ(done % 128, 0u);
    const auto card = Whole(img);
    EXPECT_TRUE(Same(card.data(), data.data(), done * 512));
    EXPECT_TRUE(Same(card.data() + done * 512, std::vector<uint8_t>(card.size() - done * 512, 0).data(),
                     card.size() - done * 512))
        << "nothing after the blocks reported";
}

// ---- another process on the unit ----

TEST(Tvqcard, TwoProcessesMeetingOneFaultRuleLoseNoHit)
{
    // Each READ(10) of either process is one hit of the shared rule, however they interleave.
    Fixture f;
    f.bus.AddUnit("u");
    f.bus.InsertBlank("u", 1, 16 * kMiB);
    f.bus.InsertBlank("u", 2, 16 * kMiB);
    const uint32_t id = f.bus.SetFault("u", "op=read effect=delay:0");
    for (int round = 0; round < 3; ++round) {
        ToolRun a(f.bus.ScratchDir()), b(f.bus.ScratchDir());
        ASSERT_TRUE(a.Start({"hash", "1"}));
        ASSERT_TRUE(b.Start({"hash", "2"}));
        Result ra = a.Wait(), rb = b.Wait();
        ASSERT_EQ(ra.rc, 0) << ra.err;
        ASSERT_EQ(rb.rc, 0) << rb.err;
    }
    // 16 MiB is 16 calls of 2048 sectors, per card and round.
    EXPECT_EQ(f.bus.FireCount("u", id), 3u * 2u * 16u);
}

TEST(Tvqcard, ASlotInUseByAnotherProcessIsRefusedWithItsHolder)
{
    Fixture f;
    f.bus.AddUnit("u");
    const std::string img2 = f.bus.InsertBlank("u", 2, 8 * kMiB);
    const std::string img3 = f.bus.InsertBlank("u", 3, 8 * kMiB);
    const std::string src = f.File("src.img", Pattern(8 * kMiB, 10));
    f.bus.Throttle("u", 4 * kMiB);

    // A second tvqcard on the slot a first one writes is refused; another slot can be used meanwhile.
    ToolRun first(f.bus.ScratchDir());
    ASSERT_TRUE(first.Start({"write", src, "2"}));
    Result r;
    const std::string holds = "tvqcard (" + std::to_string(first.Pid()) + ")";
    for (int i = 0; i < 200; ++i) {
        r = f.Run({"list"});
        if (r.out.find(holds) != std::string::npos) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_NE(r.out.find("2     yes"), std::string::npos) << r.out;
    const size_t row = r.out.find("2     yes");
    EXPECT_EQ(r.out.find(holds), r.out.find('\n', row) - holds.size()) << "slot 2's row names the holder\n" << r.out;
    r = f.Run({"read", "2", f.Path("x.img"), "--count", "1"});
    EXPECT_EQ(r.rc, 2) << r.err;
    EXPECT_NE(r.err.find("slot2 is in use by another program: tvqcard (process " + std::to_string(first.Pid()) + ")"),
              std::string::npos)
        << r.err;
    std::vector<std::string> args{"write", f.File("one.img", Pattern(512, 11)), "3"};
    EXPECT_RUN(f.Run(args), 0, args);
    args = {"write", src, "vd"};
    r = f.Run(args);
    EXPECT_RUN(r, 2, args);
    EXPECT_NE(r.err.find("in use by another program"), std::string::npos);
    ::kill(first.Pid(), SIGINT);
    EXPECT_EQ(first.Wait().rc, 130);

    // A program that locks every target as the desktop program does: each slot is refused, nothing written.
    int ready[2], done[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(done), 0);
    pid_t holder = ::fork();
    if (holder == 0) {
        QevSlotRecord t[QEV_MAX_TARGETS];
        int n = QevScScanEx([](const uint8_t *) -> int32_t { return -1; }, "TVQ-MTX", t);
        for (int i = 0; i < n; ++i) QevScLock(static_cast<uint32_t>(i));
        char c = 'r';
        if (::write(ready[1], &c, 1) != 1) ::_exit(1);
        if (::read(done[0], &c, 1) < 0) ::_exit(1);
        ::_exit(0);
    }
    char c;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    const auto before = Whole(img3);
    args = {"write", src, "3"};
    r = f.Run(args);
    EXPECT_RUN(r, 2, args);
    EXPECT_NE(r.err.find("slot3 is in use by another program: "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("(process " + std::to_string(holder) + ")"), std::string::npos) << r.err;
    EXPECT_EQ(Whole(img3), before);
    args = {"read", "2", f.Path("y.img")};
    EXPECT_RUN(f.Run(args), 2, args);
    EXPECT_FALSE(std::ifstream(f.Path("y.img")).good()) << "no file made for a refused read";
    ASSERT_EQ(::write(done[1], "q", 1), 1);
    ::waitpid(holder, nullptr, 0);
    // The holder has ended: its locks are gone with it.
    args = {"--retries", "0", "read", "2", f.Path("y.img"), "--count", "1"};
    EXPECT_RUN(f.Run(args), 0, args);
}

#ifdef TVQCRDUT_PATH
TEST(Tvqcard, TheRunningDesktopProgramHoldsEverySlot)
{
    Fixture f;
    f.bus.AddUnit("u");
    const std::string img = f.bus.InsertBlank("u", 1, kMiB);
    // Its own runtime and settings folders, so that no other copy of the program is in the way.
    const std::string home = f.bus.ScratchDir() + "/home";
    ASSERT_EQ(::mkdir(home.c_str(), 0700), 0);
    std::vector<std::string> envs;
    for (char **e = environ; *e; ++e) envs.push_back(*e);
    for (const char *kv : {"QT_QPA_PLATFORM=offscreen"}) envs.push_back(kv);
    envs.push_back("XDG_RUNTIME_DIR=" + home);
    envs.push_back("XDG_CONFIG_HOME=" + home);
    envs.push_back("HOME=" + home);
    std::vector<char *> cenv;
    for (auto &e : envs) cenv.push_back(const_cast<char *>(e.c_str()));
    cenv.push_back(nullptr);
    char *argv[] = {const_cast<char *>(TVQCRDUT_PATH), nullptr};
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    pid_t program = -1;
    ASSERT_EQ(posix_spawn(&program, TVQCRDUT_PATH, &fa, nullptr, argv, cenv.data()), 0);
    posix_spawn_file_actions_destroy(&fa);
    const std::string holds = "tvqcrdut (" + std::to_string(program) + ")";
    Result r;
    for (int i = 0; i < 300; ++i) {
        r = f.Run({"list"});
        if (r.out.find(holds) != std::string::npos) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_NE(r.out.find(holds), std::string::npos) << r.out;
    const auto before = Whole(img);
    std::vector<std::string> args{"write", f.File("one.img", Pattern(512, 16)), "1"};
    r = f.Run(args);
    EXPECT_RUN(r, 2, args);
    EXPECT_NE(r.err.find("slot1 is in use by another program: tvqcrdut (process " + std::to_string(program) + ")"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(Whole(img), before);
    ::kill(program, SIGKILL);
    ::waitpid(program, nullptr, 0);
    EXPECT_RUN(f.Run(args), 0, args);
}
#endif

// ---- bad input ----

TEST(Tvqcard, BadInputGetsAClearMessageANonZeroExitAndWritesNothing)
{
    Fixture f;
    f.bus.AddUnit("u");
    const std::string img = f.bus.InsertBlank("u", 1, kMiB);  // 2048 sectors
    const std::string src = f.File("src.img", Pattern(4096, 12));
    const std::string big = f.File("big.img", Pattern(kMiB + 1, 13));
    const std::string out = f.Path("out.img");
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{"read", "11", out}, "unknown slot '11': this TVQ-210CF has the slots 1,2,3,4,5,6,7,8,9,10, vd and all"},
        {{"read", "M2", out}, "unknown slot 'M2'"},
        {{"read", "all", out}, "unknown slot 'all'"},
        {{"read", "2", out}, "no card in slot2"},
        {{"read", "1", out, "--start", "2048"}, "start sector 2048 is beyond the card in slot1 (2048 sectors)"},
        {{"read", "1", out, "--start", "2000", "--count", "49"}, "sectors 2000 to 2048 go beyond the card in slot1"},
        {{"read", "1", out, "--count", "0"}, "the sector count must not be 0"},
        {{"read", "1", out, "--count", "12x"}, "bad --count '12x'"},
        {{"read", "1", out, "--start", "0x100000000"}, "bad --start '0x100000000'"},
        {{"read", "1", out, "--start", "-1"}, "bad --start '-1'"},
        {{"read", "1", f.Path("no/such/dir/out.img")}, "cannot open"},
        {{"write", f.Path("missing.img"), "1"}, "missing.img: no such file"},
        {{"write", f.bus.ScratchDir(), "1"}, "not a regular file"},
        {{"write", big, "1"}, "does not fit on the card in slot1 from sector 0"},
        {{"write", src, "1", "--start", "2045"}, "does not fit on the card in slot1 from sector 2045"},
        {{"write", src, "1", "1"}, "slot 1 is named more than once"},
        {{"compare", "1", f.Path("missing.img")}, "no such file"},
        {{"hash", "1", "--count", "2049"}, "go beyond the card"},
    };
    const auto before = Whole(img);
    for (const Case &c : cases) {
        Result r = f.Run(c.args);
        EXPECT_RUN(r, 2, c.args);
        EXPECT_NE(r.err.find(c.message), std::string::npos) << All(c.args) << "\nstderr: " << r.err;
        EXPECT_EQ(r.out, "") << All(c.args);
        EXPECT_FALSE(std::ifstream(out).good()) << All(c.args) << ": an output file was made";
        EXPECT_EQ(Whole(img), before) << All(c.args) << ": the card changed";
    }

    // A read-only image is not overwritten, even by root.
    const std::string kept = f.File("kept.img", Pattern(100, 14));
    ASSERT_EQ(::chmod(kept.c_str(), 0444), 0);
    std::vector<std::string> args{"read", "1", kept};
    Result r = f.Run(args);
    EXPECT_RUN(r, 2, args);
    EXPECT_NE(r.err.find("Permission denied"), std::string::npos) << r.err;
    EXPECT_EQ(Whole(kept), Pattern(100, 14));
    // A read-only source is fine to write from.
    args = {"write", kept, "1"};
    EXPECT_RUN(f.Run(args), 0, args);

    // A full disk.
    args = {"read", "1", "/dev/full"};
    r = f.Run(args);
    EXPECT_RUN(r, 2, args);
    EXPECT_NE(r.err.find("error writing /dev/full: No space left on device"), std::string::npos) << r.err;

    // In Japanese under a Japanese locale; LC_ALL wins over LANG.
    args = {"read", "11", out};
    r = f.Run(args, {{"LANG", "ja_JP.UTF-8"}, {"LC_ALL", ""}, {"LC_MESSAGES", ""}});
    EXPECT_RUN(r, 2, args);
    EXPECT_NE(r.err.find("不明なスロットです: '11'"), std::string::npos) << r.err;
    args = {"read", "1", out, "--count", "0"};
    r = f.Run(args, {{"LANG", "ja_JP.UTF-8"}, {"LC_ALL", ""}, {"LC_MESSAGES", ""}});
    EXPECT_NE(r.err.find("セクタ数を指定して下さい。"), std::string::npos) << r.err;
    r = f.Run(args, {{"LANG", "ja_JP.UTF-8"}, {"LC_ALL", "C"}});
    EXPECT_NE(r.err.find("the sector count must not be 0"), std::string::npos) << r.err;
}

}  // namespace
