// The DOT text the library's profiler writes, character for character, for
// small graphs run under a fake clock; nested executions as numbered
// clusters; label escaping; the scoped owner's hand-over rules; and a
// profiler installed in the middle of an execution.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>

#include "profile/RG_DotGraphProfiler.h"
#include "rg/RG_CacheNodeBase.h"
#include "rg/RG_CheckoutResult.h"
#include "rg/RG_GraphProfiler.h"
#include "rg/RG_NodeCallbacks.h"
#include "rg/RG_ScRGProfiler.h"
#include "rg/RG_Traverser.h"
#include "rghost/PF_World.h"
#include "rghost/U_Services.h"
#include "support/LeakCheck.h"

namespace dot_test {

// Quarter seconds are exact in binary, so node times come out exact.
double g_now = 50.0;
double FakeClock() { return g_now; }

// Leaf over fixed bounds; rendering takes `seconds` of the fake clock.
class ClockLeaf : public RG_RenderNode {
 public:
  explicit ClockLeaf(double seconds) : seconds_(seconds) {}
  RG_NodeData* PreRender(RG_NodePreRenderCB* cb, const RG_RenderRequest& request) const override {
    cb->RequestOutput(M_Intersect(request.rect, M_LRect{0, 0, 16, 16}), 0, 0);
    return nullptr;
  }
  void Render(RG_NodeRenderCB* cb, const RG_RenderRequest&, const RG_NodeData*) const override {
    g_now += seconds_;
    cb->GetNextCheckout()->GetOutputWorld()->Clear(0);
  }

 private:
  double seconds_;
};

// One-input node that spends 0.25 s before and 0.5 s after reading its
// input, or never asks for its input at all.
class PassNode : public RG_OneInputNode {
 public:
  PassNode(RG_RenderNode* input, bool readsInput) : reads_input_(readsInput) { inputs_[0] = input; }
  RG_NodeData* PreRender(RG_NodePreRenderCB* cb, const RG_RenderRequest& request) const override {
    if (reads_input_) cb->CheckoutInput(0, request);
    cb->RequestOutput(request.rect, 0, 0);
    return nullptr;
  }
  void Render(RG_NodeRenderCB* cb, const RG_RenderRequest&, const RG_NodeData*) const override {
    g_now += 0.25;
    if (reads_input_) cb->GetNextCheckout()->GetWorld();
    g_now += 0.5;
    cb->GetNextCheckout()->GetOutputWorld()->Clear(0);
  }

 private:
  bool reads_input_;
};

// A leaf whose label needs escaping in DOT.
class QuotedLeaf : public ClockLeaf {
 public:
  QuotedLeaf() : ClockLeaf(0.25) {}
  std::string GetProfileLabel() const override { return "say \"hi\" \\ bye"; }
};

// A cache that always finds an entry at pre-render and always finds it gone
// at render, so every render runs its input as a nested execution.
class StaleCache : public RG_CacheNodeBase {
 public:
  explicit StaleCache(RG_RenderNode* input) : input_(input) {}
  bool LookupCache(const RG_RenderRequest& request, RG_NodeData**, M_LRect* rect, char* flags,
                   M_LRect* bounds) const override {
    *rect = request.rect;
    *flags = 0;
    *bounds = request.rect;
    return true;
  }
  U_SharedPtr<RG_RenderNode> MakeInput() const override {
    return U_SharedPtr<RG_RenderNode>(input_);
  }
  void StoreInCache(const RG_RenderRequest&, long, const M_LRect&, char, PF_World* world,
                    RG_CheckoutResult* output) const override {
    delete world;
    g_now += 0.25;
    output->SetOutputWorld(PF_World::New(output->GetRect(), 8, 1), nullptr);
  }
  bool RenderFromCache(const RG_NodeData*, const RG_RenderRequest&,
                       RG_CheckoutResult*) const override {
    return false;
  }

 private:
  RG_RenderNode* input_;  // goes into the input slot on first need
};

// Installs a profiler of its own in the middle of its render, then reads
// its input, whose node scope then begins with no graph open.
class InstallingNode : public PassNode {
 public:
  InstallingNode(RG_RenderNode* input, std::unique_ptr<RG_ScRGProfiler>* slot)
      : PassNode(input, true), slot_(slot) {}
  void Render(RG_NodeRenderCB* cb, const RG_RenderRequest& request,
              const RG_NodeData* data) const override {
    *slot_ = std::make_unique<RG_ScRGProfiler>(0);
    PassNode::Render(cb, request, data);
  }

 private:
  std::unique_ptr<RG_ScRGProfiler>* slot_;
};

}  // namespace dot_test

