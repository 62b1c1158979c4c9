#include "support/TestNodes.h"

#include <algorithm>
#include <utility>

namespace {

// Copies the overlap of two 8-bit worlds pixel by pixel (not through the
// host's CopyPixels, so the library's own copies stay countable).
void Blit(PF_World* dst, const PF_World* src) {
  const M_LRect r = M_Intersect(dst->GetRect(), src->GetRect());
  for (int32_t y = r.top; y < r.bottom; ++y) {
    for (int32_t x = r.left; x < r.right; ++x) TestSetPixel(dst, x, y, TestPixel(src, x, y));
  }
}

uint8_t Over(uint8_t top, uint8_t bottom, uint8_t topAlpha) {
  return static_cast<uint8_t>(top + (bottom * (255 - topAlpha) + 127) / 255);
}

}  // namespace

M_LRect TestRect(int32_t l, int32_t t, int32_t r, int32_t b) { return M_LRect{l, t, r, b}; }

RG_RenderRequest TestRequest(const M_LRect& rect, int16_t depth, uint8_t flags, int32_t field) {
  RG_RenderRequest request;
  request.rect = rect;
  request.bit_depth = depth;
  request.flags = flags;
  request.field = field;
  return request;
}

PF_World* TestMakeWorld(const M_LRect& rect, PF_RGBA8 color) {
  PF_World* world = PF_World::New(rect, 8, 0);
  TestFill(world, color);
  return world;
}

PF_RGBA8 TestPixel(const PF_World* world, int32_t x, int32_t y) {
  return *static_cast<const PF_RGBA8*>(
      world->PixelAddress(x - world->origin_x, y - world->origin_y));
}

void TestSetPixel(PF_World* world, int32_t x, int32_t y, PF_RGBA8 color) {
  *static_cast<PF_RGBA8*>(world->PixelAddress(x - world->origin_x, y - world->origin_y)) = color;
}

void TestFill(PF_World* world, PF_RGBA8 c) {
  for (int32_t y = 0; y < world->height; ++y) {
    for (int32_t x = 0; x < world->width; ++x) {
      void* p = world->PixelAddress(x, y);
      switch (world->GetDepth()) {
        case 8:
          *static_cast<PF_RGBA8*>(p) = c;
          break;
        case 16:
          *static_cast<PF_RGBA16*>(p) =
              PF_RGBA16{static_cast<uint16_t>(c.red * 257), static_cast<uint16_t>(c.green * 257),
                        static_cast<uint16_t>(c.blue * 257), static_cast<uint16_t>(c.alpha * 257)};
          break;
        default:
          *static_cast<PF_RGBA32F*>(p) =
              PF_RGBA32F{c.red / 255.f, c.green / 255.f, c.blue / 255.f, c.alpha / 255.f};
          break;
      }
    }
  }
}

bool TestSame(PF_RGBA8 a, PF_RGBA8 b) {
  return a.red == b.red && a.green == b.green && a.blue == b.blue && a.alpha == b.alpha;
}

PF_RGBA8 TestPatternAt(int32_t x, int32_t y) {
  return PF_RGBA8{static_cast<uint8_t>(x & 0xFF), static_cast<uint8_t>(y & 0xFF),
                  static_cast<uint8_t>((x ^ y) & 0x7F), 255};
}

void TestFillPattern(PF_World* world) {
  const M_LRect r = world->GetRect();
  for (int32_t y = r.top; y < r.bottom; ++y) {
    for (int32_t x = r.left; x < r.right; ++x) TestSetPixel(world, x, y, TestPatternAt(x, y));
  }
}

// ---- TestSolidNode ----

TestSolidNode::TestSolidNode(const M_LRect& bounds, PF_RGBA8 color, bool pattern)
    : bounds_(bounds), color_(color), pattern_(pattern) {}

M_LRect TestSolidNode::ComputeContentBounds(RG_ContentBoundsType) const { return bounds_; }

RG_NodeData* TestSolidNode::PreRender(RG_NodePreRenderCB* cb,
                                      const RG_RenderRequest& request) const {
  ++counters.pre_renders;
  cb->RequestOutput(M_Intersect(request.rect, bounds_), color_.alpha == 255 ? 1 : 0, 0);
  return nullptr;
}

