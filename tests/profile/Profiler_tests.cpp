// The profiler's scopes under a fake clock and a failing one, its owner, and
// the DOT text it writes for small graphs, character for character.
#include <map>
#include <tuple>

#include "profile/RG_DotGraphProfiler.h"
#include "profile/RGp_ProfilerScopes.h"
#include "rg/RG_ScRGProfiler.h"
#include "support/LeakCheck.h"
#include "support/ProofNodes.h"
#include "support/TestNodes.h"

namespace {

// A fake clock in seconds. Steps are whole or half seconds, so differences
// are exact in binary and the millisecond figures are exact too.
double g_now = 0;
long g_clock_reads = 0;
double FakeClock() {
  ++g_clock_reads;
  return g_now;
}

// The DOT profiler, counting its calls per node, and throwing from
// NodeTiming for one node when asked to.
class WatchedDot : public RG_DotGraphProfiler {
 public:
  WatchedDot() : RG_DotGraphProfiler(0) {}
  void NodeTiming(const RG_RenderNode* node, const char* label, int32_t total, int32_t children,
                  bool flag, intptr_t value) override {
    EXPECT_FALSE(flag);
    EXPECT_EQ(value, 0);
    if (node == throw_timing_for) throw 99L;
    ++timings[node];
    RG_DotGraphProfiler::NodeTiming(node, label, total, children, flag, value);
  }
  void NodeStart(const RG_RenderNode* node) override {
    ++starts[node];
    RG_DotGraphProfiler::NodeStart(node);
  }
  void NodeEnd(const RG_RenderNode* node) override {
    ++ends[node];
    RG_DotGraphProfiler::NodeEnd(node);
  }
  size_t ChildTimeDepth() const { return child_time_stack_.size(); }
  std::map<const RG_RenderNode*, int> timings, starts, ends;
  const RG_RenderNode* throw_timing_for = nullptr;
};

// A node that spends `before` seconds of fake time in its own Render, reads
// its inputs (or, unless `reads`, never asks for them), spends `after`, then
// fills a cleared output. `during` runs at the start of Render.
class TimedNode : public RG_RenderNode {
 public:
  TimedNode(double before, std::initializer_list<RG_RenderNode*> inputs, double after = 0,
            bool reads = true, std::string label = "")
      : before_(before), after_(after), reads_(reads), label_(std::move(label)) {
    for (RG_RenderNode* input : inputs) inputs_.emplace_back(input);
  }
  std::string GetProfileLabel() const override {
    return label_.empty() ? RG_RenderNode::GetProfileLabel() : label_;
  }
  RG_NodeData* PreRender(RG_NodePreRenderCB* cb, const RG_RenderRequest& request) const override {
    for (int32_t i = 0; reads_ && i < GetNumInputs(); ++i) cb->CheckoutInput(i, request);
    cb->RequestOutput(request.rect, 0, 1);
    return nullptr;
  }
  void Render(RG_NodeRenderCB* cb, const RG_RenderRequest&, const RG_NodeData*) const override {
    if (during) during();
    g_now += before_;
    for (int32_t i = 0; reads_ && i < GetNumInputs(); ++i) cb->GetCheckoutByID(i)->GetWorld();
    g_now += after_;
    cb->GetCheckoutByID(-1)->GetOutputWorld();
  }
  std::function<void()> during;

