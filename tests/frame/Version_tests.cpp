// The version handshake, and what the shared library exports.
#include <dlfcn.h>

#include <string>

#include "frame/RGp_VersionCheck.h"
#include "rg/RG_Version.h"
#include "rghost/U_Errors.h"
#include "support/LeakCheck.h"

namespace {

constexpr int32_t kReportCode = 12345;

// Each case starts as a freshly loaded library would: host libraries not yet
// checked.
class VersionTest : public LeakCheckTest {
 protected:
  void SetUp() override {
    LeakCheckTest::SetUp();
    RGp_ResetVersionCheck();
  }
  void TearDown() override {
    RGp_ResetVersionCheck();
    LeakCheckTest::TearDown();
  }
  // Runs the handshake; `hostChecks` must equal the host-library checks made.
  static long Check(int32_t headerVersion, long long hostChecks) {
    const long long before = U_FallibleCallCount();
    const long status = RG_CheckVersions(kReportCode, headerVersion);
    EXPECT_EQ(U_FallibleCallCount() - before, hostChecks) << "header " << headerVersion;
    return status;
  }
};

TEST_F(VersionTest, HostLibrariesMustBeCheckedOnceAndAHeaderMismatchReportedWithOurCode) {
  EXPECT_EQ(Check(RG_HEADER_VERSION, 3), 0);
  EXPECT_EQ(Check(1, 0), 0);
  EXPECT_TRUE(U_ReportLog().empty());
  // A header mismatch on the first call still checks the host libraries.
  RGp_ResetVersionCheck();
  Up_G_err_buf = 99;
  EXPECT_EQ(Check(2, 3), 7);
  EXPECT_EQ(Up_G_err_buf, 0);
  const std::string expected =
      "Plug-in version mismatch detected (did you install over an older version of "
      "Lumenfold?). Try uninstalling and re-installing. (RG package v1 != rg/RG_Version.h v2)";
  EXPECT_EQ(std::string(Up_G_buffer), expected);
  ASSERT_EQ(U_ReportLog().size(), 1u);
  const U_ReportRecord& r = U_ReportLog()[0];
  EXPECT_TRUE(r.kind == U_ReportKind::Error && r.code == kReportCode && r.text == expected);
  EXPECT_EQ(Check(0, 0), 7);
  EXPECT_EQ(Check(1, 0), 0);
  // A failing host check fails only the first call, whichever of the three
  // fails; all three are asked, and the host library reports for itself.
  for (long failing = 0; failing < 3; ++failing) {
    RGp_ResetVersionCheck();
    U_ClearReportLog();
    U_InjectFailure(failing, U_ERR_VERSION_MISMATCH);
    EXPECT_EQ(Check(1, 3), 7) << "check " << failing;
    for (const U_ReportRecord& r : U_ReportLog()) EXPECT_NE(r.code, kReportCode);
    EXPECT_EQ(Check(1, 0), 0);
  }
}

TEST(ExportsTest, HandshakeAndNodeBaseMustBeExportedAndInternalsHidden) {
  void* handle = dlopen(RG_SHARED_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(handle, nullptr) << dlerror();
  auto version = reinterpret_cast<uint32_t (*)()>(dlsym(handle, "RG_PkgObjectVersion"));
  ASSERT_NE(version, nullptr);
  EXPECT_EQ(version(), 0x10000u);
  // The string table pointer is set when the library is loaded.
  auto* zref = static_cast<U_LStrTable**>(dlsym(handle, "RG_G_zref"));
  ASSERT_TRUE(zref && *zref);
  EXPECT_STREQ((*zref)->module, "RG");
  EXPECT_EQ((*zref)->count, 3);
  EXPECT_TRUE(dlsym(handle, "_ZN13RG_RenderNodeC2Ev") || dlsym(handle, "_ZN13RG_RenderNodeC1Ev"));
  for (const char* name :
       {"RG_CheckVersions", "_ZN13RG_RenderNode23S_globally_unique_seedLE",
        "_Z14RG_SetProfilerP16RG_GraphProfiler", "_ZTV11RG_NullNode", "_ZTV19RG_SourceBufferNode"})
    EXPECT_NE(dlsym(handle, name), nullptr) << name;
  for (const char* name :
       {"_Z17RGp_RequestCoversRK16RG_RenderRequestS1_", "_Z20RGp_FailVerificationllPKc",
        "RGp_G_lstr_table", "_ZN13RGp_NodeScopeC1EP16RG_GraphProfilerPK13RG_RenderNode"})
    EXPECT_EQ(dlsym(handle, name), nullptr) << name;
  dlclose(handle);
}

}  // namespace
