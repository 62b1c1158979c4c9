// Per-pixel blend maths of the compositing kernels, kept apart from the row
// loops that apply it (PF_KernelComposite.h).
//
// Colours are premultiplied RGBA floats on the 0..1 scale. Blend functions
// B(Cb, Cs) follow W3C Compositing and Blending Level 1 and work on
// un-premultiplied colour; the Porter-Duff step works on premultiplied colour.
// With Fa, Fb the operator's factors the general form is
//   co = cs' * Fa + cb * Fb,  ao = as * Fa + ab * Fb,
//   cs' = cs * (1 - ab) + as * ab * B(Cb, Cs)   (the blended source),
// with Fa = 1, Fb = 1 - as for source-over and Fa = ab, Fb = 1 - as for
// source-atop (the destination-bound flag), where ao reduces to ab.
#pragma once

#include <cmath>
#include <cstdint>

#include "rghost/PF_Transfer.h"

// Four floats in this order with nothing between: kernels load one as a vector.
struct PFh_RGBA {
  float r = 0, g = 0, b = 0, a = 0;
};

static_assert(sizeof(PFh_RGBA) == 4 * sizeof(float));

inline PFh_RGBA PFh_Scale(const PFh_RGBA& p, float k) {
  return {p.r * k, p.g * k, p.b * k, p.a * k};
}

// Luma of a premultiplied colour (Rec. 709 weights).
inline float PFh_Luma709(const PFh_RGBA& p) {
  return 0.2126f * p.r + 0.7152f * p.g + 0.0722f * p.b;
}

// Dissolve threshold of destination pixel (x, y): a value in [0, 1) that is a
// pure function of the coordinates and the seed, so that row bands computed by
// different threads agree.
inline float PFh_DissolveHash(int32_t x, int32_t y, int32_t seed) {
  uint32_t h = static_cast<uint32_t>(x) * 0x9E3779B1u;
  h ^= static_cast<uint32_t>(y) * 0x85EBCA77u + 0x7F4A7C15u;
  h ^= static_cast<uint32_t>(seed) * 0xC2B2AE3Du + 0x165667B1u;
  h ^= h >> 16;
  h *= 0x85EBCA6Bu;
  h ^= h >> 13;
  h *= 0xC2B2AE35u;
  h ^= h >> 16;
  return static_cast<float>(h >> 8) * (1.0f / 16777216.0f);
}

// ---- W3C separable blend functions, one channel, un-premultiplied ----

inline float PFh_Multiply(float cb, float cs) { return cb * cs; }
inline float PFh_Screen(float cb, float cs) { return cb + cs - cb * cs; }
inline float PFh_HardLight(float cb, float cs) {
  return cs <= 0.5f ? PFh_Multiply(cb, 2.0f * cs) : PFh_Screen(cb, 2.0f * cs - 1.0f);
}
inline float PFh_SoftLight(float cb, float cs) {
  if (cs <= 0.5f) return cb - (1.0f - 2.0f * cs) * cb * (1.0f - cb);
  const float d = cb <= 0.25f ? ((16.0f * cb - 12.0f) * cb + 4.0f) * cb : std::sqrt(cb);
  return cb + (2.0f * cs - 1.0f) * (d - cb);
}

// Alpha of the adding modes: the sum, never above 1 unless an input already
// is (float pixels are not clamped, so a copy keeps such an alpha). Over a
// transparent destination this is the source's alpha exactly, which copy
// substitution relies on, and no alpha above 1 (which would turn the other
// modes' 1 - alpha weights negative) comes out of nominal inputs.
inline float PFh_AddAlpha(float as, float ab) {
  return std::fmin(std::fmax(1.0f, std::fmax(as, ab)), as + ab);
}

