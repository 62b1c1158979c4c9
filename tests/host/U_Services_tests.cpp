// Platform services and tracked memory: failure injection, clocks, the main
// thread, the purge loop, and tracked blocks recycled by size class, whose
// figures must stay exact through reuse, across threads and past a thread's end.
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

long Clock() {
  double seconds = 0;
  return U_SecondsSinceBoot(&seconds);
}
std::vector<long> Clocks(int n) {
  std::vector<long> codes;
  while (n-- > 0) codes.push_back(Clock());
  return codes;
}
void* New(size_t bytes, bool clear = false) { return U_MemTrackedObject::TrackedNew(bytes, clear); }
void Delete(void* p) { U_MemTrackedObject::TrackedDelete(p); }

TEST_F(UServicesTest, InjectedFailureMustFireOnceAfterItsCountThenDisarm) {
  const long long start = U_FallibleCallCount();
  U_InjectFailure(2, 77);
  EXPECT_EQ(Clocks(4), std::vector<long>({0, 0, 77, 0}));
  EXPECT_EQ(U_FallibleCallCount() - start, 4);
  U_InjectFailure(0, 0);  // no code given: the default one
  EXPECT_EQ(Clock(), U_ERR_INJECTED);
  U_InjectFailure(0, 5);
  U_ClearInjectedFailure();
  EXPECT_EQ(Clock(), 0);
  U_InjectFailure(5, 1);  // replaced by the next injection
  U_InjectFailure(1, 2);
  EXPECT_EQ(Clocks(3), std::vector<long>({0, 2, 0}));
  // Tracked allocation fails with std::bad_alloc, whatever the code.
  U_InjectFailure(1, U_ERR_OUT_OF_MEMORY);
  void* first = New(8);  // the one call that still succeeds
  EXPECT_THROW(New(8), std::bad_alloc);
  Delete(first);
  U_InjectFailure(0, 3);
  EXPECT_THROW((std::vector<int, U_Allocator<int>>(4)), std::bad_alloc);
}

TEST_F(UServicesTest, ReplacedClockMustDriveTheTickCountAndWrapAt2To32) {
  double seconds = 0;
  U_SetClock([] { return 12.5; });
  ASSERT_EQ(U_SecondsSinceBoot(&seconds), 0);
  EXPECT_EQ(seconds, 12.5);
  EXPECT_EQ(TickCount(), 12500u);
  U_SetClock([] { return 4294967.296 + 1.0; });  // 2^32 ms plus a second
  EXPECT_NEAR(double(TickCount()), 1000.0, 1.0);
  U_SetClock(nullptr);  // back to the system clock
  ASSERT_EQ(U_SecondsSinceBoot(&seconds), 0);
  EXPECT_NEAR(double(TickCount()), seconds * 1000.0, 1000.0);
}

TEST_F(UServicesTest, MainThreadMustBeTheLoaderUntilAnotherClaimsIt) {
  bool other = true, claimed = false;
  EXPECT_TRUE(U_IsOnMainThread());
  std::thread([&] { other = U_IsOnMainThread(); }).join();
  std::thread([&] {
    U_SetMainThread();
    claimed = U_IsOnMainThread();
  }).join();
  EXPECT_TRUE(claimed && !other);
  EXPECT_FALSE(U_IsOnMainThread());
  U_SetMainThread();
  EXPECT_TRUE(U_IsOnMainThread());
}

// A pretend cache that the purge hook empties so that the retry fits.
struct PurgeWorld {
  bool cacheFull = true;
  int attempts = 0, purges = 0;
  size_t purgedFor = 0;
  long failWith = U_ERR_OUT_OF_MEMORY;
  static long Try(void* context) {
    auto* w = static_cast<PurgeWorld*>(context);
    ++w->attempts;
    return w->cacheFull ? w->failWith : 0;
  }
  static void Purge(void* context, size_t bytes) {
    auto* w = static_cast<PurgeWorld*>(context);
    ++w->purges;
    w->purgedFor = bytes;
    w->cacheFull = false;
  }
};
PurgeWorld* g_simple = nullptr;

