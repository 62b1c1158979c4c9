// Leaf nodes and pixel helpers for the composite tests.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <memory>

#include "rg/RG_CheckoutResult.h"
#include "rg/RG_NodeCallbacks.h"
#include "rg/RG_RenderNode.h"
#include "rg/RG_Traverser.h"
#include "rghost/PF_Transfer.h"
#include "rghost/PF_World.h"

namespace composite_test {

inline M_LRect Rect(int32_t l, int32_t t, int32_t r, int32_t b) { return M_LRect{l, t, r, b}; }

// Pixel channel c (0..3) of (x, y) as a value in [0, 1].
inline double Channel(const PF_World& w, int32_t x, int32_t y, int c) {
  const void* p = w.PixelAddress(x, y);
  switch (w.depth) {
    case 8:
      return static_cast<const uint8_t*>(p)[c] / 255.0;
    case 16:
      return static_cast<const uint16_t*>(p)[c] / 65535.0;
    default:
      return static_cast<const float*>(p)[c];
  }
}

inline void SetChannel(PF_World& w, int32_t x, int32_t y, int c, double v) {
  void* p = w.PixelAddress(x, y);
  switch (w.depth) {
    case 8:
      static_cast<uint8_t*>(p)[c] = static_cast<uint8_t>(std::lround(v * 255.0));
      break;
    case 16:
      static_cast<uint16_t*>(p)[c] = static_cast<uint16_t>(std::lround(v * 65535.0));
      break;
    default:
      static_cast<float*>(p)[c] = static_cast<float>(v);
      break;
  }
}

// A leaf over a borrowed world that may declare its output opaque (flag
// bit 0) and counts its passes. It serves a view of the world under a buffer
// lock, like a source buffer node, or, with ownBuffer, writes the pixels into
// an output buffer of the library's own (without CopyPixels, so that
// PF_WorldStats counts only what the library copies).
class ProbeNode : public RG_RenderNode {
 public:
  ProbeNode(PF_World* world, bool opaque, bool ownBuffer = false)
      : world_(world), opaque_(opaque), own_buffer_(ownBuffer) {
    bounds_ = world->GetRect();
  }

  M_LRect ComputeContentBounds(RG_ContentBoundsType) const override { return bounds_; }

  RG_NodeData* PreRender(RG_NodePreRenderCB* cb, const RG_RenderRequest& request) const override {
    ++prerenders;
    last_request = request;
    cb->RequestOutput(M_Intersect(request.rect, bounds_), opaque_ ? 1 : 0, 0);
    return nullptr;
  }

  void Render(RG_NodeRenderCB* cb, const RG_RenderRequest&, const RG_NodeData*) const override {
    ++renders;
    RG_CheckoutResult* out = cb->GetNextCheckout();
    const M_LRect& r = out->GetRect();
    if (own_buffer_) {
      PF_World* w = out->GetOutputWorld();
      for (int32_t y = 0; y < w->height; ++y) {
        for (int32_t x = 0; x < w->width; ++x) {
          for (int c = 0; c < 4; ++c) {
            SetChannel(*w, x, y, c,
                       Channel(*world_, x + r.left - bounds_.left, y + r.top - bounds_.top, c));
          }
        }
      }
      rendered_world = w;
      return;
    }
    const M_LRect rel = Rect(r.left - bounds_.left, r.top - bounds_.top, r.right - bounds_.left,
                             r.bottom - bounds_.top);
    PF_World* view = PF_World::NewReference(world_, rel);
    out->SetOutputWorld(view, new RG_BufferLock);
  }

  mutable int prerenders = 0;
  mutable int renders = 0;
  mutable RG_RenderRequest last_request;
  mutable const PF_World* rendered_world = nullptr;  // the buffer written, ownBuffer only

 private:
  PF_World* world_;  // borrowed
  bool opaque_;
  bool own_buffer_;
  M_LRect bounds_;
};

struct WorldDeleter {
  void operator()(PF_World* w) const { delete w; }
};
using WorldPtr = std::unique_ptr<PF_World, WorldDeleter>;

// A premultiplied pattern that varies from pixel to pixel; opaque worlds
// have alpha 1 everywhere.
inline WorldPtr PatternWorld(const M_LRect& rect, short depth, int seed, bool opaque) {
  WorldPtr w(PF_World::New(rect, depth, 1));
  for (int32_t y = 0; y < w->height; ++y) {
    for (int32_t x = 0; x < w->width; ++x) {
      const int h = (x * 7 + y * 13 + seed * 31) % 97;
      const double a = opaque ? 1.0 : 0.25 + 0.75 * ((x * 3 + y * 5 + seed) % 11) / 10.0;
      for (int c = 0; c < 3; ++c) {
        SetChannel(*w, x, y, c, a * ((h + c * 29) % 97) / 96.0);
      }
      SetChannel(*w, x, y, 3, a);
    }
  }
  return w;
}

inline WorldPtr SolidWorld(const M_LRect& rect, short depth, double r, double g, double b,
                           double a) {
  WorldPtr w(PF_World::New(rect, depth, 1));
  const double v[4] = {r, g, b, a};
  for (int32_t y = 0; y < w->height; ++y)
    for (int32_t x = 0; x < w->width; ++x)
      for (int c = 0; c < 4; ++c) SetChannel(*w, x, y, c, v[c]);
  return w;
}

// Every pixel of `actual` (its own rect in render space) equals the pixel of
// `expected` at the same render-space position, within `tolerance`.
inline ::testing::AssertionResult SamePixels(const PF_World& actual, const PF_World& expected,
                                             double tolerance) {
  const M_LRect ar = actual.GetRect();
  const M_LRect er = expected.GetRect();
  for (int32_t y = ar.top; y < ar.bottom; ++y) {
    for (int32_t x = ar.left; x < ar.right; ++x) {
      for (int c = 0; c < 4; ++c) {
        const double a = Channel(actual, x - ar.left, y - ar.top, c);
        const bool inside = x >= er.left && x < er.right && y >= er.top && y < er.bottom;
        const double e = inside ? Channel(expected, x - er.left, y - er.top, c) : 0.0;
        if (std::fabs(a - e) > tolerance) {
          return ::testing::AssertionFailure() << "pixel (" << x << ", " << y << ") channel " << c
                                               << ": " << a << " expected " << e;
        }
      }
    }
  }
  return ::testing::AssertionSuccess();
}

inline M_Matrix3 Translation(double dx, double dy) {
  M_Matrix3 m;
  m[6] = dx;
  m[7] = dy;
  return m;
}

inline PF_CompositeModePlus Mode(int32_t transfer_mode, float opacity = 1.0f) {
  PF_CompositeModePlus m;
  m.transfer_mode = transfer_mode;
  m.opacity = opacity;
  return m;
}

// What an execution without a destination buffer hands back.
struct Result {
  M_LRect rect;
  char flags = 0;
  WorldPtr world;
};

inline Result ExecuteGraph(const RG_RenderNode* root, const M_LRect& rect, long field = 0) {
  RG_RenderRequest request;
  request.rect = rect;
  request.field = static_cast<int32_t>(field);
  request.bit_depth = 8;
  Result r;
  PF_World* world = nullptr;
  RG_ExecuteGraph(root, request, &r.rect, &r.flags, &world, nullptr);
  r.world.reset(world);
  return r;
}

}  // namespace composite_test
