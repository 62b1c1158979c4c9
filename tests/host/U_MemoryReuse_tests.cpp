// Tracked blocks are recycled per thread by size class; the figures must stay
// exact through reuse, across threads and past a thread's end, and recycled
// storage must behave like fresh storage.
#include <cstring>
#include <thread>
#include <vector>

#include "rghost/U_Memory.h"
#include "support/LeakCheck.h"

namespace {

class UMemoryReuseTest : public LeakCheckTest {};

TEST_F(UMemoryReuseTest, FiguresStayExactWhileBlocksAreReused) {
  const U_TrackedStats before = U_GetTrackedStats();
  // Sizes at and around the class boundaries (steps of 16, then powers of
  // two), the largest recycled size and the first one beyond it.
  const size_t sizes[] = {0,    1,    15,   16,    17,      100,           511,
                          512,  513,  1024, 1025,  4096,    (size_t{1} << 20),
                          (size_t{1} << 20) + 1};
  long long bytes = 0;
  for (int round = 0; round < 3; ++round) {
    std::vector<void*> blocks;
    for (size_t s : sizes) {
      void* p = U_MemTrackedObject::TrackedNew(s, false);
      // The whole requested size is usable (ASan would catch an overrun).
      if (s) std::memset(p, 0xAB, s);
      blocks.push_back(p);
      if (round == 0) bytes += static_cast<long long>(s);
    }
    const U_TrackedStats during = U_GetTrackedStats();
    EXPECT_EQ(during.live_objects, before.live_objects + long(std::size(sizes)));
    EXPECT_EQ(during.live_bytes, before.live_bytes + bytes);
    EXPECT_EQ(during.allocations,
              before.allocations + (round + 1) * static_cast<long long>(std::size(sizes)));
    EXPECT_GE(during.peak_bytes, during.live_bytes);
    for (void* p : blocks) U_MemTrackedObject::TrackedDelete(p);
    EXPECT_EQ(U_GetTrackedStats().live_objects, before.live_objects);
    EXPECT_EQ(U_GetTrackedStats().live_bytes, before.live_bytes);
  }
}

TEST_F(UMemoryReuseTest, ABlockServesTheNextRequestOfItsClass) {
  for (size_t first : {size_t{40}, size_t{3000}, size_t{100000}}) {
    SCOPED_TRACE(first);
    void* p = U_MemTrackedObject::TrackedNew(first, false);
    U_MemTrackedObject::TrackedDelete(p);
    // Same class (a step of 16, or the same power of two), so the same block.
    void* q = U_MemTrackedObject::TrackedNew(first + first / 8, false);
    EXPECT_EQ(q, p);
    U_MemTrackedObject::TrackedDelete(q);
  }
}

TEST_F(UMemoryReuseTest, ClearedBlocksAreZeroEvenWhenRecycled) {
  // Dirty a block of each class, release it, then ask for cleared storage of
  // the same size: it most likely comes back from the free list.
  for (size_t s : {8u, 40u, 200u, 512u, 3000u}) {
    void* dirty = U_MemTrackedObject::TrackedNew(s, false);
    std::memset(dirty, 0xFF, s);
    U_MemTrackedObject::TrackedDelete(dirty);
    auto* clean = static_cast<unsigned char*>(U_MemTrackedObject::TrackedNew(s, true));
    for (size_t i = 0; i < s; ++i) ASSERT_EQ(clean[i], 0) << "size " << s << " byte " << i;
    U_MemTrackedObject::TrackedDelete(clean);
  }
}

TEST_F(UMemoryReuseTest, BlocksCrossingThreadsAndOutlivingTheirThreadAreCounted) {
  const U_TrackedStats before = U_GetTrackedStats();
  void* fromThread = nullptr;
  std::thread worker([&] {
    // Made, recycled and partly kept on a thread that then ends.
    for (int i = 0; i < 100; ++i) {
      U_MemTrackedObject::TrackedDelete(U_MemTrackedObject::TrackedNew(48, false));
    }
    fromThread = U_MemTrackedObject::TrackedNew(48, false);
  });
  worker.join();
  U_TrackedStats after = U_GetTrackedStats();
  EXPECT_EQ(after.live_objects, before.live_objects + 1);
  EXPECT_EQ(after.live_bytes, before.live_bytes + 48);
  EXPECT_EQ(after.allocations, before.allocations + 101);

  // Released here, reused here, and a block of this thread released there.
  U_MemTrackedObject::TrackedDelete(fromThread);
  void* mine = U_MemTrackedObject::TrackedNew(48, false);
  std::thread releaser([&] { U_MemTrackedObject::TrackedDelete(mine); });
  releaser.join();
  after = U_GetTrackedStats();
  EXPECT_EQ(after.live_objects, before.live_objects);
  EXPECT_EQ(after.live_bytes, before.live_bytes);
  EXPECT_EQ(after.allocations, before.allocations + 102);
}

}  // namespace
