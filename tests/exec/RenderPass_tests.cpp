// The render pass: rendering once, the hand-over of buffers (views, the
// buffer itself, copies only where sharing is impossible), in-place and
// locked outputs, checkout groups, check-in and the render-side checks.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "exec/ExecTestAccess.h"
#include "rg/RG_SourceBufferNode.h"
#include "rg/RG_Traverser.h"
#include "support/LeakCheck.h"
#include "support/TestNodes.h"

namespace {

constexpr PF_RGBA8 kRed{200, 0, 0, 255};
constexpr PF_RGBA8 kBlue{0, 0, 200, 255};
constexpr PF_RGBA8 kClear{0, 0, 0, 0};

long long BytesCopied() { return PF_GetWorldStats().pixel_bytes_copied; }

PF_RGBA8 Inverted(PF_RGBA8 p) {
  return PF_RGBA8{static_cast<uint8_t>(p.alpha - p.red), static_cast<uint8_t>(p.alpha - p.green),
                  static_cast<uint8_t>(p.alpha - p.blue), p.alpha};
}

}  // namespace

class RenderPassTest : public LeakCheckTest {};

TEST_F(RenderPassTest, ThreeConsumersGetTwoViewsThenTheBuffer) {
  auto* pattern = new TestPatternNode(TestRect(0, 0, 64, 64));
  struct Seen {
    bool reference;
    bool writable;
  };
  std::vector<Seen> seen;
  U_SharedPtr<RG_RenderNode> root(new TestLambdaNode(
      {pattern, pattern, pattern},
      [](RG_NodePreRenderCB* cb, const RG_RenderRequest& r) -> RG_NodeData* {
        for (long i = 0; i < 3; ++i) {
          cb->BeginCheckoutGroup();
          cb->CheckoutInput(i, r);
        }
        cb->RequestOutput(r.rect, 1, 0);
        return nullptr;
      },
      [&](RG_NodeRenderCB* cb, const RG_RenderRequest&, const RG_NodeData*) {
        for (int i = 0; i < 3; ++i) {
          RG_CheckoutResult* in = cb->GetNextCheckout();
          const PF_World* w = in->GetWorld();
          seen.push_back({w->IsReference(), in->WorldIsWritable()});
          EXPECT_TRUE(TestSame(TestPixel(w, 63, 1), TestPatternAt(63, 1)));
        }
        TestFillPattern(cb->GetNextCheckout()->GetOutputWorld());
      }));
  RG_Traverser traverser(root.get());
  M_LRect rect;
  char flags;
  PF_World* world = nullptr;
  traverser.Execute(TestRequest(TestRect(0, 0, 64, 64)), &rect, &flags, &world, nullptr);
  delete world;
  EXPECT_EQ(pattern->counters.renders, 1);
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_TRUE(seen[0].reference);
  EXPECT_FALSE(seen[0].writable);
  EXPECT_TRUE(seen[1].reference);
  EXPECT_FALSE(seen[1].writable);
  EXPECT_FALSE(seen[2].reference);
  EXPECT_TRUE(seen[2].writable);
  EXPECT_EQ(BytesCopied(), 0);
  EXPECT_EQ(RGp_TraverserAccess::Invocation(traverser, pattern)->ConsumerCount(), 0u);
}

TEST_F(RenderPassTest, InPlaceConsumersCopyOnlyWhileOthersStillRead) {
  // Three inverters work in place on one pattern: the first two write copies
  // of their own, the last one the pattern's buffer itself.
  auto* pattern = new TestPatternNode(TestRect(0, 0, 64, 64));
  auto* a = new TestInvertNode(pattern);
  auto* b = new TestInvertNode(pattern);
  auto* c = new TestInvertNode(pattern);
  U_SharedPtr<RG_RenderNode> root(new TestOverNode(a, new TestOverNode(b, c)));
  TestOutcome result = TestRun(root.get(), TestRequest(TestRect(0, 0, 64, 64)));
  ASSERT_NE(result.world, nullptr);
  EXPECT_EQ(pattern->counters.renders, 1);
  EXPECT_EQ(BytesCopied(), 2 * 64 * 64 * 4);
  for (int32_t x : {0, 17, 63}) {
    EXPECT_TRUE(TestSame(TestPixel(result.world.get(), x, 40), Inverted(TestPatternAt(x, 40))));
  }
}

