// Loading and unloading the library as the program does (by name, at run
// time) leaves no descriptor open and no memory behind.
#include "VirtualBus.h"
#include "qevcrdio.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <dlfcn.h>

using namespace tvqtest;

namespace {

int OpenDescriptors()
{
    int n = 0;
    DIR *d = ::opendir("/proc/self/fd");
    if (!d) return -1;
    while (struct dirent *e = ::readdir(d)) n += e->d_name[0] != '.';
    ::closedir(d);
    return n - 1;  // the one opendir holds
}

int32_t AcceptAll(const uint8_t *)
{
    return -1;
}

template <typename F>
F Sym(void *lib, const char *name)
{
    return reinterpret_cast<F>(::dlsym(lib, name));
}

}  // namespace

TEST(Unload, ACycleLeavesNoDescriptorOpen)
{
    VirtualBus bus;
    bus.AddUnit("u");
    bus.InsertBlank("u", 1, 1 << 20);
    bus.InsertBlank("u", 2, 1 << 20);
    bus.SetFault("u", "slot=2 op=read count=off");  // the library keeps counts too
    int before = OpenDescriptors();
    for (int cycle = 0; cycle < 3; ++cycle) {
        void *lib = ::dlopen(QEVCRDIO_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(lib, nullptr) << ::dlerror();
        auto scan = Sym<int32_t (*)(QevScFilter, const char *, QevSlotRecord *)>(lib, "QevScScanEx");
        auto lock = Sym<int32_t (*)(uint32_t)>(lib, "QevScLock");
        auto read = Sym<int32_t (*)(uint32_t, uint32_t, uint32_t, void *, uint32_t)>(lib, "QevScRead10");
        auto write = Sym<int32_t (*)(uint32_t, uint32_t, uint32_t, const void *, uint32_t)>(lib, "QevScWrite10");
        ASSERT_TRUE(scan && lock && read && write);
        QevSlotRecord t[QEV_MAX_TARGETS];
        ASSERT_EQ(scan(AcceptAll, "TVQ-MTX", t), 11);
        for (uint32_t i = 0; i < 11; ++i) lock(i);
        std::vector<uint8_t> buf(128 * 512, 0x5A);
        ASSERT_EQ(write(1, 0, 128, buf.data(), 512), 0);
        ASSERT_EQ(read(2, 0, 128, buf.data(), 512), 0);
        EXPECT_GT(OpenDescriptors(), before);  // images, the bus watch, the target locks are open now
        ASSERT_EQ(::dlclose(lib), 0);
        EXPECT_EQ(OpenDescriptors(), before) << "cycle " << cycle;
    }
    // What was written before the unload is in the image.
    EXPECT_EQ(VirtualBus::ReadFile(bus.CardImage("u", 1), 0, 512), std::vector<uint8_t>(512, 0x5A));
}
