// Byte buffers that start on a page. The kernel copies into and out of them
// at full speed (a large malloc'd buffer starts 16 bytes past a page, which
// costs its copies a sixth or more per byte), and a card bound to a device,
// read and written directly, takes them without a bounce buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

template <class T>
struct PageAlloc {
    using value_type = T;
    static constexpr std::align_val_t kAlign{4096};
    PageAlloc() = default;
    template <class U>
    PageAlloc(const PageAlloc<U> &) noexcept
    {
    }
    T *allocate(size_t n) { return static_cast<T *>(::operator new(n * sizeof(T), kAlign)); }
    void deallocate(T *p, size_t) noexcept { ::operator delete(p, kAlign); }
    template <class U>
    bool operator==(const PageAlloc<U> &) const noexcept
    {
        return true;
    }
    template <class U>
    bool operator!=(const PageAlloc<U> &) const noexcept
    {
        return false;
    }
};

using Bytes = std::vector<uint8_t, PageAlloc<uint8_t>>;
