// Each tvqunit command: what it does (seen through the library, from another
// process) and how it refuses bad input.
#include "RunTvqunit.h"
#include "VirtualBus.h"
#include "qevcrdio.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sys/wait.h>

using namespace tvqtest;
namespace fs = std::filesystem;

namespace {

struct Tool {
    VirtualBus bus;

    Result Run(const std::vector<std::string> &args, bool withBus = true) { return RunTvqunit(bus, args, withBus); }
    // Runs and expects success.
    std::string Ok(const std::vector<std::string> &args)
    {
        Result r = Run(args);
        EXPECT_EQ(r.rc, 0) << r.err;
        return r.out;
    }
    // Runs and expects a refusal whose message holds text.
    void Refused(const std::vector<std::string> &args, int rc, const std::string &text)
    {
        Result r = Run(args);
        std::string all;
        for (const auto &a : args) all += a + " ";
        EXPECT_EQ(r.rc, rc) << all << "\n" << r.out << r.err;
        EXPECT_NE(r.err.find(text), std::string::npos) << all << "\nstderr: " << r.err;
    }
};

int32_t AcceptAll(const uint8_t *)
{
    return -1;
}

int32_t Scan()
{
    QevSlotRecord t[QEV_MAX_TARGETS];
    return QevScScanEx(AcceptAll, "TVQ-MTX", t);
}

uint32_t Le32(const uint8_t *p)
{
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

TEST(Tvqunit, CreateSetAndShow)
{
    Tool t;
    EXPECT_NE(t.Ok({"create", "u1"}).find("created u1 (TVQ-210CF)"), std::string::npos);
    t.Ok({"create", "u2", "--model", "TVQ-206", "--vd", "last", "--trueide", "--bios", "2.05", "--card-if",
          "0x20100", "--product-code", "0x1234ABCD", "--product-name", "DEMO UNIT", "--vendor-text", "QEVRA"});
    ASSERT_EQ(Scan(), 11);
    // u1 comes first: 11 targets. Its firmware block by default:
    uint8_t blk[128];
    ASSERT_EQ(QevScReadBuffer(0, 2, 4, 0x1000, blk, 128), 0);
    EXPECT_EQ(0, std::memcmp(blk, "T210", 4));
    EXPECT_EQ(Le32(blk + 4), 0x20100u);

    t.Ok({"unplug", "u1"});
    ASSERT_EQ(Scan(), 7);
    ASSERT_EQ(QevScReadBuffer(0, 2, 4, 0x1000, blk, 128), 0);
    EXPECT_EQ(Le32(blk + 4), 0x20005u);
    EXPECT_EQ(Le32(blk + 8), 0x0601u);  // mode 1, VD last, TrueIDE
    EXPECT_EQ(Le32(blk + 12), 0x1234ABCDu);
    EXPECT_EQ(Le32(blk + 16), 0x20100u);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(blk + 40), 16), "DEMO UNIT       ");

    // set changes a field of a running unit; the library sees it at once.
    t.Ok({"set", "u2", "--no-signature", "--product-name", "CHANGED"});
    ASSERT_EQ(QevScReadBuffer(0, 2, 4, 0x1000, blk, 128), 0);
    EXPECT_EQ(Le32(blk), 0u);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(blk + 40), 7), "CHANGED");
    t.Ok({"set", "u2", "--vd", "first", "--pccard"});
    ASSERT_EQ(QevScReadBuffer(0, 2, 4, 0x1000, blk, 128), 0);
    EXPECT_EQ(Le32(blk + 8), 0x0001u);

    std::string show = t.Ok({"show", "u2"});
    EXPECT_NE(show.find("TVQ-206"), std::string::npos) << show;
    EXPECT_NE(show.find("signature none"), std::string::npos) << show;
    EXPECT_NE(show.find("BIOS 2.05"), std::string::npos) << show;
    EXPECT_NE(show.find("slot 6: empty"), std::string::npos) << show;
    EXPECT_EQ(show.find("slot 7"), std::string::npos) << show;

    std::string list = t.Ok({"list"});
    EXPECT_LT(list.find("u1"), list.find("u2")) << list;
    EXPECT_NE(list.find("unplugged"), std::string::npos) << list;

    t.Ok({"create", "other1", "--model", "other", "--vendor", "ACME", "--product", "FLASH", "--bridge",
          "USB-SATA", "--targets", "3"});
    QevSlotRecord tab[QEV_MAX_TARGETS];
    ASSERT_EQ(QevScScanEx(AcceptAll, "USB-SATA", tab), 3);
    uint8_t inq[36];
    ASSERT_EQ(QevScInquiry(0, 36, inq), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(inq + 8), 8), "ACME    ");
}

