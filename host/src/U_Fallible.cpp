// The failure-injection counter shared by every fallible host call.
#include "U_Fallible.h"

#include <atomic>
#include <mutex>

#include "rghost/U_Errors.h"
#include "rghost/U_Services.h"

namespace {

// Initial-exec: a plain %fs-relative increment on every call.
__attribute__((tls_model("initial-exec"))) thread_local long long t_calls = 0;
// Read without the lock on every call so that the common, unarmed case stays
// one thread-local increment and one load; the countdown itself is guarded.
std::atomic<bool> g_armed{false};
std::mutex g_mutex;
long g_remaining = 0;
long g_code = 0;

}  // namespace

long Uh_NextFallibleCall() {
  ++t_calls;
  if (!g_armed.load(std::memory_order_acquire)) return 0;
  std::lock_guard<std::mutex> lock(g_mutex);
  if (!g_armed.load(std::memory_order_relaxed)) return 0;
  if (g_remaining > 0) {
    --g_remaining;
    return 0;
  }
  g_armed.store(false, std::memory_order_release);
  return g_code;
}

void U_InjectFailure(long afterCalls, long code) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_remaining = afterCalls < 0 ? 0 : afterCalls;
  g_code = code != 0 ? code : U_ERR_INJECTED;
  g_armed.store(true, std::memory_order_release);
}

void U_ClearInjectedFailure() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_armed.store(false, std::memory_order_release);
  g_remaining = 0;
  g_code = 0;
}

long long U_FallibleCallCount() { return t_calls; }
