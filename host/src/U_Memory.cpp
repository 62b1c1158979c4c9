// Tracked allocation: every block carries a small header with its size so
// that delete can keep the live figures right without being told the size.
//
// The library makes and drops many small blocks per node and per execution
// (nodes, input lists, checkout results, table entries), so small blocks are
// kept on per-thread free lists by size class and reused, and the per-block
// bookkeeping avoids shared read-modify-writes: block counts are per-thread
// counters that only their thread writes, summed on demand, and each thread
// keeps its change of the live byte total to itself until it exceeds
// kBytesBatch either way, when it adds it to the shared total (which the peak
// follows). A locked instruction per block would also wait for every store
// before it, which on a traversal's walk of cold memory costs more than the
// instruction itself.
#include "rghost/U_Memory.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>

#include "U_BlockPool.h"
#include "U_Fallible.h"

#if defined(__SANITIZE_ADDRESS__)
#define UH_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define UH_ASAN 1
#endif
#endif
#ifdef UH_ASAN
#include <sanitizer/asan_interface.h>
#define UH_POISON(p, n) ASAN_POISON_MEMORY_REGION((p), (n))
#define UH_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION((p), (n))
#else
#define UH_POISON(p, n) ((void)(p), (void)(n))
#define UH_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace {

// The header keeps the payload aligned as malloc would have aligned it.
constexpr size_t kHeader = alignof(std::max_align_t) > sizeof(size_t) ? alignof(std::max_align_t)
                                                                      : sizeof(size_t);

// Payloads up to kMaxPooled bytes are reused from the thread's free list of
// their size class: multiples of kGrain up to kMaxSmall bytes, then powers of
// two (arena chunks, tables and the pixels of small worlds). Every such block
// is allocated at its class size on every path, so any thread may cache any
// block and hand it to a request of the same class.
constexpr size_t kGrain = 16;
constexpr size_t kMaxSmall = 512;
constexpr size_t kSmallClasses = kMaxSmall / kGrain;
constexpr int kMaxPooledLog2 = 20;
constexpr size_t kMaxPooled = size_t{1} << kMaxPooledLog2;
constexpr int kSmallLog2 = 9;  // log2(kMaxSmall)
constexpr size_t kClasses = kSmallClasses + (kMaxPooledLog2 - kSmallLog2);
// Beyond this many cached bytes a thread gives freed blocks back to malloc.
// Generous, so that a graph of a million nodes is dropped and rebuilt
// without glibc coalescing and splitting every block, and a traversal's
// large blocks are not unmapped and faulted in again by the next one; what
// is cached goes back to malloc when the host purges (a purge hook) or a
// malloc fails.
constexpr size_t kCacheLimitBytes = size_t{256} << 20;
// How far a thread's own change of the live byte total may run before it is
// added to the shared total: the peak is exact to within this much per thread.
constexpr long long kBytesBatch = 64 << 10;

// Larger blocks (the pixels of frames) are kept, a few at a time and
// process-wide, for the next request of about their size: glibc maps and
// unmaps blocks this large on every call, so each frame's buffer would be
// faulted in page by page again. A block is reused for a request of at least
// half its size; what is kept goes back to malloc when the host purges or a
// malloc fails. Such a block's header holds its size and then its capacity.
constexpr int kLargeSlots = 2;
constexpr size_t kLargeCacheLimitBytes = size_t{1} << 30;
static_assert(kHeader >= 2 * sizeof(size_t));

constexpr size_t ClassOf(size_t size) {
  if (size <= kMaxSmall) return size == 0 ? 0 : (size - 1) / kGrain;
  // 513..1024 is the first power-of-two class.
  return kSmallClasses + static_cast<size_t>(64 - __builtin_clzll(size - 1)) - kSmallLog2 - 1;
}
constexpr size_t ClassBytes(size_t c) {
  return kHeader +
         (c < kSmallClasses ? (c + 1) * kGrain : size_t{1} << (c - kSmallClasses + kSmallLog2 + 1));
}
static_assert(ClassOf(512) == kSmallClasses - 1 && ClassOf(513) == kSmallClasses);
static_assert(ClassBytes(ClassOf(1024)) == kHeader + 1024 && ClassOf(1025) == kSmallClasses + 1);
static_assert(ClassOf(kMaxPooled) == kClasses - 1 &&
              ClassBytes(kClasses - 1) == kHeader + kMaxPooled);

