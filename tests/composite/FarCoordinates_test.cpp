// Compositing at the far ends of the 32-bit render space (found by fuzzing):
// moving a rect into buffer coordinates must not negate INT32_MIN, and a
// mask's offset more than 2^31 pixels from the output must not overflow.

#include <limits>

#include "rg/RG_CompositeNode.h"
#include "rg/RG_SourceBufferNode.h"
#include "rg/RG_XformNode.h"
#include "support/LeakCheck.h"
#include "support/ProofNodes.h"
#include "support/TestNodes.h"

constexpr auto Rect = TestRect;

namespace {

constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
constexpr PF_RGBA8 kRed{255, 0, 0, 255}, kBlue{0, 0, 255, 255}, kWhite{255, 255, 255, 255};

struct Leaf {
  Leaf(const M_LRect& rect, PF_RGBA8 color)
      : world(TestMakeWorld(rect, color)), node(new RG_SourceBufferNode(world.get())) {}
  ProofWorldPtr world;  // declared first: the node borrows it
  U_SharedPtr<RG_RenderNode> node;
};

}  // namespace

class FarCoordinatesTest : public LeakCheckTest {};

TEST_F(FarCoordinatesTest, CompositesAtLeftEdgeOfRenderSpace) {
  {
    // A transform shifts the red source one column right over blue.
    Leaf red(Rect(kMin, 0, kMin + 4, 4), kRed), blue(Rect(kMin, 0, kMin + 8, 4), kBlue);
    const M_Matrix3 shift = ProofShift(1, 0);
    U_SharedPtr<RG_RenderNode> xform(new RG_XformNode(&shift, 1, PF_CompositeModePlus{}, 0,
                                                      red.node.get(), blue.node.get(), nullptr, 0));
    TestOutcome r = TestRun(xform.get(), blue.world->GetRect());
    ASSERT_NE(r.world, nullptr);
    EXPECT_EQ(r.rect.left, kMin);
    ASSERT_EQ(r.world->width, 8);
    for (int32_t x : {0, 5}) EXPECT_TRUE(TestSame(TestPixel(r.world.get(), kMin + x, 2), kBlue));
    for (int32_t x : {1, 4}) EXPECT_TRUE(TestSame(TestPixel(r.world.get(), kMin + x, 2), kRed));
  }
  // A layer composite at half opacity with both corners at INT32_MIN.
  const M_LRect corner = Rect(kMin, kMin, kMin + 4, kMin + 4);
  Leaf red(corner, kRed), blue(corner, kBlue);
  U_SharedPtr<RG_RenderNode> comp(new RG_CompositeNode(
      red.node.get(), ProofMode(PF_BLEND_NORMAL, 0.5f), blue.node.get(), nullptr, 0));
  TestOutcome r = TestRun(comp.get(), corner);
  ASSERT_NE(r.world, nullptr);
  ASSERT_EQ(r.world->width, 4);
  const PF_RGBA8 p = TestPixel(r.world.get(), kMin + 3, kMin + 3);
  EXPECT_NEAR(p.red, 127.5, 1);
  EXPECT_NEAR(p.blue, 127.5, 1);
}

// The source sits at the left edge, an inverted mask at the origin: the mask
// does not reach the source's pixels, so inverted it lets all of them through.
TEST_F(FarCoordinatesTest, InvertedMaskMoreThan2To31PixelsAwayLetsSourceThrough) {
  Leaf red(Rect(kMin, 0, kMin + 4, 4), kRed), white(Rect(0, 0, 4, 4), kWhite);
  U_SharedPtr<RG_RenderNode> comp(new RG_CompositeNode(
      red.node.get(), PF_CompositeModePlus{}, nullptr, white.node.get(), PF_MASK_INVERTED_ALPHA));
  TestOutcome r = TestRun(comp.get(), Rect(kMin, 0, 8, 4));
  ASSERT_NE(r.world, nullptr);
  EXPECT_EQ(r.rect.left, kMin);
  ASSERT_EQ(r.world->width, 4);
  EXPECT_TRUE(TestSame(TestPixel(r.world.get(), kMin + 2, 2), kRed));
}
