// The traverser's bookkeeping: which nodes are reached, how often they are
// pre-rendered when several requests meet, the rects and ids they get, the
// checkout order, and what dies when.
#include <numeric>

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

// Enough nodes, each in place over the next, for the invocation table to
// grow several times: every reached node must be found with its declared
// rect and node data, an unreached one with neither; the node data must die
// with the traverser, in the order the nodes were first reached, whatever
// their addresses. RenderStartingAtNode leaves its outputs alone.
TEST_F(TraversalTest, QueriesFindEveryReachedNodeAndNodeDataDiesInTheOrderReached) {
  struct OrderData : RG_NodeData {
    OrderData(std::vector<int>* deaths, int index) : deaths(deaths), index(index) {}
    ~OrderData() override { deaths->push_back(index); }
    std::vector<int>* deaths;
    int index;
  };
  constexpr int kNodes = 1500;
  std::vector<int> deaths;
  std::vector<RG_RenderNode*> nodes;  // nodes[i] is reached i-th
  auto* leaf = TestSolid(TestRect(0, 0, 1, 1), kRed);
  U_SharedPtr<RG_RenderNode> unreached(TestSolid(TestRect(0, 0, 5, 5), kRed));
  RG_RenderNode* below = leaf;
  for (int depth = kNodes - 1; depth >= 0; --depth) {
    below = new TestLambdaNode(
        {below},
        [&deaths, depth](RG_NodePreRenderCB* cb, const RG_RenderRequest& r) -> RG_NodeData* {
          cb->RequestOutputInPlace(cb->CheckoutInput(0, r), TestRect(0, 0, kNodes - depth, 1), 0,
                                   0);
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
      ASSERT_EQ(traverser.GetNodeRect(nodes[i]), TestRect(0, 0, kNodes - i, 1)) << i;
      ASSERT_EQ(static_cast<OrderData*>(traverser.GetNodeData(nodes[i]))->index, i);
    }
    EXPECT_EQ(traverser.GetNodeRect(leaf), TestRect(0, 0, 1, 1));
    EXPECT_EQ(traverser.GetNodeData(leaf), nullptr);
    EXPECT_EQ(traverser.GetNodeRect(unreached.get()), M_LRect{});
    EXPECT_EQ(traverser.GetNodeData(unreached.get()), nullptr);
    int dummy = 0;
    PF_World* world = reinterpret_cast<PF_World*>(&dummy);
    RG_BufferLock* lock = reinterpret_cast<RG_BufferLock*>(&dummy);
    traverser.RenderStartingAtNode(root.get(), &world, &lock);
    EXPECT_EQ(world, reinterpret_cast<PF_World*>(&dummy));
    EXPECT_EQ(lock, reinterpret_cast<RG_BufferLock*>(&dummy));
    EXPECT_TRUE(deaths.empty());
  }
  std::vector<int> reached(kNodes);
  std::iota(reached.begin(), reached.end(), 0);
  EXPECT_EQ(deaths, reached);
}

// Execute after PreRenderGraph reuses a pre-render that covers its request.
// One that does not pre-renders the leaf again, and the propagation must walk
// it again (its visited mark cleared): the in-place nodes above grow the
// leaf's buffer to the new rect.
TEST_F(TraversalTest, ExecuteAfterPreRenderGraphReusesOrPropagatesAgain) {
  auto* leaf = TestSolid(TestRect(0, 0, 10, 10), kRed);
  U_SharedPtr<RG_RenderNode> root(TestInPlace(TestInPlace(leaf)));
  const M_LRect big = TestRect(0, 0, 20, 20);
  for (const M_LRect& first : {big, TestRect(0, 0, 5, 5)}) {
    SCOPED_TRACE(first.right);
    leaf->counters = {};
    RG_Traverser traverser(root.get());
    traverser.PreRenderGraph(TestRequest(first));
    TestOutcome out;
    PF_World* world = nullptr;
    traverser.Execute(TestRequest(big), &out.rect, &out.flags, &world, nullptr);
    out.world.reset(world);
    EXPECT_EQ(leaf->counters.pre_renders, first == big ? 1 : 2);
    EXPECT_EQ(leaf->counters.renders, 1);
    EXPECT_EQ(RGp_TraverserAccess::Invocation(traverser, leaf)->OutputRect(), big);
    ASSERT_NE(out.world, nullptr);
    EXPECT_EQ(out.rect, big);
    EXPECT_TRUE(TestSame(TestPixel(out.world.get(), 9, 9), kRed));
  }
}

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

// Ids count up from 0 (the output takes one), explicit ids continue the
// count; checkouts come back in the order made; asking for one renders its
// whole group and no other. Node ids follow the first pre-render order and
// stay in later traversals.
TEST_F(TraversalTest, CheckoutAndNodeIdsGroupsAndTheRenderOrderFollowTheCheckouts) {
  RG_CheckoutResult *a = nullptr, *out = nullptr, *b = nullptr, *c = nullptr, *d = nullptr;
  std::vector<RG_CheckoutResult*> order;
  TestLambdaNode* in[3];
  for (auto*& n : in) n = TestSolid(TestRect(0, 0, 10, 10), kRed);
  std::vector<int> renderedAtFirstAsk;
  U_SharedPtr<RG_RenderNode> root(new TestLambdaNode(
      {in[0], in[1], in[2]},
      [&](RG_NodePreRenderCB* cb, const RG_RenderRequest& r) {
        a = cb->CheckoutInput(0, r);
        out = cb->RequestOutput(r.rect, 0, 0);
        b = cb->CheckoutInput(1, r);
        cb->BeginCheckoutGroup();
        c = cb->CheckoutInputWithID(2, 7, r);
        cb->BeginCheckoutGroup();
        d = cb->CheckoutInput(2, r);
      },
      [&](RG_NodeRenderCB* cb) {
        for (int i = 0; i < 5; ++i) order.push_back(cb->GetNextCheckout());
        EXPECT_EQ(cb->GetCheckoutByID(-1), out);
        EXPECT_EQ(cb->GetCheckoutByID(2), b);
        b->GetWorld();
        for (const TestLambdaNode* n : in) renderedAtFirstAsk.push_back(n->counters.renders);
        for (RG_CheckoutResult* r : {a, c, d}) r->GetWorld();
        out->GetOutputWorld();
        const RG_CheckoutResult* all[] = {a, out, b, c, d};
        const int32_t ids[] = {0, 1, 2, 7, 8}, groups[] = {0, 0, 0, 1, 2};
        for (int i = 0; i < 5; ++i) {
          EXPECT_EQ(RGp_CheckoutResultAccess::Id(all[i]), ids[i]) << i;
          if (i != 1) {
            EXPECT_EQ(RGp_CheckoutResultAccess::Group(all[i]), groups[i]) << i;
          }
        }
      }));
  EXPECT_EQ(in[0]->GetNodeID(), -1);
  TestRun(root.get(), TestRect(0, 0, 10, 10));
  EXPECT_EQ(order, (std::vector<RG_CheckoutResult*>{a, out, b, c, d}));
  EXPECT_EQ(renderedAtFirstAsk, (std::vector<int>{1, 1, 0}));
  for (const TestLambdaNode* n : in) EXPECT_EQ(n->counters.renders, 1);
  EXPECT_EQ(root->GetNodeID(), 0);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(in[i]->GetNodeID(), i + 1);
  U_SharedPtr<RG_RenderNode> second(TestOver(in[2], TestSolid(TestRect(0, 0, 4, 4), kRed)));
  TestRun(second.get(), TestRect(0, 0, 10, 10));
  EXPECT_EQ(second->GetNodeID(), 0);
  EXPECT_EQ(in[2]->GetNodeID(), 3);
  EXPECT_EQ(second->GetInput(1)->GetNodeID(), 1);
}

// The invocations live in the arena: every block must be aligned as malloc
// aligns and lie apart from the others, across chunks.
TEST_F(TraversalTest, ArenaBlocksAreAlignedAndApart) {
  RGp_Arena arena;
  std::vector<std::pair<uintptr_t, size_t>> blocks;
  for (size_t size : {1, 7, 16, 24, 100, 4000, 5000, 70000, 3, 65536}) {
    auto* p = static_cast<unsigned char*>(arena.Allocate(size));
    std::fill(p, p + size, static_cast<unsigned char>(size));
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % alignof(std::max_align_t), 0u) << size;
    blocks.emplace_back(reinterpret_cast<uintptr_t>(p), size);
  }
  for (const auto& [p, size] : blocks) {
    EXPECT_EQ(*reinterpret_cast<unsigned char*>(p), static_cast<unsigned char>(size));
    for (const auto& [q, other] : blocks)
      EXPECT_TRUE(p == q || p + size <= q || q + other <= p) << size << " and " << other;
  }
}

}  // namespace