TEST_F(RenderPassTest, InPlaceLastConsumerTakesTheBufferOnceEarlierViewsAreGone) {
  // The grow node reads the pattern through a view and checks in (dropping
  // the view) before the inverter, the last consumer, works in place: the
  // inverter can have the pattern's buffer itself.
  auto* pattern = new TestPatternNode(TestRect(0, 0, 32, 32));
  auto* reader = new TestGrowNode(pattern, 0);
  auto* inverter = new TestInvertNode(pattern);
  PF_RGBA8 read{};
  PF_RGBA8 inverted{};
  U_SharedPtr<RG_RenderNode> root(new TestLambdaNode(
      {reader, inverter},
      [](RG_NodePreRenderCB* cb, const RG_RenderRequest& r) -> RG_NodeData* {
        cb->CheckoutInput(0, r);
        cb->CheckoutInput(1, r);
        cb->RequestOutput(r.rect, 0, 1);
        return nullptr;
      },
      [&](RG_NodeRenderCB* cb, const RG_RenderRequest&, const RG_NodeData*) {
        read = TestPixel(cb->GetNextCheckout()->GetWorld(), 5, 7);
        inverted = TestPixel(cb->GetNextCheckout()->GetWorld(), 5, 7);
        cb->GetNextCheckout()->GetOutputWorld();
      }));
  TestOutcome result = TestRun(root.get(), TestRequest(TestRect(0, 0, 32, 32)));
  ASSERT_NE(result.world, nullptr);
  EXPECT_EQ(pattern->counters.renders, 1);
  EXPECT_TRUE(TestSame(read, TestPatternAt(5, 7)));
  EXPECT_TRUE(TestSame(inverted, Inverted(TestPatternAt(5, 7))));
  EXPECT_EQ(BytesCopied(), 0);
}

TEST_F(RenderPassTest, SkippedAndUnaskedInputsAreNeverRendered) {
  auto* used = new TestSolidNode(TestRect(0, 0, 10, 10), kRed);
  auto* skippedLeaf = new TestSolidNode(TestRect(0, 0, 10, 10), kBlue);
  auto* skipped = new TestInvertNode(skippedLeaf);
  U_SharedPtr<RG_RenderNode> withdraw(new TestSkipNode(used, skipped, true));
  {
    RG_Traverser traverser(withdraw.get());
    traverser.PreRenderGraph(TestRequest(TestRect(0, 0, 10, 10)));
    // Withdrawing released the whole sub-graph behind the skipped input.
    EXPECT_EQ(RGp_TraverserAccess::Invocation(traverser, skipped)->ConsumerCount(), 0u);
    EXPECT_EQ(RGp_TraverserAccess::Invocation(traverser, skippedLeaf)->ConsumerCount(), 0u);
  }
  TestOutcome r1 = TestRun(withdraw.get(), TestRequest(TestRect(0, 0, 10, 10)));
  EXPECT_EQ(skipped->counters.renders, 0);
  EXPECT_EQ(skippedLeaf->counters.renders, 0);
  EXPECT_TRUE(TestSame(TestPixel(r1.world.get(), 3, 3), kRed));

  U_SharedPtr<RG_RenderNode> unasked(new TestSkipNode(used, skipped, false));
  TestOutcome r2 = TestRun(unasked.get(), TestRequest(TestRect(0, 0, 10, 10)));
  EXPECT_EQ(skipped->counters.renders, 0);
  EXPECT_EQ(skippedLeaf->counters.renders, 0);
  EXPECT_EQ(used->counters.renders, 2);
}

TEST_F(RenderPassTest, WithdrawnInputStillServesItsOtherConsumers) {
  auto* shared = new TestSolidNode(TestRect(0, 0, 10, 10), kBlue);
  auto* skipper = new TestSkipNode(new TestSolidNode(TestRect(0, 0, 10, 10), kRed), shared, true);
  U_SharedPtr<RG_RenderNode> root(new TestOverNode(skipper, shared));
  TestOutcome result = TestRun(root.get(), TestRequest(TestRect(0, 0, 20, 20)));
  EXPECT_EQ(shared->counters.renders, 1);
  EXPECT_TRUE(TestSame(TestPixel(result.world.get(), 5, 5), kRed));
}

