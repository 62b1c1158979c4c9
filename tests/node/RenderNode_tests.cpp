#include <pthread.h>

#include <algorithm>
#include <climits>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <vector>

#include "rg/RG_CompositeNode.h"
#include "rg/RG_NullNode.h"
#include "rg/RG_RenderNode.h"
#include "rghost/PF_Transfer.h"
#include "rghost/U_Errors.h"
#include "rghost/U_Memory.h"
#include "rghost/U_Report.h"
#include "rghost/U_Services.h"
#include "support/LeakCheck.h"

// Reaches the private glue of RG_RenderNode.
struct RGp_RenderNodeAccess {
  static long AbortGlue(void* context) { return RG_RenderNode::PF_AbortGlue(context); }
  static long ProgressGlue(void* context, long current, long total) {
    return RG_RenderNode::PF_ProgressGlue(context, current, total);
  }
};

namespace {

// A node with any number of inputs that counts live instances and, when asked,
// records the unique IDs of the nodes it sees die.
class TestNode : public RG_RenderNode {
 public:
  static long live;
  static std::vector<unsigned long>* destroyed;

  explicit TestNode(std::initializer_list<RG_RenderNode*> inputs = {}) {
    for (RG_RenderNode* input : inputs) inputs_.emplace_back(input);
    ++live;
  }
  ~TestNode() override {
    --live;
    if (destroyed) destroyed->push_back(GetGloballyUniqueID());
  }
  RG_NodeData* PreRender(RG_NodePreRenderCB*, const RG_RenderRequest&) const override {
    return nullptr;
  }
  void Render(RG_NodeRenderCB*, const RG_RenderRequest&, const RG_NodeData*) const override {}

  using RG_RenderNode::CheckAbort;
  using RG_RenderNode::ContentBoundsComputed;
  using RG_RenderNode::GetProgAbort;
  using RG_RenderNode::HasProgress;
  using RG_RenderNode::MakePFProgInfo;
  using RG_RenderNode::SetContentBounds;
};
long TestNode::live = 0;
std::vector<unsigned long>* TestNode::destroyed = nullptr;

class RenderNodeTest : public LeakCheckTest {
 protected:
  void SetUp() override {
    LeakCheckTest::SetUp();
    TestNode::live = 0;
    TestNode::destroyed = &destroyed_;
  }
  void TearDown() override {
    TestNode::destroyed = nullptr;
    EXPECT_EQ(TestNode::live, 0) << "test nodes left alive";
    LeakCheckTest::TearDown();
  }
  long DestroyedCount(unsigned long id) const {
    return std::count(destroyed_.begin(), destroyed_.end(), id);
  }

  std::vector<unsigned long> destroyed_;
};

// ---------------------------------------------------------------------------
// Destruction

void* DeleteNodeThread(void* node) {
  delete static_cast<RG_RenderNode*>(node);
  return nullptr;
}

TEST_F(RenderNodeTest, MillionNodeChainDiesOnA256KiBStack) {
  TestNode::destroyed = nullptr;  // a million IDs are not worth recording
  constexpr long kLength = 1000000;
  RG_RenderNode* root = new TestNode();
  for (long i = 1; i < kLength; ++i) root = new TestNode({root});
  ASSERT_EQ(TestNode::live, kLength);

  // Recursive destruction would need far more than 256 KiB for this depth.
  pthread_attr_t attr;
  ASSERT_EQ(pthread_attr_init(&attr), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attr, 256 * 1024), 0);
  pthread_t thread;
  ASSERT_EQ(pthread_create(&thread, &attr, &DeleteNodeThread, root), 0);
  ASSERT_EQ(pthread_join(thread, nullptr), 0);
  pthread_attr_destroy(&attr);
  EXPECT_EQ(TestNode::live, 0);
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
  EXPECT_EQ(TestNode::live, 4);
  EXPECT_EQ(shared->GetRefCount(), 3);
  ASSERT_EQ(shared->GetNumInputs(), 1);
  EXPECT_EQ(shared->GetInput(0), leaf);
  EXPECT_EQ(leaf->GetRefCount(), 1);

  // A node a host pointer holds outlives its dying parents.
  U_SharedPtr<RG_RenderNode> held(shared);
  delete parent2;
  EXPECT_EQ(TestNode::live, 2);
  EXPECT_EQ(shared->GetRefCount(), 1);
  EXPECT_EQ(shared->GetNumInputs(), 1);
  EXPECT_EQ(DestroyedCount(sharedID), 0);
  held.reset();
  EXPECT_EQ(TestNode::live, 0);
  EXPECT_EQ(DestroyedCount(sharedID), 1);
  EXPECT_EQ(DestroyedCount(leafID), 1);
  EXPECT_EQ(destroyed_.size(), 5u);
}

