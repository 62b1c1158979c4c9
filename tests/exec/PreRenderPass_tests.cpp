// The pre-render pass: checkouts, covering and merging of requests (the
// rules, and what they do to a graph), the rect a consumer is served, checkout ids, output
// declarations and the contract checks, and the propagation of output rects.

#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <vector>

#include "exec/ExecTestAccess.h"
#include "exec/RGp_RequestRules.h"
#include "rg/RG_Traverser.h"
#include "support/LeakCheck.h"
#include "support/TestNodes.h"

namespace {

constexpr PF_RGBA8 kRed{200, 0, 0, 255};

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

RG_RenderRequest Q(M_LRect rect, int32_t field = 0, uint8_t flags = 0, int16_t depth = 8) {
  return TestRequest(rect, depth, flags, field);
}

RG_RenderRequest Req(int32_t l, int32_t t, int32_t r, int32_t b, uint8_t flags = 0,
                     int32_t field = 0) {
  return TestRequest(TestRect(l, t, r, b), 8, flags, field);
}

}  // namespace

class PreRenderPassTest : public LeakCheckTest {
 protected:
  // Pre-renders a consumer of `probe` asking for `requests`.
  void PreRender(TestLambdaNode* probe, std::vector<RG_RenderRequest> requests,
                 const RG_RenderRequest& rootRequest) {
    root_ = U_SharedPtr<RG_RenderNode>(MakeConsumer(probe, std::move(requests), &results_));
    traverser_ = std::make_unique<RG_Traverser>(root_.get());
    traverser_->PreRenderGraph(rootRequest);
  }
  void TearDown() override {
    traverser_.reset();
    root_.reset();
    LeakCheckTest::TearDown();
  }
  size_t Consumers(const RG_RenderNode* node) {
    return RGp_TraverserAccess::Invocation(*traverser_, node)->ConsumerCount();
  }
  std::vector<RG_RenderRequest> seen_;
  std::vector<RG_CheckoutResult*> results_;
  U_SharedPtr<RG_RenderNode> root_;
  std::unique_ptr<RG_Traverser> traverser_;
};

TEST_F(PreRenderPassTest, SameRequestTwicePreRendersOnce) {
  TestLambdaNode* probe = MakeProbe(&seen_);
  PreRender(probe, {Req(0, 0, 10, 10), Req(0, 0, 10, 10)}, Req(0, 0, 10, 10));
  EXPECT_EQ(seen_.size(), 1u);
  EXPECT_EQ(Consumers(probe), 2u);
  EXPECT_EQ(results_[1]->GetRect(), TestRect(0, 0, 10, 10));
}

TEST_F(PreRenderPassTest, LargerRequestPreRendersAgainWithUnionAndBalancesCounts) {
  std::vector<RG_RenderRequest> leafSeen;
  TestLambdaNode* leaf = MakeProbe(&leafSeen);
  TestLambdaNode* probe = MakeProbe(&seen_, nullptr, {leaf});
  PreRender(probe, {Req(0, 0, 10, 10), Req(5, 5, 20, 20)}, Req(0, 0, 20, 20));
  ASSERT_EQ(seen_.size(), 2u);
  EXPECT_EQ(seen_[1].rect, TestRect(0, 0, 20, 20));
  EXPECT_EQ(leafSeen.back().rect, TestRect(0, 0, 20, 20));
  // The old checkout of the leaf was taken back before the new one.
  EXPECT_EQ(Consumers(leaf), 1u);
  EXPECT_EQ(Consumers(probe), 2u);
  // Earlier results keep their rect; the propagation covers them.
  EXPECT_EQ(results_[0]->GetRect(), TestRect(0, 0, 10, 10));
  EXPECT_EQ(results_[1]->GetRect(), TestRect(5, 5, 20, 20));
  // The same graph renders each node once, whatever the pre-renders were.
  TestRun(root_.get(), Req(0, 0, 20, 20));
  EXPECT_EQ(leaf->counters.renders, 1);
  EXPECT_EQ(probe->counters.renders, 1);
}

