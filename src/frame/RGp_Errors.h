// Location codes of the library's reports and the report-then-throw helpers.
// A location carries the module number 0x4E in its high 16 bits and the
// number of the reporting file in its low 16 bits.
#pragma once

#include <new>

#include "rg/RG_Errors.h"
#include "rghost/U_Errors.h"
#include "rghost/U_Report.h"

constexpr long RGp_LOC_NONE = 0;
constexpr long RGp_LOC_VERSION = 0x4E0001;      // version handshake
constexpr long RGp_LOC_BIT_DEPTH = 0x4E0002;    // bit-depth check of the pre-render pass
constexpr long RGp_LOC_INVOCATION = 0x4E0003;   // node invocation
constexpr long RGp_LOC_CHECKOUT = 0x4E0004;     // checkout results
constexpr long RGp_LOC_STACK = 0x4E0006;        // stack guard
constexpr long RGp_LOC_CHECKOUT_ID = 0x4E0007;  // checkout-id checks
constexpr long RGp_LOC_EXECUTE = 0x4E0008;      // requests entering an execution

// Reports a failed verification and throws RG_ERR_CONTRACT (3).
[[noreturn]] void RGp_FailVerification(long location, long line, const char* message);
// Reports an error text with severity 8 and throws `code`.
[[noreturn]] void RGp_FailErrString(long location, const char* text, long code);
// Throws a nonzero host status unchanged.
inline void RGp_ThrowIfError(long status) {
  if (status != 0) throw status;
}

// Reports a failure that is about to leave the library without a report.
void RGp_ReportPassedOn(long code);

// Runs `body`. A host code or an allocation failure that leaves it without
// a report made on this thread gets one on its way out, so that every
// failure a caller catches is in the report log; it is rethrown unchanged.
// Exceptions of the host's own nodes pass untouched.
template <class Body>
void RGp_WithFailuresReported(Body&& body) {
  const long long before = U_ThreadReportCount();
  try {
    body();
  } catch (long code) {
    if (U_ThreadReportCount() == before) RGp_ReportPassedOn(code);
    throw;
  } catch (const std::bad_alloc&) {
    if (U_ThreadReportCount() == before) RGp_ReportPassedOn(U_ERR_OUT_OF_MEMORY);
    throw;
  }
}
