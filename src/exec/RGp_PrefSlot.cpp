#include "exec/RGp_PrefSlot.h"

#include "frame/RGp_Errors.h"
#include "rghost/PREF_Prefs.h"

namespace {
// Constant-initialised and trivially destroyed: no code runs at load or exit.
constinit std::mutex g_pref_read_mutex;
}  // namespace

std::mutex& RGp_PrefReadMutex() { return g_pref_read_mutex; }

long RGp_PrefSlot::Get() {
  if (loaded.load(std::memory_order_acquire)) return value;
  std::lock_guard<std::mutex> lock(g_pref_read_mutex);
  if (!loaded.load(std::memory_order_relaxed)) {
    long v = 0;
    RGp_ThrowIfError(
        PREF_GetTextPrefLong(PREFp_G[2], PREF_Helper(section), key, default_value, &v));
    value = v;
    loaded.store(true, std::memory_order_release);
  }
  return value;
}

RGp_PrefSlot& RGp_ReleaseLockPref() {
  static constinit RGp_PrefSlot slot{false, "Misc Section", "Delete Buffer Lock on KeenFX Checkin",
                                     1, 0};
  return slot;
}
