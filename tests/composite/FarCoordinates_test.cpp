// Compositing at the far ends of the 32-bit render space, where moving a
// rect into buffer coordinates must not negate INT32_MIN (found by fuzzing).
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "composite/CompositeTestNodes.h"
#include "rg/RG_CompositeNode.h"
#include "rg/RG_SourceBufferNode.h"
#include "rg/RG_Traverser.h"
#include "rg/RG_XformNode.h"
#include "support/LeakCheck.h"

using composite_test::Channel;
using composite_test::Rect;
using composite_test::SetChannel;
using composite_test::Translation;
using composite_test::WorldPtr;

namespace {

constexpr int32_t kMin = std::numeric_limits<int32_t>::min();

class FarCoordinatesTest : public LeakCheckTest {};

// A world at `rect` filled with one opaque colour (premultiplied).
WorldPtr Solid(const M_LRect& rect, double r, double g, double b) {
  WorldPtr w(PF_World::New(rect, 8, 1));
  for (int32_t y = 0; y < w->height; ++y) {
    for (int32_t x = 0; x < w->width; ++x) {
      SetChannel(*w, x, y, 0, r);
      SetChannel(*w, x, y, 1, g);
      SetChannel(*w, x, y, 2, b);
      SetChannel(*w, x, y, 3, 1.0);
    }
  }
  return w;
}

TEST_F(FarCoordinatesTest, TransformIntoDestinationAtLeftEdgeOfRenderSpace) {
  WorldPtr red = Solid(Rect(kMin, 0, kMin + 4, 4), 1, 0, 0);
  WorldPtr blue = Solid(Rect(kMin, 0, kMin + 8, 4), 0, 0, 1);
  U_SharedPtr<RG_RenderNode> src(new RG_SourceBufferNode(red.get()));
  U_SharedPtr<RG_RenderNode> dest(new RG_SourceBufferNode(blue.get()));
  const M_Matrix3 shift = Translation(1, 0);
  U_SharedPtr<RG_RenderNode> xform(new RG_XformNode(&shift, 1, PF_CompositeModePlus{}, 0,
                                                    src.get(), dest.get(), nullptr, 0));
  RG_RenderRequest request;
  request.rect = Rect(kMin, 0, kMin + 8, 4);
  M_LRect outRect;
  char flags = 0;
  PF_World* out = nullptr;
  RG_ExecuteGraph(xform.get(), request, &outRect, &flags, &out, nullptr);
  WorldPtr result(out);
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(outRect.left, kMin);
  ASSERT_EQ(result->width, 8);
  // Column 0 keeps the destination; the source lands one column right.
  EXPECT_DOUBLE_EQ(Channel(*result, 0, 2, 2), 1.0);
  EXPECT_DOUBLE_EQ(Channel(*result, 1, 2, 0), 1.0);
  EXPECT_DOUBLE_EQ(Channel(*result, 4, 2, 0), 1.0);
  EXPECT_DOUBLE_EQ(Channel(*result, 5, 2, 2), 1.0);
}

TEST_F(FarCoordinatesTest, LayerCompositeOfSourceAtLeftEdgeOfRenderSpace) {
  WorldPtr red = Solid(Rect(kMin, kMin, kMin + 4, kMin + 4), 1, 0, 0);
  WorldPtr blue = Solid(Rect(kMin, kMin, kMin + 4, kMin + 4), 0, 0, 1);
  U_SharedPtr<RG_RenderNode> src(new RG_SourceBufferNode(red.get()));
  U_SharedPtr<RG_RenderNode> dest(new RG_SourceBufferNode(blue.get()));
  PF_CompositeModePlus half;
  half.opacity = 0.5f;
  U_SharedPtr<RG_RenderNode> comp(
      new RG_CompositeNode(src.get(), half, dest.get(), nullptr, 0));
  RG_RenderRequest request;
  request.rect = Rect(kMin, kMin, kMin + 4, kMin + 4);
  M_LRect outRect;
  char flags = 0;
  PF_World* out = nullptr;
  RG_ExecuteGraph(comp.get(), request, &outRect, &flags, &out, nullptr);
  WorldPtr result(out);
  ASSERT_NE(result, nullptr);
  ASSERT_EQ(result->width, 4);
  EXPECT_NEAR(Channel(*result, 3, 3, 0), 0.5, 1.0 / 255);
  EXPECT_NEAR(Channel(*result, 3, 3, 2), 0.5, 1.0 / 255);
}

}  // namespace
