// The stack-usage guard of RG_Traverser: on the host's main thread, limits
// the stack an execution uses in total and reports a node whose own code
// uses more than the per-node limit. Other threads are guarded the same way
// while an RG_ScThreadStackGuard of theirs lives, with its limits.

#include "exec/RGp_StackGuard.h"

#include <pthread.h>

#include <atomic>
#include <boost/numeric/conversion/cast.hpp>
#include <cstdint>
#include <mutex>

#include "exec/RGp_PrefSlot.h"
#include "frame/RGp_Errors.h"
#include "frame/RGp_LocalizedStrings.h"
#include "rg/RG_ScThreadStackGuard.h"
#include "rg/RG_Traverser.h"
#include "rghost/PREF_Prefs.h"
#include "rghost/U_Report.h"
#include "rghost/U_Services.h"

constinit std::atomic<uint64_t> RG_Traverser::S_max_total_stackL{0};
constinit std::atomic<uint64_t> RG_Traverser::S_max_per_node_stackL{0};
char* RG_Traverser::S_stack_startP = nullptr;

// The frame address rather than a local's address: sanitizers may move
// locals to a heap-allocated fake stack, frames never.
__attribute__((noinline)) char* RGp_StackPosition() {
  return static_cast<char*>(__builtin_frame_address(0));
}

namespace {

constexpr const char* kStackSection = "Max KeenEffects Stack Usage 2";
constexpr long kDefaultPerNode = 0;
constexpr long kDefaultTotal = 8000000;

// Reads one limit. A negative value cannot be a limit: it is reported and
// `fallback` is used instead (no per-node check, or the default total).
uint64_t ReadLimit(const char* key, long def, uint64_t fallback) {
  long value = 0;
  RGp_ThrowIfError(PREF_GetTextPrefLong(PREFp_G[2], PREF_Helper(kStackSection), key, def, &value));
  try {
    return boost::numeric_cast<uint64_t>(value);
  } catch (const boost::numeric::negative_overflow&) {
    U_ReportFailedVerification(0, 2117, 0, "bad numeric conversion: negative overflow");
    return fallback;
  }
}

uint64_t Distance(const char* from, const char* to) {
  return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(from) - reinterpret_cast<uintptr_t>(to));
}

// The innermost live scope of this thread; null on an unguarded thread.
thread_local const RG_ScThreadStackGuard* tl_thread_guard = nullptr;

// What the calling thread's stack has left below `here`, less the reserve;
// the main thread's default total when the thread's stack cannot be found.
uint64_t StackLeftBelow(const char* here) {
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) != 0) return kDefaultTotal;
  void* lowest = nullptr;
  size_t size = 0;
  const int status = pthread_attr_getstack(&attr, &lowest, &size);
  pthread_attr_destroy(&attr);
  if (status != 0 || lowest == nullptr) return kDefaultTotal;
  const uint64_t left = Distance(here, static_cast<const char*>(lowest));
  return left > RG_ScThreadStackGuard::kReserveBytes ? left - RG_ScThreadStackGuard::kReserveBytes
                                                     : 0;
}

// Reports a node over the per-node limit; stops an execution over the total.
void CheckUsage(uint64_t total, uint64_t totalLimit, uint64_t perNode, uint64_t perNodeLimit) {
  if (perNodeLimit != 0 && perNode > perNodeLimit) {
    Up_ReportErrString(RGp_LOC_STACK, 8,
                       U_ZLookupLStrCache(&RGp_G_lstr_table, RGp_LSTR_PER_NODE_STACK, 0, 0));
  }
  if (total > totalLimit) {
    RGp_FailErrString(RGp_LOC_STACK,
                      U_ZLookupLStrCache(&RGp_G_lstr_table, RGp_LSTR_STACK_OVERFLOW, 0, 0),
                      RG_ERR_STACK_OVERFLOW);
  }
}

}  // namespace

RG_ScThreadStackGuard::RG_ScThreadStackGuard(uint64_t totalBytes, uint64_t perNodeBytes)
    : start_(RGp_StackPosition()),
      total_(totalBytes != 0 ? totalBytes : StackLeftBelow(start_)),
      per_node_(perNodeBytes),
      previous_(tl_thread_guard) {
  tl_thread_guard = this;
}

RG_ScThreadStackGuard::~RG_ScThreadStackGuard() { tl_thread_guard = previous_; }

void RG_Traverser::InitStackMarkers() {
  if (U_IsOnMainThread()) {
    char* here = RGp_StackPosition();
    if (reinterpret_cast<uintptr_t>(here) > reinterpret_cast<uintptr_t>(S_stack_startP)) {
      S_stack_startP = here;
    }
    stack_marker_ = here;
  } else if (tl_thread_guard != nullptr) {
    stack_marker_ = RGp_StackPosition();
  }
  // A stored total of 0 means "not read yet", so a "Total" preference of 0
  // is read again at every execution start. The per-node limit is stored
  // before the total that publishes both; threads that start their first
  // executions together read the preferences once, one after the other.
  if (S_max_total_stackL.load(std::memory_order_acquire) == 0) {
    std::lock_guard<std::mutex> lock(RGp_PrefReadMutex());
    if (S_max_total_stackL.load(std::memory_order_relaxed) == 0) {
      S_max_per_node_stackL.store(ReadLimit("Per-Node", kDefaultPerNode, 0),
                                  std::memory_order_relaxed);
      S_max_total_stackL.store(ReadLimit("Total", kDefaultTotal, kDefaultTotal),
                               std::memory_order_release);
    }
  }
}

void RG_Traverser::CheckStackUsage() const {
  const char* here = RGp_StackPosition();
  if (U_IsOnMainThread()) {
    // This thread's InitStackMarkers saw both limits published.
    CheckUsage(Distance(S_stack_startP, here), S_max_total_stackL.load(std::memory_order_relaxed),
               Distance(stack_marker_, here),
               S_max_per_node_stackL.load(std::memory_order_relaxed));
  } else if (const RG_ScThreadStackGuard* guard = tl_thread_guard) {
    // A scope made while this traversal was already running found no marker
    // set: the per-node measure starts at the next node entry.
    CheckUsage(Distance(guard->GetStackStart(), here), guard->GetTotalLimit(),
               stack_marker_ != nullptr ? Distance(stack_marker_, here) : 0,
               guard->GetPerNodeLimit());
  }
}
