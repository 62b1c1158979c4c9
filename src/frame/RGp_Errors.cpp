#include "frame/RGp_Errors.h"

#include <cstdio>

#include "rghost/U_Report.h"

void RGp_FailVerification(long location, long line, const char* message) {
  U_ReportFailedVerification(location, line, 0, message);
  throw RG_ERR_CONTRACT;
}

void RGp_FailErrString(long location, const char* text, long code) {
  Up_ReportErrString(location, 8, text);
  throw code;
}

void RGp_ReportPassedOn(long code) {
  char text[128];
  std::snprintf(text, sizeof text, "Rendering failed: %s (code %ld).", RG_GetErrorText(code), code);
  Up_ReportErrString(RGp_LOC_EXECUTE, 8, text);
}

const char* RG_GetErrorText(long code) {
  switch (code) {
    case U_ERR_NONE:
      return "no error";
    case RG_ERR_CONTRACT:
      return "a node broke the execution contract";
    case RG_ERR_STACK_OVERFLOW:
      return "the stack limit was reached";
    case RG_ERR_VERSION:
      return "the library and the host do not match";
    case RG_ERR_CHECKOUT_ID:
      return "a bad checkout id";
    case U_ERR_OUT_OF_MEMORY:
      return "out of memory";
    case U_ERR_BAD_PARAMETER:
      return "a size, depth, mode or pointer is invalid";
    case U_ERR_INTERNAL:
      return "an unexpected exception";
    case U_ERR_VERSION_MISMATCH:
      return "a version check failed";
    case U_ERR_USER_ABORT:
      return "stopped at the caller's request";
    case U_ERR_INJECTED:
      return "an injected failure";
    default:
      return "unknown error";
  }
}