template <int Mode>
inline float PFh_Separable(float cb, float cs) {
  if constexpr (Mode == PF_BLEND_MULTIPLY) return PFh_Multiply(cb, cs);
  if constexpr (Mode == PF_BLEND_SCREEN) return PFh_Screen(cb, cs);
  if constexpr (Mode == PF_BLEND_OVERLAY) return PFh_HardLight(cs, cb);
  if constexpr (Mode == PF_BLEND_SOFT_LIGHT) return PFh_SoftLight(cb, cs);
  if constexpr (Mode == PF_BLEND_HARD_LIGHT) return PFh_HardLight(cb, cs);
  if constexpr (Mode == PF_BLEND_DARKEN) return cb < cs ? cb : cs;
  if constexpr (Mode == PF_BLEND_LIGHTEN) return cb > cs ? cb : cs;
  if constexpr (Mode == PF_BLEND_DIFFERENCE) return std::fabs(cb - cs);
  return cs;
}

// ---- W3C non-separable blend functions ----

struct PFh_RGB {
  float r, g, b;
};

inline float PFh_Lum(const PFh_RGB& c) { return 0.3f * c.r + 0.59f * c.g + 0.11f * c.b; }
inline float PFh_Min3(const PFh_RGB& c) {
  const float m = c.r < c.g ? c.r : c.g;
  return m < c.b ? m : c.b;
}
inline float PFh_Max3(const PFh_RGB& c) {
  const float m = c.r > c.g ? c.r : c.g;
  return m > c.b ? m : c.b;
}
inline float PFh_Sat(const PFh_RGB& c) { return PFh_Max3(c) - PFh_Min3(c); }

inline PFh_RGB PFh_ClipColor(PFh_RGB c) {
  const float l = PFh_Lum(c);
  const float n = PFh_Min3(c);
  const float x = PFh_Max3(c);
  // A grey colour can come out of float rounding with its luminosity on the
  // clipped side (l == n or l == x): it is grey, there is nothing to scale,
  // and dividing would turn it into NaN.
  if (n < 0.0f && l > n) {
    const float s = l / (l - n);
    c = {l + (c.r - l) * s, l + (c.g - l) * s, l + (c.b - l) * s};
  }
  if (x > 1.0f && x > l) {
    const float s = (1.0f - l) / (x - l);
    c = {l + (c.r - l) * s, l + (c.g - l) * s, l + (c.b - l) * s};
  }
  return c;
}

inline PFh_RGB PFh_SetLum(const PFh_RGB& c, float l) {
  const float d = l - PFh_Lum(c);
  return PFh_ClipColor({c.r + d, c.g + d, c.b + d});
}

// The W3C SetSat sorts the channels into min, mid and max; mapping every
// channel by (c - min) * s / (max - min) gives the same result without the
// sort (min goes to 0, max to s, ties included).
inline PFh_RGB PFh_SetSat(const PFh_RGB& c, float s) {
  const float n = PFh_Min3(c);
  const float x = PFh_Max3(c);
  if (!(x > n)) return {0.0f, 0.0f, 0.0f};
  const float f = s / (x - n);
  return {(c.r - n) * f, (c.g - n) * f, (c.b - n) * f};
}

template <int Mode>
inline PFh_RGB PFh_NonSeparable(const PFh_RGB& cb, const PFh_RGB& cs) {
  if constexpr (Mode == PF_BLEND_HUE) return PFh_SetLum(PFh_SetSat(cs, PFh_Sat(cb)), PFh_Lum(cb));
  if constexpr (Mode == PF_BLEND_SATURATION)
    return PFh_SetLum(PFh_SetSat(cb, PFh_Sat(cs)), PFh_Lum(cb));
  if constexpr (Mode == PF_BLEND_COLOR) return PFh_SetLum(cs, PFh_Lum(cb));
  if constexpr (Mode == PF_BLEND_LUMINOSITY) return PFh_SetLum(cb, PFh_Lum(cs));
  return cs;
}

inline PFh_RGB PFh_Unpremultiply(const PFh_RGBA& p) {
  if (p.a == 0.0f) return {0.0f, 0.0f, 0.0f};
  const float inv = 1.0f / p.a;
  return {p.r * inv, p.g * inv, p.b * inv};
}

// ---- Porter-Duff step ----

