// Every injected fault reaches the caller as the failing result, and is counted.
#include "Files.h"
#include "LibTestUtil.h"
#include "Pace.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <map>
#include <sys/wait.h>
#include <unistd.h>

using namespace tvqtest;

namespace {

struct Faulty {
    VirtualBus bus;
    QevSlotRecord t[QEV_MAX_TARGETS];
    std::vector<uint8_t> buf = std::vector<uint8_t>(128 * 512);
    Faulty()
    {
        bus.AddUnit("u", Model::Tvq210);  // VD first: target s is slot s
        bus.InsertBlank("u", 1, 1u << 20);
        bus.InsertBlank("u", 2, 1u << 20);
        bus.InsertBlank("u", 3, 1u << 20);
        EXPECT_EQ(ScanAll(t), 11);
    }
    int32_t Read(uint32_t target, uint32_t lba, uint32_t n = 1)
    {
        return QevScRead10(target, lba, n, buf.data(), 512);
    }
};

double Millis(std::chrono::steady_clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

}  // namespace

TEST(Fault, CountsAndLbaRanges)
{
    Faulty f;
    uint32_t next = f.bus.SetFault("u", "slot=2 op=read lba=0x100-0x1ff count=next:2 effect=readerror");
    EXPECT_EQ(f.Read(2, 0xF0, 16), 0);          // ends before the range
    EXPECT_EQ(f.Read(2, 0xF8, 16), QEV_E_READ_ERROR);  // overlaps its start
    EXPECT_EQ(f.Read(1, 0x100), 0);             // another slot
    EXPECT_EQ(f.Read(2, 0x1FF), QEV_E_READ_ERROR);
    EXPECT_EQ(f.Read(2, 0x150), 0);             // the two are spent
    EXPECT_EQ(f.bus.FireCount("u", next), 2u);
    auto rules = f.bus.Bus().Faults("u");
    ASSERT_EQ(rules.size(), 1u);
    EXPECT_EQ(rules[0].hits, 3u);

    f.bus.ClearFaults("u");
    uint32_t every = f.bus.SetFault("u", "op=write count=every:3 effect=writeerror");
    std::vector<int32_t> got;
    for (int i = 0; i < 7; ++i) got.push_back(QevScWrite10(1, 0, 1, f.buf.data(), 512));
    EXPECT_EQ(got, (std::vector<int32_t>{0, 0, QEV_E_WRITE_ERROR, 0, 0, QEV_E_WRITE_ERROR, 0}));
    EXPECT_EQ(f.bus.FireCount("u", every), 2u);

    f.bus.ClearFaults("u");
    uint32_t after = f.bus.SetFault("u", "op=read count=after:2 effect=sense:03/11/05");
    EXPECT_EQ(f.Read(3, 0), 0);
    EXPECT_EQ(f.Read(3, 0), 0);
    EXPECT_EQ(f.Read(3, 0), QEV_SENSE(3, 0x11, 5));
    EXPECT_EQ(f.Read(3, 0), QEV_SENSE(3, 0x11, 5));
    EXPECT_EQ(f.bus.FireCount("u", after), 2u);

    // An "off" rule only counts; a cleared one is gone.
    f.bus.ClearFaults("u");
    uint32_t off = f.bus.SetFault("u", "op=read count=off effect=readerror");
    EXPECT_EQ(f.Read(1, 0), 0);
    EXPECT_EQ(f.bus.FireCount("u", off), 0u);
    EXPECT_EQ(f.bus.Bus().Faults("u")[0].hits, 1u);
    uint32_t always = f.bus.SetFault("u", "op=read effect=readerror");
    EXPECT_EQ(f.Read(1, 0), QEV_E_READ_ERROR);
    EXPECT_TRUE(f.bus.Bus().ClearFault("u", always));
    EXPECT_FALSE(f.bus.Bus().ClearFault("u", always));
    EXPECT_EQ(f.Read(1, 0), 0);
}

TEST(Fault, EveryOperationCanFail)
{
    Faulty f;
    struct Case {
        const char *rule;
        std::function<int32_t()> call;
        int32_t expected;
    };
    QevSlotRecord rec;
    QevSlotStatus st;
    uint8_t data[512] = {};
    std::vector<Case> cases = {
        {"op=inquiry effect=notready", [&] { return QevScInquiry(0, 36, data); }, QEV_E_BECOMING_READY},
        {"op=readbuffer effect=sense:04/44/00", [&] { return QevScReadBuffer(0, 2, 4, 0x1000, data, 128); },
         QEV_E_HARDWARE},
        {"op=slotstatus effect=notready", [&] { return QevScGetSlotStatus(0, &st); }, QEV_E_BECOMING_READY},
        {"op=driveinfo effect=changed", [&] { return QevScGetDriveInfo(1, &rec); }, QEV_E_MEDIUM_CHANGED},
        {"op=read effect=nomedium", [&] { return f.Read(1, 0); }, QEV_E_NO_MEDIUM},
        {"op=write effect=writeerror", [&] { return QevScWrite10(1, 0, 1, data, 512); }, QEV_E_WRITE_ERROR},
        {"op=format effect=sense:03/31/01", [&] { return QevScFormat(1, &rec); }, QEV_SENSE(3, 0x31, 1)},
        {"op=lock effect=notready", [&] { return QevScLock(1); }, QEV_E_BECOMING_READY},
        {"op=eject effect=readerror", [&] { return QevScEject(1); }, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.rule);
        uint32_t id = f.bus.SetFault("u", std::string(c.rule) + " count=next:1");
        EXPECT_EQ(c.call(), c.expected);
        EXPECT_EQ(f.bus.FireCount("u", id), 1u);
        // Spent: the same call succeeds now (eject really ejects then).
        EXPECT_NE(c.call(), c.expected);
    }
    EXPECT_FALSE(f.bus.Bus().HasCard("u", 1));
}

TEST(Fault, ShortCorruptAndDroppedTransfers)
{
    Faulty f;
    auto data = Pattern(8, 2);
    ASSERT_EQ(QevScWrite10(2, 0, 8, data.data(), 512), 0);

    // Short read: 3 sectors arrive, the rest of the buffer is untouched, success is claimed.
    f.bus.SetFault("u", "op=read count=next:1 effect=short:3");
    std::fill(f.buf.begin(), f.buf.end(), 0xEE);
    ASSERT_EQ(f.Read(2, 0, 8), 0);
    EXPECT_TRUE(std::equal(data.begin(), data.begin() + 3 * 512, f.buf.begin()));
    EXPECT_EQ(f.buf[3 * 512], 0xEE);
    EXPECT_EQ(f.buf[8 * 512 - 1], 0xEE);
    // Or with a sense after the partial transfer.
    f.bus.SetFault("u", "op=read count=next:1 effect=short:1:03/11/00");
    EXPECT_EQ(f.Read(2, 0, 8), QEV_E_READ_ERROR);

    // Corrupted read: byte 7 of sectors 2 and 3 inverted; the card itself is intact.
    f.bus.SetFault("u", "op=read lba=2-3 count=next:1 effect=corrupt:7");
    ASSERT_EQ(f.Read(2, 0, 8), 0);
    std::vector<uint8_t> want = data;
    want[2 * 512 + 7] ^= 0xFF;
    want[3 * 512 + 7] ^= 0xFF;
    EXPECT_TRUE(std::equal(want.begin(), want.end(), f.buf.begin()));
    ASSERT_EQ(f.Read(2, 0, 8), 0);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), f.buf.begin()));

    // Corrupted write: the card gets the spoilt byte.
    f.bus.SetFault("u", "op=write count=next:1 effect=corrupt:0");
    ASSERT_EQ(QevScWrite10(2, 0, 1, data.data(), 512), 0);
    auto img = VirtualBus::ReadFile(f.bus.CardImage("u", 2), 0, 512);
    EXPECT_EQ(img[0], static_cast<uint8_t>(data[0] ^ 0xFF));

    // Dropped write: success reported, nothing written.
    f.bus.SetFault("u", "op=write count=next:1 effect=drop");
    auto other = Pattern(1, 99);
    ASSERT_EQ(QevScWrite10(2, 5, 1, other.data(), 512), 0);
    EXPECT_EQ(VirtualBus::ReadFile(f.bus.CardImage("u", 2), 5 * 512, 512),
              std::vector<uint8_t>(data.begin() + 5 * 512, data.begin() + 6 * 512));
    // Short INQUIRY and firmware block: the first bytes arrive, the rest of the buffer is untouched.
    uint8_t whole[36], part[40];
    ASSERT_EQ(QevScInquiry(2, 36, whole), 0);
    f.bus.SetFault("u", "op=inquiry count=next:1 effect=short:8");
    std::memset(part, 0xEE, sizeof part);
    ASSERT_EQ(QevScInquiry(2, 36, part), 0);
    EXPECT_EQ(std::memcmp(part, whole, 8), 0);
    EXPECT_EQ(std::vector<uint8_t>(part + 8, part + 40), std::vector<uint8_t>(32, 0xEE));
    uint8_t fw[128], fwPart[128];
    ASSERT_EQ(QevScReadBuffer(2, 2, 4, 0x1000, fw, 128), 0);
    f.bus.SetFault("u", "op=readbuffer count=next:1 effect=short:4:04/44/00");
    std::memset(fwPart, 0xEE, sizeof fwPart);
    EXPECT_EQ(QevScReadBuffer(2, 2, 4, 0x1000, fwPart, 128), QEV_E_HARDWARE);
    EXPECT_EQ(std::memcmp(fwPart, fw, 4), 0);
    EXPECT_EQ(std::vector<uint8_t>(fwPart + 4, fwPart + 128), std::vector<uint8_t>(124, 0xEE));

    // Dropped eject: success reported, the card stays.
    f.bus.SetFault("u", "op=eject count=next:1 effect=drop");
    EXPECT_NE(QevScEject(2), 0);
    EXPECT_TRUE(f.bus.Bus().HasCard("u", 2));
}

