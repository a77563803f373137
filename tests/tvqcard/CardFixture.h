// What the tvqcard suites share: a fresh virtual bus, tvqcard run against it,
// and the files and sums the tests compare with.
#pragma once

#include "Pattern.h"
#include "ToolRun.h"
#include "VirtualBus.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <sys/stat.h>

namespace tvqtest {

constexpr uint64_t kMiB = 1u << 20;

// The whole file, read in one go (the byte-wise reader is slow for 64 MB in the sanitizer build).
inline std::vector<uint8_t> Whole(const std::string &path)
{
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return {};
    return VirtualBus::ReadFile(path, 0, static_cast<size_t>(st.st_size));
}

inline bool Same(const uint8_t *a, const uint8_t *b, size_t n)
{
    return std::memcmp(a, b, n) == 0;
}

inline std::string Sha256sum(const std::string &path)
{
    std::string cmd = "sha256sum '" + path + "'";
    FILE *p = ::popen(cmd.c_str(), "r");
    if (!p) return "";
    char buf[256] = {};
    std::string line = std::fgets(buf, sizeof buf, p) ? buf : "";
    ::pclose(p);
    return line.substr(0, 64);
}

inline std::vector<uint8_t> Sectors(const std::string &image, uint64_t lba, uint64_t count)
{
    return VirtualBus::ReadFile(image, lba * 512, static_cast<size_t>(count * 512));
}

struct Fixture {
    VirtualBus bus;
    Result Run(const std::vector<std::string> &args, std::map<std::string, std::string> env = {})
    {
        ToolRun t(bus.ScratchDir(), std::move(env));
        EXPECT_TRUE(t.Start(args));
        return t.Wait();
    }
    std::string File(const std::string &name, const std::vector<uint8_t> &bytes) { return bus.WriteFile(name, bytes); }
    std::string Path(const std::string &name) { return bus.ScratchDir() + "/" + name; }
};

inline std::string All(const std::vector<std::string> &args)
{
    std::string s;
    for (const auto &a : args) s += a + " ";
    return s;
}

#define EXPECT_RUN(r, status, args) EXPECT_EQ((r).rc, status) << All(args) << "\nstdout: " << (r).out << "\nstderr: " << (r).err

}  // namespace tvqtest