 private:
  double before_, after_;
  bool reads_;
  std::string label_;
};

// One input, 0.25 s before and 0.5 s after reading it.
TimedNode* Pass(RG_RenderNode* input, bool reads = true) {
  return new TimedNode(0.25, {input}, 0.5, reads);
}

// A leaf whose label needs escaping in DOT.
TimedNode* QuotedLeaf() { return new TimedNode(0.25, {}, 0, true, "say \"hi\" \\ bye"); }

// Executes the graph under root and checks that a buffer came back.
void Execute(const RG_RenderNode* root) {
  const TestOutcome out = TestRun(root, M_LRect{0, 0, 4, 4});
  EXPECT_NE(out.world, nullptr);
  EXPECT_EQ(out.rect, (M_LRect{0, 0, 4, 4}));
}

class GraphProfilerTest : public LeakCheckTest {
 protected:
  void SetUp() override {
    LeakCheckTest::SetUp();
    g_now = 1000;
    g_clock_reads = 0;
    U_SetClock(&FakeClock);
    RG_SetProfiler(nullptr);
  }
  void TearDown() override {
    RG_SetProfiler(nullptr);
    LeakCheckTest::TearDown();
  }
};

const std::string kSettings = "fontsize=10;\nnodesep=.15;\nranksep=.15;\n";
const std::string kDigraphHead = "digraph \"\" {\n" + kSettings + "label=\"\"\n";

std::string Name(const RG_RenderNode* node) {
  return "P" + std::to_string(node->GetGloballyUniqueID());
}
// The node's label as DOT quotes it.
std::string Label(const RG_RenderNode* node) {
  std::string out;
  for (char c : node->GetProfileLabel())
    out += c == '"' || c == '\\' ? std::string("\\") + c : std::string(1, c);
  return out;
}
std::string Line(const RG_RenderNode* node, int ownMs, int totalMs, const char* label = nullptr) {
  return Name(node) + " [label=\"" + (label ? label : Label(node)) + "\\n" + std::to_string(ownMs) +
         "ms (" + std::to_string(totalMs) + "ms) abort:0ms\" ,fontsize=10 ]\n";
}
std::string Orphan(const RG_RenderNode* node) {
  return Name(node) + " [label=\"" + Label(node) + "\\nORPHAN\" fontsize=10 ]\n";
}
std::string Edge(const RG_RenderNode* from, const RG_RenderNode* to) {
  return Name(from) + " -> " + Name(to) + "\n";
}
std::string ClusterHead(int number) {
  return "subgraph cluster" + std::to_string(number) + " {\n" + kSettings + "label=\"\"\n";
}

TEST_F(GraphProfilerTest, ClockFailureMustUndoTheScopeOrDropOnlyTheReport) {
  WatchedDot profiler;
  TimedNode node(0, {});
  // At the start: the exception leaves, the scope is undone.
  U_InjectFailure(0, 4711);
  EXPECT_EQ(CatchCode([&] { RGp_NodeScope scope(&profiler, &node); }), 4711);
  EXPECT_EQ(std::tuple(profiler.ChildTimeDepth(), profiler.CurrentNode(),
                       profiler.starts[&node] + profiler.ends[&node]),
            std::tuple(1u, nullptr, 2));
  // At the end: no report, yet the scope is closed, NodeEnd included.
  {
    RGp_NodeScope scope(&profiler, &node);
    EXPECT_EQ(std::tuple(profiler.ChildTimeDepth(), profiler.CurrentNode()), std::tuple(2u, &node));
    U_InjectFailure(0, 4711);
  }
  EXPECT_EQ(std::tuple(profiler.timings[&node], profiler.ends[&node], profiler.ChildTimeDepth()),
            std::tuple(0, 2, 1u));
  { RGp_NodeScope scope(&profiler, &node); }  // reported, with false and 0 as the last two
  EXPECT_EQ(profiler.timings[&node], 1);
  profiler.throw_timing_for = &node;  // drops the edges, not NodeEnd
  { RGp_NodeScope scope(&profiler, &node); }
  EXPECT_EQ(std::tuple(profiler.timings[&node], profiler.ends[&node], profiler.CurrentNode()),
            std::tuple(1, 4, nullptr));
  // So the graph these scopes opened outside any execution is closed, and
  // the next execution's is not nested in it.
  profiler.throw_timing_for = nullptr;
  RG_SetProfiler(&profiler);
  Execute(U_SharedPtr<RG_RenderNode>(new TimedNode(0, {})).get());
  EXPECT_EQ(profiler.GetGraphCount(), 2u);
  // An execution inside such a scope is nested in the scope's graph.
  {
    RGp_NodeScope scope(&profiler, &node);
    Execute(U_SharedPtr<RG_RenderNode>(new TimedNode(0, {})).get());
  }
  EXPECT_EQ(profiler.GetGraphCount(), 3u);
}

// Labels with quotes and backslashes are escaped, rendered or orphaned.
TEST_F(GraphProfilerTest, TextMustMatchCharacterForCharacterWithUnrenderedInputsAsOrphans) {
  auto* leaf = QuotedLeaf();
  U_SharedPtr<RG_RenderNode> root(Pass(leaf));
  auto* unread = QuotedLeaf();
  U_SharedPtr<RG_RenderNode> lone(Pass(unread, false));
  EXPECT_EQ(Label(leaf), "say \\\"hi\\\" \\\\ bye");
  RG_ScRGProfiler profiler(0);
  Execute(root.get());
  const std::string one = kDigraphHead + Line(leaf, 250, 250) + Line(root.get(), 750, 1000) +
                          Edge(leaf, root.get()) + "}";
  EXPECT_EQ(profiler.GetDotText(), one);
  // Abort times are never fed in, so even threshold 0 fills nothing pink.
  EXPECT_EQ(one.find("pink"), std::string::npos);
  // Each execution appends a digraph; an input never rendered is an orphan.
  Execute(root.get());
  Execute(lone.get());
  const std::string third =
      kDigraphHead + Line(lone.get(), 750, 750) + Edge(unread, lone.get()) + Orphan(unread) + "}";
  EXPECT_EQ(profiler.GetDotText(), one + one + third);
  ASSERT_EQ(profiler.GetDotGraphCount(), 3u);
  for (size_t i = 0; i < 4; ++i)
    EXPECT_EQ(profiler.GetDotGraph(i), i < 2 ? one : i == 2 ? third : "");
}

TEST_F(GraphProfilerTest, NestedExecutionsMustBecomeNumberedClusters) {
  // Each test normally runs in a process of its own, where this is 0.
  const int base = RG_DotGraphProfiler::S_cluster_counterL;
  auto* leaf = new TimedNode(0.5, {});
  U_SharedPtr<RG_RenderNode> cache(
      new ProofCacheNode(leaf, ProofCacheNode::kLookup | ProofCacheNode::kForgetAtRender));
  RG_ScRGProfiler profiler(0);
  Execute(cache.get());  // a miss: no nested execution
  Execute(cache.get());  // hits whose entry is gone: the leaf runs nested
  Execute(cache.get());

  // The nested root's time counts as the cache node's children time. The
  // leaf's timed line lives in the cluster, so in the enclosing graph it is
  // only named by the input edge.
  auto block = [&](int cluster) {
    return kDigraphHead + ClusterHead(cluster) + Line(leaf, 500, 500) + "}" +
           Edge(leaf, cache.get()) + Line(cache.get(), 0, 500) + Edge(leaf, cache.get()) +
           Orphan(leaf) + "}";
  };
  const std::string miss = kDigraphHead + Line(leaf, 500, 500) + Line(cache.get(), 0, 500) +
                           Edge(leaf, cache.get()) + "}";
  EXPECT_EQ(profiler.GetDotText(), miss + block(base + 1) + block(base + 2));
  ASSERT_EQ(profiler.GetDotGraphCount(), 3u);  // clusters stay inside their graph
  EXPECT_EQ(profiler.GetDotGraph(2), block(base + 2));
  EXPECT_EQ(RG_DotGraphProfiler::S_cluster_counterL, base + 2);
}

TEST_F(GraphProfilerTest, ScopedOwnerMustHandOverItsProfilerAndUninstallOnlyWhenItDies) {
  U_SharedPtr<RG_RenderNode> root(Pass(new TimedNode(0.5, {})));

  // A copy takes the profiler over without touching the slot; the emptied
  // source only uninstalls when it dies.
  auto source = std::make_unique<RG_ScRGProfiler>(0);
  RG_GraphProfiler* installed = RG_GetProfiler();
  ASSERT_NE(installed, nullptr);
  RG_ScRGProfiler copy(*source);
  EXPECT_EQ(RG_GetProfiler(), installed);
  Execute(root.get());
  EXPECT_EQ(std::tuple(source->GetDotText(), source->GetDotGraphCount()), std::tuple("", 0u));
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
  EXPECT_EQ(std::tuple(copy.GetDotText(), second.GetDotText(), RG_GetProfiler()),
            std::tuple("", text, nullptr));
  second = second;
  EXPECT_EQ(second.GetDotText(), text);
  // A profiler the target does not own stays installed.
  WatchedDot other;
  RG_SetProfiler(&other);
  second = copy;
  EXPECT_EQ(RG_GetProfiler(), &other);
  RG_SetProfiler(nullptr);

  // Release uninstalls but keeps ownership.
  RG_ScRGProfiler third(0);
  ASSERT_NE(RG_GetProfiler(), nullptr);
  third.Release();
  EXPECT_EQ(RG_GetProfiler(), nullptr);
  Execute(root.get());
  EXPECT_EQ(third.GetDotText(), "");
}

}  // namespace