TEST_F(PreRenderPassTest, AnotherFieldMergesToFieldZero) {
  PreRender(MakeProbe(&seen_),
            {Req(0, 0, 10, 10, 0, 1), Req(0, 0, 10, 10, 0, 2), Req(0, 0, 10, 10, 0, 1)},
            Req(0, 0, 10, 10));
  ASSERT_EQ(seen_.size(), 2u);  // field 0 covers the third request
  EXPECT_EQ(seen_[0].field, 1);
  EXPECT_EQ(seen_[1].field, 0);
}

TEST_F(PreRenderPassTest, WholeOutputFlagServesTheDeclaredOutput) {
  const M_LRect declared = TestRect(0, 0, 50, 50);
  PreRender(MakeProbe(&seen_, &declared),
            {Req(10, 10, 20, 20, RG_REQUEST_WHOLE_OUTPUT), Req(10, 10, 20, 20)}, Req(0, 0, 50, 50));
  EXPECT_EQ(results_[0]->GetRect(), declared);
  EXPECT_EQ(results_[0]->GetResultRect(), declared);
  EXPECT_EQ(results_[1]->GetRect(), TestRect(10, 10, 20, 20));
  ASSERT_EQ(seen_.size(), 1u);
  EXPECT_EQ(seen_[0].flags & RG_REQUEST_WHOLE_OUTPUT, 0);  // no node sees bit 2
}

TEST_F(PreRenderPassTest, TypeZeroConsumerIsTrimmedToTypeZeroBounds) {
  TestLambdaNode* probe = MakeProbe(&seen_);
  probe->SetTestContentBounds(TestRect(0, 0, 10, 10), TestRect(0, 0, 40, 40));
  PreRender(probe, {Req(0, 0, 30, 30, RG_REQUEST_CONTENT_BOUNDS_TYPE1), Req(0, 0, 30, 30)},
            Req(0, 0, 30, 30));
  EXPECT_EQ(seen_.size(), 1u);
  EXPECT_EQ(results_[0]->GetRect(), TestRect(0, 0, 30, 30));
  EXPECT_EQ(results_[1]->GetRect(), TestRect(0, 0, 10, 10));
  EXPECT_EQ(results_[1]->GetResultRect(), TestRect(0, 0, 10, 10));
}

TEST_F(PreRenderPassTest, LegacyBoundsClipTheCheckoutAndClearTheBit) {
  TestLambdaNode* probe = MakeProbe(&seen_);
  probe->SetLegacyEffectBounds(TestRect(5, 5, 15, 15));
  PreRender(probe, {Req(0, 0, 10, 10, RG_REQUEST_CLIP_TO_LEGACY_BOUNDS)}, Req(0, 0, 10, 10));
  ASSERT_EQ(seen_.size(), 1u);
  EXPECT_EQ(seen_[0].rect, TestRect(5, 5, 10, 10));
  EXPECT_EQ(seen_[0].flags & RG_REQUEST_CLIP_TO_LEGACY_BOUNDS, 0);
  EXPECT_EQ(results_[0]->GetGeneratingRequest().rect, TestRect(5, 5, 10, 10));
}

