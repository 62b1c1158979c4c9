#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>

#include "rg/RG_NullNode.h"
#include "rg/RG_RenderNode.h"
#include "rg/RG_SourceBufferNode.h"
#include "rg/RG_Traverser.h"
#include "rghost/PF_World.h"
#include "support/LeakCheck.h"
#include "support/TestNodes.h"

namespace {

RG_RenderRequest Request(const M_LRect& rect) { return TestRequest(rect); }

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

  // Deleting the node leaves the world alive.
  const long worlds = PF_GetWorldStats().live_worlds;
  delete new RG_SourceBufferNode(world.get());
  EXPECT_EQ(PF_GetWorldStats().live_worlds, worlds);
}

TEST_F(SourceNullNodeTest, RequestIsClippedAndRenderedAsALockedView) {
  struct Case {
    M_LRect world;
    std::optional<M_LRect> bounds;  // explicit bounds, if given
    M_LRect request, expected;
    int32_t x0, y0;  // the buffer pixel at the result's top left
  };
  for (const Case& c : {Case{{10, 20, 110, 70}, {}, {0, 0, 50, 50}, {10, 20, 50, 50}, 0, 0},
                        // Explicit bounds place the pixels whatever the world's origin.
                        Case{{-7, 3, 93, 103},
                             M_LRect{100, 100, 200, 200},
                             {90, 95, 112, 110},
                             {100, 100, 112, 110},
                             0,
                             0},
                        // 35000 pixels right of the buffer's left edge: wider than 16 bits.
                        Case{{0, 0, 40000, 3},
                             M_LRect{-1000, 40, 39000, 43},
                             {34000, 41, 34016, 43},
                             {34000, 41, 34016, 43},
                             35000,
                             1},
                        // Outside the buffer: nothing is rendered.
                        Case{{10, 20, 110, 70}, {}, {200, 0, 300, 50}, {0, 0, 0, 0}, 0, 0}}) {
    SCOPED_TRACE(c.request.left);
    std::unique_ptr<PF_World> world(PF_World::New(c.world, 8, 0));
    auto made = c.bounds ? std::make_unique<CountingSourceNode>(world.get(), *c.bounds)
                         : std::make_unique<CountingSourceNode>(world.get());
    const CountingSourceNode& node = *made;
    {
      RG_Traverser traverser(&node);
      traverser.PreRenderGraph(Request(c.request));
      const M_LRect declared = traverser.GetNodeRect(&node);
      EXPECT_TRUE(M_IsEmpty(c.expected) ? M_IsEmpty(declared) : declared == c.expected);
      EXPECT_EQ(traverser.GetNodeData(&node), nullptr);
    }
    TestOutcome out = TestRun(&node, Request(c.request), true);
    EXPECT_EQ(out.rect, c.expected);
    if (M_IsEmpty(c.expected)) {
      EXPECT_EQ(node.renders, 0);
      EXPECT_EQ(out.world, nullptr);
      continue;
    }
    EXPECT_EQ(node.renders, 1);
    EXPECT_EQ(out.flags & RG_OUTPUT_OPAQUE, 0) << "a source is not declared opaque";
    ASSERT_NE(out.world, nullptr);
    EXPECT_NE(out.lock, nullptr);
    // A view of the buffer at the right place: no copy.
    EXPECT_TRUE(out.world->RefersTo(world.get()));
    EXPECT_EQ(out.world->data, world->PixelAddress(c.x0, c.y0));
    EXPECT_EQ(out.world->rowbytes, world->rowbytes);
    EXPECT_EQ(out.world->GetRect(), c.expected);
  }
}

// A request at another depth than the buffer's gets the host's conversion of
// the requested area, in a buffer of its own; the source stays as it was.
TEST_F(SourceNullNodeTest, OtherDepthsAreConvertedByTheHost) {
  std::unique_ptr<PF_World> world(PF_World::New(M_LRect{0, 0, 300, 4}, 8, 0));
  TestFillPattern(world.get());
  RG_SourceBufferNode node(world.get());
  for (short depth : {16, 32}) {
    RG_RenderRequest request = Request(M_LRect{250, 1, 400, 3});  // past the right edge
    request.bit_depth = depth;
    TestOutcome out = TestRun(&node, request, true);
    ASSERT_NE(out.world, nullptr);
    EXPECT_EQ(out.world->GetDepth(), depth);
    EXPECT_FALSE(out.world->RefersTo(world.get()));
    std::unique_ptr<PF_World> expected(PF_World::New(out.rect, depth, 1));
    expected->ConvertPixels(world.get(), &out.rect, 1, 0, 0, 0);
    const size_t rowBytes = static_cast<size_t>(out.world->width) * PF_BytesPerPixel(depth);
    for (int32_t y = 0; y < out.world->height; ++y)
      EXPECT_EQ(std::memcmp(out.world->PixelAddress(0, y), expected->PixelAddress(0, y), rowBytes),
                0);
  }
  EXPECT_TRUE(TestSame(TestPixel(world.get(), 260, 2), TestPatternAt(260, 2)));
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
  TestOutcome out = TestRun(&node, Request({0, 0, 10, 10}), true);
  EXPECT_EQ(out.world, nullptr);
  EXPECT_EQ(out.lock, nullptr);
}

}  // namespace
