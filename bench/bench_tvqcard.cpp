// tvqcard against the system tools on the same 1 GiB virtual card, in one run:
// read against dd bs=64k, write against dd bs=64k, compare against cmp, hash
// against sha256sum; and a VD write to 10 cards against 10 single writes.
//
//   bench_tvqcard [--size-mib N] [--rounds N] [--dir DIR]
//
// Every command is a process of its own, timed from start to exit, best of the
// rounds. The library flushes the cards it wrote when tvqcard releases the
// unit, so dd's write flushes too (conv=fsync); the rest stays in the page cache.
// Before every timed run the same command runs once untimed, and before each
// run the outputs are removed and the system synced.
#include "BenchUtil.h"

#include "VBus.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::string toolDir;

// CPU time (user + system) of the last command Time ran.
double lastCpu = 0;

// Runs argv (stdout to /dev/null); the wall time, negative when it failed.
double Time(const std::vector<std::string> &args, bool allowOne = false)
{
    std::fflush(stdout);  // the child must not print what the parent has buffered
    const auto t0 = Clock::now();
    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        std::vector<char *> argv;
        for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        if (std::freopen("/dev/null", "w", stdout) == nullptr) _exit(126);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    struct rusage ru = {};
    wait4(pid, &status, 0, &ru);
    const double s = std::chrono::duration<double>(Clock::now() - t0).count();
    lastCpu = bench::Cpu(ru);
    const bool ok = WIFEXITED(status) && (WEXITSTATUS(status) == 0 || (allowOne && WEXITSTATUS(status) == 1));
    return ok ? s : -1;
}

std::string Tvqcard()
{
    return toolDir + "/tvqcard";
}

void Fill(const std::string &path, uint64_t bytes, uint32_t seed)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    std::vector<uint32_t> block(1 << 18);
    uint32_t x = seed * 2654435761u + 1;
    for (uint64_t done = 0; done < bytes; done += block.size() * 4) {
        for (auto &w : block) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            w = x;
        }
        f.write(reinterpret_cast<const char *>(block.data()),
                static_cast<std::streamsize>(std::min<uint64_t>(bytes - done, block.size() * 4)));
    }
}

struct Row {
    const char *what;
    std::vector<std::string> ours, theirs;
    const char *reference;
    double best[2] = {1e9, 1e9};
    double cpu[2] = {1e9, 1e9};  // least CPU time of a round
};

}  // namespace