std::atomic<long long> g_live_bytes{0};
std::atomic<long long> g_peak_bytes{0};
// Block counts of threads that have ended (or whose cache is gone).
std::atomic<long long> g_retired_allocations{0};
std::atomic<long long> g_retired_releases{0};

// One thread's free lists and block counts, made on the thread's first
// tracked allocation or release and taken down by a ThreadReaper when the
// thread ends.
struct ThreadCache {
  struct FreeBlock {
    FreeBlock* next;
  };

  // Only the owning thread writes these counters, so a plain load and store
  // replace the locked increment; readers sum them under the registry mutex.
  std::atomic<long long> allocations{0};
  std::atomic<long long> releases{0};
  std::atomic<long long> pending_bytes{0};  // not yet in g_live_bytes
  ThreadCache* prev = nullptr;
  ThreadCache* next = nullptr;
  FreeBlock* heads[kClasses] = {};
  size_t cached_bytes = 0;

  // A cached block of class c (header included), or null.
  void* Pop(size_t c) {
    FreeBlock* b = heads[c];
    if (!b) return nullptr;
    UH_UNPOISON(b, ClassBytes(c));
    heads[c] = b->next;
    cached_bytes -= ClassBytes(c);
    return b;
  }

  // Gives every cached block back to malloc.
  void Flush() {
    for (size_t k = 0; k < kClasses; ++k) {
      while (void* b = Pop(k)) std::free(b);
    }
  }

  // Keeps a block of class c for reuse; false when the cache is full.
  bool Push(void* block, size_t c) {
    if (cached_bytes + ClassBytes(c) > kCacheLimitBytes) return false;
    FreeBlock* b = static_cast<FreeBlock*>(block);
    b->next = heads[c];
    heads[c] = b;
    cached_bytes += ClassBytes(c);
    // Off limits under AddressSanitizer until handed out again.
    UH_POISON(b, ClassBytes(c));
    return true;
  }
};

std::mutex g_registry_mutex;
ThreadCache* g_registry = nullptr;  // every live thread's cache, linked

// Initial-exec: a plain %fs-relative load on every allocation instead of a
// call to __tls_get_addr. Only a pointer and a flag, so the static TLS the
// model needs stays tiny.
__attribute__((tls_model("initial-exec"))) thread_local ThreadCache* t_cache = nullptr;
// Set once the cache has been taken down at thread exit (or could not be
// made): blocks made or released later on the thread bypass it and are
// counted in the retired totals.
__attribute__((tls_model("initial-exec"))) thread_local bool t_cache_gone = false;

void Bump(std::atomic<long long>& counter) {
  counter.store(counter.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

struct ThreadReaper {
  ~ThreadReaper() {
    ThreadCache* c = t_cache;
    t_cache = nullptr;
    t_cache_gone = true;
    if (!c) return;
    {
      std::lock_guard<std::mutex> lock(g_registry_mutex);
      g_retired_allocations.fetch_add(c->allocations.load(std::memory_order_relaxed),
                                      std::memory_order_relaxed);
      g_retired_releases.fetch_add(c->releases.load(std::memory_order_relaxed),
                                   std::memory_order_relaxed);
      g_live_bytes.fetch_add(c->pending_bytes.load(std::memory_order_relaxed),
                             std::memory_order_relaxed);
      if (c->prev)
        c->prev->next = c->next;
      else
        g_registry = c->next;
      if (c->next) c->next->prev = c->prev;
    }
    c->Flush();
    c->~ThreadCache();
    std::free(c);
  }
};

class LargeBlocks {
 public:
  // A kept block (header included) of at least `total` bytes and at most
  // twice that, with its capacity, or null.
  void* Take(size_t total, size_t& capacity) {
    std::lock_guard<std::mutex> lock(mutex_);
    Slot* best = nullptr;
    for (Slot& s : slots_) {
      if (s.block && s.capacity >= total && s.capacity / 2 <= total &&
          (!best || s.capacity < best->capacity))
        best = &s;
    }
    if (!best) return nullptr;
    void* block = best->block;
    capacity = best->capacity;
    *best = Slot{};
    kept_bytes_ -= capacity;
    UH_UNPOISON(block, capacity);
    return block;
  }

  // Keeps a block as the newest, in the first free slot's place; the oldest
  // makes room only when no slot is free, and a block beyond the limit is
  // freed at once.
  void Give(void* block, size_t capacity) {
    void* freed[kLargeSlots + 1] = {};
    int count = 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto drop = [&](Slot& s) {
        UH_UNPOISON(s.block, s.capacity);
        freed[count++] = s.block;
        kept_bytes_ -= s.capacity;
        s = Slot{};
      };
      if (capacity > kLargeCacheLimitBytes) {
        freed[count++] = block;
      } else {
        auto gap =
            std::find_if(slots_.begin(), slots_.end(), [](const Slot& s) { return !s.block; });
        if (gap == slots_.end()) drop(*--gap);
        std::move_backward(slots_.begin(), gap, gap + 1);
        slots_[0] = Slot{block, capacity};
        kept_bytes_ += capacity;
        for (int i = kLargeSlots - 1; i > 0 && kept_bytes_ > kLargeCacheLimitBytes; --i)
          if (slots_[i].block) drop(slots_[i]);
        UH_POISON(block, capacity);
      }
    }
    for (int i = 0; i < count; ++i) std::free(freed[i]);
  }

  // Gives every kept block back to malloc.
  void Flush() {
    std::array<Slot, kLargeSlots> taken;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      taken = std::exchange(slots_, {});
      kept_bytes_ = 0;
    }
    for (const Slot& s : taken) {
      if (!s.block) continue;
      UH_UNPOISON(s.block, s.capacity);
      std::free(s.block);
    }
  }

 private:
  struct Slot {
    void* block = nullptr;
    size_t capacity = 0;
  };
  std::mutex mutex_;
  std::array<Slot, kLargeSlots> slots_;  // newest first
  size_t kept_bytes_ = 0;
};