TEST_F(RenderPassTest, ForcedRectOnEmptyOutputGetsAClearedBuffer) {
  auto* leaf = new TestSolidNode(TestRect(0, 0, 10, 10), kRed);
  auto* force = new TestForceRectNode(leaf, TestRect(50, 50, 60, 60));
  U_SharedPtr<RG_RenderNode> root(force);
  TestOutcome result = TestRun(root.get(), TestRequest(TestRect(50, 50, 60, 60)));
  EXPECT_EQ(leaf->counters.renders, 0);
  ASSERT_NE(result.world, nullptr);
  EXPECT_EQ(result.rect, TestRect(50, 50, 60, 60));
  EXPECT_TRUE(TestSame(TestPixel(result.world.get(), 55, 55), kClear));
}

TEST_F(RenderPassTest, InPlaceOverAnEmptyInputStartsTransparent) {
  auto* leaf = new TestSolidNode(TestRect(0, 0, 10, 10), kRed);
  std::vector<PF_RGBA8> pixels;
  U_SharedPtr<RG_RenderNode> root(new TestLambdaNode(
      {leaf},
      [](RG_NodePreRenderCB* cb, const RG_RenderRequest& r) -> RG_NodeData* {
        RG_CheckoutResult* in = cb->CheckoutInput(0, r);
        cb->RequestOutputInPlace(in, r.rect, 0, 0);
        return nullptr;
      },
      [&](RG_NodeRenderCB* cb, const RG_RenderRequest&, const RG_NodeData*) {
        PF_World* w = cb->GetCheckoutByID(-1)->GetOutputWorld();
        pixels = {TestPixel(w, 40, 40), TestPixel(w, 49, 49)};
      }));
  TestOutcome result = TestRun(root.get(), TestRequest(TestRect(40, 40, 50, 50)));
  EXPECT_EQ(leaf->counters.renders, 0);
  ASSERT_EQ(pixels.size(), 2u);
  EXPECT_TRUE(TestSame(pixels[0], kClear));
  EXPECT_TRUE(TestSame(pixels[1], kClear));
}

TEST_F(RenderPassTest, LockedOutputIsViewedWhereItCoversAndCopiedWhereItDoesNot) {
  // A leaf that hands out a view of an external buffer with a lock.
  std::unique_ptr<PF_World> buffer(PF_World::New(TestRect(0, 0, 32, 32), 8, 0));
  TestFillPattern(buffer.get());
  int locksDeleted = 0;
  auto* leaf = new TestLambdaNode(
      {},
      [](RG_NodePreRenderCB* cb, const RG_RenderRequest& r) -> RG_NodeData* {
        const M_LRect clip{std::max(r.rect.left, 0), std::max(r.rect.top, 0),
                           std::min(r.rect.right, 32), std::min(r.rect.bottom, 32)};
        cb->RequestOutput(clip, 1, 0);
        return nullptr;
      },
      [&](RG_NodeRenderCB* cb, const RG_RenderRequest&, const RG_NodeData*) {
        RG_CheckoutResult* out = cb->GetNextCheckout();
        const M_LRect& rect = out->GetRect();
        out->SetOutputWorld(PF_World::NewReference(buffer.get(), rect),
                            new TestBufferLock(&locksDeleted));
      });
  struct Seen {
    bool refersToBuffer;
    bool hasLock;
    int locksDeletedThen;
  };
  std::vector<Seen> seen;
  U_SharedPtr<RG_RenderNode> root(new TestLambdaNode(
      {leaf, leaf},
      [](RG_NodePreRenderCB* cb, const RG_RenderRequest&) -> RG_NodeData* {
        cb->CheckoutInput(0, TestRequest(TestRect(4, 4, 8, 8)));
        cb->BeginCheckoutGroup();
        RG_CheckoutResult* big = cb->CheckoutInput(1, TestRequest(TestRect(0, 0, 32, 32)));
        big->ForceRect(TestRect(0, 0, 40, 40));
        cb->RequestOutput(TestRect(0, 0, 40, 40), 0, 0);
        return nullptr;
      },
      [&](RG_NodeRenderCB* cb, const RG_RenderRequest&, const RG_NodeData*) {
        for (int i = 0; i < 2; ++i) {
          RG_CheckoutResult* in = cb->GetNextCheckout();
          const PF_World* w = in->GetWorld();
          seen.push_back(
              {w->RefersTo(buffer.get()), RGp_CheckoutResultAccess::HasLock(in), locksDeleted});
          EXPECT_TRUE(TestSame(TestPixel(w, 5, 6), TestPatternAt(5, 6)));
          if (i == 1) {
            EXPECT_TRUE(TestSame(TestPixel(w, 35, 35), kClear));
          }
        }
        cb->GetNextCheckout()->GetOutputWorld();
      }));
  { TestOutcome result = TestRun(root.get(), TestRequest(TestRect(0, 0, 40, 40))); }
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_TRUE(seen[0].refersToBuffer);  // covered: a view of the external buffer
  EXPECT_FALSE(seen[0].hasLock);        // the lock stays with the producer
  EXPECT_EQ(seen[0].locksDeletedThen, 0);
  EXPECT_FALSE(seen[1].refersToBuffer);    // larger: a copy of the library's own
  EXPECT_EQ(seen[1].locksDeletedThen, 1);  // and the lock dropped
  EXPECT_EQ(BytesCopied(), 32 * 32 * 4);
  EXPECT_EQ(locksDeleted, 1);
}

