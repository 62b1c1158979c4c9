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

// Rounds a 0..1 value to an integer channel of `max` steps, clamping;
// halves round up. (The fraction is exact below 2^24, so this is lround
// without a library call, and loops over rows can vectorise it.)
inline uint32_t QuantizeChannel(float v, uint32_t max) {
  if (!(v > 0.f)) return 0;  // also catches NaN
  if (v >= 1.f) return max;
  const float scaled = v * static_cast<float>(max);
  const auto whole = static_cast<uint32_t>(scaled);
  return whole + (scaled - static_cast<float>(whole) >= 0.5f ? 1u : 0u);
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

namespace pixels_detail {

template <class Pixel, class Channel, uint32_t kMax>
bool StoreRow(Pixel* out, const float* rgba, int32_t count) {
  bool opaque = true;
  for (int32_t x = 0; x < count; ++x, rgba += 4) {
    out[x] = Pixel{static_cast<Channel>(QuantizeChannel(rgba[0], kMax)),
                   static_cast<Channel>(QuantizeChannel(rgba[1], kMax)),
                   static_cast<Channel>(QuantizeChannel(rgba[2], kMax)),
                   static_cast<Channel>(QuantizeChannel(rgba[3], kMax))};
    opaque = opaque && out[x].alpha == kMax;
  }
  return opaque;
}

template <class Pixel>
void LoadRow(const Pixel* in, RGBA* out, int32_t count, float max) {
  for (int32_t x = 0; x < count; ++x)
    out[x] = RGBA{in[x].red / max, in[x].green / max, in[x].blue / max, in[x].alpha / max};
}

}  // namespace pixels_detail

// Row y of the world from premultiplied RGBA floats (4 a pixel, the
// world's width of them), rounded as WritePixel rounds; true when every
// pixel has full alpha at the world's depth.
inline bool WriteRow(PF_World* w, int32_t y, const float* rgba) {
  void* row = w->PixelAddress(0, y);
  switch (w->depth) {
    case 8:
      return pixels_detail::StoreRow<PF_RGBA8, uint8_t, 255>(static_cast<PF_RGBA8*>(row), rgba,
                                                             w->width);
    case 16:
      return pixels_detail::StoreRow<PF_RGBA16, uint16_t, 65535>(static_cast<PF_RGBA16*>(row), rgba,
                                                                 w->width);
    default: {
      auto* out = static_cast<PF_RGBA32F*>(row);
      bool opaque = true;
      for (int32_t x = 0; x < w->width; ++x, rgba += 4) {
        out[x] = PF_RGBA32F{rgba[0], rgba[1], rgba[2], rgba[3]};
        opaque = opaque && rgba[3] >= 1.f;
      }
      return opaque;
    }
  }
}

// `count` pixels of row y from column x, as ReadPixel reads each.
inline void ReadRow(const PF_World* w, int32_t x, int32_t y, int32_t count, RGBA* out) {
  const void* row = w->PixelAddress(x, y);
  switch (w->depth) {
    case 8:
      pixels_detail::LoadRow(static_cast<const PF_RGBA8*>(row), out, count, 255.f);
      break;
    case 16:
      pixels_detail::LoadRow(static_cast<const PF_RGBA16*>(row), out, count, 65535.f);
      break;
    default: {
      const auto* in = static_cast<const PF_RGBA32F*>(row);
      for (int32_t i = 0; i < count; ++i)
        out[i] = RGBA{in[i].red, in[i].green, in[i].blue, in[i].alpha};
      break;
    }
  }
}

// The row parity a field keeps in render space: field 1 holds the even rows,
// field 2 the odd ones (the convention RG_EffectiveField applies to buffers).
inline bool RowInField(int32_t y, int32_t field) {
  if (field == 0) return true;
  const bool even = (y & 1) == 0;
  return field == 1 ? even : !even;
}
