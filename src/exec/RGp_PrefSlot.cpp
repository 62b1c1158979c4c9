#include "exec/RGp_PrefSlot.h"

#include "frame/RGp_Errors.h"
#include "rghost/PREF_Prefs.h"

long RGp_PrefSlot::Get() {
  if (!loaded) {
    long v = 0;
    RGp_ThrowIfError(PREF_GetTextPrefLong(PREFp_G[2], PREF_Helper(section), key, default_value, &v));
    value = v;
    loaded = true;
  }
  return value;
}

RGp_PrefSlot& RGp_ReleaseLockPref() {
  static RGp_PrefSlot slot{false, "Misc Section", "Delete Buffer Lock on KeenFX Checkin", 1, 0};
  return slot;
}
