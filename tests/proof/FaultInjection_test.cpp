// Every failure, wherever it strikes, leaves nothing behind: for
// representative graphs each fallible host call in turn is made to fail, and
// each abort check in turn aborts. The execution must end with that error
// (or the failure must be absorbed, as a purge-and-retry allocation may),
// release every object, world and pixel byte, keep the profiler and the stack
// limits usable, and the same graph must render correctly right after.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <new>
#include <string>

#include "exec/ExecTestAccess.h"
#include "proof/ProofHarness.h"
#include "rg/RG_GraphProfiler.h"
#include "rg/RG_ScRGProfiler.h"
#include "rghost/PF_World.h"
#include "rghost/U_Errors.h"
#include "rghost/U_Memory.h"
#include "rghost/U_Report.h"
#include "rghost/U_Services.h"
#include "support/LeakCheck.h"

namespace {

constexpr long kInjected = U_ERR_INJECTED;
constexpr long kAborted = U_ERR_USER_ABORT;

// Aborts, by throwing a code, at the n-th CheckAbort of any node sharing it.
struct AbortCounter {
  long calls = 0;
  long abort_at = -1;  // 1-based; -1 never
};

class ProofAbort : public RG_ProgAbort {
 public:
  explicit ProofAbort(AbortCounter* counter) : counter_(counter) {}
  void StartProgress() override {}
  void CheckAbort() override {
    if (++counter_->calls == counter_->abort_at) throw kAborted;
  }
  void Progress(long, long) override {}

 private:
  AbortCounter* counter_;  // borrowed
};

// Graphs that cover the node kinds, both cache paths, masks, fields and all
// three result forms, chosen from the random family among those that render
// right.
std::vector<ProofGraphDesc> RepresentativeGraphs() {
  enum Feature { kXformQ1, kStale, kHit, kDest, kLock, kCrop, kMask, kField, kDeep, kCount };
  bool have[kCount] = {};
  std::vector<ProofGraphDesc> chosen;
  for (uint64_t seed = 1; seed < 3000 && chosen.size() < 6; ++seed) {
    ProofGraphDesc g = ProofRandomGraph(seed);
    if (M_IsEmpty(g.request.rect) || g.nodes.size() < 5) continue;
    bool f[kCount] = {};
    for (const ProofNodeDesc& n : g.nodes) {
      f[kXformQ1] |= n.kind == ProofKind::kXform && n.quality == 1;
      f[kStale] |= n.kind == ProofKind::kCache && n.stale && n.lookup_enabled;
      f[kHit] |= n.kind == ProofKind::kCache && !n.stale && n.lookup_enabled;
      f[kCrop] |= n.kind == ProofKind::kCrop;
      f[kMask] |= n.inputs[2] >= 0;
    }
    f[kDest] = g.form == ProofForm::kDestination;
    f[kLock] = g.form == ProofForm::kNewWorldLock;
    f[kField] = g.request.field != 0;
    f[kDeep] = g.nodes.size() >= 9;
    bool adds = false;
    for (int i = 0; i < kCount; ++i) adds |= f[i] && !have[i];
    // Once every feature is in, any larger graph adds more paths.
    adds |= seed > 1000 && g.nodes.size() >= 8;
    int composites = 0;
    for (const ProofNodeDesc& n : g.nodes) {
      composites += n.kind == ProofKind::kComposite || n.kind == ProofKind::kXform;
    }
    ProofCheckStats stats;
    if (!adds || composites < 2 || !ProofCheckGraph(g, &stats).empty() || !stats.drew) continue;
    for (int i = 0; i < kCount; ++i) have[i] |= f[i];
    chosen.push_back(g);
  }
  return chosen;
}

class FaultInjectionTest : public LeakCheckTest {
 protected:
  // Runs every execution of the description on `graph`; returns the first
  // difference from `expected`, or an empty string.
  static std::string RunAll(const ProofGraphDesc& desc, ProofBuiltGraph& graph,
                            const ProofRefResult& expected) {
    for (int run = 0; run < desc.runs; ++run) {
      ProofLibraryOutput out = ProofExecute(desc, graph.root());
      const std::string diff = ProofCompare(desc, out, expected);
      if (!diff.empty()) return diff;
    }
    return std::string();
  }

  // What one armed attempt ended with: 0 when it completed.
  static long Attempt(const std::function<void()>& fn, bool* badAlloc) {
    *badAlloc = false;
    try {
      fn();
    } catch (long code) {
      return code;
    } catch (const std::bad_alloc&) {
      *badAlloc = true;
      return -1;
    }
    return 0;
  }

  // What is alive before a graph is built (the reference's result included).
  struct Alive {
    long objects = U_GetTrackedStats().live_objects;
    long worlds = PF_GetWorldStats().live_worlds;
    long long pixels = PF_GetWorldStats().live_pixel_bytes;
  };

