// Source and null leaves beyond what the random-graph proof checks: the
// source's bounds, a view at the right place of a wide buffer and no copy,
// and a null node that is empty for every request.

#include <optional>
#include <tuple>

#include "rg/RG_NullNode.h"
#include "rg/RG_SourceBufferNode.h"
#include "support/LeakCheck.h"
#include "support/TestNodes.h"

namespace {

class SourceNullNodeTest : public LeakCheckTest {};

TEST_F(SourceNullNodeTest, SourceIsAViewOfItsBufferAtItsBoundsWithoutACopy) {
  const auto R = TestRect;
  const struct Case {
    M_LRect world;
    std::optional<M_LRect> bounds;  // explicit bounds, if given
    M_LRect request, expected;
    int32_t x0, y0;  // the buffer pixel at the result's top left
  } cases[] = {
      {R(10, 20, 110, 70), {}, R(0, 0, 50, 50), R(10, 20, 50, 50), 0, 0},
      // Explicit bounds place the pixels whatever the world's origin.
      {R(-7, 3, 93, 103), R(100, 100, 200, 200), R(90, 95, 112, 110), R(100, 100, 112, 110), 0, 0},
      // 35000 pixels right of the buffer's left edge: wider than 16 bits.
      {R(0, 0, 40000, 3), R(-1000, 40, 39000, 43), R(34000, 41, 34016, 43), R(34000, 41, 34016, 43),
       35000, 1},
      // Outside the buffer: nothing is rendered.
      {R(10, 20, 110, 70), {}, R(200, 0, 300, 50), {}, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.request.left);
    std::unique_ptr<PF_World> world(PF_World::New(c.world, 8, 0));
    U_SharedPtr<RG_RenderNode> node(c.bounds ? new RG_SourceBufferNode(world.get(), *c.bounds)
                                             : new RG_SourceBufferNode(world.get()));
    const M_LRect bounds = c.bounds.value_or(c.world);
    for (RG_ContentBoundsType type : {RG_CONTENT_BOUNDS_TYPE0, RG_CONTENT_BOUNDS_TYPE1})
      EXPECT_EQ(node->GetContentBounds(type), bounds);
    PF_ResetWorldStats();
    TestOutcome out = TestRun(node.get(), TestRequest(c.request), true);
    EXPECT_EQ(out.rect, c.expected);
    if (M_IsEmpty(c.expected)) {
      EXPECT_EQ(out.world, nullptr);
      continue;
    }
    EXPECT_EQ(out.flags & RG_OUTPUT_OPAQUE, 0) << "a source is not declared opaque";
    ASSERT_NE(out.world, nullptr);
    EXPECT_NE(out.lock, nullptr);
    EXPECT_TRUE(out.world->RefersTo(world.get()));
    EXPECT_EQ(std::tuple(out.world->data, out.world->rowbytes, out.world->GetRect()),
              std::tuple(world->PixelAddress(c.x0, c.y0), world->rowbytes, c.expected));
    EXPECT_EQ(PF_GetWorldStats().pixel_bytes_copied, 0);
  }
  // Deleting a node leaves its world alive.
  std::unique_ptr<PF_World> world(PF_World::New(M_LRect{0, 0, 4, 4}, 8, 1));
  delete new RG_SourceBufferNode(world.get());
  EXPECT_EQ(PF_GetWorldStats().live_worlds, 1);
}

// (Its empty result the random graphs check.)
TEST_F(SourceNullNodeTest, NullNodeHasEmptyBoundsAndNoLock) {
  RG_NullNode node;
  for (RG_ContentBoundsType type : {RG_CONTENT_BOUNDS_TYPE0, RG_CONTENT_BOUNDS_TYPE1})
    EXPECT_EQ(node.GetContentBounds(type), (M_LRect{0, 0, 0, 0}));
  EXPECT_EQ(TestRun(&node, TestRequest(M_LRect{-50, -50, 50, 50}), true).lock, nullptr);
}

}  // namespace
