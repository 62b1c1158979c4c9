// Small 8-bit test nodes and pixel helpers: real pixels, real checkouts and
// counters of how often the passes called a node. Effects with policies,
// caches and sources at every depth are in ProofNodes.h.
//
// Ownership: nodes are reference counted like every render node; build them
// with `new`, hand inputs to the constructor (which takes a reference), and
// hold the root in a U_SharedPtr.
#pragma once

#include <functional>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

#include "rg/RG_CheckoutResult.h"
#include "rg/RG_NodeCallbacks.h"
#include "rg/RG_RenderNode.h"
#include "rg/RG_Traverser.h"
#include "rghost/PF_World.h"

struct TestCounters {
  int pre_renders = 0;
  int renders = 0;
  std::vector<RG_RenderRequest> requests;  // as each PreRender saw them
};

// ---- pixel helpers (coordinates in render space) ----

// A new 8-bit world covering `rect`, every pixel `color`.
PF_World* TestMakeWorld(const M_LRect& rect, PF_RGBA8 color);
PF_RGBA8 TestPixel(const PF_World* world, int32_t x, int32_t y);
// Fills the whole 8-bit world with `color`.
void TestFill(PF_World* world, PF_RGBA8 color);
bool TestSame(PF_RGBA8 a, PF_RGBA8 b);
// A pixel whose channels encode its position, so misplaced copies show.
PF_RGBA8 TestPatternAt(int32_t x, int32_t y);
void TestFillPattern(PF_World* world);
inline M_LRect TestRect(int32_t l, int32_t t, int32_t r, int32_t b) { return M_LRect{l, t, r, b}; }
RG_RenderRequest TestRequest(const M_LRect& rect, int16_t depth = 8, uint8_t flags = 0,
                             int32_t field = 0);

// Runs `body` on a new thread whose stack holds `stackBytes`.
void TestRunOnThread(size_t stackBytes, std::function<void()> body);

// The `long` that `fn` throws, or 0 when it returns.
inline long CatchCode(const std::function<void()>& fn) {
  try {
    fn();
  } catch (long code) {
    return code;
  }
  return 0;
}

// What a three-output execution hands back. The world is declared last so
// that it goes before the lock that may keep it alive.
struct TestOutcome {
  M_LRect rect{-1, -1, -1, -1};
  char flags = 'x';
  std::unique_ptr<RG_BufferLock> lock;
  std::unique_ptr<PF_World> world;
};

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
inline TestOutcome TestRun(const RG_RenderNode* root, const M_LRect& rect) {
  return TestRun(root, TestRequest(rect));
}

// The usual PreRender of a one-input node: input 0 over the request, then an
// output of the requested rect.
inline void TestInputThenOutput(RG_NodePreRenderCB* cb, const RG_RenderRequest& r) {
  cb->CheckoutInput(0, r);
  cb->RequestOutput(r.rect, 0, 0);
}

// A node whose passes are given as functions, for tests that need a node to
// do one particular thing (or break a rule) in PreRender or Render. A
// PreRender function may return no node data, a Render function may take the
// callbacks alone, and either may be null.
class TestLambdaNode : public RG_RenderNode {
 public:
  using PreRenderFn = std::function<RG_NodeData*(RG_NodePreRenderCB*, const RG_RenderRequest&)>;
  using RenderFn =
      std::function<void(RG_NodeRenderCB*, const RG_RenderRequest&, const RG_NodeData*)>;
  template <class Pre, class Render>
  TestLambdaNode(std::vector<RG_RenderNode*> inputs, Pre preRender, Render render)
      : TestLambdaNode(std::move(inputs), PreRenderFn(Adapt(std::move(preRender))),
                       RenderFn(AdaptRender(std::move(render)))) {}
  TestLambdaNode(std::vector<RG_RenderNode*> inputs, PreRenderFn preRender, RenderFn render);
  RG_NodeData* PreRender(RG_NodePreRenderCB* cb, const RG_RenderRequest& request) const override;
  void Render(RG_NodeRenderCB* cb, const RG_RenderRequest& request,
              const RG_NodeData* data) const override;
  // Content bounds per type (unbounded by default); before the first traversal.
  void SetTestContentBounds(const M_LRect& type0, const M_LRect& type1);
  bool ContentBoundsDifferByType() const override { return bounds_[0] != bounds_[1]; }
  mutable TestCounters counters;

 protected:
  M_LRect ComputeContentBounds(RG_ContentBoundsType type) const override;

 private:
  template <class F>
  static PreRenderFn Adapt(F f) {
    if constexpr (std::is_null_pointer_v<F>) {
      return nullptr;
    } else if constexpr (std::is_invocable_r_v<RG_NodeData*, F&, RG_NodePreRenderCB*,
                                               const RG_RenderRequest&>) {
      return f;
    } else {
      return [f](RG_NodePreRenderCB* cb, const RG_RenderRequest& r) -> RG_NodeData* {
        f(cb, r);
        return nullptr;
      };
    }
  }
  template <class F>
  static RenderFn AdaptRender(F f) {
    if constexpr (std::is_null_pointer_v<F>) {
      return nullptr;
    } else if constexpr (std::is_invocable_v<F&, RG_NodeRenderCB*>) {
      return [f](RG_NodeRenderCB* cb, const RG_RenderRequest&, const RG_NodeData*) { f(cb); };
    } else {
      return f;
    }
  }
  PreRenderFn pre_render_;
  RenderFn render_;
  bool has_bounds_ = false;
  M_LRect bounds_[2];
};

// The usual PreRender of a node working in place on input 0 over the request.
inline void TestInPlaceOverInput(RG_NodePreRenderCB* cb, const RG_RenderRequest& r) {
  cb->RequestOutputInPlace(cb->CheckoutInput(0, r), r.rect, 0, 0);
}
// In place over `input` with an empty Render: the pass renders the input
// into the node's output.
inline TestLambdaNode* TestInPlace(RG_RenderNode* input) {
  return new TestLambdaNode({input}, TestInPlaceOverInput, nullptr);
}

// An 8-bit leaf filling `bounds` with one colour, or with TestPatternAt; its
// output is the request clipped to the bounds, opaque when the colour's alpha
// is full.
TestLambdaNode* TestSolid(const M_LRect& bounds, PF_RGBA8 color, bool pattern = false);
inline TestLambdaNode* TestPattern(const M_LRect& bounds) {
  return TestSolid(bounds, {0, 0, 0, 255}, true);
}
// Lays input 0 over input 1 (premultiplied "over"); input 1 is checked out
// in a group of its own.
TestLambdaNode* TestOver(RG_RenderNode* top, RG_RenderNode* bottom);

// Records its destruction, for ownership tests.
template <class Base>
struct TestCounted : Base {
  explicit TestCounted(int* destroyed) : destroyed_(destroyed) {}
  ~TestCounted() override { ++*destroyed_; }
  int* destroyed_;  // borrowed
};