void TestSolidNode::Render(RG_NodeRenderCB* cb, const RG_RenderRequest&, const RG_NodeData*) const {
  ++counters.renders;
  PF_World* out = cb->GetCheckoutByID(-1)->GetOutputWorld();
  if (pattern_) {
    TestFillPattern(out);
  } else {
    TestFill(out, color_);
  }
}

// ---- TestInvertNode ----

TestInvertNode::TestInvertNode(RG_RenderNode* input) { inputs_[0] = input; }

RG_NodeData* TestInvertNode::PreRender(RG_NodePreRenderCB* cb,
                                       const RG_RenderRequest& request) const {
  ++counters.pre_renders;
  RG_CheckoutResult* in = cb->CheckoutInput(0, request);
  cb->RequestOutputInPlace(in, in->GetResultRect(), in->GetFlags(), 0);
  return nullptr;
}

void TestInvertNode::Render(RG_NodeRenderCB* cb, const RG_RenderRequest&,
                            const RG_NodeData*) const {
  ++counters.renders;
  PF_World* world = cb->GetCheckoutByID(-1)->GetOutputWorld();
  const M_LRect r = world->GetRect();
  for (int32_t y = r.top; y < r.bottom; ++y) {
    for (int32_t x = r.left; x < r.right; ++x) {
      PF_RGBA8 p = TestPixel(world, x, y);
      p.red = static_cast<uint8_t>(p.alpha - std::min(p.red, p.alpha));
      p.green = static_cast<uint8_t>(p.alpha - std::min(p.green, p.alpha));
      p.blue = static_cast<uint8_t>(p.alpha - std::min(p.blue, p.alpha));
      TestSetPixel(world, x, y, p);
    }
  }
}

// ---- TestGrowNode ----

TestGrowNode::TestGrowNode(RG_RenderNode* input, int32_t margin) : margin_(margin) {
  inputs_[0] = input;
}

RG_NodeData* TestGrowNode::PreRender(RG_NodePreRenderCB* cb,
                                     const RG_RenderRequest& request) const {
  ++counters.pre_renders;
  RG_RenderRequest wider = request;
  wider.rect = M_LRect{request.rect.left - margin_, request.rect.top - margin_,
                       request.rect.right + margin_, request.rect.bottom + margin_};
  cb->CheckoutInput(0, wider);
  cb->RequestOutput(request.rect, 0, 1);
  return nullptr;
}

void TestGrowNode::Render(RG_NodeRenderCB* cb, const RG_RenderRequest&, const RG_NodeData*) const {
  ++counters.renders;
  RG_CheckoutResult* in = cb->GetNextCheckout();
  RG_CheckoutResult* out = cb->GetNextCheckout();
  const PF_World* src = in->GetWorld();
  PF_World* dst = out->GetOutputWorld();
  if (src != nullptr) Blit(dst, src);
}

// ---- TestOverNode ----

TestOverNode::TestOverNode(RG_RenderNode* top, RG_RenderNode* bottom) {
  inputs_.push_back(top);
  inputs_.push_back(bottom);
}

RG_NodeData* TestOverNode::PreRender(RG_NodePreRenderCB* cb,
                                     const RG_RenderRequest& request) const {
  ++counters.pre_renders;
  RG_CheckoutResult* top = cb->CheckoutInput(0, request);
  cb->BeginCheckoutGroup();
  RG_CheckoutResult* bottom = cb->CheckoutInput(1, request);
  const bool opaque =
      (bottom->GetFlags() & RG_OUTPUT_OPAQUE) != 0 && bottom->GetRect() == request.rect;
  cb->RequestOutput(M_Union(top->GetRect(), bottom->GetRect()), opaque ? 1 : 0, 1);
  return nullptr;
}

