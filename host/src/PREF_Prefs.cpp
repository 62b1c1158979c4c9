// Preference stores: section -> key -> text, filled on first use from the
// INI file named by RG_PREFS_FILE.
#include "rghost/PREF_Prefs.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <string>

#include "U_Fallible.h"
#include "rghost/U_Errors.h"

// A store is only a handle; its contents live in Contents() so that nothing
// depends on the order of static initialisation across the host library.
struct PREF_Store {};

namespace {

using Section = std::map<std::string, std::string>;
using StoreContents = std::map<std::string, Section>;

PREF_Store g_stores[PREF_STORE_COUNT];

struct PrefState {
  std::mutex mutex;
  bool loaded = false;
  StoreContents stores[PREF_STORE_COUNT];
};

PrefState& State() {
  static PrefState state;
  return state;
}

std::string Trim(const std::string& s) {
  const char* space = " \t\r\n";
  const size_t first = s.find_first_not_of(space);
  if (first == std::string::npos) return std::string();
  const size_t last = s.find_last_not_of(space);
  return s.substr(first, last - first + 1);
}

void LoadFile(PrefState& state, const char* path) {
  std::ifstream in(path);
  if (!in) return;  // a missing file is an empty one
  std::string line;
  std::string section;
  while (std::getline(in, line)) {
    const std::string text = Trim(line);
    if (text.empty() || text[0] == ';' || text[0] == '#') continue;
    if (text.front() == '[' && text.back() == ']') {
      section = Trim(text.substr(1, text.size() - 2));
      continue;
    }
    const size_t equals = text.find('=');
    if (equals == std::string::npos) continue;
    const std::string key = Trim(text.substr(0, equals));
    const std::string value = Trim(text.substr(equals + 1));
    for (StoreContents& store : state.stores) store[section][key] = value;
  }
}

// Returns the locked state, loading the file the first time.
StoreContents* Contents(PrefState& state, PREF_Store* store) {
  if (!state.loaded) {
    state.loaded = true;
    const char* path = std::getenv("RG_PREFS_FILE");
    if (path && *path) LoadFile(state, path);
  }
  const PREF_Store* found = std::find_if(std::begin(g_stores), std::end(g_stores),
                                         [store](const PREF_Store& s) { return &s == store; });
  return found == std::end(g_stores) ? nullptr : &state.stores[found - g_stores];
}

bool ParseLong(const std::string& text, long* out) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (errno == ERANGE || end == text.c_str() || *end != '\0') return false;
  *out = value;
  return true;
}

}  // namespace

PREF_Store* PREFp_G[PREF_STORE_COUNT] = {&g_stores[0], &g_stores[1], &g_stores[2]};

long PREF_GetTextPrefLong(PREF_Store* store, const PREF_Helper& section, const char* key, long def,
                          long* value) {
  if (long err = Uh_NextFallibleCall()) return err;
  if (!value || !key || !section.Section()) return U_ERR_BAD_PARAMETER;
  PrefState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  StoreContents* contents = Contents(state, store);
  if (!contents) return U_ERR_BAD_PARAMETER;
  *value = def;
  const auto sec = contents->find(section.Section());
  if (sec == contents->end()) return U_ERR_NONE;
  const auto entry = sec->second.find(key);
  if (entry == sec->second.end()) return U_ERR_NONE;
  long parsed;
  if (ParseLong(entry->second, &parsed)) *value = parsed;
  return U_ERR_NONE;
}

void PREF_SetTextPrefLong(PREF_Store* store, const char* section, const char* key, long value) {
  if (!section || !key) return;
  PrefState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  if (StoreContents* contents = Contents(state, store))
    (*contents)[section][key] = std::to_string(value);
}

void PREF_RemovePref(PREF_Store* store, const char* section, const char* key) {
  if (!section || !key) return;
  PrefState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  StoreContents* contents = Contents(state, store);
  if (!contents) return;
  const auto sec = contents->find(section);
  if (sec == contents->end()) return;
  sec->second.erase(key);
  if (sec->second.empty()) contents->erase(sec);
}

void PREF_ResetAll() {
  PrefState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.loaded = true;
  for (StoreContents& store : state.stores) store.clear();
}
