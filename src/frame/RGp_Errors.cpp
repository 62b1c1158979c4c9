#include "frame/RGp_Errors.h"

#include "rghost/U_Report.h"

void RGp_FailVerification(long location, long line, const char* message) {
  U_ReportFailedVerification(location, line, 0, message);
  throw RG_ERR_CONTRACT;
}

void RGp_FailErrString(long location, const char* text, long code) {
  Up_ReportErrString(location, 8, text);
  throw code;
}
