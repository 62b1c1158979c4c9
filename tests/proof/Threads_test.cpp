// Separate graphs on four threads at once: each thread builds, executes and
// destroys graphs of its own (composites, transforms, cache nodes) and gets
// the frames the same graphs give on one thread. `make test-tsan` runs this
// test alone under ThreadSanitizer.
#include <gtest/gtest.h>

#include <cstring>
#include <latch>
#include <set>
#include <thread>
#include <vector>

#include "exec/ExecTestAccess.h"
#include "exec/RGp_PrefSlot.h"
#include "proof/Proof.h"
#include "support/LeakCheck.h"

namespace {

// A frame as bytes: result rect, flags, then every row of the world.
using Frame = std::vector<uint8_t>;

Frame Snapshot(const ProofLibraryOutput& out) {
  Frame f(sizeof out.rect + 1);
  std::memcpy(f.data(), &out.rect, sizeof out.rect);
  f.back() = static_cast<uint8_t>(out.flags);
  if (const PF_World* w = out.world.get()) {
    const size_t row = static_cast<size_t>(w->width) * PF_BytesPerPixel(w->GetDepth());
    for (int32_t y = 0; y < w->height; ++y) {
      const auto* p = static_cast<const uint8_t*>(w->PixelAddress(0, y));
      f.insert(f.end(), p, p + row);
    }
  }
  return f;
}

// Builds each graph, executes it as often as its description says and drops it.
std::vector<Frame> RenderAll(const std::vector<ProofGraphDesc>& graphs) {
  std::vector<Frame> frames;
  for (const ProofGraphDesc& desc : graphs) {
    ProofBuiltGraph graph(desc);
    for (int run = 0; run < desc.runs; ++run)
      frames.push_back(Snapshot(ProofExecute(desc, graph.root())));
  }
  return frames;
}

class ThreadsTest : public LeakCheckTest {};

TEST_F(ThreadsTest, SeparateGraphsOnFourThreadsRenderAsOnOne) {
  constexpr int kThreads = 4;
  std::vector<ProofGraphDesc> graphs;
  std::set<ProofKind> kinds;
  for (uint64_t seed = 1; seed <= 24; ++seed) {
    graphs.push_back(ProofRandomGraph(seed));
    for (const ProofNodeDesc& n : graphs.back().nodes) kinds.insert(n.kind);
  }
  ASSERT_TRUE(kinds.count(ProofKind::kComposite) && kinds.count(ProofKind::kXform) &&
              kinds.count(ProofKind::kCache));

  // Each round starts as the process does, with no preference read yet, so
  // the threads' first executions read them together.
  constexpr int kRounds = 8;
  std::vector<std::vector<Frame>> frames(kRounds * kThreads);
  std::vector<long> errors(kRounds * kThreads, 0);
  for (int round = 0; round < kRounds; ++round) {
    RGp_TraverserAccess::ForgetStackLimits();
    RGp_ReleaseLockPref().Reset();
    std::latch start(kThreads);
    std::vector<std::thread> threads;
    for (int t = round * kThreads; t < (round + 1) * kThreads; ++t) {
      threads.emplace_back([&, t] {
        start.arrive_and_wait();
        try {
          frames[t] = RenderAll(graphs);
        } catch (long code) {
          errors[t] = code;
        }
      });
    }
    for (std::thread& thread : threads) thread.join();
  }

  const std::vector<Frame> alone = RenderAll(graphs);
  for (size_t t = 0; t < frames.size(); ++t) {
    EXPECT_EQ(errors[t], 0) << "thread " << t;
    ASSERT_EQ(frames[t].size(), alone.size()) << "thread " << t;
    for (size_t i = 0; i < alone.size(); ++i)
      EXPECT_TRUE(frames[t][i] == alone[i]) << "thread " << t << ", frame " << i;
  }
}

}  // namespace
