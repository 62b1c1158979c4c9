#include <tbb/task_arena.h>
#include <tbb/task_group.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <memory>
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

// The arena the kernels share, remade when the thread count changes. A
// caller holds its own reference for the whole job, so a change meanwhile
// only affects later jobs.
std::shared_ptr<tbb::task_arena> ArenaFor(int threads) {
  static std::mutex mutex;
  static std::shared_ptr<tbb::task_arena> arena;
  std::lock_guard<std::mutex> lock(mutex);
  if (!arena || arena->max_concurrency() != threads) {
    arena = std::make_shared<tbb::task_arena>(threads);
  }
  return arena;
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

// The calling thread and threads-1 arena tasks take chunks from a shared
// counter. Only the calling thread polls the progress record (the host's
// callbacks need not be thread-safe), before each chunk it takes, so an
// abort stops everyone within a chunk per thread.
long RunSplit(PF_ProgressInfo* progress, long rowCount, tbb::task_arena& arena,
              std::vector<PFh_RowScratch>& scratch, PFh_RowBody body) {
  const long threads = static_cast<long>(scratch.size());
  std::atomic<long> next{0};
  std::atomic<bool> stop{false};
  std::atomic<long> failure{0};
  auto runChunk = [&](long first, PFh_RowScratch& own) {
    try {
      const long end = std::min(rowCount, first + kChunkRows);
      for (long i = first; i < end; ++i) body(i, own);
    } catch (...) {
      long expected = 0;
      failure.compare_exchange_strong(expected, CodeOfCurrentException());
      stop = true;
    }
  };
  auto work = [&](PFh_RowScratch& own) {
    while (!stop.load()) {
      const long first = next.fetch_add(kChunkRows);
      if (first >= rowCount) break;
      runChunk(first, own);
    }
  };

  long aborted = 0;
  std::exception_ptr thrown;
  arena.execute([&] {
    tbb::task_group helpers;
    try {
      for (long t = 1; t < threads; ++t) {
        PFh_RowScratch& own = scratch[static_cast<size_t>(t)];
        helpers.run([&work, &own] { work(own); });
      }
    } catch (...) {
      // Fewer helpers than asked for: the calling thread and the ones
      // started do all the rows.
    }
    try {
      while (!stop.load()) {
        if (const long code = PollProgress(progress, std::min(next.load(), rowCount), rowCount)) {
          aborted = code;
          stop = true;
          break;
        }
        const long first = next.fetch_add(kChunkRows);
        if (first >= rowCount) break;
        runChunk(first, scratch[0]);
      }
    } catch (...) {
      // A progress callback threw: stop the helpers, wait for them, and
      // let the exception go on.
      stop = true;
      thrown = std::current_exception();
    }
    helpers.wait();
  });
  if (thrown) std::rethrow_exception(thrown);
  if (aborted != 0) return aborted;
  return failure.load();
}

}  // namespace

int PF_SetThreadCount(int threads) { return g_thread_count.exchange(threads < 1 ? 1 : threads); }

long PFh_RunRows(PF_ProgressInfo* progress, long rowCount, long long pixelCount, PFh_RowBody body) {
  if (rowCount <= 0) return 0;
  const long chunks = (rowCount + kChunkRows - 1) / kChunkRows;
  long threads = g_thread_count.load(std::memory_order_relaxed);
  if (pixelCount <= kMinPixelsForThreads) threads = 1;
  threads = std::min(threads, chunks);
  if (threads <= 1) return RunOnCallingThread(progress, rowCount, body);
  std::shared_ptr<tbb::task_arena> arena;
  std::vector<PFh_RowScratch> scratch;
  try {
    arena = ArenaFor(static_cast<int>(threads));
    scratch.resize(static_cast<size_t>(threads));
  } catch (const std::bad_alloc&) {
    // No memory for the arena or the threads' scratch: the calling thread
    // does the job alone.
    return RunOnCallingThread(progress, rowCount, body);
  }
  return RunSplit(progress, rowCount, *arena, scratch, body);
}