TEST(Fault, CardRulesThroughTheVd)
{
    Faulty f;
    // A bad card in slot 2: the VD write still reaches slots 1 and 3 and reports the failure.
    uint32_t id = f.bus.SetFault("u", "slot=2 op=write effect=writeerror");
    auto data = Pattern(2, 5);
    EXPECT_EQ(QevScWrite10(0, 10, 2, data.data(), 512), QEV_E_WRITE_ERROR);
    EXPECT_EQ(VirtualBus::ReadFile(f.bus.CardImage("u", 1), 10 * 512, 1024), data);
    EXPECT_EQ(VirtualBus::ReadFile(f.bus.CardImage("u", 3), 10 * 512, 1024), data);
    EXPECT_EQ(VirtualBus::ReadFile(f.bus.CardImage("u", 2), 10 * 512, 1024), std::vector<uint8_t>(1024, 0));
    EXPECT_EQ(f.bus.FireCount("u", id), 1u);

    // A bad card in slot 1 shows through VD reads, which come from it.
    f.bus.SetFault("u", "slot=1 op=read effect=readerror");
    EXPECT_EQ(f.Read(0, 0), QEV_E_READ_ERROR);
    EXPECT_EQ(f.Read(3, 0), 0);
    // A VD-only rule leaves the slots alone.
    f.bus.ClearFaults("u");
    f.bus.SetFault("u", "slot=vd op=read effect=notready");
    EXPECT_EQ(f.Read(0, 0), QEV_E_BECOMING_READY);
    EXPECT_EQ(f.Read(1, 0), 0);
}

