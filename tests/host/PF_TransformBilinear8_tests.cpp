// PF_TransformWorld's integer loop for one bilinear matrix in normal mode at
// full strength on 8-bit pixels: rotated, scaled and far-placed sources over
// a random destination against a double-precision reference, fields, and
// agreement with the general loop (the same job through two identical
// matrices, which the integer loop does not take).
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "PF_Transfer_oracle.h"
#include "rghost/PF_Transfer.h"
#include "support/LeakCheck.h"

using oracle::Px;

namespace {

M_Matrix3 Placement(double angle, double sx, double sy, double tx, double ty) {
  M_Matrix3 m;
  m.m[0] = sx * std::cos(angle), m.m[1] = sx * std::sin(angle), m.m[2] = 0;
  m.m[3] = -sy * std::sin(angle), m.m[4] = sy * std::cos(angle), m.m[5] = 0;
  m.m[6] = tx, m.m[7] = ty, m.m[8] = 1;
  return m;
}

// Bilinear sample at source point (u, v), transparent outside.
Px Sample(const PF_LayerDef& src, double u, double v) {
  auto texel = [&](long i, long j) {
    return (i < 0 || j < 0 || i >= src.width || j >= src.height) ? Px{} : oracle::Get(src, i, j);
  };
  const double fx = u - 0.5, fy = v - 0.5;
  const long i = long(std::floor(fx)), j = long(std::floor(fy));
  const double tx = fx - i, ty = fy - j;
  const double w[4] = {(1 - tx) * (1 - ty), tx * (1 - ty), (1 - tx) * ty, tx * ty};
  const Px t[4] = {texel(i, j), texel(i + 1, j), texel(i, j + 1), texel(i + 1, j + 1)};
  Px out;
  for (int k = 0; k < 4; ++k) {
    out = {out.r + t[k].r * w[k], out.g + t[k].g * w[k], out.b + t[k].b * w[k],
           out.a + t[k].a * w[k]};
  }
  return out;
}

class TransformBilinear8Test : public LeakCheckTest {
 protected:
  // Transforms src through `toDst` into a copy of before and checks every
  // pixel of destRect (rows of `field`) against the reference, the rest for
  // being untouched.
  void Check(const PF_World& src, const PF_World& before, const M_Matrix3& toDst, long field,
             const M_LRect& destRect) {
    oracle::WorldPtr dst = oracle::MakeWorld(before.width, before.height, 8);
    dst->CopyPixels(const_cast<PF_World*>(&before), nullptr, 0, 0);
    PF_CompositeModePlus mode;  // normal, opacity 1
    ASSERT_EQ(PF_TransformWorld(nullptr, 1, 1, field, const_cast<PF_World*>(&src), &mode, 0,
                                nullptr, &toDst, 1, true, &destRect, dst.get()),
              0);
    M_Matrix3 back = toDst;
    ASSERT_FALSE(back.InvertQuiet());
    int failures = 0;
    for (int32_t y = 0; y < dst->height && failures < 5; ++y) {
      for (int32_t x = 0; x < dst->width && failures < 5; ++x) {
        const Px was = oracle::Get(before, x, y);
        const bool inRect = x >= destRect.left && x < destRect.right && y >= destRect.top &&
                            y < destRect.bottom && (field == 0 || y % 2 == field - 1);
        Px want = was;
        if (inRect) {
          double u = 0, v = 0;
          back.TransformPoint(x + 0.5, y + 0.5, &u, &v);
          want = oracle::Quantize(
              oracle::Composite(PF_Xfer_NORMAL, Sample(src, u, v), 1.0, was, false), 8);
        }
        const Px got = oracle::Get(*dst, x, y);
        const bool ok =
            inRect ? oracle::Near(got, want, oracle::Tolerance(8) + 1e-6) : oracle::Same(got, want);
        if (!ok) {
          ++failures;
          ADD_FAILURE() << "at (" << x << ", " << y << "): got " << got.r * 255 << " "
                        << got.g * 255 << " " << got.b * 255 << " " << got.a * 255 << ", want "
                        << want.r * 255 << " " << want.g * 255 << " " << want.b * 255 << " "
                        << want.a * 255;
        }
      }
    }
  }