// cs' premultiplied (see the top of the file) composited over or atop d.
inline PFh_RGBA PFh_OverOrAtop(const PFh_RGBA& s, const PFh_RGB& blendedSrc, const PFh_RGBA& d,
                               bool destBound) {
  const float fb = 1.0f - s.a;
  if (!destBound) {
    return {blendedSrc.r + d.r * fb, blendedSrc.g + d.g * fb, blendedSrc.b + d.b * fb,
            s.a + d.a * fb};
  }
  return {blendedSrc.r * d.a + d.r * fb, blendedSrc.g * d.a + d.g * fb,
          blendedSrc.b * d.a + d.b * fb, d.a};
}

// Result of mode `Mode` for source s (premultiplied and already scaled by
// k = opacity x coverage) on destination d. Dissolve is handled by the row
// loop, which needs the pixel's coordinates.
template <int Mode>
inline PFh_RGBA PFh_Composite(const PFh_RGBA& s, const PFh_RGBA& d, bool destBound) {
  if constexpr (Mode == PF_BLEND_COPY || Mode == PF_BLEND_NORMAL) {
    // B = Cs, so the blended source is cs itself.
    return PFh_OverOrAtop(s, {s.r, s.g, s.b}, d, destBound);
  } else if constexpr (Mode == PF_BLEND_BEHIND) {
    // Destination over source; bound to the destination nothing can show
    // through, so the destination stays as it is.
    if (destBound) return d;
    const float f = 1.0f - d.a;
    return {d.r + s.r * f, d.g + s.g * f, d.b + s.b * f, d.a + s.a * f};
  } else if constexpr (Mode == PF_BLEND_ADD) {
    if (destBound) return {d.r + s.r * d.a, d.g + s.g * d.a, d.b + s.b * d.a, d.a};
    return {d.r + s.r, d.g + s.g, d.b + s.b, PFh_AddAlpha(s.a, d.a)};
  } else if constexpr (Mode >= PF_BLEND_MULTIPLY && Mode <= PF_BLEND_LUMINOSITY) {
    const PFh_RGB cs = PFh_Unpremultiply(s);
    const PFh_RGB cb = PFh_Unpremultiply(d);
    PFh_RGB bl;
    if constexpr (Mode <= PF_BLEND_DIFFERENCE) {
      bl = {PFh_Separable<Mode>(cb.r, cs.r), PFh_Separable<Mode>(cb.g, cs.g),
            PFh_Separable<Mode>(cb.b, cs.b)};
    } else {
      bl = PFh_NonSeparable<Mode>(cb, cs);
    }
    const float keep = 1.0f - d.a;
    const float both = s.a * d.a;
    return PFh_OverOrAtop(
        s, {s.r * keep + both * bl.r, s.g * keep + both * bl.g, s.b * keep + both * bl.b}, d,
        destBound);
  } else if constexpr (Mode == PF_BLEND_STENCIL_ALPHA) {
    return PFh_Scale(d, s.a);
  } else if constexpr (Mode == PF_BLEND_STENCIL_LUMA) {
    return PFh_Scale(d, PFh_Luma709(s));
  } else if constexpr (Mode == PF_BLEND_SILHOUETTE_ALPHA) {
    return PFh_Scale(d, 1.0f - s.a);
  } else if constexpr (Mode == PF_BLEND_SILHOUETTE_LUMA) {
    return PFh_Scale(d, 1.0f - PFh_Luma709(s));
  } else if constexpr (Mode == PF_BLEND_ALPHA_ADD) {
    PFh_RGBA o = PFh_OverOrAtop(s, {s.r, s.g, s.b}, d, destBound);
    if (!destBound) o.a = PFh_AddAlpha(s.a, d.a);
    return o;
  } else {
    return d;
  }
}

// Bit 0 of PF_GetTransferFlags: modes that give the source itself over a
// transparent destination, so that the library may copy (mode 0) into a
// fresh cleared output instead. Dissolve, stencils and silhouettes do not.
constexpr bool PFh_ModeAllowsCopySubstitution(long mode) {
  return mode == PF_BLEND_COPY || mode == PF_BLEND_BEHIND || mode == PF_BLEND_NORMAL ||
         (mode >= PF_BLEND_ADD && mode <= PF_BLEND_LUMINOSITY) || mode == PF_BLEND_ALPHA_ADD;
}
