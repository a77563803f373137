// READ(10)/WRITE(10) throughput of libqevcrdio.so on a 1 GiB virtual card in
// 128-sector calls, side by side with dd bs=64k on the same image file.
//
//   bench_qevcrdio [--size-mib N] [--rounds N] [--dir DIR]
//
// Each round runs library write, dd write, library read, dd read; the best
// round of each counts. Both sides go through the page cache (no sync), so
// the figures compare the library's per-call cost with dd's. Then what
// durability costs: writes with the unit's sync "always" against dd
// oflag=dsync (64 MiB), and the eject that flushes a freshly written card
// against dd conv=fdatasync writing and flushing the same amount.
#include "BenchUtil.h"
#include "VBus.h"
#include "qevcrdio.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace bench;

int32_t AcceptAll(const uint8_t *)
{
    return -1;
}

double g_ddCpu = 0;  // CPU seconds of the last dd

// Runs dd with the arguments; the wall time (its CPU time in g_ddCpu), or a negative value on failure.
double TimeDd(std::vector<std::string> args)
{
    args.insert(args.begin(), "dd");
    args.push_back("status=none");
    return TimeRun(args, &g_ddCpu);
}

}  // namespace

int main(int argc, char **argv)
{
    Options opt;
    if (!ParseOptions(argc, argv, "bench_qevcrdio", &opt)) return 2;
    const uint64_t sizeMiB = opt.sizeMiB;
    const int rounds = opt.rounds;
    const std::string root = MakeScratchDir(opt.dir, "bench-qevcrdio");
    if (root.empty()) return 1;
    int rc = 0;
    try {
        vbus::Bus bus(root + "/bus");
        setenv("QEVCRDIO_BUS", bus.Dir().c_str(), 1);
        bus.CreateUnit("bench", vbus::UnitDesc{});
        const uint64_t bytes = sizeMiB << 20;
        std::string image = bus.InsertBlank("bench", 1, bytes);
        QevSlotRecord table[QEV_MAX_TARGETS];
        if (QevScScanEx(AcceptAll, "TVQ-MTX", table) != 11) throw vbus::Error("scan did not find the unit");
        const uint32_t target = 1;  // VD first: slot 1
        const uint32_t sectors = static_cast<uint32_t>(bytes / 512);
        const uint32_t block = 128;
        std::vector<uint8_t> buf(block * 512);
        for (size_t i = 0; i < buf.size(); ++i) buf[i] = static_cast<uint8_t>(i * 7 + 1);

        std::string blocks = std::to_string(bytes / 65536);
        auto t0 = Clock::now();
        double best[4] = {1e30, 1e30, 1e30, 1e30};
        // CPU seconds of each side: far less moved by other work on the machine than wall time.
        double cpu[4] = {1e30, 1e30, 1e30, 1e30};
        double c0 = 0;
        for (int r = 0; r < rounds; ++r) {
            // Library write: the whole card, 128 sectors a call.
            t0 = Clock::now();
            c0 = SelfCpu();
            for (uint32_t lba = 0; lba < sectors; lba += block) {
                buf[0] = static_cast<uint8_t>(lba >> 7);
                if (QevScWrite10(target, lba, block, buf.data(), 512) != 0) throw vbus::Error("write failed");
            }
            best[0] = std::min(best[0], Seconds(Clock::now() - t0));
            cpu[0] = std::min(cpu[0], SelfCpu() - c0);
            double d = TimeDd({"if=/dev/zero", "of=" + image, "bs=64k", "count=" + blocks, "conv=notrunc"});
            if (d < 0) throw vbus::Error("dd write failed");
            best[1] = std::min(best[1], d);
            cpu[1] = std::min(cpu[1], g_ddCpu);
            // Rewrite with the library so its read has real, checkable data.
            for (uint32_t lba = 0; lba < sectors; lba += block) {
                buf[0] = static_cast<uint8_t>(lba >> 7);
                if (QevScWrite10(target, lba, block, buf.data(), 512) != 0) throw vbus::Error("write failed");
            }
            t0 = Clock::now();
            c0 = SelfCpu();
            uint64_t bad = 0;
            for (uint32_t lba = 0; lba < sectors; lba += block) {
                if (QevScRead10(target, lba, block, buf.data(), 512) != 0) throw vbus::Error("read failed");
                bad += buf[0] != static_cast<uint8_t>(lba >> 7);
            }
            best[2] = std::min(best[2], Seconds(Clock::now() - t0));
            cpu[2] = std::min(cpu[2], SelfCpu() - c0);
            if (bad) throw vbus::Error("read back wrong data in " + std::to_string(bad) + " blocks");
            d = TimeDd({"if=" + image, "of=/dev/null", "bs=64k"});
            if (d < 0) throw vbus::Error("dd read failed");
            best[3] = std::min(best[3], d);
            cpu[3] = std::min(cpu[3], g_ddCpu);
        }
        double mib = static_cast<double>(sizeMiB);
        std::printf("qevcrdio READ(10)/WRITE(10), %llu MiB card, 128-sector calls, best of %d rounds\n",
                    static_cast<unsigned long long>(sizeMiB), rounds);
        std::printf("  write: library %8.1f MiB/s   dd bs=64k %8.1f MiB/s   ratio %.2fx\n", mib / best[0],
                    mib / best[1], best[1] / best[0]);
        std::printf("  read:  library %8.1f MiB/s   dd bs=64k %8.1f MiB/s   ratio %.2fx\n", mib / best[2],
                    mib / best[3], best[3] / best[2]);
        std::printf("  CPU time: write library %.3f s, dd %.3f s, ratio %.2fx; read library %.3f s, dd %.3f s, "
                    "ratio %.2fx\n", cpu[0], cpu[1], cpu[1] / cpu[0], cpu[2], cpu[3], cpu[3] / cpu[2]);
        double load[3] = {0, 0, 0};
        if (getloadavg(load, 3) > 0) std::printf("  load average now %.2f (%ld CPUs)\n", load[0], sysconf(_SC_NPROCESSORS_ONLN));
        bool met = best[1] / best[0] >= 0.95 && best[3] / best[2] >= 0.95;
        std::printf("  goal >= 0.95x dd in both directions: %s\n", met ? "met" : "NOT met");

        // Every write synchronous: 64 MiB (or the card) each way.
        const uint64_t syncBytes = std::min<uint64_t>(bytes, 64ull << 20);
        const uint32_t syncSectors = static_cast<uint32_t>(syncBytes / 512);
        bus.SetSync("bench", true);
        t0 = Clock::now();
        for (uint32_t lba = 0; lba < syncSectors; lba += block)
            if (QevScWrite10(target, lba, block, buf.data(), 512) != 0) throw vbus::Error("sync write failed");
        double libSync = Seconds(Clock::now() - t0);
        bus.SetSync("bench", false);
        double ddSync = TimeDd({"if=/dev/zero", "of=" + image, "bs=64k", "count=" + std::to_string(syncBytes / 65536),
                                "conv=notrunc", "oflag=dsync"});
        if (ddSync < 0) throw vbus::Error("dd dsync write failed");
        double smib = static_cast<double>(syncBytes >> 20);
        std::printf("  sync always, %llu MiB: library %8.1f MiB/s   dd bs=64k oflag=dsync %8.1f MiB/s   ratio %.2fx\n",
                    static_cast<unsigned long long>(syncBytes >> 20), smib / libSync, smib / ddSync, ddSync / libSync);

        // The whole card written, then ejected: the eject flushes it.
        t0 = Clock::now();
        for (uint32_t lba = 0; lba < sectors; lba += block)
            if (QevScWrite10(target, lba, block, buf.data(), 512) != 0) throw vbus::Error("write failed");
        double written = Seconds(Clock::now() - t0);
        t0 = Clock::now();
        if (QevScEject(target) == 0) throw vbus::Error("eject failed");
        double eject = Seconds(Clock::now() - t0);
        double ddFlush = TimeDd({"if=/dev/zero", "of=" + image, "bs=64k", "count=" + blocks, "conv=notrunc,fdatasync"});
        if (ddFlush < 0) throw vbus::Error("dd fdatasync write failed");
        std::printf("  write + eject (flush) of the card: library %.2f s + %.2f s = %.2f s   dd bs=64k conv=fdatasync %.2f s\n",
                    written, eject, written + eject, ddFlush);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "bench_qevcrdio: %s\n", e.what());
        rc = 1;
    }
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
    return rc;
}
