// The render node base: destruction that needs no stack per level and no
// memory, shared inputs dying once, unique ids, content bounds cached per
// type, and the progress and abort glue.
#include <algorithm>
#include <climits>
#include <stdexcept>
#include <tuple>

#include "rg/RG_CompositeNode.h"
#include "rg/RG_NullNode.h"
#include "rghost/U_Errors.h"
#include "support/LeakCheck.h"
#include "support/TestNodes.h"

// Reaches the private glue of RG_RenderNode.
struct RGp_RenderNodeAccess {
  static long AbortGlue(void* context) { return RG_RenderNode::PF_AbortGlue(context); }
  static long ProgressGlue(void* context, long current, long total) {
    return RG_RenderNode::PF_ProgressGlue(context, current, total);
  }
};

namespace {

// A node with any number of inputs that records the unique ids of the nodes
// it sees die (the fixture's leak check counts the live ones); bounds per
// type on request.
class TestNode : public RG_RenderNode {
 public:
  static std::vector<unsigned long>* destroyed;
  explicit TestNode(std::initializer_list<RG_RenderNode*> inputs = {}, int differ = -1)
      : differ_(differ) {
    for (RG_RenderNode* input : inputs) inputs_.emplace_back(input);
  }
  ~TestNode() override {
    if (destroyed) destroyed->push_back(GetGloballyUniqueID());
  }
  RG_NodeData* PreRender(RG_NodePreRenderCB*, const RG_RenderRequest&) const override {
    return nullptr;
  }
  void Render(RG_NodeRenderCB*, const RG_RenderRequest&, const RG_NodeData*) const override {}
  bool ContentBoundsDifferByType() const override {
    ++differ_asks;
    return differ_ == 1;
  }
  using RG_RenderNode::CheckAbort;
  using RG_RenderNode::ContentBoundsComputed;
  using RG_RenderNode::GetProgAbort;
  using RG_RenderNode::HasProgress;
  using RG_RenderNode::MakePFProgInfo;
  using RG_RenderNode::SetContentBounds;
  mutable std::vector<int> calls;
  mutable int differ_asks = 0;

 protected:
  M_LRect ComputeContentBounds(RG_ContentBoundsType type) const override {
    calls.push_back(type);
    if (differ_ < 0 && !inputs_.empty()) return inputs_[0]->GetContentBounds(type);
    if (differ_ < 0) return RG_RenderNode::ComputeContentBounds(type);
    return M_LRect{type * 100, 1, type * 100 + 10, 11};
  }

