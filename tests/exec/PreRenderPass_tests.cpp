// The pre-render pass: checkouts, covering and merging of requests, the
// rect a consumer is served, checkout ids, output declarations and the
// contract checks, and the propagation of output rects.

#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <vector>

#include "exec/ExecTestAccess.h"
#include "rg/RG_Traverser.h"
#include "support/LeakCheck.h"
#include "support/TestNodes.h"

namespace {

constexpr PF_Pixel8 kRed{200, 0, 0, 255};

// A producer that records the stored request of each of its pre-renders and
// declares the requested rect (or `fixed` when given). Renders a solid fill.
TestLambdaNode* MakeProbe(std::vector<RG_RenderRequest>* seen, const M_LRect* fixed = nullptr,
                          std::vector<RG_RenderNode*> inputs = {}) {
  const bool hasFixed = fixed != nullptr;
  const M_LRect rect = hasFixed ? *fixed : M_LRect{};
  const bool passOn = !inputs.empty();
  return new TestLambdaNode(
      std::move(inputs),
      [=](RG_NodePreRenderCB* cb, const RG_RenderRequest& r) -> RG_NodeData* {
        seen->push_back(r);
        if (passOn) cb->CheckoutInput(0, r);
        cb->RequestOutput(hasFixed ? rect : r.rect, 0, 0);
        return nullptr;
      },
      [=](RG_NodeRenderCB* cb, const RG_RenderRequest&, const RG_NodeData*) {
        if (passOn) cb->GetNextCheckout()->GetWorld();
        TestFill(cb->GetCheckoutByID(-1)->GetOutputWorld(), kRed);
      });
}

// A root that checks out input 0 once per request and keeps the results.
TestLambdaNode* MakeConsumer(RG_RenderNode* input, std::vector<RG_RenderRequest> requests,
                             std::vector<RG_CheckoutResult*>* results) {
  const size_t count = requests.size() + 1;
  return new TestLambdaNode(
      {input},
      [=](RG_NodePreRenderCB* cb, const RG_RenderRequest& r) -> RG_NodeData* {
        for (const RG_RenderRequest& q : requests) results->push_back(cb->CheckoutInput(0, q));
        cb->RequestOutput(r.rect, 0, 0);
        return nullptr;
      },
      [=](RG_NodeRenderCB* cb, const RG_RenderRequest&, const RG_NodeData*) {
        for (size_t i = 0; i < count; ++i) {
          RG_CheckoutResult* c = cb->GetNextCheckout();
          if (c->IsInput()) {
            c->GetWorld();
          } else {
            c->GetOutputWorld();
          }
        }
      });
}

}  // namespace

class PreRenderPassTest : public LeakCheckTest {};

TEST_F(PreRenderPassTest, SameRequestTwicePreRendersOnce) {
  std::vector<RG_RenderRequest> seen;
  std::vector<RG_CheckoutResult*> results;
  TestLambdaNode* probe = MakeProbe(&seen);
  const RG_RenderRequest q = TestRequest(TestRect(0, 0, 10, 10));
  U_SharedPtr<RG_RenderNode> root(MakeConsumer(probe, {q, q}, &results));
  RG_Traverser traverser(root.get());
  traverser.PreRenderGraph(q);
  EXPECT_EQ(seen.size(), 1u);
  EXPECT_EQ(RGp_TraverserAccess::Invocation(traverser, probe)->ConsumerCount(), 2u);
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(results[1]->GetRect(), TestRect(0, 0, 10, 10));
}

