#include "support/TestNodes.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <utility>

void TestRunOnThread(size_t stackBytes, std::function<void()> body) {
  pthread_attr_t attr;
  ASSERT_EQ(pthread_attr_init(&attr), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attr, stackBytes), 0);
  pthread_t thread;
  auto run = [](void* f) -> void* {
    (*static_cast<std::function<void()>*>(f))();
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, &attr, run, &body), 0);
  ASSERT_EQ(pthread_join(thread, nullptr), 0);
  pthread_attr_destroy(&attr);
}

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

void TestFill(PF_World* world, PF_RGBA8 c) {
  for (int32_t y = 0; y < world->height; ++y)
    for (int32_t x = 0; x < world->width; ++x)
      *static_cast<PF_RGBA8*>(world->PixelAddress(x, y)) = c;
}

bool TestSame(PF_RGBA8 a, PF_RGBA8 b) {
  return a.red == b.red && a.green == b.green && a.blue == b.blue && a.alpha == b.alpha;
}

PF_RGBA8 TestPatternAt(int32_t x, int32_t y) {
  return PF_RGBA8{static_cast<uint8_t>(x & 0xFF), static_cast<uint8_t>(y & 0xFF),
                  static_cast<uint8_t>((x ^ y) & 0x7F), 255};
}

void TestFillPattern(PF_World* world) {
  for (int32_t y = 0; y < world->height; ++y)
    for (int32_t x = 0; x < world->width; ++x)
      *static_cast<PF_RGBA8*>(world->PixelAddress(x, y)) =
          TestPatternAt(x + world->origin_x, y + world->origin_y);
}

TestLambdaNode* TestSolid(const M_LRect& bounds, PF_RGBA8 color, bool pattern) {
  auto* node = new TestLambdaNode(
      {},
      [=](RG_NodePreRenderCB* cb, const RG_RenderRequest& request) {
        cb->RequestOutput(M_Intersect(request.rect, bounds), color.alpha == 255 ? 1 : 0, 0);
      },
      [=](RG_NodeRenderCB* cb) {
        PF_World* out = cb->GetCheckoutByID(-1)->GetOutputWorld();
        pattern ? TestFillPattern(out) : TestFill(out, color);
      });
  node->SetTestContentBounds(bounds, bounds);
  return node;
}

TestLambdaNode* TestOver(RG_RenderNode* top, RG_RenderNode* bottom) {
  return new TestLambdaNode(
      {top, bottom},
      [](RG_NodePreRenderCB* cb, const RG_RenderRequest& request) {
        RG_CheckoutResult* t = cb->CheckoutInput(0, request);
        cb->BeginCheckoutGroup();
        RG_CheckoutResult* b = cb->CheckoutInput(1, request);
        const bool opaque = (b->GetFlags() & RG_OUTPUT_OPAQUE) != 0 && b->GetRect() == request.rect;
        cb->RequestOutput(M_Union(t->GetRect(), b->GetRect()), opaque ? 1 : 0, 1);
      },
      [](RG_NodeRenderCB* cb) {
        const PF_World* layers[] = {cb->GetNextCheckout()->GetWorld(),
                                    cb->GetNextCheckout()->GetWorld()};
        PF_World* dst = cb->GetNextCheckout()->GetOutputWorld();
        for (const PF_World* src : {layers[1], layers[0]}) {
          if (src == nullptr) continue;
          const M_LRect r = M_Intersect(dst->GetRect(), src->GetRect());
          for (int32_t y = r.top; y < r.bottom; ++y) {
            for (int32_t x = r.left; x < r.right; ++x) {
              const PF_RGBA8 s = TestPixel(src, x, y);
              auto* d =
                  static_cast<uint8_t*>(dst->PixelAddress(x - dst->origin_x, y - dst->origin_y));
              const uint8_t* sc = &s.red;
              for (int c = 0; c < 4; ++c)
                d[c] = static_cast<uint8_t>(sc[c] + (d[c] * (255 - s.alpha) + 127) / 255);
            }
          }
        }
      });
}

TestLambdaNode::TestLambdaNode(std::vector<RG_RenderNode*> inputs, PreRenderFn preRender,
                               RenderFn render)
    : pre_render_(std::move(preRender)), render_(std::move(render)) {
  for (RG_RenderNode* input : inputs) inputs_.push_back(input);
}

RG_NodeData* TestLambdaNode::PreRender(RG_NodePreRenderCB* cb,
                                       const RG_RenderRequest& request) const {
  ++counters.pre_renders;
  counters.requests.push_back(request);
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
