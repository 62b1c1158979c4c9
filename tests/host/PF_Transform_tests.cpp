// PF_TransformWorld: exactness of identity and whole-pixel shifts, sampling
// at both qualities against a double-precision reference sampler (several
// matrices, singular ones, stencils, masks, fields, the 8-bit bilinear fast
// path) and matrix direction; errors, abort and threads are tested with
// the transfers.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "PF_Transfer_oracle.h"
#include "support/LeakCheck.h"

using oracle::Px;

namespace {

const short kDepths[] = {8, 16, 32};

using oracle::Affine;
M_Matrix3 Shift(double tx, double ty) { return Affine(1, 0, 0, 1, tx, ty); }

Px Add(Px a, const Px& b, double w) {
  for (int i = 0; i < 4; ++i) a[i] += b[i] * w;
  return a;
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
  const Px top = Add(Add({}, texel(i, j), (1 - tx) * (1 - ty)), texel(i + 1, j), tx * (1 - ty));
  return Add(Add(top, texel(i, j + 1), (1 - tx) * ty), texel(i + 1, j + 1), tx * ty);
}

// The averaged sample at destination pixel (x, y) for source-to-destination
// matrices.
Px ReferenceSample(const PF_LayerDef& src, const std::vector<M_Matrix3>& toDst, long x, long y,
                   bool bilinear) {
  Px sum{};
  for (M_Matrix3 m : toDst) {
    if (m.InvertQuiet()) continue;  // singular: transparent
    double u = 0, v = 0;
    m.TransformPoint(x + 0.5, y + 0.5, &u, &v);
    sum = Add(sum, Sample(src, u, v, bilinear), 1.0 / double(toDst.size()));
  }
  return sum;
}

class TransformTest : public LeakCheckTest {
 protected:
  long Transform(long quality, long field, PF_LayerDef* src, const PF_CompositeModePlus& mode,
                 PF_MaskWorld* mask, const std::vector<M_Matrix3>& matrices, bool srcToDst,
                 const M_LRect& destRect, PF_LayerDef* dst) {
    return PF_TransformWorld(nullptr, quality, 1, field, src, &mode, 0, mask, matrices.data(),
                             static_cast<long>(matrices.size()), srcToDst, &destRect, dst);
  }

  // Transforms src through toDst onto a copy of before and checks every pixel
  // against the reference sampler and the compositing oracle.
  void CheckAgainstReference(const PF_World& src, const PF_World& before,
                             const PF_CompositeModePlus& mode, PF_MaskWorld* mask,
                             const std::vector<M_Matrix3>& toDst, long quality, long field,
                             const M_LRect& r) {
    oracle::WorldPtr dst = oracle::Clone(before);
    ASSERT_EQ(Transform(quality, field, const_cast<PF_World*>(&src), mode, mask, toDst, true, r,
                        dst.get()),
              0);
    // The inverses read as destination-to-source place the same pixels.
    std::vector<M_Matrix3> toSrc = toDst;
    for (M_Matrix3& m : toSrc) m.InvertQuiet();
    oracle::WorldPtr viaInverse = oracle::Clone(before);
    ASSERT_EQ(Transform(quality, field, const_cast<PF_World*>(&src), mode, mask, toSrc, false, r,
                        viaInverse.get()),
              0);
    oracle::ExpectSamePixels(*viaInverse, *dst);
    oracle::CheckComposite(before, *dst, mode, mask, oracle::Tolerance(dst->depth) + 1e-6,
                           [&](long x, long y, Px* s) {
                             if (x < r.left || x >= r.right || y < r.top || y >= r.bottom ||
                                 (field != 0 && y % 2 != field - 1))
                               return false;
                             *s = ReferenceSample(src, toDst, x, y, quality != 0);
                             return true;
                           });
  }