TEST_F(PreRenderPassTest, LargerRequestPreRendersAgainWithUnionAndBalancesCounts) {
  std::vector<RG_RenderRequest> probeSeen, leafSeen;
  std::vector<RG_CheckoutResult*> results;
  TestLambdaNode* leaf = MakeProbe(&leafSeen);
  TestLambdaNode* probe = MakeProbe(&probeSeen, nullptr, {leaf});
  U_SharedPtr<RG_RenderNode> root(MakeConsumer(
      probe, {TestRequest(TestRect(0, 0, 10, 10)), TestRequest(TestRect(5, 5, 20, 20))}, &results));
  {
    RG_Traverser traverser(root.get());
    traverser.PreRenderGraph(TestRequest(TestRect(0, 0, 20, 20)));
    ASSERT_EQ(probeSeen.size(), 2u);
    EXPECT_EQ(probeSeen[1].rect, TestRect(0, 0, 20, 20));
    EXPECT_EQ(leafSeen.back().rect, TestRect(0, 0, 20, 20));
    // The old checkout of the leaf was taken back before the new one.
    EXPECT_EQ(RGp_TraverserAccess::Invocation(traverser, leaf)->ConsumerCount(), 1u);
    EXPECT_EQ(RGp_TraverserAccess::Invocation(traverser, probe)->ConsumerCount(), 2u);
    // Earlier results keep their rect; the propagation covers them.
    EXPECT_EQ(results[0]->GetRect(), TestRect(0, 0, 10, 10));
    EXPECT_EQ(results[1]->GetRect(), TestRect(5, 5, 20, 20));
  }
  // The same graph renders each node once, whatever the pre-renders were.
  M_LRect rect;
  char flags;
  PF_World* world = nullptr;
  RG_ExecuteGraph(root.get(), TestRequest(TestRect(0, 0, 20, 20)), &rect, &flags, &world, nullptr);
  delete world;
  EXPECT_EQ(leaf->counters.renders, 1);
  EXPECT_EQ(probe->counters.renders, 1);
}

TEST_F(PreRenderPassTest, AnotherFieldMergesToFieldZero) {
  std::vector<RG_RenderRequest> seen;
  std::vector<RG_CheckoutResult*> results;
  TestLambdaNode* probe = MakeProbe(&seen);
  U_SharedPtr<RG_RenderNode> root(MakeConsumer(
      probe,
      {TestRequest(TestRect(0, 0, 10, 10), 8, 0, 1), TestRequest(TestRect(0, 0, 10, 10), 8, 0, 2),
       TestRequest(TestRect(0, 0, 10, 10), 8, 0, 1)},
      &results));
  RG_Traverser traverser(root.get());
  traverser.PreRenderGraph(TestRequest(TestRect(0, 0, 10, 10)));
  ASSERT_EQ(seen.size(), 2u);  // field 0 covers the third request
  EXPECT_EQ(seen[0].field, 1);
  EXPECT_EQ(seen[1].field, 0);
}

TEST_F(PreRenderPassTest, WholeOutputFlagServesTheDeclaredOutput) {
  std::vector<RG_RenderRequest> seen;
  std::vector<RG_CheckoutResult*> results;
  const M_LRect declared = TestRect(0, 0, 50, 50);
  TestLambdaNode* probe = MakeProbe(&seen, &declared);
  U_SharedPtr<RG_RenderNode> root(MakeConsumer(
      probe,
      {TestRequest(TestRect(10, 10, 20, 20), 8, RG_REQUEST_WHOLE_OUTPUT),
       TestRequest(TestRect(10, 10, 20, 20))},
      &results));
  RG_Traverser traverser(root.get());
  traverser.PreRenderGraph(TestRequest(TestRect(0, 0, 50, 50)));
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(results[0]->GetRect(), declared);
  EXPECT_EQ(results[0]->GetResultRect(), declared);
  EXPECT_EQ(results[1]->GetRect(), TestRect(10, 10, 20, 20));
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].flags & RG_REQUEST_WHOLE_OUTPUT, 0);  // no node sees bit 2
}

