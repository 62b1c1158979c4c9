// Vector forms of the normal mode's span loops (PF_KernelVector.h), compiled
// once per vector target by Highway's foreach_target.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "PF_KernelNormal.cpp"
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
int32_t PlainNormal8(const PF_RGBA8*, PF_RGBA8*, int32_t) { return 0; }
int32_t PlainNormal16(const PF_RGBA16*, PF_RGBA16*, int32_t) { return 0; }
int32_t PlainNormal32(const PF_RGBA32F*, PF_RGBA32F*, int32_t) { return 0; }
int32_t Normal8From8(const PF_RGBA8*, PF_RGBA8*, const float*, int32_t, bool) { return 0; }
int32_t Normal8FromFloat(const PFh_RGBA*, PF_RGBA8*, const float*, int32_t, bool) { return 0; }
int32_t Normal16From16(const PF_RGBA16*, PF_RGBA16*, const float*, int32_t, bool) { return 0; }
int32_t Normal16FromFloat(const PFh_RGBA*, PF_RGBA16*, const float*, int32_t, bool) { return 0; }
int32_t Normal32From32(const PF_RGBA32F*, PF_RGBA32F*, const float*, int32_t, bool) { return 0; }
int32_t Normal32FromFloat(const PFh_RGBA*, PF_RGBA32F*, const float*, int32_t, bool) { return 0; }
#else

// PFh_NormalSpan8's integer formula with each pixel's channels in two 16-bit
// halves of its lane: red and blue, then green and alpha.
int32_t PlainNormal8(const PF_RGBA8* src, PF_RGBA8* dst, int32_t n) {
  if (PFh_OverlapsInexactly(src, dst, n)) return 0;
  const D32 d32;
  const hn::Repartition<uint16_t, D32> d16;
  const int32_t lanes = static_cast<int32_t>(hn::Lanes(d32));
  const VU low = hn::Set(d32, 0x00FF00FFu);
  const auto half = hn::Set(d16, 128);
  const auto full = hn::Set(d16, 255);
  const auto* s32 = reinterpret_cast<const uint32_t*>(src);
  auto* o32 = reinterpret_cast<uint32_t*>(dst);
  int32_t i = 0;
  for (; i + lanes <= n; i += lanes) {
    const VU s = hn::LoadU(d32, s32 + i);
    const VU d = hn::LoadU(d32, o32 + i);
    const VU inv = hn::Sub(hn::Set(d32, 255u), hn::ShiftRight<24>(s));
    const auto inv16 = hn::BitCast(d16, hn::Or(inv, hn::ShiftLeft<16>(inv)));
    auto over = [&](VU sc, VU dc) HWY_ATTR {
      auto t = hn::Add(hn::Mul(hn::BitCast(d16, dc), inv16), half);
      t = hn::ShiftRight<8>(hn::Add(t, hn::ShiftRight<8>(t)));
      return hn::BitCast(d32, hn::Min(hn::Add(hn::BitCast(d16, sc), t), full));
    };
    const VU even = over(hn::And(s, low), hn::And(d, low));
    const VU odd = over(hn::And(hn::ShiftRight<8>(s), low), hn::And(hn::ShiftRight<8>(d), low));
    hn::StoreU(hn::Or(even, hn::ShiftLeft<8>(odd)), d32, o32 + i);
  }
  return i;
}

// PFh_NormalSpan<D> on whole pixels: each pixel's four channels fill one
// 128-bit block, so the alpha broadcast stays inside blocks at every width.
HWY_INLINE VF Over(VF s, VF d) {
  const VF one = hn::Set(DF(), 1.0f);
  return hn::Add(s, hn::Mul(d, hn::Sub(one, hn::Broadcast<3>(s))));
}

int32_t PlainNormal32(const PF_RGBA32F* src, PF_RGBA32F* dst, int32_t n) {
  if (PFh_OverlapsInexactly(src, dst, n)) return 0;
  const DF df;
  const int32_t pixels = static_cast<int32_t>(hn::Lanes(df) / 4);
  const VF one = hn::Set(df, 1.0f);
  const auto* s = reinterpret_cast<const float*>(src);
  auto* o = reinterpret_cast<float*>(dst);
  int32_t i = 0;
  for (; i + pixels <= n; i += pixels) {
    const VF sv = hn::LoadU(df, s + 4 * i);
    const VF over = Over(sv, hn::LoadU(df, o + 4 * i));
    hn::StoreU(hn::IfThenElse(hn::Eq(hn::Broadcast<3>(sv), one), sv, over), df, o + 4 * i);
  }
  return i;
}

