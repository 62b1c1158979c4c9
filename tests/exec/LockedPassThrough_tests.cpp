// An in-place node that leaves its output untouched passes a locked input
// on as it is: the view and the lock move together and no pixel is copied,
// while a consumer that writes still gets a copy of its own.

#include <gtest/gtest.h>

#include <memory>

#include "exec/ExecTestAccess.h"
#include "rg/RG_CheckoutResult.h"
#include "rg/RG_NodeCallbacks.h"
#include "rg/RG_SourceBufferNode.h"
#include "rg/RG_Traverser.h"
#include "support/LeakCheck.h"
#include "support/TestNodes.h"

namespace {

constexpr PF_RGBA8 kRed{200, 0, 0, 255};

// In place over input 0; Render does nothing, so the pass renders the input
// into the output.
TestLambdaNode* PassThrough(RG_RenderNode* input) {
  return new TestLambdaNode(
      {input},
      [](RG_NodePreRenderCB* cb, const RG_RenderRequest& r) -> RG_NodeData* {
        RG_CheckoutResult* in = cb->CheckoutInput(0, r);
        cb->RequestOutputInPlace(in, in->GetResultRect(), in->GetFlags(), 0);
        return nullptr;
      },
      [](RG_NodeRenderCB*, const RG_RenderRequest&, const RG_NodeData*) {});
}

}  // namespace

class LockedPassThroughTest : public LeakCheckTest {};

TEST_F(LockedPassThroughTest, CallerTakingTheLockGetsTheSourceBufferUncopied) {
  std::unique_ptr<PF_World> buffer(TestMakeWorld(TestRect(0, 0, 32, 16), kRed));
  U_SharedPtr<RG_RenderNode> root(PassThrough(PassThrough(new RG_SourceBufferNode(buffer.get()))));
  PF_ResetWorldStats();

  TestOutcome out = TestRun(root.get(), TestRequest(TestRect(0, 0, 32, 16)), true);
  const PF_World* world = out.world.get();
  ASSERT_NE(world, nullptr);
  EXPECT_NE(out.lock, nullptr);
  EXPECT_TRUE(world->RefersTo(buffer.get()));
  EXPECT_EQ(PF_GetWorldStats().pixel_bytes_copied, 0);
  EXPECT_EQ(PF_GetWorldStats().worlds_allocated, 0);
  EXPECT_TRUE(TestSame(TestPixel(world, 5, 5), kRed));
}

TEST_F(LockedPassThroughTest, WritingConsumerAboveStillCopiesAndTheSourceStaysIntact) {
  std::unique_ptr<PF_World> buffer(TestMakeWorld(TestRect(0, 0, 32, 16), kRed));
  auto* invert = new TestInvertNode(PassThrough(new RG_SourceBufferNode(buffer.get())));
  U_SharedPtr<RG_RenderNode> root(invert);
  PF_ResetWorldStats();

  TestOutcome out = TestRun(root.get(), TestRequest(TestRect(0, 0, 32, 16)), true);
  const PF_World* world = out.world.get();
  ASSERT_NE(world, nullptr);
  EXPECT_EQ(out.lock, nullptr);
  EXPECT_FALSE(world->RefersTo(buffer.get()));
  EXPECT_EQ(PF_GetWorldStats().pixel_bytes_copied, 32 * 16 * 4);
  EXPECT_TRUE(TestSame(TestPixel(world, 5, 5), PF_RGBA8{55, 255, 255, 255}));
  EXPECT_TRUE(TestSame(TestPixel(buffer.get(), 5, 5), kRed));
}

TEST_F(LockedPassThroughTest, DestinationFormCopiesOnceIntoTheCallersBuffer) {
  std::unique_ptr<PF_World> buffer(TestMakeWorld(TestRect(0, 0, 32, 16), kRed));
  U_SharedPtr<RG_RenderNode> root(PassThrough(new RG_SourceBufferNode(buffer.get())));
  std::unique_ptr<PF_World> dest(PF_World::New(TestRect(0, 0, 32, 16), 8, 1));
  PF_ResetWorldStats();

  M_LRect rect;
  RG_ExecuteGraph(root.get(), TestRequest(TestRect(0, 0, 32, 16)), TestRect(0, 0, 32, 16),
                  dest.get(), &rect);
  EXPECT_EQ(PF_GetWorldStats().pixel_bytes_copied, 32 * 16 * 4);
  EXPECT_TRUE(TestSame(TestPixel(dest.get(), 31, 15), kRed));
}