TEST_F(PreRenderPassTest, TypeZeroConsumerIsTrimmedToTypeZeroBounds) {
  std::vector<RG_RenderRequest> seen;
  std::vector<RG_CheckoutResult*> results;
  TestLambdaNode* probe = MakeProbe(&seen);
  probe->SetTestContentBounds(TestRect(0, 0, 10, 10), TestRect(0, 0, 40, 40));
  U_SharedPtr<RG_RenderNode> root(MakeConsumer(
      probe,
      {TestRequest(TestRect(0, 0, 30, 30), 8, RG_REQUEST_CONTENT_BOUNDS_TYPE1),
       TestRequest(TestRect(0, 0, 30, 30))},
      &results));
  RG_Traverser traverser(root.get());
  traverser.PreRenderGraph(TestRequest(TestRect(0, 0, 30, 30)));
  EXPECT_EQ(seen.size(), 1u);
  EXPECT_EQ(results[0]->GetRect(), TestRect(0, 0, 30, 30));
  EXPECT_EQ(results[1]->GetRect(), TestRect(0, 0, 10, 10));
  EXPECT_EQ(results[1]->GetResultRect(), TestRect(0, 0, 10, 10));
}

TEST_F(PreRenderPassTest, LegacyBoundsClipTheCheckoutAndClearTheBit) {
  std::vector<RG_RenderRequest> seen;
  std::vector<RG_CheckoutResult*> results;
  TestLambdaNode* probe = MakeProbe(&seen);
  probe->SetLegacyEffectBounds(TestRect(5, 5, 15, 15));
  U_SharedPtr<RG_RenderNode> root(MakeConsumer(
      probe, {TestRequest(TestRect(0, 0, 10, 10), 8, RG_REQUEST_CLIP_TO_LEGACY_BOUNDS)}, &results));
  RG_Traverser traverser(root.get());
  traverser.PreRenderGraph(TestRequest(TestRect(0, 0, 10, 10)));
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].rect, TestRect(5, 5, 10, 10));
  EXPECT_EQ(seen[0].flags & RG_REQUEST_CLIP_TO_LEGACY_BOUNDS, 0);
  EXPECT_EQ(results[0]->GetGeneratingRequest().rect, TestRect(5, 5, 10, 10));
}

TEST_F(PreRenderPassTest, CheckoutIdsAndTheRenderOrder) {
  auto* solid = new TestSolidNode(TestRect(0, 0, 10, 10), kRed);
  RG_CheckoutResult *a = nullptr, *out = nullptr, *b = nullptr, *c = nullptr;
  std::vector<RG_CheckoutResult*> order;
  RG_CheckoutResult* byMinusOne = nullptr;
  RG_CheckoutResult* byId = nullptr;
  U_SharedPtr<RG_RenderNode> root(new TestLambdaNode(
      {solid},
      [&](RG_NodePreRenderCB* cb, const RG_RenderRequest& r) -> RG_NodeData* {
        a = cb->CheckoutInput(0, r);
        out = cb->RequestOutput(r.rect, 0, 0);
        b = cb->CheckoutInput(0, r);
        c = cb->CheckoutInputWithID(0, 7, r);
        return nullptr;
      },
      [&](RG_NodeRenderCB* cb, const RG_RenderRequest&, const RG_NodeData*) {
        for (int i = 0; i < 4; ++i) order.push_back(cb->GetNextCheckout());
        byMinusOne = cb->GetCheckoutByID(-1);
        byId = cb->GetCheckoutByID(2);
        out->GetOutputWorld();
        EXPECT_EQ(RGp_CheckoutResultAccess::Id(a), 0);
        EXPECT_EQ(RGp_CheckoutResultAccess::Id(out), 1);
        EXPECT_EQ(RGp_CheckoutResultAccess::Id(b), 2);
        EXPECT_EQ(RGp_CheckoutResultAccess::Id(c), 7);
      }));
  M_LRect rect;
  char flags;
  PF_World* world = nullptr;
  RG_ExecuteGraph(root.get(), TestRequest(TestRect(0, 0, 10, 10)), &rect, &flags, &world, nullptr);
  delete world;
  EXPECT_EQ(order, (std::vector<RG_CheckoutResult*>{a, out, b, c}));
  EXPECT_EQ(byMinusOne, out);
  EXPECT_EQ(byId, b);
}