// Never destroyed: blocks may be released during static destruction.
LargeBlocks& Large() {
  static LargeBlocks* blocks = new LargeBlocks;
  return *blocks;
}

// Purge hook: memory is short, so the calling thread's cache goes back to
// malloc (other threads' lists are theirs alone to touch), and so do the
// kept large blocks.
void PurgeCache(void*, size_t) {
  if (ThreadCache* c = t_cache) c->Flush();
  Large().Flush();
}

__attribute__((noinline)) ThreadCache* MakeCache() {
  if (t_cache_gone) return nullptr;
  static std::once_flag hookOnce;
  std::call_once(hookOnce, [] { U_AddPurgeHook(&PurgeCache, nullptr); });
  void* storage = std::malloc(sizeof(ThreadCache));
  if (!storage) return nullptr;  // this allocation goes without the cache
  static thread_local ThreadReaper reaper;
  (void)&reaper;  // constructed here, so it is destroyed at thread exit
  ThreadCache* c = new (storage) ThreadCache;
  std::lock_guard<std::mutex> lock(g_registry_mutex);
  c->next = g_registry;
  if (c->next) c->next->prev = c;
  g_registry = c;
  t_cache = c;
  return c;
}

// The thread's cache, or null once the thread is ending.
inline ThreadCache* Cache() {
  ThreadCache* c = t_cache;
  return __builtin_expect(c != nullptr, 1) ? c : MakeCache();
}

void NotePeak(long long live) {
  long long peak = g_peak_bytes.load(std::memory_order_relaxed);
  while (live > peak &&
         !g_peak_bytes.compare_exchange_weak(peak, live, std::memory_order_relaxed)) {
  }
}

// Adds `delta` to the live byte total: to the thread's own part while it
// stays within the batch, else to the shared total.
void ChangeLiveBytes(ThreadCache* cache, long long delta) {
  if (cache) {
    const long long pending = cache->pending_bytes.load(std::memory_order_relaxed) + delta;
    if (pending < kBytesBatch && pending > -kBytesBatch) {
      cache->pending_bytes.store(pending, std::memory_order_relaxed);
      return;
    }
    cache->pending_bytes.store(0, std::memory_order_relaxed);
    delta = pending;
  }
  const long long live = g_live_bytes.fetch_add(delta, std::memory_order_relaxed) + delta;
  if (delta > 0) NotePeak(live);
}

