// Platform services: the purge loop and tracked blocks, whose figures stay exact through reuse,
// across threads and past a thread's end; reports and their fields; preference stores and the
// INI file named by RG_PREFS_FILE.
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "../../host/src/U_Fallible.h"
#include "rghost/PF_World.h"
#include "rghost/PREF_Prefs.h"
#include "rghost/U_Errors.h"
#include "rghost/U_Memory.h"
#include "rghost/U_Report.h"
#include "rghost/U_Services.h"
#include "support/LeakCheck.h"

namespace {

class UServicesTest : public LeakCheckTest {};

void* New(size_t bytes, bool clear = false) { return U_MemTrackedObject::TrackedNew(bytes, clear); }
void Delete(void* p) { U_MemTrackedObject::TrackedDelete(p); }
// Bytes malloc has handed out and not had back.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
extern "C" size_t __sanitizer_get_current_allocated_bytes();  // the sanitizer's own malloc
size_t MallocInUse() { return __sanitizer_get_current_allocated_bytes(); }
#else
size_t MallocInUse() {
  const struct mallinfo2 m = mallinfo2();
  return m.uordblks + m.hblkhd;
}
#endif

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
  EXPECT_EQ(std::tuple(world.attempts, world.purges, world.purgedFor), std::tuple(3, 1, 4096u));
  U_AddPurgeHook(&PurgeWorld::Purge, &broken);
  EXPECT_EQ(U_PurgeLoop(10, &PurgeWorld::Try, &broken, 0), U_ERR_BAD_PARAMETER);
  EXPECT_EQ(broken.attempts + broken.purges, 1);
  U_RemovePurgeHook(&PurgeWorld::Purge, &broken);
  world.cacheFull = true;  // the same hook of another context stays
  EXPECT_EQ(U_PurgeLoop(10, &PurgeWorld::Try, &world, 0), 0);
  U_RemovePurgeHook(&PurgeWorld::Purge, &world);
  // Without hooks nothing frees memory: two attempts, then the failure.
  EXPECT_EQ(U_PurgeLoop(10, &PurgeWorld::Try, &stuck, 0), U_ERR_OUT_OF_MEMORY);
  U_InjectFailure(-3, 31);  // a negative count fails the next call too
  EXPECT_EQ(U_PurgeLoop(10, &PurgeWorld::Try, &stuck, 0), 31);
  EXPECT_EQ(std::tuple(stuck.attempts, stuck.purges), std::tuple(2, 0));
  // A hook without context frees memory the same way, until it is removed.
  g_simple = &plain;
  const U_SimplePurgeHook simple = [](size_t bytes) { PurgeWorld::Purge(g_simple, bytes); };
  U_AddPurgeHook(simple);
  EXPECT_EQ(U_PurgeLoop(64, &PurgeWorld::Try, &plain, 0), 0);
  EXPECT_EQ(plain.purgedFor, 64u);
  U_RemovePurgeHook(simple);
  plain.cacheFull = true;
  EXPECT_EQ(U_PurgeLoop(64, &PurgeWorld::Try, &plain, 0) + plain.purges, U_ERR_OUT_OF_MEMORY + 1);
  // A purge gives every size class this thread keeps for reuse back to malloc.
  std::vector<void*> blocks;
  size_t bytes = 0;
  for (size_t s = 16; s <= (size_t{1} << 20); bytes += 4 * s, s *= 2)
    for (int i = 0; i < 4; ++i) blocks.push_back(New(s));
  for (void* p : blocks) Delete(p);
  // The kept frames go back too, and never exceed their limit: of these
  // two only the newer stays.
  const size_t before = MallocInUse();
  Delete(New(size_t{600} << 20));
  Delete(New(size_t{700} << 20));
  EXPECT_LT(MallocInUse() - before, size_t{701} << 20);
  // A newer frame that passes the limit beside either kept one drops both.
  void *c = New(size_t{300} << 20), *d = New(size_t{300} << 20);
  Delete(c);
  Delete(d);
  Delete(New(size_t{800} << 20));
  EXPECT_LT(MallocInUse() - before, size_t{801} << 20);
  bytes += size_t{700} << 20;
  const size_t cached = MallocInUse();
  EXPECT_EQ(U_PurgeLoop(1, &PurgeWorld::Try, &stuck, 0), U_ERR_OUT_OF_MEMORY);
  EXPECT_GE(cached - MallocInUse(), bytes);
  // The purge empties their account as well: two frames that, with their
  // headers, fill the 1 GiB limit exactly both stay kept after it.
  const size_t half = (size_t{1} << 29) - alignof(std::max_align_t);
  void *a = New(half), *b = New(half);
  const size_t both = MallocInUse();
  Delete(a);
  Delete(b);
  EXPECT_EQ(MallocInUse(), both);
  EXPECT_EQ(U_PurgeLoop(1, &PurgeWorld::Try, &stuck, 0), U_ERR_OUT_OF_MEMORY);
  // So does one frame of the whole limit.
  void* whole = New(2 * half + alignof(std::max_align_t));
  const size_t kept = MallocInUse();
  Delete(whole);
  EXPECT_EQ(MallocInUse(), kept);
  EXPECT_EQ(U_PurgeLoop(1, &PurgeWorld::Try, &stuck, 0), U_ERR_OUT_OF_MEMORY);
}