TEST_F(PreRenderPassTest, CheckoutGroupsAreStamped) {
  auto* solid = new TestSolidNode(TestRect(0, 0, 10, 10), kRed);
  std::vector<RG_CheckoutResult*> made;
  U_SharedPtr<RG_RenderNode> root(new TestLambdaNode(
      {solid},
      [&](RG_NodePreRenderCB* cb, const RG_RenderRequest& r) -> RG_NodeData* {
        made.push_back(cb->CheckoutInput(0, r));
        cb->BeginCheckoutGroup();
        made.push_back(cb->CheckoutInput(0, r));
        made.push_back(cb->CheckoutInput(0, r));
        cb->BeginCheckoutGroup();
        made.push_back(cb->CheckoutInput(0, r));
        cb->RequestOutput(r.rect, 0, 0);
        return nullptr;
      },
      nullptr));
  RG_Traverser traverser(root.get());
  traverser.PreRenderGraph(TestRequest(TestRect(0, 0, 10, 10)));
  ASSERT_EQ(made.size(), 4u);
  EXPECT_EQ(RGp_CheckoutResultAccess::Group(made[0]), 0);
  EXPECT_EQ(RGp_CheckoutResultAccess::Group(made[1]), 1);
  EXPECT_EQ(RGp_CheckoutResultAccess::Group(made[2]), 1);
  EXPECT_EQ(RGp_CheckoutResultAccess::Group(made[3]), 2);
}

// ---- contract checks ----

class PreRenderFailureTest : public LeakCheckTest {
 protected:
  // Executes a root whose PreRender runs `body` over one solid input and
  // returns the code thrown.
  long RunRoot(const std::function<void(RG_NodePreRenderCB*, const RG_RenderRequest&)>& body) {
    U_SharedPtr<RG_RenderNode> root(new TestLambdaNode(
        {input_},
        [&](RG_NodePreRenderCB* cb, const RG_RenderRequest& r) -> RG_NodeData* {
          body(cb, r);
          return nullptr;
        },
        nullptr));
    return CatchCode([&] {
      M_LRect rect;
      char flags;
      PF_World* world = nullptr;
      RG_ExecuteGraph(root.get(), TestRequest(TestRect(0, 0, 10, 10)), &rect, &flags, &world,
                      nullptr);
      delete world;
    });
  }
  void SetUp() override {
    LeakCheckTest::SetUp();
    input_ = new TestSolidNode(TestRect(0, 0, 10, 10), kRed);
    keep_ = input_;
  }
  void TearDown() override {
    keep_.reset();
    LeakCheckTest::TearDown();
  }
  TestSolidNode* input_ = nullptr;
  U_SharedPtr<RG_RenderNode> keep_;
};

TEST_F(PreRenderFailureTest, NegativeCheckoutIdFailsBeforeAnythingIsCheckedOut) {
  EXPECT_EQ(RunRoot([](RG_NodePreRenderCB* cb, const RG_RenderRequest& r) {
              cb->CheckoutInputWithID(0, -1, r);
            }),
            516);
  ExpectLastReport(U_ReportKind::ErrorString, 0x4E0007, 0, "Checkout ID must be non-negative");
  EXPECT_EQ(input_->counters.pre_renders, 0);
}

