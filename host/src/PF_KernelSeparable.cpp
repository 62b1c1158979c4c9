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

// Each form: its name, source pixel and destination pixel type, and the
// destination's lane type (PF_KernelLanes-inl.h).
#ifndef PFH_SEPARABLE_FORMS
#define PFH_SEPARABLE_FORMS(X)               \
  X(8From8, PF_RGBA8, PF_RGBA8, Dst8)        \
  X(8FromFloat, PFh_RGBA, PF_RGBA8, Dst8)    \
  X(16From16, PF_RGBA16, PF_RGBA16, Dst16)   \
  X(16FromFloat, PFh_RGBA, PF_RGBA16, Dst16) \
  X(32From32, PF_RGBA32F, PF_RGBA32F, Dst32) \
  X(32FromFloat, PFh_RGBA, PF_RGBA32F, Dst32)
#endif

#if HWY_TARGET == HWY_SCALAR || HWY_TARGET == HWY_EMU128
// Without vector registers the scalar loops do every pixel.
#define PFH_FORM(name, S, P, D) \
  int32_t Separable##name(int, const S*, P*, const float*, int32_t, bool) { return 0; }
PFH_SEPARABLE_FORMS(PFH_FORM)
#undef PFH_FORM
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

#define PFH_FORM(name, S, P, D)                                                      \
  int32_t Separable##name(int mode, const S* src, P* dst, const float* k, int32_t n, \
                          bool destBound) {                                          \
    return Separable<D>(mode, src, dst, k, n, destBound);                            \
  }
PFH_SEPARABLE_FORMS(PFH_FORM)
#undef PFH_FORM

#endif  // vector targets
}  // namespace HWY_NAMESPACE
}  // namespace pfh_vec
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace pfh_vec {
#define PFH_FORM(name, S, P, D) HWY_EXPORT(Separable##name);
PFH_SEPARABLE_FORMS(PFH_FORM)
#undef PFH_FORM
}  // namespace pfh_vec

#define PFH_FORM(name, S, P, D)                                                             \
  int32_t PFh_VecSeparable(int mode, const S* src, P* dst, const float* k, int32_t n,       \
                           bool destBound) {                                                \
    return HWY_DYNAMIC_DISPATCH(pfh_vec::Separable##name)(mode, src, dst, k, n, destBound); \
  }
PFH_SEPARABLE_FORMS(PFH_FORM)
#undef PFH_FORM
#endif  // HWY_ONCE
