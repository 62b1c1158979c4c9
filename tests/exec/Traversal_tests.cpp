// The traverser's bookkeeping when several requests meet a node: it is
// pre-rendered again only when an earlier request does not cover the new one.

#include <random>

#include "exec/ExecTestAccess.h"
#include "exec/RGp_Arena.h"
#include "support/LeakCheck.h"

namespace {

constexpr PF_RGBA8 kRed{200, 0, 0, 255};

template <class T, class... More>
std::vector<T> V(const T& first, const More&... more) {
  return {first, more...};
}

class TraversalTest : public LeakCheckTest {};

// A consumer asks a probe for `asks` in turn. The probe must be pre-rendered
// for each stored request only (`prerenders`, last seen rect, field and
// flags), and each checkout served its own rect and result rect.
TEST_F(TraversalTest, RequestsThatMeetPreRenderAgainOnlyWhenNotCovered) {
  const uint8_t kType1 = RG_REQUEST_CONTENT_BOUNDS_TYPE1, kWhole = RG_REQUEST_WHOLE_OUTPUT;
  const uint8_t kLegacy = RG_REQUEST_CLIP_TO_LEGACY_BOUNDS;
  struct Case {
    const char* name;
    std::vector<RG_RenderRequest> asks;
    int prerenders;
    RG_RenderRequest last_seen;
    std::vector<M_LRect> served;  // rect and result rect of each checkout
  };
  const M_LRect a = TestRect(0, 0, 10, 10), big = TestRect(0, 0, 30, 30);
  const M_LRect mid = TestRect(5, 5, 20, 20), clip = TestRect(5, 5, 10, 10);
  const auto Q = [](const M_LRect& r, uint8_t flags = 0, int32_t field = 0) {
    return TestRequest(r, 8, flags, field);
  };
  const Case cases[] = {
      {"same request twice", V(Q(a), Q(a)), 1, Q(a), V(a, a, a, a)},
      {"a larger one: again, for the union", V(Q(a), Q(mid)), 2, Q(TestRect(0, 0, 20, 20)),
       V(a, a, mid, mid)},
      {"other fields merge to field 0", V(Q(a, 0, 1), Q(a, 0, 2), Q(a, 0, 1)), 2, Q(a),
       V(a, a, a, a, a, a)},
      {"whole output serves the declared output (probe declares 30 x 30)", V(Q(a, kWhole), Q(a)), 1,
       Q(a), V(big, big, a, a)},
      {"a type-0 consumer is trimmed to type-0 bounds (10 x 10 of 40 x 40)",
       V(Q(big, kType1), Q(big)), 1, Q(big, kType1), V(big, big, a, a)},
      {"but a type-1 one after a type-0 one: again", V(Q(big), Q(big, kType1)), 2, Q(big, kType1),
       V(big, big, big, big)},
      {"legacy bounds clip the checkout and clear the bit", V(Q(a, kLegacy)), 1, Q(clip),
       V(clip, clip)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const bool whole = c.asks[0].flags & kWhole;
    auto* leaf = TestSolid(big, kRed);
    auto* probe = new TestLambdaNode(
        {leaf},
        [whole, big](RG_NodePreRenderCB* cb, const RG_RenderRequest& r) {
          cb->CheckoutInput(0, r);
          cb->RequestOutput(whole ? big : r.rect, 0, 0);
        },
        [](RG_NodeRenderCB* cb) {
          cb->GetNextCheckout()->GetWorld();
          cb->GetCheckoutByID(-1)->GetOutputWorld();
        });
    if (c.asks[0].flags & kType1) probe->SetTestContentBounds(a, TestRect(0, 0, 40, 40));
    probe->SetLegacyEffectBounds(TestRect(5, 5, 15, 15));
    std::vector<M_LRect> served;
    U_SharedPtr<RG_RenderNode> root(new TestLambdaNode(
        {probe},
        [&](RG_NodePreRenderCB* cb, const RG_RenderRequest& r) {
          std::vector<RG_CheckoutResult*> results;
          for (const RG_RenderRequest& q : c.asks) results.push_back(cb->CheckoutInput(0, q));
          for (RG_CheckoutResult* res : results)
            served.insert(served.end(), {res->GetRect(), res->GetResultRect()});
          cb->RequestOutput(r.rect, 0, 0);
        },
        [](RG_NodeRenderCB* cb) {
          for (RG_CheckoutResult* next; (next = cb->GetNextCheckout())->IsInput();)
            next->GetWorld();
          cb->GetCheckoutByID(-1)->GetOutputWorld();
        }));
    {
      // A pre-render again takes back the probe's old checkout of the leaf.
      RG_Traverser traverser(root.get());
      traverser.PreRenderGraph(TestRequest(big));
      EXPECT_EQ(RGp_TraverserAccess::Invocation(traverser, leaf)->ConsumerCount(), 1u);
      EXPECT_EQ(RGp_TraverserAccess::Invocation(traverser, probe)->ConsumerCount(), c.asks.size());
    }
    probe->counters = {};
    served.clear();
    TestRun(root.get(), big);
    // Rendered once, whatever the pre-renders were.
    EXPECT_EQ(probe->counters.renders, 1);
    EXPECT_EQ(leaf->counters.renders, 1);
    const std::vector<RG_RenderRequest>& seen = probe->counters.requests;
    ASSERT_EQ(seen.size(), static_cast<size_t>(c.prerenders));
    EXPECT_EQ(seen.back().rect, c.last_seen.rect);
    EXPECT_EQ(seen.back().field, c.last_seen.field);
    EXPECT_EQ(seen.back().flags, c.last_seen.flags);  // no node sees bits 1 and 2
    EXPECT_EQ(served, c.served);
  }
}

// Each pass walks a shared node once: a ladder of 60 nodes, each reading the
// one below twice, renders its leaf once and finishes (a walk of every path
// would take 2^60 steps).
TEST_F(TraversalTest, SharedNodesMustBeWalkedOncePerPass) {
  auto* leaf = TestPattern(TestRect(0, 0, 8, 8));
  U_SharedPtr<RG_RenderNode> keepLeaf(leaf);
  // Nodes at irregular addresses, so that their slots in the table of
  // invocations collide.
  std::mt19937 random(7);
  std::vector<std::unique_ptr<char[]>> gaps;
  RG_RenderNode* top = leaf;
  for (int i = 0; i < 1000; ++i) {
    gaps.emplace_back(new char[random() % 2048]);
    top = TestOver(top, top);
  }
  U_SharedPtr<RG_RenderNode> root(top);
  EXPECT_NE(TestRun(root.get(), TestRect(0, 0, 8, 8)).world, nullptr);
  EXPECT_EQ(leaf->counters.renders, 1);
  // Ids follow the first pre-renders, top down, and stay.
  EXPECT_EQ(std::pair(root->GetNodeID(), leaf->GetNodeID()), std::pair(0, 1000));
}

}  // namespace
