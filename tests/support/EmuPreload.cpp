// The emulated unit for whole programs (tvqcard, tvqunit, tvqcrdut): preloaded
// (LD_PRELOAD), it offers the library its port, set up from TVQ_EMU:
//   MODEL:VD:DIR[:BRIDGE]   MODEL 210CF or 206, VD first or last,
// DIR holding the cards as slot<N>.img (the images are used in place).
// Each process has its own unit; only the images are shared.
#include "EmuUnit.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>

namespace {

__attribute__((constructor)) void SetUp()
{
    const char *env = std::getenv("TVQ_EMU");
    if (!env || !*env) return;
    std::string spec = env;
    auto next = [&spec]() {
        size_t c = spec.find(':');
        std::string part = spec.substr(0, c);
        spec = c == std::string::npos ? std::string() : spec.substr(c + 1);
        return part;
    };
    std::string model = next(), vd = next(), dir = next(), bridge = next();
    tvqtest::EmuUnit &u = tvqtest::Emu().AddUnit(model == "206" ? tvqtest::EmuModel::Tvq206 : tvqtest::EmuModel::Tvq210CF,
                                                 vd == "last", dir);
    if (!bridge.empty()) u.SetBridgeProduct(bridge);
    for (int slot = 1; slot <= u.Slots(); ++slot) {
        std::string img = dir + "/slot" + std::to_string(slot) + ".img";
        struct stat st;
        if (::stat(img.c_str(), &st) == 0) u.InsertImage(slot, img);
    }
}

// Whatever the unit did not expect is told on stderr, for the test to find.
__attribute__((destructor)) void Report()
{
    for (const std::string &v : tvqtest::Emu().Violations()) std::fprintf(stderr, "emulated unit saw: %s\n", v.c_str());
}

}  // namespace
