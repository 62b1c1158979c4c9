#include "rg/RG_Version.h"

#include <atomic>
#include <cstdio>

#include "frame/RGp_Errors.h"
#include "frame/RGp_LocalizedStrings.h"
#include "frame/RGp_VersionCheck.h"
#include "rghost/M_Geometry.h"
#include "rghost/PF_World.h"
#include "rghost/U_Report.h"
#include "rghost/U_Services.h"

namespace {

constexpr uint32_t kPackageVersion = 0x10000;

// Versions of the host libraries this library was built against.
constexpr long kUtilityVersion = 61;
constexpr long kMathVersion = 18;
constexpr long kPixelBufferVersion = 17;

// The host libraries are checked on the first handshake of the process only,
// also when several threads shake hands at once.
constinit std::atomic<bool> g_host_libraries_checked{false};

}  // namespace

// Constant-initialised, so loading the library runs no code to set it.
constinit U_LStrTable* RG_G_zref = &RGp_G_lstr_table;

void RGp_ResetVersionCheck() { g_host_libraries_checked.store(false); }

uint32_t RG_PkgObjectVersion(void) { return kPackageVersion; }

// The header that defines RG_HEADER_VERSION, as the mismatch text names it
// (the text adds ".h"), so a reader finds the file it means.
constexpr const char* kVersionHeader = "rg/RG_Version";

long RG_CheckVersions(int32_t reportCode, int32_t headerVersion) {
  long status = 0;
  if (!g_host_libraries_checked.exchange(true)) {
    // All three are asked, in this order, even when an earlier one fails.
    status |= U_CheckVersions(RGp_LOC_VERSION, kUtilityVersion);
    status |= M_CheckVersions(RGp_LOC_VERSION, kMathVersion);
    status |= PF_CheckVersions(RGp_LOC_VERSION, kPixelBufferVersion);
  }
  const int32_t major = static_cast<int32_t>(RG_PkgObjectVersion() >> 16);
  if (major != headerVersion) {
    Up_G_err_buf = 0;
    std::snprintf(Up_G_buffer, sizeof(Up_G_buffer),
                  "Plug-in version mismatch detected (did you install over an older version of "
                  "Lumenfold?). Try uninstalling and re-installing. (%s package v%d != %s.h v%d)",
                  "RG", static_cast<int>(major), kVersionHeader, static_cast<int>(headerVersion));
    Up_ReportError(reportCode, 16);
    return RG_ERR_VERSION;
  }
  return status != 0 ? RG_ERR_VERSION : 0;
}
