// Time of a unit search through the library: a complete unit (one scan), an
// incomplete one (all 22 scans), and a unit behind other devices on the bus.
#include "VBus.h"
#include "scsiio.h"
#include "tvq2xx.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

namespace {

double MsPerSearch(int reps, uint32_t *found)
{
    SlotTableType table;
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < reps; ++i) {
        std::memset(&table, 0, sizeof(table));
        *found = ScanUnit(table);
    }
    const auto t1 = std::chrono::steady_clock::now();
    return std::chrono::duration<double, std::milli>(t1 - t0).count() / reps;
}

void Measure(const char *what, const std::string &dir, void (*setup)(vbus::Bus &))
{
    std::filesystem::create_directories(dir);
    setenv("QEVCRDIO_BUS", dir.c_str(), 1);
    vbus::Bus bus(dir);
    setup(bus);
    uint32_t found = 0;
    MsPerSearch(3, &found);  // warm the library's cache
    const double ms = MsPerSearch(50, &found);
    std::printf("  %-44s %2u targets  %8.3f ms per search\n", what, found, ms);
}

}  // namespace

int main()
{
    std::string why;
    if (!LoadScsiLibrary(&why)) {
        std::fprintf(stderr, "bench_scan: %s\n", why.c_str());
        return 1;
    }
    std::string tmpl = (std::filesystem::temp_directory_path() / "bench_scan.XXXXXX").string();
    const char *root = mkdtemp(tmpl.data());
    if (root == nullptr) {
        std::perror("bench_scan: mkdtemp");
        return 1;
    }
    const std::string base = root;
    std::printf("unit search (ScanUnit through libqevcrdio.so)\n");
    Measure("TVQ-210CF, complete (1 scan)", base + "/a", [](vbus::Bus &b) { b.CreateUnit("u", vbus::UnitDesc()); });
    Measure("TVQ-210CF, 10 targets (22 scans)", base + "/b", [](vbus::Bus &b) {
        vbus::UnitDesc s;
        s.targets = 10;
        b.CreateUnit("u", s);
    });
    Measure("TVQ-206, 6 targets (22 scans)", base + "/c", [](vbus::Bus &b) {
        vbus::UnitDesc s;
        s.model = vbus::Model::Tvq206;
        s.targets = 6;
        b.CreateUnit("u", s);
    });
    Measure("TVQ-210CF behind 4 foreign devices (1 scan)", base + "/d", [](vbus::Bus &b) {
        for (int i = 0; i < 4; ++i) {
            vbus::UnitDesc s;
            s.model = vbus::Model::Foreign;
            s.targets = 2;
            b.CreateUnit("a" + std::to_string(i), s);
        }
        b.CreateUnit("z", vbus::UnitDesc());
    });
    Measure("empty bus (1 scan)", base + "/e", [](vbus::Bus &) {});
    std::error_code ec;
    std::filesystem::remove_all(base, ec);
    return 0;
}