int32_t PlainNormal16(const PF_RGBA16* src, PF_RGBA16* dst, int32_t n) {
  if (PFh_OverlapsInexactly(src, dst, n)) return 0;
  const DF df;
  const hn::RebindToSigned<DF> di;
  const hn::RebindToUnsigned<DF> du;
  const hn::Rebind<uint16_t, DF> d16;
  const int32_t pixels = static_cast<int32_t>(hn::Lanes(df) / 4);
  const VF scale = hn::Set(df, 1.0f / 65535.0f);
  const auto full = hn::Set(di, 65535);
  const auto* s = reinterpret_cast<const uint16_t*>(src);
  auto* o = reinterpret_cast<uint16_t*>(dst);
  int32_t i = 0;
  for (; i + pixels <= n; i += pixels) {
    const auto si = hn::BitCast(di, hn::PromoteTo(du, hn::LoadU(d16, s + 4 * i)));
    const auto dv = hn::BitCast(di, hn::PromoteTo(du, hn::LoadU(d16, o + 4 * i)));
    const VF over =
        Over(hn::Mul(hn::ConvertTo(df, si), scale), hn::Mul(hn::ConvertTo(df, dv), scale));
    const auto q = hn::IfThenElse(hn::Eq(hn::Broadcast<3>(si), full), si, Quantize(over, 65535.0f));
    hn::StoreU(hn::DemoteTo(d16, q), d16, o + 4 * i);
  }
  return i;
}

// PFh_CompositeSpan's normal and copy case onto 8-bit pixels, channels in
// separate vectors. SourceLoad(i, r, g, b, a) yields source pixels i.. on the
// 0..1 scale and the lanes that a strength of 1 copies unchanged.
template <class SourceLoad>
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
    VF orr, og, ob, oa;
    if (!destBound) {
      orr = hn::Add(sr, hn::Mul(dr, fb));
      og = hn::Add(sg, hn::Mul(dg, fb));
      ob = hn::Add(sb, hn::Mul(db, fb));
      oa = hn::Add(sa, hn::Mul(da, fb));
    } else {
      orr = hn::Add(hn::Mul(sr, da), hn::Mul(dr, fb));
      og = hn::Add(hn::Mul(sg, da), hn::Mul(dg, fb));
      ob = hn::Add(hn::Mul(sb, da), hn::Mul(db, fb));
      oa = da;
    }
    VU out = hn::BitCast(d32, Quantize(orr, 255.0f));
    out = hn::Or(out, hn::ShiftLeft<8>(hn::BitCast(d32, Quantize(og, 255.0f))));
    out = hn::Or(out, hn::ShiftLeft<16>(hn::BitCast(d32, Quantize(ob, 255.0f))));
    out = hn::Or(out, hn::ShiftLeft<24>(hn::BitCast(d32, Quantize(oa, 255.0f))));
    if (!destBound) {
      const auto full = hn::And(hn::RebindMask(d32, hn::Eq(ki, one)), opaque);
      out = hn::IfThenElse(full, copy, out);
    }
    hn::StoreU(out, d32, o32 + i);
  }
  return i;
}

int32_t Normal8From8(const PF_RGBA8* src, PF_RGBA8* dst, const float* k, int32_t n,
                     bool destBound) {
  if (PFh_OverlapsInexactly(src, dst, n)) return 0;
  const auto* s32 = reinterpret_cast<const uint32_t*>(src);
  return Normal8(dst, k, n, destBound,
                 [s32](int32_t i, VF& r, VF& g, VF& b, VF& a, VU& copy) HWY_ATTR {
                   const D32 d32;
                   const VU p = hn::LoadU(d32, s32 + i);
                   r = Channel8<0>(p);
                   g = Channel8<8>(p);
                   b = Channel8<16>(p);
                   a = Channel8<24>(p);
                   copy = p;
                   return hn::Eq(hn::ShiftRight<24>(p), hn::Set(d32, 255u));
                 });
}

// Resampled float pixels: an opaque one at full strength is stored as it is
// (quantized), which is what the copy of the scalar loop stores too.
int32_t Normal8FromFloat(const PFh_RGBA* src, PF_RGBA8* dst, const float* k, int32_t n,
                         bool destBound) {
  const auto* f = reinterpret_cast<const float*>(src);
  return Normal8(dst, k, n, destBound,
                 [f](int32_t i, VF& r, VF& g, VF& b, VF& a, VU& copy) HWY_ATTR {
                   const DF df;
                   const D32 d32;
                   hn::LoadInterleaved4(df, f + 4 * i, r, g, b, a);
                   copy = hn::BitCast(d32, Quantize(r, 255.0f));
                   copy = hn::Or(copy, hn::ShiftLeft<8>(hn::BitCast(d32, Quantize(g, 255.0f))));
                   copy = hn::Or(copy, hn::ShiftLeft<16>(hn::BitCast(d32, Quantize(b, 255.0f))));
                   copy = hn::Or(copy, hn::ShiftLeft<24>(hn::BitCast(d32, Quantize(a, 255.0f))));
                   return hn::RebindMask(d32, hn::Eq(a, hn::Set(df, 1.0f)));
                 });
}