  std::mt19937 rng_{7};
};

}  // namespace

TEST_F(TransformBilinear8Test, RotatedScaledAndShiftedSourcesMatchTheReference) {
  oracle::WorldPtr src = oracle::MakeWorld(23, 17, 8);
  oracle::WorldPtr before = oracle::MakeWorld(40, 36, 8);
  oracle::FillRandom(*src, rng_);
  oracle::FillRandom(*before, rng_);
  const M_Matrix3 placements[] = {
      Placement(0.5236, 1.0, 1.0, 14.3, 2.7),               // 30 degrees
      Placement(-2.2, 1.7, 0.6, 30.1, 25.4),                // rotated past 90, anisotropic
      Placement(0.0, 0.37, 2.9, 3.25, -4.5),                // axis-aligned squeeze and stretch
      Placement(1.5707963267948966, 1.0, 1.0, 30.5, 0.5)};  // quarter turn, half pixels
  for (const M_Matrix3& m : placements) {
    Check(*src, *before, m, 0, M_LRect{0, 0, 40, 36});
    Check(*src, *before, m, 1, M_LRect{3, 1, 37, 30});
    Check(*src, *before, m, 2, M_LRect{-5, -3, 50, 44});
  }
}

TEST_F(TransformBilinear8Test, OpaqueSourcesAndFarPlacements) {
  oracle::WorldPtr src = oracle::MakeWorld(19, 13, 8);
  oracle::WorldPtr before = oracle::MakeWorld(32, 24, 8);
  oracle::FillRandom(*src, rng_, true);
  oracle::FillRandom(*before, rng_);
  Check(*src, *before, Placement(0.3, 1.1, 0.9, 6.6, 1.2), 0, M_LRect{0, 0, 32, 24});
  // Placed billions of pixels away: nothing lands, nothing is touched.
  Check(*src, *before, Placement(0.3, 1.0, 1.0, 3.0e9, -2.5e9), 0, M_LRect{0, 0, 32, 24});
  // A huge scale whose positions leave the fixed-point range: the general
  // loop takes the row, with the same result.
  Check(*src, *before, Placement(0.0, 1.0e-9, 1.0e-9, 0.0, 0.0), 0, M_LRect{0, 0, 32, 24});
}

TEST_F(TransformBilinear8Test, AgreesWithTheGeneralLoopWithinOneLevel) {
  oracle::WorldPtr src = oracle::MakeWorld(31, 21, 8);
  oracle::WorldPtr before = oracle::MakeWorld(48, 40, 8);
  oracle::FillRandom(*src, rng_);
  oracle::FillRandom(*before, rng_);
  const M_Matrix3 m = Placement(0.9, 1.2, 1.05, 20.2, -3.3);
  const M_Matrix3 twice[2] = {m, m};
  const M_LRect all{0, 0, 48, 40};
  PF_CompositeModePlus mode;
  oracle::WorldPtr fast = oracle::MakeWorld(48, 40, 8);
  oracle::WorldPtr general = oracle::MakeWorld(48, 40, 8);
  fast->CopyPixels(before.get(), nullptr, 0, 0);
  general->CopyPixels(before.get(), nullptr, 0, 0);
  ASSERT_EQ(PF_TransformWorld(nullptr, 1, 1, 0, src.get(), &mode, 0, nullptr, &m, 1, true, &all,
                              fast.get()),
            0);
  ASSERT_EQ(PF_TransformWorld(nullptr, 1, 1, 0, src.get(), &mode, 0, nullptr, twice, 2, true, &all,
                              general.get()),
            0);
  int differing = 0;
  for (int32_t y = 0; y < 40; ++y) {
    for (int32_t x = 0; x < 48; ++x) {
      const Px a = oracle::Get(*fast, x, y), b = oracle::Get(*general, x, y);
      EXPECT_TRUE(oracle::Near(a, b, oracle::Tolerance(8))) << "at " << x << ", " << y;
      if (!oracle::Same(a, b)) ++differing;
    }
  }
  // Rounding may differ now and then, not as a rule.
  EXPECT_LT(differing, 48 * 40 / 10);
}