struct Tracked : U_MemTrackedObject {
  char payload[40] = {};
};

// live_objects, live_bytes and allocations against a start, exactly.
void ExpectFigures(const U_TrackedStats& start, long objects, long long bytes, long long made) {
  const U_TrackedStats now = U_GetTrackedStats();
  EXPECT_EQ(std::tuple(now.live_objects - start.live_objects, now.live_bytes - start.live_bytes,
                       now.allocations - start.allocations),
            std::tuple(objects, bytes, made));
}

TEST_F(UServicesTest, TrackedFiguresMustStayExactWhileBlocksAreReused) {
  // A cleared block is zeros, fresh or reused after it was written.
  for (int round = 0; round < 2; ++round) {
    auto* p = static_cast<unsigned char*>(New(3000, true));
    EXPECT_EQ(std::count(p, p + 3000, 0), 3000) << round;
    std::memset(p, 0xAB, 3000);
    Delete(p);
  }
  const U_TrackedStats before = U_GetTrackedStats();
  EXPECT_EQ(before.live_objects, 0);  // the process holds none, and earlier cases left none
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
  ExpectFigures(before, 0, 0, 3);
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
    ExpectFigures(start, 0, 0, long(std::size(sizes)));
  }
  // A block beyond every earlier total raises the peak, also when it is gone
  // before the figures are read.
  Delete(New(size_t{1} << 26));
  EXPECT_GE(U_GetTrackedStats().peak_bytes, before.live_bytes + (1 << 26));
  // A released block serves the next request of its class; beyond the
  // classes (a frame's pixels), one of at least half its size and no smaller one.
  for (size_t first : {size_t{40}, size_t{3000}, size_t{100000}, size_t{8} << 20}) {
    void* p = New(first);
    Delete(p);
    void* q = New(first > (1 << 20) ? first - first / 8 : first + first / 8);
    EXPECT_EQ(q, p) << first;
    Delete(q);
    void* less = New(first * 2 / 5);
    EXPECT_NE(less, q) << first;
    Delete(less);
  }
  // Of two kept frames that fit, the smaller serves; the other stays kept,
  // also when the smaller comes back into the place it left.
  void *big = New(size_t{12} << 20), *small = New(size_t{10} << 20);
  Delete(big);
  Delete(small);
  Delete(New(size_t{9} << 20));
  void *q = New(size_t{9} << 20), *r = New(size_t{11} << 20);
  EXPECT_TRUE(q == small && r == big);
  Delete(q);
  Delete(r);
  // However often three frames are taken and given back, the third dropping
  // the oldest, two stay kept and the thread keeps its largest recycled block.
  const size_t large[] = {size_t{64} << 20, size_t{16} << 20, size_t{4} << 20, size_t{1} << 20};
  for (size_t size : large) Delete(New(size));
  const size_t held = MallocInUse();
  for (int i = 0; i < 200; ++i) {
    void* blocks[std::size(large)];
    for (size_t k = 0; k < std::size(large); ++k) blocks[k] = New(large[k]);
    for (void* p : blocks) Delete(p);
    ASSERT_GE(MallocInUse(), held) << "round " << i;
  }
  // Beyond its 256 MiB a thread's cache gives blocks back to malloc.
  std::vector<void*> overLimit(300);
  for (void*& p : overLimit) p = New(size_t{1} << 20);
  for (void* p : overLimit) Delete(p);
  EXPECT_LE(MallocInUse(), held + (size_t{257} << 20));
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
  // A thread's cache goes back to malloc as the thread ends, and what it
  // allocates after that (here from a thread-local made before the cache)
  // goes straight to malloc.
  struct LateUser {
    ~LateUser() { Delete(New(size_t{1} << 20)); }
  };
  const size_t held = MallocInUse();
  std::thread([] {
    static thread_local LateUser late;
    Delete(New(size_t{1} << 20));
  }).join();
  EXPECT_LT(MallocInUse(), held + (size_t{1} << 20));
}

