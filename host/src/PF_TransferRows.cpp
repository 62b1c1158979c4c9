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

// The job's chunks of kChunkRows rows (the last may be shorter). The calling
// thread takes them from the front and the helpers from the back, so each
// thread works on rows next to those it did before, in this job and in the
// ones before it: a strip's rows stay in one thread's cache through all its
// layers, and neighbouring rows of a resampled source, which share source
// rows, are read by the same thread. (Chunks handed in turn to whichever
// thread asks would move rows between the threads' caches at every chunk and
// every layer.) Both ends and the helpers' permits share one word, so that
// taking a chunk checks all three at once.
class RowDispenser {
 public:
  // Permits of a job whose helpers need none, and the most one grant gives.
  static constexpr long kUnlimited = 255, kMostPermits = kUnlimited - 1;

  RowDispenser(long rowCount, bool unlimited)
      : rows_(rowCount),
        word_(Pack({0, (rowCount + kChunkRows - 1) / kChunkRows, unlimited ? kUnlimited : 0})) {}

  // A helper's next chunk (its first row): waits while the calling thread
  // polls or the permits are used up; -1 once the job is stopped or every
  // chunk is taken.
  long TakeForHelper() {
    uint64_t word = word_.load(std::memory_order_acquire);
    for (;;) {
      const State s = Unpack(word);
      if (s.front >= s.back) return -1;
      if (s.permits == 0) {
        word_.wait(word, std::memory_order_acquire);
        word = word_.load(std::memory_order_acquire);
      } else if (word_.compare_exchange_weak(
                     word,
                     Pack({s.front, s.back - 1,
                           s.permits == kUnlimited ? s.permits : s.permits - 1}),
                     std::memory_order_acq_rel)) {
        return (s.back - 1) * kChunkRows;
      }
    }
  }

  // Before the calling thread polls: no chunk is handed out until Grant.
  // Returns the rows handed out so far, or -1 when none is left to hand out
  // (every chunk taken, or the job stopped).
  long Revoke() {
    uint64_t word = word_.load(std::memory_order_acquire);
    for (;;) {
      const State s = Unpack(word);
      if (s.front >= s.back) return -1;
      if (word_.compare_exchange_weak(word, Pack({s.front, s.back, 0}), std::memory_order_acq_rel))
        return std::min(s.front * kChunkRows, rows_) + rows_ - std::min(s.back * kChunkRows, rows_);
    }
  }

  // After a poll that returned 0 (or before each chunk of a job without
  // callbacks): the calling thread's own chunk from the front (its first row;
  // -1 when none is left) and `permits` more for the helpers.
  long Grant(long permits) {
    uint64_t word = word_.load(std::memory_order_acquire);
    for (;;) {
      const State s = Unpack(word);
      if (s.front >= s.back) return -1;
      if (word_.compare_exchange_weak(word, Pack({s.front + 1, s.back, permits}),
                                      std::memory_order_acq_rel)) {
        if (s.permits == 0) word_.notify_all();
        return s.front * kChunkRows;
      }
    }
  }

  // Nothing more is handed out; waiting helpers wake and leave.
  void Stop() {
    uint64_t word = word_.load(std::memory_order_acquire);
    for (;;) {
      const State s = Unpack(word);
      if (word_.compare_exchange_weak(word, Pack({s.back, s.back, 0}), std::memory_order_acq_rel))
        break;
    }
    word_.notify_all();
  }

 private:
  struct State {
    long front;    // chunks [0, front) are taken
    long back;     // and so are [back, chunks)
    long permits;  // chunks the helpers may still take before the next grant
  };
  // A job has at most one row per pixel row of a buffer, below 2^31, so at
  // most 2^27 chunks: 28 bits an end, 8 for the permits.
  static uint64_t Pack(State s) {
    return (static_cast<uint64_t>(s.front) << 36) | (static_cast<uint64_t>(s.back) << 8) |
           static_cast<uint64_t>(s.permits);
  }
  static State Unpack(uint64_t word) {
    return State{static_cast<long>(word >> 36), static_cast<long>((word >> 8) & 0xfffffff),
                 static_cast<long>(word & 0xff)};
  }

  const long rows_;
  std::atomic<uint64_t> word_;
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
  const long permits =
      polled ? std::min(2 * threads - 1, RowDispenser::kMostPermits) : RowDispenser::kUnlimited;
  RowDispenser rows(rowCount, !polled);
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
      const long first = rows.Grant(permits);
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