  static void ExpectCleanAfter(const ProofGraphDesc& desc, const Alive& alive,
                               const std::string& what) {
    EXPECT_EQ(PF_GetWorldStats().live_worlds, alive.worlds) << what << "\n" << desc.Describe();
    EXPECT_EQ(PF_GetWorldStats().live_pixel_bytes, alive.pixels) << what << "\n" << desc.Describe();
    EXPECT_EQ(U_GetTrackedStats().live_objects, alive.objects) << what << "\n" << desc.Describe();
  }
};

TEST_F(FaultInjectionTest, EveryFallibleCallMayFail) {
  const std::vector<ProofGraphDesc> graphs = RepresentativeGraphs();
  ASSERT_GE(graphs.size(), 4u);
  long points = 0, absorbed = 0, staleProfilerNodes = 0;
  for (size_t gi = 0; gi < graphs.size(); ++gi) {
    const ProofGraphDesc& desc = graphs[gi];
    ReferenceEvaluator reference(desc);
    const ProofRefResult expected = reference.RenderRoot();
    // Half the graphs run under the DOT profiler, which must survive failures.
    std::unique_ptr<RG_ScRGProfiler> profiler;
    if (gi % 2 == 0) profiler = std::make_unique<RG_ScRGProfiler>(1000000);
    const Alive alive;

    long count = 0;
    {
      ProofBuiltGraph graph(desc);
      RGp_TraverserAccess::ForgetStackLimits();
      const long long before = U_FallibleCallCount();
      ASSERT_EQ(RunAll(desc, graph, expected), "") << desc.Describe();
      count = static_cast<long>(U_FallibleCallCount() - before);
    }
    ASSERT_GT(count, 0);
    for (long k = 0; k < count; ++k) {
      const std::string what = "failure at fallible call " + std::to_string(k);
      {
        ProofBuiltGraph graph(desc);
        // The stack limits are read again, so their preference reads are
        // among the calls that fail.
        RGp_TraverserAccess::ForgetStackLimits();
        bool badAlloc = false;
        U_InjectFailure(k, kInjected);
        const long long reports = U_ThreadReportCount();
        const long code = Attempt([&] { (void)RunAll(desc, graph, expected); }, &badAlloc);
        U_ClearInjectedFailure();
        ++points;
        // Whatever fails, the caller finds a report of it.
        if (code != 0) {
          EXPECT_GT(U_ThreadReportCount(), reports) << what << "\n" << desc.Describe();
        }
        if (code == 0) {
          ++absorbed;
        } else if (!badAlloc) {
          EXPECT_EQ(code, kInjected) << what << "\n" << desc.Describe();
        }
        // A failing clock at the end of a node's scope drops the rest of its
        // report, NodeEnd included, so the node may stay on the profiler's
        // open-node stack; the profiler must go on recording all the same.
        size_t dotBefore = 0;
        if (profiler) {
          staleProfilerNodes += RG_GetProfiler()->CurrentNode() != nullptr ? 1 : 0;
          dotBefore = profiler->GetDotText().size();
        }
        EXPECT_EQ(RunAll(desc, graph, expected), "") << what << ", then again\n" << desc.Describe();
        if (profiler) {
          EXPECT_GT(profiler->GetDotText().size(), dotBefore) << what;
        }
      }
      ExpectCleanAfter(desc, alive, what);
      if (HasFailure()) return;
    }
    if (profiler) {
      EXPECT_FALSE(profiler->GetDotText().empty());
    }
  }
  EXPECT_EQ(RGp_TraverserAccess::TotalLimit(), 8000000u);
  std::printf(
      "[ proof    ] %zu graphs, %ld injection points, %ld absorbed, %ld left a profiler node "
      "open\n",
      graphs.size(), points, absorbed, staleProfilerNodes);
}

TEST_F(FaultInjectionTest, EveryAbortCheckMayAbort) {
  const std::vector<ProofGraphDesc> graphs = RepresentativeGraphs();
  ASSERT_GE(graphs.size(), 4u);
  long points = 0;
  for (const ProofGraphDesc& desc : graphs) {
    ReferenceEvaluator reference(desc);
    const ProofRefResult expected = reference.RenderRoot();
    const Alive alive;
    AbortCounter counter;
    auto attach = [&](ProofBuiltGraph& graph) {
      for (size_t i = 0; i < desc.nodes.size(); ++i) {
        graph.node(static_cast<int>(i))->SetProgAbort(new ProofAbort(&counter));
      }
    };
    {
      ProofBuiltGraph graph(desc);
      attach(graph);
      ASSERT_EQ(RunAll(desc, graph, expected), "") << desc.Describe();
    }
    const long checks = counter.calls;
    for (long n = 1; n <= checks; ++n) {
      const std::string what = "abort at check " + std::to_string(n);
      {
        ProofBuiltGraph graph(desc);
        attach(graph);
        counter.calls = 0;
        counter.abort_at = n;
        bool badAlloc = false;
        const long code = Attempt([&] { (void)RunAll(desc, graph, expected); }, &badAlloc);
        counter.abort_at = -1;
        ++points;
        EXPECT_EQ(code, kAborted) << what << "\n" << desc.Describe();
        EXPECT_EQ(RunAll(desc, graph, expected), "") << what << ", then again\n" << desc.Describe();
      }
      ExpectCleanAfter(desc, alive, what);
      if (HasFailure()) return;
    }
  }
  EXPECT_GT(points, 0);
  std::printf("[ proof    ] %zu graphs, %ld abort points\n", graphs.size(), points);
}

}  // namespace