// Builds a graph whose levels are wide enough to make the work lists grow
// several times: eight branches, each a short chain whose links list their
// predecessor twice, all sharing one node at the bottom.
RG_RenderNode* BuildWideGraph() {
  auto* bottom = new TestNode({new TestNode()});
  std::vector<RG_RenderNode*> b;
  for (int i = 0; i < 8; ++i) {
    RG_RenderNode* chain = new TestNode({bottom, new TestNode()});
    for (int j = 0; j < 3; ++j) chain = new TestNode({chain, new TestNode(), chain});
    b.push_back(chain);
  }
  return new TestNode(
      {new TestNode({b[0], b[1], b[2], b[3]}), new TestNode({b[4], b[5], b[6], b[7]}), b[0]});
}

TEST_F(RenderNodeTest, DeletionFreesEveryNodeWhenWorkListsCannotGrow) {
  // Fail each allocation the destructor makes in turn, until one deletion
  // makes fewer allocations than the failure waits for.
  const long trackedBefore = U_GetTrackedStats().live_objects;
  long failuresHit = 0;
  for (long after = 0; after < 1000; ++after) {
    RG_RenderNode* root = BuildWideGraph();
    ASSERT_GT(TestNode::live, 40);
    const long long callsBefore = U_FallibleCallCount();
    U_InjectFailure(after, U_ERR_INJECTED);
    delete root;
    const long long calls = U_FallibleCallCount() - callsBefore;
    U_ClearInjectedFailure();
    ASSERT_EQ(TestNode::live, 0) << "failure after " << after << " allocations";
    ASSERT_EQ(U_GetTrackedStats().live_objects, trackedBefore);
    if (calls <= after) break;
    ++failuresHit;
  }
  // The first list append and several later growths were made to fail.
  EXPECT_GE(failuresHit, 3);
}

// The seed as the library was loaded, before any test built a node.
const uint32_t kSeedAtLoad = RG_RenderNode::S_globally_unique_seedL.load();

TEST_F(RenderNodeTest, UniqueIDsStartAtOneRiseByOneAndAreNeverReused) {
  EXPECT_EQ(kSeedAtLoad, 0u);  // so the first node built gets 1
  const uint32_t seed = RG_RenderNode::S_globally_unique_seedL;
  auto* a = new TestNode();
  RG_NullNode b;
  EXPECT_EQ(a->GetGloballyUniqueID(), seed + 1ul);
  EXPECT_EQ(b.GetGloballyUniqueID(), seed + 2ul);
  EXPECT_EQ(b.GetNodeID(), -1);
  delete a;
  TestNode c;
  EXPECT_EQ(c.GetGloballyUniqueID(), seed + 3ul);
  EXPECT_EQ(RG_RenderNode::S_globally_unique_seedL, seed + 3);
}

// ---------------------------------------------------------------------------
// Content bounds

class BoundsNode : public TestNode {
 public:
  BoundsNode(bool differ, bool useDefault) : differ_(differ), use_default_(useDefault) {}
  bool ContentBoundsDifferByType() const override {
    ++differ_asks;
    return differ_;
  }
  mutable std::vector<int> calls;
  mutable int differ_asks = 0;

 protected:
  M_LRect ComputeContentBounds(RG_ContentBoundsType type) const override {
    calls.push_back(type);
    if (use_default_) return RG_RenderNode::ComputeContentBounds(type);
    return M_LRect{type * 100, 1, type * 100 + 10, 11};
  }

 private:
  bool differ_;
  bool use_default_;
};

