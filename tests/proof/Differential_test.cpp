// The library against the reference evaluator on thousands of random graphs.
// RG_SOAK_GRAPHS sets the number of graphs (default 4000); RG_SOAK_SEED the
// first seed (default 1), so a failure reported as "seed N" replays with
// RG_SOAK_SEED=N RG_SOAK_GRAPHS=1.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "proof/Proof.h"
#include "support/LeakCheck.h"

namespace {

uint64_t EnvNumber(const char* name, uint64_t fallback) {
  const char* text = std::getenv(name);
  return text == nullptr || *text == '\0' ? fallback : std::strtoull(text, nullptr, 10);
}

class DifferentialTest : public LeakCheckTest {};

TEST_F(DifferentialTest, RandomGraphsMatchTheReferencePixelForPixelAndLeakNothing) {
  const uint64_t count = EnvNumber("RG_SOAK_GRAPHS", 4000);
  const uint64_t first = EnvNumber("RG_SOAK_SEED", 1);
  int failures = 0;
  uint64_t drawn = 0;
  long hits = 0, stores = 0;
  for (uint64_t seed = first; seed < first + count; ++seed) {
    const long worldsBefore = PF_GetWorldStats().live_worlds;
    const long objectsBefore = U_GetTrackedStats().live_objects;
    ProofCheckStats stats;
    const std::string failure = ProofCheckGraph(ProofRandomGraph(seed), &stats);
    drawn += stats.drew ? 1 : 0;
    hits += stats.cache_hits;
    stores += stats.cache_stores;
    if (!failure.empty() && ++failures <= 5) ADD_FAILURE() << failure;
    if (PF_GetWorldStats().live_worlds != worldsBefore ||
        U_GetTrackedStats().live_objects != objectsBefore) {
      ADD_FAILURE() << "seed " << seed << " left worlds or objects alive";
      break;
    }
  }
  // A graph whose result is empty proves little; many must draw something.
  EXPECT_GT(drawn * 3, count);
  EXPECT_TRUE(count < 100 || (hits > 0 && stores > 0)) << hits << " hits, " << stores << " stores";
  std::printf(
      "[ proof    ] %llu graphs compared, %llu with pixels in the request, %ld cache hits, "
      "%ld cache stores, %d differ\n",
      static_cast<unsigned long long>(count), static_cast<unsigned long long>(drawn), hits, stores,
      failures);
}

// Smallest graphs in which one node's result serving several consumers once
// changed pixels, in both result forms.
TEST_F(DifferentialTest, SharedResultsKeepTheirPixelsForEveryConsumer) {
  const M_LRect r{0, 0, 16, 16};
  using E = ProofEffectNode;
  using K = ProofKind;
  const auto source = [](const M_LRect& bounds, uint32_t seed) {
    return ProofNodeDesc{.kind = K::kSource, .bounds = bounds, .pixel_seed = seed};
  };
  const auto composite = [](int src, int dest, int mask = -1, long maskMode = 0) {
    return ProofNodeDesc{.kind = K::kComposite, .inputs = {src, dest, mask}, .mask_mode = maskMode};
  };
  const std::vector<ProofNodeDesc> graphs[] = {
      // An in-place last consumer must not change a view the root's mask,
      // rendered first, still reads. The crop has a buffer of the library's
      // own, not a locked view.
      {source(r, 7),
       {.kind = K::kEffect, .inputs = {0, -1, -1}, .policy = E::kCrop, .keep = r, .extent = r},
       {.kind = K::kEffect, .inputs = {1, -1, -1}, .policy = E::kInPlace | E::kInvert},
       composite(2, -1, 1, PF_MASK_LUMA)},
      // Into the caller's buffer, the root works in place on S while X still
      // needs S: the root's output must not alias S's buffer.
      {source(r, 3), source(M_LRect{4, 4, 12, 12}, 5), composite(1, 0), composite(2, 0)},
  };
  for (const auto& nodes : graphs) {
    for (ProofForm form : {ProofForm::kNewWorld, ProofForm::kDestination}) {
      ProofGraphDesc g;
      g.nodes = nodes;
      g.request.rect = g.dest_rect = r;
      g.form = form;
      EXPECT_EQ(ProofCheckGraph(g), "");
    }
  }
}

}  // namespace
