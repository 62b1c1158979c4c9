// Error reporting: the in-memory log, the optional sink, deferred delivery
// and the localized-string lookup.
#include "rghost/U_Report.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <utility>

#include "U_Fallible.h"
#include "rghost/U_Errors.h"

char Up_G_buffer[1024] = {};
int32_t Up_G_err_buf = 0;

namespace {

thread_local long long t_reports = 0;

struct ReportState {
  std::recursive_mutex mutex;  // a sink may report again
  std::vector<U_ReportRecord> log;
  std::vector<U_ReportRecord> held;  // made inside a deferred scope
  std::function<void(const U_ReportRecord&)> sink;
  long deferred_depth = 0;
};

ReportState& State() {
  static ReportState state;
  return state;
}

void Deliver(U_ReportRecord record) {
  ReportState& s = State();
  std::lock_guard<std::recursive_mutex> lock(s.mutex);
  s.log.push_back(record);
  if (s.sink) s.sink(s.log.back());
}

void Report(U_ReportKind kind, long location, long line, long code, const char* text) {
  U_ReportRecord record;
  record.kind = kind;
  record.location = location;
  record.line = line;
  record.code = code;
  record.text = text ? text : "";
  ++t_reports;
  ReportState& s = State();
  std::lock_guard<std::recursive_mutex> lock(s.mutex);
  if (s.deferred_depth > 0) {
    s.held.push_back(std::move(record));
  } else {
    Deliver(std::move(record));
  }
}

}  // namespace

void U_ReportFailedVerification(long location, long line, long /*reserved*/, const char* message) {
  Report(U_ReportKind::FailedVerification, location, line, 0, message);
}

void Up_ReportErrString(long location, long severity, const char* text) {
  Report(U_ReportKind::ErrorString, location, 0, severity, text);
}

void Up_ReportError(long code, long /*severity*/) {
  // The buffer is the caller's to fill; never read past its end.
  const size_t length = strnlen(Up_G_buffer, sizeof Up_G_buffer);
  const std::string text(Up_G_buffer, length);
  Report(U_ReportKind::Error, 0, 0, code, text.c_str());
}

const std::vector<U_ReportRecord>& U_ReportLog() { return State().log; }

long long U_ThreadReportCount() { return t_reports; }

void U_ClearReportLog() {
  ReportState& s = State();
  std::lock_guard<std::recursive_mutex> lock(s.mutex);
  s.log.clear();
}

void U_SetReportSink(std::function<void(const U_ReportRecord&)> sink) {
  ReportState& s = State();
  std::lock_guard<std::recursive_mutex> lock(s.mutex);
  s.sink = std::move(sink);
}

long U_DeferredReportingStart(long /*flags*/, U_DeferredReportingScope* scope, long /*reserved*/) {
  if (long err = Uh_NextFallibleCall()) return err;
  if (!scope) return U_ERR_BAD_PARAMETER;
  ReportState& s = State();
  std::lock_guard<std::recursive_mutex> lock(s.mutex);
  scope->depth = ++s.deferred_depth;
  return U_ERR_NONE;
}

void U_DeferredReportingEnd(long /*reserved1*/, long /*reserved2*/,
                            U_DeferredReportingScope* scope) {
  ReportState& s = State();
  std::lock_guard<std::recursive_mutex> lock(s.mutex);
  if (!scope || scope->depth <= 0 || s.deferred_depth <= 0) return;  // not a started scope
  scope->depth = 0;
  if (--s.deferred_depth > 0) return;
  std::vector<U_ReportRecord> held;
  held.swap(s.held);
  for (U_ReportRecord& record : held) Deliver(std::move(record));
}

long U_TranslateAndReportException(const std::exception& e) {
  const long code =
      dynamic_cast<const std::bad_alloc*>(&e) != nullptr ? U_ERR_OUT_OF_MEMORY : U_ERR_INTERNAL;
  Report(U_ReportKind::Error, 0, 0, code, e.what());
  return code;
}

const char* U_ZLookupLStrCache(U_LStrTable* table, long index, long /*reserved1*/,
                               long /*reserved2*/) {
  // The last entry is the terminator, never a string.
  if (!table || !table->entries || index < 0 || index >= table->count - 1) return "";
  U_LStrEntry& entry = table->entries[index];
  if (!entry.key) return "";
  // Slot 0 caches the text, slot 1 the key it was found in, so an entry whose
  // key was replaced is looked up again.
  const intptr_t key = reinterpret_cast<intptr_t>(entry.key);
  if (entry.cache[0] != 0 && entry.cache[1] == key)
    return reinterpret_cast<const char*>(entry.cache[0]);
  const char* equals = std::strchr(entry.key, '=');
  const char* text = equals ? equals + 1 : "";
  entry.cache[0] = reinterpret_cast<intptr_t>(text);
  entry.cache[1] = key;
  return text;
}

void Uh_Fail(long code, const char* operation) {
  const char* what = code == U_ERR_OUT_OF_MEMORY   ? "out of memory"
                     : code == U_ERR_BAD_PARAMETER ? "invalid parameter"
                     : code == U_ERR_INJECTED      ? "injected failure"
                                                   : "failed";
  char text[160];
  std::snprintf(text, sizeof text, "%s: %s (code %ld).", operation, what, code);
  Report(U_ReportKind::Error, 0, 0, code, text);
  throw code;
}

void Uh_FailAllocation(size_t bytes) {
  char text[96];
  std::snprintf(text, sizeof text, "Tracked allocation of %zu bytes failed.", bytes);
  Report(U_ReportKind::Error, 0, 0, U_ERR_OUT_OF_MEMORY, text);
  throw std::bad_alloc();
}

long Uh_CheckVersion(long location, long requested, long available, const char* library) {
  if (long err = Uh_NextFallibleCall()) return err;
  if (requested == available) return U_ERR_NONE;
  char text[128];
  std::snprintf(text, sizeof text, "%s library version %ld requested, %ld available.", library,
                requested, available);
  Up_ReportErrString(location, 8, text);
  return U_ERR_VERSION_MISMATCH;
}
