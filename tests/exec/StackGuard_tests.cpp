// The stack-usage guard: limits read from the preferences once per process,
// the total limit on the main thread only, and the per-node report.
//
// The limits are process-wide and normally read once; each test makes the
// next execution read them again, so the tests also hold when the whole
// program runs in one process.

#include <gtest/gtest.h>

#include <thread>

#include "exec/ExecTestAccess.h"
#include "rg/RG_Traverser.h"
#include "rghost/PREF_Prefs.h"
#include "rghost/U_Services.h"
#include "support/LeakCheck.h"
#include "support/ProofNodes.h"

namespace {

constexpr const char* kSection = "Max KeenEffects Stack Usage 2";
constexpr PF_RGBA8 kRed{200, 0, 0, 255};

class StackGuardTest : public LeakCheckTest {
 protected:
  void SetUp() override {
    LeakCheckTest::SetUp();
    PREF_ResetAll();
    RGp_TraverserAccess::ForgetStackLimits();
  }
  void TearDown() override {
    PREF_ResetAll();
    RGp_TraverserAccess::ForgetStackLimits();
    LeakCheckTest::TearDown();
  }
};

long Execute(const RG_RenderNode* root) {
  return CatchCode([&] { TestRun(root, TestRequest(TestRect(0, 0, 8, 8))); });
}

// Uses a good deal of stack of its own before the checkout, which enters the
// input node.
__attribute__((noinline)) void CheckoutAfterUsingStack(RG_NodePreRenderCB* cb,
                                                       const RG_RenderRequest& r) {
  volatile char scratch[64 * 1024];
  for (size_t i = 0; i < sizeof scratch; i += 512) scratch[i] = static_cast<char>(i);
  cb->CheckoutInput(0, r);
  scratch[0] = scratch[512];
}

TestLambdaNode* MakeStackHungryNode(RG_RenderNode* input, bool hungry) {
  return new TestLambdaNode(
      {input},
      [hungry](RG_NodePreRenderCB* cb, const RG_RenderRequest& r) -> RG_NodeData* {
        if (hungry) {
          CheckoutAfterUsingStack(cb, r);
        } else {
          cb->CheckoutInput(0, r);
        }
        cb->RequestOutput(r.rect, 0, 0);
        return nullptr;
      },
      [](RG_NodeRenderCB* cb, const RG_RenderRequest&, const RG_NodeData*) {
        cb->GetNextCheckout()->GetWorld();
        TestFill(cb->GetNextCheckout()->GetOutputWorld(), kRed);
      });
}

}  // namespace

TEST_F(StackGuardTest, LimitsDefaultAndAreReadOnlyAtTheFirstExecution) {
  U_SharedPtr<RG_RenderNode> root(new TestSolidNode(TestRect(0, 0, 8, 8), kRed));
  EXPECT_EQ(Execute(root.get()), 0);
  EXPECT_EQ(RGp_TraverserAccess::PerNodeLimit(), 0u);
  EXPECT_EQ(RGp_TraverserAccess::TotalLimit(), 8000000u);

  RGp_TraverserAccess::ForgetStackLimits();
  PREF_SetTextPrefLong(PREFp_G[2], kSection, "Total", 5000000);
  PREF_SetTextPrefLong(PREFp_G[2], kSection, "Per-Node", 123456);
  EXPECT_EQ(Execute(root.get()), 0);
  EXPECT_EQ(RGp_TraverserAccess::TotalLimit(), 5000000u);
  EXPECT_EQ(RGp_TraverserAccess::PerNodeLimit(), 123456u);
  PREF_SetTextPrefLong(PREFp_G[2], kSection, "Total", 0);
  EXPECT_EQ(Execute(root.get()), 0);
  EXPECT_EQ(RGp_TraverserAccess::TotalLimit(), 5000000u);
}