TEST_F(PreRenderFailureTest, CheckoutIdsStayWithinThirtyTwoBits) {
  // The largest id is fine; the one after it, explicit or automatic, would
  // wrap to a negative id.
  RG_CheckoutResult* largest = nullptr;
  EXPECT_EQ(RunRoot([&](RG_NodePreRenderCB* cb, const RG_RenderRequest& r) {
              largest = cb->CheckoutInputWithID(0, INT32_MAX, r);
              EXPECT_EQ(RGp_CheckoutResultAccess::Id(largest), INT32_MAX);
              cb->CheckoutInput(0, r);
            }),
            516);
  ExpectLastReport(U_ReportKind::ErrorString, 0x4E0007, 0, "Checkout ID must be non-negative");
  EXPECT_EQ(input_->counters.pre_renders, 1);
  EXPECT_EQ(RunRoot([](RG_NodePreRenderCB* cb, const RG_RenderRequest& r) {
              cb->CheckoutInputWithID(0, INT32_MAX, r);
              cb->RequestOutput(r.rect, 0, 0);
            }),
            516);
  EXPECT_EQ(RunRoot([](RG_NodePreRenderCB* cb, const RG_RenderRequest& r) {
              cb->CheckoutInputWithID(0, 1L << 32, r);
            }),
            516);
}

TEST_F(PreRenderFailureTest, DuplicateCheckoutIdFailsAfterTheInputsPreRender) {
  EXPECT_EQ(RunRoot([](RG_NodePreRenderCB* cb, const RG_RenderRequest& r) {
              cb->CheckoutInputWithID(0, 3, r);
              cb->CheckoutInputWithID(0, 3, TestRequest(TestRect(0, 0, 20, 20)));
            }),
            516);
  ExpectLastReport(U_ReportKind::ErrorString, 0x4E0007, 0, "Checkout ID is not unique");
  EXPECT_EQ(input_->counters.pre_renders, 2);
}

TEST_F(PreRenderFailureTest, InPlaceAfterAnOutputWasDeclared) {
  EXPECT_EQ(RunRoot([](RG_NodePreRenderCB* cb, const RG_RenderRequest& r) {
              RG_CheckoutResult* in = cb->CheckoutInput(0, r);
              RG_CheckoutResult* out = cb->RequestOutput(r.rect, 0, 0);
              cb->RequestOutputInPlace(out, r.rect, 0, 0);
              (void)in;
            }),
            3);
  ExpectLastReport(U_ReportKind::FailedVerification, 0x4E0003, 602,
                   "cannot request output more than once");
}

TEST_F(PreRenderFailureTest, InPlaceWithNullOrForeignInput) {
  EXPECT_EQ(RunRoot([](RG_NodePreRenderCB* cb, const RG_RenderRequest& r) {
              cb->RequestOutputInPlace(nullptr, r.rect, 0, 0);
            }),
            3);
  ExpectLastReport(U_ReportKind::FailedVerification, 0x4E0003, 607,
                   "invalid input request passed to RequestOutputInPlace");

  // A result checked out by another node.
  RG_CheckoutResult* foreign = nullptr;
  auto* middle = new TestLambdaNode(
      {new TestSolidNode(TestRect(0, 0, 10, 10), kRed)},
      [&](RG_NodePreRenderCB* cb, const RG_RenderRequest& r) -> RG_NodeData* {
        foreign = cb->CheckoutInput(0, r);
        cb->RequestOutput(r.rect, 0, 0);
        return nullptr;
      },
      nullptr);
  U_SharedPtr<RG_RenderNode> root(new TestLambdaNode(
      {middle},
      [&](RG_NodePreRenderCB* cb, const RG_RenderRequest& r) -> RG_NodeData* {
        cb->CheckoutInput(0, r);
        cb->RequestOutputInPlace(foreign, r.rect, 0, 0);
        return nullptr;
      },
      nullptr));
  RG_Traverser traverser(root.get());
  EXPECT_EQ(CatchCode([&] { traverser.PreRenderGraph(TestRequest(TestRect(0, 0, 10, 10))); }), 3);
  ExpectLastReport(U_ReportKind::FailedVerification, 0x4E0003, 607,
                   "invalid input request passed to RequestOutputInPlace");
}

