// Test data: bytes that differ from sector to sector and seed to seed, made
// 8 at a time so that 64 MB stay quick in the sanitizer build.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

namespace tvqtest {

inline std::vector<uint8_t> Pattern(size_t bytes, uint32_t seed)
{
    std::vector<uint8_t> v(bytes);
    uint64_t x = seed * 0x9E3779B97F4A7C15ull + 7;
    for (size_t i = 0; i < bytes; i += 8) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        std::memcpy(v.data() + i, &x, std::min<size_t>(8, bytes - i));
    }
    return v;
}

}  // namespace tvqtest