namespace {

using namespace dot_test;

const std::string kSettings = "fontsize=10;\nnodesep=.15;\nranksep=.15;\n";
const std::string kDigraphHead = "digraph \"\" {\n" + kSettings + "label=\"\"\n";

std::string Name(const RG_RenderNode* node) {
  return "P" + std::to_string(node->GetGloballyUniqueID());
}
std::string Line(const RG_RenderNode* node, int ownMs, int totalMs) {
  return Name(node) + " [label=\"" + node->GetProfileLabel() + "\\n" + std::to_string(ownMs) +
         "ms (" + std::to_string(totalMs) + "ms) abort:0ms\" ,fontsize=10 ]\n";
}
std::string Orphan(const RG_RenderNode* node) {
  return Name(node) + " [label=\"" + node->GetProfileLabel() + "\\nORPHAN\" fontsize=10 ]\n";
}
std::string Edge(const RG_RenderNode* from, const RG_RenderNode* to) {
  return Name(from) + " -> " + Name(to) + "\n";
}
std::string ClusterHead(int number) {
  return "subgraph cluster" + std::to_string(number) + " {\n" + kSettings + "label=\"\"\n";
}

class DotProfilerTest : public LeakCheckTest {
 protected:
  void SetUp() override {
    LeakCheckTest::SetUp();
    g_now = 50.0;
    U_SetClock(&FakeClock);
    RG_SetProfiler(nullptr);
  }
  void TearDown() override {
    RG_SetProfiler(nullptr);
    LeakCheckTest::TearDown();
  }