TEST(Fault, DelaysThrottleAndBadRuleFiles)
{
    Faulty f;
    f.bus.SetFault("u", "op=slotstatus count=next:1 effect=delay:60");
    QevSlotStatus st;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(QevScGetSlotStatus(0, &st), 0);  // delayed, not failed
    EXPECT_GE(Millis(std::chrono::steady_clock::now() - t0), 55.0);
    EXPECT_EQ(st.CardMask, 7u);

    // 1 MB/s: 64 KB take at least about 64 ms.
    f.bus.Throttle("u", 1000000);
    t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(f.Read(1, 0, 128), 0);
    EXPECT_GE(Millis(std::chrono::steady_clock::now() - t0), 60.0);
    f.bus.Throttle("u", 0);

    // A rule file gone bad injects nothing and breaks nothing.
    { std::ofstream(f.bus.Dir() + "/u/unit.toml", std::ios::app) << "\n[[faults.rule]]\nid = 9\nop = \"explode\"\n"; }
    EXPECT_EQ(f.Read(1, 0), 0);
    EXPECT_THROW(f.bus.Bus().Faults("u"), vbus::Error);
    { std::ofstream(f.bus.Dir() + "/u/fault-counts") << "\x01\x02garbage[[\n"; }
    f.bus.ClearFaults("u");
    uint32_t id = f.bus.SetFault("u", "op=read count=next:1 effect=readerror");
    EXPECT_EQ(f.Read(1, 0), QEV_E_READ_ERROR);
    EXPECT_EQ(f.bus.FireCount("u", id), 1u);
}

