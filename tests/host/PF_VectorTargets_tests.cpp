// The vector kernels against the scalar loops: every transfer mode, depth,
// opacity, mask kind and both samplers give the same bytes on every vector
// target the processor supports as on the portable fallback, where only the
// scalar loops run.
#include <gtest/gtest.h>
#include <hwy/targets.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "PF_Transfer_oracle.h"
#include "rghost/PF_Transfer.h"

namespace {

struct Output {
  std::string name;
  std::vector<char> bytes;
};

// One output per case, in a fixed order; widths of 37 leave scalar tails
// after the vector groups of every target.
std::vector<Output> RenderCases() {
  std::mt19937 rng(7);
  std::vector<Output> outputs;
  auto add = [&](const std::string& name, const PF_LayerDef& l) {
    outputs.push_back({"depth " + std::to_string(l.depth) + name, {}});
    for (int32_t y = 0; y < l.height; ++y)
      outputs.back().bytes.insert(outputs.back().bytes.end(), oracle::At(l, 0, y),
                                  oracle::At(l, l.width, y));
  };
  for (short depth : {8, 16, 32}) {
    oracle::WorldPtr src = oracle::Random(37, 9, depth, rng);
    oracle::WorldPtr dst = oracle::Random(37, 9, depth, rng);
    oracle::WorldPtr maskPixels = oracle::Random(29, 7, depth, rng);
    for (int m = 0; m < PF_BLEND_MODE_COUNT; ++m) {
      // Bound or not, at full or partial opacity, without a mask or through
      // one of each kind (which has full coverage in places).
      for (int variant = 0; variant < 4 * (1 + PF_MASK_KIND_COUNT); ++variant) {
        const PF_CompositeModePlus mode{m, uint8_t(variant % 2), 0, variant / 2 % 2 ? 0.6f : 1.0f};
        PF_MaskWorld mask{*maskPixels, 3, 1, variant / 4 - 1};
        oracle::WorldPtr out = oracle::Clone(*dst);
        EXPECT_EQ(PF_TransferRect(nullptr, 1, 1, 0, nullptr, src.get(), &mode, 0,
                                  variant < 4 ? nullptr : &mask, 0, 0, out.get()),
                  0);
        add(" mode " + std::to_string(m) + " variant " + std::to_string(variant), *out);
      }
    }
    // A free rotation with a scale, at both qualities, plain and through a mask.
    const double c = std::cos(0.5) * 0.9, s = std::sin(0.5) * 0.9;
    const M_Matrix3 toDst = oracle::Affine(c, s, -s, c, 9.3, 2.7);
    const M_LRect area{0, 0, 37, 9};
    for (long quality : {0, 1}) {
      for (bool masked : {false, true}) {
        PF_CompositeModePlus mode;
        mode.opacity = masked ? 0.8f : 1.0f;
        PF_MaskWorld mask{*maskPixels};
        oracle::WorldPtr out = oracle::Clone(*dst);
        EXPECT_EQ(PF_TransformWorld(nullptr, quality, 0, 0, src.get(), &mode, 0,
                                    masked ? &mask : nullptr, &toDst, 1, true, &area, out.get()),
                  0);
        add(" transform quality " + std::to_string(quality) + (masked ? " masked" : ""), *out);
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