// TickCount is the clock in whole milliseconds, wrapping at 2^32; a clock
// that is not positive (or not a number) gives 0.
TEST_F(UServicesTest, TickCountMustBeTheClockInMillisecondsWrappingAt2To32) {
  static double now = 0;
  U_SetClock([] { return now; });
  const struct {
    double seconds;
    uint32_t ticks;
  } cases[] = {{12.3456, 12345}, {4294967.296 + 1.5, 1500}, {-2.0, 0}, {std::nan(""), 0}};
  for (const auto& c : cases) {
    now = c.seconds;
    EXPECT_EQ(TickCount(), c.ticks) << c.seconds;
  }
}

// Each injected failure fails one call, however many threads race for it:
// the others return as if nothing had been armed.
TEST_F(UServicesTest, InjectedFailureMustFailExactlyOneOfTheRacingCalls) {
  std::atomic<bool> stop{false};
  std::atomic<int> failures{0}, others{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t)
    threads.emplace_back([&] {
      while (!stop)
        if (const long code = Uh_NextFallibleCall()) ++(code == 77 ? failures : others);
    });
  for (int armed = 1; armed <= 150 && others == 0; ++armed) {
    U_InjectFailure(0, 77);
    while (failures < armed && others == 0) std::this_thread::yield();
  }
  stop = true;
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(failures.load(), 150);
  EXPECT_EQ(others.load(), 0);
}

class UReportTest : public LeakCheckTest {
 protected:
  void TearDown() override {
    U_SetReportSink(nullptr);
    LeakCheckTest::TearDown();
  }
};

TEST_F(UReportTest, EachKindMustBeLoggedWithItsOwnFieldsAndReachTheSink) {
  std::vector<std::string> seen;
  U_SetReportSink([&](const U_ReportRecord& r) { seen.push_back(r.text); });
  U_ReportFailedVerification(0x4E0003, 120, 0, "bad checkout");
  Up_ReportErrString(0x4E0007, 8, "Bad id.");
  Up_G_err_buf = 5;
  std::snprintf(Up_G_buffer, sizeof Up_G_buffer, "version %d", 2);
  Up_ReportError(33, 16);
  EXPECT_EQ(U_TranslateAndReportException(std::bad_alloc()), U_ERR_OUT_OF_MEMORY);
  EXPECT_EQ(U_TranslateAndReportException(std::runtime_error("boom")), U_ERR_INTERNAL);
  U_InjectFailure(0, U_ERR_OUT_OF_MEMORY);
  EXPECT_THROW(New(64), std::bad_alloc);
  EXPECT_THROW(PF_World::New(M_LRect{0, 0, 1, 1}, 7, 0), long);
  U_SetReportSink(nullptr);
  // Each thread counts its own reports from none.
  std::thread([] {
    EXPECT_EQ(U_ThreadReportCount(), 0);
    Up_ReportErrString(0, 8, "unseen");
    EXPECT_EQ(U_ThreadReportCount(), 1);
  }).join();
  const auto fields = [](const U_ReportRecord& r) {
    return std::tuple(r.kind, r.location, r.line, r.code, r.text);
  };
  using K = U_ReportKind;
  const std::tuple<K, long, long, long, std::string> expected[] = {
      {K::FailedVerification, 0x4E0003, 120, 0, "bad checkout"},
      {K::ErrorString, 0x4E0007, 0, 8, "Bad id."},
      {K::Error, 0, 0, 33, "version 2"},
      {K::Error, 0, 0, U_ERR_OUT_OF_MEMORY, std::bad_alloc().what()},
      {K::Error, 0, 0, U_ERR_INTERNAL, "boom"},
      {K::Error, 0, 0, U_ERR_OUT_OF_MEMORY, "Tracked allocation of 64 bytes failed."},
      {K::Error, 0, 0, U_ERR_BAD_PARAMETER,
       "PF_World::New: invalid parameter (code " + std::to_string(U_ERR_BAD_PARAMETER) + ")."},
      {K::ErrorString, 0, 0, 8, "unseen"}};
  ASSERT_EQ(U_ReportLog().size(), std::size(expected));
  for (size_t i = 0; i < std::size(expected); ++i)
    EXPECT_EQ(fields(U_ReportLog()[i]), expected[i]) << "report " << i;
  EXPECT_EQ(seen.size(), 7u);
  U_ClearReportLog();
  EXPECT_TRUE(U_ReportLog().empty());
}

