// Description files: what is written is read back exactly, rules keep their
// meaning, and a reader never sees a half-written description.
#include "Desc.h"
#include "Legacy.h"
#include "LibTestUtil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace tvqtest;

TEST(Description, UnitDescSurvivesAwkwardTexts)
{
    vbus::UnitDesc s;
    s.model = Model::Foreign;
    s.vendor = "A\"B;C#\\";
    s.product = "  lead blanks";
    s.revision = "\x01\x7f";
    s.bridge = "br = idge ; x";
    s.targets = 5;
    s.connected = false;
    s.throttleBytesPerSecond = 123456789012ull;
    s.callDelayMs = 7;
    s.fw.signature = "";
    s.fw.bios = 0xFFFFFFFF;
    s.fw.flags = 0x80000601;
    s.fw.productCode = 1;
    s.fw.cardIf = 0;
    s.fw.vendorText = "trail   ";
    s.fw.productName = std::string("nul\0in it", 9);
    std::string why;
    vbus::Unit in, out;
    in.unitDesc = s;
    ASSERT_TRUE(vbus::ParseUnitFile(vbus::UnitFileText(in, "/u"), "/u", &out, &why)) << why;
    vbus::UnitDesc r = out.unitDesc;
    EXPECT_EQ(r.model, s.model);
    EXPECT_EQ(r.vendor, s.vendor);
    EXPECT_EQ(r.product, s.product);
    EXPECT_EQ(r.revision, s.revision);
    EXPECT_EQ(r.bridge, s.bridge);
    EXPECT_EQ(r.targets, 5u);
    EXPECT_FALSE(r.connected);
    EXPECT_EQ(r.throttleBytesPerSecond, s.throttleBytesPerSecond);
    EXPECT_EQ(r.callDelayMs, 7u);
    EXPECT_EQ(r.fw.signature, "");
    EXPECT_EQ(r.fw.bios, 0xFFFFFFFFu);
    EXPECT_EQ(r.fw.flags, 0x80000601u);
    EXPECT_EQ(r.fw.vendorText, "trail   ");
    EXPECT_EQ(r.fw.productName, s.fw.productName);

    // The library serves those bytes as they are.
    VirtualBus bus;
    s.connected = true;
    s.bridge = "TVQ-MTX";
    bus.AddUnit("x", s);
    QevSlotRecord t[QEV_MAX_TARGETS];
    ASSERT_EQ(ScanAll(t), 5);
    uint8_t inq[36], blk[128];
    ASSERT_EQ(QevScInquiry(0, 36, inq), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(inq + 8), 8), "A\"B;C#\\ ");
    EXPECT_EQ(std::string(reinterpret_cast<char *>(inq + 32), 4), "\x01\x7f  ");
    ASSERT_EQ(QevScReadBuffer(0, 2, 4, 0x1000, blk, 128), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(blk + 40), 16), std::string("nul\0in it       ", 16));

    // Bad values are refused, not guessed at.
    const std::string unit = "[unit]\nmodel = \"TVQ-206\"\n";
    for (const std::string &bad :
         {std::string("[unit]\nmodel = \"TVQ-210CF\"\ntargets = 0\n"), std::string("[unit]\nmodel = \"TVQ-210CF\"\ntargets = 17\n"),
          std::string("[unit]\nmodel = \"TVQ-210CF\"\nconnected = 2\n"), std::string("[firmware]\nbios = 1\n"),
          unit + "[firmware]\nbios = 0x1FFFFFFFF\n", unit + "[firmware]\nsignature = \"T2100\"\n",
          unit + "vendor = \"bad\\q\"\n", unit + "colour = \"red\"\n", unit + "[extra]\nx = 1\n",
          std::string("no_section = 1\n"), std::string("[unit\nmodel = \"x\"\n"), std::string("[unit]\nmodel = TVQ-206\n"),
          unit + "vendor = \"\xff\"\n", unit + "targets = \"7\"\n", unit + "[slot.7]\nimage = \"a.img\"\n",
          unit + "[slot.0]\nimage = \"a.img\"\n", unit + "[slot.1]\nheads = 2\n", unit + "sync = \"sometimes\"\n",
          "format = 3\n" + unit, unit + "[faults]\nnext_id = 1\n[[faults.rule]]\nid = 0\n",
          unit + "[[faults.rule]]\nid = 1\neffect = \"sense:00/00/00\"\n",
          unit + "[[faults.rule]]\nid = 1\n[[faults.rule]]\nid = 1\n"}) {
        vbus::Unit u;
        EXPECT_FALSE(vbus::ParseUnitFile(bad, "/u", &u, &why)) << bad;
        EXPECT_FALSE(why.empty()) << bad;
    }
    // The format of earlier versions refuses the same way.
    for (const char *bad : {"[unit]\nmodel = TVQ-210CF\ntargets = 0\n", "[unit]\nmodel = TVQ-210CF\nconnected = 2\n",
                            "[firmware]\nbios = 1\n", "[unit]\nmodel = TVQ-206\nvendor = \"bad\\q\"\n",
                            "[unit]\nmodel = TVQ-206\n[extra]\nx = 1\n", "no section = 1\n", "[unit\nmodel = x\n"}) {
        EXPECT_FALSE(vbus::ParseLegacyUnitDesc(bad, &r, &why)) << bad;
    }
    // Text that is not UTF-8 cannot be stored: refused before anything is written.
    vbus::UnitDesc notUtf8;
    notUtf8.fw.productName = "\xff\xfe";
    EXPECT_THROW(bus.AddUnit("bad", notUtf8), vbus::Error);
    EXPECT_FALSE(bus.Bus().HasUnit("bad"));
}

