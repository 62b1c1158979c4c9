// PF_TransformWorld: exactness of identity and whole-pixel shifts, sampling
// at both qualities against a double-precision reference sampler, several
// matrices, singular matrices, matrix direction, stencils, errors, abort and
// threads.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "PF_Transfer_oracle.h"
#include "rghost/PF_Transfer.h"
#include "rghost/U_Errors.h"
#include "rghost/U_Services.h"
#include "support/LeakCheck.h"

using oracle::Px;

namespace {

const short kDepths[] = {8, 16, 32};

M_Matrix3 Affine(double a, double b, double c, double d, double tx, double ty) {
  M_Matrix3 m;
  m.m[0] = a, m.m[1] = b, m.m[2] = 0;
  m.m[3] = c, m.m[4] = d, m.m[5] = 0;
  m.m[6] = tx, m.m[7] = ty, m.m[8] = 1;
  return m;
}
M_Matrix3 Shift(double tx, double ty) { return Affine(1, 0, 0, 1, tx, ty); }

Px Add(const Px& a, const Px& b, double w) {
  return {a.r + b.r * w, a.g + b.g * w, a.b + b.b * w, a.a + b.a * w};
}

// Reference sample of src at source point (u, v): pixel (i, j) covers
// [i, i+1) x [j, j+1); transparent outside.
Px Sample(const PF_LayerDef& src, double u, double v, bool bilinear) {
  auto texel = [&](long i, long j) {
    return (i < 0 || j < 0 || i >= src.width || j >= src.height) ? Px{} : oracle::Get(src, i, j);
  };
  if (!bilinear) return (u < 0 || v < 0) ? Px{} : texel(long(std::floor(u)), long(std::floor(v)));
  const double fx = u - 0.5, fy = v - 0.5;
  const long i = long(std::floor(fx)), j = long(std::floor(fy));
  const double tx = fx - i, ty = fy - j;
  Px out;
  out = Add(out, texel(i, j), (1 - tx) * (1 - ty));
  out = Add(out, texel(i + 1, j), tx * (1 - ty));
  out = Add(out, texel(i, j + 1), (1 - tx) * ty);
  out = Add(out, texel(i + 1, j + 1), tx * ty);
  return out;
}

// The averaged sample at destination pixel (x, y) for source-to-destination
// matrices.
Px ReferenceSample(const PF_LayerDef& src, const std::vector<M_Matrix3>& toDst, long x, long y,
                   bool bilinear) {
  Px sum;
  for (M_Matrix3 m : toDst) {
    if (m.InvertQuiet()) continue;  // singular: transparent
    double u = 0, v = 0;
    m.TransformPoint(x + 0.5, y + 0.5, &u, &v);
    sum = Add(sum, Sample(src, u, v, bilinear), 1.0);
  }
  const double n = static_cast<double>(toDst.size());
  return {sum.r / n, sum.g / n, sum.b / n, sum.a / n};
}

class TransformTest : public LeakCheckTest {
 protected:
  long Transform(long quality, long field, PF_LayerDef* src, const PF_CompositeModePlus& mode,
                 PF_MaskWorld* mask, const std::vector<M_Matrix3>& matrices, bool srcToDst,
                 const M_LRect& destRect, PF_LayerDef* dst, PF_ProgressInfo* progress = nullptr) {
    return PF_TransformWorld(progress, quality, 1, field, src, &mode, 0, mask, matrices.data(),
                             static_cast<long>(matrices.size()), srcToDst, &destRect, dst);
  }

