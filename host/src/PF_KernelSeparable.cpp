// Vector forms of the separable blend modes' span loop (PFh_CompositeSpan
// with PFh_Composite<Mode>), compiled once per vector target by Highway's
// foreach_target: the same operations in the same order as the scalar
// functions of BlendMath.h, lane by lane.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "PF_KernelSeparable.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
//
#include <hwy/highway.h>

#include "PF_KernelLanes-inl.h"
#include "PF_KernelVector.h"
#include "rghost/PF_Transfer.h"

HWY_BEFORE_NAMESPACE();
namespace pfh_vec {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

#if HWY_TARGET == HWY_SCALAR || HWY_TARGET == HWY_EMU128
template <class S, class P>
int32_t None(int, const S*, P*, const float*, int32_t, bool) {
  return 0;
}
int32_t Separable8From8(int m, const PF_RGBA8* s, PF_RGBA8* d, const float* k, int32_t n, bool b) {
  return None(m, s, d, k, n, b);
}
int32_t Separable8FromFloat(int m, const PFh_RGBA* s, PF_RGBA8* d, const float* k, int32_t n,
                            bool b) {
  return None(m, s, d, k, n, b);
}
int32_t Separable16From16(int m, const PF_RGBA16* s, PF_RGBA16* d, const float* k, int32_t n,
                          bool b) {
  return None(m, s, d, k, n, b);
}
int32_t Separable16FromFloat(int m, const PFh_RGBA* s, PF_RGBA16* d, const float* k, int32_t n,
                             bool b) {
  return None(m, s, d, k, n, b);
}
int32_t Separable32From32(int m, const PF_RGBA32F* s, PF_RGBA32F* d, const float* k, int32_t n,
                          bool b) {
  return None(m, s, d, k, n, b);
}
int32_t Separable32FromFloat(int m, const PFh_RGBA* s, PF_RGBA32F* d, const float* k, int32_t n,
                             bool b) {
  return None(m, s, d, k, n, b);
}
#else

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
HWY_INLINE void Unpremultiply(const VF* p, VF* c) {
  const DF df;
  const auto some = hn::Ne(p[3], hn::Zero(df));
  const VF inv = hn::Div(hn::Set(df, 1.0f), p[3]);
  for (int i = 0; i < 3; ++i) c[i] = hn::IfThenElseZero(some, hn::Mul(p[i], inv));
}

template <class D, int Mode, class Source>
int32_t SeparableSpan(const Source* src, typename D::Pixel* dst, const float* k, int32_t n,
                      bool destBound) {
  if (PFh_OverlapsInexactly(src, dst, n)) return 0;
  const DF df;
  const int32_t lanes = static_cast<int32_t>(hn::Lanes(df));
  const VF one = hn::Set(df, 1.0f);
  int32_t i = 0;
  for (; i + lanes <= n; i += lanes) {
    VF s[4], d[4], cs[3], cb[3], o[4];
    LoadSource<D>(src, i, s);
    const VF ki = hn::LoadU(df, k + i);
    for (VF& c : s) c = hn::Mul(c, ki);
    D::Load(dst, i, d);
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
    D::Store(dst, i, hn::Lt(one, one), o, s);
  }
  return i;
}

template <class D, class Source>
int32_t Separable(int mode, const Source* src, typename D::Pixel* dst, const float* k, int32_t n,
                  bool destBound) {
  switch (mode) {
    case PF_BLEND_MULTIPLY:
      return SeparableSpan<D, PF_BLEND_MULTIPLY>(src, dst, k, n, destBound);
    case PF_BLEND_SCREEN:
      return SeparableSpan<D, PF_BLEND_SCREEN>(src, dst, k, n, destBound);
    case PF_BLEND_OVERLAY:
      return SeparableSpan<D, PF_BLEND_OVERLAY>(src, dst, k, n, destBound);
    case PF_BLEND_SOFT_LIGHT:
      return SeparableSpan<D, PF_BLEND_SOFT_LIGHT>(src, dst, k, n, destBound);
    case PF_BLEND_HARD_LIGHT:
      return SeparableSpan<D, PF_BLEND_HARD_LIGHT>(src, dst, k, n, destBound);
    case PF_BLEND_DARKEN:
      return SeparableSpan<D, PF_BLEND_DARKEN>(src, dst, k, n, destBound);
    case PF_BLEND_LIGHTEN:
      return SeparableSpan<D, PF_BLEND_LIGHTEN>(src, dst, k, n, destBound);
    case PF_BLEND_DIFFERENCE:
      return SeparableSpan<D, PF_BLEND_DIFFERENCE>(src, dst, k, n, destBound);
    default:
      return 0;
  }
}

int32_t Separable8From8(int m, const PF_RGBA8* s, PF_RGBA8* d, const float* k, int32_t n, bool b) {
  return Separable<Dst8>(m, s, d, k, n, b);
}
int32_t Separable8FromFloat(int m, const PFh_RGBA* s, PF_RGBA8* d, const float* k, int32_t n,
                            bool b) {
  return Separable<Dst8>(m, s, d, k, n, b);
}
int32_t Separable16From16(int m, const PF_RGBA16* s, PF_RGBA16* d, const float* k, int32_t n,
                          bool b) {
  return Separable<Dst16>(m, s, d, k, n, b);
}
int32_t Separable16FromFloat(int m, const PFh_RGBA* s, PF_RGBA16* d, const float* k, int32_t n,
                             bool b) {
  return Separable<Dst16>(m, s, d, k, n, b);
}
int32_t Separable32From32(int m, const PF_RGBA32F* s, PF_RGBA32F* d, const float* k, int32_t n,
                          bool b) {
  return Separable<Dst32>(m, s, d, k, n, b);
}
int32_t Separable32FromFloat(int m, const PFh_RGBA* s, PF_RGBA32F* d, const float* k, int32_t n,
                             bool b) {
  return Separable<Dst32>(m, s, d, k, n, b);
}

#endif  // vector targets
}  // namespace HWY_NAMESPACE
}  // namespace pfh_vec
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace pfh_vec {
HWY_EXPORT(Separable8From8);
HWY_EXPORT(Separable8FromFloat);
HWY_EXPORT(Separable16From16);
HWY_EXPORT(Separable16FromFloat);
HWY_EXPORT(Separable32From32);
HWY_EXPORT(Separable32FromFloat);
}  // namespace pfh_vec

