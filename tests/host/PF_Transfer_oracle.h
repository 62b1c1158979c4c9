// Test oracle of the compositing kernels: a plain double-precision, one pixel
// at a time reading of W3C Compositing and Blending Level 1 and of the host's
// mode table, written without reference to the kernels' own helpers. Also
// small world helpers shared by the transfer and transform tests.
#pragma once

#include <gtest/gtest.h>
#include <hwy/targets.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <random>

#include "rghost/PF_Transfer.h"
#include "rghost/PF_World.h"

namespace oracle {

struct Px {
  double r = 0, g = 0, b = 0, a = 0;
};

inline double ChannelMax(short depth) { return depth == 8 ? 255.0 : depth == 16 ? 65535.0 : 1.0; }
// Tolerance of a comparison at a depth: one LSB, or 1e-5 on float.
inline double Tolerance(short depth) { return depth == 32 ? 1e-5 : 1.0 / ChannelMax(depth) + 1e-9; }
// The adding modes' alpha: the sum, at most 1 unless an input is above 1.
inline double AddedAlpha(double as, double ab) {
  return std::min(std::max({1.0, as, ab}), as + ab);
}

// ---- blend functions on un-premultiplied colour ----

inline double SepBlend(int mode, double cb, double cs) {
  switch (mode) {
    case PF_BLEND_MULTIPLY:
      return cb * cs;
    case PF_BLEND_SCREEN:
      return cb + cs - cb * cs;
    case PF_BLEND_OVERLAY:  // hard light with the layers swapped
      return cb <= 0.5 ? cs * 2 * cb : cs + (2 * cb - 1) - cs * (2 * cb - 1);
    case PF_BLEND_SOFT_LIGHT: {
      if (cs <= 0.5) return cb - (1 - 2 * cs) * cb * (1 - cb);
      double d = cb <= 0.25 ? ((16 * cb - 12) * cb + 4) * cb : std::sqrt(cb);
      return cb + (2 * cs - 1) * (d - cb);
    }
    case PF_BLEND_HARD_LIGHT:
      return cs <= 0.5 ? cb * 2 * cs : cb + (2 * cs - 1) - cb * (2 * cs - 1);
    case PF_BLEND_DARKEN:
      return std::min(cb, cs);
    case PF_BLEND_LIGHTEN:
      return std::max(cb, cs);
    case PF_BLEND_DIFFERENCE:
      return std::fabs(cb - cs);
    default:
      return cs;
  }
}

struct C3 {
  double c[3];
};
inline double Lum(const C3& x) { return 0.3 * x.c[0] + 0.59 * x.c[1] + 0.11 * x.c[2]; }
inline C3 ClipColor(C3 x) {
  double l = Lum(x);
  double n = std::min({x.c[0], x.c[1], x.c[2]});
  double m = std::max({x.c[0], x.c[1], x.c[2]});
  for (double& v : x.c) {
    if (n < 0) v = l + (v - l) * l / (l - n);
  }
  for (double& v : x.c) {
    if (m > 1) v = l + (v - l) * (1 - l) / (m - l);
  }
  return x;
}
inline C3 SetLum(C3 x, double l) {
  double d = l - Lum(x);
  for (double& v : x.c) v += d;
  return ClipColor(x);
}
inline double Sat(const C3& x) {
  return std::max({x.c[0], x.c[1], x.c[2]}) - std::min({x.c[0], x.c[1], x.c[2]});
}
// The W3C form: sort into max, mid and min, then rescale.
inline C3 SetSat(C3 x, double s) {
  int order[3] = {0, 1, 2};
  std::sort(order, order + 3, [&](int i, int j) { return x.c[i] < x.c[j]; });
  double& mn = x.c[order[0]];
  double& mid = x.c[order[1]];
  double& mx = x.c[order[2]];
  if (mx > mn) {
    mid = (mid - mn) * s / (mx - mn);
    mx = s;
  } else {
    mid = mx = 0;
  }
  mn = 0;
  return x;
}
inline C3 NonSepBlend(int mode, const C3& cb, const C3& cs) {
  switch (mode) {
    case PF_BLEND_HUE:
      return SetLum(SetSat(cs, Sat(cb)), Lum(cb));
    case PF_BLEND_SATURATION:
      return SetLum(SetSat(cb, Sat(cs)), Lum(cb));
    case PF_BLEND_COLOR:
      return SetLum(cs, Lum(cb));
    default:
      return SetLum(cb, Lum(cs));  // luminosity
  }
}

// Result of `mode` (not dissolve) for source s (premultiplied, not yet
// scaled) at strength k on destination d.
inline Px Composite(int mode, Px s, double k, const Px& d, bool destBound) {
  s = {s.r * k, s.g * k, s.b * k, s.a * k};
  const double as = s.a, ab = d.a;
  const double sc[3] = {s.r, s.g, s.b};
  const double dc[3] = {d.r, d.g, d.b};
  auto all = [](const double c[3], double a) { return Px{c[0], c[1], c[2], a}; };
  double out[3];
  switch (mode) {
    case PF_BLEND_BEHIND:
      if (destBound) return d;
      for (int i = 0; i < 3; ++i) out[i] = dc[i] + sc[i] * (1 - ab);
      return all(out, ab + as * (1 - ab));
    case PF_BLEND_ADD:
      if (destBound) {
        for (int i = 0; i < 3; ++i) out[i] = dc[i] + sc[i] * ab;
        return all(out, ab);
      }
      for (int i = 0; i < 3; ++i) out[i] = dc[i] + sc[i];
      return all(out, AddedAlpha(as, ab));
    case PF_BLEND_STENCIL_ALPHA:
      return {d.r * as, d.g * as, d.b * as, d.a * as};
    case PF_BLEND_SILHOUETTE_ALPHA:
      return {d.r * (1 - as), d.g * (1 - as), d.b * (1 - as), d.a * (1 - as)};
    case PF_BLEND_STENCIL_LUMA:
    case PF_BLEND_SILHOUETTE_LUMA: {
      double l = 0.2126 * s.r + 0.7152 * s.g + 0.0722 * s.b;
      double f = mode == PF_BLEND_STENCIL_LUMA ? l : 1 - l;
      return {d.r * f, d.g * f, d.b * f, d.a * f};
    }
    default:
      break;
  }
  // W3C: blended source, then Porter-Duff with Fa = 1 (over) or ab (atop),
  // Fb = 1 - as.
  C3 Cs{{0, 0, 0}}, Cb{{0, 0, 0}};
  for (int i = 0; i < 3; ++i) {
    Cs.c[i] = as > 0 ? sc[i] / as : 0;
    Cb.c[i] = ab > 0 ? dc[i] / ab : 0;
  }
  C3 B = Cs;
  if (mode >= PF_BLEND_MULTIPLY && mode <= PF_BLEND_DIFFERENCE) {
    for (int i = 0; i < 3; ++i) B.c[i] = SepBlend(mode, Cb.c[i], Cs.c[i]);
  } else if (mode >= PF_BLEND_HUE && mode <= PF_BLEND_LUMINOSITY) {
    B = NonSepBlend(mode, Cb, Cs);
  }
  const double Fa = destBound ? ab : 1.0;
  const double Fb = 1 - as;
  for (int i = 0; i < 3; ++i) {
    double blended = (1 - ab) * Cs.c[i] + ab * B.c[i];
    out[i] = as * Fa * blended + ab * Fb * Cb.c[i];
  }
  double ao = as * Fa + ab * Fb;
  if (mode == PF_BLEND_ALPHA_ADD && !destBound) ao = AddedAlpha(as, ab);
  return all(out, ao);
}

// Coverage of a mask pixel (premultiplied, 0..1) for a mask kind.
inline double Coverage(int kind, const Px& m) {
  double v = (kind == PF_MASK_ALPHA || kind == PF_MASK_INVERTED_ALPHA)
                 ? m.a
                 : 0.2126 * m.r + 0.7152 * m.g + 0.0722 * m.b;
  return (kind == PF_MASK_INVERTED_ALPHA || kind == PF_MASK_INVERTED_LUMA) ? 1 - v : v;
}

// What a depth stores for a value: integer depths clamp and round.
inline Px Quantize(const Px& p, short depth) {
  if (depth == 32) return p;
  const double m = ChannelMax(depth);
  auto q = [m](double v) { return std::round(std::clamp(v, 0.0, 1.0) * m) / m; };
  return {q(p.r), q(p.g), q(p.b), q(p.a)};
}

// ---- worlds ----

struct WorldDeleter {
  void operator()(PF_World* w) const { delete w; }
};
using WorldPtr = std::unique_ptr<PF_World, WorldDeleter>;

inline WorldPtr MakeWorld(int32_t w, int32_t h, short depth) {
  return WorldPtr(PF_World::New(M_LRect{0, 0, w, h}, depth, 1));
}
inline WorldPtr Clone(const PF_World& from) {
  WorldPtr w = MakeWorld(from.width, from.height, from.depth);
  w->CopyPixels(const_cast<PF_World*>(&from), nullptr, 0, 0);
  return w;
}

// Pixel (x, y) of a buffer of PF_RGBA8, PF_RGBA16 or PF_RGBA32F, scaled to 0..1.
template <class P>
P* At(const PF_LayerDef& l, int32_t x, int32_t y) {
  return reinterpret_cast<P*>(static_cast<char*>(l.data) + static_cast<ptrdiff_t>(y) * l.rowbytes) +
         x;
}
template <class P>
Px GetAs(const PF_LayerDef& l, int32_t x, int32_t y, double m) {
  const P* p = At<P>(l, x, y);
  return {p->red / m, p->green / m, p->blue / m, p->alpha / m};
}
inline Px Get(const PF_LayerDef& l, int32_t x, int32_t y) {
  return l.depth == 8    ? GetAs<PF_RGBA8>(l, x, y, 255)
         : l.depth == 16 ? GetAs<PF_RGBA16>(l, x, y, 65535)
                         : GetAs<PF_RGBA32F>(l, x, y, 1);
}
template <class P>
void SetAs(const PF_LayerDef& l, int32_t x, int32_t y, const Px& q, double m) {
  using T = decltype(P::red);
  auto c = [m](double v) { return m == 1 ? T(v) : T(std::lround(v * m)); };
  *At<P>(l, x, y) = {c(q.r), c(q.g), c(q.b), c(q.a)};
}
inline void Set(const PF_LayerDef& l, int32_t x, int32_t y, const Px& v) {
  const Px q = Quantize(v, l.depth);
  if (l.depth == 8) SetAs<PF_RGBA8>(l, x, y, q, 255);
  if (l.depth == 16) SetAs<PF_RGBA16>(l, x, y, q, 65535);
  if (l.depth == 32) SetAs<PF_RGBA32F>(l, x, y, q, 1);
}

// Random premultiplied pixels, rounded to the world's depth first so that
// the oracle sees what the kernel sees; about a fifth opaque and a fifth
// transparent, or all opaque.
inline void FillRandom(const PF_LayerDef& l, std::mt19937& rng, bool opaque = false) {
  std::uniform_real_distribution<double> u(0.0, 1.0);
  for (int32_t y = 0; y < l.height; ++y) {
    for (int32_t x = 0; x < l.width; ++x) {
      const double pick = u(rng), a = opaque || pick < 0.2 ? 1.0 : pick < 0.4 ? 0.0 : u(rng);
      Set(l, x, y, {u(rng) * a, u(rng) * a, u(rng) * a, a});
    }
  }
}

inline bool Near(const Px& a, const Px& b, double tol) {
  return std::fabs(a.r - b.r) <= tol && std::fabs(a.g - b.g) <= tol &&
         std::fabs(a.b - b.b) <= tol && std::fabs(a.a - b.a) <= tol;
}
inline bool Same(const Px& a, const Px& b) {
  return a.r == b.r && a.g == b.g && a.b == b.b && a.a == b.a;
}

// Strength of the source at destination pixel (x, y): opacity times mask
// coverage; outside the mask buffer the inverted kinds cover, the others not.
inline double Strength(const PF_CompositeModePlus& mode, const PF_MaskWorld* mask, long x, long y) {
  if (mask == nullptr) return mode.opacity;
  const long mx = x - mask->offset_x, my = y - mask->offset_y;
  const int kind = mask->kind;
  const bool inside = mx >= 0 && my >= 0 && mx < mask->mask.width && my < mask->mask.height;
  return mode.opacity * (inside
                             ? Coverage(kind, Get(mask->mask, int32_t(mx), int32_t(my)))
                             : (kind == PF_MASK_INVERTED_ALPHA || kind == PF_MASK_INVERTED_LUMA));
}

// Checks `after`, a composite onto a copy of `before`: pixels for which
// placed(x, y, &source) holds against the oracle within tol, all others
// unchanged. Reports at most five pixels.
template <class Placed>
void CheckComposite(const PF_LayerDef& before, const PF_LayerDef& after,
                    const PF_CompositeModePlus& mode, const PF_MaskWorld* mask, double tol,
                    Placed placed) {
  int failures = 0;
  for (int32_t y = 0; y < after.height && failures < 5; ++y) {
    for (int32_t x = 0; x < after.width && failures < 5; ++x) {
      const Px was = Get(before, x, y), got = Get(after, x, y);
      Px source, want = was;
      const bool in = placed(x, y, &source);
      if (in) {
        want = Quantize(Composite(mode.transfer_mode, source, Strength(mode, mask, x, y), was,
                                  mode.dest_bound != 0),
                        after.depth);
      }
      if (in ? !Near(got, want, tol) : !Same(got, want)) {
        ++failures;
        ADD_FAILURE() << "mode " << mode.transfer_mode << " depth " << after.depth << " opacity "
                      << mode.opacity << " bound " << int(mode.dest_bound) << " at (" << x << ", "
                      << y << ") placed " << in << ": got " << got.r << " " << got.g << " " << got.b
                      << " " << got.a << ", want " << want.r << " " << want.g << " " << want.b
                      << " " << want.a;
      }
    }
  }
}

// Both buffers hold the same pixels; reports the first difference.
inline void ExpectSamePixels(const PF_LayerDef& a, const PF_LayerDef& b) {
  for (int32_t y = 0; y < a.height; ++y)
    for (int32_t x = 0; x < a.width; ++x)
      if (!Same(Get(a, x, y), Get(b, x, y))) {
        ADD_FAILURE() << "differ at " << x << ", " << y;
        return;
      }
}

// A placement matrix: (x, y) maps to (a x + c y + tx, b x + d y + ty).
inline M_Matrix3 Affine(double a, double b, double c, double d, double tx, double ty) {
  M_Matrix3 m;
  m.m[0] = a, m.m[1] = b, m.m[3] = c, m.m[4] = d, m.m[6] = tx, m.m[7] = ty;
  return m;
}

// Restores the thread count a test changes.
struct ThreadCountScope {
  explicit ThreadCountScope(int n) : previous(PF_SetThreadCount(n)) {}
  ~ThreadCountScope() { PF_SetThreadCount(previous); }
  int previous;
};

// Runs body() once on each vector target the processor supports, chosen
// through Highway's target mask, and restores the usual choice after.
template <class F>
void OnEveryTarget(F body) {
  hwy::SetSupportedTargetsForTest(0);
  const int64_t supported = hwy::SupportedTargets();
  for (int64_t rest = supported; rest != 0; rest &= rest - 1) {
    const int64_t target = rest & -rest;
    hwy::SetSupportedTargetsForTest(target);
    SCOPED_TRACE(hwy::TargetName(target));
    body();
  }
  hwy::SetSupportedTargetsForTest(0);
}

}  // namespace oracle
