// The entry points: RG_ExecuteGraph in both forms, the hand-over of the
// result and its lock, the destination form, and the traverser's queries.

#include <gtest/gtest.h>

#include <memory>
#include <utility>
#include <vector>

#include "exec/ExecTestAccess.h"
#include "rg/RG_Errors.h"
#include "rg/RG_SourceBufferNode.h"
#include "rg/RG_Traverser.h"
#include "rghost/U_Errors.h"
#include "support/LeakCheck.h"
#include "support/TestNodes.h"

namespace {

constexpr PF_RGBA8 kRed{200, 0, 0, 255};
constexpr PF_RGBA8 kClear{0, 0, 0, 0};
constexpr PF_RGBA8 kJunk{9, 9, 9, 9};
constexpr PF_RGBA8 kRedInverted{55, 255, 255, 255};

long long BytesCopied() { return PF_GetWorldStats().pixel_bytes_copied; }

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

class TraverserTest : public LeakCheckTest {};

TEST_F(TraverserTest, NullOrEmptyRootClearsOutputsAndLeavesFlags) {
  int dummy = 0;
  M_LRect rect{1, 2, 3, 4};
  char flags = 'x';
  PF_World* world = reinterpret_cast<PF_World*>(&dummy);
  RG_BufferLock* lock = reinterpret_cast<RG_BufferLock*>(&dummy);
  RG_ExecuteGraph(nullptr, TestRequest(TestRect(0, 0, 10, 10)), &rect, &flags, &world, &lock);
  EXPECT_EQ(world, nullptr);
  EXPECT_EQ(lock, nullptr);
  EXPECT_EQ(rect, M_LRect{});
  EXPECT_EQ(flags, 'x');

  auto* solid = new TestSolidNode(TestRect(0, 0, 10, 10), kRed);
  U_SharedPtr<RG_RenderNode> root(solid);
  TestOutcome out = TestRun(root.get(), TestRequest(TestRect(20, 20, 30, 30)), true);
  EXPECT_EQ(out.world, nullptr);
  EXPECT_EQ(out.lock, nullptr);
  EXPECT_EQ(out.rect, M_LRect{});
  EXPECT_EQ(out.flags, 'x');
  EXPECT_EQ(solid->counters.pre_renders, 1);
  EXPECT_EQ(solid->counters.renders, 0);
}

// What a caller gets wrong is refused where the request enters, with a report.
TEST_F(TraverserTest, BadDepthsAndDestinationsAreRefusedWithAReport) {
  U_SharedPtr<RG_RenderNode> root(new TestSolidNode(TestRect(0, 0, 10, 10), kRed));
  RG_RenderRequest request = TestRequest(TestRect(0, 0, 10, 10));
  request.bit_depth = 12;
  EXPECT_EQ(TestRunCode(root.get(), request), U_ERR_BAD_PARAMETER);
  ExpectLastReport(U_ReportKind::ErrorString, 0x4E0008, 0,
                   "A render request must have a bit depth of 8, 16 or 32.");
  request.bit_depth = 8;
  for (const auto& [rect, depth] :
       {std::pair{TestRect(0, 0, 5, 10), 8}, std::pair{TestRect(0, 0, 10, 10), 16}}) {
    std::unique_ptr<PF_World> dest(PF_World::New(rect, static_cast<short>(depth), 0));
    M_LRect outRect;
    long code = 0;
    try {
      RG_ExecuteGraph(root.get(), request, request.rect, dest.get(), &outRect);
    } catch (long c) {
      code = c;
    }
    EXPECT_EQ(code, U_ERR_BAD_PARAMETER);
    EXPECT_NE(U_ReportLog().back().text.find("destination buffer"), std::string::npos);
  }
  EXPECT_STREQ(RG_GetErrorText(RG_ERR_STACK_OVERFLOW), "the stack limit was reached");
  EXPECT_STREQ(RG_GetErrorText(12345), "unknown error");
}

TEST_F(TraverserTest, ResultRectAndFlags) {
  U_SharedPtr<RG_RenderNode> root(new TestSolidNode(TestRect(0, 0, 100, 100), kRed));
  TestOutcome out = TestRun(root.get(), TestRequest(TestRect(50, 60, 150, 70)), true);
  ASSERT_NE(out.world, nullptr);
  EXPECT_EQ(out.rect, TestRect(50, 60, 100, 70));
  EXPECT_EQ(out.flags, 1);  // the solid colour is opaque
  EXPECT_EQ(out.world->GetRect(), out.rect);
  EXPECT_EQ(BytesCopied(), 0);
}

// Who gets a locked source buffer: a caller taking the lock gets a view, one
// without a lock holder or with a destination gets a copy. In-place nodes
// that leave their output alone pass the view and the lock on as they are; a
// consumer that writes works on a copy and leaves the source intact.
TEST_F(TraverserTest, LockedSourceIsViewedWithTheLockAndCopiedOtherwise) {
  enum Form { kLock, kNoLock, kDest };
  enum Graph { kSource, kPassThrough, kTwoPassThroughs, kWriterOverPassThrough };
  struct Case {
    const char* name;
    Graph graph;
    Form form;
    M_LRect buffer, request, outRect;
    bool view;
    long long copied;
  };
  const M_LRect b = TestRect(0, 0, 32, 16);
  const Case cases[] = {
      {"lock holder", kSource, kLock, TestRect(10, 20, 110, 70), TestRect(0, 0, 50, 50),
       TestRect(10, 20, 50, 50), true, 0},
      {"no lock holder", kSource, kNoLock, TestRect(10, 20, 110, 70), TestRect(0, 0, 50, 50),
       TestRect(10, 20, 50, 50), false, 40 * 30 * 4},
      {"destination", kSource, kDest, TestRect(0, 0, 40, 40), TestRect(20, 20, 60, 60),
       TestRect(20, 20, 40, 40), false, 20 * 20 * 4},
      {"pass-throughs", kTwoPassThroughs, kLock, b, b, b, true, 0},
      {"writer", kWriterOverPassThrough, kLock, b, b, b, false, 32 * 16 * 4},
      {"pass-through into a destination", kPassThrough, kDest, b, b, b, false, 32 * 16 * 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<PF_World> buffer(PF_World::New(c.buffer, 8, 0));
    TestFillPattern(buffer.get());
    RG_RenderNode* node = new RG_SourceBufferNode(buffer.get());
    if (c.graph != kSource) node = PassThrough(node);
    if (c.graph == kTwoPassThroughs) node = PassThrough(node);
    if (c.graph == kWriterOverPassThrough) node = new TestInvertNode(node);
    U_SharedPtr<RG_RenderNode> root(node);
    PF_ResetWorldStats();
    TestOutcome out;
    std::unique_ptr<PF_World> dest;
    if (c.form == kDest) {
      dest.reset(TestMakeWorld(c.request, kJunk));
      RG_ExecuteGraph(root.get(), TestRequest(c.request), c.request, dest.get(), &out.rect);
    } else {
      out = TestRun(root.get(), TestRequest(c.request), c.form == kLock);
    }
    const PF_World* result = dest ? dest.get() : out.world.get();
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(out.rect, c.outRect);
    EXPECT_EQ(BytesCopied(), c.copied);
    EXPECT_EQ(result->RefersTo(buffer.get()), c.view);
    EXPECT_EQ(out.lock != nullptr, c.view);  // the lock goes with the view
    if (c.view) {
      EXPECT_EQ(PF_GetWorldStats().worlds_allocated, 0);
    }
    if (!dest) {
      EXPECT_EQ(result->GetRect(), c.outRect);
    }
    const int32_t x = c.outRect.right - 1, y = c.outRect.bottom - 1;
    const PF_RGBA8 p = TestPatternAt(x, y);
    const PF_RGBA8 want =
        c.graph != kWriterOverPassThrough
            ? p
            : PF_RGBA8{static_cast<uint8_t>(255 - p.red), static_cast<uint8_t>(255 - p.green),
                       static_cast<uint8_t>(255 - p.blue), 255};
    EXPECT_TRUE(TestSame(TestPixel(result, x, y), want));
    if (dest && !M_Contains(c.outRect, c.request)) {
      EXPECT_TRUE(TestSame(TestPixel(result, c.request.right - 1, c.request.bottom - 1), kClear));
    }
    EXPECT_TRUE(TestSame(TestPixel(buffer.get(), x, y), p));  // the source is intact
    // A copy keeps its pixels when the source changes; a view does not.
    TestFill(buffer.get(), kClear);
    EXPECT_EQ(TestSame(TestPixel(result, x, y), want), !c.view);
  }
}

TEST_F(TraverserTest, DestinationFormRendersIntoCallerBufferWithoutCopies) {
  const M_LRect dest = TestRect(100, 100, 164, 164);
  std::unique_ptr<PF_World> world(TestMakeWorld(dest, kJunk));
  U_SharedPtr<RG_RenderNode> root(
      new TestInvertNode(new TestSolidNode(TestRect(0, 0, 1000, 1000), kRed)));
  M_LRect outRect;
  RG_ExecuteGraph(root.get(), TestRequest(dest), dest, world.get(), &outRect);
  EXPECT_EQ(outRect, dest);
  // The leaf rendered straight into the destination and the in-place root
  // inverted it there: nothing was copied.
  EXPECT_EQ(BytesCopied(), 0);
  EXPECT_EQ(PF_GetWorldStats().live_worlds, 1);
  EXPECT_TRUE(TestSame(TestPixel(world.get(), 100, 100), kRedInverted));
  EXPECT_TRUE(TestSame(TestPixel(world.get(), 163, 163), kRedInverted));
}

TEST_F(TraverserTest, DestinationFormClearsWhatIsNotRenderedWithinTheRequestOnly) {
  struct Probe {
    int32_t x, y;
    PF_RGBA8 want;
  };
  struct Case {
    const char* name;
    M_LRect bounds, dest, request, outRect;
    std::vector<Probe> probes;
  };
  const M_LRect dest = TestRect(100, 100, 164, 164);
  const Case cases[] = {
      {"whole destination",
       TestRect(110, 110, 120, 120),
       dest,
       dest,
       TestRect(110, 110, 120, 120),
       {{115, 115, kRed}, {100, 100, kClear}, {163, 163, kClear}}},
      {"part of it",
       TestRect(110, 110, 120, 120),
       dest,
       TestRect(100, 100, 132, 132),
       TestRect(110, 110, 120, 120),
       {{115, 115, kRed},
        {105, 105, kClear},
        {131, 131, kClear},
        {132, 132, kJunk},
        {140, 101, kJunk}}},
      {"empty result",
       TestRect(50, 50, 60, 60),
       TestRect(0, 0, 16, 16),
       TestRect(0, 0, 16, 16),
       M_LRect{},
       {{0, 0, kClear}, {15, 15, kClear}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PF_ResetWorldStats();
    std::unique_ptr<PF_World> world(TestMakeWorld(c.dest, kJunk));
    U_SharedPtr<RG_RenderNode> root(new TestSolidNode(c.bounds, kRed));
    M_LRect outRect{1, 1, 1, 1};
    RG_ExecuteGraph(root.get(), TestRequest(c.request), c.dest, world.get(), &outRect);
    EXPECT_EQ(outRect, c.outRect);
    EXPECT_EQ(BytesCopied(), 0);
    for (const Probe& p : c.probes) {
      EXPECT_TRUE(TestSame(TestPixel(world.get(), p.x, p.y), p.want)) << p.x << "," << p.y;
    }
  }
}

TEST_F(TraverserTest, DestinationMarkNeedsProducerInsideDestination) {
  // The producer declares more than the in-place root takes, reaching out of
  // the destination: it renders into a buffer of its own, and the root's
  // part is moved into the destination once.
  const M_LRect dest = TestRect(0, 0, 32, 32);
  auto* wide = new TestLambdaNode(
      {},
      [](RG_NodePreRenderCB* cb, const RG_RenderRequest&) -> RG_NodeData* {
        cb->RequestOutput(TestRect(0, 0, 64, 64), 1, 0);
        return nullptr;
      },
      [](RG_NodeRenderCB* cb, const RG_RenderRequest&, const RG_NodeData*) {
        TestFillPattern(cb->GetCheckoutByID(-1)->GetOutputWorld());
      });
  U_SharedPtr<RG_RenderNode> root(new TestInvertNode(wide));
  std::unique_ptr<PF_World> world(TestMakeWorld(dest, kJunk));
  M_LRect outRect;
  RG_ExecuteGraph(root.get(), TestRequest(dest), dest, world.get(), &outRect);
  EXPECT_EQ(BytesCopied(), 32 * 32 * 4);
  const PF_RGBA8 p = TestPatternAt(31, 7);
  EXPECT_TRUE(
      TestSame(TestPixel(world.get(), 31, 7),
               PF_RGBA8{static_cast<uint8_t>(255 - p.red), static_cast<uint8_t>(255 - p.green),
                        static_cast<uint8_t>(255 - p.blue), 255}));
}

TEST_F(TraverserTest, QueriesAnswerForReachedNodesOnly) {
  int destroyed = 0;
  auto* solid = new TestSolidNode(TestRect(0, 0, 10, 10), kRed);
  U_SharedPtr<RG_RenderNode> unreached(new TestSolidNode(TestRect(0, 0, 5, 5), kRed));
  U_SharedPtr<RG_RenderNode> root(new TestLambdaNode(
      {solid},
      [&](RG_NodePreRenderCB* cb, const RG_RenderRequest& r) -> RG_NodeData* {
        cb->CheckoutInput(0, r);
        cb->RequestOutput(TestRect(2, 2, 8, 8), 0, 0);
        return new TestNodeData(&destroyed);
      },
      nullptr));
  {
    RG_Traverser traverser(root.get());
    traverser.PreRenderGraph(TestRequest(TestRect(0, 0, 20, 20)));
    EXPECT_EQ(traverser.GetNodeRect(solid), TestRect(0, 0, 10, 10));
    EXPECT_EQ(traverser.GetNodeRect(root.get()), TestRect(2, 2, 8, 8));
    EXPECT_EQ(traverser.GetNodeRect(unreached.get()), M_LRect{});
    EXPECT_NE(traverser.GetNodeData(root.get()), nullptr);
    EXPECT_EQ(traverser.GetNodeData(solid), nullptr);
    EXPECT_EQ(traverser.GetNodeData(unreached.get()), nullptr);
    EXPECT_EQ(destroyed, 0);

    int dummy = 0;
    PF_World* world = reinterpret_cast<PF_World*>(&dummy);
    RG_BufferLock* lock = reinterpret_cast<RG_BufferLock*>(&dummy);
    traverser.RenderStartingAtNode(root.get(), &world, &lock);
    EXPECT_EQ(world, reinterpret_cast<PF_World*>(&dummy));
    EXPECT_EQ(lock, reinterpret_cast<RG_BufferLock*>(&dummy));
  }
  EXPECT_EQ(destroyed, 1);  // node data dies with the traverser
}

// Enough nodes for the invocation table to grow several times: every node
// must still be found, and the node data must die in the order the nodes
// were first reached, whatever their addresses.
TEST_F(TraverserTest, ManyNodesAreFoundAndDieInTheOrderTheyWereReached) {
  struct OrderData : RG_NodeData {
    OrderData(std::vector<int>* deaths, int index) : deaths(deaths), index(index) {}
    ~OrderData() override { deaths->push_back(index); }
    std::vector<int>* deaths;
    int index;
  };
  constexpr int kNodes = 1500;
  std::vector<int> deaths;
  std::vector<RG_RenderNode*> nodes;  // nodes[i] is reached i-th
  RG_RenderNode* below = new TestSolidNode(TestRect(0, 0, 1, 1), kRed);
  for (int depth = kNodes - 1; depth >= 0; --depth) {
    below = new TestLambdaNode(
        {below},
        [&deaths, depth](RG_NodePreRenderCB* cb, const RG_RenderRequest& r) -> RG_NodeData* {
          cb->CheckoutInput(0, r);
          cb->RequestOutput(TestRect(0, 0, depth + 1, 1), 0, 0);
          return new OrderData(&deaths, depth);
        },
        nullptr);
    nodes.insert(nodes.begin(), below);
  }
  U_SharedPtr<RG_RenderNode> root(nodes.front());
  {
    RG_Traverser traverser(root.get());
    traverser.PreRenderGraph(TestRequest(TestRect(0, 0, kNodes, 1)));
    EXPECT_EQ(RGp_TraverserAccess::InvocationCount(traverser), size_t{kNodes + 1});
    for (int i = 0; i < kNodes; ++i) {
      ASSERT_EQ(traverser.GetNodeRect(nodes[i]), TestRect(0, 0, i + 1, 1)) << i;
      ASSERT_EQ(static_cast<OrderData*>(traverser.GetNodeData(nodes[i]))->index, i);
    }
    EXPECT_TRUE(deaths.empty());
  }
  ASSERT_EQ(deaths.size(), size_t{kNodes});
  for (int i = 0; i < kNodes; ++i) ASSERT_EQ(deaths[i], i);
}

TEST_F(TraverserTest, ExecuteAfterPreRenderGraphReusesThePreRenders) {
  auto* solid = new TestSolidNode(TestRect(0, 0, 10, 10), kRed);
  auto* invert = new TestInvertNode(solid);
  U_SharedPtr<RG_RenderNode> root(invert);
  const RG_RenderRequest request = TestRequest(TestRect(0, 0, 10, 10));
  RG_Traverser traverser(root.get());
  traverser.PreRenderGraph(request);
  TestOutcome out;
  PF_World* world = nullptr;
  traverser.Execute(request, &out.rect, &out.flags, &world, nullptr);
  out.world.reset(world);
  for (const TestCounters& c : {solid->counters, invert->counters}) {
    EXPECT_EQ(c.pre_renders, 1);
    EXPECT_EQ(c.renders, 1);
  }
  ASSERT_NE(out.world, nullptr);
  EXPECT_TRUE(TestSame(TestPixel(out.world.get(), 5, 5), kRedInverted));
}

TEST_F(TraverserTest, NodeIdsFollowFirstPreRenderOrderAndStay) {
  auto* a = new TestSolidNode(TestRect(0, 0, 10, 10), kRed);
  auto* b = new TestSolidNode(TestRect(0, 0, 10, 10), kRed);
  U_SharedPtr<RG_RenderNode> root(new TestOverNode(a, b));
  U_SharedPtr<RG_RenderNode> second(
      new TestOverNode(b, new TestSolidNode(TestRect(0, 0, 4, 4), kRed)));
  EXPECT_EQ(a->GetNodeID(), -1);
  TestRun(root.get(), TestRequest(TestRect(0, 0, 10, 10)));
  EXPECT_EQ(root->GetNodeID(), 0);
  EXPECT_EQ(a->GetNodeID(), 1);
  EXPECT_EQ(b->GetNodeID(), 2);
  TestRun(second.get(), TestRequest(TestRect(0, 0, 10, 10)));
  EXPECT_EQ(second->GetNodeID(), 0);
  EXPECT_EQ(b->GetNodeID(), 2);  // kept from the first traversal
  EXPECT_EQ(second->GetInput(1)->GetNodeID(), 1);
}

TEST_F(TraverserTest, NodeRectIsTheDeclaredRectWhateverConsumersTake) {
  auto* solid = new TestSolidNode(TestRect(0, 0, 10, 10), kRed);
  U_SharedPtr<RG_RenderNode> root(new TestLambdaNode(
      {solid},
      [](RG_NodePreRenderCB* cb, const RG_RenderRequest&) -> RG_NodeData* {
        RG_CheckoutResult* in = cb->CheckoutInput(0, TestRequest(TestRect(0, 0, 10, 10)));
        cb->RequestOutputInPlace(in, TestRect(0, 0, 20, 20), 0, 0);
        return nullptr;
      },
      nullptr));
  RG_Traverser traverser(root.get());
  traverser.PreRenderGraph(TestRequest(TestRect(0, 0, 20, 20)));
  // The in-place root grew the leaf's buffer, not what the leaf declared.
  EXPECT_EQ(RGp_TraverserAccess::Invocation(traverser, solid)->OutputRect(),
            TestRect(0, 0, 20, 20));
  EXPECT_EQ(traverser.GetNodeRect(solid), TestRect(0, 0, 10, 10));
  EXPECT_EQ(traverser.GetNodeRect(root.get()), TestRect(0, 0, 20, 20));
}

TEST_F(TraverserTest, CopyForACallerWithoutLockHolderDeletesTheViewBeforeTheLock) {
  // A leaf whose output is a view of an external buffer, kept by a lock that
  // notes how many worlds are alive when it goes.
  struct CountingLock : RG_BufferLock {
    long* worlds_at_delete;
    explicit CountingLock(long* w) : worlds_at_delete(w) {}
    ~CountingLock() override { *worlds_at_delete = PF_GetWorldStats().live_worlds; }
  };
  std::unique_ptr<PF_World> buffer(TestMakeWorld(TestRect(0, 0, 10, 10), kRed));
  long worldsAtLockDelete = -1;
  U_SharedPtr<RG_RenderNode> root(new TestLambdaNode(
      {},
      [](RG_NodePreRenderCB* cb, const RG_RenderRequest&) -> RG_NodeData* {
        cb->RequestOutput(TestRect(0, 0, 10, 10), 1, 0);
        return nullptr;
      },
      [&](RG_NodeRenderCB* cb, const RG_RenderRequest&, const RG_NodeData*) {
        cb->GetCheckoutByID(-1)->SetOutputWorld(
            PF_World::NewReference(buffer.get(), TestRect(0, 0, 10, 10)),
            new CountingLock(&worldsAtLockDelete));
      }));
  const long before = PF_GetWorldStats().live_worlds;
  TestOutcome out = TestRun(root.get(), TestRequest(TestRect(0, 0, 10, 10)));
  ASSERT_NE(out.world, nullptr);
  EXPECT_FALSE(out.world->IsReference());
  // Only the caller's copy is alive beside the external buffer.
  EXPECT_EQ(worldsAtLockDelete, before + 1);
  EXPECT_EQ(out.flags, 1);
  EXPECT_TRUE(TestSame(TestPixel(out.world.get(), 9, 9), kRed));
}
