#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "profile/RGp_ProfilerScopes.h"
#include "rg/RG_CheckoutResult.h"
#include "rg/RG_GraphProfiler.h"
#include "rg/RG_NodeCallbacks.h"
#include "rg/RG_RenderNode.h"
#include "rg/RG_Traverser.h"
#include "rghost/PF_World.h"
#include "rghost/U_Services.h"
#include "support/LeakCheck.h"
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

struct Event {
  std::string what;
  const RG_RenderNode* node = nullptr;
  const RG_RenderNode* other = nullptr;  // edges: the consumer; graph start: CurrentNode()
  int32_t total = 0;
  int32_t children = 0;
  std::string label;
};

class RecordingProfiler : public RG_GraphProfiler {
 public:
  void GraphStart(const char* name, const RG_RenderNode* root) override {
    Add(std::string("GraphStart:") + name, root, CurrentNode());
  }
  void GraphEnd() override { Add("GraphEnd"); }
  void InputEdge(const RG_RenderNode* input, const RG_RenderNode* node) override {
    Add("Edge", input, node);
  }
  void NodeTiming(const RG_RenderNode* node, const char* label, int32_t total, int32_t children,
                  bool flag, intptr_t value) override {
    EXPECT_FALSE(flag);
    EXPECT_EQ(value, 0);
    if (node == throw_timing_for) throw 99L;
    Event& e = Add("Timing", node);
    e.total = total;
    e.children = children;
    e.label = label;
  }
  void NodeStart(const RG_RenderNode* node) override {
    RG_GraphProfiler::NodeStart(node);
    Add("Start", node);
  }
  void NodeEnd(const RG_RenderNode* node) override {
    RG_GraphProfiler::NodeEnd(node);
    Add("End", node);
  }

  size_t ChildTimeDepth() const { return child_time_stack_.size(); }
  const Event* TimingOf(const RG_RenderNode* node) const {
    for (const Event& e : events) {
      if (e.what == "Timing" && e.node == node) return &e;
    }
    return nullptr;
  }
  int Count(const std::string& what, const RG_RenderNode* node) const {
    int n = 0;
    for (const Event& e : events) n += (e.what == what && e.node == node);
    return n;
  }

  std::vector<Event> events;
  const RG_RenderNode* throw_timing_for = nullptr;

 private:
  Event& Add(std::string what, const RG_RenderNode* node = nullptr,
             const RG_RenderNode* other = nullptr) {
    Event& e = events.emplace_back();
    e.what = std::move(what);
    e.node = node;
    e.other = other;
    return e;
  }
};

// A node that spends `seconds` of fake time in its own Render before it reads
// its inputs, then fills a cleared output. `during` runs at the start of
// Render.
class TimedNode : public RG_RenderNode {
 public:
  TimedNode(double seconds, std::initializer_list<RG_RenderNode*> inputs) : seconds_(seconds) {
    for (RG_RenderNode* input : inputs) inputs_.emplace_back(input);
  }
  RG_NodeData* PreRender(RG_NodePreRenderCB* cb, const RG_RenderRequest& request) const override {
    for (int32_t i = 0; i < GetNumInputs(); ++i) cb->CheckoutInput(i, request);
    cb->RequestOutput(request.rect, 0, 1);
    return nullptr;
  }
  void Render(RG_NodeRenderCB* cb, const RG_RenderRequest&, const RG_NodeData*) const override {
    if (during) during();
    g_now += seconds_;
    for (int32_t i = 0; i < GetNumInputs(); ++i) cb->GetCheckoutByID(i)->GetWorld();
    cb->GetCheckoutByID(-1)->GetOutputWorld();
  }
  void (*during)() = nullptr;

 private:
  double seconds_;
};

RG_RenderRequest Request() {
  RG_RenderRequest r;
  r.rect = M_LRect{0, 0, 4, 4};
  r.bit_depth = 8;
  return r;
}

