// Separate graphs on four threads at once: each thread builds, executes and
// destroys graphs of its own (composites, transforms, cache nodes), and every
// frame must match the reference evaluator. `make test-tsan` runs this test
// alone under ThreadSanitizer.
#include <gtest/gtest.h>

#include <latch>
#include <set>
#include <thread>
#include <vector>

#include "exec/ExecTestAccess.h"
#include "exec/RGp_PrefSlot.h"
#include "proof/Proof.h"
#include "support/LeakCheck.h"

namespace {

class ThreadsTest : public LeakCheckTest {};

TEST_F(ThreadsTest, SeparateGraphsOnFourThreadsRenderAsTheReference) {
  constexpr int kThreads = 4;
  std::vector<ProofGraphDesc> graphs;
  std::vector<ProofRefResult> expected;
  std::set<ProofKind> kinds;
  for (uint64_t seed = 1; seed <= 24; ++seed) {
    graphs.push_back(ProofRandomGraph(seed));
    expected.push_back(ProofReference(graphs.back()));
    for (const ProofNodeDesc& n : graphs.back().nodes) kinds.insert(n.kind);
  }
  ASSERT_TRUE(kinds.count(ProofKind::kComposite) && kinds.count(ProofKind::kXform) &&
              kinds.count(ProofKind::kCache));

  // Each round starts as the process does, with no preference read yet, so
  // the threads' first executions read them together.
  for (int round = 0; round < 8; ++round) {
    RGp_TraverserAccess::ForgetStackLimits();
    RGp_ReleaseLockPref().Reset();
    std::latch start(kThreads);
    std::vector<std::string> failures(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        start.arrive_and_wait();
        for (size_t i = 0; i < graphs.size() && failures[t].empty(); ++i) {
          try {
            failures[t] = ProofRunAll(graphs[i], ProofBuiltGraph(graphs[i]), expected[i]);
          } catch (long code) {
            failures[t] = "threw " + std::to_string(code);
          }
          if (!failures[t].empty()) failures[t] += "\n" + graphs[i].Describe();
        }
      });
    }
    for (std::thread& thread : threads) thread.join();
    for (int t = 0; t < kThreads; ++t)
      EXPECT_EQ(failures[t], "") << "round " << round << " thread " << t;
  }
}

}  // namespace
