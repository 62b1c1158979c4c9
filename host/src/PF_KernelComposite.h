// Row loops of the compositing kernels: one straight loop per mode over a
// visible span of one destination row, templated on the destination depth,
// the source pixel type (the source buffer's own pixels for PF_TransferRect,
// resampled float pixels for PF_TransformWorld) and the mode, and a table to
// pick one per call. The blend maths lives in BlendMath.h.
#pragma once

#include <array>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "BlendMath.h"
#include "PF_KernelPixels.h"
#include "PF_KernelVector.h"

// What a span needs besides its pixels.
struct PFh_SpanContext {
  bool dest_bound = false;
  int32_t dissolve_seed = 0;
  int64_t x = 0;  // destination buffer column of the span's first pixel
  int64_t y = 0;  // destination buffer row
  // The destination's origin: dissolve hashes render-space coordinates, so
  // its pattern does not depend on where a buffer happens to start.
  int64_t origin_x = 0;
  int64_t origin_y = 0;
};

// Composites n source pixels onto n destination pixels; k[i] is opacity x mask
// coverage of pixel i (in [0, 1]).
template <class D, class SrcPixel, int Mode>
void PFh_CompositeSpan(const SrcPixel* src, typename D::Pixel* dst, const float* k, int32_t n,
                       const PFh_SpanContext& ctx) {
  if constexpr (Mode == PF_BLEND_DISSOLVE) {
    const int32_t y = static_cast<int32_t>(ctx.y + ctx.origin_y);
    for (int32_t i = 0; i < n; ++i) {
      const PFh_RGBA s = PFh_Load(src[i]);
      const float threshold = s.a * k[i];
      if (!(PFh_DissolveHash(static_cast<int32_t>(ctx.x + ctx.origin_x + i), y, ctx.dissolve_seed) <
            threshold))
        continue;
      // The source's own colour at full alpha (atop: at the destination's alpha).
      const PFh_RGB c = PFh_Unpremultiply(s);
      const float a = ctx.dest_bound ? PFh_Load(dst[i]).a : 1.0f;
      dst[i] = D::Store({c.r * a, c.g * a, c.b * a, a});
    }
  } else {
    if constexpr (Mode == PF_BLEND_COPY || Mode == PF_BLEND_NORMAL) {
      const int32_t done = PFh_VecNormal(src, dst, k, n, ctx.dest_bound);
      src += done;
      dst += done;
      k += done;
      n -= done;
    } else if constexpr (Mode >= PF_BLEND_MULTIPLY && Mode <= PF_BLEND_DIFFERENCE) {
      const int32_t done = PFh_VecSeparable(Mode, src, dst, k, n, ctx.dest_bound);
      src += done;
      dst += done;
      k += done;
      n -= done;
    }
    for (int32_t i = 0; i < n; ++i) {
      const float ki = k[i];
      if constexpr (Mode == PF_BLEND_COPY || Mode == PF_BLEND_NORMAL) {
        // Over anything, an opaque source at full strength is itself; copying
        // it keeps it exact at every depth.
        if (ki == 1.0f && !ctx.dest_bound && PFh_IsOpaque(src[i])) {
          if constexpr (std::is_same_v<SrcPixel, typename D::Pixel>) {
            dst[i] = src[i];
          } else {
            dst[i] = D::Store(PFh_Load(src[i]));
          }
          continue;
        }
      }
      const PFh_RGBA s = PFh_Scale(PFh_Load(src[i]), ki);
      dst[i] = D::Store(PFh_Composite<Mode>(s, PFh_Load(dst[i]), ctx.dest_bound));
    }
  }
}

// Normal mode at full strength without a mask on 8-bit pixels, in exact
// integer arithmetic: round(cs + cb * (255 - as) / 255) never sits on a tie, so
// this gives what the float path rounds to.
inline PF_RGBA8 PFh_Over8(PF_RGBA8 s, PF_RGBA8 d) {
  const uint32_t inv = 255u - s.alpha;
  auto over = [inv](uint32_t sc, uint32_t dc) -> uint8_t {
    uint32_t t = dc * inv + 128;
    t = (t + (t >> 8)) >> 8;
    const uint32_t v = sc + t;
    return static_cast<uint8_t>(v < 255 ? v : 255);
  };
  return PF_RGBA8{over(s.red, d.red), over(s.green, d.green), over(s.blue, d.blue),
                  over(s.alpha, d.alpha)};
}

