#include <cstring>
#include <string>

#include "frame/RGp_LocalizedStrings.h"
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

TEST_F(VersionTest, StringTableIsReachableThroughZref) {
  ASSERT_EQ(RG_G_zref, &RGp_G_lstr_table);
  EXPECT_STREQ(RG_G_zref->module, "RG");
  ASSERT_EQ(RG_G_zref->count, 3);
  EXPECT_STREQ(RG_G_zref->entries[0].key,
               "$$$/QV/RG/LStr/0000=Render Graph stack overflow -- composition too complex.");
  EXPECT_STREQ(RG_G_zref->entries[1].key,
               "$$$/QV/RG/LStr/0001=Maximum per-node stack usage exceeded.");
  EXPECT_EQ(RG_G_zref->entries[2].key, nullptr);
  EXPECT_STREQ(U_ZLookupLStrCache(RG_G_zref, RGp_LSTR_STACK_OVERFLOW, 0, 0),
               "Render Graph stack overflow -- composition too complex.");
  EXPECT_STREQ(U_ZLookupLStrCache(RG_G_zref, RGp_LSTR_PER_NODE_STACK, 0, 0),
               "Maximum per-node stack usage exceeded.");
}

}  // namespace