// Executes the graph under root and checks that a buffer came back.
void Execute(const RG_RenderNode* root) {
  M_LRect rect;
  char flags = 0;
  PF_World* world = nullptr;
  RG_ExecuteGraph(root, Request(), &rect, &flags, &world, nullptr);
  EXPECT_NE(world, nullptr);
  EXPECT_EQ(rect, (M_LRect{0, 0, 4, 4}));
  delete world;
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

TEST_F(GraphProfilerTest, NodeStack) {
  RecordingProfiler profiler;
  // An empty node stack has no current node, and popping it does nothing.
  EXPECT_EQ(profiler.CurrentNode(), nullptr);
  profiler.RG_GraphProfiler::NodeEnd(nullptr);
  TimedNode a(0, {});
  TimedNode b(0, {});
  profiler.RG_GraphProfiler::NodeStart(&a);
  profiler.RG_GraphProfiler::NodeStart(&b);
  EXPECT_EQ(profiler.CurrentNode(), &b);
  profiler.RG_GraphProfiler::NodeEnd(&a);  // the argument is not used
  EXPECT_EQ(profiler.CurrentNode(), &a);
  EXPECT_EQ(profiler.ChildTimeDepth(), 1u);
}

TEST_F(GraphProfilerTest, ChildrenTimeIsTheSumOfTheInputsTotals) {
  auto* a = new TimedNode(1.0, {});
  auto* b = new TimedNode(2.0, {});
  U_SharedPtr<TimedNode> root(new TimedNode(0.5, {a, b}));
  // Without a profiler there is no scope and no clock read.
  Execute(root.get());
  EXPECT_EQ(g_clock_reads, 0);

  RecordingProfiler profiler;
  RG_SetProfiler(&profiler);
  EXPECT_EQ(RG_GetProfiler(), &profiler);
  Execute(root.get());

  const Event* ta = profiler.TimingOf(a);
  const Event* tb = profiler.TimingOf(b);
  const Event* tr = profiler.TimingOf(root.get());
  ASSERT_TRUE(ta && tb && tr);
  EXPECT_EQ(ta->total, 1000);
  EXPECT_EQ(ta->children, 0);
  EXPECT_EQ(tb->total, 2000);
  EXPECT_EQ(tr->total, 3500);
  EXPECT_EQ(tr->children, ta->total + tb->total);
  EXPECT_EQ(tr->label, "(anonymous namespace)::TimedNode");

  // Inputs are reported in order after the node ended, inside the graph.
  const auto& ev = profiler.events;
  ASSERT_GE(ev.size(), 5u);
  const size_t n = ev.size();
  EXPECT_EQ(ev[n - 4].what + ev[n - 3].what + ev[n - 1].what, "EndEdgeGraphEnd");
  EXPECT_EQ(ev[n - 3].node, a);
  EXPECT_EQ(ev[n - 2].node, b);
  EXPECT_EQ(ev[n - 2].other, root.get());
  EXPECT_EQ(profiler.ChildTimeDepth(), 1u);
  EXPECT_EQ(profiler.CurrentNode(), nullptr);
}

TEST_F(GraphProfilerTest, ThrowingNodeTimingDoesNotDisturbTheRender) {
  RecordingProfiler profiler;
  RG_SetProfiler(&profiler);
  auto* leaf = new TimedNode(1.0, {});
  auto* middle = new TimedNode(2.0, {leaf});
  U_SharedPtr<TimedNode> root(new TimedNode(0.5, {middle}));
  profiler.throw_timing_for = middle;
  Execute(root.get());

  EXPECT_EQ(profiler.TimingOf(middle), nullptr);
  EXPECT_EQ(profiler.Count("End", middle), 0);
  EXPECT_EQ(profiler.Count("Edge", leaf), 0) << "the middle node's input edge is skipped";
  EXPECT_EQ(profiler.Count("Edge", middle), 1);
  // The enclosing node still gets the middle node's time as its children's.
  ASSERT_TRUE(profiler.TimingOf(root.get()));
  EXPECT_EQ(profiler.TimingOf(root.get())->total, 3500);
  EXPECT_EQ(profiler.TimingOf(root.get())->children, 3000);
  EXPECT_EQ(profiler.ChildTimeDepth(), 1u);
}

TEST_F(GraphProfilerTest, ScopesOpenWhenUninstalledKeepReporting) {
  RecordingProfiler profiler;
  RG_SetProfiler(&profiler);
  auto* leaf = new TimedNode(1.0, {});
  auto* middle = new TimedNode(2.0, {leaf});
  middle->during = [] { RG_SetProfiler(nullptr); };
  U_SharedPtr<TimedNode> root(new TimedNode(0.5, {middle}));
  Execute(root.get());

  EXPECT_EQ(RG_GetProfiler(), nullptr);
  // The leaf renders after the uninstall: no scope of its own.
  EXPECT_EQ(profiler.Count("Start", leaf), 0);
  ASSERT_TRUE(profiler.TimingOf(middle));
  ASSERT_TRUE(profiler.TimingOf(root.get()));
  EXPECT_EQ(profiler.TimingOf(middle)->total, 3000);
  EXPECT_EQ(profiler.TimingOf(middle)->children, 0);
  EXPECT_EQ(profiler.Count("Edge", leaf), 1);
  EXPECT_EQ(profiler.events.back().what, "GraphEnd");
}

// A node is timed once for each delivery of its result (its own render and
// each hand-over), also when a consumer's render fails.
TEST_F(GraphProfilerTest, EveryDeliveryIsTimedAlsoWhenRenderingFails) {
  auto* pattern = new TestPatternNode(TestRect(0, 0, 8, 8));
  auto* over = new TestOverNode(pattern, new TestOverNode(pattern, pattern));
  U_SharedPtr<RG_RenderNode> root(over);
  RecordingProfiler profiler;
  RG_SetProfiler(&profiler);
  TestRun(root.get(), TestRequest(TestRect(0, 0, 8, 8)));
  EXPECT_EQ(profiler.Count("GraphStart:", root.get()), 1);
  EXPECT_EQ(profiler.Count("GraphEnd", nullptr), 1);
  EXPECT_EQ(profiler.Count("Timing", pattern), 3);  // one render, three hand-overs
  EXPECT_EQ(profiler.Count("Timing", over), 1);
  U_SharedPtr<RG_RenderNode> failing(new TestLambdaNode(
      {pattern},
      [](RG_NodePreRenderCB* cb, const RG_RenderRequest& r) -> RG_NodeData* {
        cb->CheckoutInput(0, r);
        cb->RequestOutput(r.rect, 0, 0);
        return nullptr;
      },
      [](RG_NodeRenderCB* cb, const RG_RenderRequest&, const RG_NodeData*) {
        cb->GetNextCheckout()->GetWorld();
        throw 77L;
      }));
  profiler.events.clear();
  EXPECT_EQ(CatchCode([&] { TestRun(failing.get(), TestRequest(TestRect(0, 0, 8, 8))); }), 77);
  EXPECT_EQ(profiler.Count("GraphEnd", nullptr), 1);
  EXPECT_EQ(profiler.Count("Timing", failing.get()), 1);
  EXPECT_EQ(profiler.Count("Timing", pattern), 1);
}

TEST_F(GraphProfilerTest, ClockFailureUndoesTheScopeOrDropsTheReport) {
  RecordingProfiler profiler;
  TimedNode node(0, {});
  // At the start: the exception leaves, the scope is undone.
  U_InjectFailure(0, 4711);
  try {
    RGp_NodeScope scope(&profiler, &node);
    FAIL() << "no exception";
  } catch (long code) {
    EXPECT_EQ(code, 4711);
  }
  EXPECT_EQ(profiler.ChildTimeDepth(), 1u);
  EXPECT_EQ(profiler.CurrentNode(), nullptr);
  EXPECT_EQ(profiler.Count("Start", &node), 1);
  EXPECT_EQ(profiler.Count("End", &node), 1);
  // At the end: no report, yet the scope is closed.
  {
    RGp_NodeScope scope(&profiler, &node);
    EXPECT_EQ(profiler.ChildTimeDepth(), 2u);
    U_InjectFailure(0, 4711);
  }
  EXPECT_EQ(profiler.TimingOf(&node), nullptr);
  EXPECT_EQ(profiler.Count("End", &node), 1);
  EXPECT_EQ(profiler.ChildTimeDepth(), 1u);
}

}  // namespace