  static void Execute(const RG_RenderNode* root) {
    RG_RenderRequest request;
    request.rect = M_LRect{0, 0, 8, 8};
    M_LRect rect;
    char flags = 0;
    PF_World* world = nullptr;
    RG_ExecuteGraph(root, request, &rect, &flags, &world, nullptr);
    delete world;
  }
};

TEST_F(DotProfilerTest, GraphsCharacterForCharacter) {
  auto* leaf = new ClockLeaf(0.5);
  U_SharedPtr<RG_RenderNode> root(new PassNode(leaf, true));
  auto* unread = new ClockLeaf(0.5);
  U_SharedPtr<RG_RenderNode> lone(new PassNode(unread, false));
  ASSERT_EQ(leaf->GetProfileLabel().find_first_of("\"\\"), std::string::npos);

  RG_ScRGProfiler profiler(0);
  Execute(root.get());
  const std::string one = kDigraphHead + Line(leaf, 500, 500) + Line(root.get(), 750, 1250) +
                          Edge(leaf, root.get()) + "}";
  EXPECT_EQ(profiler.GetDotText(), one);
  // Abort times are never fed in, so even threshold 0 fills nothing pink.
  EXPECT_EQ(one.find("pink"), std::string::npos);

  // Each execution appends a digraph; an input never rendered is an orphan.
  Execute(root.get());
  Execute(lone.get());
  EXPECT_EQ(profiler.GetDotText(), one + one + kDigraphHead + Line(lone.get(), 750, 750) +
                                       Edge(unread, lone.get()) + Orphan(unread) + "}");
}

TEST_F(DotProfilerTest, LabelsEscapeQuotesAndBackslashes) {
  auto* rendered = new QuotedLeaf;
  auto* unrendered = new QuotedLeaf;
  U_SharedPtr<RG_RenderNode> inner(new PassNode(rendered, true));
  U_SharedPtr<RG_RenderNode> root(new PassNode(unrendered, false));
  RG_ScRGProfiler profiler(0);
  Execute(inner.get());
  Execute(root.get());

  const std::string escaped = "say \\\"hi\\\" \\\\ bye";
  const std::string& text = profiler.GetDotText();
  EXPECT_NE(text.find(Name(rendered) + " [label=\"" + escaped + "\\n250ms (250ms) abort:0ms\""),
            std::string::npos)
      << text;
  EXPECT_NE(text.find(Name(unrendered) + " [label=\"" + escaped + "\\nORPHAN\" fontsize=10 ]\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find("\"hi\""), std::string::npos);
}

TEST_F(DotProfilerTest, NestedExecutionsBecomeNumberedClusters) {
  // Each test normally runs in a process of its own, where this is 0.
  const int base = RG_DotGraphProfiler::S_cluster_counterL;
  auto* leaf = new ClockLeaf(0.5);
  U_SharedPtr<RG_RenderNode> cache(new StaleCache(leaf));

  RG_ScRGProfiler profiler(0);
  Execute(cache.get());
  Execute(cache.get());

  // The nested root's time counts as the cache node's children time. The
  // leaf's timed line lives in the cluster, so in the enclosing graph it is
  // only named by the input edge.
  auto block = [&](int cluster) {
    return kDigraphHead + ClusterHead(cluster) + Line(leaf, 500, 500) + "}" +
           Edge(leaf, cache.get()) + Line(cache.get(), 250, 750) + Edge(leaf, cache.get()) +
           Orphan(leaf) + "}";
  };
  EXPECT_EQ(profiler.GetDotText(), block(base + 1) + block(base + 2));
  EXPECT_EQ(RG_DotGraphProfiler::S_cluster_counterL, base + 2);
}

TEST_F(DotProfilerTest, ScopedOwnerHandsOverItsProfiler) {
  U_SharedPtr<RG_RenderNode> root(new PassNode(new ClockLeaf(0.5), true));

  // A copy takes the profiler over without touching the slot; the emptied
  // source only uninstalls when it dies.
  auto source = std::make_unique<RG_ScRGProfiler>(0);
  RG_GraphProfiler* installed = RG_GetProfiler();
  ASSERT_NE(installed, nullptr);
  RG_ScRGProfiler copy(*source);
  EXPECT_EQ(RG_GetProfiler(), installed);
  Execute(root.get());
  EXPECT_TRUE(source->GetDotText().empty());
  const std::string text = copy.GetDotText();
  EXPECT_FALSE(text.empty());
  source.reset();
  EXPECT_EQ(RG_GetProfiler(), nullptr);
  EXPECT_EQ(copy.GetDotText(), text);  // not deleted: the copy reads it
  Execute(root.get());
  EXPECT_EQ(copy.GetDotText(), text);

  // Assignment deletes the target's own profiler, which must not stay
  // installed; self-assignment changes nothing.
  RG_ScRGProfiler second(0);
  second = copy;
  EXPECT_TRUE(copy.GetDotText().empty());
  EXPECT_EQ(second.GetDotText(), text);
  EXPECT_EQ(RG_GetProfiler(), nullptr);
  second = second;
  EXPECT_EQ(second.GetDotText(), text);

  // Release uninstalls but keeps ownership.
  RG_ScRGProfiler third(0);
  ASSERT_NE(RG_GetProfiler(), nullptr);
  third.Release();
  EXPECT_EQ(RG_GetProfiler(), nullptr);
  Execute(root.get());
  EXPECT_EQ(third.GetDotText(), "");
}

TEST_F(DotProfilerTest, ProfilerInstalledMidExecution) {
  auto* leaf = new ClockLeaf(0.5);
  std::unique_ptr<RG_ScRGProfiler> profiler;
  U_SharedPtr<RG_RenderNode> root(new InstallingNode(leaf, &profiler));

  Execute(root.get());
  ASSERT_NE(profiler, nullptr);
  // The leaf's scope began inside no graph: it goes into a top-level graph
  // of its own, still open because no GraphEnd can come for it.
  const std::string head = kDigraphHead + Line(leaf, 500, 500);
  EXPECT_EQ(profiler->GetDotText(), head);

  // The next execution closes it and opens its own.
  U_SharedPtr<RG_RenderNode> plain(new PassNode(new ClockLeaf(0.5), true));
  Execute(plain.get());
  const RG_RenderNode* plainLeaf = plain->GetInput(0);
  EXPECT_EQ(profiler->GetDotText(), head + "}" + kDigraphHead + Line(plainLeaf, 500, 500) +
                                        Line(plain.get(), 750, 1250) +
                                        Edge(plainLeaf, plain.get()) + "}");
  RG_SetProfiler(nullptr);
}

TEST_F(DotProfilerTest, CallsOutsideAnyGraphAndWrappedTimes) {
  auto* node = new ClockLeaf(0);
  U_SharedPtr<RG_RenderNode> keep(node);
  RG_DotGraphProfiler outside(0);
  outside.GraphEnd();
  outside.NodeEnd(node);
  EXPECT_EQ(outside.GetText(), "");
  outside.NodeTiming(node, "L", 3, 1, false, 0);
  outside.InputEdge(node, node);
  outside.NodeEnd(node);
  outside.GraphEnd();
  outside.GraphEnd();
  EXPECT_EQ(outside.GetText(), kDigraphHead + Name(node) +
                                   " [label=\"L\\n2ms (3ms) abort:0ms\" ,fontsize=10 ]\n" +
                                   Edge(node, node) + "}");

  // Children beyond the total (a counter that wrapped) must not overflow.
  RG_DotGraphProfiler wrapped(0);
  wrapped.GraphStart("", node);
  wrapped.NodeStart(node);
  wrapped.NodeTiming(node, "L", INT32_MIN + 5, 10, false, 0);
  wrapped.NodeEnd(node);
  wrapped.GraphEnd();
  EXPECT_EQ(wrapped.GetText(), kDigraphHead + Name(node) + " [label=\"L\\n2147483643ms (" +
                                   std::to_string(INT32_MIN + 5) +
                                   "ms) abort:0ms\" ,fontsize=10 ]\n}");
}

}  // namespace
