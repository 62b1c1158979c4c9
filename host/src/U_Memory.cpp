// Tracked allocation: every block carries a small header with its size so
// that delete can keep the live figures right without being told the size.
#include "rghost/U_Memory.h"

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "U_Fallible.h"

namespace {

// The header keeps the payload aligned as malloc would have aligned it.
constexpr size_t kHeader = alignof(std::max_align_t) > sizeof(size_t) ? alignof(std::max_align_t)
                                                                         : sizeof(size_t);

std::atomic<long> g_live_objects{0};
std::atomic<long long> g_live_bytes{0};
std::atomic<long long> g_peak_bytes{0};
std::atomic<long long> g_allocations{0};

void NotePeak(long long live) {
  long long peak = g_peak_bytes.load(std::memory_order_relaxed);
  while (live > peak &&
         !g_peak_bytes.compare_exchange_weak(peak, live, std::memory_order_relaxed)) {
  }
}

void* Allocate(size_t size, bool clear) {
  if (Uh_NextFallibleCall() != 0) throw std::bad_alloc();
  if (size > std::numeric_limits<size_t>::max() - kHeader) throw std::bad_alloc();
  const size_t total = size + kHeader;
  void* block = clear ? std::calloc(1, total) : std::malloc(total);
  if (!block) throw std::bad_alloc();
  std::memcpy(block, &size, sizeof size);
  g_live_objects.fetch_add(1, std::memory_order_relaxed);
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  NotePeak(g_live_bytes.fetch_add(static_cast<long long>(size), std::memory_order_relaxed) +
           static_cast<long long>(size));
  return static_cast<char*>(block) + kHeader;
}

void Release(void* p) noexcept {
  if (!p) return;
  void* block = static_cast<char*>(p) - kHeader;
  size_t size;
  std::memcpy(&size, block, sizeof size);
  g_live_objects.fetch_sub(1, std::memory_order_relaxed);
  g_live_bytes.fetch_sub(static_cast<long long>(size), std::memory_order_relaxed);
  std::free(block);
}

}  // namespace

void* U_MemTrackedObject::operator new(size_t size) { return Allocate(size, false); }
void* U_MemTrackedObject::operator new[](size_t size) { return Allocate(size, false); }
void U_MemTrackedObject::operator delete(void* p) noexcept { Release(p); }
void U_MemTrackedObject::operator delete[](void* p) noexcept { Release(p); }

void* U_MemTrackedObject::TrackedNew(size_t size, bool clear) { return Allocate(size, clear); }
void U_MemTrackedObject::TrackedDelete(void* p) noexcept { Release(p); }

U_TrackedStats U_GetTrackedStats() {
  U_TrackedStats stats;
  stats.live_objects = g_live_objects.load(std::memory_order_relaxed);
  stats.live_bytes = g_live_bytes.load(std::memory_order_relaxed);
  stats.peak_bytes = g_peak_bytes.load(std::memory_order_relaxed);
  stats.allocations = g_allocations.load(std::memory_order_relaxed);
  return stats;
}
