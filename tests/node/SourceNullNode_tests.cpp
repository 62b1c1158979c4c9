#include <cstdint>
#include <memory>

#include "rg/RG_NullNode.h"
#include "rg/RG_RenderNode.h"
#include "rg/RG_SourceBufferNode.h"
#include "rg/RG_Traverser.h"
#include "rghost/PF_World.h"
#include "support/LeakCheck.h"

namespace {

// Pixel (x, y) of a test buffer encodes its own coordinates.
PF_Pixel8 PatternPixel(int32_t x, int32_t y) {
  return PF_Pixel8{static_cast<uint8_t>(x & 0xFF), static_cast<uint8_t>((x >> 8) & 0xFF),
                   static_cast<uint8_t>(y & 0xFF), 255};
}

PF_World* NewPatternWorld(const M_LRect& rect) {
  PF_World* world = PF_World::New(rect, 8, 0);
  for (int32_t y = 0; y < world->height; ++y) {
    for (int32_t x = 0; x < world->width; ++x) {
      *static_cast<PF_Pixel8*>(world->PixelAddress(x, y)) = PatternPixel(x, y);
    }
  }
  return world;
}

bool SamePixel(const PF_World* world, int32_t x, int32_t y, PF_Pixel8 expected) {
  const auto* p = static_cast<const PF_Pixel8*>(world->PixelAddress(x, y));
  return p->red == expected.red && p->green == expected.green && p->blue == expected.blue &&
         p->alpha == expected.alpha;
}

RG_RenderRequest Request(const M_LRect& rect) {
  RG_RenderRequest r;
  r.rect = rect;
  r.bit_depth = 8;
  return r;
}

// Counts the renders the traversal asks of a source node.
class CountingSourceNode : public RG_SourceBufferNode {
 public:
  using RG_SourceBufferNode::RG_SourceBufferNode;
  void Render(RG_NodeRenderCB* cb, const RG_RenderRequest& request,
              const RG_NodeData* data) const override {
    ++renders;
    RG_SourceBufferNode::Render(cb, request, data);
  }
  mutable int renders = 0;
};

// The world and lock Execute hands back, deleted lock first.
struct Output {
  M_LRect rect{-1, -1, -1, -1};
  char flags = 0;
  PF_World* world = nullptr;
  RG_BufferLock* lock = nullptr;
  ~Output() {
    delete lock;
    delete world;
  }
};

class SourceNullNodeTest : public LeakCheckTest {};

TEST_F(SourceNullNodeTest, BoundsComeFromTheWorldOrTheCaller) {
  std::unique_ptr<PF_World> world(PF_World::New(M_LRect{10, 20, 110, 70}, 8, 1));
  RG_SourceBufferNode fromWorld(world.get());
  EXPECT_EQ(fromWorld.GetContentBounds(RG_CONTENT_BOUNDS_TYPE0), (M_LRect{10, 20, 110, 70}));
  EXPECT_EQ(fromWorld.GetContentBounds(RG_CONTENT_BOUNDS_TYPE1), (M_LRect{10, 20, 110, 70}));
  EXPECT_EQ(fromWorld.GetNumInputs(), 0);
  EXPECT_EQ(fromWorld.GetProfileLabel(), "RG_SourceBufferNode");

  RG_SourceBufferNode explicitBounds(world.get(), M_LRect{100, 100, 200, 150});
  EXPECT_EQ(explicitBounds.GetContentBounds(RG_CONTENT_BOUNDS_TYPE1),
            (M_LRect{100, 100, 200, 150}));
}

TEST_F(SourceNullNodeTest, RequestIsClippedAndRenderedAsALockedView) {
  std::unique_ptr<PF_World> world(NewPatternWorld(M_LRect{10, 20, 110, 70}));
  CountingSourceNode node(world.get());
  {
    RG_Traverser traverser(&node);
    traverser.PreRenderGraph(Request({0, 0, 50, 50}));
    EXPECT_EQ(traverser.GetNodeRect(&node), (M_LRect{10, 20, 50, 50}));
    EXPECT_EQ(traverser.GetNodeData(&node), nullptr);
  }

  Output out;
  RG_ExecuteGraph(&node, Request({0, 0, 50, 50}), &out.rect, &out.flags, &out.world, &out.lock);
  EXPECT_EQ(node.renders, 1);
  EXPECT_EQ(out.rect, (M_LRect{10, 20, 50, 50}));
  EXPECT_EQ(out.flags & 1, 0) << "a source is not declared opaque";
  ASSERT_NE(out.world, nullptr);
  EXPECT_NE(out.lock, nullptr);
  // A view of the buffer's area left 0, top 0, right 40, bottom 30: no copy.
  EXPECT_TRUE(out.world->RefersTo(world.get()));
  EXPECT_EQ(out.world->width, 40);
  EXPECT_EQ(out.world->height, 30);
  EXPECT_EQ(out.world->data, world->PixelAddress(0, 0));
}

TEST_F(SourceNullNodeTest, RequestOutsideTheBufferRendersNothing) {
  std::unique_ptr<PF_World> world(PF_World::New(M_LRect{10, 20, 110, 70}, 8, 1));
  CountingSourceNode node(world.get());
  {
    RG_Traverser traverser(&node);
    traverser.PreRenderGraph(Request({200, 0, 300, 50}));
    EXPECT_TRUE(M_IsEmpty(traverser.GetNodeRect(&node)));
  }
  Output out;
  RG_ExecuteGraph(&node, Request({200, 0, 300, 50}), &out.rect, &out.flags, &out.world,
                  &out.lock);
  EXPECT_EQ(node.renders, 0);
  EXPECT_EQ(out.world, nullptr);
  EXPECT_EQ(out.rect, (M_LRect{0, 0, 0, 0}));
}

TEST_F(SourceNullNodeTest, ExplicitBoundsPlaceThePixelsWhateverTheWorldsOrigin) {
  std::unique_ptr<PF_World> world(NewPatternWorld(M_LRect{-7, 3, 93, 103}));
  RG_SourceBufferNode node(world.get(), M_LRect{100, 100, 200, 200});
  Output out;
  RG_ExecuteGraph(&node, Request({90, 95, 112, 110}), &out.rect, &out.flags, &out.world, nullptr);
  EXPECT_EQ(out.rect, (M_LRect{100, 100, 112, 110}));
  ASSERT_NE(out.world, nullptr);
  ASSERT_EQ(out.world->width, 12);
  ASSERT_EQ(out.world->height, 10);
  // Graph point (100, 100) is the buffer's pixel (0, 0).
  EXPECT_TRUE(SamePixel(out.world, 0, 0, PatternPixel(0, 0)));
  EXPECT_TRUE(SamePixel(out.world, 11, 9, PatternPixel(11, 9)));
}

TEST_F(SourceNullNodeTest, BuffersWiderThan16BitCoordinates) {
  // The requested area lies 35000 pixels right of the buffer's left edge.
  std::unique_ptr<PF_World> world(NewPatternWorld(M_LRect{0, 0, 40000, 3}));
  RG_SourceBufferNode node(world.get(), M_LRect{-1000, 40, 39000, 43});
  Output out;
  RG_ExecuteGraph(&node, Request({34000, 41, 34016, 43}), &out.rect, &out.flags, &out.world,
                  nullptr);
  EXPECT_EQ(out.rect, (M_LRect{34000, 41, 34016, 43}));
  ASSERT_NE(out.world, nullptr);
  ASSERT_EQ(out.world->width, 16);
  ASSERT_EQ(out.world->height, 2);
  for (int32_t y = 0; y < 2; ++y) {
    for (int32_t x = 0; x < 16; ++x) {
      EXPECT_TRUE(SamePixel(out.world, x, y, PatternPixel(35000 + x, 1 + y)))
          << "pixel " << x << ", " << y;
    }
  }
}

TEST_F(SourceNullNodeTest, DeletingTheNodeLeavesTheWorldAlive) {
  PF_World* world = NewPatternWorld(M_LRect{0, 0, 4, 4});
  const long worlds = PF_GetWorldStats().live_worlds;
  delete new RG_SourceBufferNode(world);
  EXPECT_EQ(PF_GetWorldStats().live_worlds, worlds);
  EXPECT_TRUE(SamePixel(world, 3, 3, PatternPixel(3, 3)));
  delete world;
}

TEST_F(SourceNullNodeTest, NullNodeIsEmptyForEveryRequest) {
  RG_NullNode node;
  EXPECT_EQ(node.GetContentBounds(RG_CONTENT_BOUNDS_TYPE0), (M_LRect{0, 0, 0, 0}));
  EXPECT_EQ(node.GetContentBounds(RG_CONTENT_BOUNDS_TYPE1), (M_LRect{0, 0, 0, 0}));
  EXPECT_EQ(node.GetNumInputs(), 0);
  for (const M_LRect& rect : {M_LRect{0, 0, 10, 10}, M_LRect{-50, -50, 50, 50}}) {
    RG_Traverser traverser(&node);
    traverser.PreRenderGraph(Request(rect));
    EXPECT_EQ(traverser.GetNodeRect(&node), (M_LRect{0, 0, 0, 0}));
  }
  Output out;
  RG_ExecuteGraph(&node, Request({0, 0, 10, 10}), &out.rect, &out.flags, &out.world, &out.lock);
  EXPECT_EQ(out.world, nullptr);
  EXPECT_EQ(out.lock, nullptr);
}

}  // namespace
