// The render node base: content bounds and destruction of a long chain need
// no stack per level, and the host's kernels poll a node's abort object.
#include <climits>

#include "rg/RG_NullNode.h"
#include "rg/RG_XformNode.h"
#include "rghost/U_Errors.h"
#include "rghost/U_Services.h"
#include "support/LeakCheck.h"
#include "support/ProofNodes.h"
#include "support/TestNodes.h"

namespace {

// A node over any number of inputs whose bounds are its first input's,
// counting the times they are computed.
class ChainNode : public RG_RenderNode {
 public:
  explicit ChainNode(std::initializer_list<RG_RenderNode*> inputs = {}) {
    for (RG_RenderNode* input : inputs) inputs_.emplace_back(input);
  }
  bool ContentBoundsDifferByType() const override { return ++computed, differ; }
  static inline bool differ = false;
  static inline long computed = 0;
  RG_NodeData* PreRender(RG_NodePreRenderCB*, const RG_RenderRequest&) const override {
    return nullptr;
  }
  void Render(RG_NodeRenderCB*, const RG_RenderRequest&, const RG_NodeData*) const override {}

 protected:
  M_LRect ComputeContentBounds(RG_ContentBoundsType type) const override {
    ++computed;
    return inputs_.empty() ? RG_RenderNode::ComputeContentBounds(type)
                           : inputs_[0]->GetContentBounds(type);
  }
};

class RenderNodeTest : public LeakCheckTest {};

TEST_F(RenderNodeTest, MillionNodeChainDiesOnA256KiBStack) {
  constexpr long kLength = 1000000;
  RG_RenderNode* root = new ChainNode();
  const unsigned long first = root->GetGloballyUniqueID();
  for (long i = 1; i < kLength; ++i) root = new ChainNode({root});
  EXPECT_EQ(root->GetGloballyUniqueID(), first + kLength - 1);  // ids rise by one a node
  // Recursive bounds or destruction would need far more than 256 KiB here.
  TestRunOnThread(256 * 1024, [root] {
    EXPECT_EQ(root->GetContentBounds(RG_CONTENT_BOUNDS_TYPE1).right, INT32_MAX);
    delete root;
  });
}

// Out of memory while the release's work lists grow, a tree still dies
// whole, each node once (the fixture finds any node left alive).
TEST_F(RenderNodeTest, ReleaseWhoseWorkListsCannotGrowMustStillFreeEveryNodeOnce) {
  for (long failAt = 0; failAt < 8; ++failAt) {
    RG_RenderNode* level[4];
    for (RG_RenderNode*& n : level) n = new ChainNode();
    for (int depth = 0; depth < 3; ++depth)
      for (RG_RenderNode*& n : level) n = new ChainNode({n, new ChainNode()});
    RG_RenderNode* root = new ChainNode({level[0], level[1], level[2], level[3]});
    U_InjectFailure(failAt, U_ERR_OUT_OF_MEMORY);
    delete root;
    U_ClearInjectedFailure();
  }
}

// Each node works out once whether its types differ, and computes its bounds
// once, once per type where they do (`computed` counts both).
TEST_F(RenderNodeTest, ContentBoundsMustBeComputedOncePerNodeAndType) {
  for (const bool differ : {true, false}) {  // ends as the other cases expect
    ChainNode::differ = differ;
    U_SharedPtr<RG_RenderNode> top(new ChainNode({new ChainNode()}));
    ChainNode::computed = 0;
    for (int i = 0; i < 2; ++i)
      for (auto type : {RG_CONTENT_BOUNDS_TYPE1, RG_CONTENT_BOUNDS_TYPE0})
        top->GetContentBounds(type);
    EXPECT_EQ(top->ContentBoundsTypesDiffer() + top->ContentBoundsTypesDiffer(), 2 * differ);
    EXPECT_EQ(ChainNode::computed, differ ? 6 : 4) << differ;
  }
}

// A node kind keeps the base's label, its class name, and takes every depth as native.
TEST_F(RenderNodeTest, BaseDefaultsMustBeTheClassNameEveryDepthAndTheFirstIdOne) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process, where no node was built
  EXPECT_EXIT(std::_Exit(RG_NullNode().GetGloballyUniqueID() == 1 ? 0 : 1),
              ::testing::ExitedWithCode(0), "");
  const RG_NullNode null;
  EXPECT_TRUE(null.GetProfileLabel() == "RG_NullNode" && null.CanRenderNativelyAtDepth(32));
}

// The host's kernels poll the node's abort object as they go: a transform
// of 64 rows checks at least once for each chunk of 16.
TEST_F(RenderNodeTest, HostKernelsMustPollTheNodesAbortObject) {
  const M_LRect r = TestRect(0, 0, 64, 64);
  const M_Matrix3 half = ProofShift(0.5, 0.5);
  long countdown = 1L << 40;
  auto* placed = new RG_XformNode(&half, 1, ProofMode(PF_BLEND_NORMAL), 1, TestPattern(r),
                                  TestPattern(r), nullptr, 0);
  U_SharedPtr<RG_RenderNode> root(placed);
  placed->SetProgAbort(new ProofAbort(&countdown));
  EXPECT_NE(TestRun(root.get(), r).world, nullptr);
  EXPECT_GE((1L << 40) - countdown, 64 / 16);
}

}  // namespace