TEST(Description, FaultRulesKeepTheirMeaning)
{
    const char *rules[] = {
        "slot=any op=all count=always effect=sense:03/11/00",
        "slot=vd op=read,write count=next:3 lba=0x10-0x20 effect=short:4:03/11/00",
        "slot=7 op=scan count=every:2 effect=drop:2",
        "slot=1 op=inquiry,readbuffer,slotstatus,driveinfo count=after:5 effect=delay:250",
        "slot=2 op=eject,format,lock count=off lba=0x0-0xFFFFFFFF effect=corrupt:511",
        "slot=3 op=write count=next:0 effect=short:0",
    };
    std::vector<vbus::FaultRule> list;
    uint32_t id = 5;
    for (const char *text : rules) {
        vbus::FaultRule r = vbus::ParseFaultRule(text);
        EXPECT_EQ(vbus::FaultRuleText(r), text);
        r.id = id++;
        list.push_back(r);
    }
    vbus::Unit u, read;
    vbus::ResolveDefaults(&u.unitDesc);
    u.faults = list;
    u.nextFaultId = 42;
    std::string why;
    ASSERT_TRUE(vbus::ParseUnitFile(vbus::UnitFileText(u, "/u"), "/u", &read, &why)) << why;
    EXPECT_EQ(read.nextFaultId, 42u);
    const std::vector<vbus::FaultRule> &back = read.faults;
    ASSERT_EQ(back.size(), list.size());
    for (size_t i = 0; i < list.size(); ++i) {
        EXPECT_EQ(back[i].id, list[i].id);
        EXPECT_EQ(vbus::FaultRuleText(back[i]), vbus::FaultRuleText(list[i]));
    }
    // Shorthands and their sense codes.
    vbus::FaultRule nm = vbus::ParseFaultRule("effect=nomedium");
    EXPECT_EQ(QEV_SENSE(nm.key, nm.asc, nm.ascq), QEV_E_NO_MEDIUM);
    vbus::FaultRule ch = vbus::ParseFaultRule("effect=changed");
    EXPECT_EQ(QEV_SENSE(ch.key, ch.asc, ch.ascq), QEV_E_MEDIUM_CHANGED);
    for (const char *bad : {"op=", "op=read,,write", "slot=0", "slot=17", "count=next", "count=always:2",
                            "count=every:0", "lba=5-4", "lba=x", "effect=sense:10/00/00", "effect=sense:03/11",
                            "effect=delay", "effect=delay:600001", "effect=corrupt:1:03/11/00", "oops",
                            "=read", "effect=readerror:1", "effect=sense:00/00/00", "effect=sense:01/17/00",
                            "effect=short:2:00/00/00", "effect=sense:0003/11/00"}) {
        EXPECT_THROW(vbus::ParseFaultRule(bad), vbus::Error) << bad;
    }
}

