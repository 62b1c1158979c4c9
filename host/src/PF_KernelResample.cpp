// Vector forms of the transform kernel's resamplers on 8-bit sources
// (PF_KernelVector.h), compiled once per vector target by Highway's
// foreach_target. Lanes are destination pixels; the source texels of each
// are gathered.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "PF_KernelResample.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
//
#include <hwy/highway.h>

#include "PF_KernelVector.h"

HWY_BEFORE_NAMESPACE();
namespace pfh_vec {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

#if HWY_TARGET == HWY_SCALAR || HWY_TARGET == HWY_EMU128
// Without vector registers the scalar loops do every pixel.
int32_t Bilinear8(const PF_LayerDef&, const double*, const double*, int32_t, PFh_RGBA*) {
  return 0;
}
int32_t Nearest8(const PF_LayerDef&, const double*, const double*, int32_t, PFh_RGBA*) { return 0; }
#else

using D32 = hn::ScalableTag<uint32_t>;
using DI = hn::ScalableTag<int32_t>;
using DF = hn::ScalableTag<float>;
using DD = hn::ScalableTag<double>;
using VU = hn::Vec<D32>;
using VI = hn::Vec<DI>;
using VF = hn::Vec<DF>;
using VD = hn::Vec<DD>;

// A source whose every texel lies within 32-bit byte offsets of its first
// row can be gathered.
inline bool Gatherable(const PF_LayerDef& src) {
  if (src.data == nullptr || src.width <= 0 || src.height <= 0) return false;
  const int64_t rows =
      static_cast<int64_t>(src.height) * (src.rowbytes < 0 ? -src.rowbytes : src.rowbytes);
  return rows + static_cast<int64_t>(src.width) * 4 < (int64_t{1} << 31);
}

// Two halves of double lanes as one vector of 32-bit lanes.
template <class V32, class F>
HWY_INLINE V32 FromDoubles(const double* p, F&& each) {
  const DD dd;
  const size_t half = hn::Lanes(dd);
  const auto lo = each(hn::LoadU(dd, p));
  const auto hi = each(hn::LoadU(dd, p + half));
  return hn::Combine(hn::DFromV<V32>(), hi, lo);
}

// acc += the 8-bit pixel lanes p (zero where `in` is false) scaled to 0..1
// and weighted by w, channel by channel, as AddWeighted adds them.
struct Sums {
  VF r, g, b, a;
};

template <int kShift>
HWY_INLINE VF Channel(VU p) {
  const DF df;
  const VI c = hn::BitCast(DI(), hn::And(hn::ShiftRight<kShift>(p), hn::Set(D32(), 0xFFu)));
  return hn::Mul(hn::ConvertTo(df, c), hn::Set(df, 1.0f / 255.0f));
}

HWY_INLINE void AddWeighted(Sums& s, VU p, VF w) {
  s.r = hn::Add(s.r, hn::Mul(Channel<0>(p), w));
  s.g = hn::Add(s.g, hn::Mul(Channel<8>(p), w));
  s.b = hn::Add(s.b, hn::Mul(Channel<16>(p), w));
  s.a = hn::Add(s.a, hn::Mul(Channel<24>(p), w));
}

// The scalar loop's bilinear sample (AccumulateRow) on lanes. Its cases
// become one: a texel it skips (outside the source, or of weight 0 on a
// texel centre or an edge) adds +0 here, which leaves a sum of non-negative
// terms as it is, so every lane gets the scalar loop's sums to the bit.
int32_t Bilinear8(const PF_LayerDef& src, const double* u, const double* v, int32_t n,
                  PFh_RGBA* acc) {
  if (!Gatherable(src)) return 0;
  const DF df;
  const DI di;
  const D32 d32;
  const DD dd;
  const int32_t lanes = static_cast<int32_t>(hn::Lanes(df));
  const auto* base = static_cast<const uint32_t*>(src.data);
  const VI rowbytes = hn::Set(di, static_cast<int32_t>(src.rowbytes));
  const VI zeroI = hn::Zero(di);
  const VI oneI = hn::Set(di, 1);
  const VI lastX = hn::Set(di, src.width - 1);
  const VI lastY = hn::Set(di, src.height - 1);
  const VI minusOneI = hn::Set(di, -1);
  const VI widthI = hn::Set(di, src.width);
  const VI heightI = hn::Set(di, src.height);
  const VF one = hn::Set(df, 1.0f);
  const VF zeroF = hn::Zero(df);
  const VD half = hn::Set(dd, 0.5);
  const VD minusOne = hn::Set(dd, -1.0);
  const hn::Rebind<int32_t, DD> dh32;
  const hn::Rebind<float, DD> dhf;
  auto* accF = reinterpret_cast<float*>(acc);
  int32_t i = 0;
  for (; i + lanes <= n; i += lanes) {
    // Per axis: the texel before the sample (floor), the weight of the one
    // after, and -1 for that weight where the sample is outside the source.
    auto axis = [&](const double* p, double size, VI& first, VF& t) HWY_ATTR {
      const VD limit = hn::Set(dd, size);
      first = FromDoubles<VI>(
          p, [&](VD c) HWY_ATTR { return hn::DemoteTo(dh32, hn::Floor(hn::Sub(c, half))); });
      t = FromDoubles<VF>(p, [&](VD c) HWY_ATTR {
        const VD f = hn::Sub(c, half);
        const auto inside = hn::And(hn::Gt(f, minusOne), hn::Lt(f, limit));
        return hn::DemoteTo(dhf, hn::IfThenElse(inside, hn::Sub(f, hn::Floor(f)), minusOne));
      });
    };
    VI ix, iy;
    VF tx, ty;
    axis(u + i, src.width, ix, tx);
    axis(v + i, src.height, iy, ty);
    const auto valid = hn::And(hn::Ge(tx, zeroF), hn::Ge(ty, zeroF));
    const auto validI = hn::RebindMask(di, valid);
    const VI ix1 = hn::Add(ix, oneI);
    const VI iy1 = hn::Add(iy, oneI);
    // Texels outside the source are read at the nearest edge and dropped.
    const auto x0in = hn::Gt(ix, minusOneI);
    const auto x1in = hn::Lt(ix1, widthI);
    const auto y0in = hn::And(validI, hn::Gt(iy, minusOneI));
    const auto y1in = hn::And(validI, hn::Lt(iy1, heightI));
    auto clampTo = [&](VI c, VI last) HWY_ATTR { return hn::Min(hn::Max(c, zeroI), last); };
    const VI col0 = hn::ShiftLeft<2>(clampTo(ix, lastX));
    const VI col1 = hn::ShiftLeft<2>(clampTo(ix1, lastX));
    const VI row0 = hn::Mul(clampTo(iy, lastY), rowbytes);
    const VI row1 = hn::Mul(clampTo(iy1, lastY), rowbytes);
    auto texel = [&](VI row, VI col, hn::Mask<DI> in) HWY_ATTR {
      const VU p = hn::GatherOffset(d32, base, hn::Add(row, col));
      return hn::IfThenElseZero(hn::RebindMask(d32, in), p);
    };
    const VF wx0 = hn::Sub(one, tx);
    const VF wy0 = hn::Sub(one, ty);
    Sums s;
    hn::LoadInterleaved4(df, accF + 4 * i, s.r, s.g, s.b, s.a);
    AddWeighted(s, texel(row0, col0, hn::And(y0in, x0in)), hn::Mul(wx0, wy0));
    AddWeighted(s, texel(row0, col1, hn::And(y0in, x1in)), hn::Mul(tx, wy0));
    AddWeighted(s, texel(row1, col0, hn::And(y1in, x0in)), hn::Mul(wx0, ty));
    AddWeighted(s, texel(row1, col1, hn::And(y1in, x1in)), hn::Mul(tx, ty));
    hn::StoreInterleaved4(s.r, s.g, s.b, s.a, df, accF + 4 * i);
  }
  return i;
}

// The scalar loop's nearest sample: the texel the position falls in, at
// weight 1, where the position is inside the source.
int32_t Nearest8(const PF_LayerDef& src, const double* u, const double* v, int32_t n,
                 PFh_RGBA* acc) {
  if (!Gatherable(src)) return 0;
  const DF df;
  const DI di;
  const D32 d32;
  const DD dd;
  const int32_t lanes = static_cast<int32_t>(hn::Lanes(df));
  const auto* base = static_cast<const uint32_t*>(src.data);
  const VI rowbytes = hn::Set(di, static_cast<int32_t>(src.rowbytes));
  const VI zeroI = hn::Zero(di);
  const VD zeroD = hn::Zero(dd);
  const VF one = hn::Set(df, 1.0f);
  const hn::Rebind<int32_t, DD> dh32;
  auto* accF = reinterpret_cast<float*>(acc);
  int32_t i = 0;
  for (; i + lanes <= n; i += lanes) {
    // The texel index, or -1 where the position is outside.
    auto axis = [&](const double* p, double size) HWY_ATTR {
      const VD limit = hn::Set(dd, size);
      return FromDoubles<VI>(p, [&](VD c) HWY_ATTR {
        const auto inside = hn::And(hn::Ge(c, zeroD), hn::Lt(c, limit));
        return hn::DemoteTo(dh32, hn::IfThenElse(inside, c, hn::Set(dd, -1.0)));
      });
    };
    const VI ix = axis(u + i, src.width);
    const VI iy = axis(v + i, src.height);
    const VI minusOneI = hn::Set(di, -1);
    const auto in = hn::And(hn::Gt(ix, minusOneI), hn::Gt(iy, minusOneI));
    const VI offset = hn::IfThenElseZero(in, hn::Add(hn::Mul(iy, rowbytes), hn::ShiftLeft<2>(ix)));
    const VU p = hn::IfThenElseZero(hn::RebindMask(d32, in), hn::GatherOffset(d32, base, offset));
    Sums s;
    hn::LoadInterleaved4(df, accF + 4 * i, s.r, s.g, s.b, s.a);
    AddWeighted(s, p, one);
    hn::StoreInterleaved4(s.r, s.g, s.b, s.a, df, accF + 4 * i);
  }
  return i;
}

#endif  // vector targets
}  // namespace HWY_NAMESPACE
}  // namespace pfh_vec
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace pfh_vec {
HWY_EXPORT(Bilinear8);
HWY_EXPORT(Nearest8);
}  // namespace pfh_vec

int32_t PFh_VecBilinear8(const PF_LayerDef& src, const double* u, const double* v, int32_t n,
                         PFh_RGBA* acc) {
  return HWY_DYNAMIC_DISPATCH(pfh_vec::Bilinear8)(src, u, v, n, acc);
}
int32_t PFh_VecNearest8(const PF_LayerDef& src, const double* u, const double* v, int32_t n,
                        PFh_RGBA* acc) {
  return HWY_DYNAMIC_DISPATCH(pfh_vec::Nearest8)(src, u, v, n, acc);
}
#endif  // HWY_ONCE
