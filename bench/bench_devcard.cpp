// READ(10)/WRITE(10) of libqevcrdio.so on a card bound to a loop device
// (1 GiB), in 128-sector calls, side by side with dd bs=64k iflag=direct /
// oflag=direct on the same device in the same run.
//
//   bench_devcard [--size-mib N] [--rounds N] [--dir DIR]
//
// The loop device's file lies in DIR (default /dev/shm, a tmpfs), so both
// sides measure their own cost and the loop device's, not the disk under the
// file. A first round warms the file up and is not counted; of the others the
// best counts. The library gets a page-aligned buffer, as dd has; the
// figure for an unaligned one (its bounce buffer) is shown beside.
// Needs root and loop devices: elsewhere it says why and ends with status 0.
#include "BenchUtil.h"
#include "VBus.h"
#include "qevcrdio.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace bench;

int32_t AcceptAll(const uint8_t *)
{
    return -1;
}

}  // namespace

int main(int argc, char **argv)
{
    Options opt;
    opt.rounds = 3;
    opt.dir = "/dev/shm";
    if (!ParseOptions(argc, argv, "bench_devcard", &opt)) return 2;
    const uint64_t sizeMiB = opt.sizeMiB;
    const int rounds = opt.rounds;
    const std::string base = opt.dir;
    if (geteuid() != 0 || access("/dev/loop-control", W_OK) != 0) {
        std::printf("bench_devcard: skipped: loop devices need root and /dev/loop-control\n");
        return 0;
    }
    const uint64_t bytes = sizeMiB << 20;
    struct statvfs vfs;
    if (statvfs(base.c_str(), &vfs) != 0 || static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize < bytes + (64u << 20)) {
        std::printf("bench_devcard: skipped: %s has no room for a %llu MiB card (--dir names another folder)\n",
                    base.c_str(), static_cast<unsigned long long>(sizeMiB));
        return 0;
    }
    const std::string root = MakeScratchDir(base, "bench-devcard");
    if (root.empty()) return 1;
    std::string file = root + "/card.img", loop;
    int rc = 0;
    try {
        int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) throw vbus::Error("cannot make " + file);
        bool sized = ftruncate(fd, static_cast<off_t>(bytes)) == 0;
        close(fd);
        if (!sized) throw vbus::Error("cannot size " + file);
        loop = Output("losetup -f --show " + file + " 2>/dev/null");
        if (loop.rfind("/dev/loop", 0) != 0) throw vbus::Error("losetup could not attach " + file);

        vbus::Bus bus(root + "/bus");
        setenv("QEVCRDIO_BUS", bus.Dir().c_str(), 1);
        bus.CreateUnit("bench", vbus::UnitDesc{});
        bus.InsertDevice("bench", 1, loop);
        QevSlotRecord table[QEV_MAX_TARGETS];
        if (QevScScanEx(AcceptAll, "TVQ-MTX", table) != 11) throw vbus::Error("scan did not find the unit");
        const uint32_t target = 1;  // VD first: slot 1
        const uint32_t sectors = static_cast<uint32_t>(bytes / 512);
        const uint32_t block = 128;
        void *aligned = nullptr;
        if (posix_memalign(&aligned, 4096, block * 512 + 4096) != 0) throw vbus::Error("out of memory");
        uint8_t *buf = static_cast<uint8_t *>(aligned);
        for (size_t i = 0; i < block * 512 + 4096; ++i) buf[i] = static_cast<uint8_t>(i * 7 + 1);
        uint8_t *odd = buf + 16;  // where a plain new[] would put it

        double cpuLib = 0, cpuDd = 0;  // of the last run of each
        auto libWrite = [&](uint8_t *b) {
            double c0 = SelfCpu();
            auto t0 = Clock::now();
            for (uint32_t lba = 0; lba < sectors; lba += block) {
                b[0] = static_cast<uint8_t>(lba >> 7);
                if (QevScWrite10(target, lba, block, b, 512) != 0) throw vbus::Error("write failed");
            }
            double s = Seconds(Clock::now() - t0);
            cpuLib = SelfCpu() - c0;
            return s;
        };
        auto libRead = [&](uint8_t *b) {
            double c0 = SelfCpu();
            auto t0 = Clock::now();
            uint64_t bad = 0;
            for (uint32_t lba = 0; lba < sectors; lba += block) {
                if (QevScRead10(target, lba, block, b, 512) != 0) throw vbus::Error("read failed");
                bad += b[0] != static_cast<uint8_t>(lba >> 7);
            }
            double s = Seconds(Clock::now() - t0);
            cpuLib = SelfCpu() - c0;
            if (bad) throw vbus::Error("read back wrong data in " + std::to_string(bad) + " blocks");
            return s;
        };
        std::string blocks = std::to_string(bytes / 65536);
        auto ddWrite = [&] {
            double d = TimeRun({"dd", "if=/dev/zero", "of=" + loop, "bs=64k", "count=" + blocks, "oflag=direct",
                                "status=none"},
                               &cpuDd);
            if (d < 0) throw vbus::Error("dd write failed");
            return d;
        };
        auto ddRead = [&] {
            double d =
                TimeRun({"dd", "if=" + loop, "of=/dev/null", "bs=64k", "iflag=direct", "status=none"}, &cpuDd);
            if (d < 0) throw vbus::Error("dd read failed");
            return d;
        };

        // Warm-up: the file's pages come into being.
        libWrite(buf);
        ddWrite();
        double best[6] = {1e30, 1e30, 1e30, 1e30, 1e30, 1e30};
        double cpu[4] = {1e30, 1e30, 1e30, 1e30};  // least CPU time: library/dd write, library/dd read
        for (int r = 0; r < rounds; ++r) {
            best[0] = std::min(best[0], libWrite(buf));
            cpu[0] = std::min(cpu[0], cpuLib);
            best[1] = std::min(best[1], ddWrite());
            cpu[1] = std::min(cpu[1], cpuDd);
            best[4] = std::min(best[4], libWrite(odd));
            best[2] = std::min(best[2], libRead(buf));
            cpu[2] = std::min(cpu[2], cpuLib);
            best[3] = std::min(best[3], ddRead());
            cpu[3] = std::min(cpu[3], cpuDd);
            best[5] = std::min(best[5], libRead(odd));
        }
        QevScFree();
        std::free(aligned);
        double mib = static_cast<double>(sizeMiB);
        std::printf("qevcrdio READ(10)/WRITE(10) on a %llu MiB loop-device card (file in %s), 128-sector calls, "
                    "best of %d rounds\n",
                    static_cast<unsigned long long>(sizeMiB), base.c_str(), rounds);
        std::printf("  write: library %8.1f MiB/s   dd bs=64k oflag=direct %8.1f MiB/s   ratio %.2fx"
                    "   (unaligned buffer %8.1f MiB/s, %.2fx)\n",
                    mib / best[0], mib / best[1], best[1] / best[0], mib / best[4], best[1] / best[4]);
        std::printf("  read:  library %8.1f MiB/s   dd bs=64k iflag=direct %8.1f MiB/s   ratio %.2fx"
                    "   (unaligned buffer %8.1f MiB/s, %.2fx)\n",
                    mib / best[2], mib / best[3], best[3] / best[2], mib / best[5], best[3] / best[5]);
        std::printf("  CPU time (s), write: library %.3f, dd %.3f; read: library %.3f, dd %.3f\n", cpu[0], cpu[1],
                    cpu[2], cpu[3]);
        bool met = best[1] / best[0] >= 0.9 && best[3] / best[2] >= 0.9;
        std::printf("  goal >= 0.90x dd in both directions: %s\n", met ? "met" : "NOT met");
    } catch (const std::exception &e) {
        std::fprintf(stderr, "bench_devcard: %s\n", e.what());
        rc = 1;
    }
    if (!loop.empty()) TimeRun({"losetup", "-d", loop});
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
    return rc;
}
