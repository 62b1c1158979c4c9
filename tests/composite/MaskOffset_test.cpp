// The mask record's offset when the mask lies more than 2^31 pixels from the
// output (found by fuzzing: the subtraction overflowed).
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "composite/CompositeTestNodes.h"
#include "rg/RG_CompositeNode.h"
#include "rg/RG_SourceBufferNode.h"
#include "rg/RG_Traverser.h"
#include "support/LeakCheck.h"

using composite_test::Channel;
using composite_test::Rect;
using composite_test::SolidWorld;
using composite_test::WorldPtr;

class MaskOffsetTest : public LeakCheckTest {};

// A request from the left edge of the render space to x = 8: the source sits
// at the left edge, an inverted mask at the origin. The mask does not reach
// the source's pixels, so inverted it lets all of them through.
TEST_F(MaskOffsetTest, InvertedMaskMoreThan2To31PixelsAwayLetsSourceThrough) {
  constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
  WorldPtr red = SolidWorld(Rect(kMin, 0, kMin + 4, 4), 8, 1, 0, 0, 1);
  WorldPtr white = SolidWorld(Rect(0, 0, 4, 4), 8, 1, 1, 1, 1);
  U_SharedPtr<RG_RenderNode> src(new RG_SourceBufferNode(red.get()));
  U_SharedPtr<RG_RenderNode> mask(new RG_SourceBufferNode(white.get()));
  U_SharedPtr<RG_RenderNode> comp(new RG_CompositeNode(src.get(), PF_CompositeModePlus{}, nullptr,
                                                       mask.get(), PF_MASK_INVERTED_ALPHA));
  RG_RenderRequest request;
  request.rect = Rect(kMin, 0, 8, 4);
  M_LRect outRect;
  char flags = 0;
  PF_World* out = nullptr;
  RG_ExecuteGraph(comp.get(), request, &outRect, &flags, &out, nullptr);
  WorldPtr result(out);
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(outRect.left, kMin);
  ASSERT_EQ(result->width, 4);
  EXPECT_DOUBLE_EQ(Channel(*result, 2, 2, 0), 1.0);
  EXPECT_DOUBLE_EQ(Channel(*result, 2, 2, 3), 1.0);
}