TEST_F(StackGuardTest, TotalLimitStopsTheMainThreadOnly) {
  PREF_SetTextPrefLong(PREFp_G[2], kSection, "Total", 0);
  auto* solid = new TestSolidNode(TestRect(0, 0, 8, 8), kRed);
  U_SharedPtr<RG_RenderNode> root(new ProofEffectNode(solid, ProofEffectNode::kInPlace));
  long code = -1;
  std::thread worker([&] { code = Execute(root.get()); });
  worker.join();
  EXPECT_EQ(code, 0);
  EXPECT_EQ(solid->counters.renders, 1);
  EXPECT_TRUE(U_ReportLog().empty());

  EXPECT_EQ(Execute(root.get()), 4);
  ExpectLastReport(U_ReportKind::ErrorString, 0x4E0006, 0,
                   "Render Graph stack overflow -- composition too complex.");
  EXPECT_EQ(solid->counters.pre_renders, 1);  // the worker's only
  // A stored total of 0 is read again, and stops every execution.
  U_ClearReportLog();
  EXPECT_EQ(Execute(root.get()), 4);
  EXPECT_EQ(U_ReportLog().size(), 1u);
}

TEST_F(StackGuardTest, PerNodeLimitReportsAndDoesNotStop) {
  PREF_SetTextPrefLong(PREFp_G[2], kSection, "Per-Node", 32 * 1024);
  auto* leaf = new TestSolidNode(TestRect(0, 0, 8, 8), kRed);
  U_SharedPtr<RG_RenderNode> modest(MakeStackHungryNode(leaf, false));
  EXPECT_EQ(Execute(modest.get()), 0);
  EXPECT_TRUE(U_ReportLog().empty());

  U_SharedPtr<RG_RenderNode> hungry(MakeStackHungryNode(leaf, true));
  EXPECT_EQ(Execute(hungry.get()), 0);
  ASSERT_EQ(U_ReportLog().size(), 1u);
  ExpectLastReport(U_ReportKind::ErrorString, 0x4E0006, 0,
                   "Maximum per-node stack usage exceeded.");
  EXPECT_EQ(leaf->counters.renders, 2);
}

TEST_F(StackGuardTest, NegativeLimitsAreReportedAndReplacedByDefaults) {
  PREF_SetTextPrefLong(PREFp_G[2], kSection, "Per-Node", -5);
  PREF_SetTextPrefLong(PREFp_G[2], kSection, "Total", -1);
  U_SharedPtr<RG_RenderNode> root(new TestSolidNode(TestRect(0, 0, 8, 8), kRed));
  EXPECT_EQ(Execute(root.get()), 0);
  const auto& log = U_ReportLog();
  ASSERT_EQ(log.size(), 2u);
  for (const U_ReportRecord& r : log) {
    EXPECT_EQ(r.kind, U_ReportKind::FailedVerification);
    EXPECT_EQ(r.location, 0);
    EXPECT_EQ(r.line, 2117);
    EXPECT_EQ(r.text, "bad numeric conversion: negative overflow");
  }
  EXPECT_EQ(RGp_TraverserAccess::PerNodeLimit(), 0u);
  EXPECT_EQ(RGp_TraverserAccess::TotalLimit(), 8000000u);
}

TEST_F(StackGuardTest, PreferenceErrorStopsBeforeAnyNodeAndIsReadAgain) {
  auto* solid = new TestSolidNode(TestRect(0, 0, 8, 8), kRed);
  U_SharedPtr<RG_RenderNode> root(solid);
  U_InjectFailure(0, 4444);
  EXPECT_EQ(Execute(root.get()), 4444);
  EXPECT_EQ(solid->counters.pre_renders, 0);
  EXPECT_EQ(RGp_TraverserAccess::TotalLimit(), 0u);  // read again next time
  EXPECT_EQ(Execute(root.get()), 0);
  EXPECT_EQ(RGp_TraverserAccess::TotalLimit(), 8000000u);
}