// Reports made while a deferred scope is open reach the sink when the
// outermost scope ends; ending a scope twice, or one never started, ends
// nothing.
TEST_F(UReportTest, DeferredReportsMustWaitForTheOutermostScope) {
  std::vector<std::string> seen;
  U_SetReportSink([&](const U_ReportRecord& r) { seen.push_back(r.text); });
  U_DeferredReportingScope outer, inner, never;
  ASSERT_EQ(U_DeferredReportingStart(16, &outer), 0);
  const U_DeferredReportingScope copy = outer;
  ASSERT_EQ(U_DeferredReportingStart(16, &inner), 0);
  Up_ReportErrString(0, 8, "held");
  U_DeferredReportingEnd(0, 0, &inner);
  U_DeferredReportingEnd(0, 0, &inner);
  U_DeferredReportingEnd(0, 0, &never);
  EXPECT_TRUE(seen.empty());
  U_DeferredReportingEnd(0, 0, &outer);
  EXPECT_EQ(seen, std::vector<std::string>{"held"});
  // Nor does a copy of a scope, ended after the scope itself.
  U_DeferredReportingScope again = copy;
  U_DeferredReportingEnd(0, 0, &again);
  ASSERT_EQ(U_DeferredReportingStart(16, &again), 0);
  Up_ReportErrString(0, 8, "held again");
  EXPECT_EQ(seen.size(), 1u);
  U_DeferredReportingEnd(0, 0, &again);
  EXPECT_EQ(seen.size(), 2u);
}

class PREFPrefsTest : public LeakCheckTest {
 protected:
  void TearDown() override {
    PREF_ResetAll();
    LeakCheckTest::TearDown();
  }
};

long Get(int store, const char* section, const char* key, long def) {
  long value = -999;
  EXPECT_EQ(PREF_GetTextPrefLong(PREFp_G[store], PREF_Helper(section), key, def, &value), 0);
  return value;
}

TEST_F(UReportTest, LocalizedLookupMustReturnTheTextAfterTheFirstEqualsSign) {
  const char* cachedKey = "$$$/T/LStr/0003=Uncached.";
  U_LStrEntry entries[5] = {{"$$$/T/LStr/0000=First text.", {}},
                            {"$$$/T/LStr/0001=Second = text", {}},
                            {"$$$/T/LStr/0002", {}},
                            {cachedKey, {intptr_t("Cached."), intptr_t(cachedKey), 0}},
                            {nullptr, {}}};
  U_LStrTable table{"T", 5, entries};
  // The second 0 comes from the cache; 2 has no '=', 3 was cached for its
  // key, 4 is the terminator.
  // clang-format off
  const std::pair<long, const char*> cases[] = {
      {0, "First text."}, {1, "Second = text"}, {0, "First text."}, {2, ""}, {3, "Cached."},
      {4, ""}, {-1, ""}};
  // clang-format on
  for (const auto& [index, text] : cases)
    EXPECT_STREQ(U_ZLookupLStrCache(&table, index, 0, 0), text);
  // A lookup leaves the text and its key in the entry, for the next one.
  EXPECT_EQ(std::tuple(entries[1].cache[0], entries[1].cache[1]),
            std::tuple(intptr_t(std::strchr(entries[1].key, '=') + 1), intptr_t(entries[1].key)));
  EXPECT_STREQ(U_ZLookupLStrCache(nullptr, 0, 0, 0), "");
  entries[0].key = "$$$/T/LStr/0000=Changed.";  // a replaced key is looked up afresh
  EXPECT_STREQ(U_ZLookupLStrCache(&table, 0, 0, 0), "Changed.");
}