TEST(Tvqunit, CreateAndShowRefuseBadInput)
{
    Tool t;
    t.Ok({"create", "u1"});
    t.Refused({"create", "u1"}, 1, "already exists");
    t.Refused({"create", "../evil"}, 1, "bad unit name");
    t.Refused({"create", ".hidden"}, 1, "bad unit name");
    t.Refused({"create", "u2", "--model", "TVQ-999"}, 2, "TVQ-999");
    t.Refused({"create", "u2", "--bios", "two"}, 1, "bad BIOS version");
    t.Refused({"create", "u2", "--product-code", "0x1FFFFFFFF"}, 1, "bad product code");
    t.Refused({"create", "u2", "--targets", "99"}, 1, "bad target count");
    t.Refused({"create", "u2", "--product-name", "MUCH TOO LONG A NAME"}, 1, "longer than 16");
    t.Refused({"create", "u2", "--signature", "T210X"}, 1, "longer than 4");
    t.Refused({"create", "u2", "--signature", "T2", "--no-signature"}, 1, "exclude");
    t.Refused({"create", "u2", "--vd", "middle"}, 2, "middle");
    t.Refused({"create", "u2", "--frobnicate"}, 2, "frobnicate");
    EXPECT_FALSE(t.bus.Bus().HasUnit("u2"));  // no refused create left anything behind
    t.Refused({"show", "nope"}, 1, "unknown unit 'nope'");
    t.Refused({"plug", "nope"}, 1, "unknown unit 'nope'");
    t.Refused({}, 2, "");
    t.Refused({"dance"}, 2, "subcommand");

    // A malformed description is named as such, and list carries on past it.
    t.Ok({"create", "u3"});
    { std::ofstream(t.bus.Dir() + "/u1/unit.toml") << "[unit]\nmodel = \"TVQ-210CF\"\ntargets = \"many\"\n"; }
    t.Refused({"show", "u1"}, 1, "malformed description of unit 'u1'");
    t.Refused({"insert", "u1", "1", "--size", "1M"}, 1, "malformed description");
    std::string list = t.Ok({"list"});
    EXPECT_NE(list.find("malformed"), std::string::npos) << list;
    EXPECT_NE(list.find("u3\tTVQ-210CF"), std::string::npos) << list;
}