int32_t PFh_VecSeparable(int mode, const PF_RGBA8* src, PF_RGBA8* dst, const float* k, int32_t n,
                         bool destBound) {
  return HWY_DYNAMIC_DISPATCH(pfh_vec::Separable8From8)(mode, src, dst, k, n, destBound);
}
int32_t PFh_VecSeparable(int mode, const PFh_RGBA* src, PF_RGBA8* dst, const float* k, int32_t n,
                         bool destBound) {
  return HWY_DYNAMIC_DISPATCH(pfh_vec::Separable8FromFloat)(mode, src, dst, k, n, destBound);
}
int32_t PFh_VecSeparable(int mode, const PF_RGBA16* src, PF_RGBA16* dst, const float* k, int32_t n,
                         bool destBound) {
  return HWY_DYNAMIC_DISPATCH(pfh_vec::Separable16From16)(mode, src, dst, k, n, destBound);
}
int32_t PFh_VecSeparable(int mode, const PFh_RGBA* src, PF_RGBA16* dst, const float* k, int32_t n,
                         bool destBound) {
  return HWY_DYNAMIC_DISPATCH(pfh_vec::Separable16FromFloat)(mode, src, dst, k, n, destBound);
}
int32_t PFh_VecSeparable(int mode, const PF_RGBA32F* src, PF_RGBA32F* dst, const float* k,
                         int32_t n, bool destBound) {
  return HWY_DYNAMIC_DISPATCH(pfh_vec::Separable32From32)(mode, src, dst, k, n, destBound);
}
int32_t PFh_VecSeparable(int mode, const PFh_RGBA* src, PF_RGBA32F* dst, const float* k, int32_t n,
                         bool destBound) {
  return HWY_DYNAMIC_DISPATCH(pfh_vec::Separable32FromFloat)(mode, src, dst, k, n, destBound);
}
#endif  // HWY_ONCE