TEST_F(RenderPassTest, LastReaderOfALockedOutputTakesTheLock) {
  std::unique_ptr<PF_World> buffer(PF_World::New(TestRect(0, 0, 16, 16), 8, 0));
  TestFillPattern(buffer.get());
  std::vector<bool> hasLock;
  {
    auto* source = new RG_SourceBufferNode(buffer.get());
    U_SharedPtr<RG_RenderNode> root(new TestLambdaNode(
        {source, source},
        [](RG_NodePreRenderCB* cb, const RG_RenderRequest& r) -> RG_NodeData* {
          cb->CheckoutInput(0, r);
          cb->CheckoutInput(1, r);
          cb->RequestOutput(r.rect, 0, 0);
          return nullptr;
        },
        [&](RG_NodeRenderCB* cb, const RG_RenderRequest&, const RG_NodeData*) {
          for (int i = 0; i < 2; ++i) {
            RG_CheckoutResult* in = cb->GetNextCheckout();
            EXPECT_TRUE(in->GetWorld()->RefersTo(buffer.get()));
            EXPECT_FALSE(in->WorldIsWritable());
            hasLock.push_back(RGp_CheckoutResultAccess::HasLock(in));
          }
          cb->GetNextCheckout()->GetOutputWorld();
        }));
    TestOutcome result = TestRun(root.get(), TestRequest(TestRect(0, 0, 16, 16)));
  }
  EXPECT_EQ(hasLock, (std::vector<bool>{false, true}));
  EXPECT_EQ(BytesCopied(), 0);
}

TEST_F(RenderPassTest, CheckoutGroupsRenderTogetherAndInOrder) {
  auto* top = new TestSolidNode(TestRect(0, 0, 10, 10), PF_RGBA8{100, 0, 0, 128});
  auto* bottom = new TestSolidNode(TestRect(0, 0, 20, 20), kBlue);
  auto* over = new TestOverNode(top, bottom);
  over->bottom_counters = &bottom->counters;
  U_SharedPtr<RG_RenderNode> root(over);
  TestOutcome result = TestRun(root.get(), TestRequest(TestRect(0, 0, 20, 20)));
  EXPECT_EQ(over->bottom_renders_seen_at_top_fetch, 0);
  EXPECT_EQ(bottom->counters.renders, 1);
  EXPECT_TRUE(TestSame(TestPixel(result.world.get(), 15, 15), kBlue));
  const PF_RGBA8 mixed = TestPixel(result.world.get(), 5, 5);
  EXPECT_EQ(mixed.red, 100);
  EXPECT_EQ(mixed.blue, 100);  // 200 * (255 - 128) / 255, rounded
  EXPECT_EQ(mixed.alpha, 255);
}