  // Checks every pixel of dst (a transformed copy of dstBefore) against the
  // reference sampler and the compositing oracle.
  void CheckAgainstReference(const PF_World& src, const PF_World& dstBefore, const PF_World& dst,
                             const PF_CompositeModePlus& mode, const PF_MaskWorld* mask,
                             const std::vector<M_Matrix3>& toDst, long quality, long field,
                             const M_LRect& destRect) {
    int failures = 0;
    for (int32_t y = 0; y < dst.height && failures < 5; ++y) {
      for (int32_t x = 0; x < dst.width && failures < 5; ++x) {
        const Px before = oracle::Get(dstBefore, x, y);
        const bool inRect = x >= destRect.left && x < destRect.right && y >= destRect.top &&
                            y < destRect.bottom && (field == 0 || y % 2 == field - 1);
        Px want = before;
        if (inRect) {
          double k = mode.opacity;
          if (mask != nullptr) {
            const long mx = x - mask->offset_x, my = y - mask->offset_y;
            const bool inside =
                mx >= 0 && my >= 0 && mx < mask->mask.width && my < mask->mask.height;
            k *= inside ? oracle::Coverage(mask->what_is_mask, oracle::Get(mask->mask, mx, my))
                        : (mask->what_is_mask % 2 == 1 ? 1.0 : 0.0);
          }
          const Px s = ReferenceSample(src, toDst, x, y, quality != 0);
          want = oracle::Quantize(
              oracle::Composite(mode.xfer, s, k, before, mode.dest_bound != 0), dst.depth);
        }
        const Px got = oracle::Get(dst, x, y);
        const bool ok = inRect ? oracle::Near(got, want, oracle::Tolerance(dst.depth) + 1e-6)
                               : oracle::Same(got, want);
        if (!ok) {
          ++failures;
          ADD_FAILURE() << "mode " << mode.xfer << " depth " << dst.depth << " quality "
                        << quality << " at (" << x << ", " << y << "): got " << got.r << " "
                        << got.g << " " << got.b << " " << got.a << ", want " << want.r << " "
                        << want.g << " " << want.b << " " << want.a;
        }
      }
    }
  }