TEST(Description, ImagePathsComeBackAsTheyWere)
{
    // Inside the unit's folder a path is written relative to it, and must read back as the same path.
    vbus::Unit u;
    vbus::ResolveDefaults(&u.unitDesc);
    const std::vector<std::string> paths{"/bus/u/cards/slot1-1.img", "/bus/u//x.img", "/bus/u/../x.img",
                                         "/bus/u2/x.img", "/elsewhere/作業/カード.img", "/bus/u"};
    for (size_t i = 0; i < paths.size(); ++i) {
        vbus::Card c;
        c.slot = static_cast<int>(i + 1);
        c.image = paths[i];
        c.inPlace = true;
        u.cards.push_back(c);
    }
    vbus::Unit back;
    std::string why;
    ASSERT_TRUE(vbus::ParseUnitFile(vbus::UnitFileText(u, "/bus/u"), "/bus/u", &back, &why)) << why;
    ASSERT_EQ(back.cards.size(), paths.size());
    for (size_t i = 0; i < paths.size(); ++i) EXPECT_EQ(back.cards[i].image, paths[i]);
}

TEST(Description, DefaultGeometryCoversTheCard)
{
    for (uint64_t bytes = 512; bytes < (1ull << 41); bytes = bytes * 3 / 2 + 512 * 7) {
        bytes -= bytes % 512;
        vbus::DriveParams p = vbus::DefaultDriveParams(bytes);
        uint64_t total = std::min<uint64_t>(bytes / 512, 0xFFFFFFFFull);
        ASSERT_EQ(p.totalSectors, total) << bytes;
        ASSERT_GE(p.heads, 1u);
        ASSERT_LE(p.heads, 16u);
        ASSERT_GE(p.sectorsPerTrack, 1u);
        ASSERT_LE(p.sectorsPerTrack, 63u);
        ASSERT_GE(p.cylinders, 1u);
        ASSERT_LE(p.cylinders, 16383u);
        ASSERT_LE(static_cast<uint64_t>(p.cylinders) * p.heads * p.sectorsPerTrack, std::max<uint64_t>(total, 1));
        ASSERT_EQ(p.sectorSize, 512u);
    }
}

TEST(Description, ReadersNeverSeeHalfADescription)
{
    VirtualBus bus;
    vbus::UnitDesc unitDesc;
    unitDesc.fw.productCode = 0;
    unitDesc.fw.productName = "EVEN";
    bus.AddUnit("u", unitDesc);
    QevSlotRecord t[QEV_MAX_TARGETS];
    ASSERT_EQ(ScanAll(t), 11);
    std::atomic<bool> stop{false};
    std::atomic<uint32_t> writes{0};
    std::thread writer([&] {
        vbus::Bus b(bus.Dir());
        vbus::Unit u = b.GetUnit("u");
        for (uint32_t i = 1; !stop; ++i) {
            u.unitDesc.fw.productCode = i;
            u.unitDesc.fw.productName = i % 2 ? "ODD ODD ODD ODD" : "EVEN";
            b.UpdateUnit("u", u.unitDesc);
            writes = i;
        }
    });
    int bad = 0, reads = 0;
    uint32_t lastCode = 0, changes = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    // Until the writer has rewritten the description a few hundred times.
    for (; (writes < 300 || reads < 2000) && std::chrono::steady_clock::now() < deadline; ++reads) {
        uint8_t blk[128];
        if (QevScReadBuffer(0, 2, 4, 0x1000, blk, 128) != 0) {
            ++bad;
            continue;
        }
        uint32_t code = blk[12] | blk[13] << 8 | blk[14] << 16 | static_cast<uint32_t>(blk[15]) << 24;
        std::string name(reinterpret_cast<char *>(blk + 40), 16);
        bool consistent = code % 2 ? name == "ODD ODD ODD ODD " : name == "EVEN            ";
        if (!consistent || code < lastCode) ++bad;
        changes += code != lastCode;
        lastCode = code;
    }
    stop = true;
    writer.join();
    EXPECT_EQ(bad, 0);
    EXPECT_GT(changes, 10u);  // the reads really saw the description change
}

namespace {

// Runs fn in a child process: a stack overflow there fails the test instead of ending the run.
// True when the child returned normally; *result is what fn returned.
bool InChild(const std::function<bool()> &fn, bool *result)
{
    pid_t pid = ::fork();
    if (pid == 0) ::_exit(fn() ? 0 : 1);
    int st = 0;
    if (pid < 0 || ::waitpid(pid, &st, 0) != pid) return false;
    if (!WIFEXITED(st)) return false;
    *result = WEXITSTATUS(st) == 0;
    return true;
}

const std::string kUnitHead = "format = 2\n[unit]\nmodel = \"TVQ-210CF\"\n";

}  // namespace