TEST_F(RenderPassTest, OneGroupIsRenderedOnceWhateverIsAskedFirst) {
  auto* a = new TestSolidNode(TestRect(0, 0, 10, 10), kRed);
  auto* b = new TestSolidNode(TestRect(0, 0, 10, 10), kBlue);
  int bRendersAtFirstFetch = -1;
  U_SharedPtr<RG_RenderNode> root(new TestLambdaNode(
      {a, b},
      [](RG_NodePreRenderCB* cb, const RG_RenderRequest& r) -> RG_NodeData* {
        cb->CheckoutInput(0, r);
        cb->CheckoutInput(1, r);
        cb->RequestOutput(r.rect, 0, 0);
        return nullptr;
      },
      [&](RG_NodeRenderCB* cb, const RG_RenderRequest&, const RG_NodeData*) {
        RG_CheckoutResult* first = cb->GetNextCheckout();
        RG_CheckoutResult* second = cb->GetNextCheckout();
        second->GetWorld();
        bRendersAtFirstFetch = b->counters.renders;
        EXPECT_EQ(a->counters.renders, 1);  // same group, rendered along
        first->GetWorld();
        second->GetWorld();
        EXPECT_TRUE(first->WorldIsWritable());
        cb->GetNextCheckout()->GetOutputWorld();
      }));
  TestOutcome result = TestRun(root.get(), TestRequest(TestRect(0, 0, 10, 10)));
  EXPECT_EQ(bRendersAtFirstFetch, 1);
  EXPECT_EQ(a->counters.renders, 1);
  EXPECT_EQ(b->counters.renders, 1);
}

TEST_F(RenderPassTest, RenderThatLeavesNoOutputWorldIsAContractViolation) {
  U_SharedPtr<RG_RenderNode> root(new TestLambdaNode(
      {},
      [](RG_NodePreRenderCB* cb, const RG_RenderRequest& r) -> RG_NodeData* {
        cb->RequestOutput(r.rect, 0, 0);
        return nullptr;
      },
      nullptr));
  M_LRect rect{1, 1, 1, 1};
  char flags = 'x';
  PF_World* world = nullptr;
  EXPECT_EQ(CatchCode([&] {
              RG_ExecuteGraph(root.get(), TestRequest(TestRect(0, 0, 10, 10)), &rect, &flags,
                              &world, nullptr);
            }),
            3);
  ExpectLastReport(U_ReportKind::FailedVerification, 0x4E0003, 780,
                   "Render left the node's output without a world");
  EXPECT_EQ(world, nullptr);
  EXPECT_EQ(rect, M_LRect{});
  EXPECT_EQ(flags, 'x');
}

TEST_F(RenderPassTest, ViewsReachBeyondSixteenBitOffsets) {
  // A wide producer read by two consumers: the first gets a view whose
  // offset inside the buffer exceeds 32767 pixels.
  auto* wide = new TestPatternNode(TestRect(0, 0, 40000, 2));
  std::vector<PF_RGBA8> pixels;
  U_SharedPtr<RG_RenderNode> root(new TestLambdaNode(
      {wide, wide},
      [](RG_NodePreRenderCB* cb, const RG_RenderRequest& r) -> RG_NodeData* {
        cb->CheckoutInput(0, TestRequest(TestRect(39990, 0, 40000, 2)));
        cb->CheckoutInput(1, TestRequest(TestRect(0, 0, 40000, 2)));
        cb->RequestOutput(r.rect, 0, 0);
        return nullptr;
      },
      [&](RG_NodeRenderCB* cb, const RG_RenderRequest&, const RG_NodeData*) {
        const PF_World* view = cb->GetNextCheckout()->GetWorld();
        EXPECT_TRUE(view->IsReference());
        EXPECT_EQ(view->GetRect(), TestRect(39990, 0, 40000, 2));
        pixels = {TestPixel(view, 39995, 1), TestPixel(view, 39990, 0)};
        cb->GetNextCheckout()->GetWorld();
        TestFill(cb->GetNextCheckout()->GetOutputWorld(), kClear);
      }));
  TestOutcome result = TestRun(root.get(), TestRequest(TestRect(0, 0, 1, 1)));
  ASSERT_EQ(pixels.size(), 2u);
  EXPECT_TRUE(TestSame(pixels[0], TestPatternAt(39995, 1)));
  EXPECT_TRUE(TestSame(pixels[1], TestPatternAt(39990, 0)));
}

