// Vector forms of the transform kernel's resamplers at every depth
// (PF_KernelVector.h), compiled once per vector target by Highway's
// foreach_target. Lanes are destination pixels; the source texels of each
// are gathered.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "PF_KernelResample.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
//
#include <hwy/highway.h>

#include "PF_KernelLanes-inl.h"
#include "PF_KernelVector.h"

HWY_BEFORE_NAMESPACE();
namespace pfh_vec {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

#if HWY_TARGET == HWY_SCALAR || HWY_TARGET == HWY_EMU128
// Without vector registers the scalar loops do every pixel.
#define PFH_SAMPLERS(bits)                                                                       \
  int32_t Bilinear##bits(const PF_LayerDef&, const double*, const double*, int32_t, PFh_RGBA*) { \
    return 0;                                                                                    \
  }                                                                                              \
  int32_t Nearest##bits(const PF_LayerDef&, const double*, const double*, int32_t, PFh_RGBA*) {  \
    return 0;                                                                                    \
  }
PFH_SAMPLER_FORMS(PFH_SAMPLERS)
#undef PFH_SAMPLERS
int32_t BilinearNormal8(const PF_LayerDef&, const PFh_AffineRow&, int32_t, const float*, PF_RGBA8*,
                        bool) {
  return 0;
}
#else

using DI = hn::ScalableTag<int32_t>;
using DD = hn::ScalableTag<double>;
using VI = hn::Vec<DI>;
using VD = hn::Vec<DD>;

