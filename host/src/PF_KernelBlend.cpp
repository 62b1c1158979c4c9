// Vector forms of the blend kernels' span loops (PF_KernelVector.h): normal
// and copy, and the separable modes (PFh_CompositeSpan with
// PFh_Composite<Mode>), compiled once per vector target by Highway's
// foreach_target: the same operations in the same order as the scalar
// loops and the functions of BlendMath.h, lane by lane.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "PF_KernelBlend.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
//
#include <hwy/highway.h>

#include <array>
#include <cstdint>
#include <utility>

#include "PF_KernelLanes-inl.h"
#include "PF_KernelVector.h"
#include "rghost/PF_Transfer.h"

HWY_BEFORE_NAMESPACE();
namespace pfh_vec {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

#if HWY_TARGET == HWY_SCALAR || HWY_TARGET == HWY_EMU128
// Without vector registers the scalar loops do every pixel.
#define PFH_FORM(bits, P) \
  int32_t PlainNormal##bits(const P*, P*, int32_t) { return 0; }
PFH_PLAIN_FORMS(PFH_FORM)
#undef PFH_FORM
#define PFH_FORM(name, S, P)                                                    \
  int32_t Normal##name(const S*, P*, const float*, int32_t, bool) { return 0; } \
  int32_t Separable##name(int, const S*, P*, const float*, int32_t, bool) { return 0; }
PFH_STRENGTH_FORMS(PFH_FORM)
#undef PFH_FORM
#else

// The plain loops stream their source from memory while the destination
// strip stays in cache. The hardware's stream prefetch does not cross a 4 KiB
// page, so the source is asked for a page ahead (an address, not a pointer:
// it may lie past the buffer, where a prefetch does not fault).
constexpr uintptr_t kSourceAheadBytes = 4096;
HWY_INLINE void PrefetchAhead(const void* p) {
  __builtin_prefetch(
      reinterpret_cast<const void*>(reinterpret_cast<uintptr_t>(p) + kSourceAheadBytes));
}

// PFh_NormalSpan8's integer formula with each pixel's channels in two 16-bit
// halves of its lane: red and blue, then green and alpha. t = d (255 - as)
// + 128 divides by 255 as (t * 257) >> 16, which equals (t + (t >> 8)) >> 8
// for every 16-bit t; the source is added with 8-bit saturation, the clamp at
// 255 of the scalar loop.
int32_t PlainNormal8(const PF_RGBA8* src, PF_RGBA8* dst, int32_t n) {
  if (PFh_OverlapsInexactly(src, dst, n)) return 0;
  const D32 d32;
  const hn::Repartition<uint16_t, D32> d16;
  const hn::Repartition<uint8_t, D32> d8;
  const int32_t lanes = static_cast<int32_t>(hn::Lanes(d32));
  const VU low = hn::Set(d32, 0x00FF00FFu);
  const auto half = hn::Set(d16, 128);
  const auto by257 = hn::Set(d16, 257);
  const auto* s32 = reinterpret_cast<const uint32_t*>(src);
  auto* o32 = reinterpret_cast<uint32_t*>(dst);
  int32_t i = 0;
  for (; i + lanes <= n; i += lanes) {
    PrefetchAhead(s32 + i);
    const VU s = hn::LoadU(d32, s32 + i);
    const VU d = hn::LoadU(d32, o32 + i);
    const VU inv = hn::ShiftRight<24>(hn::Not(s));
    const auto inv16 = hn::BitCast(d16, hn::Or(inv, hn::ShiftLeft<16>(inv)));
    auto scaled = [&](VU dc) HWY_ATTR {
      const auto t = hn::Add(hn::Mul(hn::BitCast(d16, dc), inv16), half);
      return hn::BitCast(d32, hn::MulHigh(t, by257));
    };
    const VU even = scaled(hn::And(d, low));
    const VU odd = scaled(hn::And(hn::ShiftRight<8>(d), low));
    const VU faded = hn::Or(even, hn::ShiftLeft<8>(odd));
    const auto out = hn::SaturatedAdd(hn::BitCast(d8, s), hn::BitCast(d8, faded));
    hn::StoreU(hn::BitCast(d32, out), d32, o32 + i);
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
    PrefetchAhead(s + 4 * i);
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

int32_t Normal8From8(const PF_RGBA8* src, PF_RGBA8* dst, const float* k, int32_t n,
                     bool destBound) {
  if (PFh_OverlapsInexactly(src, dst, n)) return 0;
  const auto* s32 = reinterpret_cast<const uint32_t*>(src);
  return Normal8<true>(dst, k, n, destBound,
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

int32_t Normal8FromFloat(const PFh_RGBA* src, PF_RGBA8* dst, const float* k, int32_t n,
                         bool destBound) {
  const auto* f = reinterpret_cast<const float*>(src);
  return Normal8<false>(dst, k, n, destBound,
                        [f](int32_t i, VF& r, VF& g, VF& b, VF& a, VU& /*copy*/) HWY_ATTR {
                          hn::LoadInterleaved4(DF(), f + 4 * i, r, g, b, a);
                          return OpaqueFloat8(a);
                        });
}

template <class D, class Source>
int32_t NormalWide(const Source* src, typename D::Pixel* dst, const float* k, int32_t n,
                   bool destBound) {
  return StrengthSpan<D>(src, dst, k, n,
                         [destBound](const VF* source, VF ki, const VF* s, const VF* d, VF* o)
                             HWY_ATTR {
                               const VF one = hn::Set(DF(), 1.0f);
                               const VF fb = hn::Sub(one, s[3]);
                               for (int c = 0; c < 3; ++c)
                                 o[c] = destBound ? hn::Add(hn::Mul(s[c], d[3]), hn::Mul(d[c], fb))
                                                  : hn::Add(s[c], hn::Mul(d[c], fb));
                               o[3] = destBound ? d[3] : hn::Add(s[3], hn::Mul(d[3], fb));
                               // Bound to the destination, a source is always blended.
                               const auto full = hn::And(hn::Eq(ki, one), hn::Eq(source[3], one));
                               return destBound ? hn::Lt(one, one) : full;
                             });
}

#define PFH_FORM(name, S, P)                                                              \
  int32_t Normal##name(const S* src, P* dst, const float* k, int32_t n, bool destBound) { \
    return NormalWide<DstOf<P> >(src, dst, k, n, destBound);                              \
  }
PFH_FORM(16From16, PF_RGBA16, PF_RGBA16)
PFH_FORM(16FromFloat, PFh_RGBA, PF_RGBA16)
PFH_FORM(32From32, PF_RGBA32F, PF_RGBA32F)
PFH_FORM(32FromFloat, PFh_RGBA, PF_RGBA32F)
#undef PFH_FORM

HWY_INLINE VF Multiply(VF cb, VF cs) { return hn::Mul(cb, cs); }
HWY_INLINE VF Screen(VF cb, VF cs) { return hn::Sub(hn::Add(cb, cs), hn::Mul(cb, cs)); }
HWY_INLINE VF HardLight(VF cb, VF cs) {
  const DF df;
  const VF twice = hn::Mul(hn::Set(df, 2.0f), cs);
  return hn::IfThenElse(hn::Le(cs, hn::Set(df, 0.5f)), Multiply(cb, twice),
                        Screen(cb, hn::Sub(twice, hn::Set(df, 1.0f))));
}
HWY_INLINE VF SoftLight(VF cb, VF cs) {
  const DF df;
  const VF one = hn::Set(df, 1.0f);
  const VF twice = hn::Mul(hn::Set(df, 2.0f), cs);
  const VF low = hn::Sub(cb, hn::Mul(hn::Mul(hn::Sub(one, twice), cb), hn::Sub(one, cb)));
  const VF poly =
      hn::Mul(hn::Add(hn::Mul(hn::Sub(hn::Mul(hn::Set(df, 16.0f), cb), hn::Set(df, 12.0f)), cb),
                      hn::Set(df, 4.0f)),
              cb);
  const VF d = hn::IfThenElse(hn::Le(cb, hn::Set(df, 0.25f)), poly, hn::Sqrt(cb));
  const VF high = hn::Add(cb, hn::Mul(hn::Sub(twice, one), hn::Sub(d, cb)));
  return hn::IfThenElse(hn::Le(cs, hn::Set(df, 0.5f)), low, high);
}

template <int Mode>
HWY_INLINE VF Blend(VF cb, VF cs) {
  if constexpr (Mode == PF_BLEND_MULTIPLY) return Multiply(cb, cs);
  if constexpr (Mode == PF_BLEND_SCREEN) return Screen(cb, cs);
  if constexpr (Mode == PF_BLEND_OVERLAY) return HardLight(cs, cb);
  if constexpr (Mode == PF_BLEND_SOFT_LIGHT) return SoftLight(cb, cs);
  if constexpr (Mode == PF_BLEND_HARD_LIGHT) return HardLight(cb, cs);
  if constexpr (Mode == PF_BLEND_DARKEN) return hn::IfThenElse(hn::Lt(cb, cs), cb, cs);
  if constexpr (Mode == PF_BLEND_LIGHTEN) return hn::IfThenElse(hn::Gt(cb, cs), cb, cs);
  if constexpr (Mode == PF_BLEND_DIFFERENCE) return hn::Abs(hn::Sub(cb, cs));
  return cs;
}

// PFh_Unpremultiply: colour over alpha by one reciprocal, 0 where alpha is 0.
HWY_INLINE void Unpremultiply(const VF* p, VF (&c)[3]) {
  const DF df;
  const auto some = hn::Ne(p[3], hn::Zero(df));
  const VF inv = hn::Div(hn::Set(df, 1.0f), p[3]);
  for (size_t i = 0; i < std::size(c); ++i) c[i] = hn::IfThenElseZero(some, hn::Mul(p[i], inv));
}

template <class D, int Mode, class Source>
int32_t SeparableSpan(const Source* src, typename D::Pixel* dst, const float* k, int32_t n,
                      bool destBound) {
  return StrengthSpan<D>(
      src, dst, k, n, [destBound](const VF*, VF, const VF* s, const VF* d, VF* o) HWY_ATTR {
        const VF one = hn::Set(DF(), 1.0f);
        VF cs[3], cb[3];
        Unpremultiply(s, cs);
        Unpremultiply(d, cb);
        const VF keep = hn::Sub(one, d[3]);
        const VF both = hn::Mul(s[3], d[3]);
        const VF fb = hn::Sub(one, s[3]);
        for (int c = 0; c < 3; ++c) {
          const VF blended = hn::Add(hn::Mul(s[c], keep), hn::Mul(both, Blend<Mode>(cb[c], cs[c])));
          o[c] = destBound ? hn::Add(hn::Mul(blended, d[3]), hn::Mul(d[c], fb))
                           : hn::Add(blended, hn::Mul(d[c], fb));
        }
        o[3] = destBound ? d[3] : hn::Add(s[3], hn::Mul(d[3], fb));
        return hn::Lt(one, one);  // no copy in these modes
      });
}

// One span function per mode, multiply to difference, indexed from multiply.
template <class D, class Source, int... kOffsets>
constexpr auto SpanTable(std::integer_sequence<int, kOffsets...>) {
  return std::array{&SeparableSpan<D, PF_BLEND_MULTIPLY + kOffsets, Source>...};
}

template <class D, class Source>
int32_t Separable(int mode, const Source* src, typename D::Pixel* dst, const float* k, int32_t n,
                  bool destBound) {
  static constexpr auto kSpans = SpanTable<D, Source>(
      std::make_integer_sequence<int, PF_BLEND_DIFFERENCE - PF_BLEND_MULTIPLY + 1>());
  if (mode < PF_BLEND_MULTIPLY || mode > PF_BLEND_DIFFERENCE) return 0;
  return kSpans[mode - PF_BLEND_MULTIPLY](src, dst, k, n, destBound);
}

#define PFH_FORM(name, S, P)                                                         \
  int32_t Separable##name(int mode, const S* src, P* dst, const float* k, int32_t n, \
                          bool destBound) {                                          \
    return Separable<DstOf<P> >(mode, src, dst, k, n, destBound);                    \
  }
PFH_STRENGTH_FORMS(PFH_FORM)
#undef PFH_FORM

#endif  // vector targets
}  // namespace HWY_NAMESPACE
}  // namespace pfh_vec
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace pfh_vec {
#define PFH_FORM(bits, P) HWY_EXPORT(PlainNormal##bits);
PFH_PLAIN_FORMS(PFH_FORM)
#undef PFH_FORM
#define PFH_FORM(name, S, P) \
  HWY_EXPORT(Normal##name);  \
  HWY_EXPORT(Separable##name);
PFH_STRENGTH_FORMS(PFH_FORM)
#undef PFH_FORM
}  // namespace pfh_vec

#define PFH_FORM(bits, P)                                                 \
  int32_t PFh_VecPlainNormal(const P* src, P* dst, int32_t n) {           \
    return HWY_DYNAMIC_DISPATCH(pfh_vec::PlainNormal##bits)(src, dst, n); \
  }
PFH_PLAIN_FORMS(PFH_FORM)
#undef PFH_FORM
#define PFH_FORM(name, S, P)                                                                \
  int32_t PFh_VecNormal(const S* src, P* dst, const float* k, int32_t n, bool destBound) {  \
    return HWY_DYNAMIC_DISPATCH(pfh_vec::Normal##name)(src, dst, k, n, destBound);          \
  }                                                                                         \
  int32_t PFh_VecSeparable(int mode, const S* src, P* dst, const float* k, int32_t n,       \
                           bool destBound) {                                                \
    return HWY_DYNAMIC_DISPATCH(pfh_vec::Separable##name)(mode, src, dst, k, n, destBound); \
  }
PFH_STRENGTH_FORMS(PFH_FORM)
#undef PFH_FORM
#endif  // HWY_ONCE
