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
#include "proof/Proof.h"
#include "rg/RG_GraphProfiler.h"
#include "rg/RG_ScRGProfiler.h"
#include "rghost/U_Errors.h"
#include "rghost/U_Services.h"
#include "support/LeakCheck.h"

namespace {

// Graphs that cover transforms, both cache paths, effects, masks, fields and
// all three result forms, chosen among the random ones.
std::vector<ProofGraphDesc> RepresentativeGraphs() {
  uint32_t have = 0;  // one bit per feature
  std::vector<ProofGraphDesc> chosen;
  for (uint64_t seed = 1; seed < 3000 && chosen.size() < 6; ++seed) {
    ProofGraphDesc g = ProofRandomGraph(seed);
    if (M_IsEmpty(g.request.rect) || g.nodes.size() < 5) continue;
    uint32_t f = (g.form == ProofForm::kDestination) | (g.form == ProofForm::kNewWorldLock) << 1 |
                 (g.request.field != 0) << 2 | (g.nodes.size() >= 9) << 3;
    int composites = 0;
    for (const ProofNodeDesc& n : g.nodes) {
      const bool lookup = n.kind == ProofKind::kCache && (n.policy & ProofCacheNode::kLookup);
      const bool stale = n.policy & ProofCacheNode::kForgetAtRender;
      f |= (n.kind == ProofKind::kXform && n.quality == 1) << 4 | (lookup && stale) << 5 |
           (lookup && !stale) << 6 | (n.kind == ProofKind::kEffect) << 7 | (n.inputs[2] >= 0) << 8;
      composites += n.kind == ProofKind::kComposite || n.kind == ProofKind::kXform;
    }
    // Once every feature is in, any larger graph adds more paths.
    const bool adds = (f & ~have) != 0 || (seed > 1000 && g.nodes.size() >= 8);
    ProofCheckStats stats;
    if (!adds || composites < 2 || !ProofCheckGraph(g, &stats).empty() || !stats.drew) continue;
    have |= f;
    chosen.push_back(g);
  }
  return chosen;
}

// A kind of fault: arm(graph, k) makes the k-th point fail, or with k < 0
// none while the points are counted, which points() then gives; disarm()
// ends it. The run must end with `expected`; 0: with U_ERR_INJECTED, or the
// failure is absorbed.
struct Fault {
  long expected;
  std::function<void(ProofBuiltGraph&, long)> arm;
  std::function<long()> points;
  std::function<void()> disarm;
};

class FaultInjectionTest : public LeakCheckTest {
 protected:
  // For every point k of each representative graph, on a fresh graph: the
  // run fails as expected, leaves nothing alive, and the graph then renders
  // right; half the graphs run under the DOT profiler, which must keep
  // recording.
  void Sweep(const Fault& fault) {
    const std::vector<ProofGraphDesc> graphs = RepresentativeGraphs();
    EXPECT_GE(graphs.size(), 4u);
    long points = 0, absorbed = 0;
    for (size_t gi = 0; gi < graphs.size() && !HasFailure(); ++gi) {
      const ProofGraphDesc& desc = graphs[gi];
      std::unique_ptr<RG_ScRGProfiler> profiler;
      if (gi % 2 == 0) profiler = std::make_unique<RG_ScRGProfiler>(1000000);
      const ProofRefResult reference = ProofReference(desc);
      {
        ProofBuiltGraph graph(desc);
        fault.arm(graph, -1);
        EXPECT_EQ(ProofRunAll(desc, graph, reference), "");
      }
      const long count = fault.points();
      EXPECT_GT(count, 0);
      points += count;
      const long objects = U_GetTrackedStats().live_objects;
      const PF_WorldStats worlds = PF_GetWorldStats();
      for (long k = 0; k < count && !HasFailure(); ++k) {
        const std::string what = "failure " + std::to_string(k) + "\n" + desc.Describe();
        {
          ProofBuiltGraph graph(desc);
          fault.arm(graph, k);
          const long long reports = U_ThreadReportCount();
          long code = 0;
          try {
            (void)ProofRunAll(desc, graph, reference);
          } catch (long c) {
            code = c;
          } catch (const std::bad_alloc&) {
            code = fault.expected ? -1 : U_ERR_INJECTED;
          }
          fault.disarm();
          absorbed += code == 0 && fault.expected == 0;
          if (code != 0 || fault.expected != 0) {
            EXPECT_EQ(code, fault.expected ? fault.expected : U_ERR_INJECTED) << what;
            // Whatever fails, the caller finds a report of it.
            EXPECT_TRUE(fault.expected || U_ThreadReportCount() > reports) << what;
          }
          const size_t dot = profiler ? profiler->GetDotText().size() : 0;
          EXPECT_EQ(ProofRunAll(desc, graph, reference), "") << what << "then again";
          EXPECT_TRUE(!profiler || profiler->GetDotText().size() > dot) << what;
        }
        EXPECT_EQ(PF_GetWorldStats().live_worlds, worlds.live_worlds) << what;
        EXPECT_EQ(PF_GetWorldStats().live_pixel_bytes, worlds.live_pixel_bytes) << what;
        EXPECT_EQ(U_GetTrackedStats().live_objects, objects) << what;
      }
    }
    std::printf("[ proof    ] %zu graphs, %ld points, %ld absorbed\n", graphs.size(), points,
                absorbed);
  }
};

TEST_F(FaultInjectionTest, EveryFallibleCallMayFailWithoutLeaksOrLostReports) {
  long long before = 0;
  Sweep({0,
         [&](ProofBuiltGraph&, long k) {
           // The stack limits and the check-in preference are read again, so
           // their preference reads fail too.
           RGp_TraverserAccess::ForgetStackLimits();
           RGp_ReleaseLockPref().Reset();
           before = U_FallibleCallCount();
           if (k >= 0) U_InjectFailure(k, U_ERR_INJECTED);
         },
         [&] { return static_cast<long>(U_FallibleCallCount() - before); },
         [] { U_ClearInjectedFailure(); }});
  EXPECT_EQ(RGp_TraverserAccess::TotalLimit(), 8000000u);
}

TEST_F(FaultInjectionTest, EveryAbortCheckMayAbortWithoutLeaks) {
  constexpr long kNever = 1L << 40;
  long countdown = kNever;  // shared by every node's abort object
  Sweep({U_ERR_USER_ABORT,
         [&](ProofBuiltGraph& graph, long k) {
           for (const auto& node : graph.nodes) node->SetProgAbort(new ProofAbort(&countdown));
           countdown = k >= 0 ? k : kNever;
         },
         [&] { return kNever - countdown; }, [&] { countdown = kNever; }});
}

}  // namespace
