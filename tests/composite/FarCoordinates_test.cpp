// Compositing at the far ends of the 32-bit render space, where moving a
// rect into buffer coordinates must not negate INT32_MIN (found by fuzzing).
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "composite/CompositeTestNodes.h"
#include "rg/RG_CompositeNode.h"
#include "rg/RG_SourceBufferNode.h"
#include "rg/RG_XformNode.h"
#include "support/LeakCheck.h"

using composite_test::Channel;
using composite_test::Rect;
using composite_test::SolidWorld;
using composite_test::WorldPtr;

class FarCoordinatesTest : public LeakCheckTest {};

TEST_F(FarCoordinatesTest, CompositesAtLeftEdgeOfRenderSpace) {
  constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
  {
    // A transform shifts the red source one column right over blue.
    WorldPtr red = SolidWorld(Rect(kMin, 0, kMin + 4, 4), 8, 1, 0, 0, 1);
    WorldPtr blue = SolidWorld(Rect(kMin, 0, kMin + 8, 4), 8, 0, 0, 1, 1);
    U_SharedPtr<RG_RenderNode> src(new RG_SourceBufferNode(red.get()));
    U_SharedPtr<RG_RenderNode> dest(new RG_SourceBufferNode(blue.get()));
    const M_Matrix3 shift = composite_test::Translation(1, 0);
    U_SharedPtr<RG_RenderNode> xform(
        new RG_XformNode(&shift, 1, PF_CompositeModePlus{}, 0, src.get(), dest.get(), nullptr, 0));
    composite_test::Result r = composite_test::ExecuteGraph(xform.get(), blue->GetRect());
    ASSERT_NE(r.world, nullptr);
    EXPECT_EQ(r.rect.left, kMin);
    ASSERT_EQ(r.world->width, 8);
    EXPECT_DOUBLE_EQ(Channel(*r.world, 0, 2, 2), 1.0);
    EXPECT_DOUBLE_EQ(Channel(*r.world, 1, 2, 0), 1.0);
    EXPECT_DOUBLE_EQ(Channel(*r.world, 4, 2, 0), 1.0);
    EXPECT_DOUBLE_EQ(Channel(*r.world, 5, 2, 2), 1.0);
  }
  // A layer composite at half opacity with both corners at INT32_MIN.
  const M_LRect corner = Rect(kMin, kMin, kMin + 4, kMin + 4);
  WorldPtr red = SolidWorld(corner, 8, 1, 0, 0, 1);
  WorldPtr blue = SolidWorld(corner, 8, 0, 0, 1, 1);
  U_SharedPtr<RG_RenderNode> src(new RG_SourceBufferNode(red.get()));
  U_SharedPtr<RG_RenderNode> dest(new RG_SourceBufferNode(blue.get()));
  U_SharedPtr<RG_RenderNode> comp(new RG_CompositeNode(
      src.get(), composite_test::Mode(PF_BLEND_NORMAL, 0.5f), dest.get(), nullptr, 0));
  composite_test::Result r = composite_test::ExecuteGraph(comp.get(), corner);
  ASSERT_NE(r.world, nullptr);
  ASSERT_EQ(r.world->width, 4);
  EXPECT_NEAR(Channel(*r.world, 3, 3, 0), 0.5, 1.0 / 255);
  EXPECT_NEAR(Channel(*r.world, 3, 3, 2), 0.5, 1.0 / 255);
}
