// A lazily filled preference: read from the host's preference store on first
// use and cached for the rest of the process.
//
// Threads: any thread may call Get. Once filled, Get is one acquire load; the
// first reads are serialised by RGp_PrefReadMutex, so a preference is asked
// for once even when several threads start together.
#pragma once

#include <atomic>
#include <mutex>

struct RGp_PrefSlot {
  std::atomic<bool> loaded = false;
  const char* section;  // borrowed, static text
  const char* key;      // borrowed, static text
  long default_value;
  long value = 0;  // written before `loaded` is set, under the mutex

  // The cached value, reading it first when needed. A nonzero status of the
  // preference call is thrown as a `long` and leaves the slot unfilled, so
  // the next use asks again.
  long Get();
  // Forgets the cached value (tests; no execution may be running).
  void Reset() { loaded.store(false, std::memory_order_relaxed); }
};

// Held while the library reads its preferences for the first time (the
// release preference and the stack limits).
std::mutex& RGp_PrefReadMutex();

// "Delete Buffer Lock on KeenFX Checkin" in "Misc Section", default 1: whether
// RG_CheckoutResult::Release deletes the buffer lock with the world.
RGp_PrefSlot& RGp_ReleaseLockPref();
