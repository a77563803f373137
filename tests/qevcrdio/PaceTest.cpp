// Slow cards on several threads: a call waits out its time after letting go of
// the library's lock, so calls on other cards go on meanwhile, while the
// unit's own limit still holds for all of its cards together.
#include "LibTestUtil.h"
#include "Pace.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

using namespace tvqtest;

namespace {

constexpr uint64_t kBytes = 128 * 512;  // one call of 128 sectors
constexpr int64_t kAtOneMBps = 65536000;  // its time at 1 MB/s, in ns

struct SlowUnit {
    VirtualBus bus;
    QevSlotRecord t[QEV_MAX_TARGETS];
    SlowUnit()
    {
        bus.AddUnit("u", Model::Tvq210);  // VD first: target s is slot s
        for (int s = 1; s <= 3; ++s) bus.InsertBlank("u", s, 1u << 20);
        EXPECT_EQ(ScanAll(t), 11);
    }
    void CardSpeed(int slot, uint64_t bytesPerSecond)
    {
        bus.Bus().ChangeUnit("u", [&](vbus::Unit &u) {
            for (auto &c : u.cards)
                if (c.slot == slot) c.throttleBytesPerSecond = bytesPerSecond;
        });
    }
    // A rule that only counts the calls reaching it: a call has met it once it is inside the library.
    uint32_t Counter(const std::string &what) { return bus.SetFault("u", what + " count=off effect=notready"); }
    uint64_t Hits(uint32_t id)
    {
        for (const auto &r : bus.Bus().Faults("u"))
            if (r.id == id) return r.hits;
        return 0;
    }
    bool WaitForHits(uint32_t id, uint64_t n)
    {
        for (int i = 0; i < 20000; ++i) {
            if (Hits(id) >= n) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    }
};

double MillisSince(std::chrono::steady_clock::time_point t0)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

TEST(Pace, BookedTimes)
{
    vbus::UnitDesc d;
    const int64_t t = 1000000000;
    int64_t bus = 0, c1 = 0, c2 = 0, c3 = 0;
    int64_t *one[1] = {&c1}, *two[1] = {&c2}, *three[1] = {&c3};
    uint64_t slow[1] = {1000000}, fast[1] = {0};

    // Two slow cards of a fast unit, asked at once: side by side, each as long as alone.
    EXPECT_EQ(vbus::Reserve(d, &bus, one, slow, 1, kBytes, 0, t), t + kAtOneMBps);
    EXPECT_EQ(vbus::Reserve(d, &bus, two, slow, 1, kBytes, 0, t), t + kAtOneMBps);
    EXPECT_EQ(bus, 0);
    // One card takes one call at a time.
    EXPECT_EQ(vbus::Reserve(d, &bus, one, slow, 1, kBytes, 0, t), t + 2 * kAtOneMBps);
    EXPECT_EQ(c1, t + 2 * kAtOneMBps);
    // What was booked before the call may start delays nothing.
    EXPECT_EQ(vbus::Reserve(d, &bus, one, slow, 1, kBytes, 0, t + 5 * kAtOneMBps), t + 6 * kAtOneMBps);

    // A slow unit with fast cards: the unit's limit holds for the three together.
    bus = c1 = c2 = c3 = 0;
    d.throttleBytesPerSecond = 1000000;
    EXPECT_EQ(vbus::Reserve(d, &bus, one, fast, 1, kBytes, 0, t), t + kAtOneMBps);
    EXPECT_EQ(vbus::Reserve(d, &bus, two, fast, 1, kBytes, 0, t), t + 2 * kAtOneMBps);
    EXPECT_EQ(vbus::Reserve(d, &bus, three, fast, 1, kBytes, 0, t), t + 3 * kAtOneMBps);
    EXPECT_EQ(bus, t + 3 * kAtOneMBps);

    // A unit at 2 MB/s with cards at 1 MB/s: two cards fill it, a third waits its turn on the bus.
    bus = c1 = c2 = c3 = 0;
    d.throttleBytesPerSecond = 2000000;
    EXPECT_EQ(vbus::Reserve(d, &bus, one, slow, 1, kBytes, 0, t), t + kAtOneMBps);
    EXPECT_EQ(vbus::Reserve(d, &bus, two, slow, 1, kBytes, 0, t), t + kAtOneMBps);
    EXPECT_EQ(vbus::Reserve(d, &bus, three, slow, 1, kBytes, 0, t), t + kAtOneMBps + kAtOneMBps / 2);

    // A VD write reaches every card: it waits for the busiest and books them all.
    bus = 0;
    c1 = t + 10, c2 = t + 3 * kAtOneMBps, c3 = 0;
    d.throttleBytesPerSecond = 0;
    int64_t *all[3] = {&c1, &c2, &c3};
    uint64_t limits[3] = {0, 1000000, 0};
    EXPECT_EQ(vbus::Reserve(d, &bus, all, limits, 3, kBytes, 0, t), t + 4 * kAtOneMBps);
    EXPECT_EQ(c1, t + 4 * kAtOneMBps);
    EXPECT_EQ(c3, t + 4 * kAtOneMBps);

    // Alone on an idle unit a call takes what CallNs says, delays included.
    d.throttleBytesPerSecond = 10000000;
    d.callDelayMs = 2;
    for (uint64_t card : {UINT64_C(0), UINT64_C(1000000), UINT64_C(1) << 62}) {
        for (uint32_t extra : {0u, 3u}) {
            bus = c1 = 0;
            uint64_t lim[1] = {card};
            EXPECT_EQ(vbus::Reserve(d, &bus, one, lim, 1, kBytes, extra, t) - t,
                      vbus::CallNs(d, lim, 1, kBytes, extra))
                << card << " " << extra;
        }
    }
    // However much is booked, no sum wraps round into the past.
    bus = INT64_MAX - 5;
    d.throttleBytesPerSecond = 1;
    EXPECT_GE(vbus::Reserve(d, &bus, one, fast, 1, kBytes, 0, t), INT64_MAX / 4);
    EXPECT_GE(bus, INT64_MAX / 4);
}

TEST(Pace, ASlowCardHoldsNoOtherCardBack)
{
    SlowUnit f;
    // Slot 1 takes about 2 s for 64 KiB; slot 2 is slow too, but its call is short.
    f.CardSpeed(1, 32000);
    f.CardSpeed(2, 1000000);
    uint32_t reads1 = f.Counter("slot=1 op=read");
    std::atomic<bool> done{false};
    std::atomic<int32_t> rc{-1};
    auto t0 = std::chrono::steady_clock::now();
    std::thread slow([&] {
        std::vector<uint8_t> buf(kBytes);
        rc = QevScRead10(1, 0, 128, buf.data(), 512);
        done = true;
    });
    ASSERT_TRUE(f.WaitForHits(reads1, 1));
    // Slot 1's call is inside the library now, waiting out its time: the others go on.
    std::vector<uint8_t> buf(8 * 512);
    auto data = Pattern(8, 3);
    EXPECT_EQ(QevScRead10(2, 0, 8, buf.data(), 512), 0);
    EXPECT_EQ(QevScWrite10(3, 0, 8, data.data(), 512), 0);
    QevSlotStatus st{};
    EXPECT_EQ(QevScGetSlotStatus(0, &st), 0);
    EXPECT_EQ(st.CardMask, 7u);
    EXPECT_FALSE(done.load()) << "calls on other cards waited for slot 1's";
    slow.join();
    EXPECT_EQ(rc.load(), 0);
    EXPECT_GE(MillisSince(t0), 2000.0);  // slot 1 still took its time
    EXPECT_EQ(VirtualBus::ReadFile(f.bus.CardImage("u", 3), 0, data.size()), data);
}

TEST(Pace, TheUnitsLimitHoldsForAllItsCardsTogether)
{
    SlowUnit f;
    f.bus.Throttle("u", 1000000);
    // Three threads, one card each, 64 KiB each at once: 3 x 65.5 ms at the least.
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::atomic<int> failed{0};
    std::vector<std::thread> threads;
    for (uint32_t slot = 1; slot <= 3; ++slot)
        threads.emplace_back([&, slot] {
            std::vector<uint8_t> buf(kBytes);
            ++ready;
            while (!go) std::this_thread::yield();
            if (QevScRead10(slot, 0, 128, buf.data(), 512) != 0) ++failed;
        });
    while (ready < 3) std::this_thread::yield();
    auto t0 = std::chrono::steady_clock::now();
    go = true;
    for (auto &th : threads) th.join();
    EXPECT_GE(MillisSince(t0), 190.0);
    EXPECT_EQ(failed.load(), 0);
}

TEST(Pace, ACardPulledOrAUnitUnpluggedWhileACallWaits)
{
    SlowUnit f;
    for (int s = 1; s <= 3; ++s) f.CardSpeed(s, 64000);  // 64 KiB: about 1 s
    uint32_t writes = f.Counter("op=write");
    const auto data = Pattern(128, 7);
    // A write on slot s from another thread; once it is inside the library, change
    // runs here, and the write reports what it would have without a change.
    auto whileWriting = [&](uint32_t slot, uint64_t hitsBefore, const std::function<void()> &change) {
        std::atomic<bool> done{false};
        std::atomic<int32_t> rc{-1};
        std::thread writer([&] {
            rc = QevScWrite10(slot, 0, 128, data.data(), 512);
            done = true;
        });
        EXPECT_TRUE(f.WaitForHits(writes, hitsBefore + 1));
        change();
        EXPECT_FALSE(done.load()) << "the change waited for the write on slot " << slot;
        writer.join();
        return rc.load();
    };
    std::vector<uint8_t> buf(512);

    // Pulled (by another process): the card had been met, the write lands on it;
    // the library has let it go meanwhile, and the next call finds the slot empty.
    std::string pulled;
    EXPECT_EQ(whileWriting(1, 0,
                           [&] {
                               pulled = f.bus.Pull("u", 1);
                               EXPECT_EQ(QevScRead10(1, 0, 1, buf.data(), 512), QEV_E_NO_MEDIUM);
                           }),
              0);
    EXPECT_EQ(VirtualBus::ReadFile(pulled, 0, data.size()), data);
    EXPECT_EQ(QevScRead10(1, 0, 1, buf.data(), 512), QEV_E_NO_MEDIUM);

    // Ejected through the library from here.
    std::string image3 = f.bus.CardImage("u", 3);
    EXPECT_EQ(whileWriting(3, 1, [&] { EXPECT_NE(QevScEject(3), 0); }), 0);
    EXPECT_EQ(VirtualBus::ReadFile(image3, 0, data.size()), data);
    EXPECT_FALSE(f.bus.Bus().HasCard("u", 3));

    // The unit unplugged: gone for the next call, not for the one already made.
    std::string image2 = f.bus.CardImage("u", 2);
    EXPECT_EQ(whileWriting(2, 2,
                           [&] {
                               f.bus.Unplug("u");
                               EXPECT_EQ(QevScRead10(2, 0, 1, buf.data(), 512), QEV_E_NO_TARGET);
                           }),
              0);
    EXPECT_EQ(VirtualBus::ReadFile(image2, 0, data.size()), data);
    EXPECT_EQ(QevScWrite10(2, 0, 1, data.data(), 512), QEV_E_NO_TARGET);
}
