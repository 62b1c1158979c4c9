// The version handshake, and what the shared library exports.
#include <dlfcn.h>

#include <string>

#include "frame/RGp_VersionCheck.h"
#include "rg/RG_Version.h"
#include "rghost/U_Errors.h"
#include "rghost/U_Report.h"
#include "rghost/U_Services.h"
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
  // Runs the handshake and counts the host-library checks it made.
  long Check(int32_t headerVersion, long long* hostChecks) {
    const long long before = U_FallibleCallCount();
    const long status = RG_CheckVersions(kReportCode, headerVersion);
    *hostChecks = U_FallibleCallCount() - before;
    return status;
  }
  bool ReportedWithOurCode() const {
    for (const U_ReportRecord& r : U_ReportLog()) {
      if (r.kind == U_ReportKind::Error && r.code == kReportCode) return true;
    }
    return false;
  }
};

TEST_F(VersionTest, HostLibrariesAreCheckedOnceThenOnlyTheHeader) {
  EXPECT_EQ(RG_PkgObjectVersion(), 0x10000u);
  long long hostChecks = 0;
  EXPECT_EQ(Check(RG_HEADER_VERSION, &hostChecks), 0);
  EXPECT_EQ(hostChecks, 3);
  EXPECT_EQ(Check(1, &hostChecks), 0);
  EXPECT_EQ(hostChecks, 0);
  EXPECT_TRUE(U_ReportLog().empty());

  // A header mismatch on the first call still checks the host libraries.
  RGp_ResetVersionCheck();
  Up_G_err_buf = 99;
  EXPECT_EQ(Check(2, &hostChecks), 7);
  EXPECT_EQ(hostChecks, 3);
  EXPECT_EQ(Up_G_err_buf, 0);
  const std::string expected =
      "Plug-in version mismatch detected (did you install over an older version of "
      "Lumenfold?). Try uninstalling and re-installing. (RG package v1 != RG.h v2)";
  EXPECT_EQ(std::string(Up_G_buffer), expected);
  ASSERT_EQ(U_ReportLog().size(), 1u);
  EXPECT_EQ(U_ReportLog()[0].kind, U_ReportKind::Error);
  EXPECT_EQ(U_ReportLog()[0].code, kReportCode);
  EXPECT_EQ(U_ReportLog()[0].text, expected);
  EXPECT_EQ(Check(0, &hostChecks), 7);
  EXPECT_EQ(hostChecks, 0);
  EXPECT_EQ(Check(1, &hostChecks), 0);
}

TEST_F(VersionTest, FailedHostCheckFailsOnlyTheFirstCall) {
  // Each of the three checks in turn; all three are asked every time.
  for (long failing = 0; failing < 3; ++failing) {
    RGp_ResetVersionCheck();
    U_ClearReportLog();
    U_InjectFailure(failing, U_ERR_VERSION_MISMATCH);
    long long hostChecks = 0;
    EXPECT_EQ(Check(1, &hostChecks), 7) << "check " << failing;
    EXPECT_EQ(hostChecks, 3);
    EXPECT_FALSE(ReportedWithOurCode()) << "a host library reports its own mismatch";
    EXPECT_EQ(Check(1, &hostChecks), 0);
    EXPECT_EQ(hostChecks, 0);
  }
}

// What a host can reach in the shared library, and what stays inside it.
class ExportsTest : public LeakCheckTest {
 protected:
  void SetUp() override {
    LeakCheckTest::SetUp();
    handle_ = dlopen(RG_SHARED_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle_, nullptr) << dlerror();
  }
  void TearDown() override {
    if (handle_) dlclose(handle_);
    LeakCheckTest::TearDown();
  }
  void* Find(const char* name) const { return dlsym(handle_, name); }

  void* handle_ = nullptr;
};

TEST_F(ExportsTest, HandshakeAndNodeBaseAreExportedInternalsHidden) {
  auto version = reinterpret_cast<uint32_t (*)()>(Find("RG_PkgObjectVersion"));
  ASSERT_NE(version, nullptr);
  EXPECT_EQ(version(), 0x10000u);
  EXPECT_NE(Find("RG_CheckVersions"), nullptr);
  // The string table pointer is set when the library is loaded.
  auto* zref = static_cast<U_LStrTable**>(Find("RG_G_zref"));
  ASSERT_NE(zref, nullptr);
  ASSERT_NE(*zref, nullptr);
  EXPECT_STREQ((*zref)->module, "RG");
  EXPECT_EQ((*zref)->count, 3);
  EXPECT_TRUE(Find("_ZN13RG_RenderNodeC2Ev") != nullptr ||
              Find("_ZN13RG_RenderNodeC1Ev") != nullptr);
  EXPECT_NE(Find("_ZN13RG_RenderNode23S_globally_unique_seedLE"), nullptr);
  EXPECT_NE(Find("_Z14RG_SetProfilerP16RG_GraphProfiler"), nullptr);
  EXPECT_NE(Find("_ZTV11RG_NullNode"), nullptr);
  EXPECT_NE(Find("_ZTV19RG_SourceBufferNode"), nullptr);
  // Internals stay hidden.
  EXPECT_EQ(Find("_Z17RGp_RequestCoversRK16RG_RenderRequestS1_"), nullptr);
  EXPECT_EQ(Find("_Z20RGp_FailVerificationllPKc"), nullptr);
  EXPECT_EQ(Find("RGp_G_lstr_table"), nullptr);
  EXPECT_EQ(Find("_ZN13RGp_NodeScopeC1EP16RG_GraphProfilerPK13RG_RenderNode"), nullptr);
}

}  // namespace
