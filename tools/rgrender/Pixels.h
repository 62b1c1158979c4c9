// Pixel access shared by the program's nodes and its file I/O: read and write
// one premultiplied RGBA pixel of a host world as four floats in 0..1,
// whatever the world's depth.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "rghost/M_Geometry.h"
#include "rghost/PF_World.h"

struct RGBA {
  float r = 0, g = 0, b = 0, a = 0;
};

// Rounds a 0..1 value to an integer channel of `max` steps, clamping.
inline uint32_t QuantizeChannel(float v, uint32_t max) {
  if (!(v > 0.f)) return 0;  // also catches NaN
  if (v >= 1.f) return max;
  return static_cast<uint32_t>(std::lround(v * static_cast<float>(max)));
}

// Pixel (x, y) of the world, in the world's own pixel coordinates.
inline RGBA ReadPixel(const PF_World* w, int32_t x, int32_t y) {
  const void* p = w->PixelAddress(x, y);
  switch (w->depth) {
    case 8: {
      const auto* q = static_cast<const PF_RGBA8*>(p);
      return {q->red / 255.f, q->green / 255.f, q->blue / 255.f, q->alpha / 255.f};
    }
    case 16: {
      const auto* q = static_cast<const PF_RGBA16*>(p);
      return {q->red / 65535.f, q->green / 65535.f, q->blue / 65535.f, q->alpha / 65535.f};
    }
    default: {
      const auto* q = static_cast<const PF_RGBA32F*>(p);
      return {q->red, q->green, q->blue, q->alpha};
    }
  }
}

inline void WritePixel(PF_World* w, int32_t x, int32_t y, const RGBA& c) {
  void* p = w->PixelAddress(x, y);
  switch (w->depth) {
    case 8:
      *static_cast<PF_RGBA8*>(p) = PF_RGBA8{static_cast<uint8_t>(QuantizeChannel(c.r, 255)),
                                            static_cast<uint8_t>(QuantizeChannel(c.g, 255)),
                                            static_cast<uint8_t>(QuantizeChannel(c.b, 255)),
                                            static_cast<uint8_t>(QuantizeChannel(c.a, 255))};
      break;
    case 16:
      *static_cast<PF_RGBA16*>(p) = PF_RGBA16{static_cast<uint16_t>(QuantizeChannel(c.r, 65535)),
                                              static_cast<uint16_t>(QuantizeChannel(c.g, 65535)),
                                              static_cast<uint16_t>(QuantizeChannel(c.b, 65535)),
                                              static_cast<uint16_t>(QuantizeChannel(c.a, 65535))};
      break;
    default:
      *static_cast<PF_RGBA32F*>(p) = PF_RGBA32F{c.r, c.g, c.b, c.a};
      break;
  }
}

// The row parity a field keeps in render space: field 1 holds the even rows,
// field 2 the odd ones (the convention RG_EffectiveField applies to buffers).
inline bool RowInField(int32_t y, int32_t field) {
  if (field == 0) return true;
  const bool even = (y & 1) == 0;
  return field == 1 ? even : !even;
}