TEST_F(PREFPrefsTest, StoresMustBeSeparateEditableAndCheckTheirArguments) {
  PREF_ResetAll();
  // A missing section or key is ignored, never stored or dereferenced.
  for (int store = 0; store < PREF_STORE_COUNT; ++store) {
    PREF_SetTextPrefLong(PREFp_G[store], "S", "K", 10 + store);
    PREF_SetTextPrefLong(PREFp_G[store], nullptr, "K", 6);
    PREF_SetTextPrefLong(PREFp_G[store], "S", nullptr, 7);
    PREF_RemovePref(PREFp_G[store], nullptr, "K");
    PREF_RemovePref(PREFp_G[store], "S", nullptr);
  }
  for (int store = 0; store < PREF_STORE_COUNT; ++store)
    EXPECT_EQ(Get(store, "S", "K", 0), 10 + store) << "store " << store;
  EXPECT_EQ(Get(2, "Other", "K", 3), 3);
  PREF_SetTextPrefLong(PREFp_G[2], "S", "K", -42);
  EXPECT_EQ(Get(2, "S", "K", 17), -42);
  PREF_RemovePref(PREFp_G[2], "S", "K");
  EXPECT_EQ(Get(2, "S", "K", 17), 17);
  EXPECT_EQ(Get(1, "S", "K", 0), 11);
  PREF_ResetAll();
  EXPECT_EQ(Get(1, "S", "K", 0), 0);
  long value = 1;
  U_InjectFailure(-3, 88);  // a negative count fails the very next call
  EXPECT_EQ(PREF_GetTextPrefLong(PREFp_G[2], PREF_Helper("S"), "K", 0, &value), 88);
  EXPECT_EQ(value, 1);
  EXPECT_EQ(PREF_GetTextPrefLong(nullptr, PREF_Helper("S"), "K", 0, &value), U_ERR_BAD_PARAMETER);
  EXPECT_EQ(PREF_GetTextPrefLong(PREFp_G[2], PREF_Helper("S"), "K", 0, nullptr),
            U_ERR_BAD_PARAMETER);
  EXPECT_EQ(PREF_GetTextPrefLong(PREFp_G[2], PREF_Helper("S"), nullptr, 0, &value),
            U_ERR_BAD_PARAMETER);
}

// The file is read on the first use of the stores in a process, so each run
// is a fresh copy of the test program; without RG_PREFS_FILE the stores
// start empty. Lines trim both ends (carriage returns too), inside brackets
// as well; comments and lines without '=' are skipped, and a value that is
// not wholly a long gives the default (6). The first line and the last,
// which has no newline, are entries too.
TEST_F(PREFPrefsTest, FileMustLoadFirstToLastLineIntoEveryStoreTrimmedOrGiveTheDefault) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        unsetenv("RG_PREFS_FILE");
        std::_Exit(Get(0, "Misc", "Answer", 17) == 17 ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
  char path[] = "/tmp/rghost_prefs_XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  std::ofstream(path) << "Lead=21\n;comment=2\n# comment=1\n  [ Stack Usage 2 ]  \r\n"
                      << "Per-Node = 12345\r\nTotal=8000\nTotal 2\n Spaced Key\t=\t-7 \n"
                      << "[Misc]\nLock on Checkin=0\nBroken=12abc\nEquals=3=4\nEmpty=\n"
                      << "Word=abc\nHuge=99999999999999999999\n[Unclosed\nUnopened]\nLast=9";
  // clang-format off
  const struct { const char *section, *key; long expected; } cases[] = {
      {"", "Lead", 21}, {"Stack Usage 2", "Per-Node", 12345}, {"Stack Usage 2", "Total", 8000},
      {"Stack Usage 2", "Spaced Key", -7}, {"Stack Usage 2", "Total 2", 6}, {"Misc", "Total", 6},
      {"Misc", "Lock on Checkin", 0}, {"", "# comment", 6}, {"", ";comment", 6},
      {"Misc", "Broken", 6}, {"Misc", "Equals", 6}, {"Misc", "Empty", 6}, {"Misc", "Word", 6},
      {"Misc", "Huge", 6}, {"Misc", "Last", 9}};
  // clang-format on
  const std::string file = path;
  EXPECT_EXIT(
      {
        setenv("RG_PREFS_FILE", file.c_str(), 1);
        int wrong = 0;
        for (int store = 0; store < PREF_STORE_COUNT; ++store)
          for (const auto& c : cases)
            if (Get(store, c.section, c.key, 6) != c.expected) {
              std::fprintf(stderr, "store %d %s/%s\n", store, c.section, c.key);
              ++wrong;
            }
        // Editing works on top of the file; a reset does not bring it back.
        PREF_SetTextPrefLong(PREFp_G[2], "Misc", "Broken", 4);
        wrong += Get(2, "Misc", "Broken", 6) != 4;
        PREF_ResetAll();
        wrong += Get(2, "Stack Usage 2", "Total", 1) != 1;
        std::fflush(nullptr);
        std::_Exit(wrong);
      },
      ::testing::ExitedWithCode(0), "");
  std::remove(path);
}

}  // namespace
