// The stack-usage guard: limits read from the preferences once per process,
// the total limit on the main thread, the per-node report, and the limits of
// a render thread's own RG_ScThreadStackGuard.
//
// The limits are process-wide and normally read once; each test makes the
// next execution read them again, so the tests also hold when the whole
// program runs in one process.

#include "exec/ExecTestAccess.h"
#include "rg/RG_Errors.h"
#include "rg/RG_ScThreadStackGuard.h"
#include "rghost/PREF_Prefs.h"
#include "support/LeakCheck.h"

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
  return CatchCode([&] { TestRun(root, TestRect(0, 0, 8, 8)); });
}

// Uses a good deal of stack of its own before the checkout, which enters the
// input node.
__attribute__((noinline)) RG_CheckoutResult* CheckoutAfterUsingStack(RG_NodePreRenderCB* cb,
                                                                     const RG_RenderRequest& r) {
  volatile char scratch[64 * 1024];
  for (size_t i = 0; i < sizeof scratch; i += 512) scratch[i] = static_cast<char>(i);
  RG_CheckoutResult* in = cb->CheckoutInput(0, r);
  scratch[0] = scratch[512];
  return in;
}

// In place over its input.
TestLambdaNode* MakeStackHungryNode(RG_RenderNode* input, bool hungry) {
  return new TestLambdaNode(
      {input},
      [hungry](RG_NodePreRenderCB* cb, const RG_RenderRequest& r) {
        RG_CheckoutResult* in = hungry ? CheckoutAfterUsingStack(cb, r) : cb->CheckoutInput(0, r);
        cb->RequestOutputInPlace(in, r.rect, 0, 0);
      },
      nullptr);
}

}  // namespace

TEST_F(StackGuardTest, LimitsDefaultAndAreReadOnlyAtTheFirstExecution) {
  U_SharedPtr<RG_RenderNode> root(TestSolid(TestRect(0, 0, 8, 8), kRed));
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

// (That other threads go unguarded by the preference limits, the deep-graph
// proof shows.)
TEST_F(StackGuardTest, TotalLimitOfZeroStopsTheMainThreadBeforeAnyNodeEveryTime) {
  PREF_SetTextPrefLong(PREFp_G[2], kSection, "Total", 0);
  auto* solid = TestSolid(TestRect(0, 0, 8, 8), kRed);
  U_SharedPtr<RG_RenderNode> root(MakeStackHungryNode(solid, false));
  for (int run = 0; run < 2; ++run) {  // a stored 0 is read again
    U_ClearReportLog();
    EXPECT_EQ(Execute(root.get()), RG_ERR_STACK_OVERFLOW);
    ASSERT_EQ(U_ReportLog().size(), 1u);
    ExpectLastReport(U_ReportKind::ErrorString, 0x4E0006, 0,
                     "Render Graph stack overflow -- composition too complex.");
  }
  EXPECT_EQ(solid->counters.pre_renders, 0);
}

TEST_F(StackGuardTest, PerNodeLimitReportsAndDoesNotStop) {
  PREF_SetTextPrefLong(PREFp_G[2], kSection, "Per-Node", 32 * 1024);
  auto* leaf = TestSolid(TestRect(0, 0, 8, 8), kRed);
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
  U_SharedPtr<RG_RenderNode> root(TestSolid(TestRect(0, 0, 8, 8), kRed));
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
  auto* solid = TestSolid(TestRect(0, 0, 8, 8), kRed);
  U_SharedPtr<RG_RenderNode> root(solid);
  U_InjectFailure(0, 4444);
  EXPECT_EQ(Execute(root.get()), 4444);
  EXPECT_EQ(solid->counters.pre_renders, 0);
  EXPECT_EQ(RGp_TraverserAccess::TotalLimit(), 0u);  // read again next time
  EXPECT_EQ(Execute(root.get()), 0);
  EXPECT_EQ(RGp_TraverserAccess::TotalLimit(), 8000000u);
}

TEST_F(StackGuardTest, AGuardedRenderThreadStopsAGraphTooDeepForItsStack) {
  // Far deeper than a 1 MiB stack holds: unguarded, this thread would crash.
  U_SharedPtr<RG_RenderNode> root(TestSolid(TestRect(0, 0, 8, 8), kRed));
  for (int i = 0; i < 40000; ++i) root = MakeStackHungryNode(root.get(), false);
  long code = -1;
  uint64_t limit = 0;
  TestRunOnThread(size_t{1} << 20, [&] {
    RG_ScThreadStackGuard guard;
    limit = guard.GetTotalLimit();
    code = Execute(root.get());
  });
  EXPECT_EQ(code, RG_ERR_STACK_OVERFLOW);
  ExpectLastReport(U_ReportKind::ErrorString, 0x4E0006, 0,
                   "Render Graph stack overflow -- composition too complex.");
  EXPECT_GT(limit, 0u);
  EXPECT_LT(limit, (uint64_t{1} << 20) - RG_ScThreadStackGuard::kReserveBytes);
}

TEST_F(StackGuardTest, ThreadGuardLimitsApplyOffTheMainThreadOnly) {
  auto* leaf = TestSolid(TestRect(0, 0, 8, 8), kRed);
  U_SharedPtr<RG_RenderNode> modest(MakeStackHungryNode(leaf, false));
  U_SharedPtr<RG_RenderNode> hungry(MakeStackHungryNode(leaf, true));
  const char* overflow = "Render Graph stack overflow -- composition too complex.";
  const char* perNode = "Maximum per-node stack usage exceeded.";
  struct Case {
    uint64_t total, perNode;
    const RG_RenderNode* root;
    long code;
    const char* report;
    size_t reports;
  } cases[] = {
      {1, 0, modest.get(), RG_ERR_STACK_OVERFLOW, overflow, 1},  // stops at the first node
      {0, 32 * 1024, hungry.get(), 0, perNode, 1},               // reported, goes on
      {0, 32 * 1024, modest.get(), 0, perNode, 0},
      {0, 1, leaf, 0, perNode, 2},  // both passes of the root, from the execution's start
  };
  for (const Case& c : cases) {
    U_ClearReportLog();
    long code = -1;
    TestRunOnThread(size_t{4} << 20, [&] {
      RG_ScThreadStackGuard guard(c.total, c.perNode);
      code = Execute(c.root);
    });
    EXPECT_EQ(code, c.code) << c.total << " " << c.perNode;
    ASSERT_EQ(U_ReportLog().size(), c.reports) << c.total << " " << c.perNode;
    if (c.reports != 0) ExpectLastReport(U_ReportKind::ErrorString, 0x4E0006, 0, c.report);
  }
  // The main thread keeps the preference limits whatever scope it makes.
  U_ClearReportLog();
  RG_ScThreadStackGuard tiny(1, 1);
  EXPECT_EQ(Execute(hungry.get()), 0);
  EXPECT_TRUE(U_ReportLog().empty());
}
