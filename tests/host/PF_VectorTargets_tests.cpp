// The vector kernels against the scalar loops: every transfer mode, depth,
// opacity, mask kind and both samplers give the same bytes on every vector
// target the processor supports as on the portable fallback, where only the
// scalar loops run.
#include <gtest/gtest.h>
#include <hwy/targets.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "PF_Transfer_oracle.h"
#include "rghost/PF_Transfer.h"

namespace {

using Bytes = std::vector<char>;
struct Output {
  std::string name;
  Bytes bytes;
};

Bytes Snapshot(const PF_LayerDef& l) {
  const size_t row = static_cast<size_t>(l.width) * (l.depth == 8 ? 4 : l.depth == 16 ? 8 : 16);
  Bytes out(row * static_cast<size_t>(l.height));
  for (int32_t y = 0; y < l.height; ++y)
    std::memcpy(out.data() + row * y, static_cast<const char*>(l.data) + y * l.rowbytes, row);
  return out;
}

// One output per case, in a fixed order; widths of 37 leave scalar tails
// after the vector groups of every target.
std::vector<Output> RenderCases() {
  std::mt19937 rng(7);
  std::vector<Output> outputs;
  for (short depth : {8, 16, 32}) {
    oracle::WorldPtr src = oracle::MakeWorld(37, 9, depth), dst = oracle::MakeWorld(37, 9, depth);
    oracle::WorldPtr maskPixels = oracle::MakeWorld(29, 7, depth);
    oracle::FillRandom(*src, rng);
    oracle::FillRandom(*dst, rng);
    oracle::FillRandom(*maskPixels, rng);
    for (int m = 0; m < PF_BLEND_MODE_COUNT; ++m) {
      // Bound or not, at full or partial opacity, without a mask or through
      // one of each kind (which has full coverage in places).
      for (int variant = 0; variant < 4 * (1 + PF_MASK_KIND_COUNT); ++variant) {
        PF_CompositeModePlus mode;
        mode.transfer_mode = m;
        mode.dest_bound = variant % 2;
        mode.opacity = variant / 2 % 2 ? 0.6f : 1.0f;
        PF_MaskWorld mask;
        mask.mask = *maskPixels;
        mask.kind = variant / 4 - 1;
        mask.offset_x = 3;
        mask.offset_y = 1;
        oracle::WorldPtr out = oracle::Clone(*dst);
        EXPECT_EQ(PF_TransferRect(nullptr, 1, 1, 0, nullptr, src.get(), &mode, 0,
                                  variant < 4 ? nullptr : &mask, 0, 0, out.get()),
                  0);
        outputs.push_back({"depth " + std::to_string(depth) + " mode " + std::to_string(m) +
                               " variant " + std::to_string(variant),
                           Snapshot(*out)});
      }
    }
    // A free rotation with a scale, at both qualities, plain and through a mask.
    const double c = std::cos(0.5) * 0.9, s = std::sin(0.5) * 0.9;
    M_Matrix3 toDst;
    const double m[9] = {c, s, 0, -s, c, 0, 9.3, 2.7, 1};
    std::memcpy(toDst.m, m, sizeof m);
    const M_LRect area{0, 0, 37, 9};
    for (long quality : {0, 1}) {
      for (bool masked : {false, true}) {
        PF_CompositeModePlus mode;
        mode.opacity = masked ? 0.8f : 1.0f;
        PF_MaskWorld mask;
        mask.mask = *maskPixels;
        oracle::WorldPtr out = oracle::Clone(*dst);
        EXPECT_EQ(PF_TransformWorld(nullptr, quality, 0, 0, src.get(), &mode, 0,
                                    masked ? &mask : nullptr, &toDst, 1, true, &area, out.get()),
                  0);
        outputs.push_back({"depth " + std::to_string(depth) + " transform quality " +
                               std::to_string(quality) + (masked ? " masked" : ""),
                           Snapshot(*out)});
      }
    }
  }
  return outputs;
}

TEST(VectorTargetsTest, EveryVectorTargetMustGiveTheScalarLoopsBytes) {
  hwy::SetSupportedTargetsForTest(0);
  const int64_t supported = hwy::SupportedTargets();
  // Highway numbers better targets with lower bits: the highest set bit is
  // the portable fallback.
  int64_t fallback = supported;
  while (fallback & (fallback - 1)) fallback &= fallback - 1;
  if (supported == fallback) GTEST_SKIP() << "only one target on this processor";
  hwy::SetSupportedTargetsForTest(fallback);
  const std::vector<Output> expected = RenderCases();
  oracle::OnEveryTarget([&] {
    const std::vector<Output> got = RenderCases();
    ASSERT_EQ(got.size(), expected.size());
    for (size_t i = 0; i < got.size(); ++i)
      EXPECT_TRUE(got[i].bytes == expected[i].bytes) << expected[i].name;
  });
}

}  // namespace
