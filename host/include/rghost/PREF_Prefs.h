// The host's preferences: in-memory stores of text values by section and
// key. On first use the stores also load the INI file named by the
// environment variable RG_PREFS_FILE ("[Section]" lines, then "key=value"),
// into every store.
#pragma once

struct PREF_Store;

// The host's table of preference stores; the render-graph library reads entry 2.
constexpr int PREF_STORE_COUNT = 3;
extern PREF_Store* PREFp_G[PREF_STORE_COUNT];

// Wraps a section name for a preference call (borrows the text).
class PREF_Helper {
 public:
  explicit PREF_Helper(const char* section) : section_(section) {}
  const char* Section() const { return section_; }

 private:
  const char* section_;
};

// Writes the stored value (or `def` when none is stored or it does not parse
// as an integer) and returns 0, or returns an error code.
long PREF_GetTextPrefLong(PREF_Store* store, const PREF_Helper& section, const char* key, long def,
                          long* value);
void PREF_SetTextPrefLong(PREF_Store* store, const char* section, const char* key, long value);
void PREF_RemovePref(PREF_Store* store, const char* section, const char* key);
// Empties every store (the file is not loaded again).
void PREF_ResetAll();
