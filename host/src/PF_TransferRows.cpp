#include <tbb/task_arena.h>
#include <tbb/task_group.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <exception>
#include <map>
#include <mutex>
#include <new>

#include "PF_KernelRows.h"
#include "rghost/U_Errors.h"

namespace {

std::atomic<int> g_thread_count{1};

constexpr long kChunkRows = 16;
// Below this many pixels handing rows to other threads costs more than it
// saves.
constexpr long long kMinPixelsForThreads = 64 * 1024;

long PollProgress(PF_ProgressInfo* progress, long done, long total) {
  if (progress == nullptr) return 0;
  if (progress->abort_callback != nullptr) {
    if (const long code = progress->abort_callback(progress->context)) return code;
  }
  if (progress->progress_callback != nullptr) {
    if (const long code = progress->progress_callback(progress->context, done, total)) return code;
  }
  return 0;
}

long CodeOfCurrentException() {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    return U_ERR_OUT_OF_MEMORY;
  } catch (long code) {
    return code;
  } catch (...) {
    return U_ERR_INTERNAL;
  }
}

// One arena per thread count, kept for the process. Remaking the arena when
// the count changed left the new one's helper tasks waiting seconds for a
// worker on a busy machine (the workers were still leaving the old arena),
// so the calling thread did every row alone.
tbb::task_arena& ArenaFor(int threads) {
  static std::mutex mutex;
  static std::map<int, tbb::task_arena> arenas;
  std::lock_guard<std::mutex> lock(mutex);
  return arenas.try_emplace(threads, threads).first->second;
}

long RunOnCallingThread(PF_ProgressInfo* progress, long rowCount, PFh_RowBody body) {
  PFh_RowScratch scratch;
  for (long first = 0; first < rowCount; first += kChunkRows) {
    if (const long code = PollProgress(progress, first, rowCount)) return code;
    const long end = std::min(rowCount, first + kChunkRows);
    try {
      for (long i = first; i < end; ++i) body(i, scratch);
    } catch (...) {
      return CodeOfCurrentException();
    }
  }
  return 0;
}

// Rows handed out so far and the limit below which threads may take more,
// in one word so that taking a chunk checks both at once. A negative limit
// means stop.
class RowDispenser {
 public:
  struct State {
    long next;
    long limit;
  };

  explicit RowDispenser(long rowCount) : rows_(rowCount) {}

  // A helper's next chunk: waits while the calling thread polls or the grant
  // is used up; -1 once the job is stopped or every row is taken.
  long TakeForHelper() {
    uint64_t word = word_.load(std::memory_order_acquire);
    for (;;) {
      const State s = Unpack(word);
      if (s.limit < 0 || s.next >= rows_) return -1;
      if (s.next >= s.limit) {
        word_.wait(word, std::memory_order_acquire);
        word = word_.load(std::memory_order_acquire);
      } else if (word_.compare_exchange_weak(word, Pack({s.next + kChunkRows, s.limit}),
                                             std::memory_order_acq_rel)) {
        return s.next;
      }
    }
  }

  // Before the calling thread polls: no chunk is handed out until Grant.
  // Returns the rows handed out so far, or -1 when the job is stopped.
  long Revoke() {
    uint64_t word = word_.load(std::memory_order_acquire);
    for (;;) {
      const State s = Unpack(word);
      if (s.limit < 0) return -1;
      if (word_.compare_exchange_weak(word, Pack({s.next, s.next}), std::memory_order_acq_rel))
        return std::min(s.next, rows_);
    }
  }

  // After a poll that returned 0: the calling thread's own chunk (returned;
  // -1 when none is left or the job is stopped) and `helperRows` more for the
  // helpers.
  long Grant(long helperRows) {
    uint64_t word = word_.load(std::memory_order_acquire);
    for (;;) {
      const State s = Unpack(word);
      if (s.limit < 0 || s.next >= rows_) return -1;
      const long end = s.next + kChunkRows;
      if (word_.compare_exchange_weak(word, Pack({end, end + helperRows}),
                                      std::memory_order_acq_rel)) {
        word_.notify_all();
        return s.next;
      }
    }
  }

  void Stop() {
    uint64_t word = word_.load(std::memory_order_acquire);
    while (!word_.compare_exchange_weak(word, Pack({Unpack(word).next, -1}),
                                        std::memory_order_acq_rel)) {
    }
    word_.notify_all();
  }

