// Separate graphs on four threads at once: each thread builds, executes and
// destroys graphs of its own (composites, transforms, cache nodes), and every
// frame must match the reference evaluator; and graphs of their own over the
// same input buffers, a band of the frame each. `make test-tsan` runs these
// tests alone under ThreadSanitizer.
#include <gtest/gtest.h>

#include <latch>
#include <set>
#include <thread>
#include <vector>

#include "exec/ExecTestAccess.h"
#include "exec/RGp_PrefSlot.h"
#include "proof/Proof.h"
#include "rg/RG_SourceBufferNode.h"
#include "rg/RG_XformNode.h"
#include "support/LeakCheck.h"
#include "support/Matrices.h"

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

// As a host that renders on threads of its own does: the inputs are only
// read, so the bands make the frame one thread renders.
TEST_F(ThreadsTest, GraphsSharingInputBuffersMustRenderBandsAsOneThreadDoes) {
  constexpr int32_t kSize = 96;
  const std::unique_ptr<PF_World> bg(TestMakeWorld({0, 0, kSize, kSize}, {})),
      layer(TestMakeWorld({0, 0, 64, 64}, {}));
  TestFillPattern(bg.get());
  TestFillPattern(layer.get());
  const M_Matrix3 turn = ProofAffine(0.8, 0.6, -0.6, 0.8, 30.25, 5.5);
  const auto build = [&] {
    U_SharedPtr<RG_RenderNode> below(new RG_SourceBufferNode(bg.get()));
    U_SharedPtr<RG_RenderNode> top(new RG_SourceBufferNode(layer.get()));
    return U_SharedPtr<RG_RenderNode>(new RG_XformNode(&turn, 1, ProofMode(PF_BLEND_NORMAL), 1,
                                                       top.get(), below.get(), nullptr, 0));
  };
  const TestOutcome whole = TestRun(build().get(), TestRect(0, 0, kSize, kSize));
  for (int round = 0; round < 8; ++round) {
    TestOutcome bands[2];
    std::thread other(
        [&] { bands[1] = TestRun(build().get(), TestRect(0, kSize / 2, kSize, kSize)); });
    bands[0] = TestRun(build().get(), TestRect(0, 0, kSize, kSize / 2));
    other.join();
    for (int32_t y = 0; y < kSize; ++y)
      for (int32_t x = 0; x < kSize; ++x)
        ASSERT_TRUE(TestSame(TestPixel(bands[2 * y / kSize].world.get(), x, y),
                             TestPixel(whole.world.get(), x, y)))
            << x << "," << y << " round " << round;
  }
  EXPECT_EQ(PF_GetWorldStats().pixel_bytes_cleared, 0);  // each output starts as a whole copy
}

}  // namespace
