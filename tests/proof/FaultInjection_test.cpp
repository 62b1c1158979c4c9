// Every failure, wherever it strikes, leaves nothing behind: for
// representative graphs each fallible host call in turn is made to fail, and
// each abort check in turn aborts. The execution must end with that error,
// reported (or the failure must be absorbed, as a purge-and-retry allocation
// may), release every object, world and pixel byte, keep the profiler and
// the stack limits usable, and the same graph must render correctly right
// after.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <new>
#include <string>

#include "exec/ExecTestAccess.h"
#include "exec/RGp_PrefSlot.h"
#include "proof/ProofHarness.h"
#include "rg/RG_GraphProfiler.h"
#include "rg/RG_ScRGProfiler.h"
#include "rghost/U_Errors.h"
#include "rghost/U_Services.h"
#include "support/LeakCheck.h"

namespace {

// Graphs that cover transforms, both cache paths, effects, masks, fields and
// all three result forms, chosen among the random ones.
std::vector<ProofGraphDesc> RepresentativeGraphs() {
  enum { kXformQ1, kStale, kHit, kDest, kLock, kEffect, kMask, kField, kDeep, kCount };
  bool have[kCount] = {};
  std::vector<ProofGraphDesc> chosen;
  for (uint64_t seed = 1; seed < 3000 && chosen.size() < 6; ++seed) {
    ProofGraphDesc g = ProofRandomGraph(seed);
    if (M_IsEmpty(g.request.rect) || g.nodes.size() < 5) continue;
    bool f[kCount] = {};
    int composites = 0;
    for (const ProofNodeDesc& n : g.nodes) {
      const bool lookup = n.kind == ProofKind::kCache && (n.policy & ProofCacheNode::kLookup);
      f[kXformQ1] |= n.kind == ProofKind::kXform && n.quality == 1;
      f[kStale] |= lookup && (n.policy & ProofCacheNode::kForgetAtRender);
      f[kHit] |= lookup && !(n.policy & ProofCacheNode::kForgetAtRender);
      f[kEffect] |= n.kind == ProofKind::kEffect;
      f[kMask] |= n.inputs[2] >= 0;
      composites += n.kind == ProofKind::kComposite || n.kind == ProofKind::kXform;
    }
    f[kDest] = g.form == ProofForm::kDestination;
    f[kLock] = g.form == ProofForm::kNewWorldLock;
    f[kField] = g.request.field != 0;
    f[kDeep] = g.nodes.size() >= 9;
    // Once every feature is in, any larger graph adds more paths.
    bool adds = seed > 1000 && g.nodes.size() >= 8;
    for (int i = 0; i < kCount; ++i) adds |= f[i] && !have[i];
    ProofCheckStats stats;
    if (!adds || composites < 2 || !ProofCheckGraph(g, &stats).empty() || !stats.drew) continue;
    for (int i = 0; i < kCount; ++i) have[i] |= f[i];
    chosen.push_back(g);
  }
  return chosen;
}

class FaultInjectionTest : public LeakCheckTest {
 protected:
  // Sweeps `arm(k)` for k = 0, 1, ... `points` on a fresh graph each time:
  // the run must end with `expected` (0: may be absorbed), leave nothing
  // alive, and the graph must then render right (and a profiler record it).
  void Sweep(const ProofGraphDesc& desc, long points, long expected,
             const std::function<void(ProofBuiltGraph&, long)>& arm,
             const std::function<void()>& disarm, RG_ScRGProfiler* profiler, long* absorbed) {
    const ProofRefResult reference = ReferenceEvaluator(desc).RenderRoot();
    const long objects = U_GetTrackedStats().live_objects;
    const PF_WorldStats worlds = PF_GetWorldStats();
    for (long k = 0; k < points && !HasFailure(); ++k) {
      const std::string what = "failure " + std::to_string(k) + "\n" + desc.Describe();
      {
        ProofBuiltGraph graph(desc);
        arm(graph, k);
        const long long reports = U_ThreadReportCount();
        long code = 0;
        try {
          (void)ProofRunAll(desc, graph, reference);
        } catch (long c) {
          code = c;
        } catch (const std::bad_alloc&) {
          code = expected ? -1 : U_ERR_INJECTED;
        }
        disarm();
        if (code == 0 && expected == 0) ++*absorbed;
        if (code != 0 || expected != 0) {
          EXPECT_EQ(code, expected ? expected : U_ERR_INJECTED) << what;
          // Whatever fails, the caller finds a report of it.
          if (expected == 0) {
            EXPECT_GT(U_ThreadReportCount(), reports) << what;
          }
        }
        const size_t dot = profiler ? profiler->GetDotText().size() : 0;
        EXPECT_EQ(ProofRunAll(desc, graph, reference), "") << what << "then again";
        if (profiler) {
          EXPECT_GT(profiler->GetDotText().size(), dot) << what;
        }
      }
      EXPECT_EQ(PF_GetWorldStats().live_worlds, worlds.live_worlds) << what;
      EXPECT_EQ(PF_GetWorldStats().live_pixel_bytes, worlds.live_pixel_bytes) << what;
      EXPECT_EQ(U_GetTrackedStats().live_objects, objects) << what;
    }
  }
};

TEST_F(FaultInjectionTest, EveryFallibleCallMayFailWithoutLeaksOrLostReports) {
  const std::vector<ProofGraphDesc> graphs = RepresentativeGraphs();
  ASSERT_GE(graphs.size(), 4u);
  long points = 0, absorbed = 0;
  for (size_t gi = 0; gi < graphs.size(); ++gi) {
    const ProofGraphDesc& desc = graphs[gi];
    // Half the graphs run under the DOT profiler, which must keep recording.
    std::unique_ptr<RG_ScRGProfiler> profiler;
    if (gi % 2 == 0) profiler = std::make_unique<RG_ScRGProfiler>(1000000);
    long count = 0;
    {
      ProofBuiltGraph graph(desc);
      RGp_TraverserAccess::ForgetStackLimits();
      RGp_ReleaseLockPref().Reset();
      const long long before = U_FallibleCallCount();
      ASSERT_EQ(ProofRunAll(desc, graph, ReferenceEvaluator(desc).RenderRoot()), "");
      count = static_cast<long>(U_FallibleCallCount() - before);
    }
    ASSERT_GT(count, 0);
    Sweep(
        desc, count, 0,
        [&](ProofBuiltGraph&, long k) {
          // The stack limits and the check-in preference are read again, so
          // their preference reads fail too.
          RGp_TraverserAccess::ForgetStackLimits();
          RGp_ReleaseLockPref().Reset();
          U_InjectFailure(k, U_ERR_INJECTED);
        },
        [] { U_ClearInjectedFailure(); }, profiler.get(), &absorbed);
    points += count;
  }
  EXPECT_EQ(RGp_TraverserAccess::TotalLimit(), 8000000u);
  std::printf("[ proof    ] %zu graphs, %ld injection points, %ld absorbed\n", graphs.size(),
              points, absorbed);
}

TEST_F(FaultInjectionTest, EveryAbortCheckMayAbortWithoutLeaks) {
  const std::vector<ProofGraphDesc> graphs = RepresentativeGraphs();
  ASSERT_GE(graphs.size(), 4u);
  long points = 0, absorbed = 0;
  for (const ProofGraphDesc& desc : graphs) {
    constexpr long kNever = 1L << 40;
    long countdown = kNever;  // shared by every node's abort object
    auto attach = [&](ProofBuiltGraph& graph) {
      for (size_t i = 0; i < desc.nodes.size(); ++i)
        graph.node(static_cast<int>(i))->SetProgAbort(new ProofAbort(&countdown));
    };
    {
      ProofBuiltGraph graph(desc);
      attach(graph);
      ASSERT_EQ(ProofRunAll(desc, graph, ReferenceEvaluator(desc).RenderRoot()), "");
    }
    const long checks = kNever - countdown;
    Sweep(
        desc, checks, U_ERR_USER_ABORT,
        [&](ProofBuiltGraph& graph, long k) {
          attach(graph);
          countdown = k;
        },
        [&] { countdown = kNever; }, nullptr, &absorbed);
    points += checks;
  }
  EXPECT_GT(points, 0);
  std::printf("[ proof    ] %zu graphs, %ld abort points\n", graphs.size(), points);
}

}  // namespace
