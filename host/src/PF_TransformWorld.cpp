// PF_TransformWorld: a buffer resampled through one or more matrices and
// composited onto another at the same depth.
//
// Each destination pixel centre is mapped back to the source through every
// matrix (destination to source); the samples are averaged and the result is
// composited by the same span loops as PF_TransferRect. Along a row the
// source position moves by a constant step (the inverse's first row), so a
// row's positions are one constant plus the column times the step and, for
// affine matrices, only the columns the source can reach are visited.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <type_traits>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "PF_KernelComposite.h"
#include "PF_KernelRows.h"
#include "U_Fallible.h"
#include "rghost/PF_Transfer.h"
#include "rghost/U_Errors.h"

namespace {

// A destination-to-source matrix (row-vector convention: p_src = p_dst * m).
struct BackMap {
  M_Matrix3 m;
  bool singular = false;
  bool affine = true;
};

BackMap MakeBackMap(const M_Matrix3& given, bool invert) {
  BackMap b;
  M_Matrix3 back = given;
  const double det = given.Determinant();
  // Singular either way round: the placement collapses to a line or a point.
  if (det == 0.0 || !std::isfinite(det) || (invert && back.InvertQuiet())) {
    b.singular = true;
    return b;
  }
  b.m = back;
  for (double v : b.m.m) {
    if (!std::isfinite(v)) b.singular = true;
  }
  b.affine = b.m[2] == 0.0 && b.m[5] == 0.0 && b.m[8] == 1.0;
  return b;
}

struct Span {
  int32_t begin = 0;
  int32_t end = 0;
};

// Conservative range of i in [0, n) with lo < start + i * step < hi.
Span SolveLinear(double start, double step, double lo, double hi, int32_t n) {
  if (!std::isfinite(start) || !std::isfinite(step)) return {0, n};
  if (step == 0.0) {
    if (start > lo - 1.0 && start < hi + 1.0) return {0, n};
    return {0, 0};
  }
  double t1 = (lo - start) / step;
  double t2 = (hi - start) / step;
  if (t1 > t2) std::swap(t1, t2);
  t1 = std::clamp(std::floor(t1) - 1.0, 0.0, static_cast<double>(n));
  t2 = std::clamp(std::ceil(t2) + 1.0, 0.0, static_cast<double>(n));
  return {static_cast<int32_t>(t1), static_cast<int32_t>(t2)};
}

// Columns [begin, end) of a row of n pixels starting at destination pixel
// (x0, y) whose samples through `b` can be non-transparent.
Span Reach(const BackMap& b, int64_t x0, int64_t y, int32_t n, const PF_LayerDef& src,
           bool bilinear) {
  if (b.singular) return {0, 0};
  if (!b.affine) return {0, n};
  const double px = static_cast<double>(x0) + 0.5;
  const double py = static_cast<double>(y) + 0.5;
  const double margin = bilinear ? 0.5 : 0.0;
  const Span u =
      SolveLinear(px * b.m[0] + py * b.m[3] + b.m[6], b.m[0], -margin, src.width + margin, n);
  const Span v =
      SolveLinear(px * b.m[1] + py * b.m[4] + b.m[7], b.m[1], -margin, src.height + margin, n);
  Span s{std::max(u.begin, v.begin), std::min(u.end, v.end)};
  if (s.end < s.begin) s.end = s.begin;
  return s;
}

inline void AddWeighted(PFh_RGBA& acc, const PFh_RGBA& p, float w) {
  acc.r += p.r * w;
  acc.g += p.g * w;
  acc.b += p.b * w;
  acc.a += p.a * w;
}

// The four texels of a bilinear sample wholly inside the source, added with
// their weights in the order and with the operations of AddWeighted, so the
// sums are the same to the bit; 8-bit pixels go through vector registers.
template <class Pixel>
inline void AddFour(PFh_RGBA& acc, const Pixel* r0, const Pixel* r1, const float (&wx)[2],
                    const float (&wy)[2]) {
#if defined(__SSE2__)
  if constexpr (std::is_same_v<Pixel, PF_RGBA8>) {
    const __m128i zero = _mm_setzero_si128();
    const __m128 scale = _mm_set1_ps(1.0f / 255.0f);
    auto load = [&](const PF_RGBA8& p) {
      int32_t bits;
      std::memcpy(&bits, &p, sizeof bits);
      const __m128i bytes = _mm_cvtsi32_si128(bits);
      const __m128i ints = _mm_unpacklo_epi16(_mm_unpacklo_epi8(bytes, zero), zero);
      return _mm_mul_ps(_mm_cvtepi32_ps(ints), scale);
    };
    __m128 sum = _mm_loadu_ps(&acc.r);
    sum = _mm_add_ps(sum, _mm_mul_ps(load(r0[0]), _mm_set1_ps(wx[0] * wy[0])));
    sum = _mm_add_ps(sum, _mm_mul_ps(load(r0[1]), _mm_set1_ps(wx[1] * wy[0])));
    sum = _mm_add_ps(sum, _mm_mul_ps(load(r1[0]), _mm_set1_ps(wx[0] * wy[1])));
    sum = _mm_add_ps(sum, _mm_mul_ps(load(r1[1]), _mm_set1_ps(wx[1] * wy[1])));
    _mm_storeu_ps(&acc.r, sum);
    return;
  }
#endif
  AddWeighted(acc, PFh_Load(r0[0]), wx[0] * wy[0]);
  AddWeighted(acc, PFh_Load(r0[1]), wx[1] * wy[0]);
  AddWeighted(acc, PFh_Load(r1[0]), wx[0] * wy[1]);
  AddWeighted(acc, PFh_Load(r1[1]), wx[1] * wy[1]);
}

// Adds the sample at source position (u, v) to acc. Outside the source is
// transparent, so edge texels of a bilinear sample blend with transparency;
// a NaN position samples nothing.
template <class Pixel, bool Bilinear>
inline void Sample(const PF_LayerDef& src, double u, double v, PFh_RGBA& acc) {
  const double w = src.width;
  const double h = src.height;
  if constexpr (!Bilinear) {
    if (!(u >= 0.0 && u < w && v >= 0.0 && v < h)) return;
    const Pixel& p =
        *PFh_PixelAt<const Pixel>(src, static_cast<int64_t>(u), static_cast<int64_t>(v));
    AddWeighted(acc, PFh_Load(p), 1.0f);
  } else {
    // Texel centres sit at half-integers: sample between the four around.
    const double fx = u - 0.5;
    const double fy = v - 0.5;
    if (!(fx > -1.0 && fx < w && fy > -1.0 && fy < h)) return;
    const double flx = std::floor(fx);
    const double fly = std::floor(fy);
    const int64_t ix = static_cast<int64_t>(flx);
    const int64_t iy = static_cast<int64_t>(fly);
    const float tx = static_cast<float>(fx - flx);
    const float ty = static_cast<float>(fy - fly);
    const float wx[] = {1.0f - tx, tx};
    const float wy[] = {1.0f - ty, ty};
    if (tx == 0.0f && ty == 0.0f && ix >= 0 && iy >= 0) {
      // On a texel centre (identity, whole-pixel shifts): that texel alone.
      AddWeighted(acc, PFh_Load(*PFh_PixelAt<const Pixel>(src, ix, iy)), 1.0f);
      return;
    }
    if (ix >= 0 && iy >= 0 && ix + 1 < src.width && iy + 1 < src.height) {
      // All four texels inside: no per-texel checks.
      const Pixel* r0 = PFh_PixelAt<const Pixel>(src, ix, iy);
      const Pixel* r1 = PFh_PixelAt<const Pixel>(src, ix, iy + 1);
      AddFour(acc, r0, r1, wx, wy);
      return;
    }
    for (int jy = 0; jy < 2; ++jy) {
      const int64_t yy = iy + jy;
      if (wy[jy] == 0.0f || yy < 0 || yy >= src.height) continue;
      const Pixel* row = PFh_PixelAt<const Pixel>(src, 0, yy);
      for (int jx = 0; jx < 2; ++jx) {
        const int64_t xx = ix + jx;
        if (wx[jx] == 0.0f || xx < 0 || xx >= src.width) continue;
        AddWeighted(acc, PFh_Load(row[xx]), wx[jx] * wy[jy]);
      }
    }
  }
}

// Source positions are computed along a row in blocks of this many pixels.
constexpr int32_t kPositionBlock = 256;

// Adds the samples of destination pixels x0 + [s.begin, s.end) of row y,
// taken through `b`, to acc[s.begin..s.end). Each position is computed from
// its own column (a row's constant plus the column's centre times the step),
// not summed step by step: no dependency runs along the row, and a pixel's
// position does not depend on where its span begins. For each block of
// pixels the positions go to `uv` (u then v), the vector sampler takes what
// fills its vectors and the scalar one the rest.
template <class Pixel, bool Bilinear>
void AccumulateRow(const PF_LayerDef& src, const BackMap& b, int64_t x0, int64_t y, Span s,
                   PFh_RGBA* acc, std::vector<double>& uv) {
  const double py = static_cast<double>(y) + 0.5;
  const double rowX = py * b.m[3] + b.m[6];
  const double rowY = py * b.m[4] + b.m[7];
  const double rowW = py * b.m[5] + b.m[8];
  uv.resize(2 * kPositionBlock);
  double* u = uv.data();
  double* v = u + kPositionBlock;
  for (int32_t first = s.begin; first < s.end; first += kPositionBlock) {
    const int32_t count = std::min(kPositionBlock, s.end - first);
    const double px0 = static_cast<double>(x0 + first) + 0.5;
    if (b.affine) {
      for (int32_t j = 0; j < count; ++j) {
        const double px = px0 + static_cast<double>(j);
        u[j] = px * b.m[0] + rowX;
        v[j] = px * b.m[1] + rowY;
      }
    } else {
      for (int32_t j = 0; j < count; ++j) {
        const double px = px0 + static_cast<double>(j);
        const double W = px * b.m[2] + rowW;
        if (W == 0.0) {
          u[j] = v[j] = std::numeric_limits<double>::quiet_NaN();
        } else {
          u[j] = (px * b.m[0] + rowX) / W;
          v[j] = (px * b.m[1] + rowY) / W;
        }
      }
    }
    PFh_RGBA* a = acc + first;
    int32_t j = 0;
    if constexpr (std::is_same_v<Pixel, PF_RGBA8>) {
      j = Bilinear ? PFh_VecBilinear8(src, u, v, count, a) : PFh_VecNearest8(src, u, v, count, a);
    } else if constexpr (std::is_same_v<Pixel, PF_RGBA16>) {
      j = Bilinear ? PFh_VecBilinear16(src, u, v, count, a) : PFh_VecNearest16(src, u, v, count, a);
    } else {
      j = Bilinear ? PFh_VecBilinear32(src, u, v, count, a) : PFh_VecNearest32(src, u, v, count, a);
    }
    for (; j < count; ++j) Sample<Pixel, Bilinear>(src, u[j], v[j], a[j]);
  }
}

struct TransformJob {
  int64_t left = 0;  // destination columns [left, left + width)
  int32_t width = 0;
  PFh_FieldRows rows;
  bool bilinear = false;
  std::vector<BackMap> maps;
};

template <class D>
long RunTransform(PF_ProgressInfo* progress, const TransformJob& job, const PF_LayerDef& src,
                  const PF_CompositeModePlus& mode, PF_MaskWorld* mask, const PF_LayerDef& dst) {
  using Pixel = typename D::Pixel;
  const float opacity = PFh_ClampOpacity(mode.opacity);
  const int32_t n = job.width;
  // Stencils turn a transparent source into a cleared destination, so they
  // must visit every column, reached or not; every other mode leaves the
  // destination as it is under a transparent source.
  const bool wholeRow =
      mode.transfer_mode == PF_BLEND_STENCIL_ALPHA || mode.transfer_mode == PF_BLEND_STENCIL_LUMA;
  const float average = 1.0f / static_cast<float>(job.maps.size());
  const PFh_SpanFn<D, PFh_RGBA> span = PFh_SpanFor<D, PFh_RGBA>(mode.transfer_mode);
  // One affine bilinear map onto 8-bit pixels in normal or copy mode, the
  // common transform, samples and composites in one vector pass.
  const bool fused = job.bilinear && job.maps.size() == 1 && job.maps[0].affine &&
                     !job.maps[0].singular &&
                     (mode.transfer_mode == PF_BLEND_NORMAL || mode.transfer_mode == PF_BLEND_COPY);

  auto body = [&](long i, PFh_RowScratch& scratch) {
    const int64_t y = job.rows.Row(i);
    Span hull{n, 0};
    for (const BackMap& b : job.maps) {
      const Span s = Reach(b, job.left, y, n, src, job.bilinear);
      if (s.end <= s.begin) continue;
      hull.begin = std::min(hull.begin, s.begin);
      hull.end = std::max(hull.end, s.end);
    }
    if (wholeRow) hull = {0, n};
    if (hull.end <= hull.begin) return;
    const int64_t x = job.left + hull.begin;
    scratch.coverage.resize(static_cast<size_t>(n));
    float* k = scratch.coverage.data();
    PFh_FillCoverage(mask, opacity, y, x, hull.end - hull.begin, k);
    Pixel* out = PFh_PixelAt<Pixel>(dst, x, y);
    if constexpr (std::is_same_v<Pixel, PF_RGBA8>) {
      if (fused) {
        // The vector pass composites what fills its vectors; the rest takes
        // the general path below.
        const BackMap& b = job.maps[0];
        const double py = static_cast<double>(y) + 0.5;
        PFh_AffineRow row;
        row.x = static_cast<double>(x) + 0.5;
        row.du = b.m[0];
        row.u0 = py * b.m[3] + b.m[6];
        row.dv = b.m[1];
        row.v0 = py * b.m[4] + b.m[7];
        const int32_t done =
            PFh_VecBilinearNormal8(src, row, hull.end - hull.begin, k, out, mode.dest_bound != 0);
        hull.begin += done;
        k += done;
        out += done;
        if (hull.end <= hull.begin) return;
      }
    }
    // Only the hull is summed into and read back, so only it starts at 0.
    scratch.pixels.resize(static_cast<size_t>(n));
    PFh_RGBA* acc = scratch.pixels.data();
    std::memset(static_cast<void*>(acc + hull.begin), 0,
                sizeof(PFh_RGBA) * static_cast<size_t>(hull.end - hull.begin));
    for (const BackMap& b : job.maps) {
      Span s = Reach(b, job.left, y, n, src, job.bilinear);
      s.begin = std::max(s.begin, hull.begin);
      if (s.end <= s.begin) continue;
      if (job.bilinear) {
        AccumulateRow<Pixel, true>(src, b, job.left, y, s, acc, scratch.positions);
      } else {
        AccumulateRow<Pixel, false>(src, b, job.left, y, s, acc, scratch.positions);
      }
    }
    if (job.maps.size() > 1) {
      for (int32_t c = hull.begin; c < hull.end; ++c) acc[c] = PFh_Scale(acc[c], average);
    }
    PFh_SpanContext ctx;
    ctx.dest_bound = mode.dest_bound != 0;
    ctx.dissolve_seed = mode.dissolve_seed;
    ctx.x = job.left + hull.begin;
    ctx.y = y;
    ctx.origin_x = dst.origin_x;
    ctx.origin_y = dst.origin_y;
    span(acc + hull.begin, out, k, hull.end - hull.begin, ctx);
  };
  return PFh_RunRows(progress, job.rows.count, static_cast<long long>(job.rows.count) * job.width,
                     body);
}

}  // namespace

