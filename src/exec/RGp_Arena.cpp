#include "exec/RGp_Arena.h"

#include <algorithm>
#include <new>

namespace {

// Chunks double from the first size up to the last, which keeps them below
// the size at which glibc maps fresh pages for every traversal.
constexpr size_t kFirstChunk = 4096;
constexpr size_t kLastChunk = 64 * 1024;

}  // namespace

RGp_Arena::~RGp_Arena() {
  while (Chunk* c = chunks_) {
    chunks_ = c->next;
#ifdef RGP_ARENA_ASAN
    ASAN_UNPOISON_MEMORY_REGION(c, c->bytes);
#endif
    ::operator delete(c);
  }
}

void RGp_Arena::NewChunk(size_t need) {
  const size_t header = (sizeof(Chunk) + kAlign - 1) & ~(kAlign - 1);
  next_bytes_ = next_bytes_ == 0 ? kFirstChunk : std::min(next_bytes_ * 2, kLastChunk);
  const size_t bytes = std::max(next_bytes_, header + need);
  auto* c = static_cast<Chunk*>(::operator new(bytes));
  c->next = chunks_;
  c->bytes = bytes;
  chunks_ = c;
  cursor_ = reinterpret_cast<char*>(c) + header;
  left_ = bytes - header;
}
