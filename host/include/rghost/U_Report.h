// The host's error reporting and localized strings.
//
// Every report is kept in an in-memory log (U_ReportLog) and handed to an
// optional sink. Reports made inside a deferred-reporting scope are held back
// and delivered when the outermost scope ends.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <vector>

enum class U_ReportKind { FailedVerification, ErrorString, Error };

struct U_ReportRecord {
  U_ReportKind kind = U_ReportKind::Error;
  long location = 0;  // module number in the high 16 bits, file in the low
  long line = 0;      // source line, for failed verifications
  long code = 0;      // severity or error code
  std::string text;
};

// A failed internal check; the caller throws afterwards.
void U_ReportFailedVerification(long location, long line, long reserved, const char* message);
// An error text for the user (severity 8 for errors).
void Up_ReportErrString(long location, long severity, const char* text);
// Reports the text in Up_G_buffer with an error code.
void Up_ReportError(long code, long severity);

// Text buffer of the next Up_ReportError, and the error word cleared before
// a new text is written into it.
extern char Up_G_buffer[1024];
extern int32_t Up_G_err_buf;

const std::vector<U_ReportRecord>& U_ReportLog();
// Reports the calling thread has made so far, held-back ones included: two
// readings tell a caller whether a failure it passes on was reported.
long long U_ThreadReportCount();
void U_ClearReportLog();
// Also hands each report to `sink` (null removes it).
void U_SetReportSink(std::function<void(const U_ReportRecord&)> sink);

// Deferred reporting. Start returns 0 or an error code; End must be called
// exactly once for each successful Start, with the same scope.
struct U_DeferredReportingScope {
  long depth = 0;
};
long U_DeferredReportingStart(long flags, U_DeferredReportingScope* scope, long reserved = 0);
void U_DeferredReportingEnd(long reserved1, long reserved2, U_DeferredReportingScope* scope);

// Reports an exception and returns the equivalent error code
// (U_ERR_OUT_OF_MEMORY for std::bad_alloc, U_ERR_INTERNAL otherwise).
long U_TranslateAndReportException(const std::exception& e);

// A localized-string table: a module tag, an entry count (terminator
// included) and the entries. Each key is "$$$/path=English default".
struct U_LStrEntry {
  const char* key;
  intptr_t cache[3];
};
struct U_LStrTable {
  const char* module;
  long count;
  U_LStrEntry* entries;
};
// The text after the '=' of entry `index`'s key (empty for a bad index).
const char* U_ZLookupLStrCache(U_LStrTable* table, long index, long reserved1, long reserved2);