// A block of `size` bytes with its header written, from the thread's cache
// when it is small, or null when malloc fails even after the cache is flushed.
void* TakeBlock(ThreadCache* cache, size_t size, bool clear) noexcept {
  if (size > std::numeric_limits<size_t>::max() - kHeader) return nullptr;
  void* block = nullptr;
  size_t total = size + kHeader;
  size_t capacity = total;
  if (size <= kMaxPooled) {
    const size_t c = ClassOf(size);
    total = ClassBytes(c);
    if (cache) block = cache->Pop(c);
  } else {
    block = Large().Take(total, capacity);
  }
  if (block && clear) std::memset(static_cast<char*>(block) + kHeader, 0, size);
  if (!block) {
    capacity = total;
    block = clear ? std::calloc(1, total) : std::malloc(total);
  }
  if (!block) {
    if (cache) cache->Flush();
    Large().Flush();
    block = clear ? std::calloc(1, total) : std::malloc(total);
  }
  if (block) {
    std::memcpy(block, &size, sizeof size);
    if (size > kMaxPooled)
      std::memcpy(static_cast<char*>(block) + sizeof size, &capacity, sizeof capacity);
  }
  return block;
}

// Keeps a released block in the thread's cache or gives it back to malloc;
// returns its payload size.
size_t GiveBlock(ThreadCache* cache, void* block) noexcept {
  size_t size;
  std::memcpy(&size, block, sizeof size);
  if (size > kMaxPooled) {
    size_t capacity;
    std::memcpy(&capacity, static_cast<char*>(block) + sizeof size, sizeof capacity);
    Large().Give(block, capacity);
  } else if (!(cache && cache->Push(block, ClassOf(size)))) {
    std::free(block);
  }
  return size;
}

void* Allocate(size_t size, bool clear) {
  if (Uh_NextFallibleCall() != 0) Uh_FailAllocation(size);
  ThreadCache* cache = Cache();
  void* block = TakeBlock(cache, size, clear);
  if (!block) Uh_FailAllocation(size);
  if (cache)
    Bump(cache->allocations);
  else
    g_retired_allocations.fetch_add(1, std::memory_order_relaxed);
  ChangeLiveBytes(cache, static_cast<long long>(size));
  return static_cast<char*>(block) + kHeader;
}

void Release(void* p) noexcept {
  if (!p) return;
  // No cache is made here (that could fail, and this must not): a thread
  // whose first tracked call is a release frees the block directly.
  ThreadCache* cache = t_cache;
  if (cache)
    Bump(cache->releases);
  else
    g_retired_releases.fetch_add(1, std::memory_order_relaxed);
  const size_t size = GiveBlock(cache, static_cast<char*>(p) - kHeader);
  ChangeLiveBytes(cache, -static_cast<long long>(size));
}

}  // namespace

void* Uh_PoolAllocate(size_t size) {
  void* block = TakeBlock(Cache(), size, false);
  return block ? static_cast<char*>(block) + kHeader : nullptr;
}

void Uh_PoolRelease(void* p) noexcept {
  if (p) GiveBlock(t_cache, static_cast<char*>(p) - kHeader);
}

void* U_MemTrackedObject::operator new(size_t size) { return Allocate(size, false); }
void* U_MemTrackedObject::operator new[](size_t size) { return Allocate(size, false); }
void U_MemTrackedObject::operator delete(void* p) noexcept { Release(p); }
void U_MemTrackedObject::operator delete[](void* p) noexcept { Release(p); }

void* U_MemTrackedObject::TrackedNew(size_t size, bool clear) { return Allocate(size, clear); }
void U_MemTrackedObject::TrackedDelete(void* p) noexcept { Release(p); }

U_TrackedStats U_GetTrackedStats() {
  long long allocations = 0;
  long long releases = 0;
  long long live = 0;
  {
    std::lock_guard<std::mutex> lock(g_registry_mutex);
    allocations = g_retired_allocations.load(std::memory_order_relaxed);
    releases = g_retired_releases.load(std::memory_order_relaxed);
    live = g_live_bytes.load(std::memory_order_relaxed);
    for (const ThreadCache* c = g_registry; c; c = c->next) {
      allocations += c->allocations.load(std::memory_order_relaxed);
      releases += c->releases.load(std::memory_order_relaxed);
      live += c->pending_bytes.load(std::memory_order_relaxed);
    }
  }
  NotePeak(live);
  U_TrackedStats stats;
  stats.live_objects = static_cast<long>(allocations - releases);
  stats.live_bytes = live;
  stats.peak_bytes = g_peak_bytes.load(std::memory_order_relaxed);
  stats.allocations = allocations;
  return stats;
}