TEST_F(RenderNodeTest, BoundsAreComputedOncePerDistinctType) {
  for (bool differ : {false, true}) {
    SCOPED_TRACE(differ);
    BoundsNode node(differ, false);
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
}

// Each composite reads the node below twice: each node is still asked once.
TEST_F(RenderNodeTest, SharedInputsAreAskedOnceAboutTheirBounds) {
  auto* bottom = new BoundsNode(false, false);
  U_SharedPtr<RG_RenderNode> node = bottom;
  for (int i = 0; i < 24; ++i)
    node = new RG_CompositeNode(node.get(), PF_CompositeModePlus{}, node.get(), nullptr, 0);
  EXPECT_EQ(node->GetContentBounds(RG_CONTENT_BOUNDS_TYPE1), (M_LRect{0, 1, 10, 11}));
  EXPECT_EQ(bottom->differ_asks, 1);
  EXPECT_EQ(bottom->calls, std::vector<int>({0}));
}

TEST_F(RenderNodeTest, StoredAndDefaultBounds) {
  const M_LRect stored{-5, -6, 7, 8};
  BoundsNode both(false, false);
  both.SetContentBounds(stored);
  EXPECT_EQ(both.GetContentBounds(RG_CONTENT_BOUNDS_TYPE0), stored);
  EXPECT_EQ(both.GetContentBounds(RG_CONTENT_BOUNDS_TYPE1), stored);
  // Overwriting replaces what was cached.
  both.SetContentBounds(RG_CONTENT_BOUNDS_TYPE0, M_LRect{1, 2, 3, 4});
  EXPECT_EQ(both.GetContentBounds(RG_CONTENT_BOUNDS_TYPE0), (M_LRect{1, 2, 3, 4}));
  EXPECT_EQ(both.GetContentBounds(RG_CONTENT_BOUNDS_TYPE1), stored);
  // Bounds of one type serve the other when the types do not differ.
  BoundsNode one(false, false);
  one.SetContentBounds(RG_CONTENT_BOUNDS_TYPE1, stored);
  EXPECT_EQ(one.GetContentBounds(RG_CONTENT_BOUNDS_TYPE0), stored);
  EXPECT_TRUE(both.calls.empty() && one.calls.empty());
  // The default is unbounded.
  EXPECT_EQ(BoundsNode(false, true).GetContentBounds(RG_CONTENT_BOUNDS_TYPE0),
            (M_LRect{INT32_MIN, INT32_MIN, INT32_MAX, INT32_MAX}));
}

// ---------------------------------------------------------------------------
// Progress and abort

struct ProgAbortLog {
  int deleted = 0;
  int started = 0;
  std::vector<std::pair<long, long>> progress;
};

class TestProgAbort : public RG_ProgAbort {
 public:
  enum class Throw { Nothing, Long, StdException, BadAlloc, Int };

  TestProgAbort(ProgAbortLog* log, Throw what, long code = 0)
      : log_(log), what_(what), code_(code) {}
  ~TestProgAbort() override { ++log_->deleted; }
  void StartProgress() override { ++log_->started; }
  void CheckAbort() override { Raise(); }
  void Progress(long current, long total) override {
    log_->progress.emplace_back(current, total);
    Raise();
  }

 private:
  void Raise() {
    switch (what_) {
      case Throw::Nothing:
        return;
      case Throw::Long:
        throw code_;
      case Throw::StdException:
        throw std::runtime_error("abort");
      case Throw::BadAlloc:
        throw std::bad_alloc();
      case Throw::Int:
        throw 7;
    }
  }

  ProgAbortLog* log_;
  Throw what_;
  long code_;
};

TEST_F(RenderNodeTest, ProgAbortIsOwnedAndReachedThroughTheGlue) {
  ProgAbortLog log;
  TestNode node;
  PF_ProgressInfo info;
  info.context = &info;
  EXPECT_FALSE(node.HasProgress());
  EXPECT_EQ(node.MakePFProgInfo(&info), nullptr);
  EXPECT_EQ(info.context, &info);
  EXPECT_EQ(info.abort_callback, nullptr);
  void* context = static_cast<RG_RenderNode*>(&node);
  EXPECT_EQ(RGp_RenderNodeAccess::AbortGlue(context), 0);  // nothing to ask

  auto* p = new TestProgAbort(&log, TestProgAbort::Throw::Nothing);
  node.SetProgAbort(p);
  EXPECT_EQ(node.GetProgAbort(), p);
  EXPECT_TRUE(node.HasProgress());
  ASSERT_EQ(node.MakePFProgInfo(&info), &info);
  EXPECT_EQ(info.context, context);
  EXPECT_EQ(info.progress_callback(info.context, 3, 9), 0);
  EXPECT_EQ(info.abort_callback(info.context), 0);
  EXPECT_EQ(log.progress, (std::vector<std::pair<long, long>>{{3, 9}}));
  // The callbacks reach whatever object the node holds when called.
  node.SetProgAbort(new TestProgAbort(&log, TestProgAbort::Throw::Long, 4242));
  EXPECT_EQ(info.abort_callback(info.context), 4242);
  EXPECT_EQ(info.progress_callback(info.context, 1, 2), 4242);

  // Replacing or clearing deletes the one held before.
  EXPECT_EQ(log.deleted, 1);
  node.SetProgAbort(nullptr);
  EXPECT_EQ(log.deleted, 2);
  EXPECT_FALSE(node.HasProgress());
  {
    TestNode dying;
    dying.SetProgAbort(new TestProgAbort(&log, TestProgAbort::Throw::Nothing));
  }
  EXPECT_EQ(log.deleted, 3);
}

TEST_F(RenderNodeTest, GlueTurnsAbortsIntoErrorCodes) {
  using T = TestProgAbort::Throw;
  ProgAbortLog log;
  TestNode node;
  void* context = static_cast<RG_RenderNode*>(&node);

  node.SetProgAbort(new TestProgAbort(&log, T::Long, 4242));
  EXPECT_EQ(RGp_RenderNodeAccess::AbortGlue(context), 4242);
  EXPECT_THROW(node.CheckAbort(), long);  // direct calls are not translated

  node.SetProgAbort(new TestProgAbort(&log, T::StdException));
  U_ClearReportLog();
  EXPECT_EQ(RGp_RenderNodeAccess::AbortGlue(context), U_ERR_INTERNAL);
  EXPECT_FALSE(U_ReportLog().empty()) << "the exception is reported";

  node.SetProgAbort(new TestProgAbort(&log, T::BadAlloc));
  EXPECT_EQ(RGp_RenderNodeAccess::ProgressGlue(context, 1, 2), U_ERR_OUT_OF_MEMORY);

  node.SetProgAbort(new TestProgAbort(&log, T::Int));
  EXPECT_THROW(RGp_RenderNodeAccess::AbortGlue(context), int);
  EXPECT_THROW(RGp_RenderNodeAccess::ProgressGlue(context, 1, 2), int);
}

}  // namespace
