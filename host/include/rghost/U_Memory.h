// The host's tracked memory: class-level allocation for the library's
// objects, raw tracked storage for containers, allocation accounting and the
// purge-and-retry loop.
#pragma once

#include <cstddef>
#include <limits>
#include <new>

// Base of every object allocated with the host's tracked allocator. It has no
// data and no virtual functions; allocation failure throws std::bad_alloc.
class U_MemTrackedObject {
 public:
  static void* operator new(size_t size);
  static void* operator new[](size_t size);
  static void operator delete(void* p) noexcept;
  static void operator delete[](void* p) noexcept;

  // Raw tracked storage; `clear` zero-fills it. Throws std::bad_alloc.
  static void* TrackedNew(size_t size, bool clear);
  static void TrackedDelete(void* p) noexcept;
};

// Standard allocator over the tracked storage.
template <class T>
struct U_Allocator {
  using value_type = T;
  U_Allocator() noexcept = default;
  template <class U>
  U_Allocator(const U_Allocator<U>&) noexcept {}
  T* allocate(size_t n) {
    if (n > std::numeric_limits<size_t>::max() / sizeof(T)) throw std::bad_alloc();
    return static_cast<T*>(U_MemTrackedObject::TrackedNew(n * sizeof(T), false));
  }
  void deallocate(T* p, size_t) noexcept { U_MemTrackedObject::TrackedDelete(p); }
  template <class U>
  bool operator==(const U_Allocator<U>&) const noexcept {
    return true;
  }
};

struct U_TrackedStats {
  long live_objects = 0;      // tracked blocks alive
  long long live_bytes = 0;   // bytes of those blocks
  long long peak_bytes = 0;   // highest live_bytes seen, to within 64 KiB per thread
  long long allocations = 0;  // blocks allocated since the process started
};
U_TrackedStats U_GetTrackedStats();

// Keeps a running total of large allocations: allocated true adds, false subtracts.
void U_AccountAllocationEx(size_t bytes, bool allocated);
long long U_AccountedBytes();

// Runs callback(context), which performs an allocation of `bytes` bytes and
// leaves the result in context, returning 0 or an error code. On
// U_ERR_OUT_OF_MEMORY the registered purge hooks run and the callback is tried
// once more. Returns the callback's last code.
using U_PurgeCallback = long (*)(void* context);
long U_PurgeLoop(size_t bytes, U_PurgeCallback callback, void* context, long reserved);

// A purge hook frees what it can towards `bytes` bytes.
using U_PurgeHook = void (*)(void* context, size_t bytes);
void U_AddPurgeHook(U_PurgeHook hook, void* context);
void U_RemovePurgeHook(U_PurgeHook hook, void* context);
// The same for a hook that needs no context.
using U_SimplePurgeHook = void (*)(size_t bytes);
void U_AddPurgeHook(U_SimplePurgeHook hook);
void U_RemovePurgeHook(U_SimplePurgeHook hook);