void TestOverNode::Render(RG_NodeRenderCB* cb, const RG_RenderRequest&, const RG_NodeData*) const {
  ++counters.renders;
  RG_CheckoutResult* top = cb->GetNextCheckout();
  RG_CheckoutResult* bottom = cb->GetNextCheckout();
  RG_CheckoutResult* out = cb->GetNextCheckout();
  const PF_World* topWorld = top->GetWorld();
  if (bottom_counters != nullptr) bottom_renders_seen_at_top_fetch = bottom_counters->renders;
  const PF_World* bottomWorld = bottom->GetWorld();
  PF_World* dst = out->GetOutputWorld();
  if (bottomWorld != nullptr) Blit(dst, bottomWorld);
  if (topWorld == nullptr) return;
  const M_LRect r = M_Intersect(dst->GetRect(), topWorld->GetRect());
  for (int32_t y = r.top; y < r.bottom; ++y) {
    for (int32_t x = r.left; x < r.right; ++x) {
      const PF_RGBA8 s = TestPixel(topWorld, x, y);
      const PF_RGBA8 d = TestPixel(dst, x, y);
      TestSetPixel(dst, x, y,
                   PF_RGBA8{Over(s.red, d.red, s.alpha), Over(s.green, d.green, s.alpha),
                            Over(s.blue, d.blue, s.alpha), Over(s.alpha, d.alpha, s.alpha)});
    }
  }
}

// ---- TestSkipNode ----

TestSkipNode::TestSkipNode(RG_RenderNode* used, RG_RenderNode* skipped, bool withdraw)
    : withdraw_(withdraw) {
  inputs_.push_back(used);
  inputs_.push_back(skipped);
}

RG_NodeData* TestSkipNode::PreRender(RG_NodePreRenderCB* cb,
                                     const RG_RenderRequest& request) const {
  ++counters.pre_renders;
  RG_CheckoutResult* used = cb->CheckoutInput(0, request);
  RG_CheckoutResult* skipped = cb->CheckoutInput(1, request);
  if (withdraw_) skipped->SkipRendering();
  cb->RequestOutputInPlace(used, used->GetResultRect(), used->GetFlags(), 0);
  return nullptr;
}

void TestSkipNode::Render(RG_NodeRenderCB*, const RG_RenderRequest&, const RG_NodeData*) const {
  // Leaves the in-place output alone: the pass renders input 0 into it.
  ++counters.renders;
}

// ---- TestForceRectNode ----

TestForceRectNode::TestForceRectNode(RG_RenderNode* input, const M_LRect& forced)
    : forced_(forced) {
  inputs_[0] = input;
}

RG_NodeData* TestForceRectNode::PreRender(RG_NodePreRenderCB* cb,
                                          const RG_RenderRequest& request) const {
  ++counters.pre_renders;
  cb->CheckoutInput(0, request)->ForceRect(forced_);
  cb->RequestOutput(forced_, 0, 0);
  return nullptr;
}

void TestForceRectNode::Render(RG_NodeRenderCB* cb, const RG_RenderRequest&,
                               const RG_NodeData*) const {
  ++counters.renders;
  RG_CheckoutResult* in = cb->GetNextCheckout();
  RG_CheckoutResult* out = cb->GetNextCheckout();
  const PF_World* src = in->GetWorld();
  PF_World* dst = out->GetOutputWorld();
  TestFill(dst, PF_RGBA8{0, 0, 0, 0});
  if (src != nullptr) Blit(dst, src);
}

// ---- TestLambdaNode ----

TestLambdaNode::TestLambdaNode(std::vector<RG_RenderNode*> inputs, PreRenderFn preRender,
                               RenderFn render)
    : pre_render_(std::move(preRender)), render_(std::move(render)) {
  for (RG_RenderNode* input : inputs) inputs_.push_back(input);
}

RG_NodeData* TestLambdaNode::PreRender(RG_NodePreRenderCB* cb,
                                       const RG_RenderRequest& request) const {
  ++counters.pre_renders;
  return pre_render_ ? pre_render_(cb, request) : nullptr;
}

void TestLambdaNode::Render(RG_NodeRenderCB* cb, const RG_RenderRequest& request,
                            const RG_NodeData* data) const {
  ++counters.renders;
  if (render_) render_(cb, request, data);
}

void TestLambdaNode::SetTestContentBounds(const M_LRect& type0, const M_LRect& type1) {
  has_bounds_ = true;
  bounds_[0] = type0;
  bounds_[1] = type1;
}

M_LRect TestLambdaNode::ComputeContentBounds(RG_ContentBoundsType type) const {
  if (has_bounds_) return bounds_[type == RG_CONTENT_BOUNDS_TYPE1 ? 1 : 0];
  return RG_RenderNode::ComputeContentBounds(type);
}