TEST(Tvqunit, InsertPullAndParams)
{
    Tool t;
    t.Ok({"create", "u"});
    t.Ok({"create", "z", "--model", "TVQ-206"});  // after u in bus order
    std::string out = t.Ok({"insert", "u", "1", "--size", "64M"});
    std::string blank = t.bus.CardImage("u", 1);
    EXPECT_NE(out.find(blank), std::string::npos);
    EXPECT_EQ(fs::file_size(blank), 64u << 20);

    auto src = std::vector<uint8_t>(8192);
    for (size_t i = 0; i < src.size(); ++i) src[i] = static_cast<uint8_t>(i * 13);
    std::string file = t.bus.WriteFile("card.img", src);
    t.Ok({"insert", "u", "2", "--image", file});
    t.Ok({"insert", "u", "3", "--image", file, "--in-place"});
    EXPECT_NE(fs::canonical(t.bus.CardImage("u", 2)), fs::canonical(file));
    EXPECT_EQ(fs::canonical(t.bus.CardImage("u", 3)), fs::canonical(file));
    EXPECT_EQ(VirtualBus::ReadFile(t.bus.CardImage("u", 2)), src);
    t.Ok({"insert", "u", "4", "--size", "32s", "--heads", "0", "--sector-size", "1024", "--access-timing", "0x3"});

    ASSERT_EQ(Scan(), 11);
    QevSlotRecord r;
    ASSERT_EQ(QevScGetDriveInfo(1, &r), 0);
    EXPECT_EQ(r.TotalSectors, 131072u);
    ASSERT_EQ(QevScGetDriveInfo(2, &r), 0);
    EXPECT_EQ(r.TotalSectors, 16u);
    ASSERT_EQ(QevScGetDriveInfo(4, &r), 0);
    EXPECT_EQ(r.Heads, 0u);
    EXPECT_EQ(r.SectorSize, 1024u);
    EXPECT_EQ(r.AccessTiming, 3u);
    EXPECT_EQ(r.TotalSectors, 32u);
    t.Ok({"params", "u", "4", "--heads", "2", "--sector-size", "512"});
    ASSERT_EQ(QevScGetDriveInfo(4, &r), 0);
    EXPECT_EQ(r.Heads, 2u);
    EXPECT_EQ(r.SectorSize, 512u);
    EXPECT_EQ(r.AccessTiming, 3u);

    // Pull keeps the image; the library sees the slot empty at once.
    out = t.Ok({"pull", "u", "1"});
    EXPECT_NE(out.find(blank), std::string::npos);
    EXPECT_TRUE(fs::exists(blank));
    EXPECT_EQ(QevScGetDriveInfo(1, &r), QEV_E_NO_MEDIUM);
    t.Ok({"pull", "u", "3"});
    EXPECT_EQ(VirtualBus::ReadFile(file), src);  // an image in place is never touched by pull
    // The pulled image can go back in.
    t.Ok({"insert", "u", "1", "--image", blank, "--in-place"});
    ASSERT_EQ(QevScGetDriveInfo(1, &r), 0);

    t.Refused({"insert", "u", "11", "--size", "1M"}, 1, "slot 11 does not exist");
    t.Refused({"insert", "u", "0", "--size", "1M"}, 1, "slot 0 does not exist");
    t.Refused({"insert", "z", "7", "--size", "1M"}, 1, "slot 7 does not exist");
    t.Refused({"insert", "u", "x", "--size", "1M"}, 1, "bad slot number");
    t.Refused({"insert", "u", "2", "--size", "1M"}, 1, "already holds a card");
    t.Refused({"insert", "nope", "2", "--size", "1M"}, 1, "unknown unit");
    t.Refused({"insert", "u", "5", "--size", "1000"}, 1, "not a positive multiple of 512");
    t.Refused({"insert", "u", "5", "--size", "0"}, 1, "not a positive multiple of 512");
    t.Refused({"insert", "u", "5", "--size", "12Q"}, 1, "bad size");
    t.Refused({"insert", "u", "5"}, 1, "either --size or --image");
    t.Refused({"insert", "u", "5", "--size", "1M", "--image", file}, 2, "excludes");
    t.Refused({"insert", "u", "5", "--size", "1M", "--in-place"}, 1, "--in-place goes with --image");
    t.Refused({"insert", "u", "5", "--image", t.bus.ScratchDir() + "/missing.img"}, 1, "no such image file");
    t.Refused({"insert", "u", "5", "--image", t.bus.ScratchDir()}, 1, "not a regular file");
    std::string odd = t.bus.WriteFile("odd.img", std::vector<uint8_t>(1000));
    t.Refused({"insert", "u", "5", "--image", odd}, 1, "not a multiple of 512");
    std::string empty = t.bus.WriteFile("empty.img", {});
    t.Refused({"insert", "u", "5", "--image", empty}, 1, "is empty");
    t.Refused({"insert", "u", "5", "--image", file, "--total-sectors", "17"}, 1, "the image holds 16");
    t.Refused({"insert", "u", "5", "--size", "1M", "--heads", "-1"}, 1, "bad heads");
    EXPECT_FALSE(t.bus.Bus().HasCard("u", 5));
    t.Refused({"pull", "u", "5"}, 1, "is empty");
    t.Refused({"pull", "u", "12"}, 1, "does not exist");
    t.Refused({"params", "u", "5", "--heads", "1"}, 1, "is empty");

    // Nothing above removed an image.
    for (const auto &p : {blank, file}) EXPECT_TRUE(fs::exists(p)) << p;
    size_t images = 0;
    for (const auto &e : fs::directory_iterator(t.bus.Dir() + "/u/cards")) images += e.path().extension() == ".img";
    EXPECT_EQ(images, 3u);  // slots 1, 2 and 4 got their own files
}