 private:
  int differ_;  // -1: the default bounds
};
std::vector<unsigned long>* TestNode::destroyed = nullptr;

class RenderNodeTest : public LeakCheckTest {
 protected:
  void SetUp() override {
    LeakCheckTest::SetUp();
    TestNode::destroyed = &destroyed_;
  }
  void TearDown() override {
    TestNode::destroyed = nullptr;
    LeakCheckTest::TearDown();
  }
  long DestroyedCount(unsigned long id) const {
    return std::count(destroyed_.begin(), destroyed_.end(), id);
  }
  std::vector<unsigned long> destroyed_;
};

TEST_F(RenderNodeTest, MillionNodeChainDiesOnA256KiBStack) {
  TestNode::destroyed = nullptr;  // a million ids are not worth recording
  constexpr long kLength = 1000000;
  RG_RenderNode* root = new TestNode();
  for (long i = 1; i < kLength; ++i) root = new TestNode({root});
  // Recursive bounds or destruction would need far more than 256 KiB here.
  TestRunOnThread(256 * 1024, [root] {
    EXPECT_EQ(root->GetContentBounds(RG_CONTENT_BOUNDS_TYPE1).right, INT32_MAX);
    delete root;
  });
}

TEST_F(RenderNodeTest, SharedInputsDieOnceWithTheirLastHolder) {
  auto* leaf = new TestNode();
  auto* shared = new TestNode({leaf});
  auto* parent1 = new TestNode({shared});
  // Listed twice under one parent, and reached through two parents of the
  // same level.
  auto* parent2 = new TestNode({shared, new TestNode({shared}), nullptr, shared});
  const unsigned long sharedID = shared->GetGloballyUniqueID();
  const unsigned long leafID = leaf->GetGloballyUniqueID();
  ASSERT_EQ(shared->GetRefCount(), 4);
  delete parent1;
  EXPECT_EQ(std::tuple(destroyed_.size(), shared->GetRefCount(), leaf->GetRefCount()),
            std::tuple(1u, 3, 1));
  EXPECT_EQ(shared->GetInput(0), leaf);
  // A node a host pointer holds outlives its dying parents.
  U_SharedPtr<RG_RenderNode> held(shared);
  delete parent2;
  EXPECT_EQ(std::tuple(destroyed_.size(), shared->GetRefCount(), shared->GetNumInputs(),
                       DestroyedCount(sharedID)),
            std::tuple(3u, 1, 1, 0));
  held.reset();
  EXPECT_EQ(std::tuple(DestroyedCount(sharedID), DestroyedCount(leafID), destroyed_.size()),
            std::tuple(1, 1, 5u));
}

// Fail each allocation a deletion makes in turn (its work lists grow several
// times: eight branches of chains listing their predecessor twice over one
// shared bottom), until one deletion makes fewer allocations than that.
TEST_F(RenderNodeTest, DeletionFreesEveryNodeWhenItsWorkListsCannotGrow) {
  const long trackedBefore = U_GetTrackedStats().live_objects;
  long failuresHit = 0;
  for (long after = 0; after < 1000; ++after) {
    auto* bottom = new TestNode({new TestNode()});
    std::vector<RG_RenderNode*> b;
    for (int i = 0; i < 8; ++i) {
      RG_RenderNode* chain = new TestNode({bottom, new TestNode()});
      for (int j = 0; j < 3; ++j) chain = new TestNode({chain, new TestNode(), chain});
      b.push_back(chain);
    }
    RG_RenderNode* root = new TestNode(
        {new TestNode({b[0], b[1], b[2], b[3]}), new TestNode({b[4], b[5], b[6], b[7]}), b[0]});
    const long long callsBefore = U_FallibleCallCount();
    U_InjectFailure(after, U_ERR_INJECTED);
    delete root;
    const long long calls = U_FallibleCallCount() - callsBefore;
    U_ClearInjectedFailure();
    ASSERT_EQ(U_GetTrackedStats().live_objects, trackedBefore)
        << "failure after " << after << " allocations";
    if (calls <= after) break;
    ++failuresHit;
  }
  EXPECT_GE(failuresHit, 3);  // the first list append and later growths
}

// The seed as the library was loaded, before any test built a node.
const uint32_t kSeedAtLoad = RG_RenderNode::S_globally_unique_seedL.load();

TEST_F(RenderNodeTest, UniqueIDsStartAtOneRiseByOneAndAreNeverReused) {
  EXPECT_EQ(kSeedAtLoad, 0u);  // so the first node built gets 1
  const uint32_t seed = RG_RenderNode::S_globally_unique_seedL;
  auto* a = new TestNode();
  RG_NullNode b;
  const unsigned long aID = a->GetGloballyUniqueID();
  delete a;
  TestNode c;
  EXPECT_EQ(std::tuple(aID, b.GetGloballyUniqueID(), c.GetGloballyUniqueID(),
                       RG_RenderNode::S_globally_unique_seedL.load(), b.GetNodeID()),
            std::tuple(seed + 1ul, seed + 2ul, seed + 3ul, seed + 3, -1));
}

TEST_F(RenderNodeTest, ContentBoundsAreComputedOncePerDistinctTypeAndStoredOnes) {
  for (int differ : {0, 1}) {
    SCOPED_TRACE(differ);
    TestNode node({}, differ);
    EXPECT_FALSE(node.ContentBoundsComputed());
    const M_LRect type1 = node.GetContentBounds(RG_CONTENT_BOUNDS_TYPE1);
    EXPECT_EQ(node.ContentBoundsComputed(RG_CONTENT_BOUNDS_TYPE0), !differ);
    const M_LRect type0 = node.GetContentBounds(RG_CONTENT_BOUNDS_TYPE0);
    node.GetContentBounds(RG_CONTENT_BOUNDS_TYPE0);
    node.GetContentBounds(RG_CONTENT_BOUNDS_TYPE1);
    // Types that do not differ are computed once, as type 0.
    EXPECT_EQ(node.calls, differ ? std::vector<int>({1, 0}) : std::vector<int>({0}));
    EXPECT_EQ(type0, (M_LRect{0, 1, 10, 11}));
    EXPECT_EQ(type1, differ ? (M_LRect{100, 1, 110, 11}) : type0);
  }
  // Each composite reads the node below twice: each node is still asked once.
  auto* bottom = new TestNode({}, 0);
  U_SharedPtr<RG_RenderNode> node = bottom;
  for (int i = 0; i < 24; ++i)
    node = new RG_CompositeNode(node.get(), PF_CompositeModePlus{}, node.get(), nullptr, 0);
  EXPECT_EQ(node->GetContentBounds(RG_CONTENT_BOUNDS_TYPE1), (M_LRect{0, 1, 10, 11}));
  EXPECT_EQ(bottom->differ_asks, 1);
  EXPECT_EQ(bottom->calls, std::vector<int>({0}));
  // Stored bounds replace what was cached; one type serves the other when
  // they do not differ; the default is unbounded.
  const M_LRect stored{-5, -6, 7, 8};
  TestNode both({}, 0), one({}, 0);
  both.SetContentBounds(stored);
  both.SetContentBounds(RG_CONTENT_BOUNDS_TYPE0, M_LRect{1, 2, 3, 4});
  EXPECT_EQ(both.GetContentBounds(RG_CONTENT_BOUNDS_TYPE0), (M_LRect{1, 2, 3, 4}));
  EXPECT_EQ(both.GetContentBounds(RG_CONTENT_BOUNDS_TYPE1), stored);
  one.SetContentBounds(RG_CONTENT_BOUNDS_TYPE1, stored);
  EXPECT_EQ(one.GetContentBounds(RG_CONTENT_BOUNDS_TYPE0), stored);
  EXPECT_TRUE(both.calls.empty() && one.calls.empty());
  EXPECT_EQ(TestNode().GetContentBounds(RG_CONTENT_BOUNDS_TYPE0),
            (M_LRect{INT32_MIN, INT32_MIN, INT32_MAX, INT32_MAX}));
  EXPECT_FALSE(RG_NullNode().ContentBoundsDifferByType());  // alike unless a node says otherwise
}

// Runs `raise`, if given, in CheckAbort and Progress; counts its deaths.
struct TestProgAbort : RG_ProgAbort {
  explicit TestProgAbort(int* deleted, std::function<void()> raise = {})
      : deleted(deleted), raise(std::move(raise)) {}
  ~TestProgAbort() override { ++*deleted; }
  void StartProgress() override {}
  void CheckAbort() override {
    if (raise) raise();
  }
  void Progress(long current, long total) override {
    progress.emplace_back(current, total);
    CheckAbort();
  }
  int* deleted;
  std::function<void()> raise;
  std::vector<std::pair<long, long>> progress;
};

TEST_F(RenderNodeTest, ProgAbortIsOwnedAndItsGlueTurnsAbortsIntoCodes) {
  int deleted = 0;
  TestNode node;
  PF_ProgressInfo info;
  info.context = &info;
  void* context = static_cast<RG_RenderNode*>(&node);
  EXPECT_FALSE(node.HasProgress());
  EXPECT_EQ(node.MakePFProgInfo(&info), nullptr);
  EXPECT_EQ(info.context, &info);
  EXPECT_EQ(info.abort_callback, nullptr);
  EXPECT_EQ(RGp_RenderNodeAccess::AbortGlue(context), 0);  // nothing to ask

  auto* p = new TestProgAbort(&deleted);
  node.SetProgAbort(p);
  EXPECT_EQ(node.GetProgAbort(), p);
  EXPECT_TRUE(node.HasProgress());
  ASSERT_EQ(node.MakePFProgInfo(&info), &info);
  EXPECT_EQ(info.context, context);
  EXPECT_EQ(info.progress_callback(info.context, 3, 9), 0);
  EXPECT_EQ(info.abort_callback(info.context), 0);
  EXPECT_EQ(p->progress, (std::vector<std::pair<long, long>>{{3, 9}}));
  // The callbacks reach whatever the node holds when called; replacing
  // deletes the one held before.
  const struct {
    const char* name;
    std::function<void()> raise;
    long code;
  } rows[] = {
      {"a long is the code", [] { throw 4242L; }, 4242},
      {"a std::exception is reported", [] { throw std::runtime_error("abort"); }, U_ERR_INTERNAL},
      {"bad_alloc", [] { throw std::bad_alloc(); }, U_ERR_OUT_OF_MEMORY},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    node.SetProgAbort(new TestProgAbort(&deleted, row.raise));
    U_ClearReportLog();
    EXPECT_EQ(info.abort_callback(info.context), row.code);
    EXPECT_EQ(info.progress_callback(info.context, 1, 2), row.code);
    EXPECT_EQ(U_ReportLog().empty(), row.code == 4242) << "a translated exception is reported";
  }
  EXPECT_EQ(deleted, 3);
  EXPECT_THROW(node.CheckAbort(), std::bad_alloc);  // direct calls are not translated
  node.SetProgAbort(new TestProgAbort(&deleted, [] { throw 7; }));
  EXPECT_THROW(RGp_RenderNodeAccess::AbortGlue(context), int);
  EXPECT_THROW(RGp_RenderNodeAccess::ProgressGlue(context, 1, 2), int);
  node.SetProgAbort(nullptr);
  EXPECT_EQ(deleted, 5);
  EXPECT_FALSE(node.HasProgress());
  {
    TestNode dying;
    dying.SetProgAbort(new TestProgAbort(&deleted));
  }
  EXPECT_EQ(deleted, 6);
}

}  // namespace
