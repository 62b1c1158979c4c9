// Platform services and tracked memory: failure injection, tracked
// allocation, clocks, the main thread and the purge loop; and the per-thread
// recycling of tracked blocks by size class, whose figures must stay exact
// through reuse, across threads and past a thread's end.
#include <cstring>
#include <new>
#include <thread>
#include <vector>

#include "rghost/U_Errors.h"
#include "rghost/U_Memory.h"
#include "rghost/U_Services.h"
#include "support/LeakCheck.h"

namespace {

class UServicesTest : public LeakCheckTest {};

struct Tracked : U_MemTrackedObject {
  char payload[40] = {};
};

long Clock() {
  double seconds = 0;
  return U_SecondsSinceBoot(&seconds);
}

TEST_F(UServicesTest, InjectedFailureCountsDownFiresOnceAndDisarms) {
  const long long start = U_FallibleCallCount();
  U_InjectFailure(2, 77);
  EXPECT_EQ(Clock(), 0);
  EXPECT_EQ(Clock(), 0);
  EXPECT_EQ(Clock(), 77);
  EXPECT_EQ(Clock(), 0);
  EXPECT_EQ(U_FallibleCallCount() - start, 4);

  U_InjectFailure(0, 0);  // no code given: the default one
  EXPECT_EQ(Clock(), U_ERR_INJECTED);

  U_InjectFailure(0, 5);
  U_ClearInjectedFailure();
  EXPECT_EQ(Clock(), 0);

  // A new injection replaces the armed one.
  U_InjectFailure(5, 1);
  U_InjectFailure(1, 2);
  EXPECT_EQ(Clock(), 0);
  EXPECT_EQ(Clock(), 2);
  EXPECT_EQ(Clock(), 0);
}

TEST_F(UServicesTest, TrackedObjectsAreCounted) {
  const U_TrackedStats before = U_GetTrackedStats();
  Tracked* one = new Tracked;
  Tracked* many = new Tracked[3];
  U_TrackedStats during = U_GetTrackedStats();
  EXPECT_EQ(during.live_objects, before.live_objects + 2);
  EXPECT_GE(during.live_bytes, before.live_bytes + long(4 * sizeof(Tracked)));
  EXPECT_EQ(during.allocations, before.allocations + 2);
  EXPECT_GE(during.peak_bytes, during.live_bytes);
  delete one;
  delete[] many;
  EXPECT_EQ(U_GetTrackedStats().live_objects, before.live_objects);
  EXPECT_EQ(U_GetTrackedStats().live_bytes, before.live_bytes);

  void* raw = U_MemTrackedObject::TrackedNew(100, true);
  EXPECT_EQ(U_GetTrackedStats().live_bytes, before.live_bytes + 100);
  const char zeros[100] = {};
  EXPECT_EQ(std::memcmp(raw, zeros, sizeof zeros), 0);
  U_MemTrackedObject::TrackedDelete(raw);
  U_MemTrackedObject::TrackedDelete(nullptr);

  std::vector<int, U_Allocator<int>> v(1000, 7);
  EXPECT_EQ(U_GetTrackedStats().live_objects, before.live_objects + 1);
}

TEST_F(UServicesTest, InjectedAllocationFailureThrowsBadAlloc) {
  U_InjectFailure(1, U_ERR_OUT_OF_MEMORY);
  Tracked* first = new Tracked;  // the one call that still succeeds
  EXPECT_THROW(new Tracked, std::bad_alloc);
  delete first;
  U_InjectFailure(0, 3);
  EXPECT_THROW(U_MemTrackedObject::TrackedNew(8, false), std::bad_alloc);
  U_InjectFailure(0, 3);
  EXPECT_THROW((std::vector<int, U_Allocator<int>>(4)), std::bad_alloc);
}

double FixedClock() { return 12.5; }
double NearWrapClock() { return 4294967.296 + 1.0; }  // 2^32 ms plus a second

TEST_F(UServicesTest, ClockCanBeReplaced) {
  double seconds = 0;
  U_SetClock(&FixedClock);
  ASSERT_EQ(U_SecondsSinceBoot(&seconds), 0);
  EXPECT_EQ(seconds, 12.5);
  EXPECT_EQ(TickCount(), 12500u);
  U_SetClock(&NearWrapClock);
  EXPECT_NEAR(double(TickCount()), 1000.0, 1.0);
  U_SetClock(nullptr);  // back to the system clock
  ASSERT_EQ(U_SecondsSinceBoot(&seconds), 0);
  EXPECT_NEAR(double(TickCount()), seconds * 1000.0, 1000.0);
}

TEST_F(UServicesTest, MainThreadIsTheLoaderUntilChanged) {
  EXPECT_TRUE(U_IsOnMainThread());
  bool other = true;
  std::thread([&] { other = U_IsOnMainThread(); }).join();
  EXPECT_FALSE(other);

  bool claimed = false;
  std::thread([&] {
    U_SetMainThread();
    claimed = U_IsOnMainThread();
  }).join();
  EXPECT_TRUE(claimed);
  EXPECT_FALSE(U_IsOnMainThread());
  U_SetMainThread();
  EXPECT_TRUE(U_IsOnMainThread());
}

// A pretend cache that the purge hook empties so that the retry fits.
struct PurgeWorld {
  bool cacheFull = true;
  int attempts = 0;
  int purges = 0;
  size_t purgedFor = 0;
  long failWith = U_ERR_OUT_OF_MEMORY;
};

long TryAllocate(void* context) {
  auto* w = static_cast<PurgeWorld*>(context);
  ++w->attempts;
  return w->cacheFull ? w->failWith : 0;
}

void Purge(void* context, size_t bytes) {
  auto* w = static_cast<PurgeWorld*>(context);
  ++w->purges;
  w->purgedFor = bytes;
  w->cacheFull = false;
}

TEST_F(UServicesTest, PurgeLoopRetriesOnceAfterTheHooks) {
  PurgeWorld world;
  U_AddPurgeHook(&Purge, &world);
  EXPECT_EQ(U_PurgeLoop(4096, &TryAllocate, &world, 0), 0);
  EXPECT_EQ(world.attempts, 2);
  EXPECT_EQ(world.purges, 1);
  EXPECT_EQ(world.purgedFor, 4096u);

  // Success first time: no purge.
  EXPECT_EQ(U_PurgeLoop(10, &TryAllocate, &world, 0), 0);
  EXPECT_EQ(world.attempts, 3);
  EXPECT_EQ(world.purges, 1);

  // Another error is returned as it is, without purging.
  PurgeWorld broken;
  broken.failWith = U_ERR_BAD_PARAMETER;
  U_AddPurgeHook(&Purge, &broken);
  EXPECT_EQ(U_PurgeLoop(10, &TryAllocate, &broken, 0), U_ERR_BAD_PARAMETER);
  EXPECT_EQ(broken.attempts, 1);
  EXPECT_EQ(broken.purges, 0);
  U_RemovePurgeHook(&Purge, &broken);
  U_RemovePurgeHook(&Purge, &world);

  // Without hooks nothing frees memory: two attempts, then the failure.
  PurgeWorld stuck;
  EXPECT_EQ(U_PurgeLoop(10, &TryAllocate, &stuck, 0), U_ERR_OUT_OF_MEMORY);
  EXPECT_EQ(stuck.attempts, 2);
  EXPECT_EQ(stuck.purges, 0);

  U_InjectFailure(0, 31);
  EXPECT_EQ(U_PurgeLoop(10, &TryAllocate, &stuck, 0), 31);
  EXPECT_EQ(stuck.attempts, 2);

  // A hook without context frees memory the same way, until it is removed.
  static PurgeWorld* simpleWorld = nullptr;
  PurgeWorld plain;
  simpleWorld = &plain;
  const U_SimplePurgeHook simple = [](size_t bytes) { Purge(simpleWorld, bytes); };
  U_AddPurgeHook(simple);
  EXPECT_EQ(U_PurgeLoop(64, &TryAllocate, &plain, 0), 0);
  EXPECT_EQ(plain.purges, 1);
  EXPECT_EQ(plain.purgedFor, 64u);
  U_RemovePurgeHook(simple);
  plain.cacheFull = true;
  EXPECT_EQ(U_PurgeLoop(64, &TryAllocate, &plain, 0), U_ERR_OUT_OF_MEMORY);
  EXPECT_EQ(plain.purges, 1);
}

// ---- recycled blocks ----

class UMemoryReuseTest : public LeakCheckTest {};

TEST_F(UMemoryReuseTest, FiguresStayExactWhileBlocksAreReused) {
  const U_TrackedStats before = U_GetTrackedStats();
  // Sizes at and around the class boundaries (steps of 16, then powers of
  // two), the largest recycled size and the first one beyond it.
  const size_t sizes[] = {0,
                          1,
                          15,
                          16,
                          17,
                          100,
                          511,
                          512,
                          513,
                          1024,
                          1025,
                          4096,
                          (size_t{1} << 20),
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