// A source whose every texel lies within 32-bit byte offsets of its first
// row can be gathered.
inline bool Gatherable(const PF_LayerDef& src, int64_t texelBytes) {
  if (src.data == nullptr || src.width <= 0 || src.height <= 0) return false;
  const int64_t rows =
      static_cast<int64_t>(src.height) * (src.rowbytes < 0 ? -src.rowbytes : src.rowbytes);
  return rows + static_cast<int64_t>(src.width) * texelBytes < (int64_t{1} << 31);
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

// The texels of a source depth, gathered at byte offsets from the first row:
// channels on the 0..1 scale. Integer texels are finite and not negative, so
// a texel the scalar loop skips may be added at weight 0 instead (+0 leaves
// such a sum as it is); float texels may be anything, so those are skipped
// exactly as the scalar loop skips them (kSkipsExactly).
// Integer texels: 32 / kBits channels in each gathered 32-bit lane.
template <class P, int kBits>
struct IntegerTexels {
  using Pixel = P;
  static constexpr bool kSkipsExactly = false;
  static HWY_INLINE void Fetch(const void* base, VI offset, VF* c) {
    constexpr int kPerLane = 32 / kBits;
    constexpr uint32_t kMask = (uint32_t{1} << kBits) - 1;
    const DF df;
    const VF scale = hn::Set(df, 1.0f / static_cast<float>(kMask));
    for (int g = 0; g < 4 / kPerLane; ++g) {
      const VU p = hn::GatherOffset(D32(), static_cast<const uint32_t*>(base),
                                    hn::Add(offset, hn::Set(DI(), 4 * g)));
      for (int j = 0; j < kPerLane; ++j) {
        const VU bits = hn::And(hn::ShiftRightSame(p, j * kBits), hn::Set(D32(), kMask));
        c[g * kPerLane + j] = hn::Mul(hn::ConvertTo(df, hn::BitCast(DI(), bits)), scale);
      }
    }
  }
};

// Two neighbouring 32-bit texels of each lane in one 64-bit gather, half
// the elements of two 32-bit gathers: the first of each pair and the second.
HWY_INLINE void GatherPairs(const void* base, VI offset, VU& first, VU& second) {
  const D32 d32;
  const hn::Repartition<int64_t, DI> d64;
  const hn::Half<DI> dh;
  const auto* p = static_cast<const int64_t*>(base);
  const VU lo =
      hn::BitCast(d32, hn::GatherOffset(d64, p, hn::PromoteTo(d64, hn::LowerHalf(dh, offset))));
  const VU hi =
      hn::BitCast(d32, hn::GatherOffset(d64, p, hn::PromoteTo(d64, hn::UpperHalf(dh, offset))));
  first = hn::ConcatEven(d32, hi, lo);
  second = hn::ConcatOdd(d32, hi, lo);
}
using Texels8 = IntegerTexels<PF_RGBA8, 8>;
using Texels16 = IntegerTexels<PF_RGBA16, 16>;

struct Texels32 {
  using Pixel = PF_RGBA32F;
  static constexpr bool kSkipsExactly = true;
  static HWY_INLINE void Fetch(const void* base, VI offset, VF* c) {
    const auto* b = static_cast<const float*>(base);
    for (int k = 0; k < 4; ++k)
      c[k] = hn::GatherOffset(DF(), b, hn::Add(offset, hn::Set(DI(), 4 * k)));
  }
};

// acc += texel x w, channel by channel as AddWeighted adds them, in the lanes
// of `take`: the others keep their sums (or, where the texel was clamped to
// an edge for integer texels, add +0).
template <class T>
HWY_INLINE void AddWeighted(VF* sum, const VF* texel, VF w, hn::Mask<DF> take) {
  for (int c = 0; c < 4; ++c) {
    const VF added = hn::Add(sum[c], hn::Mul(texel[c], w));
    sum[c] = T::kSkipsExactly ? hn::IfThenElse(take, added, sum[c]) : added;
  }
}

// Byte offset of a texel column: log2 of the texel's size.
template <class T>
constexpr int kColumnShift = sizeof(typename T::Pixel) == 4   ? 2
                             : sizeof(typename T::Pixel) == 8 ? 3
                                                              : 4;

// The loop of both samplers over the longest prefix of n that fills whole
// vectors: sample(i, sum) adds the samples of destination pixels i.. to
// their sums, read from and written back to acc.
template <class T, class Sample>
HWY_INLINE int32_t SampleSpan(const PF_LayerDef& src, int32_t n, PFh_RGBA* acc, Sample&& sample) {
  if (!Gatherable(src, sizeof(typename T::Pixel))) return 0;
  const DF df;
  const int32_t lanes = static_cast<int32_t>(hn::Lanes(df));
  auto* accF = reinterpret_cast<float*>(acc);
  int32_t i = 0;
  for (; i + lanes <= n; i += lanes) {
    VF sum[4];
    hn::LoadInterleaved4(df, accF + 4 * i, sum[0], sum[1], sum[2], sum[3]);
    sample(i, sum);
    hn::StoreInterleaved4(sum[0], sum[1], sum[2], sum[3], df, accF + 4 * i);
  }
  return i;
}

// The scalar loop's bilinear sample (AccumulateRow) on lanes. Its cases
// become one: a texel it takes is added with the same weight in the same
// order; one it skips (outside the source, of weight 0 on an edge, or beside
// a texel centre) is skipped (float) or adds +0 (integer texels).
template <class T>
class BilinearLanes {
 public:
  explicit BilinearLanes(const PF_LayerDef& src) : src_(src) {}

  // Where the samples at positions (u[j], v[j]) of the lanes read: the
  // texel before each (floor, -1 left of or above the source) and the
  // byte offsets of its rows, read at the nearest edge where outside, the
  // weights of the four texels (before and after in the first row, then in
  // the second) and the lanes that take each.
  struct Taps {
    VI ix, row[2];
    VF w[4];
    hn::Mask<DI> in[4];
  };

  // The texels of Taps for 8-bit sources of more than one column, each row's
  // two from one 64-bit gather, with the weight of each where it is taken
  // and 0 where not.
  struct Pairs8 {
    VU texel[4];
    VF w[4];
  };

  // Whether Pairs8 serves this source.
  bool Paired() const { return std::is_same_v<T, Texels8> && src_.width > 1; }

  HWY_INLINE Taps Locate(const double* u, const double* v) const {
    const PF_LayerDef& src = src_;
    const DF df;
    const DI di;
    const DD dd;
    const VI rowbytes = hn::Set(di, static_cast<int32_t>(src.rowbytes));
    const VI zeroI = hn::Zero(di);
    const VI oneI = hn::Set(di, 1);
    const VI lastY = hn::Set(di, src.height - 1);
    const VI minusOneI = hn::Set(di, -1);
    const VF one = hn::Set(df, 1.0f);
    const VF zeroF = hn::Zero(df);
    const VD half = hn::Set(dd, 0.5);
    const VD minusOne = hn::Set(dd, -1.0);
    const hn::Rebind<int32_t, DD> dh32;
    const hn::Rebind<float, DD> dhf;
    // Per axis: the texel before the sample (floor), the weight of the one
    // after, and -1 for that weight where the sample is outside the source.
    auto axis = [&](const double* p, double size, VI& first, VF& t) HWY_ATTR {
      const VD limit = hn::Set(dd, size);
      const size_t nd = hn::Lanes(dd);
      hn::Vec<decltype(dh32)> floors[2];
      hn::Vec<decltype(dhf)> weights[2];
      for (size_t h = 0; h < 2; ++h) {
        const VD f = hn::Sub(hn::LoadU(dd, p + h * nd), half);
        const VD fl = hn::Floor(f);
        const auto inside = hn::And(hn::Gt(f, minusOne), hn::Lt(f, limit));
        floors[h] = hn::DemoteTo(dh32, fl);
        weights[h] = hn::DemoteTo(dhf, hn::IfThenElse(inside, hn::Sub(f, fl), minusOne));
      }
      first = hn::Combine(di, floors[1], floors[0]);
      t = hn::Combine(df, weights[1], weights[0]);
    };
    Taps taps;
    VI iy;
    VF tx, ty;
    axis(u, src.width, taps.ix, tx);
    axis(v, src.height, iy, ty);
    const VI ix = taps.ix;
    const auto validI = hn::RebindMask(di, hn::And(hn::Ge(tx, zeroF), hn::Ge(ty, zeroF)));
    const VI iy1 = hn::Add(iy, oneI);
    // Texels outside the source are read at the nearest edge and dropped.
    const auto x0in = hn::Gt(ix, minusOneI);
    const auto x1in = hn::Lt(hn::Add(ix, oneI), hn::Set(di, src.width));
    const auto y0in = hn::And(validI, hn::Gt(iy, minusOneI));
    const auto y1in = hn::And(validI, hn::Lt(iy1, hn::Set(di, src.height)));
    taps.row[0] = hn::Mul(hn::Min(hn::Max(iy, zeroI), lastY), rowbytes);
    taps.row[1] = hn::Mul(hn::Min(hn::Max(iy1, zeroI), lastY), rowbytes);
    const VF wx0 = hn::Sub(one, tx);
    const VF wy0 = hn::Sub(one, ty);
    taps.w[0] = hn::Mul(wx0, wy0);
    taps.w[1] = hn::Mul(tx, wy0);
    taps.w[2] = hn::Mul(wx0, ty);
    taps.w[3] = hn::Mul(tx, ty);
    taps.in[0] = hn::And(y0in, x0in);
    taps.in[1] = hn::And(y0in, x1in);
    taps.in[2] = hn::And(y1in, x0in);
    taps.in[3] = hn::And(y1in, x1in);
    if constexpr (T::kSkipsExactly) {
      // Wholly inside (the first and last taps inside imply the other two)
      // and not on a texel centre, the scalar loop adds all four; otherwise
      // only those of weight other than 0.
      const auto all = hn::And(taps.in[0], taps.in[3]);
      const auto centre = hn::And(hn::And(hn::Eq(tx, zeroF), hn::Eq(ty, zeroF)),
                                  hn::RebindMask(df, hn::And(x0in, y0in)));
      const auto every = hn::AndNot(centre, hn::RebindMask(df, all));
      const VF wx[] = {wx0, tx, wx0, tx};
      const VF wy[] = {wy0, wy0, ty, ty};
      for (int k = 0; k < 4; ++k) {
        const auto weighted = hn::And(hn::Ne(wx[k], zeroF), hn::Ne(wy[k], zeroF));
        taps.in[k] = hn::And(taps.in[k], hn::RebindMask(di, hn::Or(every, weighted)));
      }
    }
    return taps;
  }

  // Each row's two texels as one pair starting at p, within the row: at the
  // left edge (ix -1) the texel after is the pair's first, at the right
  // (ix width - 1) the texel before is its second.
  HWY_INLINE Pairs8 Fetch(const Taps& taps) const {
    const DI di;
    const DF df;
    const VI ix = taps.ix;
    const VI p = hn::Min(hn::Max(ix, hn::Zero(di)), hn::Set(di, src_.width - 2));
    const VI pairColumn = hn::ShiftLeft<2>(p);
    const auto beforeIsSecond = hn::RebindMask(D32(), hn::Gt(ix, p));
    const auto afterIsFirst = hn::RebindMask(D32(), hn::Lt(ix, p));
    Pairs8 out;
    for (int r = 0; r < 2; ++r) {
      VU first, second;
      GatherPairs(src_.data, hn::Add(taps.row[r], pairColumn), first, second);
      out.texel[2 * r] = hn::IfThenElse(beforeIsSecond, second, first);
      out.texel[2 * r + 1] = hn::IfThenElse(afterIsFirst, first, second);
    }
    for (int k = 0; k < 4; ++k)
      out.w[k] = hn::IfThenElseZero(hn::RebindMask(df, taps.in[k]), taps.w[k]);
    return out;
  }

  static HWY_INLINE void AddPairs(const Pairs8& pairs, VF* sum) {
    for (int k = 0; k < 4; ++k) {
      const VU t = pairs.texel[k];
      const VF texel[] = {Channel8<0>(t), Channel8<8>(t), Channel8<16>(t), Channel8<24>(t)};
      for (int c = 0; c < 4; ++c) sum[c] = hn::Add(sum[c], hn::Mul(texel[c], pairs.w[k]));
    }
  }

  // Adds the samples at positions (u[j], v[j]) of the lanes to sum.
  HWY_INLINE void Add(const double* u, const double* v, VF* sum) const {
    const Taps taps = Locate(u, v);
    if constexpr (std::is_same_v<T, Texels8>) {
      if (Paired()) return AddPairs(Fetch(taps), sum);
    }
    const DI di;
    const DF df;
    const VI lastX = hn::Set(di, src_.width - 1);
    auto column = [&](VI c) HWY_ATTR {
      return hn::ShiftLeft<kColumnShift<T> >(hn::Min(hn::Max(c, hn::Zero(di)), lastX));
    };
    const VI cols[] = {column(taps.ix), column(hn::Add(taps.ix, hn::Set(di, 1)))};
    for (int k = 0; k < 4; ++k) {
      VF texel[4];
      T::Fetch(src_.data, hn::Add(taps.row[k / 2], cols[k % 2]), texel);
      const auto take = hn::RebindMask(df, taps.in[k]);
      // An integer texel is finite and not negative: at weight 0 it adds +0,
      // as a texel of 0 does.
      AddWeighted<T>(sum, texel, T::kSkipsExactly ? taps.w[k] : hn::IfThenElseZero(take, taps.w[k]),
                     take);
    }
  }

 private:
  const PF_LayerDef& src_;
};

template <class T>
int32_t Bilinear(const PF_LayerDef& src, const double* u, const double* v, int32_t n,
                 PFh_RGBA* acc) {
  const BilinearLanes<T> lanes(src);
  return SampleSpan<T>(src, n, acc,
                       [&](int32_t i, VF* sum) HWY_ATTR { lanes.Add(u + i, v + i, sum); });
}

// Bilinear<Texels8> into zeroed sums and Normal8FromFloat in one pass, the
// sums kept in registers: the positions are those of AccumulateRow's affine
// rows, column centre times step plus the row's constant. The texels of the
// next vector are gathered before the current one is composited, so that the
// gathers' wait overlaps the arithmetic instead of stalling it.
int32_t BilinearNormal8(const PF_LayerDef& src, const PFh_AffineRow& row, int32_t n, const float* k,
                        PF_RGBA8* dst, bool destBound) {
  if (!Gatherable(src, sizeof(PF_RGBA8))) return 0;
  using Lanes = BilinearLanes<Texels8>;
  const Lanes lanes(src);
  const DD dd;
  const DF df;
  const size_t half = hn::Lanes(dd);
  const int32_t count = static_cast<int32_t>(hn::Lanes(df));
  HWY_ALIGN double u[hn::MaxLanes(df)];
  HWY_ALIGN double v[hn::MaxLanes(df)];
  const VD du = hn::Set(dd, row.du);
  const VD dv = hn::Set(dd, row.dv);
  const VD u0 = hn::Set(dd, row.u0);
  const VD v0 = hn::Set(dd, row.v0);
  auto positions = [&](int32_t i) HWY_ATTR {
    for (size_t j = 0; j < static_cast<size_t>(count); j += half) {
      const VD px = hn::Add(hn::Set(dd, row.x + static_cast<double>(i + j)), hn::Iota(dd, 0.0));
      hn::Store(hn::Add(hn::Mul(px, du), u0), dd, u + j);
      hn::Store(hn::Add(hn::Mul(px, dv), v0), dd, v + j);
    }
  };
  const bool paired = lanes.Paired();
  Lanes::Pairs8 next;
  if (paired && n >= count) {
    positions(0);
    next = lanes.Fetch(lanes.Locate(u, v));
  }
  return Normal8<false>(dst, k, n, destBound,
                        [&](int32_t i, VF& r, VF& g, VF& b, VF& a, VU& /*copy*/) HWY_ATTR {
                          VF sum[] = {hn::Zero(df), hn::Zero(df), hn::Zero(df), hn::Zero(df)};
                          if (paired) {
                            const Lanes::Pairs8 current = next;
                            if (i + 2 * count <= n) {
                              positions(i + count);
                              next = lanes.Fetch(lanes.Locate(u, v));
                            }
                            Lanes::AddPairs(current, sum);
                          } else {
                            positions(i);
                            lanes.Add(u, v, sum);
                          }
                          r = sum[0];
                          g = sum[1];
                          b = sum[2];
                          a = sum[3];
                          return OpaqueFloat8(a);
                        });
}

// The scalar loop's nearest sample: the texel the position falls in, at
// weight 1, where the position is inside the source.
template <class T>
int32_t Nearest(const PF_LayerDef& src, const double* u, const double* v, int32_t n,
                PFh_RGBA* acc) {
  const DD dd;
  const hn::Rebind<int32_t, DD> dh32;
  const VD zeroD = hn::Zero(dd);
  const DF df;
  const VF one = hn::Set(df, 1.0f);
  const DI di;
  const VI rowbytes = hn::Set(di, static_cast<int32_t>(src.rowbytes));
  return SampleSpan<T>(src, n, acc, [&](int32_t i, VF* sum) HWY_ATTR {
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
    const VI offset =
        hn::IfThenElseZero(in, hn::Add(hn::Mul(iy, rowbytes), hn::ShiftLeft<kColumnShift<T> >(ix)));
    VF texel[4];
    T::Fetch(src.data, offset, texel);
    const auto take = hn::RebindMask(df, in);
    if constexpr (!T::kSkipsExactly) {
      for (VF& c : texel) c = hn::IfThenElseZero(take, c);
    }
    AddWeighted<T>(sum, texel, one, take);
  });
}

#define PFH_SAMPLERS(bits)                                                                    \
  int32_t Bilinear##bits(const PF_LayerDef& src, const double* u, const double* v, int32_t n, \
                         PFh_RGBA* acc) {                                                     \
    return Bilinear<Texels##bits>(src, u, v, n, acc);                                         \
  }                                                                                           \
  int32_t Nearest##bits(const PF_LayerDef& src, const double* u, const double* v, int32_t n,  \
                        PFh_RGBA* acc) {                                                      \
    return Nearest<Texels##bits>(src, u, v, n, acc);                                          \
  }