TEST(Description, DeepNestingIsRefusedBeforeTheParserSeesIt)
{
    const int n = 40000;
    std::string parts = "a";
    for (int i = 1; i < n; ++i) parts += ".a";
    std::string opens(n, '['), closes(n, ']');
    std::string inl;
    for (int i = 0; i < n / 4; ++i) inl += "{a=";
    inl += "1" + std::string(n / 4, '}');
    // Each line alone stays under the limit; one inline table inside the other adds them up.
    std::string stacked = "x.x.x.x.x.x.x.x.x.x = {y.y.y.y.y.y.y.y.y.y = {z.z.z.z.z.z.z.z.z.z = {w.w.w.w = 1}}}\n";
    const std::vector<std::pair<const char *, std::string>> deep = {
        {"dotted key", kUnitHead + parts + " = 1\n"},
        {"table header", kUnitHead + "[" + parts + "]\n"},
        {"array of tables", kUnitHead + "[[" + parts + "]]\n"},
        {"arrays", kUnitHead + "x = " + opens + closes + "\n"},
        {"inline tables", kUnitHead + "x = " + inl + "\n"},
        {"dotted keys in inline tables", kUnitHead + stacked},
        {"after a literal string ending in a backslash", kUnitHead + "p = 'C:\\'\nx = " + opens + closes + "\n"},
        {"after a string closed by five quotes", kUnitHead + "p = \"\"\"ab\"\"\"\"\"\nx = " + opens + "\n"},
        {"after a string closed by five apostrophes", kUnitHead + "p = '''ab'''''\nx = " + opens + "\n"},
        {"in a fault-counts file", "[rule.1]\n" + parts + " = 1\n"},
    };
    for (const auto &d : deep) {
        SCOPED_TRACE(d.first);
        bool refused = false, counts = false;
        ASSERT_TRUE(InChild(
            [&] {
                vbus::Unit u;
                std::string why;
                return !vbus::ParseUnitFile(d.second, "/u", &u, &why) &&
                       why.find("nested deeper than") != std::string::npos;
            },
            &refused))
            << "the parser crashed";
        EXPECT_TRUE(refused);
        ASSERT_TRUE(InChild([&] { return vbus::ParseCounts(d.second).empty(); }, &counts)) << "the parser crashed";
        EXPECT_TRUE(counts);
    }
    // The limit: a key of 30 parts is only unknown, one of 40 is too deep, and the line is named.
    std::string k30 = "a", k40 = "a";
    for (int i = 1; i < 30; ++i) k30 += ".a";
    for (int i = 1; i < 40; ++i) k40 += ".a";
    vbus::Unit u;
    std::string why;
    EXPECT_FALSE(vbus::ParseUnitFile(kUnitHead + k30 + " = 1\n", "/u", &u, &why));
    EXPECT_EQ(why.find("nested deeper"), std::string::npos) << why;
    EXPECT_FALSE(vbus::ParseUnitFile(kUnitHead + k40 + " = 1\n", "/u", &u, &why));
    EXPECT_NE(why.find("line 4: "), std::string::npos) << why;
}

TEST(Description, NestingIsNotCountedInsideStringsAndComments)
{
    // Brackets, braces and dots inside texts and comments nest nothing: the file is whole and valid.
    const std::string many(5000, '['), dots = std::string(3000, '.') + "{{{{" + std::string(3000, '.');
    vbus::Unit in;
    in.unitDesc.model = Model::Foreign;
    in.unitDesc.bridge = many + "\"\"\" ''' \\" + dots;  // written with escapes
    vbus::ResolveDefaults(&in.unitDesc);
    std::string text = vbus::UnitFileText(in, "/u");
    vbus::Unit out;
    std::string why;
    ASSERT_TRUE(vbus::ParseUnitFile(text, "/u", &out, &why)) << why;
    EXPECT_EQ(out.unitDesc.bridge, in.unitDesc.bridge);
    const std::vector<std::string> quiet = {
        "# " + many + dots + "\n",
        "[unit]\nmodel = 'other'\nbridge = '" + many + dots + "'\nvendor = \"\"\"\n" + many + "\n\"\"\"\n",
        "[unit]\nmodel = 'other'\nbridge = '''" + many + "\n" + dots + "''''\n",
        "[unit] # " + many + "\nmodel = \"other\" # " + dots + "\n",
    };
    for (const auto &t : quiet) {
        vbus::Unit u;
        why.clear();
        vbus::ParseUnitFile("format = 2\n" + t, "/u", &u, &why);
        EXPECT_EQ(why.find("nested deeper"), std::string::npos) << why << "\n" << t.substr(0, 80);
    }
}