TEST_F(UServicesTest, PurgeLoopMustRetryOnceAfterTheHooksAndOnlyForMemory) {
  PurgeWorld world, broken, stuck, plain;
  broken.failWith = U_ERR_BAD_PARAMETER;
  U_AddPurgeHook(&PurgeWorld::Purge, &world);
  EXPECT_EQ(U_PurgeLoop(4096, &PurgeWorld::Try, &world, 0), 0);
  EXPECT_EQ(U_PurgeLoop(10, &PurgeWorld::Try, &world, 0), 0);  // no purge needed
  EXPECT_EQ(world.attempts, 3);
  EXPECT_EQ(world.purges, 1);
  EXPECT_EQ(world.purgedFor, 4096u);
  U_AddPurgeHook(&PurgeWorld::Purge, &broken);
  EXPECT_EQ(U_PurgeLoop(10, &PurgeWorld::Try, &broken, 0), U_ERR_BAD_PARAMETER);
  EXPECT_EQ(broken.attempts + broken.purges, 1);
  U_RemovePurgeHook(&PurgeWorld::Purge, &broken);
  U_RemovePurgeHook(&PurgeWorld::Purge, &world);
  // Without hooks nothing frees memory: two attempts, then the failure.
  EXPECT_EQ(U_PurgeLoop(10, &PurgeWorld::Try, &stuck, 0), U_ERR_OUT_OF_MEMORY);
  U_InjectFailure(0, 31);
  EXPECT_EQ(U_PurgeLoop(10, &PurgeWorld::Try, &stuck, 0), 31);
  EXPECT_EQ(stuck.attempts, 2);
  EXPECT_EQ(stuck.purges, 0);
  // A hook without context frees memory the same way, until it is removed.
  g_simple = &plain;
  const U_SimplePurgeHook simple = [](size_t bytes) { PurgeWorld::Purge(g_simple, bytes); };
  U_AddPurgeHook(simple);
  EXPECT_EQ(U_PurgeLoop(64, &PurgeWorld::Try, &plain, 0), 0);
  EXPECT_EQ(plain.purgedFor, 64u);
  U_RemovePurgeHook(simple);
  plain.cacheFull = true;
  EXPECT_EQ(U_PurgeLoop(64, &PurgeWorld::Try, &plain, 0), U_ERR_OUT_OF_MEMORY);
  EXPECT_EQ(plain.purges, 1);
}

struct Tracked : U_MemTrackedObject {
  char payload[40] = {};
};

// live_objects, live_bytes and allocations against a start, exactly.
void ExpectFigures(const U_TrackedStats& start, long objects, long long bytes, long long made) {
  const U_TrackedStats now = U_GetTrackedStats();
  EXPECT_EQ(now.live_objects - start.live_objects, objects);
  EXPECT_EQ(now.live_bytes - start.live_bytes, bytes);
  EXPECT_EQ(now.allocations - start.allocations, made);
}

TEST_F(UServicesTest, TrackedFiguresMustStayExactWhileBlocksAreReused) {
  const U_TrackedStats before = U_GetTrackedStats();
  Tracked* one = new Tracked;
  Tracked* many = new Tracked[3];
  U_TrackedStats during;
  {
    std::vector<int, U_Allocator<int>> v(1000, 7);
    during = U_GetTrackedStats();
  }
  EXPECT_EQ(during.live_objects, before.live_objects + 3);
  EXPECT_GE(during.live_bytes, before.live_bytes + long(4 * sizeof(Tracked) + 4000));
  delete one;
  delete[] many;
  Delete(nullptr);
  // Sizes at and around the class boundaries (steps of 16, then powers of
  // two), the largest recycled size and the first one beyond it; dirtied,
  // then asked for cleared.
  const size_t sizes[] = {0,   1,   15,   16,   17,   100,     511,
                          512, 513, 1024, 1025, 4096, 1 << 20, (1 << 20) + 1};
  long long bytes = 0;
  for (size_t s : sizes) bytes += static_cast<long long>(s);
  for (int round = 0; round < 3; ++round) {
    const U_TrackedStats start = U_GetTrackedStats();
    std::vector<void*> blocks;
    for (size_t s : sizes) {
      auto* p = static_cast<unsigned char*>(New(s, round == 2));
      for (size_t i = 0; round == 2 && i < s; ++i) ASSERT_EQ(p[i], 0) << s << " byte " << i;
      if (s) std::memset(p, 0xAB, s);  // the whole size is usable (ASan catches an overrun)
      blocks.push_back(p);
    }
    ExpectFigures(start, long(std::size(sizes)), bytes, long(std::size(sizes)));
    EXPECT_GE(U_GetTrackedStats().peak_bytes, U_GetTrackedStats().live_bytes);
    for (void* p : blocks) Delete(p);
    ExpectFigures(before, 0, 0, U_GetTrackedStats().allocations - before.allocations);
  }
  // A block beyond every earlier total raises the peak, also when it is gone
  // before the figures are read.
  Delete(New(size_t{1} << 26));
  EXPECT_GE(U_GetTrackedStats().peak_bytes, before.live_bytes + (1 << 26));
  // A released block serves the next request of its class; beyond the
  // classes (a frame's pixels), one of at least half its size.
  for (size_t first : {size_t{40}, size_t{3000}, size_t{100000}, size_t{8} << 20}) {
    void* p = New(first);
    Delete(p);
    void* q = New(first > (1 << 20) ? first - first / 8 : first + first / 8);
    EXPECT_EQ(q, p) << first;
    Delete(q);
  }
}

TEST_F(UServicesTest, BlocksCrossingThreadsOrOutlivingTheirThreadMustStayCounted) {
  const U_TrackedStats before = U_GetTrackedStats();
  void* fromThread = nullptr;
  std::thread([&] {
    for (int i = 0; i < 100; ++i) Delete(New(48));
    fromThread = New(48);  // kept past the thread's end
  }).join();
  ExpectFigures(before, 1, 48, 101);
  Delete(fromThread);
  void* mine = New(48);
  std::thread([&] { Delete(mine); }).join();
  ExpectFigures(before, 0, 0, 102);
}

}  // namespace
