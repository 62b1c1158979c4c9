// The stack-usage guard of RG_Traverser: on the host's main thread, limits
// the stack an execution uses in total and reports a node whose own code
// uses more than the per-node limit.

#include "exec/RGp_StackGuard.h"

#include <atomic>
#include <boost/numeric/conversion/cast.hpp>
#include <cstdint>
#include <mutex>

#include "exec/RGp_PrefSlot.h"
#include "frame/RGp_Errors.h"
#include "frame/RGp_LocalizedStrings.h"
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

}  // namespace

void RG_Traverser::InitStackMarkers() {
  if (U_IsOnMainThread()) {
    char* here = RGp_StackPosition();
    if (reinterpret_cast<uintptr_t>(here) > reinterpret_cast<uintptr_t>(S_stack_startP)) {
      S_stack_startP = here;
    }
    stack_marker_ = here;
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
  if (!U_IsOnMainThread()) return;
  const char* here = RGp_StackPosition();
  const uint64_t total = Distance(S_stack_startP, here);
  const uint64_t perNode = Distance(stack_marker_, here);
  // This thread's InitStackMarkers saw both limits published.
  const uint64_t perNodeLimit = S_max_per_node_stackL.load(std::memory_order_relaxed);
  if (perNodeLimit != 0 && perNode > perNodeLimit) {
    Up_ReportErrString(RGp_LOC_STACK, 8,
                       U_ZLookupLStrCache(&RGp_G_lstr_table, RGp_LSTR_PER_NODE_STACK, 0, 0));
  }
  if (total > S_max_total_stackL.load(std::memory_order_relaxed)) {
    RGp_FailErrString(RGp_LOC_STACK,
                      U_ZLookupLStrCache(&RGp_G_lstr_table, RGp_LSTR_STACK_OVERFLOW, 0, 0),
                      RG_ERR_STACK_OVERFLOW);
  }
}