int main(int argc, char **argv)
{
    bench::Options opt;
    opt.rounds = 3;
    if (!bench::ParseOptions(argc, argv, "bench_tvqcard", &opt)) return 2;
    const uint64_t sizeMib = opt.sizeMiB;
    const int rounds = opt.rounds;
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return 1;
    self[n] = '\0';
    toolDir = std::filesystem::path(self).parent_path().string();
    if (access(Tvqcard().c_str(), X_OK) != 0) {
        std::fprintf(stderr, "bench_tvqcard: %s is not built\n", Tvqcard().c_str());
        return 1;
    }

    const std::string dir = bench::MakeScratchDir(opt.dir, "tvq-bench-card");
    if (dir.empty()) return 1;
    setenv("QEVCRDIO_BUS", (dir + "/bus").c_str(), 1);
    const uint64_t bytes = sizeMib << 20;
    int status = 0;
    try {
        vbus::Bus bus(dir + "/bus");
        vbus::UnitDesc desc;
        bus.CreateUnit("u", desc);
        const std::string src = dir + "/src.img";
        Fill(src, bytes, 1);
        const std::string card = bus.InsertImage("u", 1, src);  // a copy: the card holds src
        const std::string out = dir + "/out.img", ddOut = dir + "/dd-out.img";
        Row rows[] = {
            {"read", {Tvqcard(), "-q", "read", "1", out}, {"dd", "if=" + card, "of=" + ddOut, "bs=64k", "status=none"}, "dd bs=64k"},
            {"write", {Tvqcard(), "-q", "write", src, "1"},
             {"dd", "if=" + src, "of=" + card, "bs=64k", "conv=notrunc,fsync", "status=none"}, "dd fsync"},
            {"compare", {Tvqcard(), "-q", "compare", "1", src}, {"cmp", card, src}, "cmp"},
            {"hash", {Tvqcard(), "-q", "hash", "1"}, {"sha256sum", card}, "sha256sum"},
        };
        for (int r = 0; r < rounds; ++r) {
            for (Row &row : rows) {
                for (int side = 0; side < 2; ++side) {
                    // Each side starts alike: no output file to truncate, no dirty pages
                    // of the run before to wait for, and (after an untimed run of its
                    // own) memory the kernel has just freed: on a virtual machine that
                    // takes freed pages back, the first to touch 1 GiB afresh pays for it.
                    for (int warm = 0; warm < 2; ++warm) {
                        ::unlink(out.c_str());
                        ::unlink(ddOut.c_str());
                        ::sync();
                        if (warm == 0 && Time(side == 0 ? row.ours : row.theirs) < 0)
                            throw vbus::Error(std::string(row.what) + " failed");
                    }
                    const double s = Time(side == 0 ? row.ours : row.theirs);
                    if (s < 0) throw vbus::Error(std::string(row.what) + " failed");
                    if (s < row.best[side]) row.best[side] = s;
                    if (lastCpu < row.cpu[side]) row.cpu[side] = lastCpu;
                }
            }
        }
        std::printf("tvqcard on a %llu MiB virtual card, best of %d rounds\n", static_cast<unsigned long long>(sizeMib),
                    rounds);
        double load[3] = {0, 0, 0};
        if (getloadavg(load, 3) > 0) std::printf("load average %.2f on %ld cores\n", load[0], sysconf(_SC_NPROCESSORS_ONLN));
        std::printf("%-8s %12s %-10s %12s %7s  %-7s %s\n", "", "tvqcard", "reference", "", "ratio", "goal",
                    "CPU s (tvqcard / reference)");
        for (const Row &row : rows) {
            const double mine = static_cast<double>(bytes) / row.best[0] / (1 << 20);
            const double theirs = static_cast<double>(bytes) / row.best[1] / (1 << 20);
            const double ratio = row.best[1] / row.best[0];
            std::printf("%-8s %7.0f MiB/s %-10s %7.0f MiB/s %6.2fx  >= 0.9x  %.3f / %.3f%s\n", row.what, mine,
                        row.reference, theirs, ratio, row.cpu[0], row.cpu[1], ratio >= 0.9 ? "" : "  MISSED");
        }

        // The VD duplicates into every card: one write against ten.
        vbus::Bus ten(dir + "/bus");
        vbus::UnitDesc d10;
        ten.CreateUnit("v", d10);
        ten.Unplug("u");
        const uint64_t small = std::min<uint64_t>(bytes, 64ull << 20);
        const std::string src10 = dir + "/src10.img";
        Fill(src10, small, 2);
        for (int s = 1; s <= 10; ++s) ten.InsertBlank("v", s, small);
        double vd = 1e9, singles = 1e9;
        for (int r = 0; r < rounds; ++r) {
            double t = Time({Tvqcard(), "-q", "write", src10, "vd"});
            if (t < 0) throw vbus::Error("VD write failed");
            vd = std::min(vd, t);
            double sum = 0;
            for (int s = 1; s <= 10; ++s) {
                t = Time({Tvqcard(), "-q", "write", src10, std::to_string(s)});
                if (t < 0) throw vbus::Error("single write failed");
                sum += t;
            }
            singles = std::min(singles, sum);
        }
        std::printf("VD write of %llu MiB to 10 cards: %.3f s; 10 single writes: %.3f s (%.2fx)%s\n",
                    static_cast<unsigned long long>(small >> 20), vd, singles, singles / vd,
                    vd < singles ? "" : "  MISSED");
    } catch (const std::exception &e) {
        std::fprintf(stderr, "bench_tvqcard: %s\n", e.what());
        status = 1;
    }
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return status;
}