template <class D, class Source>
int32_t NormalWide(const Source* src, typename D::Pixel* dst, const float* k, int32_t n,
                   bool destBound) {
  if (PFh_OverlapsInexactly(src, dst, n)) return 0;
  const DF df;
  const int32_t lanes = static_cast<int32_t>(hn::Lanes(df));
  const VF one = hn::Set(df, 1.0f);
  int32_t i = 0;
  for (; i + lanes <= n; i += lanes) {
    VF source[4];
    LoadSource<D>(src, i, source);
    const VF ki = hn::LoadU(df, k + i);
    VF s[4], d[4], o[4];
    for (int c = 0; c < 4; ++c) s[c] = hn::Mul(source[c], ki);
    D::Load(dst, i, d);
    const VF fb = hn::Sub(one, s[3]);
    for (int c = 0; c < 3; ++c)
      o[c] = destBound ? hn::Add(hn::Mul(s[c], d[3]), hn::Mul(d[c], fb))
                       : hn::Add(s[c], hn::Mul(d[c], fb));
    o[3] = destBound ? d[3] : hn::Add(s[3], hn::Mul(d[3], fb));
    auto full = hn::And(hn::Eq(ki, one), hn::Eq(source[3], one));
    if (destBound) full = hn::Lt(one, one);  // bound to the destination, it is always blended
    D::Store(dst, i, full, o, source);
  }
  return i;
}

int32_t Normal16From16(const PF_RGBA16* src, PF_RGBA16* dst, const float* k, int32_t n,
                       bool destBound) {
  return NormalWide<Dst16>(src, dst, k, n, destBound);
}
int32_t Normal16FromFloat(const PFh_RGBA* src, PF_RGBA16* dst, const float* k, int32_t n,
                          bool destBound) {
  return NormalWide<Dst16>(src, dst, k, n, destBound);
}
int32_t Normal32From32(const PF_RGBA32F* src, PF_RGBA32F* dst, const float* k, int32_t n,
                       bool destBound) {
  return NormalWide<Dst32>(src, dst, k, n, destBound);
}
int32_t Normal32FromFloat(const PFh_RGBA* src, PF_RGBA32F* dst, const float* k, int32_t n,
                          bool destBound) {
  return NormalWide<Dst32>(src, dst, k, n, destBound);
}

#endif  // vector targets
}  // namespace HWY_NAMESPACE
}  // namespace pfh_vec
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace pfh_vec {
HWY_EXPORT(PlainNormal8);
HWY_EXPORT(PlainNormal16);
HWY_EXPORT(PlainNormal32);
HWY_EXPORT(Normal8From8);
HWY_EXPORT(Normal8FromFloat);
HWY_EXPORT(Normal16From16);
HWY_EXPORT(Normal16FromFloat);
HWY_EXPORT(Normal32From32);
HWY_EXPORT(Normal32FromFloat);
}  // namespace pfh_vec

int32_t PFh_VecPlainNormal8(const PF_RGBA8* src, PF_RGBA8* dst, int32_t n) {
  return HWY_DYNAMIC_DISPATCH(pfh_vec::PlainNormal8)(src, dst, n);
}
int32_t PFh_VecPlainNormal16(const PF_RGBA16* src, PF_RGBA16* dst, int32_t n) {
  return HWY_DYNAMIC_DISPATCH(pfh_vec::PlainNormal16)(src, dst, n);
}
int32_t PFh_VecPlainNormal32(const PF_RGBA32F* src, PF_RGBA32F* dst, int32_t n) {
  return HWY_DYNAMIC_DISPATCH(pfh_vec::PlainNormal32)(src, dst, n);
}
int32_t PFh_VecNormal8(const PF_RGBA8* src, PF_RGBA8* dst, const float* k, int32_t n,
                       bool destBound) {
  return HWY_DYNAMIC_DISPATCH(pfh_vec::Normal8From8)(src, dst, k, n, destBound);
}
int32_t PFh_VecNormal8(const PFh_RGBA* src, PF_RGBA8* dst, const float* k, int32_t n,
                       bool destBound) {
  return HWY_DYNAMIC_DISPATCH(pfh_vec::Normal8FromFloat)(src, dst, k, n, destBound);
}
int32_t PFh_VecNormal(const PF_RGBA16* src, PF_RGBA16* dst, const float* k, int32_t n,
                      bool destBound) {
  return HWY_DYNAMIC_DISPATCH(pfh_vec::Normal16From16)(src, dst, k, n, destBound);
}
int32_t PFh_VecNormal(const PFh_RGBA* src, PF_RGBA16* dst, const float* k, int32_t n,
                      bool destBound) {
  return HWY_DYNAMIC_DISPATCH(pfh_vec::Normal16FromFloat)(src, dst, k, n, destBound);
}
int32_t PFh_VecNormal(const PF_RGBA32F* src, PF_RGBA32F* dst, const float* k, int32_t n,
                      bool destBound) {
  return HWY_DYNAMIC_DISPATCH(pfh_vec::Normal32From32)(src, dst, k, n, destBound);
}
int32_t PFh_VecNormal(const PFh_RGBA* src, PF_RGBA32F* dst, const float* k, int32_t n,
                      bool destBound) {
  return HWY_DYNAMIC_DISPATCH(pfh_vec::Normal32FromFloat)(src, dst, k, n, destBound);
}
#endif  // HWY_ONCE
