// Frame-sized buffers on the kernel's huge pages where it offers them on
// request (transparent huge pages in "madvise" mode, Debian's default). A
// 6000x4000 float frame spans 94,000 small pages, each a fault on first
// touch, and on our virtual machines those faults took a tenth of such a
// render; huge pages take a 512th of the faults.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>

inline constexpr size_t kHugePageBytes = size_t{2} << 20;

// Asks for huge pages over the whole huge pages within [p, p + bytes). A
// hint: where the kernel declines, nothing changes. Only memory not yet
// touched gains.
inline void AdviseHugePages(void* p, size_t bytes) {
  const uintptr_t first = reinterpret_cast<uintptr_t>(p);
  const uintptr_t begin = (first + kHugePageBytes - 1) & ~(kHugePageBytes - 1);
  const uintptr_t end = (first + bytes) & ~(kHugePageBytes - 1);
  if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

// For containers of frame-sized arrays: blocks of at least two huge pages
// are aligned to them and advised; smaller ones come from operator new.
template <class T>
struct LargeBufferAllocator {
  using value_type = T;
  LargeBufferAllocator() = default;
  template <class U>
  explicit LargeBufferAllocator(const LargeBufferAllocator<U>&) {}

  static bool Large(size_t n) { return n * sizeof(T) >= 2 * kHugePageBytes; }
  T* allocate(size_t n) {
    if (n > (SIZE_MAX - kHugePageBytes) / sizeof(T)) throw std::bad_array_new_length();
    if (!Large(n)) return static_cast<T*>(::operator new(n * sizeof(T)));
    const size_t bytes = (n * sizeof(T) + kHugePageBytes - 1) & ~(kHugePageBytes - 1);
    void* p = std::aligned_alloc(kHugePageBytes, bytes);
    if (p == nullptr) throw std::bad_alloc();
    AdviseHugePages(p, bytes);
    return static_cast<T*>(p);
  }
  void deallocate(T* p, size_t n) {
    if (Large(n)) {
      std::free(p);
    } else {
      ::operator delete(p);
    }
  }
  friend bool operator==(const LargeBufferAllocator&, const LargeBufferAllocator&) { return true; }
};