TEST_F(RenderPassTest, GrowingConsumerEnlargesTheProducersBuffer) {
  // The grow node reads 4 pixels around what it is asked for; the pattern
  // renders once into a buffer covering both consumers.
  auto* pattern = new TestPatternNode(TestRect(0, 0, 100, 100));
  auto* grow = new TestGrowNode(pattern, 4);
  U_SharedPtr<RG_RenderNode> root(new TestOverNode(grow, pattern));
  TestOutcome result = TestRun(root.get(), TestRequest(TestRect(10, 10, 30, 30)));
  EXPECT_EQ(pattern->counters.renders, 1);
  EXPECT_EQ(result.rect, TestRect(10, 10, 30, 30));
  EXPECT_TRUE(TestSame(TestPixel(result.world.get(), 29, 10), TestPatternAt(29, 10)));
  EXPECT_EQ(BytesCopied(), 0);
}

TEST_F(RenderPassTest, ForcedLargerRectIsClearedOutsideTheProducersOutput) {
  // The leaf is a solid fill, or installs a world of exactly its declared
  // rect; the consumer forces a larger rect, and with `again` checks the
  // leaf out once more so that it is pre-rendered after the force.
  for (bool ownWorld : {false, true}) {
    for (bool again : {false, true}) {
      SCOPED_TRACE(testing::Message() << "own world " << ownWorld << " again " << again);
      RG_RenderNode* leaf = nullptr;
      if (!ownWorld) {
        leaf = new TestSolidNode(TestRect(0, 0, 10, 10), kRed);
      } else {
        leaf = new TestLambdaNode(
            {},
            [](RG_NodePreRenderCB* cb, const RG_RenderRequest&) -> RG_NodeData* {
              cb->RequestOutput(TestRect(0, 0, 10, 10), 1, 0);
              return nullptr;
            },
            [](RG_NodeRenderCB* cb, const RG_RenderRequest&, const RG_NodeData*) {
              cb->GetNextCheckout()->SetOutputWorld(TestMakeWorld(TestRect(0, 0, 10, 10), kRed),
                                                    nullptr);
            });
      }
      RG_CheckoutResult* forced = nullptr;
      char flagsAfterForce = 'x';
      M_LRect received;
      std::vector<PF_RGBA8> pixels;
      U_SharedPtr<RG_RenderNode> root(new TestLambdaNode(
          {leaf, leaf},
          [&](RG_NodePreRenderCB* cb, const RG_RenderRequest& r) -> RG_NodeData* {
            forced = cb->CheckoutInput(0, TestRequest(TestRect(0, 0, 10, 10)));
            forced->ForceRect(TestRect(0, 0, 20, 20));
            flagsAfterForce = forced->GetFlags();
            if (again) cb->CheckoutInput(1, TestRequest(TestRect(0, 0, 12, 12)));
            cb->RequestOutput(r.rect, 0, 0);
            return nullptr;
          },
          [&](RG_NodeRenderCB* cb, const RG_RenderRequest&, const RG_NodeData*) {
            const PF_World* w = forced->GetWorld();
            received = w->GetRect();
            pixels = {TestPixel(w, 5, 5), TestPixel(w, 15, 15), TestPixel(w, 19, 0)};
            TestFill(cb->GetCheckoutByID(-1)->GetOutputWorld(), kClear);
          }));
      TestRun(root.get(), TestRequest(TestRect(0, 0, 20, 20)));
      EXPECT_EQ(flagsAfterForce & 1, 0);  // transparent where nothing is rendered
      EXPECT_EQ(received, TestRect(0, 0, 20, 20));
      ASSERT_EQ(pixels.size(), 3u);
      EXPECT_TRUE(TestSame(pixels[0], kRed));
      EXPECT_TRUE(TestSame(pixels[1], kClear));
      EXPECT_TRUE(TestSame(pixels[2], kClear));
    }
  }
}