  std::mt19937 rng_{99};
};

TEST_F(TransformTest, IdentityAndWholePixelShiftsReproduceTheSourceExactly) {
  for (short depth : kDepths) {
    oracle::WorldPtr src = oracle::MakeWorld(11, 9, depth);
    oracle::FillRandom(*src, rng_);
    for (long quality : {0L, 1L}) {
      for (const M_Matrix3& m : {Shift(0, 0), Shift(3, -2), Shift(-4, 5)}) {
        for (int xfer : {PF_Xfer_COPY, PF_Xfer_NORMAL}) {
          oracle::WorldPtr dst = oracle::MakeWorld(12, 10, depth);
          PF_CompositeModePlus mode;
          mode.xfer = xfer;
          ASSERT_EQ(Transform(quality, 0, src.get(), mode, nullptr, {m}, true, {0, 0, 12, 10},
                              dst.get()),
                    0);
          const long tx = long(m.m[6]), ty = long(m.m[7]);
          for (int32_t y = 0; y < 10; ++y) {
            for (int32_t x = 0; x < 12; ++x) {
              const long sx = x - tx, sy = y - ty;
              const Px want =
                  (sx < 0 || sy < 0 || sx >= 11 || sy >= 9) ? Px{} : oracle::Get(*src, sx, sy);
              ASSERT_TRUE(oracle::Same(oracle::Get(*dst, x, y), want))
                  << "depth " << depth << " quality " << quality << " shift " << tx << ","
                  << ty << " at " << x << ", " << y;
            }
          }
        }
      }
    }
  }
}

TEST_F(TransformTest, HalfPixelShiftAtQualityOneAveragesNeighbours) {
  for (short depth : kDepths) {
    oracle::WorldPtr src = oracle::MakeWorld(8, 4, depth);
    oracle::FillRandom(*src, rng_);
    oracle::WorldPtr dst = oracle::MakeWorld(9, 4, depth);
    PF_CompositeModePlus mode;
    ASSERT_EQ(Transform(1, 0, src.get(), mode, nullptr, {Shift(0.5, 0)}, true, {0, 0, 9, 4},
                        dst.get()),
              0);
    for (int32_t y = 0; y < 4; ++y) {
      for (int32_t x = 0; x < 9; ++x) {
        const Px left = x >= 1 ? oracle::Get(*src, x - 1, y) : Px{};
        const Px right = x < 8 ? oracle::Get(*src, x, y) : Px{};
        const Px want = oracle::Quantize(Add(Add({}, left, 0.5), right, 0.5), depth);
        EXPECT_TRUE(oracle::Near(oracle::Get(*dst, x, y), want, oracle::Tolerance(depth)))
            << "depth " << depth << " at " << x << ", " << y;
      }
    }
  }
}

TEST_F(TransformTest, SeveralMatricesAverageAndSingularOnesAddTransparency) {
  for (short depth : kDepths) {
    oracle::WorldPtr src = oracle::MakeWorld(7, 5, depth);
    oracle::FillRandom(*src, rng_);
    PF_CompositeModePlus mode;
    // Two placements one pixel apart: the mean of the two neighbours.
    oracle::WorldPtr blurred = oracle::MakeWorld(8, 5, depth);
    ASSERT_EQ(Transform(0, 0, src.get(), mode, nullptr, {Shift(0, 0), Shift(1, 0)}, true,
                        {0, 0, 8, 5}, blurred.get()),
              0);
    // A placement squashed to a line contributes nothing but still counts.
    oracle::WorldPtr halved = oracle::MakeWorld(8, 5, depth);
    ASSERT_EQ(Transform(1, 0, src.get(), mode, nullptr, {Shift(0, 0), Affine(1, 0, 2, 0, 0, 0)},
                        true, {0, 0, 8, 5}, halved.get()),
              0);
    for (int32_t y = 0; y < 5; ++y) {
      for (int32_t x = 0; x < 8; ++x) {
        const Px here = x < 7 ? oracle::Get(*src, x, y) : Px{};
        const Px left = x >= 1 ? oracle::Get(*src, x - 1, y) : Px{};
        const Px mean = oracle::Quantize(Add(Add({}, here, 0.5), left, 0.5), depth);
        EXPECT_TRUE(oracle::Near(oracle::Get(*blurred, x, y), mean, oracle::Tolerance(depth)))
            << "depth " << depth << " at " << x << ", " << y;
        const Px half = oracle::Quantize(Add({}, here, 0.5), depth);
        EXPECT_TRUE(oracle::Near(oracle::Get(*halved, x, y), half, oracle::Tolerance(depth)))
            << "depth " << depth << " at " << x << ", " << y;
      }
    }
  }
}

TEST_F(TransformTest, MatricesMapDestinationToSourceWhenSrcToDstIsFalse) {
  oracle::WorldPtr src = oracle::MakeWorld(10, 8, 16);
  oracle::FillRandom(*src, rng_);
  PF_CompositeModePlus mode;
  oracle::WorldPtr back = oracle::MakeWorld(10, 8, 16);
  oracle::WorldPtr forward = oracle::MakeWorld(10, 8, 16);
  // Scale 2 then shift: read as destination-to-source, the centre of
  // destination pixel x lands at 2x + 1.6, inside source pixel 2x + 1.
  const M_Matrix3 m = Affine(2, 0, 0, 2, 0.6, 0.3);
  ASSERT_EQ(Transform(0, 0, src.get(), mode, nullptr, {m}, false, {0, 0, 10, 8}, back.get()), 0);
  M_Matrix3 inverse = m;
  ASSERT_FALSE(inverse.InvertQuiet());
  ASSERT_EQ(Transform(0, 0, src.get(), mode, nullptr, {inverse}, true, {0, 0, 10, 8},
                      forward.get()),
            0);
  for (int32_t y = 0; y < 8; ++y) {
    for (int32_t x = 0; x < 10; ++x) {
      const long sx = 2 * x + 1, sy = 2 * y + 1;
      const Px want = (sx < 10 && sy < 8) ? oracle::Get(*src, sx, sy) : Px{};
      EXPECT_TRUE(oracle::Same(oracle::Get(*back, x, y), want)) << x << ", " << y;
      EXPECT_TRUE(oracle::Near(oracle::Get(*forward, x, y), want, 0)) << x << ", " << y;
    }
  }
}

TEST_F(TransformTest, RotatedAndScaledSourcesMatchTheReference) {
  const double c = std::cos(0.41), s = std::sin(0.41);
  const std::vector<std::vector<M_Matrix3>> placements = {
      {Affine(1.3 * c, 1.3 * s, -1.3 * s, 1.3 * c, 4.21, -1.37)},
      {Affine(0.77, 0.0, 0.11, 0.62, 2.3, 3.1), Affine(0.77, 0.05, 0.11, 0.62, 3.05, 2.7)}};
  const int modes[] = {PF_Xfer_NORMAL, PF_Xfer_SCREEN, PF_Xfer_COLOR, PF_Xfer_STENCIL_ALPHA,
                       PF_Xfer_SILHOUETTE_LUMA, PF_Xfer_BEHIND};
  for (short depth : kDepths) {
    oracle::WorldPtr src = oracle::MakeWorld(12, 10, depth);
    oracle::WorldPtr dstBefore = oracle::MakeWorld(20, 17, depth);
    oracle::WorldPtr maskPixels = oracle::MakeWorld(15, 12, 16);
    oracle::FillRandom(*src, rng_);
    oracle::FillRandom(*dstBefore, rng_);
    oracle::FillRandom(*maskPixels, rng_);
    PF_MaskWorld mask;
    mask.mask = *maskPixels;
    mask.offset_x = 2;
    mask.offset_y = 3;
    mask.what_is_mask = PF_MaskKind_INVERTED_ALPHA;
    const M_LRect destRect{1, 2, 19, 16};
    for (const auto& toDst : placements) {
      for (long quality : {0L, 1L}) {
        for (int m : modes) {
          const long field = m % 3;
          PF_CompositeModePlus mode;
          mode.xfer = m;
          mode.opacity = 0.75f;
          mode.dest_bound = m == PF_Xfer_SCREEN;
          PF_MaskWorld* useMask = m == PF_Xfer_NORMAL || m == PF_Xfer_STENCIL_ALPHA ? &mask
                                                                                     : nullptr;
          oracle::WorldPtr dst = oracle::MakeWorld(20, 17, depth);
          dst->CopyPixels(dstBefore.get(), nullptr, 0, 0);
          ASSERT_EQ(Transform(quality, field, src.get(), mode, useMask, toDst, true, destRect,
                              dst.get()),
                    0);
          CheckAgainstReference(*src, *dstBefore, *dst, mode, useMask, toDst, quality, field,
                                destRect);
        }
      }
    }
  }
}

TEST_F(TransformTest, NothingToDoAndBadParameters) {
  oracle::WorldPtr src = oracle::MakeWorld(4, 4, 8);
  oracle::WorldPtr dst = oracle::MakeWorld(4, 4, 8);
  oracle::FillRandom(*src, rng_, true);
  PF_CompositeModePlus mode;
  const M_LRect all{0, 0, 4, 4};
  const M_Matrix3 id;
  EXPECT_EQ(PF_TransformWorld(nullptr, 0, 1, 0, src.get(), &mode, 0, nullptr, &id, 0, true, &all,
                              dst.get()),
            0);
  EXPECT_EQ(PF_TransformWorld(nullptr, 0, 1, 0, src.get(), &mode, 0, nullptr, nullptr, 1, true,
                              &all, dst.get()),
            0);
  for (int32_t y = 0; y < 4; ++y)
    for (int32_t x = 0; x < 4; ++x) EXPECT_TRUE(oracle::Same(oracle::Get(*dst, x, y), {}));
  mode.xfer = 22;
  EXPECT_EQ(PF_TransformWorld(nullptr, 0, 1, 0, src.get(), &mode, 0, nullptr, &id, 1, true, &all,
                              dst.get()),
            U_ERR_BAD_PARAMETER);
  EXPECT_EQ(PF_TransformWorld(nullptr, 0, 1, 0, src.get(), nullptr, 0, nullptr, &id, 1, true,
                              &all, dst.get()),
            U_ERR_BAD_PARAMETER);
  mode.xfer = PF_Xfer_NORMAL;
  oracle::WorldPtr dst32 = oracle::MakeWorld(4, 4, 32);
  EXPECT_EQ(PF_TransformWorld(nullptr, 0, 1, 0, src.get(), &mode, 0, nullptr, &id, 1, true, &all,
                              dst32.get()),
            U_ERR_BAD_PARAMETER);
  U_InjectFailure(0, 777);
  EXPECT_EQ(PF_TransformWorld(nullptr, 0, 1, 0, src.get(), &mode, 0, nullptr, &id, 1, true, &all,
                              dst.get()),
            777);
  EXPECT_TRUE(oracle::Same(oracle::Get(*dst, 0, 0), {}));
}

long AbortOnThirdCall(void* context) {
  long& calls = *static_cast<long*>(context);
  return ++calls == 3 ? 6060 : 0;
}

TEST_F(TransformTest, AbortCodePropagates) {
  oracle::WorldPtr src = oracle::MakeWorld(64, 200, 8);
  oracle::WorldPtr dst = oracle::MakeWorld(64, 200, 8);
  oracle::FillRandom(*src, rng_);
  PF_CompositeModePlus mode;
  long calls = 0;
  PF_ProgressInfo progress;
  progress.context = &calls;
  progress.abort_cb = &AbortOnThirdCall;
  EXPECT_EQ(Transform(1, 0, src.get(), mode, nullptr, {Shift(0.3, 0.2)}, true, {0, 0, 64, 200},
                      dst.get(), &progress),
            6060);
  EXPECT_EQ(calls, 3);
  // The rows after the abort were never written.
  EXPECT_TRUE(oracle::Same(oracle::Get(*dst, 10, 199), {}));
}

TEST_F(TransformTest, ResultsDoNotDependOnTheThreadCount) {
  const double c = std::cos(-0.3), s = std::sin(-0.3);
  const std::vector<M_Matrix3> toDst = {Affine(c, s, -s, c, 40.5, 60.25),
                                        Affine(c, s, -s, c, 42.5, 61.0)};
  for (short depth : kDepths) {
    oracle::WorldPtr src = oracle::MakeWorld(280, 260, depth);
    oracle::WorldPtr dstBefore = oracle::MakeWorld(330, 320, depth);
    oracle::FillRandom(*src, rng_);
    oracle::FillRandom(*dstBefore, rng_);
    for (int m : {PF_Xfer_NORMAL, PF_Xfer_DISSOLVE, PF_Xfer_STENCIL_LUMA}) {
      PF_CompositeModePlus mode;
      mode.xfer = m;
      oracle::WorldPtr results[2];
      for (int threads : {1, 2}) {
        const int previous = PF_SetThreadCount(threads);
        results[threads - 1] = oracle::MakeWorld(330, 320, depth);
        results[threads - 1]->CopyPixels(dstBefore.get(), nullptr, 0, 0);
        const long rc = Transform(1, 0, src.get(), mode, nullptr, toDst, true, {5, 3, 325, 318},
                                  results[threads - 1].get());
        PF_SetThreadCount(previous);
        ASSERT_EQ(rc, 0);
      }
      for (int32_t y = 0; y < 320; ++y) {
        for (int32_t x = 0; x < 330; ++x) {
          ASSERT_TRUE(oracle::Same(oracle::Get(*results[0], x, y), oracle::Get(*results[1], x, y)))
              << "mode " << m << " depth " << depth << " at " << x << ", " << y;
        }
      }
    }
  }
}

}  // namespace
