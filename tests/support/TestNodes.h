// Small host effect nodes and pixel helpers for tests. They behave like a
// host's own effects: real pixels, real checkouts, and counters of how often
// the passes called them.
//
// Ownership: nodes are reference counted like every render node; build them
// with `new`, hand inputs to the constructor (which takes a reference), and
// hold the root in a U_SharedPtr.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "rg/RG_CheckoutResult.h"
#include "rg/RG_NodeCallbacks.h"
#include "rg/RG_RenderNode.h"
#include "rg/RG_Traverser.h"
#include "rghost/PF_World.h"

// How often the passes called a node.
struct TestCounters {
  int pre_renders = 0;
  int renders = 0;
};

// ---- pixel helpers (8-bit worlds; coordinates in render space) ----

// A new 8-bit world covering `rect`, every pixel `color`.
PF_World* TestMakeWorld(const M_LRect& rect, PF_RGBA8 color);
// The pixel at render-space (x, y) of an 8-bit world.
PF_RGBA8 TestPixel(const PF_World* world, int32_t x, int32_t y);
void TestSetPixel(PF_World* world, int32_t x, int32_t y, PF_RGBA8 color);
// Fills the whole world (any depth) with `color` scaled to the depth.
void TestFill(PF_World* world, PF_RGBA8 color);
bool TestSame(PF_RGBA8 a, PF_RGBA8 b);
// A pixel whose channels encode its position, so misplaced copies show.
PF_RGBA8 TestPatternAt(int32_t x, int32_t y);
// Writes TestPatternAt into every pixel of an 8-bit world.
void TestFillPattern(PF_World* world);
M_LRect TestRect(int32_t l, int32_t t, int32_t r, int32_t b);
RG_RenderRequest TestRequest(const M_LRect& rect, int16_t depth = 8, uint8_t flags = 0,
                             int32_t field = 0);

// The `long` that `fn` throws, or 0 when it returns.
inline long CatchCode(const std::function<void()>& fn) {
  try {
    fn();
  } catch (long code) {
    return code;
  }
  return 0;
}

// What a three-output execution hands back. Owns world and lock; the world
// is declared last so that it goes before the lock that may keep it alive.
struct TestOutcome {
  M_LRect rect{-1, -1, -1, -1};
  char flags = 'x';
  std::unique_ptr<RG_BufferLock> lock;
  std::unique_ptr<PF_World> world;
};

// Executes `root` over `request` in the three-output form.
inline TestOutcome TestRun(const RG_RenderNode* root, const RG_RenderRequest& request,
                           bool wantLock = false) {
  TestOutcome out;
  PF_World* w = nullptr;
  RG_BufferLock* l = nullptr;
  RG_ExecuteGraph(root, request, &out.rect, &out.flags, &w, wantLock ? &l : nullptr);
  out.lock.reset(l);
  out.world.reset(w);
  return out;
}

// The code a three-output execution throws, 0 when it returns.
inline long TestRunCode(const RG_RenderNode* root, const RG_RenderRequest& request) {
  return CatchCode([&] { TestRun(root, request); });
}

// A leaf that fills `bounds` with one colour, or with TestPatternAt (8-bit)
// so that misplaced pixels show. Its output is the request clipped to the
// bounds; it is opaque when the colour's alpha is full. At 16 and 32 bits the
// colour is scaled to the depth.
class TestSolidNode : public RG_RenderNode {
 public:
  TestSolidNode(const M_LRect& bounds, PF_RGBA8 color, bool pattern = false);
  RG_NodeData* PreRender(RG_NodePreRenderCB* cb, const RG_RenderRequest& request) const override;
  void Render(RG_NodeRenderCB* cb, const RG_RenderRequest& request,
              const RG_NodeData* data) const override;
  mutable TestCounters counters;

 protected:
  M_LRect ComputeContentBounds(RG_ContentBoundsType type) const override;

 private:
  M_LRect bounds_;
  PF_RGBA8 color_;
  bool pattern_;
};

struct TestPatternNode : TestSolidNode {
  explicit TestPatternNode(const M_LRect& bounds) : TestSolidNode(bounds, {0, 0, 0, 255}, true) {}
};

// Inverts the colour of its input in place (premultiplied: c' = a - c, 8-bit).
class TestInvertNode : public RG_OneInputNode {
 public:
  explicit TestInvertNode(RG_RenderNode* input);
  RG_NodeData* PreRender(RG_NodePreRenderCB* cb, const RG_RenderRequest& request) const override;
  void Render(RG_NodeRenderCB* cb, const RG_RenderRequest& request,
              const RG_NodeData* data) const override;
  mutable TestCounters counters;
};

