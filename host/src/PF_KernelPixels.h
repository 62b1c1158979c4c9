// Pixel access of the compositing kernels: depth traits that load a pixel of
// any depth as a premultiplied float PFh_RGBA on the 0..1 scale and store one
// back (integer depths clamp and round to nearest), row addressing, and the
// per-row mask coverage.
#pragma once

#include <cstddef>
#include <cstdint>

#include "BlendMath.h"
#include "rghost/PF_Transfer.h"
#include "rghost/PF_World.h"

inline PFh_RGBA PFh_Load(const PF_RGBA8& p) {
  constexpr float s = 1.0f / 255.0f;
  return {p.red * s, p.green * s, p.blue * s, p.alpha * s};
}
inline PFh_RGBA PFh_Load(const PF_RGBA16& p) {
  constexpr float s = 1.0f / 65535.0f;
  return {p.red * s, p.green * s, p.blue * s, p.alpha * s};
}
inline PFh_RGBA PFh_Load(const PF_RGBA32F& p) { return {p.red, p.green, p.blue, p.alpha}; }
inline PFh_RGBA PFh_Load(const PFh_RGBA& p) { return p; }

// Full alpha at the pixel's own scale: over such a pixel the normal mode's
// result is the pixel itself.
inline bool PFh_IsOpaque(const PF_RGBA8& p) { return p.alpha == 255; }
inline bool PFh_IsOpaque(const PF_RGBA16& p) { return p.alpha == 65535; }
inline bool PFh_IsOpaque(const PF_RGBA32F& p) { return p.alpha == 1.0f; }
inline bool PFh_IsOpaque(const PFh_RGBA& p) { return p.a == 1.0f; }

// Clamps to [0, 1] (NaN to 0) and rounds to nearest on `scale`.
inline uint32_t PFh_Quantize(float v, float scale) {
  v = v > 0.0f ? v : 0.0f;
  v = v < 1.0f ? v : 1.0f;
  return static_cast<uint32_t>(v * scale + 0.5f);
}

// An integer depth: each channel quantized to 0..kMax.
template <class P, class Channel, short D, uint32_t kMax>
struct PFh_IntegerDepth {
  using Pixel = P;
  static constexpr short kDepth = D;
  static Pixel Store(const PFh_RGBA& c) {
    constexpr float scale = static_cast<float>(kMax);
    return {static_cast<Channel>(PFh_Quantize(c.r, scale)),
            static_cast<Channel>(PFh_Quantize(c.g, scale)),
            static_cast<Channel>(PFh_Quantize(c.b, scale)),
            static_cast<Channel>(PFh_Quantize(c.a, scale))};
  }
};
using PFh_Depth8 = PFh_IntegerDepth<PF_RGBA8, uint8_t, 8, 255>;
using PFh_Depth16 = PFh_IntegerDepth<PF_RGBA16, uint16_t, 16, 65535>;

// Float pixels are neither clamped nor rounded.
struct PFh_Depth32 {
  using Pixel = PF_RGBA32F;
  static constexpr short kDepth = 32;
  static Pixel Store(const PFh_RGBA& c) { return {c.r, c.g, c.b, c.a}; }
};

inline bool PFh_IsKnownDepth(short depth) { return depth == 8 || depth == 16 || depth == 32; }

// Address of pixel (x, y) of a layer (not checked; rowbytes may be negative).
template <class Pixel>
inline Pixel* PFh_PixelAt(const PF_LayerDef& layer, int64_t x, int64_t y) {
  char* row = static_cast<char*>(layer.data) + static_cast<ptrdiff_t>(y * layer.rowbytes);
  return reinterpret_cast<Pixel*>(row) + x;
}

namespace pfh_detail {

template <class Pixel>
inline void CoverageSpan(const PF_MaskWorld& mask, int64_t mx, int64_t my, int32_t n, float opacity,
                         float* k) {
  const Pixel* p = PFh_PixelAt<Pixel>(mask.mask, mx, my);
  const int kind = mask.kind;
  for (int32_t i = 0; i < n; ++i) {
    const PFh_RGBA c = PFh_Load(p[i]);
    float v = (kind == PF_MASK_ALPHA || kind == PF_MASK_INVERTED_ALPHA) ? c.a : PFh_Luma709(c);
    if (kind == PF_MASK_INVERTED_ALPHA || kind == PF_MASK_INVERTED_LUMA) v = 1.0f - v;
    v = v > 0.0f ? v : 0.0f;
    v = v < 1.0f ? v : 1.0f;
    k[i] = v * opacity;
  }
}

}  // namespace pfh_detail

// Fills k[0..n) with opacity x mask coverage for destination pixels x0..x0+n
// of row y. A null mask covers everything. The mask's kind and depth have
// been checked by the caller.
inline void PFh_FillCoverage(const PF_MaskWorld* mask, float opacity, int64_t y, int64_t x0,
                             int32_t n, float* k) {
  if (mask == nullptr) {
    for (int32_t i = 0; i < n; ++i) k[i] = opacity;
    return;
  }
  const int kind = mask->kind;
  const float outside =
      (kind == PF_MASK_INVERTED_ALPHA || kind == PF_MASK_INVERTED_LUMA) ? opacity : 0.0f;
  const PF_LayerDef& m = mask->mask;
  const int64_t my = y - mask->offset_y;
  const int64_t mx0 = x0 - mask->offset_x;
  // Columns [a, b) of the span fall inside the mask buffer.
  int64_t a = 0;
  int64_t b = 0;
  if (m.data != nullptr && my >= 0 && my < m.height) {
    a = mx0 < 0 ? -mx0 : 0;
    b = static_cast<int64_t>(m.width) - mx0;
    if (a > n) a = n;
    if (b > n) b = n;
    if (b < a) b = a;
  }
  for (int64_t i = 0; i < a; ++i) k[i] = outside;
  const int32_t inside = static_cast<int32_t>(b - a);
  if (inside > 0) {
    switch (m.depth) {
      case 8:
        pfh_detail::CoverageSpan<PF_RGBA8>(*mask, mx0 + a, my, inside, opacity, k + a);
        break;
      case 16:
        pfh_detail::CoverageSpan<PF_RGBA16>(*mask, mx0 + a, my, inside, opacity, k + a);
        break;
      default:
        pfh_detail::CoverageSpan<PF_RGBA32F>(*mask, mx0 + a, my, inside, opacity, k + a);
        break;
    }
  }
  for (int64_t i = b; i < n; ++i) k[i] = outside;
}

// Checks a mask record before any pixel is touched: null is fine; otherwise
// the kind must be known and a mask with pixels must have a known depth.
inline bool PFh_MaskIsValid(const PF_MaskWorld* mask) {
  if (mask == nullptr) return true;
  if (mask->kind < PF_MASK_ALPHA || mask->kind > PF_MASK_INVERTED_LUMA) return false;
  return mask->mask.data == nullptr || PFh_IsKnownDepth(mask->mask.depth);
}
