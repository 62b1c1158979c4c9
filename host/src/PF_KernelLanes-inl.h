// Lane helpers shared by the vector kernels (PF_KernelVector.h): pixel
// loads and stores on the 0..1 scale, each the lane form of the scalar
// loops' operation. Included once per target through foreach_target, as
// Highway's per-target headers are.
#if defined(PF_KERNEL_LANES_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef PF_KERNEL_LANES_INL_H_
#undef PF_KERNEL_LANES_INL_H_
#else
#define PF_KERNEL_LANES_INL_H_
#endif

#include <hwy/highway.h>

#include <type_traits>

#include "PF_KernelPixels.h"
#include "PF_KernelVector.h"

HWY_BEFORE_NAMESPACE();
namespace pfh_vec {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

#if HWY_TARGET != HWY_SCALAR && HWY_TARGET != HWY_EMU128

// 8-bit pixels are handled as one 32-bit lane each: red in the low byte.
using D32 = hn::ScalableTag<uint32_t>;
using DF = hn::ScalableTag<float>;
using VU = hn::Vec<D32>;
using VF = hn::Vec<DF>;

// PFh_Quantize on lanes; the clamps' order keeps NaN at 0 as the scalar
// selects do.
HWY_INLINE hn::Vec<hn::RebindToSigned<DF> > Quantize(VF v, float scale) {
  const DF df;
  const VF zero = hn::Zero(df);
  const VF one = hn::Set(df, 1.0f);
  v = hn::IfThenElse(hn::Gt(v, zero), v, zero);
  v = hn::IfThenElse(hn::Lt(v, one), v, one);
  return hn::ConvertTo(hn::RebindToSigned<DF>(),
                       hn::Add(hn::Mul(v, hn::Set(df, scale)), hn::Set(df, 0.5f)));
}

// One channel of 8-bit pixel lanes on the 0..1 scale, as PFh_Load computes it.
template <int kShift>
HWY_INLINE VF Channel8(VU p) {
  const DF df;
  const auto c = hn::BitCast(hn::RebindToSigned<DF>(),
                             hn::And(hn::ShiftRight<kShift>(p), hn::Set(D32(), 0xFFu)));
  return hn::Mul(hn::ConvertTo(df, c), hn::Set(df, 1.0f / 255.0f));
}

// Destination pixels one per lane, channels in four vectors: Load gives them
// on the 0..1 scale as PFh_Load does, Store quantizes as D::Store does and,
// where `full` (an opaque source at strength 1 in normal or copy mode, not
// bound to the destination), stores what the scalar loop's copy stores.
struct Dst8 {
  using Pixel = PF_RGBA8;
  static void Load(const Pixel* p, int32_t i, VF* c) {
    const VU v = hn::LoadU(D32(), reinterpret_cast<const uint32_t*>(p) + i);
    c[0] = Channel8<0>(v);
    c[1] = Channel8<8>(v);
    c[2] = Channel8<16>(v);
    c[3] = Channel8<24>(v);
  }
  // `full` needs no lanes of its own, as at 16 bits below.
  template <class M>
  static void Store(Pixel* p, int32_t i, M /*full*/, const VF* o, const VF* /*source*/) {
    const D32 d32;
    VU out = hn::BitCast(d32, Quantize(o[0], 255.0f));
    out = hn::Or(out, hn::ShiftLeft<8>(hn::BitCast(d32, Quantize(o[1], 255.0f))));
    out = hn::Or(out, hn::ShiftLeft<16>(hn::BitCast(d32, Quantize(o[2], 255.0f))));
    out = hn::Or(out, hn::ShiftLeft<24>(hn::BitCast(d32, Quantize(o[3], 255.0f))));
    hn::StoreU(out, d32, reinterpret_cast<uint32_t*>(p) + i);
  }
};

struct Dst16 {
  using Pixel = PF_RGBA16;
  static void Load(const Pixel* p, int32_t i, VF* c) {
    const DF df;
    const hn::RebindToSigned<DF> di;
    const hn::Rebind<uint16_t, DF> d16;
    hn::Vec<decltype(d16)> w[4];
    hn::LoadInterleaved4(d16, reinterpret_cast<const uint16_t*>(p) + 4 * i, w[0], w[1], w[2], w[3]);
    const VF scale = hn::Set(df, 1.0f / 65535.0f);
    for (int k = 0; k < 4; ++k) c[k] = hn::Mul(hn::ConvertTo(df, hn::PromoteTo(di, w[k])), scale);
  }
  // The copy needs no lanes of its own here: over any 16-bit destination the
  // blend of such a source rounds back to the source (its alpha's weight
  // 1 - a is 0, or under 1e-7 for an integer alpha of 65535), so `full` is
  // what the blend already stores.
  template <class M>
  static void Store(Pixel* p, int32_t i, M /*full*/, const VF* o, const VF* /*source*/) {
    const hn::Rebind<uint16_t, DF> d16;
    auto q = [&](VF v) HWY_ATTR { return hn::DemoteTo(d16, Quantize(v, 65535.0f)); };
    hn::StoreInterleaved4(q(o[0]), q(o[1]), q(o[2]), q(o[3]), d16,
                          reinterpret_cast<uint16_t*>(p) + 4 * i);
  }
};

// Float destinations may hold anything (an infinity times 0 is NaN), so the
// copy is taken where `full`.
struct Dst32 {
  using Pixel = PF_RGBA32F;
  static void Load(const Pixel* p, int32_t i, VF* c) {
    hn::LoadInterleaved4(DF(), reinterpret_cast<const float*>(p) + 4 * i, c[0], c[1], c[2], c[3]);
  }
  template <class M>
  static void Store(Pixel* p, int32_t i, M full, const VF* o, const VF* source) {
    VF out[4];
    for (int k = 0; k < 4; ++k) out[k] = hn::IfThenElse(full, source[k], o[k]);
    hn::StoreInterleaved4(out[0], out[1], out[2], out[3], DF(),
                          reinterpret_cast<float*>(p) + 4 * i);
  }
};

template <class P>
struct DstFor;
template <>
struct DstFor<PF_RGBA8> {
  using Type = Dst8;
};
template <>
struct DstFor<PF_RGBA16> {
  using Type = Dst16;
};
template <>
struct DstFor<PF_RGBA32F> {
  using Type = Dst32;
};
template <class P>
using DstOf = typename DstFor<P>::Type;

// Source pixels i.. on the 0..1 scale: the destination's own type or
// resampled floats.
template <class D, class Source>
HWY_INLINE void LoadSource(const Source* src, int32_t i, VF* c) {
  if constexpr (std::is_same_v<Source, typename D::Pixel>) {
    D::Load(src, i, c);
  } else {
    hn::LoadInterleaved4(DF(), reinterpret_cast<const float*>(src) + 4 * i, c[0], c[1], c[2], c[3]);
  }
}

// The loop of the kernels with per-pixel strength k[i]: for each vector of
// pixels, `blend(source, k, s, d, o)` gets the source on the 0..1 scale, the
// strengths, the source scaled by them and the destination, writes the four
// result channels and returns the lanes that take the scalar loop's copy.
template <class D, class Source, class Blend>
HWY_INLINE int32_t StrengthSpan(const Source* src, typename D::Pixel* dst, const float* k,
                                int32_t n, Blend&& blend) {
  if (PFh_OverlapsInexactly(src, dst, n)) return 0;
  const DF df;
  const int32_t lanes = static_cast<int32_t>(hn::Lanes(df));
  int32_t i = 0;
  for (; i + lanes <= n; i += lanes) {
    VF source[4], s[4], d[4], o[4];
    LoadSource<D>(src, i, source);
    const VF ki = hn::LoadU(df, k + i);
    for (int c = 0; c < 4; ++c) s[c] = hn::Mul(source[c], ki);
    D::Load(dst, i, d);
    const auto full = blend(source, ki, s, d, o);
    D::Store(dst, i, full, o, source);
  }
  return i;
}

// Four channels on the 0..1 scale quantized into 8-bit pixel lanes.
HWY_INLINE VU Pack8(VF r, VF g, VF b, VF a) {
  const D32 d32;
  VU out = hn::BitCast(d32, Quantize(r, 255.0f));
  out = hn::Or(out, hn::ShiftLeft<8>(hn::BitCast(d32, Quantize(g, 255.0f))));
  out = hn::Or(out, hn::ShiftLeft<16>(hn::BitCast(d32, Quantize(b, 255.0f))));
  return hn::Or(out, hn::ShiftLeft<24>(hn::BitCast(d32, Quantize(a, 255.0f))));
}

// PFh_CompositeSpan's normal and copy case onto 8-bit pixels, channels in
// separate vectors. SourceLoad(i, r, g, b, a, copy) yields source pixels i..
// on the 0..1 scale and returns the lanes that a strength of 1 copies
// unchanged; with kOwnBytes it also yields in `copy` the bytes such a copy
// stores. Without, the copy is the quantized source, which the blend already
// gives those lanes (the destination is finite and the source's weight 1 - a
// is 0, so each channel is the source's plus +0); it is then quantized only
// where a whole vector is copied, not for every vector the blend finishes.
template <bool kOwnBytes, class SourceLoad>
int32_t Normal8(PF_RGBA8* dst, const float* k, int32_t n, bool destBound, SourceLoad&& load) {
  const DF df;
  const D32 d32;
  const int32_t lanes = static_cast<int32_t>(hn::Lanes(df));
  const VF one = hn::Set(df, 1.0f);
  auto* o32 = reinterpret_cast<uint32_t*>(dst);
  int32_t i = 0;
  for (; i + lanes <= n; i += lanes) {
    const VF ki = hn::LoadU(df, k + i);
    VF sr, sg, sb, sa;
    VU copy;
    const auto opaque = load(i, sr, sg, sb, sa, copy);
    const auto full = hn::And(hn::RebindMask(d32, hn::Eq(ki, one)), opaque);
    // A whole vector of opaque pixels at full strength is the copy alone.
    if (!destBound && hn::AllTrue(d32, full)) {
      hn::StoreU(kOwnBytes ? copy : Pack8(sr, sg, sb, sa), d32, o32 + i);
      continue;
    }
    sr = hn::Mul(sr, ki);
    sg = hn::Mul(sg, ki);
    sb = hn::Mul(sb, ki);
    sa = hn::Mul(sa, ki);
    const VU dp = hn::LoadU(d32, o32 + i);
    const VF dr = Channel8<0>(dp);
    const VF dg = Channel8<8>(dp);
    const VF db = Channel8<16>(dp);
    const VF da = Channel8<24>(dp);
    const VF fb = hn::Sub(one, sa);
    VU out;
    if (!destBound) {
      out = Pack8(hn::Add(sr, hn::Mul(dr, fb)), hn::Add(sg, hn::Mul(dg, fb)),
                  hn::Add(sb, hn::Mul(db, fb)), hn::Add(sa, hn::Mul(da, fb)));
      if constexpr (kOwnBytes) out = hn::IfThenElse(full, copy, out);
    } else {
      out = Pack8(hn::Add(hn::Mul(sr, da), hn::Mul(dr, fb)),
                  hn::Add(hn::Mul(sg, da), hn::Mul(dg, fb)),
                  hn::Add(hn::Mul(sb, da), hn::Mul(db, fb)), da);
    }
    hn::StoreU(out, d32, o32 + i);
  }
  return i;
}

// Resampled float pixels as Normal8's source (kOwnBytes false): the lanes of
// an opaque pixel.
HWY_INLINE hn::Mask<D32> OpaqueFloat8(VF a) {
  return hn::RebindMask(D32(), hn::Eq(a, hn::Set(DF(), 1.0f)));
}

#endif  // vector targets
}  // namespace HWY_NAMESPACE
}  // namespace pfh_vec
HWY_AFTER_NAMESPACE();

#endif  // PF_KERNEL_LANES_INL_H_
