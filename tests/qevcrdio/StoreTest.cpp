// The store of the bus: any text fits, buses of the earlier version keep
// working and are migrated once, a value that cannot be stored changes nothing.
#include "Desc.h"
#include "LibTestUtil.h"
#include "Store.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace tvqtest;
namespace fs = std::filesystem;

namespace {

// A value as the earlier version wrote it: quoted, every byte outside printable ASCII as \xNN.
std::string OldQuote(const std::string &text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7F || c == ';' || c == '#') {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

void Write(const std::string &path, const std::string &text)
{
    std::ofstream(path, std::ios::binary) << text;
}

}  // namespace

TEST(Store, AnyPathFitsAndTheCardReadsItsBytes)
{
    VirtualBus bus;
    bus.AddUnit("u");
    std::string base = bus.ScratchDir();
    // 300 ASCII characters, a folder named in Japanese, and every character the old format had to escape.
    std::string deep = base + "/" + std::string(100, 'p') + "/" + std::string(100, 'q');
    std::string ascii = deep + "/" + std::string(300 - deep.size() - 5, 'r') + ".img";
    ASSERT_EQ(ascii.size(), 300u);
    fs::create_directories(deep);
    std::string japanese = base + "/作業フォルダ/カード画像の保存先フォルダ/読み書き用カード.img";
    std::string odd = base + "/a b/\"q\" = x; #c \\d '.img";
    fs::create_directories(base + "/作業フォルダ/カード画像の保存先フォルダ");
    fs::create_directories(base + "/a b");
    std::vector<std::string> paths{ascii, japanese, odd};
    for (size_t i = 0; i < paths.size(); ++i) {
        auto bytes = Pattern(64, static_cast<uint32_t>(i + 1));
        { std::ofstream(paths[i], std::ios::binary).write(reinterpret_cast<const char *>(bytes.data()), bytes.size()); }
        ASSERT_EQ(bus.InsertImage("u", static_cast<int>(i + 1), paths[i], true), paths[i]);
    }
    // The description gives every path back byte for byte, to this process and through the library.
    vbus::Unit u = bus.Bus().GetUnit("u");
    ASSERT_EQ(u.cards.size(), 3u);
    QevSlotRecord t[QEV_MAX_TARGETS];
    ASSERT_EQ(ScanAll(t), 11);
    std::vector<uint8_t> buf(64 * 512);
    for (size_t i = 0; i < paths.size(); ++i) {
        EXPECT_EQ(u.cards[i].image, paths[i]);
        EXPECT_EQ(bus.CardImage("u", static_cast<int>(i + 1)), paths[i]);
        ASSERT_EQ(QevScRead10(static_cast<uint32_t>(i + 1), 0, 64, buf.data(), 512), 0) << paths[i];
        EXPECT_EQ(buf, Pattern(64, static_cast<uint32_t>(i + 1))) << paths[i];
    }
    // Long bridge and product texts too.
    vbus::UnitDesc d = u.unitDesc;
    d.bridge = "TVQ-MTX " + std::string(500, 'b') + " 橋渡し";
    bus.Bus().UpdateUnit("u", d);
    EXPECT_EQ(bus.Bus().GetUnit("u").unitDesc.bridge, d.bridge);
    EXPECT_EQ(ScanAll(t, "橋渡し"), 11);

    // Not UTF-8: refused with a clear message, and the description is the same file as before.
    std::string before = VirtualBus::ReadText(bus.Dir() + "/u/unit.toml");
    d.bridge = "TVQ-MTX \xff";
    try {
        bus.Bus().UpdateUnit("u", d);
        ADD_FAILURE() << "a bridge name that is not UTF-8 was stored";
    } catch (const vbus::Error &e) {
        EXPECT_NE(std::string(e.what()).find("not UTF-8"), std::string::npos) << e.what();
    }
    EXPECT_EQ(VirtualBus::ReadText(bus.Dir() + "/u/unit.toml"), before);
}

TEST(Store, AnOldBusKeepsWorkingAndIsMigratedOnce)
{
    VirtualBus bus;
    // A unit as the earlier version wrote it, with a card whose path was too long for its reader.
    std::string dir = bus.Dir() + "/old";
    fs::create_directories(dir + "/cards");
    std::string longDir = bus.ScratchDir() + "/" + std::string(120, 'd') + "/作業フォルダ";
    fs::create_directories(longDir);
    std::string inPlace = longDir + "/カード.img";
    auto bytes1 = Pattern(128, 7);
    { std::ofstream(inPlace, std::ios::binary).write(reinterpret_cast<const char *>(bytes1.data()), bytes1.size()); }
    auto bytes2 = Pattern(64, 8);
    {
        std::ofstream(dir + "/cards/slot2-1.img", std::ios::binary)
            .write(reinterpret_cast<const char *>(bytes2.data()), bytes2.size());
    }
    Write(dir + "/unit.ini", "[unit]\nmodel = TVQ-210CF\nvendor = \"QEVRA\"\nproduct = \"TVQ-210CF\"\n"
                             "revision = \"1.00\"\nbridge = \"TVQ-MTX\"\ntargets = 11\nconnected = 1\n"
                             "throttle_bytes_per_second = 0\ncall_delay_ms = 0\n\n[firmware]\n"
                             "signature = \"T210\"\nbios = 0x00020100\nflags = 0x00000001\n"
                             "product_code = 0x00210001\ncard_if = 0x00020100\nvendor_text = \"QEVRA\"\n"
                             "product_name = \"DEMO\"\n");
    Write(dir + "/slot1.ini", "[card]\nimage = " + OldQuote(inPlace) +
                                  "\nin_place = 1\ncylinders = 1\nheads = 2\ntotal_sectors = 128\n"
                                  "sectors_per_track = 64\nsector_size = 512\nwait_check = 1\naccess_timing = 250\n");
    Write(dir + "/slot2.ini", "[card]\nimage = \"cards/slot2-1.img\"\nin_place = 0\ncylinders = 0\nheads = 0\n"
                              "total_sectors = 0\nsectors_per_track = 0\nsector_size = 512\nwait_check = 1\n"
                              "access_timing = 250\n");
    Write(dir + "/faults.ini", "[faults]\nnext_id = 5\n\n[rule.4]\nslot = 2\nop = read\ncount = always\n"
                               "lba = 0x3F-0x3F\neffect = sense:03/11/00\n");

    // The library reads it as it is.
    QevSlotRecord t[QEV_MAX_TARGETS];
    ASSERT_EQ(ScanAll(t), 11);
    std::vector<uint8_t> buf(128 * 512);
    ASSERT_EQ(QevScRead10(1, 0, 128, buf.data(), 512), 0);
    EXPECT_EQ(buf, bytes1);
    EXPECT_EQ(t[1].TotalSectors, 128u);
    EXPECT_EQ(t[2].TotalSectors, 64u);  // derived from the image
    EXPECT_EQ(QevScRead10(2, 0x3F, 1, buf.data(), 512), QEV_E_READ_ERROR);  // its fault rule holds
    EXPECT_FALSE(fs::exists(dir + "/unit.toml"));

    // The first change writes the current format and puts the old files aside.
    bus.Throttle("old", 0, 1);
    ASSERT_TRUE(fs::exists(dir + "/unit.toml"));
    for (const char *f : {"unit.ini", "slot1.ini", "slot2.ini", "faults.ini"}) {
        EXPECT_FALSE(fs::exists(dir + "/" + f)) << f;
        EXPECT_TRUE(fs::exists(dir + "/legacy/" + f)) << f;
    }
    vbus::Unit u = bus.Bus().GetUnit("old");
    EXPECT_EQ(u.unitDesc.fw.productCode, 0x00210001u);
    EXPECT_EQ(u.unitDesc.fw.productName, "DEMO");
    EXPECT_EQ(u.unitDesc.callDelayMs, 1u);
    ASSERT_EQ(u.cards.size(), 2u);
    EXPECT_EQ(u.cards[0].image, inPlace);
    EXPECT_TRUE(u.cards[0].inPlace);
    EXPECT_EQ(u.cards[0].params.sectorsPerTrack, 64u);
    EXPECT_EQ(u.cards[1].image, dir + "/cards/slot2-1.img");
    ASSERT_EQ(u.faults.size(), 1u);
    EXPECT_EQ(u.faults[0].id, 4u);
    EXPECT_EQ(bus.Bus().AddFault("old", vbus::ParseFaultRule("op=eject")), 5u);  // ids go on

    // And the library follows the migrated unit without a new scan.
    ASSERT_EQ(QevScRead10(1, 0, 128, buf.data(), 512), 0);
    EXPECT_EQ(buf, bytes1);
    EXPECT_EQ(QevScRead10(2, 0x3F, 1, buf.data(), 512), QEV_E_READ_ERROR);
    ASSERT_EQ(QevScRead10(2, 0, 63, buf.data(), 512), 0);
    EXPECT_EQ(std::vector<uint8_t>(buf.begin(), buf.begin() + 63 * 512),
              std::vector<uint8_t>(bytes2.begin(), bytes2.begin() + 63 * 512));
}

namespace {

// Runs fn and fails the whole test program if it has not returned within the limit:
// a call that hangs must not hang the suite too.
template <typename F>
double Within(double limitSeconds, const std::string &what, F &&fn)
{
    std::atomic<bool> done{false};
    std::thread watchdog([&] {
        auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(limitSeconds + 4);
        while (!done && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (!done) {
            std::fprintf(stderr, "HANG: %s did not return\n", what.c_str());
            std::_Exit(1);
        }
    });
    auto t0 = std::chrono::steady_clock::now();
    fn();
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    done = true;
    watchdog.join();
    return s;
}

}  // namespace

TEST(Store, AFifoInAnyPlaceOfTheBusHangsNothing)
{
    struct Place {
        std::string path;  // inside the bus
        bool legacy;       // the unit is written in the earlier format
    };
    const Place places[] = {{"u/unit.toml", false},        {"u/fault-counts", false}, {".calls", false},
                            {"u/cards/slot1-1.img", false}, {"u/target1.lock", false}, {"u/unit.ini", true},
                            {"u/slot1.ini", true},          {"u/faults.ini", true}};
    for (const Place &place : places) {
        SCOPED_TRACE(place.path);
        VirtualBus bus;
        bus.AddUnit("u");
        bus.InsertBlank("u", 1, 64 * 512);
        bus.InsertBlank("u", 2, 64 * 512);
        bus.SetFault("u", "slot=2 op=slotstatus count=off");
        if (place.legacy) {
            // Back to the files of the earlier version, which the library reads as they are.
            std::string d = bus.Dir() + "/u/";
            fs::remove(d + "unit.toml");
            Write(d + "unit.ini", "[unit]\nmodel = TVQ-210CF\n");
            Write(d + "slot1.ini", "[card]\nimage = \"cards/slot1-1.img\"\n");
            Write(d + "faults.ini", "[faults]\nnext_id = 1\n");
        }
        QevSlotRecord t[QEV_MAX_TARGETS];
        ASSERT_EQ(ScanAll(t), 11);
        std::vector<uint8_t> buf(4 * 512);
        ASSERT_EQ(QevScRead10(1, 0, 4, buf.data(), 512), 0);  // the image is open now
        std::string path = bus.Dir() + "/" + place.path;
        fs::remove(path);
        ASSERT_EQ(::mkfifo(path.c_str(), 0644), 0);

        uint32_t major, minor;
        QevSlotRecord r;
        QevSlotStatus st;
        uint8_t inq[36], blk[128];
        const std::vector<std::pair<const char *, std::function<void()>>> calls = {
            {"QevScGetVersion", [&] { QevScGetVersion(&major, &minor); }},
            {"QevScScanEx", [&] { ScanAll(t); }},
            {"QevScLock", [&] { QevScLock(1); }},
            {"QevScInquiry", [&] { QevScInquiry(1, 36, inq); }},
            {"QevScReadBuffer", [&] { QevScReadBuffer(0, 2, 4, 0x1000, blk, 128); }},
            {"QevScGetDriveInfo", [&] { QevScGetDriveInfo(1, &r); }},
            {"QevScGetSlotStatus", [&] { QevScGetSlotStatus(0, &st); }},
            {"QevScRead10", [&] { QevScRead10(1, 0, 4, buf.data(), 512); }},
            {"QevScWrite10", [&] { QevScWrite10(2, 0, 4, buf.data(), 512); }},
            {"QevScFormat", [&] { QevScFormat(2, &r); }},
            {"QevScEject", [&] { QevScEject(2); }},
            {"QevScFreeEx", [&] { QevScFreeEx(1); }},
            {"QevScFree", [&] { QevScFree(); }},
        };
        for (const auto &c : calls) {
            double s = Within(1.0, place.path + ": " + c.first, c.second);
            EXPECT_LT(s, 1.0) << c.first;
        }
        // The FIFO is still a FIFO: nothing replaced or followed it.
        struct stat sb;
        ASSERT_EQ(::lstat(path.c_str(), &sb), 0);
        EXPECT_TRUE(S_ISFIFO(sb.st_mode));
        if (place.path == "u/unit.toml" || place.path == "u/unit.ini") {
            EXPECT_EQ(ScanAll(t), 0);  // no readable description: no device
        }
        if (place.path == "u/cards/slot1-1.img") {
            ASSERT_EQ(QevScGetSlotStatus(0, &st), 0);
            EXPECT_EQ(st.CardMask & 1u, 0u);  // that card counts as absent
        }
        fs::remove(path);
    }
}

TEST(Store, ADeeplyNestedFileIsNoDeviceAndCrashesNoScan)
{
    VirtualBus bus;
    bus.AddUnit("a");
    bus.AddUnit("b");
    bus.InsertBlank("b", 1, 64 * 512);
    bus.SetFault("b", "slot=1 op=read count=next:1");
    std::string parts = "a";
    for (int i = 1; i < 35000; ++i) parts += ".a";
    Write(bus.Dir() + "/a/unit.toml", "format = 2\n" + parts + " = 1\n");
    Write(bus.Dir() + "/b/fault-counts", "[rule.1]\n" + parts + " = 1\n");
    // In a child: a stack overflow ends the child, not the test run.
    pid_t pid = ::fork();
    if (pid == 0) {
        QevSlotRecord t[QEV_MAX_TARGETS];
        if (ScanAll(t) != 11) ::_exit(2);  // only b is a device
        std::vector<uint8_t> buf(512);
        // The rule fires and is counted, over the counts that could not be read.
        if (QevScRead10(1, 0, 1, buf.data(), 512) == 0) ::_exit(3);
        if (QevScRead10(1, 0, 1, buf.data(), 512) != 0) ::_exit(4);
        QevScFree();
        ::_exit(0);
    }
    int st = 0;
    ASSERT_EQ(::waitpid(pid, &st, 0), pid);
    ASSERT_TRUE(WIFEXITED(st)) << "the scan died by signal " << (WIFSIGNALED(st) ? WTERMSIG(st) : 0);
    EXPECT_EQ(WEXITSTATUS(st), 0);
    EXPECT_EQ(bus.FireCount("b", 1), 1u);
}