// Reads `margin` pixels more on every side of its input than it is asked
// for, and outputs a copy of the asked-for part (a stand-in for a blur).
class TestGrowNode : public RG_OneInputNode {
 public:
  TestGrowNode(RG_RenderNode* input, int32_t margin);
  RG_NodeData* PreRender(RG_NodePreRenderCB* cb, const RG_RenderRequest& request) const override;
  void Render(RG_NodeRenderCB* cb, const RG_RenderRequest& request,
              const RG_NodeData* data) const override;
  mutable TestCounters counters;

 private:
  int32_t margin_;
};

// Lays input 0 over input 1 (premultiplied "over", 8-bit). Input 0 is
// checked out in group 0 and input 1 in group 1, so the top layer is rendered
// before the bottom one is asked for; `bottom_rendered_first` records whether
// input 1 already had pixels when input 0 was fetched.
class TestOverNode : public RG_RenderNode {
 public:
  TestOverNode(RG_RenderNode* top, RG_RenderNode* bottom);
  RG_NodeData* PreRender(RG_NodePreRenderCB* cb, const RG_RenderRequest& request) const override;
  void Render(RG_NodeRenderCB* cb, const RG_RenderRequest& request,
              const RG_NodeData* data) const override;
  mutable TestCounters counters;
  mutable int bottom_renders_seen_at_top_fetch = -1;
  TestCounters* bottom_counters = nullptr;  // borrowed, optional
};

// Checks out both inputs and withdraws input 1 with SkipRendering (or, with
// `withdraw` false, never asks for its pixels); outputs input 0 unchanged.
class TestSkipNode : public RG_RenderNode {
 public:
  TestSkipNode(RG_RenderNode* used, RG_RenderNode* skipped, bool withdraw);
  RG_NodeData* PreRender(RG_NodePreRenderCB* cb, const RG_RenderRequest& request) const override;
  void Render(RG_NodeRenderCB* cb, const RG_RenderRequest& request,
              const RG_NodeData* data) const override;
  mutable TestCounters counters;

 private:
  bool withdraw_;
};

// Forces its input checkout to `forced` and outputs that rect with a copy of
// what it received (cleared where the input delivers nothing).
class TestForceRectNode : public RG_OneInputNode {
 public:
  TestForceRectNode(RG_RenderNode* input, const M_LRect& forced);
  RG_NodeData* PreRender(RG_NodePreRenderCB* cb, const RG_RenderRequest& request) const override;
  void Render(RG_NodeRenderCB* cb, const RG_RenderRequest& request,
              const RG_NodeData* data) const override;
  mutable TestCounters counters;

 private:
  M_LRect forced_;
};

// A node whose passes are given as functions, for tests that need a node to
// do one particular thing (or break a rule) in PreRender or Render.
class TestLambdaNode : public RG_RenderNode {
 public:
  using PreRenderFn = std::function<RG_NodeData*(RG_NodePreRenderCB*, const RG_RenderRequest&)>;
  using RenderFn =
      std::function<void(RG_NodeRenderCB*, const RG_RenderRequest&, const RG_NodeData*)>;
  TestLambdaNode(std::vector<RG_RenderNode*> inputs, PreRenderFn preRender, RenderFn render);
  RG_NodeData* PreRender(RG_NodePreRenderCB* cb, const RG_RenderRequest& request) const override;
  void Render(RG_NodeRenderCB* cb, const RG_RenderRequest& request,
              const RG_NodeData* data) const override;
  // Gives the node content bounds per type (unbounded by default); call
  // before the first traversal.
  void SetTestContentBounds(const M_LRect& type0, const M_LRect& type1);
  bool ContentBoundsDifferByType() const override { return has_bounds_; }
  mutable TestCounters counters;

 protected:
  M_LRect ComputeContentBounds(RG_ContentBoundsType type) const override;

 private:
  PreRenderFn pre_render_;
  RenderFn render_;
  bool has_bounds_ = false;
  M_LRect bounds_[2];
};

// Node data that records its destruction, for ownership tests.
class TestNodeData : public RG_NodeData {
 public:
  explicit TestNodeData(int* destroyed) : destroyed_(destroyed) {}
  ~TestNodeData() override { ++*destroyed_; }

 private:
  int* destroyed_;  // borrowed
};

// A buffer lock that records its destruction.
class TestBufferLock : public RG_BufferLock {
 public:
  explicit TestBufferLock(int* destroyed) : destroyed_(destroyed) {}
  ~TestBufferLock() override { ++*destroyed_; }

 private:
  int* destroyed_;  // borrowed
};
