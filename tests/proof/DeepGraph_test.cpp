// A chain of composites deep enough to exhaust the stack guard's default
// total limit stops cleanly on the main thread, and renders as the reference
// does on a thread of its own (which the guard does not watch) given a large
// enough stack; its content bounds come out on the main thread.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <tuple>

#include "exec/ExecTestAccess.h"
#include "proof/Proof.h"
#include "rg/RG_Errors.h"
#include "rghost/U_Report.h"
#include "rghost/U_Services.h"
#include "support/LeakCheck.h"
#include "support/TestNodes.h"

namespace {

const M_LRect kRect{0, 0, 4, 4};

// Source #1 at half opacity over (... over opaque source #0): `depth` composites.
ProofGraphDesc Chain(int depth) {
  ProofGraphDesc g;
  g.request.rect = kRect;
  g.nodes = {{.kind = ProofKind::kSource, .bounds = kRect, .pixel_seed = 11, .opaque = true},
             {.kind = ProofKind::kSource, .bounds = kRect, .pixel_seed = 12}};
  for (int i = 0; i < depth; ++i) {
    g.nodes.push_back({.kind = ProofKind::kComposite, .inputs = {1, i == 0 ? 0 : i + 1, -1}});
    g.nodes.back().mode.opacity = 0.5f;
  }
  return g;
}

class DeepGraphTest : public LeakCheckTest {};

TEST_F(DeepGraphTest, MainThreadStopsAtTheTotalLimitAndAThreadRendersTheSameChain) {
  RGp_TraverserAccess::ForgetStackLimits();  // the default limits, read afresh
  U_SetMainThread();
  // Deepen the chain until the guard stops it; a guard that never fires
  // would crash the process long before the last size.
  int depth = 0;
  long code = 0;
  for (int tryDepth = 2000; tryDepth <= 512000 && code == 0; tryDepth *= 2) {
    const ProofGraphDesc chain = Chain(depth = tryDepth);
    ProofBuiltGraph graph(chain);
    U_ClearReportLog();
    code = CatchCode([&] { ProofExecute(chain, graph.root()); });
  }
  ASSERT_EQ(code, RG_ERR_STACK_OVERFLOW);
  EXPECT_EQ(RGp_TraverserAccess::TotalLimit(), 8000000u);
  ASSERT_FALSE(U_ReportLog().empty());
  const U_ReportRecord& r = U_ReportLog().back();
  EXPECT_EQ(std::tuple(r.kind, r.location, r.code, r.text),
            std::tuple(U_ReportKind::ErrorString, 0x4E0006L, 8L,
                       std::string("Render Graph stack overflow -- composition too complex.")));

  // The same depth on another thread with a big stack: not guarded, renders.
  const ProofGraphDesc chain = Chain(depth);
  bool onMainThread = true;
  std::string failure;
  TestRunOnThread(size_t{512} << 20, [&] {
    onMainThread = U_IsOnMainThread();
    failure = ProofCheckGraph(chain);
  });
  EXPECT_FALSE(onMainThread);
  EXPECT_EQ(failure.substr(0, failure.find('\n')), "");
  // Content bounds are asked outside the guarded passes: any depth must do
  // on the main thread.
  EXPECT_EQ(ProofBuiltGraph(chain).root()->GetContentBounds(RG_CONTENT_BOUNDS_TYPE1), kRect);
  std::printf("[ proof    ] a chain of %d composites overflows the main thread's limit\n", depth);
}

}  // namespace
