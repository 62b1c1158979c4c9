// Test oracle of the compositing kernels: a plain double-precision, one pixel
// at a time reading of W3C Compositing and Blending Level 1 and of the host's
// mode table, written without the kernels' own helpers; and world helpers.
#pragma once

#include <gtest/gtest.h>
#include <hwy/targets.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <memory>
#include <random>
#include <type_traits>

#include "rghost/PF_Transfer.h"
#include "rghost/PF_World.h"

namespace oracle {

using Px = std::array<double, 4>;  // red, green, blue, alpha
using C3 = std::array<double, 3>;

inline double ChannelMax(short depth) { return depth == 8 ? 255.0 : depth == 16 ? 65535.0 : 1.0; }
// Tolerance of a comparison at a depth: one LSB, or 1e-5 on float.
inline double Tolerance(short depth) { return depth == 32 ? 1e-5 : 1.0 / ChannelMax(depth) + 1e-9; }
// The adding modes' alpha: the sum, at most 1 unless an input is above 1.
inline double AddedAlpha(double as, double ab) {
  return std::min(std::max({1.0, as, ab}), as + ab);
}

// ---- blend functions B(cb, cs) on un-premultiplied colour ----

inline double HardLight(double cb, double cs) {
  return cs <= 0.5 ? cb * 2 * cs : cb + (2 * cs - 1) - cb * (2 * cs - 1);
}
// Multiply to difference, in mode order.
inline double (*const kSeparable[])(double, double) = {
    [](double cb, double cs) { return cb * cs; },
    [](double cb, double cs) { return cb + cs - cb * cs; },
    [](double cb, double cs) { return HardLight(cs, cb); },  // overlay: the layers swapped
    [](double cb, double cs) {
      if (cs <= 0.5) return cb - (1 - 2 * cs) * cb * (1 - cb);
      const double d = cb <= 0.25 ? ((16 * cb - 12) * cb + 4) * cb : std::sqrt(cb);
      return cb + (2 * cs - 1) * (d - cb);
    },
    &HardLight,
    [](double cb, double cs) { return std::min(cb, cs); },
    [](double cb, double cs) { return std::max(cb, cs); },
    [](double cb, double cs) { return std::fabs(cb - cs); }};

inline double Lum(const C3& x) { return 0.3 * x[0] + 0.59 * x[1] + 0.11 * x[2]; }
inline double Sat(const C3& x) {
  return *std::max_element(&x[0], &x[3]) - *std::min_element(&x[0], &x[3]);
}
// SetLum followed by ClipColor.
inline C3 SetLum(C3 x, double l) {
  const double d = l - Lum(x);
  for (double& v : x) v += d;
  l = Lum(x);
  const auto [n, m] = std::minmax({x[0], x[1], x[2]});
  for (double& v : x) {
    if (n < 0) v = l + (v - l) * l / (l - n);
    if (m > 1) v = l + (v - l) * (1 - l) / (m - l);
  }
  return x;
}
// The W3C form: sort into max, mid and min, then rescale.
inline C3 SetSat(C3 x, double s) {
  int o[3] = {0, 1, 2};
  std::sort(o, o + 3, [&](int i, int j) { return x[i] < x[j]; });
  const double mn = x[o[0]], mid = x[o[1]], mx = x[o[2]];
  x[o[1]] = mx > mn ? (mid - mn) * s / (mx - mn) : 0;
  x[o[2]] = mx > mn ? s : 0;
  x[o[0]] = 0;
  return x;
}
inline C3 NonSeparable(int mode, const C3& cb, const C3& cs) {
  if (mode == PF_BLEND_HUE) return SetLum(SetSat(cs, Sat(cb)), Lum(cb));
  if (mode == PF_BLEND_SATURATION) return SetLum(SetSat(cb, Sat(cs)), Lum(cb));
  return mode == PF_BLEND_COLOR ? SetLum(cs, Lum(cb)) : SetLum(cb, Lum(cs));  // or luminosity
}

inline Px Scaled(Px p, double k) {
  for (double& v : p) v *= k;
  return p;
}
inline double Luma(const Px& p) { return 0.2126 * p[0] + 0.7152 * p[1] + 0.0722 * p[2]; }

// Result of `mode` (not dissolve) for source s (premultiplied, not yet
// scaled) at strength k on destination d.
inline Px Composite(int mode, Px s, double k, const Px& d, bool destBound) {
  s = Scaled(s, k);
  const double as = s[3], ab = d[3];
  Px out;
  switch (mode) {
    case PF_BLEND_BEHIND:
      if (destBound) return d;
      for (int i = 0; i < 4; ++i) out[i] = d[i] + s[i] * (1 - ab);
      return out;
    case PF_BLEND_ADD:
      for (int i = 0; i < 3; ++i) out[i] = d[i] + s[i] * (destBound ? ab : 1);
      out[3] = destBound ? ab : AddedAlpha(as, ab);
      return out;
    case PF_BLEND_STENCIL_ALPHA:
    case PF_BLEND_SILHOUETTE_ALPHA:
      return Scaled(d, mode == PF_BLEND_STENCIL_ALPHA ? as : 1 - as);
    case PF_BLEND_STENCIL_LUMA:
    case PF_BLEND_SILHOUETTE_LUMA:
      return Scaled(d, mode == PF_BLEND_STENCIL_LUMA ? Luma(s) : 1 - Luma(s));
  }
  // W3C: blended source, then Porter-Duff with Fa = 1 (over) or ab (atop),
  // Fb = 1 - as.
  C3 cs, cb;
  for (int i = 0; i < 3; ++i) {
    cs[i] = as > 0 ? s[i] / as : 0;
    cb[i] = ab > 0 ? d[i] / ab : 0;
  }
  C3 b = cs;
  if (mode >= PF_BLEND_MULTIPLY && mode <= PF_BLEND_DIFFERENCE) {
    for (int i = 0; i < 3; ++i) b[i] = kSeparable[mode - PF_BLEND_MULTIPLY](cb[i], cs[i]);
  } else if (mode >= PF_BLEND_HUE && mode <= PF_BLEND_LUMINOSITY) {
    b = NonSeparable(mode, cb, cs);
  }
  const double fa = destBound ? ab : 1.0, fb = 1 - as;
  for (int i = 0; i < 3; ++i) out[i] = as * fa * ((1 - ab) * cs[i] + ab * b[i]) + ab * fb * cb[i];
  out[3] = mode == PF_BLEND_ALPHA_ADD && !destBound ? AddedAlpha(as, ab) : as * fa + ab * fb;
  return out;
}

// Coverage of a mask pixel (premultiplied, 0..1) for a mask kind.
inline double Coverage(int kind, const Px& m) {
  const double v = kind == PF_MASK_ALPHA || kind == PF_MASK_INVERTED_ALPHA ? m[3] : Luma(m);
  return kind == PF_MASK_INVERTED_ALPHA || kind == PF_MASK_INVERTED_LUMA ? 1 - v : v;
}

// What a depth stores for a value: integer depths clamp and round.
inline Px Quantize(Px p, short depth) {
  const double m = ChannelMax(depth);
  if (depth != 32)
    for (double& v : p) v = std::round(std::clamp(v, 0.0, 1.0) * m) / m;
  return p;
}

// ---- worlds ----

using WorldPtr = std::unique_ptr<PF_World>;

inline WorldPtr MakeWorld(int32_t w, int32_t h, short depth) {
  return WorldPtr(PF_World::New(M_LRect{0, 0, w, h}, depth, 1));
}
inline WorldPtr Clone(const PF_World& from) {
  WorldPtr w = MakeWorld(from.width, from.height, from.depth);
  w->CopyPixels(const_cast<PF_World*>(&from), nullptr, 0, 0);
  return w;
}

inline char* At(const PF_LayerDef& l, long x, long y) {
  return static_cast<char*>(l.data) + y * l.rowbytes + x * long(PF_BytesPerPixel(l.depth));
}
// f(pixel, m) on pixel (x, y) of a buffer of any depth, whose channels are
// values of 0..1 times m.
template <class F>
auto OnPixel(const PF_LayerDef& l, long x, long y, F f) {
  char* p = At(l, x, y);
  return l.depth == 8    ? f(*reinterpret_cast<PF_RGBA8*>(p), 255.0)
         : l.depth == 16 ? f(*reinterpret_cast<PF_RGBA16*>(p), 65535.0)
                         : f(*reinterpret_cast<PF_RGBA32F*>(p), 1.0);
}
inline Px Get(const PF_LayerDef& l, long x, long y) {
  return OnPixel(l, x, y, [](auto& p, double m) {
    return Px{p.red / m, p.green / m, p.blue / m, p.alpha / m};
  });
}
inline void Set(const PF_LayerDef& l, long x, long y, const Px& v) {
  const Px q = Quantize(v, l.depth);
  OnPixel(l, x, y, [&q](auto& p, double m) {
    using T = std::remove_reference_t<decltype(p.red)>;
    auto c = [m](double v) { return m == 1 ? T(v) : T(std::lround(v * m)); };
    p = {c(q[0]), c(q[1]), c(q[2]), c(q[3])};
  });
}

// A world of random premultiplied pixels, rounded to its depth first so that
// the oracle sees what the kernel sees; about a fifth opaque and a fifth
// transparent, or all opaque.
inline WorldPtr Random(int32_t w, int32_t h, short depth, std::mt19937& rng, bool opaque = false) {
  WorldPtr world = MakeWorld(w, h, depth);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  for (int32_t y = 0; y < h; ++y) {
    for (int32_t x = 0; x < w; ++x) {
      const double pick = u(rng), a = opaque || pick < 0.2 ? 1.0 : pick < 0.4 ? 0.0 : u(rng);
      Set(*world, x, y, {u(rng) * a, u(rng) * a, u(rng) * a, a});
    }
  }
  return world;
}

inline bool Near(const Px& a, const Px& b, double tol) {
  return std::equal(a.begin(), a.end(), b.begin(),
                    [tol](double x, double y) { return std::fabs(x - y) <= tol; });
}

// Strength of the source at destination pixel (x, y): opacity times mask
// coverage; outside its buffer a mask reads as transparent black, so the
// inverted kinds cover there and the others not.
inline double Strength(const PF_CompositeModePlus& mode, const PF_MaskWorld* mask, long x, long y) {
  if (mask == nullptr) return mode.opacity;
  const long mx = x - mask->offset_x, my = y - mask->offset_y;
  const bool inside = mx >= 0 && my >= 0 && mx < mask->mask.width && my < mask->mask.height;
  return mode.opacity *
         (inside ? Coverage(mask->kind, Get(mask->mask, mx, my)) : Coverage(mask->kind, Px{}));
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
      if (in ? !Near(got, want, tol) : got != want) {
        ++failures;
        ADD_FAILURE() << "mode " << mode.transfer_mode << " depth " << after.depth << " opacity "
                      << mode.opacity << " bound " << int(mode.dest_bound) << " at (" << x << ", "
                      << y << ") placed " << in << ": got " << testing::PrintToString(got)
                      << ", want " << testing::PrintToString(want);
      }
    }
  }
}

// Both buffers hold the same pixels; reports the first difference.
inline void ExpectSamePixels(const PF_LayerDef& a, const PF_LayerDef& b) {
  for (int32_t y = 0; y < a.height; ++y)
    for (int32_t x = 0; x < a.width; ++x)
      if (Get(a, x, y) != Get(b, x, y)) {
        ADD_FAILURE() << "differ at " << x << ", " << y;
        return;
      }
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
  for (int64_t rest = hwy::SupportedTargets(); rest != 0; rest &= rest - 1) {
    const int64_t target = rest & -rest;
    hwy::SetSupportedTargetsForTest(target);
    SCOPED_TRACE(hwy::TargetName(target));
    body();
  }
  hwy::SetSupportedTargetsForTest(0);
}

}  // namespace oracle