TEST_F(PreRenderPassTest, CheckoutIdsGroupsAndTheRenderOrder) {
  RG_CheckoutResult *a = nullptr, *out = nullptr, *b = nullptr, *c = nullptr;
  std::vector<RG_CheckoutResult*> order;
  RG_CheckoutResult *byMinusOne = nullptr, *byId = nullptr;
  U_SharedPtr<RG_RenderNode> root(new TestLambdaNode(
      {new TestSolidNode(TestRect(0, 0, 10, 10), kRed)},
      [&](RG_NodePreRenderCB* cb, const RG_RenderRequest& r) -> RG_NodeData* {
        a = cb->CheckoutInput(0, r);
        out = cb->RequestOutput(r.rect, 0, 0);
        cb->BeginCheckoutGroup();
        b = cb->CheckoutInput(0, r);
        cb->BeginCheckoutGroup();
        c = cb->CheckoutInputWithID(0, 7, r);
        return nullptr;
      },
      [&](RG_NodeRenderCB* cb, const RG_RenderRequest&, const RG_NodeData*) {
        for (int i = 0; i < 4; ++i) order.push_back(cb->GetNextCheckout());
        byMinusOne = cb->GetCheckoutByID(-1);
        byId = cb->GetCheckoutByID(2);
        out->GetOutputWorld();
        const RG_CheckoutResult* all[] = {a, out, b, c};
        const int32_t ids[] = {0, 1, 2, 7}, groups[] = {0, 0, 1, 2};
        for (int i = 0; i < 4; ++i) {
          EXPECT_EQ(RGp_CheckoutResultAccess::Id(all[i]), ids[i]) << i;
          if (i != 1) {
            EXPECT_EQ(RGp_CheckoutResultAccess::Group(all[i]), groups[i]) << i;
          }
        }
      }));
  TestRun(root.get(), Req(0, 0, 10, 10));
  EXPECT_EQ(order, (std::vector<RG_CheckoutResult*>{a, out, b, c}));
  EXPECT_EQ(byMinusOne, out);
  EXPECT_EQ(byId, b);
}

// ---- contract checks ----