long PF_TransformWorld(PF_ProgressInfo* progress, long quality, long /*reserved*/, long field,
                       PF_LayerDef* src, const PF_CompositeModePlus* mode, uint64_t /*modeExt*/,
                       PF_MaskWorld* mask, const M_Matrix3* matrices, long count, bool srcToDst,
                       const M_LRect* destRect, PF_LayerDef* dst) {
  if (const long injected = Uh_NextFallibleCall()) return injected;
  if (mode == nullptr || !PFh_IsKnownMode(mode->transfer_mode)) return U_ERR_BAD_PARAMETER;
  if (field < 0 || field > 2 || count < 0 || !PFh_MaskIsValid(mask)) return U_ERR_BAD_PARAMETER;
  if (src == nullptr || dst == nullptr || matrices == nullptr || count == 0) return 0;
  if (src->depth != dst->depth || !PFh_IsKnownDepth(dst->depth)) return U_ERR_BAD_PARAMETER;
  if (dst->data == nullptr) return 0;

  M_LRect area = destRect != nullptr ? *destRect : M_LRect{0, 0, dst->width, dst->height};
  area.left = std::max<int32_t>(area.left, 0);
  area.top = std::max<int32_t>(area.top, 0);
  area.right = std::min<int32_t>(area.right, dst->width);
  area.bottom = std::min<int32_t>(area.bottom, dst->height);
  if (M_IsEmpty(area)) return 0;

  // A source without pixels samples as transparent everywhere.
  PF_LayerDef source = *src;
  if (source.data == nullptr) source.width = source.height = 0;

  TransformJob job;
  job.left = area.left;
  job.width = area.right - area.left;
  job.rows = PFh_RowsOfField(field, area.top, area.bottom);
  job.bilinear = quality != 0;
  if (job.rows.count == 0) return 0;
  try {
    job.maps.reserve(static_cast<size_t>(count));
    for (long i = 0; i < count; ++i) job.maps.push_back(MakeBackMap(matrices[i], srcToDst));
  } catch (const std::bad_alloc&) {
    return U_ERR_OUT_OF_MEMORY;
  }

  switch (dst->depth) {
    case 8:
      return RunTransform<PFh_Depth8>(progress, job, source, *mode, mask, *dst);
    case 16:
      return RunTransform<PFh_Depth16>(progress, job, source, *mode, mask, *dst);
    default:
      return RunTransform<PFh_Depth32>(progress, job, source, *mode, mask, *dst);
  }
}