TEST(Tvqunit, FaultsAndThrottle)
{
    Tool t;
    t.Ok({"create", "u"});
    t.Ok({"insert", "u", "1", "--size", "1M"});
    std::string id = t.Ok({"fault", "set", "u", "slot=1", "op=read", "lba=0x10-0x1f", "count=next:2",
                           "effect=readerror"});
    ASSERT_EQ(id, "1\n");
    ASSERT_EQ(Scan(), 11);
    std::vector<uint8_t> buf(512);
    EXPECT_EQ(QevScRead10(1, 0x10, 1, buf.data(), 512), QEV_E_READ_ERROR);
    EXPECT_EQ(QevScRead10(1, 0x20, 1, buf.data(), 512), 0);
    std::string list = t.Ok({"fault", "list", "u"});
    EXPECT_NE(list.find("slot=1 op=read count=next:2 lba=0x10-0x1F effect=sense:03/11/00"), std::string::npos)
        << list;
    EXPECT_NE(list.find("fired 1"), std::string::npos) << list;
    EXPECT_NE(t.Ok({"show", "u"}).find("fault 1:"), std::string::npos);

    EXPECT_EQ(t.Ok({"fault", "set", "u", "op=slotstatus", "effect=notready"}), "2\n");
    QevSlotStatus st;
    EXPECT_EQ(QevScGetSlotStatus(0, &st), QEV_E_BECOMING_READY);
    t.Ok({"fault", "clear", "u", "2"});
    EXPECT_EQ(QevScGetSlotStatus(0, &st), 0);
    t.Refused({"fault", "clear", "u", "2"}, 1, "has no fault rule 2");
    t.Refused({"fault", "clear", "u"}, 1, "a rule id or --all");
    t.Ok({"fault", "clear", "u", "--all"});
    EXPECT_EQ(t.Ok({"fault", "list", "u"}), "");
    EXPECT_EQ(QevScRead10(1, 0x10, 1, buf.data(), 512), 0);

    t.Refused({"fault", "set", "u", "op=explode"}, 1, "bad fault rule word 'op=explode'");
    t.Refused({"fault", "set", "u", "effect=sense:3/11"}, 1, "bad fault rule word");
    t.Refused({"fault", "set", "u", "count=every:0"}, 1, "bad fault rule word");
    t.Refused({"fault", "set", "u", "lba=0x20-0x10"}, 1, "bad fault rule word");
    t.Refused({"fault", "set", "u", "slot=11", "op=read"}, 1, "slot 11 does not exist");
    t.Refused({"fault", "set", "nope", "op=read"}, 1, "unknown unit");
    t.Refused({"fault", "set", "u"}, 2, "words");
    t.Refused({"fault"}, 2, "");

    // Unit attention after an insertion, becoming ready after a plug-in: once each, then normal.
    t.Ok({"insert", "u", "2", "--size", "1M", "--medium-changed"});
    QevSlotRecord r;
    EXPECT_EQ(QevScGetDriveInfo(2, &r), QEV_E_MEDIUM_CHANGED);
    EXPECT_EQ(QevScGetDriveInfo(2, &r), 0);
    t.Ok({"unplug", "u"});
    EXPECT_EQ(t.Ok({"plug", "u", "--becoming-ready", "2"}), "4\n");
    uint8_t inq[36];
    EXPECT_EQ(QevScInquiry(0, 36, inq), 0);
    EXPECT_EQ(QevScGetSlotStatus(0, &st), QEV_E_BECOMING_READY);
    EXPECT_EQ(QevScGetDriveInfo(2, &r), QEV_E_BECOMING_READY);
    EXPECT_EQ(QevScGetSlotStatus(0, &st), 0);
    EXPECT_EQ(st.CardMask, 3u);
    t.Refused({"plug", "u", "--becoming-ready", "soon"}, 1, "bad call count");

    t.Ok({"throttle", "u", "--usb2"});
    EXPECT_NE(t.Ok({"show", "u"}).find("35000000 bytes/s"), std::string::npos);
    t.Ok({"throttle", "u", "--bytes-per-second", "2M", "--delay", "5"});
    EXPECT_EQ(t.bus.Bus().GetUnit("u").unitDesc.throttleBytesPerSecond, 2u << 20);
    EXPECT_EQ(t.bus.Bus().GetUnit("u").unitDesc.callDelayMs, 5u);
    t.Ok({"throttle", "u", "--off"});
    EXPECT_EQ(t.bus.Bus().GetUnit("u").unitDesc.throttleBytesPerSecond, 0u);
    t.Refused({"throttle", "u"}, 1, "throttle needs");
    t.Refused({"throttle", "u", "--usb2", "--off"}, 2, "excludes");
    t.Refused({"throttle", "u", "--delay", "soon"}, 1, "bad delay");

    // One card's own speed: that card alone, beside the unit's limit.
    t.Ok({"create", "s"});
    t.Ok({"insert", "s", "1", "--size", "1M"});
    t.Ok({"insert", "s", "2", "--size", "1M"});
    t.Ok({"throttle", "s", "--usb2"});
    t.Ok({"throttle", "s", "--slot", "2", "--bytes-per-second", "20M"});
    auto speeds = [&] {
        std::vector<uint64_t> v;
        for (const auto &c : t.bus.Bus().GetUnit("s").cards) v.push_back(c.throttleBytesPerSecond);
        return v;
    };
    EXPECT_EQ(speeds(), (std::vector<uint64_t>{0, 20u << 20}));
    EXPECT_EQ(t.bus.Bus().GetUnit("s").unitDesc.throttleBytesPerSecond, 35000000u);
    std::string shown = t.Ok({"show", "s"});
    EXPECT_NE(shown.find("throttled to 20971520 bytes/s"), std::string::npos) << shown;
    EXPECT_EQ(shown.find("throttled to 20971520 bytes/s"), shown.rfind("throttled to"));  // slot 2 only
    t.Ok({"throttle", "s", "--slot", "1", "--usb2"});
    t.Ok({"throttle", "s", "--slot", "2", "--off"});
    EXPECT_EQ(speeds(), (std::vector<uint64_t>{35000000, 0}));
    EXPECT_EQ(t.bus.Bus().GetUnit("s").unitDesc.throttleBytesPerSecond, 35000000u);
    t.Refused({"throttle", "s", "--slot", "3", "--usb2"}, 1, "slot 3 of unit 's' is empty");
    t.Refused({"throttle", "s", "--slot", "2", "--delay", "5"}, 1, "without --slot");
    t.Refused({"throttle", "s", "--slot", "two", "--usb2"}, 1, "slot");
}

TEST(Tvqunit, HelpEverywhereAndTheDefaultBus)
{
    Tool t;
    for (std::vector<std::string> args :
         {std::vector<std::string>{"--help"}, {"create", "--help"}, {"set", "--help"}, {"list", "--help"},
          {"show", "--help"}, {"plug", "--help"}, {"unplug", "--help"}, {"insert", "--help"}, {"pull", "--help"},
          {"params", "--help"}, {"fault", "--help"}, {"fault", "set", "--help"}, {"fault", "clear", "--help"},
          {"fault", "list", "--help"}, {"throttle", "--help"}}) {
        Result r = t.Run(args);
        EXPECT_EQ(r.rc, 0) << args[0];
        EXPECT_NE(r.out.find("Usage"), std::string::npos) << args[0] << r.out;
    }
    // Without --bus the tool uses the library's bus: QEVCRDIO_BUS, set by the fixture.
    Result r = t.Run({"create", "envunit"}, false);
    EXPECT_EQ(r.rc, 0) << r.err;
    EXPECT_TRUE(t.bus.Bus().HasUnit("envunit"));
}
