// The stack-usage guard: limits read from the preferences once per process,
// the total limit on the main thread, the per-node report, and the limits of
// a render thread's own RG_ScThreadStackGuard.
// The limits are process-wide and read once: each case makes the next
// execution read them again.

#include <climits>

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
// In place over its input, once the stack it used is given back.
TestLambdaNode* Hungry(RG_RenderNode* input) {
  return new TestLambdaNode(
      {input},
      [](RG_NodePreRenderCB* cb, const RG_RenderRequest& r) {
        cb->RequestOutputInPlace(CheckoutAfterUsingStack(cb, r), r.rect, 0, 0);
      },
      nullptr);
}

// The reports `codes` names in order: O the total-limit overflow, P the
// per-node report, N a negative preference, F the failed preference read.
void ExpectReports(const std::string& codes) {
  const std::vector<U_ReportRecord>& log = U_ReportLog();
  ASSERT_EQ(log.size(), codes.size()) << (log.empty() ? "" : log.back().text);
  for (size_t i = 0; i < codes.size(); ++i) {
    const char c = codes[i];
    EXPECT_EQ(log[i].kind, c == 'N' ? U_ReportKind::FailedVerification : U_ReportKind::ErrorString);
    EXPECT_EQ(log[i].location, c == 'N' ? 0 : c == 'F' ? 0x4E0008 : 0x4E0006) << i;
    EXPECT_EQ(log[i].line, c == 'N' ? 2117 : log[i].line);
    EXPECT_EQ(log[i].code, c == 'N' ? log[i].code : 8) << i;  // an error string's severity
    EXPECT_EQ(log[i].text, c == 'O'   ? "Render Graph stack overflow -- composition too complex."
                           : c == 'P' ? "Maximum per-node stack usage exceeded."
                           : c == 'N' ? "bad numeric conversion: negative overflow"
                                      : "Rendering failed: unknown error (code 4444).")
        << i;
  }
}

}  // namespace