  oracle::WorldPtr Random(int32_t w, int32_t h, short depth, bool opaque = false) {
    return oracle::Random(w, h, depth, rng_, opaque);
  }
  std::mt19937 rng_{99};
};

// PF_World's clipped copy places the source the same way, to the bit.
TEST_F(TransformTest, IdentityAndWholePixelShiftsMustReproduceTheSourceExactly) {
  for (short depth : kDepths) {
    oracle::WorldPtr src = Random(11, 9, depth);
    for (const auto& [dx, dy] : {std::pair{0, 0}, {3, -2}, {-4, 5}}) {
      oracle::WorldPtr want = oracle::MakeWorld(12, 10, depth);
      want->CopyPixels(src.get(), nullptr, dx, dy);
      for (long quality : {0L, 1L}) {
        for (int m : {PF_BLEND_COPY, PF_BLEND_NORMAL}) {
          SCOPED_TRACE(testing::Message() << "depth " << depth << " quality " << quality
                                          << " shift " << dx << "," << dy << " mode " << m);
          oracle::WorldPtr dst = oracle::MakeWorld(12, 10, depth);
          ASSERT_EQ(Transform(quality, 0, src.get(), {m}, nullptr, {Shift(dx, dy)}, true,
                              {0, 0, 12, 10}, dst.get()),
                    0);
          oracle::ExpectSamePixels(*dst, *want);
        }
      }
    }
  }
}

M_Matrix3 Place(double angle, double sx, double sy, double tx, double ty) {
  const double c = std::cos(angle), s = std::sin(angle);
  return Affine(sx * c, sx * s, -sy * s, sy * c, tx, ty);
}

// Modes, masks, fields and opacity at both qualities over placements that
// rotate and scale, average several matrices (one pixel apart, and
// anisotropic), and average a singular matrix in as transparency.
TEST_F(TransformTest, RotatedScaledAndAveragedPlacementsMustMatchTheReference) {
  const std::vector<std::vector<M_Matrix3>> placements = {
      {Place(0.41, 1.3, 1.3, 4.21, -1.37)},
      {Affine(0.77, 0.0, 0.11, 0.62, 2.3, 3.1), Affine(0.77, 0.05, 0.11, 0.62, 3.05, 2.7)},
      {Shift(2, 1), Shift(3, 1)},
      {Shift(2.5, 1), Affine(1, 0, 2, 0, 0, 0)}};
  const int modes[] = {PF_BLEND_NORMAL,        PF_BLEND_SCREEN,          PF_BLEND_COLOR,
                       PF_BLEND_STENCIL_ALPHA, PF_BLEND_SILHOUETTE_LUMA, PF_BLEND_BEHIND};
  for (short depth : kDepths) {
    oracle::WorldPtr src = Random(12, 10, depth), dstBefore = Random(20, 17, depth);
    oracle::WorldPtr maskPixels = Random(15, 12, 16);
    PF_MaskWorld mask{*maskPixels, 2, 3, PF_MASK_INVERTED_ALPHA};
    for (size_t p = 0; p < placements.size(); ++p) {
      for (long quality : {0L, 1L}) {
        for (int m : modes) {
          SCOPED_TRACE(testing::Message() << "placement " << p << " quality " << quality);
          PF_CompositeModePlus mode;
          mode.transfer_mode = m;
          mode.opacity = 0.75f;
          mode.dest_bound = m == PF_BLEND_SCREEN;
          const bool masked = m == PF_BLEND_NORMAL || m == PF_BLEND_STENCIL_ALPHA;
          CheckAgainstReference(*src, *dstBefore, mode, masked ? &mask : nullptr, placements[p],
                                quality, m % 3, {1, 2, 19, 16});
        }
      }
    }
  }
}

// The common "rotate or scale a layer" case at 8 bits, bilinear, in normal
// mode: rotations past 90 degrees, squeezes, half pixels, fields, rects past
// the buffer, opaque sources, placements billions of pixels away and huge
// scales.
TEST_F(TransformTest, EightBitBilinearFastPathMustMatchTheReference) {
  const M_Matrix3 placements[] = {
      Place(0.5236, 1.0, 1.0, 14.3, 2.7),  Place(-2.2, 1.7, 0.6, 30.1, 25.4),
      Place(0.0, 0.37, 2.9, 3.25, -4.5),   Place(1.5707963267948966, 1.0, 1.0, 30.5, 0.5),
      Place(0.3, 1.0, 1.0, 3.0e9, -2.5e9), Place(0.0, 1.0e-9, 1.0e-9, 0.0, 0.0)};
  oracle::WorldPtr before = Random(40, 36, 8);
  for (bool opaque : {false, true}) {
    oracle::WorldPtr src = Random(23, 17, 8, opaque);
    for (size_t p = 0; p < std::size(placements); ++p) {
      SCOPED_TRACE(testing::Message() << "placement " << p << " opaque " << opaque);
      const PF_CompositeModePlus mode;
      for (const auto& [field, rect] : {std::pair{0L, M_LRect{0, 0, 40, 36}},
                                        {1L, M_LRect{3, 1, 37, 30}},
                                        {2L, M_LRect{-5, -3, 50, 44}}})
        CheckAgainstReference(*src, *before, mode, nullptr, {placements[p]}, 1, field, rect);
    }
  }
}

}  // namespace