TEST(Fault, ManyProcessesOnOneRuleLoseNoHit)
{
    Faulty f;
    uint32_t counted = f.bus.SetFault("u", "slot=1 op=read count=off effect=readerror");
    uint32_t failing = f.bus.SetFault("u", "slot=1 op=read count=next:50 effect=readerror");
    constexpr int kProcesses = 6, kReads = 300;
    std::vector<pid_t> pids;
    for (int p = 0; p < kProcesses; ++p) {
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            // Each process reports how many of its reads failed.
            QevSlotRecord t[QEV_MAX_TARGETS];
            if (ScanAll(t) != 11) ::_exit(255);
            std::vector<uint8_t> buf(512);
            int failed = 0;
            for (int i = 0; i < kReads; ++i) {
                int32_t rc = QevScRead10(1, 0, 1, buf.data(), 512);
                if (rc == QEV_E_READ_ERROR) ++failed;
                else if (rc != 0) ::_exit(254);
            }
            ::_exit(failed);
        }
        pids.push_back(pid);
    }
    int failedInAll = 0;
    for (pid_t pid : pids) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        ASSERT_LT(WEXITSTATUS(status), 254);
        failedInAll += WEXITSTATUS(status);
    }
    EXPECT_EQ(failedInAll, 50);
    EXPECT_EQ(f.bus.FireCount("u", failing), 50u);
    for (const auto &r : f.bus.Bus().Faults("u")) {
        if (r.id == counted) EXPECT_EQ(r.hits, static_cast<uint64_t>(kProcesses * kReads));
        if (r.id == failing) EXPECT_EQ(r.hits, static_cast<uint64_t>(kProcesses * kReads));
    }
}

TEST(Fault, CountingNeverWaitsForAChangeOfTheDescription)
{
    Faulty f;
    uint32_t id = f.bus.SetFault("u", "op=scan count=off effect=drop");
    // tvqunit holds the unit's lock while its change reaches the disk, which
    // may take seconds: scans and counting go on meanwhile.
    vbus::UnitLock held(f.bus.Dir() + "/u", 1000);
    ASSERT_TRUE(held.Locked());
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 3; ++i) EXPECT_EQ(ScanAll(f.t), 11);
    EXPECT_LT(Millis(std::chrono::steady_clock::now() - t0), 5000.0);  // a wait for the lock would be seconds each
    for (const auto &r : f.bus.Bus().Faults("u"))
        if (r.id == id) EXPECT_EQ(r.hits, 3u);
}

TEST(Fault, ACardsOwnSpeedBesideTheUnits)
{
    Faulty f;
    f.bus.Bus().ChangeUnit("u", [](vbus::Unit &u) {
        for (auto &c : u.cards)
            if (c.slot == 2) c.throttleBytesPerSecond = 1000000;
    });
    // Stored with that card alone, and read back so.
    vbus::Unit u = f.bus.Bus().GetUnit("u");
    std::map<int, uint64_t> speed;
    for (const auto &c : u.cards) speed[c.slot] = c.throttleBytesPerSecond;
    EXPECT_EQ(speed, (std::map<int, uint64_t>{{1, 0}, {2, 1000000}, {3, 0}}));

    // 64 KiB: 65.536 ms on slot 2's card, nothing on the others; a VD write takes as long as its slowest card.
    const uint64_t bytes = 128 * 512;
    uint64_t one[1] = {0}, two[1] = {1000000}, all[3] = {0, 1000000, 0};
    EXPECT_EQ(vbus::CallNs(u.unitDesc, one, 1, bytes, 0), 0);
    EXPECT_EQ(vbus::CallNs(u.unitDesc, two, 1, bytes, 0), 65536000);
    EXPECT_EQ(vbus::CallNs(u.unitDesc, all, 3, bytes, 0), 65536000);
    // The unit's own limit and delay: a fast card waits for the unit, a slow unit for nothing more.
    u.unitDesc.throttleBytesPerSecond = 10000000;
    u.unitDesc.callDelayMs = 2;
    EXPECT_EQ(vbus::CallNs(u.unitDesc, one, 1, bytes, 0), 2000000 + 6553600);
    EXPECT_EQ(vbus::CallNs(u.unitDesc, two, 1, bytes, 3), 5000000 + 65536000);
    uint64_t huge[1] = {UINT64_C(1) << 62};
    EXPECT_EQ(vbus::CallNs(u.unitDesc, huge, 1, bytes, 0), 2000000 + 6553600);

    // The library waits for slot 2's card.
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(f.Read(2, 0, 128), 0);
    EXPECT_GE(Millis(std::chrono::steady_clock::now() - t0), 60.0);
}