// Each row sets the preferences (kUnset: none), executes an in-place node
// (stack hungry or not) over a leaf twice, with `totalThen` set in between,
// and checks the code, the reports and the limits the first execution read.
// A row that `repeats` ends its second execution as the first; the others
// then end with 0 and no report. (That other threads go unguarded by the
// preference limits, the deep-graph proof shows.)
TEST_F(StackGuardTest, PreferenceLimitsAreReadAtTheFirstExecutionAndGuardTheMainThread) {
  constexpr long kUnset = LONG_MIN;
  struct Case {
    const char* name;
    long total, perNode, totalThen;
    bool hungry, failRead;  // failRead: the first preference read fails
    long code;
    const char* reports;
    uint64_t totalLimit, perNodeLimit, totalLimitThen;
    bool repeats;
  };
  const Case cases[] = {
      {"defaults", kUnset, kUnset, kUnset, false, false, 0, "", 8000000, 0, 8000000, true},
      {"limits are read once", 5000000, 123456, 0, false, false, 0, "", 5000000, 123456, 5000000,
       false},
      {"a total of 0 stops before any node, and is read again", 0, kUnset, kUnset, false, false,
       RG_ERR_STACK_OVERFLOW, "O", 0, 0, 0, true},
      {"per-node limit not reached", kUnset, 32 * 1024, kUnset, false, false, 0, "", 8000000,
       32 * 1024, 8000000, true},
      {"per-node limit reports and does not stop", kUnset, 32 * 1024, kUnset, true, false, 0, "P",
       8000000, 32 * 1024, 8000000, true},
      {"negative limits are reported and replaced by defaults", -1, -5, kUnset, false, false, 0,
       "NN", 8000000, 0, 8000000, false},
      {"a failed read stops before any node and is read again", kUnset, kUnset, kUnset, false, true,
       4444, "F", 0, 0, 8000000, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PREF_ResetAll();
    RGp_TraverserAccess::ForgetStackLimits();
    if (c.total != kUnset) PREF_SetTextPrefLong(PREFp_G[2], kSection, "Total", c.total);
    if (c.perNode != kUnset) PREF_SetTextPrefLong(PREFp_G[2], kSection, "Per-Node", c.perNode);
    auto* leaf = TestSolid(TestRect(0, 0, 8, 8), kRed);
    TestLambdaNode* node = c.hungry ? Hungry(leaf) : TestInPlace(leaf);
    U_SharedPtr<RG_RenderNode> root(node);
    if (c.failRead) U_InjectFailure(0, 4444);
    U_ClearReportLog();
    EXPECT_EQ(Execute(root.get()), c.code);
    ExpectReports(c.reports);
    EXPECT_EQ(RGp_TraverserAccess::TotalLimit(), c.totalLimit);
    EXPECT_EQ(RGp_TraverserAccess::PerNodeLimit(), c.perNodeLimit);
    EXPECT_EQ(node->counters.pre_renders, c.code == 0 ? 1 : 0);
    if (c.totalThen != kUnset) PREF_SetTextPrefLong(PREFp_G[2], kSection, "Total", c.totalThen);
    U_ClearReportLog();
    EXPECT_EQ(Execute(root.get()), c.repeats ? c.code : 0);
    ExpectReports(c.repeats ? c.reports : "");
    EXPECT_EQ(RGp_TraverserAccess::TotalLimit(), c.totalLimitThen);
    EXPECT_EQ(leaf->counters.renders, (c.code == 0) + (c.repeats ? c.code == 0 : 1));
  }
}

// Each row runs on a thread with `stack` bytes, inside a guard of its limits
// (a total of 0: the stack left less the reserve). The main thread keeps the
// preference limits whatever scope it makes.
TEST_F(StackGuardTest, ThreadGuardLimitsApplyOffTheMainThreadOnly) {
  auto* leaf = TestSolid(TestRect(0, 0, 8, 8), kRed);
  U_SharedPtr<RG_RenderNode> modest(TestInPlace(leaf));
  U_SharedPtr<RG_RenderNode> hungry(Hungry(leaf));
  // Far deeper than a 1 MiB stack holds: unguarded, that thread would crash.
  U_SharedPtr<RG_RenderNode> deep(TestSolid(TestRect(0, 0, 8, 8), kRed));
  for (int i = 0; i < 40000; ++i) deep = TestInPlace(deep.get());
  const struct {
    size_t stack;
    uint64_t total, perNode;
    const RG_RenderNode* root;
    long code;
    const char* reports;
  } cases[] = {
      {1 << 20, 0, 0, deep.get(), RG_ERR_STACK_OVERFLOW, "O"},
      {4 << 20, 1, 0, modest.get(), RG_ERR_STACK_OVERFLOW, "O"},  // stops at the first node
      {4 << 20, 0, 32 * 1024, hungry.get(), 0, "P"},              // reported, goes on
      {4 << 20, 0, 32 * 1024, modest.get(), 0, ""},
      {4 << 20, 0, 1, leaf, 0, "PP"},  // both passes of the root, from the execution's start
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.stack << " " << c.total << " " << c.perNode);
    U_ClearReportLog();
    long code = -1;
    uint64_t limit = 0;
    TestRunOnThread(c.stack, [&] {
      RG_ScThreadStackGuard guard(c.total, c.perNode);
      limit = guard.GetTotalLimit();
      code = Execute(c.root);
    });
    EXPECT_EQ(code, c.code);
    ExpectReports(c.reports);
    EXPECT_GT(limit, 0u);
    EXPECT_LT(limit, c.stack - RG_ScThreadStackGuard::kReserveBytes);
  }
  U_ClearReportLog();
  RG_ScThreadStackGuard tiny(1, 1);
  EXPECT_EQ(Execute(hungry.get()), 0);
  EXPECT_TRUE(U_ReportLog().empty());
}
