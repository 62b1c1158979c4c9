// Platform services: main thread, clocks, the utility version check,
// allocation accounting and the purge-and-retry loop.
#include "rghost/U_Services.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "U_Fallible.h"
#include "rghost/U_Errors.h"
#include "rghost/U_Memory.h"
#include "rghost/U_Report.h"

namespace {

constexpr long kUtilityVersion = 61;

// The thread that loads the library is the main thread until someone says
// otherwise; this static initialiser runs on it.
// Read at every node entry of a traversal: an atomic, not a lock.
std::atomic<std::thread::id> g_main_thread{std::this_thread::get_id()};

std::atomic<double (*)()> g_clock{nullptr};

double RealClock() {
  // steady_clock is CLOCK_MONOTONIC on our platforms: time since boot.
  const auto since = std::chrono::steady_clock::now().time_since_epoch();
  return std::chrono::duration<double>(since).count();
}

double Now() {
  double (*clock)() = g_clock.load(std::memory_order_acquire);
  return clock ? clock() : RealClock();
}

std::atomic<long long> g_accounted{0};

struct PurgeHookEntry {
  U_PurgeHook hook;
  void* context;
};
std::mutex g_hooks_mutex;
std::vector<PurgeHookEntry>& Hooks() {
  static std::vector<PurgeHookEntry> hooks;
  return hooks;
}

}  // namespace

bool U_IsOnMainThread() {
  return std::this_thread::get_id() == g_main_thread.load(std::memory_order_relaxed);
}

void U_SetMainThread() {
  g_main_thread.store(std::this_thread::get_id(), std::memory_order_relaxed);
}

long U_SecondsSinceBoot(double* seconds) {
  if (long err = Uh_NextFallibleCall()) return err;
  if (!seconds) return U_ERR_BAD_PARAMETER;
  *seconds = Now();
  return U_ERR_NONE;
}

uint32_t TickCount() {
  const double ms = Now() * 1000.0;
  if (!(ms > 0.0)) return 0;  // also catches NaN from a test clock
  // Wrap at 2^32 like the platform counter; fmod keeps huge values defined.
  return static_cast<uint32_t>(std::fmod(ms, 4294967296.0));
}

void U_SetClock(double (*clock)()) { g_clock.store(clock, std::memory_order_release); }

long U_CheckVersions(long location, long version) {
  return Uh_CheckVersion(location, version, kUtilityVersion, "Utility");
}

void U_AccountAllocationEx(size_t bytes, bool allocated) {
  const long long delta = static_cast<long long>(bytes);
  g_accounted.fetch_add(allocated ? delta : -delta, std::memory_order_relaxed);
}

long long U_AccountedBytes() { return g_accounted.load(std::memory_order_relaxed); }

long U_PurgeLoop(size_t bytes, U_PurgeCallback callback, void* context, long /*reserved*/) {
  if (long err = Uh_NextFallibleCall()) return err;
  if (!callback) return U_ERR_BAD_PARAMETER;
  long result = callback(context);
  if (result != U_ERR_OUT_OF_MEMORY) return result;
  // Copy the hooks so that a hook may remove itself while we run them.
  std::vector<PurgeHookEntry> hooks;
  {
    std::lock_guard<std::mutex> lock(g_hooks_mutex);
    hooks = Hooks();
  }
  for (const PurgeHookEntry& entry : hooks) entry.hook(entry.context, bytes);
  return callback(context);
}

void U_AddPurgeHook(U_PurgeHook hook, void* context) {
  if (!hook) return;
  std::lock_guard<std::mutex> lock(g_hooks_mutex);
  Hooks().push_back({hook, context});
}

namespace {
// A context-free hook rides in the context slot of the general form.
void CallSimplePurgeHook(void* context, size_t bytes) {
  reinterpret_cast<U_SimplePurgeHook>(context)(bytes);
}
}  // namespace

void U_AddPurgeHook(U_SimplePurgeHook hook) {
  if (hook) U_AddPurgeHook(&CallSimplePurgeHook, reinterpret_cast<void*>(hook));
}

void U_RemovePurgeHook(U_SimplePurgeHook hook) {
  U_RemovePurgeHook(&CallSimplePurgeHook, reinterpret_cast<void*>(hook));
}

void U_RemovePurgeHook(U_PurgeHook hook, void* context) {
  std::lock_guard<std::mutex> lock(g_hooks_mutex);
  auto& hooks = Hooks();
  auto it = std::find_if(hooks.begin(), hooks.end(), [&](const PurgeHookEntry& e) {
    return e.hook == hook && e.context == context;
  });
  if (it != hooks.end()) hooks.erase(it);
}