class PreRenderFailureTest : public LeakCheckTest {
 protected:
  // Executes a root whose PreRender runs `body` over one solid input and
  // returns the code thrown.
  long RunRoot(const std::function<void(RG_NodePreRenderCB*, const RG_RenderRequest&)>& body,
               std::vector<RG_RenderNode*> inputs = {}) {
    if (inputs.empty()) inputs.push_back(input_);
    U_SharedPtr<RG_RenderNode> root(new TestLambdaNode(
        std::move(inputs),
        [&](RG_NodePreRenderCB* cb, const RG_RenderRequest& r) -> RG_NodeData* {
          body(cb, r);
          return nullptr;
        },
        nullptr));
    return TestRunCode(root.get(), Req(0, 0, 10, 10));
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

TEST_F(PreRenderFailureTest, ContractViolationsReportAndThrow) {
  using Body = std::function<void(RG_NodePreRenderCB*, const RG_RenderRequest&)>;
  using K = U_ReportKind;
  struct Case {
    const char* name;
    Body body;
    long code;
    K kind;
    long location, line;
    const char* text;
    int inputPreRenders;
  };
  const Case cases[] = {
      {"negative id", [](auto* cb, auto& r) { cb->CheckoutInputWithID(0, -1, r); }, 516,
       K::ErrorString, 0x4E0007, 0, "Checkout ID must be non-negative", 0},
      {"id after INT32_MAX",
       [](auto* cb, auto& r) {
         EXPECT_EQ(RGp_CheckoutResultAccess::Id(cb->CheckoutInputWithID(0, INT32_MAX, r)),
                   INT32_MAX);
         cb->CheckoutInput(0, r);
       },
       516, K::ErrorString, 0x4E0007, 0, "Checkout ID must be non-negative", 1},
      {"output after INT32_MAX",
       [](auto* cb, auto& r) {
         cb->CheckoutInputWithID(0, INT32_MAX, r);
         cb->RequestOutput(r.rect, 0, 0);
       },
       516, K::ErrorString, 0x4E0007, 0, "Checkout ID must be non-negative", 1},
      {"id of 2^32", [](auto* cb, auto& r) { cb->CheckoutInputWithID(0, 1L << 32, r); }, 516,
       K::ErrorString, 0x4E0007, 0, "Checkout ID must be non-negative", 0},
      {"duplicate id",
       [](auto* cb, auto& r) {
         cb->CheckoutInputWithID(0, 3, r);
         cb->CheckoutInputWithID(0, 3, Req(0, 0, 20, 20));
       },
       516, K::ErrorString, 0x4E0007, 0, "Checkout ID is not unique", 2},
      {"in place after output",
       [](auto* cb, auto& r) {
         cb->CheckoutInput(0, r);
         cb->RequestOutputInPlace(cb->RequestOutput(r.rect, 0, 0), r.rect, 0, 0);
       },
       3, K::FailedVerification, 0x4E0003, 602, "cannot request output more than once", 1},
      {"in place over null",
       [](auto* cb, auto& r) { cb->RequestOutputInPlace(nullptr, r.rect, 0, 0); }, 3,
       K::FailedVerification, 0x4E0003, 607, "invalid input request passed to RequestOutputInPlace",
       0},
      {"in place smaller",
       [](auto* cb, auto& r) {
         cb->RequestOutputInPlace(cb->CheckoutInput(0, r), TestRect(0, 0, 10, 9), 0, 0);
       },
       3, K::FailedVerification, 0x4E0003, 614,
       "output rect cannot be smaller than input result rect", 1},
      {"in place across depths",
       [](auto* cb, auto& r) {
         cb->RequestOutputInPlace(cb->CheckoutInput(0, TestRequest(r.rect, 16)), r.rect, 0, 0);
       },
       3, K::FailedVerification, 0x4E0003, 618,
       "cannot work in place when output has different bit depth than input", 1},
      {"two depths",
       [](auto* cb, auto& r) {
         cb->CheckoutInput(0, r);
         cb->CheckoutInput(0, TestRequest(TestRect(1, 1, 2, 2), 16));
       },
       3, K::FailedVerification, 0x4E0002, 319,
       "All render requests into a node must have the same bit depth", 1},
      {"no output", [](auto* cb, auto& r) { cb->CheckoutInput(0, r); }, 3, K::FailedVerification,
       0x4E0003, 590, "PreRender did not declare an output", 1},
      {"input 1", [](auto* cb, auto& r) { cb->CheckoutInput(1, r); }, 3, K::FailedVerification,
       0x4E0003, 640, "checkout of an input index out of range", 0},
      {"input -1", [](auto* cb, auto& r) { cb->CheckoutInput(-1, r); }, 3, K::FailedVerification,
       0x4E0003, 640, "checkout of an input index out of range", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    input_->counters.pre_renders = 0;
    EXPECT_EQ(RunRoot(c.body), c.code);
    ExpectLastReport(c.kind, c.location, c.line, c.text);
    EXPECT_EQ(input_->counters.pre_renders, c.inputPreRenders);
  }
}

TEST_F(PreRenderFailureTest, InPlaceOverAnEmptyInputAcceptsAnyRect) {
  EXPECT_EQ(RunRoot([](RG_NodePreRenderCB* cb, const RG_RenderRequest&) {
              RG_CheckoutResult* in = cb->CheckoutInput(0, Req(50, 50, 60, 60));
              cb->RequestOutputInPlace(in, TestRect(0, 0, 1, 1), 0, 0);
            }),
            0);
}

TEST_F(PreRenderFailureTest, InPlaceOverAForeignInputOrAnEmptySlot) {
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
  EXPECT_EQ(RunRoot(
                [&](RG_NodePreRenderCB* cb, const RG_RenderRequest& r) {
                  cb->CheckoutInput(0, r);
                  cb->RequestOutputInPlace(foreign, r.rect, 0, 0);
                },
                {middle}),
            3);
  ExpectLastReport(U_ReportKind::FailedVerification, 0x4E0003, 607,
                   "invalid input request passed to RequestOutputInPlace");

  EXPECT_EQ(
      RunRoot([](RG_NodePreRenderCB* cb, const RG_RenderRequest& r) { cb->CheckoutInput(0, r); },
              {nullptr}),
      3);
  ExpectLastReport(U_ReportKind::FailedVerification, 0x4E0003, 644,
                   "checkout of an empty input slot");
}

// ---- the covering and merging rules ----

class RenderRequestTest : public LeakCheckTest {};

TEST_F(RenderRequestTest, Covering) {
  const M_LRect rect{0, 0, 10, 10};
  const uint8_t type1 = RG_REQUEST_CONTENT_BOUNDS_TYPE1;
  struct Case {
    RG_RenderRequest stored, asked;
    bool covers;
  };
  const M_LRect big{10, 10, 100, 100};
  const Case cases[] = {
      {Q(big), Q(big), true},
      {Q(big), Q({20, 30, 40, 50}), true},
      {Q(big), Q({9, 10, 100, 100}), false},
      {Q(big), Q({10, 9, 100, 100}), false},
      {Q(big), Q({10, 10, 101, 100}), false},
      {Q(big), Q({10, 10, 100, 101}), false},
      // Empty rects get no special case: inside counts, outside does not.
      {Q(big), Q({50, 50, 50, 50}), true},
      {Q(big), Q({0, 0, 0, 0}), false},
      // Field 0 covers both fields; the fields do not cover each other.
      {Q(rect, 0), Q(rect, 1), true},
      {Q(rect, 0), Q(rect, 2), true},
      {Q(rect, 2), Q(rect, 2), true},
      {Q(rect, 1), Q(rect, 2), false},
      {Q(rect, 1), Q(rect, 0), false},
      // Type 1 covers type 0, not the other way round; other bits take no part.
      {Q(rect, 0, 0), Q(rect, 0, type1), false},
      {Q(rect, 0, type1), Q(rect, 0, 0), true},
      {Q(rect, 0, type1), Q(rect, 0, type1), true},
      {Q(rect, 0, 0), Q(rect, 0, 0xFE), true},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(RGp_RequestCovers(cases[i].stored, cases[i].asked), cases[i].covers);
  }
}

TEST_F(RenderRequestTest, MergingRects) {
  RG_RenderRequest stored = Q({10, 10, 20, 20});
  RGp_MergeRequest(&stored, Q({0, 0, 0, 0}));
  EXPECT_EQ(stored.rect, (M_LRect{10, 10, 20, 20}));
  // An empty request that the stored one does not cover changes nothing, so
  // the node would be pre-rendered again for the same area.
  EXPECT_FALSE(RGp_RequestCovers(stored, Q({0, 0, 0, 0})));
  RGp_MergeRequest(&stored, Q({5, 15, 15, 30}));
  EXPECT_EQ(stored.rect, (M_LRect{5, 10, 20, 30}));

  RG_RenderRequest empty = Q({40, 40, 40, 50});
  RGp_MergeRequest(&empty, Q({1, 2, 3, 4}));
  EXPECT_EQ(empty.rect, (M_LRect{1, 2, 3, 4}));
}

TEST_F(RenderRequestTest, MergingFieldsFlagsAndDepth) {
  const M_LRect rect{0, 0, 10, 10};
  RG_RenderRequest stored = Q(rect, 1, 0x02, 16);
  RGp_MergeRequest(&stored, Q(rect, 1, 0x81, 16));
  EXPECT_EQ(stored.field, 1);
  EXPECT_EQ(stored.flags, 0x83);
  RGp_MergeRequest(&stored, Q(rect, 2, 0x04, 16));
  EXPECT_EQ(stored.field, 0);
  EXPECT_EQ(stored.flags, 0x87);
  EXPECT_EQ(stored.bit_depth, 16);
  EXPECT_TRUE(RGp_RequestCovers(stored, Q(rect, 2, 0x01, 16)));

  RG_RenderRequest two = Q(rect, 2);
  RGp_MergeRequest(&two, Q(rect, 2));
  EXPECT_EQ(two.field, 2);
}