PFH_SAMPLER_FORMS(PFH_SAMPLERS)
#undef PFH_SAMPLERS

#endif  // vector targets
}  // namespace HWY_NAMESPACE
}  // namespace pfh_vec
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace pfh_vec {
#define PFH_EXPORT(bits)      \
  HWY_EXPORT(Bilinear##bits); \
  HWY_EXPORT(Nearest##bits);
PFH_SAMPLER_FORMS(PFH_EXPORT)
#undef PFH_EXPORT
HWY_EXPORT(BilinearNormal8);
}  // namespace pfh_vec

#define PFH_SAMPLERS(bits)                                                                \
  int32_t PFh_VecBilinear##bits(const PF_LayerDef& src, const double* u, const double* v, \
                                int32_t n, PFh_RGBA* acc) {                               \
    return HWY_DYNAMIC_DISPATCH(pfh_vec::Bilinear##bits)(src, u, v, n, acc);              \
  }                                                                                       \
  int32_t PFh_VecNearest##bits(const PF_LayerDef& src, const double* u, const double* v,  \
                               int32_t n, PFh_RGBA* acc) {                                \
    return HWY_DYNAMIC_DISPATCH(pfh_vec::Nearest##bits)(src, u, v, n, acc);               \
  }
PFH_SAMPLER_FORMS(PFH_SAMPLERS)
#undef PFH_SAMPLERS

int32_t PFh_VecBilinearNormal8(const PF_LayerDef& src, const PFh_AffineRow& row, int32_t n,
                               const float* k, PF_RGBA8* dst, bool destBound) {
  return HWY_DYNAMIC_DISPATCH(pfh_vec::BilinearNormal8)(src, row, n, k, dst, destBound);
}
#endif  // HWY_ONCE