inline void PFh_NormalSpan8(const PF_RGBA8* src, PF_RGBA8* dst, int32_t n) {
  int32_t i = PFh_VecPlainNormal(src, dst, n);
  // An opaque source pixel (inv 0) comes out as itself and a transparent one
  // (inv 255) leaves the destination as it was, since d * 255 / 255 rounds
  // back to d: both are skipped here.
  for (; i < n; ++i) {
    const PF_RGBA8 s = src[i];
    if (s.alpha == 255) {
      dst[i] = s;
    } else if ((s.alpha | s.red | s.green | s.blue) != 0) {
      dst[i] = PFh_Over8(s, dst[i]);
    }
  }
}

// Normal mode at full strength without a mask at 16 and 32 bits: the general
// loop's operations for that case (a source scaled by 1 is itself), with the
// opaque-source copy as a select instead of a branch, so that the compiler
// vectorises the loop; the results are the general loop's, bit for bit.
template <class D>
void PFh_NormalSpan(const typename D::Pixel* src, typename D::Pixel* dst, int32_t n) {
  for (int32_t i = PFh_VecPlainNormal(src, dst, n); i < n; ++i) {
    const PFh_RGBA s = PFh_Load(src[i]);
    const PFh_RGBA d = PFh_Load(dst[i]);
    const float fb = 1.0f - s.a;
    const typename D::Pixel p = src[i];
    const typename D::Pixel over =
        D::Store({s.r + d.r * fb, s.g + d.g * fb, s.b + d.b * fb, s.a + d.a * fb});
    const bool opaque = PFh_IsOpaque(p);
    dst[i] = {opaque ? p.red : over.red, opaque ? p.green : over.green, opaque ? p.blue : over.blue,
              opaque ? p.alpha : over.alpha};
  }
}

template <class D, class SrcPixel>
using PFh_SpanFn = void (*)(const SrcPixel*, typename D::Pixel*, const float*, int32_t,
                            const PFh_SpanContext&);

template <class D, class SrcPixel, size_t... M>
constexpr std::array<PFh_SpanFn<D, SrcPixel>, sizeof...(M)> PFh_MakeSpanTable(
    std::index_sequence<M...>) {
  return {&PFh_CompositeSpan<D, SrcPixel, static_cast<int>(M)>...};
}

// The span loop of a mode (checked by the caller to be in range).
template <class D, class SrcPixel>
PFh_SpanFn<D, SrcPixel> PFh_SpanFor(int mode) {
  static constexpr auto kTable =
      PFh_MakeSpanTable<D, SrcPixel>(std::make_index_sequence<PF_BLEND_MODE_COUNT>{});
  return kTable[static_cast<size_t>(mode)];
}

inline bool PFh_IsKnownMode(long mode) { return mode >= 0 && mode < PF_BLEND_MODE_COUNT; }

// Opacity as a factor in [0, 1] (NaN counts as 0).
inline float PFh_ClampOpacity(float opacity) {
  opacity = opacity > 0.0f ? opacity : 0.0f;
  return opacity < 1.0f ? opacity : 1.0f;
}

// Rows [first, end) of a clipped area whose field keeps every row (step 1) or
// every other row (step 2) of the destination.
struct PFh_FieldRows {
  int64_t first = 0;  // first destination row written
  int64_t step = 1;
  long count = 0;  // rows written
  int64_t Row(long i) const { return first + static_cast<int64_t>(i) * step; }
};

// The rows of [top, bottom) that `field` writes (0 all, 1 even, 2 odd rows of
// the destination buffer).
inline PFh_FieldRows PFh_RowsOfField(long field, int64_t top, int64_t bottom) {
  PFh_FieldRows rows;
  rows.first = top;
  if (field != 0) {
    rows.step = 2;
    const int64_t parity = field == 1 ? 0 : 1;
    if (((top % 2) + 2) % 2 != parity) ++rows.first;
  }
  if (bottom > rows.first)
    rows.count = static_cast<long>((bottom - rows.first + rows.step - 1) / rows.step);
  return rows;
}