TEST_F(PreRenderFailureTest, InPlaceOutputSmallerThanTheInput) {
  EXPECT_EQ(RunRoot([](RG_NodePreRenderCB* cb, const RG_RenderRequest& r) {
              RG_CheckoutResult* in = cb->CheckoutInput(0, r);
              cb->RequestOutputInPlace(in, TestRect(0, 0, 10, 9), 0, 0);
            }),
            3);
  ExpectLastReport(U_ReportKind::FailedVerification, 0x4E0003, 614,
                   "output rect cannot be smaller than input result rect");
}

TEST_F(PreRenderFailureTest, InPlaceOverAnEmptyInputAcceptsAnyRect) {
  EXPECT_EQ(RunRoot([](RG_NodePreRenderCB* cb, const RG_RenderRequest&) {
              RG_CheckoutResult* in = cb->CheckoutInput(0, TestRequest(TestRect(50, 50, 60, 60)));
              cb->RequestOutputInPlace(in, TestRect(0, 0, 1, 1), 0, 0);
            }),
            0);
}

TEST_F(PreRenderFailureTest, InPlaceAcrossBitDepths) {
  EXPECT_EQ(RunRoot([](RG_NodePreRenderCB* cb, const RG_RenderRequest& r) {
              RG_CheckoutResult* in = cb->CheckoutInput(0, TestRequest(r.rect, 16));
              cb->RequestOutputInPlace(in, r.rect, 0, 0);
            }),
            3);
  ExpectLastReport(U_ReportKind::FailedVerification, 0x4E0003, 618,
                   "cannot work in place when output has different bit depth than input");
}

TEST_F(PreRenderFailureTest, TwoDepthsIntoOneNode) {
  EXPECT_EQ(RunRoot([](RG_NodePreRenderCB* cb, const RG_RenderRequest& r) {
              cb->CheckoutInput(0, r);
              cb->CheckoutInput(0, TestRequest(TestRect(1, 1, 2, 2), 16));
            }),
            3);
  ExpectLastReport(U_ReportKind::FailedVerification, 0x4E0002, 319,
                   "All render requests into a node must have the same bit depth");
}

TEST_F(PreRenderFailureTest, PreRenderWithoutOutput) {
  EXPECT_EQ(RunRoot([](RG_NodePreRenderCB* cb, const RG_RenderRequest& r) {
              cb->CheckoutInput(0, r);
            }),
            3);
  ExpectLastReport(U_ReportKind::FailedVerification, 0x4E0003, 590,
                   "PreRender did not declare an output");
}

TEST_F(PreRenderFailureTest, CheckoutOfAMissingInput) {
  EXPECT_EQ(RunRoot([](RG_NodePreRenderCB* cb, const RG_RenderRequest& r) {
              cb->CheckoutInput(1, r);
            }),
            3);
  ExpectLastReport(U_ReportKind::FailedVerification, 0x4E0003, 640,
                   "checkout of an input index out of range");
  EXPECT_EQ(RunRoot([](RG_NodePreRenderCB* cb, const RG_RenderRequest& r) {
              cb->CheckoutInput(-1, r);
            }),
            3);
  ExpectLastReport(U_ReportKind::FailedVerification, 0x4E0003, 640,
                   "checkout of an input index out of range");

  U_SharedPtr<RG_RenderNode> root(new TestLambdaNode(
      {nullptr},
      [](RG_NodePreRenderCB* cb, const RG_RenderRequest& r) -> RG_NodeData* {
        cb->CheckoutInput(0, r);
        return nullptr;
      },
      nullptr));
  RG_Traverser traverser(root.get());
  EXPECT_EQ(CatchCode([&] { traverser.PreRenderGraph(TestRequest(TestRect(0, 0, 10, 10))); }), 3);
  ExpectLastReport(U_ReportKind::FailedVerification, 0x4E0003, 644,
                   "checkout of an empty input slot");
}