 private:
  // Row numbers stay far below 2^31: a job has at most one row per pixel row
  // of a buffer, and the limit at most a chunk and a grant (at most the job's
  // rows) more.
  static uint64_t Pack(State s) {
    return (static_cast<uint64_t>(static_cast<uint32_t>(s.next)) << 32) |
           static_cast<uint32_t>(static_cast<int32_t>(s.limit));
  }
  static State Unpack(uint64_t word) {
    return State{static_cast<long>(static_cast<uint32_t>(word >> 32)),
                 static_cast<long>(static_cast<int32_t>(static_cast<uint32_t>(word)))};
  }

  const long rows_;
  std::atomic<uint64_t> word_{0};  // next 0, limit 0: nothing before the first poll
};

// The calling thread and threads-1 arena tasks take chunks of rows. Only the
// calling thread polls the progress record (the host's callbacks need not be
// thread-safe), before each chunk it takes; while it polls no chunk is handed
// out, and each poll that returns 0 lets the helpers take at most 2 x threads
// - 1 chunks more. So at most 32 x threads rows are begun between two polls,
// however the threads are scheduled, and none after a poll that aborts. A job
// without callbacks has nothing to wait for: its helpers take rows freely.
//
// The calling thread stays outside the arena until it waits for the helpers:
// when other callers' jobs hold the arena's slots, it still polls and works
// on its own thread, and only its helpers wait for a slot.
long RunSplit(PF_ProgressInfo* progress, long rowCount, tbb::task_arena& arena,
              std::vector<PFh_RowScratch>& scratch, PFh_RowBody body) {
  const long threads = static_cast<long>(scratch.size());
  const bool polled = progress != nullptr && (progress->abort_callback != nullptr ||
                                              progress->progress_callback != nullptr);
  const long helperRows = polled ? (2 * threads - 1) * kChunkRows : rowCount;
  RowDispenser rows(rowCount);
  std::atomic<long> failure{0};
  auto runChunk = [&](long first, PFh_RowScratch& own) {
    try {
      const long end = std::min(rowCount, first + kChunkRows);
      for (long i = first; i < end; ++i) body(i, own);
    } catch (...) {
      long expected = 0;
      failure.compare_exchange_strong(expected, CodeOfCurrentException());
      rows.Stop();
    }
  };

  tbb::task_group helpers;
  try {
    for (long t = 1; t < threads; ++t) {
      PFh_RowScratch& own = scratch[static_cast<size_t>(t)];
      arena.enqueue(helpers.defer([&rows, &runChunk, &own] {
        for (long first; (first = rows.TakeForHelper()) >= 0;) runChunk(first, own);
      }));
    }
  } catch (...) {
    // Fewer helpers than asked for: the calling thread and the ones started
    // do all the rows.
  }

  long aborted = 0;
  std::exception_ptr thrown;
  try {
    for (;;) {
      if (polled) {
        const long done = rows.Revoke();
        if (done < 0) break;
        if (const long code = PollProgress(progress, done, rowCount)) {
          aborted = code;
          break;
        }
      }
      const long first = rows.Grant(helperRows);
      if (first < 0) break;
      runChunk(first, scratch[0]);
    }
  } catch (...) {
    // A progress callback threw: stop the helpers, wait for them, and let
    // the exception go on.
    thrown = std::current_exception();
  }
  rows.Stop();
  arena.execute([&] { helpers.wait(); });
  if (thrown) std::rethrow_exception(thrown);
  if (aborted != 0) return aborted;
  return failure.load();
}

}  // namespace

int PF_SetThreadCount(int threads) { return g_thread_count.exchange(std::max(1, threads)); }

long PFh_RunRows(PF_ProgressInfo* progress, long rowCount, long long pixelCount, PFh_RowBody body) {
  if (rowCount <= 0) return 0;
  const long chunks = (rowCount + kChunkRows - 1) / kChunkRows;
  long threads = g_thread_count.load(std::memory_order_relaxed);
  if (pixelCount <= kMinPixelsForThreads) threads = 1;
  threads = std::min(threads, chunks);
  if (threads <= 1) return RunOnCallingThread(progress, rowCount, body);
  tbb::task_arena* arena = nullptr;
  std::vector<PFh_RowScratch> scratch;
  try {
    arena = &ArenaFor(static_cast<int>(threads));
    scratch.resize(static_cast<size_t>(threads));
  } catch (const std::bad_alloc&) {
    // No memory for the arena or the threads' scratch: the calling thread
    // does the job alone.
    return RunOnCallingThread(progress, rowCount, body);
  }
  return RunSplit(progress, rowCount, *arena, scratch, body);
}
