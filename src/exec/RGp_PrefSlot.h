// A lazily filled preference: read from the host's preference store on first
// use and cached for the rest of the process.
#pragma once

struct RGp_PrefSlot {
  bool loaded = false;
  const char* section;  // borrowed, static text
  const char* key;      // borrowed, static text
  long default_value;
  long value = 0;

  // The cached value, reading it first when needed. A nonzero status of the
  // preference call is thrown as a `long` and leaves the slot unfilled, so
  // the next use asks again.
  long Get();
  // Forgets the cached value (tests).
  void Reset() { loaded = false; }
};

// "Delete Buffer Lock on KeenFX Checkin" in "Misc Section", default 1: whether
// RG_CheckoutResult::Release deletes the buffer lock with the world.
RGp_PrefSlot& RGp_ReleaseLockPref();
