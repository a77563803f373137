// READ(10)/WRITE(10) through the SCSI generic backend on the emulated
// TVQ-210CF (its card held in memory, so the emulation makes no system call),
// per call, against the virtual bus backend on an image file, in one run.
//
//   bench_sg [--calls N] [--rounds N] [--dir DIR]
//
// Besides the time per 128-sector call, it counts the system calls each call
// costs: it runs itself under strace -f -c for 0 and for N calls of each
// kind and divides the difference by N. The sg path's one ioctl is the
// emulation's function call here, so every system call counted is one the
// backend adds. Without strace only the times are given.
#include "BenchUtil.h"
#include "EmuUnit.h"
#include "VBus.h"
#include "qevcrdio.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using namespace bench;

int32_t AcceptAll(const uint8_t *)
{
    return -1;
}

constexpr uint32_t kCardSectors = 64u * 2048;  // 64 MiB
constexpr uint32_t kBlock = 128;

// Scans the given backend; the target of slot 1 (VD first).
bool Ready(const char *backend)
{
    setenv("QEVCRDIO_BACKEND", backend, 1);
    QevSlotRecord t[QEV_MAX_TARGETS];
    if (QevScScanEx(AcceptAll, "TVQ-MTX", t) != 11) return false;
    std::vector<uint8_t> b(512);
    QevScRead10(1, 0, 1, b.data(), 512);  // the card's unit attention, once
    return QevScRead10(1, 0, 1, b.data(), 512) == 0;
}

// n calls of 128 sectors over the card, reading or writing; false on a failure.
bool Calls(bool write, long n)
{
    std::vector<uint8_t> buf(kBlock * 512, 0x6B);
    for (long i = 0; i < n; ++i) {
        uint32_t lba = static_cast<uint32_t>((i * kBlock) % kCardSectors);
        int32_t rc = write ? QevScWrite10(1, lba, kBlock, buf.data(), 512) : QevScRead10(1, lba, kBlock, buf.data(), 512);
        if (rc != 0) return false;
    }
    return true;
}

void SetUp(const std::string &root)
{
    setenv("XDG_RUNTIME_DIR", root.c_str(), 1);
    tvqtest::Emu().AddUnit(tvqtest::EmuModel::Tvq210CF, false, root).InsertMemory(1, kCardSectors);
    static vbus::Bus *bus = nullptr;
    bus = new vbus::Bus(root + "/bus");
    setenv("QEVCRDIO_BUS", bus->Dir().c_str(), 1);
    vbus::UnitDesc desc;
    desc.model = vbus::Model::Tvq210;
    bus->CreateUnit("u", desc);
    bus->InsertBlank("u", 1, static_cast<uint64_t>(kCardSectors) * 512);
}

// Total system calls of `self --only BACKEND OP N` under strace, or -1.
long Syscalls(const std::string &self, const std::string &root, const char *backend, const char *op, long n)
{
    std::string out = root + "/strace.txt";
    std::string cmd = "strace -f -c -o '" + out + "' '" + self + "' --only " + backend + " " + op + " " +
                      std::to_string(n) + " --dir '" + root + "' >/dev/null 2>&1";
    if (int rc = std::system(cmd.c_str())) {
        std::fprintf(stderr, "%s: %d\n", cmd.c_str(), rc);
        return -1;
    }
    std::ifstream f(out);
    std::string line, last;
    while (std::getline(f, line))
        if (line.find("total") != std::string::npos) last = line;
    // "100.00    0.001234           1      1234        12 total": calls are the 4th field.
    double pct, secs;
    long usecs, calls;
    if (std::sscanf(last.c_str(), "%lf %lf %ld %ld", &pct, &secs, &usecs, &calls) != 4) {
        std::fprintf(stderr, "strace said: %s\n", last.c_str());
        return -1;
    }
    return calls;
}

}  // namespace

int main(int argc, char **argv)
{
    // The child mode that strace counts: --only BACKEND read|write N --dir DIR
    if (argc >= 7 && std::strcmp(argv[1], "--only") == 0) {
        std::string root = argv[6];
        std::string sub = root + "/child-" + argv[2] + "-" + argv[3] + "-" + argv[4];
        std::filesystem::remove_all(sub);
        std::filesystem::create_directories(sub);
        SetUp(sub);
        if (!Ready(argv[2])) return 1;
        bool ok = Calls(std::strcmp(argv[3], "write") == 0, std::atol(argv[4]));
        QevScFree();
        return ok ? 0 : 1;
    }
    Options opt;
    long calls = 4000;
    std::vector<char *> rest{argv[0]};
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--calls") == 0 && i + 1 < argc) calls = std::atol(argv[++i]);
        else rest.push_back(argv[i]);
    }
    if (!ParseOptions(static_cast<int>(rest.size()), rest.data(), "bench_sg", &opt)) return 2;
    const std::string root = MakeScratchDir(opt.dir, "bench-sg");
    if (root.empty()) return 1;
    SetUp(root);
    std::printf("READ(10)/WRITE(10), 128 sectors (64 KiB) per call, %ld calls, best of %d rounds\n", calls,
                opt.rounds);
    std::printf("%-28s %12s %12s\n", "", "us per call", "MB/s");
    int rc = 0;
    for (const char *backend : {"sg", "bus"}) {
        if (!Ready(backend)) {
            std::printf("%s: no unit\n", backend);
            rc = 1;
            continue;
        }
        for (bool write : {false, true}) {
            double best = 1e9;
            for (int r = 0; r < opt.rounds; ++r) {
                auto t0 = Clock::now();
                if (!Calls(write, calls)) {
                    std::printf("%s %s failed\n", backend, write ? "write" : "read");
                    rc = 1;
                    break;
                }
                best = std::min(best, Seconds(Clock::now() - t0));
            }
            char name[64];
            std::snprintf(name, sizeof name, "%s %s", std::strcmp(backend, "sg") == 0 ? "sg (emulated unit)" : "bus (image file)",
                          write ? "WRITE(10)" : "READ(10)");
            std::printf("%-28s %12.2f %12.1f\n", name, best / calls * 1e6, calls * 65536.0 / best / 1e6);
        }
        QevScFree();
    }
    if (std::system("command -v strace >/dev/null 2>&1") != 0) {
        std::printf("strace not found: system calls per call not counted\n");
    } else {
        char self[4096];
        ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
        self[n > 0 ? n : 0] = 0;
        const long k = 2000;
        std::printf("\nsystem calls per call (strace -f -c, %ld calls against none)\n", k);
        for (const char *backend : {"sg", "bus"})
            for (const char *op : {"read", "write"}) {
                long base = Syscalls(self, root, backend, op, 0), more = Syscalls(self, root, backend, op, k);
                if (base < 0 || more < 0) {
                    std::printf("%-4s %-5s  (not measured)\n", backend, op);
                    continue;
                }
                std::printf("%-4s %-5s  %.2f (%+ld in %ld calls)%s\n", backend, op, double(more - base) / k, more - base, k,
                            std::strcmp(backend, "sg") == 0 ? "  (beyond the ioctl, which is the emulation here)" : "");
            }
    }
    std::filesystem::remove_all(root);
    return rc;
}
