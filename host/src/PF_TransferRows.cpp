#include <algorithm>
#include <atomic>
#include <exception>
#include <new>
#include <thread>

#include "PF_KernelRows.h"
#include "rghost/U_Errors.h"

namespace {

std::atomic<int> g_thread_count{1};

constexpr long kChunkRows = 16;
// Below this many pixels starting threads costs more than it saves.
constexpr long long kMinPixelsForThreads = 64 * 1024;

long PollProgress(PF_ProgressInfo* progress, long done, long total) {
  if (progress == nullptr) return 0;
  if (progress->abort_cb != nullptr) {
    if (const long code = progress->abort_cb(progress->context)) return code;
  }
  if (progress->progress_cb != nullptr) {
    if (const long code = progress->progress_cb(progress->context, done, total)) return code;
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

}  // namespace

int PF_SetThreadCount(int threads) {
  return g_thread_count.exchange(threads < 1 ? 1 : threads);
}

long PFh_RunRows(PF_ProgressInfo* progress, long rowCount, long long pixelCount,
                 const std::function<void(long, PFh_RowScratch&)>& body) {
  if (rowCount <= 0) return 0;
  const long chunks = (rowCount + kChunkRows - 1) / kChunkRows;
  long threads = g_thread_count.load();
  if (pixelCount <= kMinPixelsForThreads) threads = 1;
  threads = std::min(threads, chunks);

  if (threads <= 1) {
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

  // Workers and the calling thread take chunks from a shared counter; the
  // calling thread polls the progress record before each chunk it takes, so
  // an abort stops everyone within a chunk per thread.
  std::vector<PFh_RowScratch> scratch(static_cast<size_t>(threads));
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
  long aborted = 0;
  {
    std::vector<std::jthread> workers;
    try {
      workers.reserve(static_cast<size_t>(threads - 1));
      for (long t = 1; t < threads; ++t) {
        PFh_RowScratch& own = scratch[static_cast<size_t>(t)];
        workers.emplace_back([&, &own = own] {
          while (!stop.load()) {
            const long first = next.fetch_add(kChunkRows);
            if (first >= rowCount) break;
            runChunk(first, own);
          }
        });
      }
    } catch (...) {
      // Fewer threads than asked for: the ones running and the calling
      // thread do all the rows.
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
      // A progress callback threw: stop the workers (joined on the way out)
      // and let the exception go on.
      stop = true;
      throw;
    }
  }
  if (aborted != 0) return aborted;
  return failure.load();
}
