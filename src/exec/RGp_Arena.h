// Memory for the invocations of one traversal.
//
// Ownership: the arena owns its chunks (ordinary memory: invocations are the
// engine's bookkeeping, not host objects, and the host's tracked counters
// stay a count of results, nodes and buffers) and frees them
// when it dies; it runs no destructors. Objects placed in it are destroyed by
// their owners and their memory stays until the arena goes.
//
// A traversal makes a few objects per node and drops them all together at
// its end, and its passes walk the nodes in about the order they were made:
// bump allocation keeps a node's objects side by side and the passes'
// accesses close to sequential, where free lists scattered them over memory
// last touched a traversal ago.
#pragma once

#include <cstddef>

#if defined(__SANITIZE_ADDRESS__)
#define RGP_ARENA_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define RGP_ARENA_ASAN 1
#endif
#endif
#ifdef RGP_ARENA_ASAN
#include <sanitizer/asan_interface.h>
#endif

class RGp_Arena {
 public:
  RGp_Arena() = default;
  ~RGp_Arena();
  RGp_Arena(const RGp_Arena&) = delete;
  RGp_Arena& operator=(const RGp_Arena&) = delete;

  // Storage for `size` bytes, aligned as malloc aligns. Throws
  // std::bad_alloc when a chunk cannot be had.
  void* Allocate(size_t size) {
    size = (size + kAlign - 1) & ~(kAlign - 1);
    if (size > left_) NewChunk(size);
    void* p = cursor_;
    cursor_ += size;
    left_ -= size;
    return p;
  }

  // An object placed here was destroyed: its bytes are off limits from now
  // on (checked under AddressSanitizer; nothing to do otherwise).
  static void Retire(void* p, size_t size) noexcept {
#ifdef RGP_ARENA_ASAN
    ASAN_POISON_MEMORY_REGION(p, size);
#else
    (void)p;
    (void)size;
#endif
  }

 private:
  static constexpr size_t kAlign = alignof(std::max_align_t);
  struct Chunk {
    Chunk* next;
    size_t bytes;
  };

  void NewChunk(size_t need);

  Chunk* chunks_ = nullptr;  // owned, newest first
  char* cursor_ = nullptr;
  size_t left_ = 0;
  size_t next_bytes_ = 0;
};
