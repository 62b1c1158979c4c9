// What a composite node asks of its inputs, watched through the passes its
// input nodes see, and the opaque flag it declares.
#include <gtest/gtest.h>

#include <cmath>

#include "composite/CompositeTestNodes.h"
#include "rg/RG_CompositeNode.h"
#include "rg/RG_Traverser.h"
#include "rg/RG_XformNode.h"
#include "rghost/PF_Transfer.h"
#include "support/LeakCheck.h"

using composite_test::ExecuteGraph;
using composite_test::Mode;
using composite_test::ProbeNode;
using composite_test::Rect;
using composite_test::Result;
using composite_test::Translation;
using composite_test::WorldPtr;

namespace {

const M_LRect k30 = Rect(0, 0, 30, 30);

// A probe over its own pattern world; the test keeps the node alive.
struct Layer {
  Layer(const M_LRect& rect, int seed, bool opaque)
      : world(ProofMakeSourceWorld(rect, 8, seed, opaque)),
        node(new ProbeNode(world.get(), opaque)) {}
  ProbeNode* operator->() const { return node.get(); }
  WorldPtr world;  // declared first: the node borrows it
  U_SharedPtr<ProbeNode> node;
};

ProbeNode* P(const Layer* l) { return l ? l->node.get() : nullptr; }

// Executes a layer composite of the given layers (any may be absent).
Result Comp(const Layer* src, const PF_CompositeModePlus& mode, const Layer* dest,
            const Layer* mask, long maskMode, const M_LRect& rect = k30) {
  U_SharedPtr<RG_RenderNode> node(new RG_CompositeNode(P(src), mode, P(dest), P(mask), maskMode));
  return ExecuteGraph(node.get(), rect);
}

Result Xform(const M_Matrix3& m, long quality, const PF_CompositeModePlus& mode, const Layer* src,
             const Layer* dest, const M_LRect& rect) {
  U_SharedPtr<RG_RenderNode> node(
      new RG_XformNode(&m, 1, mode, quality, P(src), P(dest), nullptr, 0));
  return ExecuteGraph(node.get(), rect);
}

// Pre-renders `root` for `rect` without rendering; returns its node data.
const RG_CompositeNode_Data* PreRender(RG_Traverser* t, const RG_RenderNode* root,
                                       const M_LRect& rect, long field = 0) {
  RG_RenderRequest request;
  request.rect = rect;
  request.field = static_cast<int32_t>(field);
  t->PreRenderGraph(request);
  return static_cast<const RG_CompositeNode_Data*>(t->GetNodeData(root));
}

}  // namespace

class CompositeCullingTest : public LeakCheckTest {};

TEST_F(CompositeCullingTest, OpacityZeroChecksOutNeitherSourceNorMask) {
  Layer src(Rect(0, 0, 20, 20), 1, false), mask(Rect(0, 0, 20, 20), 2, false);
  Layer dest(k30, 3, true);
  Result r = Comp(&src, Mode(PF_BLEND_NORMAL, 0.0f), &dest, &mask, 0);
  EXPECT_EQ(src->prerenders + mask->prerenders, 0);
  EXPECT_EQ(dest->renders, 1);
  ASSERT_TRUE(r.world);
  EXPECT_EQ(r.rect, k30);
  EXPECT_EQ(r.flags, 1);  // the opaque destination alone

  // Without a destination there is nothing to show.
  Result empty = Comp(&src, Mode(PF_BLEND_NORMAL, 0.0f), nullptr, &mask, 0);
  EXPECT_FALSE(empty.world);
  EXPECT_EQ(empty.rect, Rect(0, 0, 0, 0));
  EXPECT_EQ(src->prerenders, 0);
}

TEST_F(CompositeCullingTest, MissingSourceOrMaskShowsTheDestination) {
  Layer src(Rect(0, 0, 20, 20), 1, false), dest(k30, 3, false);
  Layer farMask(Rect(50, 50, 60, 60), 2, false), mask(Rect(0, 0, 20, 20), 2, false);
  // A mask missing the request drops the source.
  Result r = Comp(&src, Mode(PF_BLEND_NORMAL), &dest, &farMask, 0);
  EXPECT_EQ(src->prerenders, 0);
  EXPECT_EQ(farMask->prerenders, 1);
  EXPECT_EQ(farMask->renders, 0);
  ASSERT_TRUE(r.world);
  // No source at all: the mask is not rendered either.
  Result n = Comp(nullptr, Mode(PF_BLEND_NORMAL), &dest, &mask, 0);
  ASSERT_TRUE(n.world);
  EXPECT_EQ(mask->renders, 0);
  U_SharedPtr<RG_RenderNode> node(
      new RG_CompositeNode(nullptr, Mode(PF_BLEND_NORMAL), P(&dest), P(&mask), 0));
  EXPECT_EQ(node->GetContentBounds(RG_CONTENT_BOUNDS_TYPE0), k30);
}

TEST_F(CompositeCullingTest, OpaqueMaskEitherHidesTheSourceOrIsDropped) {
  // Only the low 32 bits of the mask mode count.
  struct Case {
    long maskMode;
    bool inverted;
  };
  const bool wide = sizeof(long) > 4;
  for (const Case& c : {Case{1, true}, Case{wide ? (1L << 32) | 1 : 1, true}, Case{0, false},
                        Case{wide ? 1L << 32 : 0, false}}) {
    SCOPED_TRACE(c.maskMode);
    Layer src(Rect(0, 0, 20, 20), 1, false), mask(Rect(-5, -5, 40, 40), 2, true);
    Layer dest(k30, 3, false);
    Result r = Comp(&src, Mode(PF_BLEND_NORMAL), &dest, &mask, c.maskMode);
    EXPECT_EQ(mask->renders, 0);
    ASSERT_TRUE(r.world);
    if (c.inverted) {
      // Hides the source wholly: only the destination is drawn.
      EXPECT_EQ(src->prerenders, 1);
      EXPECT_EQ(src->renders, 0);
      EXPECT_EQ(r.rect, k30);
    } else {
      // Lets everything through: the source is drawn unmasked.
      EXPECT_EQ(src->renders, 1);
    }
    EXPECT_EQ(dest->renders, 1);
  }
}

TEST_F(CompositeCullingTest, OpaqueSourceHidesTheDestination) {
  // Wholly: the destination is not even checked out.
  {
    Layer src(k30, 1, true), dest(k30, 2, false);
    Result r = Comp(&src, Mode(PF_BLEND_NORMAL), &dest, nullptr, 0);
    EXPECT_EQ(dest->prerenders, 0);
    ASSERT_TRUE(r.world);
    EXPECT_EQ(r.flags, 1);
  }
  // In part: over its full height the source covers the left part, so the
  // destination is asked only for the strip to the right.
  for (bool destOpaque : {false, true}) {
    Layer src(Rect(-5, -5, 12, 40), 1, true), dest(k30, 2, destOpaque);
    Result r = Comp(&src, Mode(PF_BLEND_NORMAL), &dest, nullptr, 0);
    EXPECT_EQ(dest->last_request.rect, Rect(12, 0, 30, 30));
    ASSERT_TRUE(r.world);
    EXPECT_EQ(r.rect, k30);
    // Opaque everywhere only when the destination strip is opaque too.
    EXPECT_EQ(r.flags, destOpaque ? 1 : 0);
  }
  // Placed by a transform at quality 1 the source is fetched a pixel beyond
  // the request, so its placed pixel centres reach past the request's top
  // and bottom rows: only the strip left of the placed source remains, and
  // a request wholly inside it never reaches the destination.
  Layer src(Rect(0, -5, 10, 40), 1, true), dest(k30, 2, false);
  Xform(Translation(5, 0), 1, Mode(PF_BLEND_NORMAL), &src, &dest, Rect(0, 0, 12, 30));
  EXPECT_EQ(dest->prerenders, 1);
  EXPECT_EQ(dest->last_request.rect, Rect(0, 0, 6, 30));
  Result inside =
      Xform(Translation(5, 0), 1, Mode(PF_BLEND_NORMAL), &src, &dest, Rect(6, 0, 12, 30));
  EXPECT_EQ(dest->prerenders, 1);
  ASSERT_TRUE(inside.world);
  EXPECT_EQ(inside.rect, Rect(6, 0, 12, 30));
}

TEST_F(CompositeCullingTest, NothingToDrawIntoDrawsNothing) {
  // Stencils without overlap with the destination.
  for (int32_t transfer_mode : {PF_BLEND_STENCIL_ALPHA, PF_BLEND_STENCIL_LUMA}) {
    SCOPED_TRACE(transfer_mode);
    Layer src(Rect(50, 0, 60, 10), 1, false), dest(k30, 2, false);
    Result r = Comp(&src, Mode(transfer_mode), &dest, nullptr, 0, Rect(0, 0, 60, 30));
    EXPECT_FALSE(r.world);
    EXPECT_EQ(r.rect, Rect(0, 0, 0, 0));
    EXPECT_EQ(src->renders + dest->renders, 0);
    // The source is asked for the content its type-1 bounds cover.
    EXPECT_EQ(src->last_request.flags & RG_REQUEST_CONTENT_BOUNDS_TYPE1, 1);
  }
  Layer plainSrc(Rect(50, 0, 60, 10), 1, false);
  Comp(&plainSrc, Mode(PF_BLEND_NORMAL), nullptr, nullptr, 0, Rect(0, 0, 60, 30));
  EXPECT_EQ(plainSrc->last_request.flags & RG_REQUEST_CONTENT_BOUNDS_TYPE1, 0);

  // Destination-bound without a destination, or with one outside the request.
  PF_CompositeModePlus bound = Mode(PF_BLEND_NORMAL);
  bound.dest_bound = 1;
  Layer src(Rect(0, 0, 20, 20), 1, false), far(Rect(100, 100, 110, 110), 2, false);
  EXPECT_FALSE(Comp(&src, bound, nullptr, nullptr, 0).world);
  EXPECT_FALSE(Comp(&src, bound, &far, nullptr, 0).world);
  EXPECT_EQ(src->renders + far->renders, 0);
}

TEST_F(CompositeCullingTest, PlainCopyHandsOnTheSourceBuffer) {
  // A source writing a pattern into a buffer of the library's own.
  const PF_World* written = nullptr;
  auto* pattern = new TestLambdaNode(
      {},
      [](RG_NodePreRenderCB* cb, const RG_RenderRequest& r) -> RG_NodeData* {
        cb->RequestOutput(M_Intersect(r.rect, Rect(0, 0, 20, 20)), 0, 0);
        return nullptr;
      },
      [&](RG_NodeRenderCB* cb, const RG_RenderRequest&, const RG_NodeData*) {
        PF_World* w = cb->GetNextCheckout()->GetOutputWorld();
        TestFillPattern(w);
        written = w;
      });
  pattern->SetTestContentBounds(Rect(0, 0, 20, 20), Rect(0, 0, 20, 20));
  U_SharedPtr<RG_RenderNode> src(pattern);
  const M_Matrix3 nearlyIdentity = Translation(1e-13, 0);
  U_SharedPtr<RG_RenderNode> composite(
      new RG_CompositeNode(src.get(), Mode(PF_BLEND_NORMAL), nullptr, nullptr, 0));
  U_SharedPtr<RG_RenderNode> xform(new RG_XformNode(&nearlyIdentity, 1, Mode(PF_BLEND_NORMAL), 1,
                                                    src.get(), nullptr, nullptr, 0));
  for (const RG_RenderNode* root : {composite.get(), xform.get()}) {
    PF_ResetWorldStats();
    Result r = ExecuteGraph(root, Rect(-10, -10, 15, 30));
    ASSERT_TRUE(r.world);
    // The very buffer the source wrote, untouched.
    EXPECT_EQ(r.world.get(), written);
    EXPECT_EQ(r.rect, Rect(0, 0, 15, 20));
    EXPECT_EQ(PF_GetWorldStats().pixel_bytes_copied, 0);
  }

  // Half opacity needs a composite into a buffer of the node's own.
  U_SharedPtr<RG_RenderNode> faded(
      new RG_CompositeNode(src.get(), Mode(PF_BLEND_NORMAL, 0.5f), nullptr, nullptr, 0));
  Result f = ExecuteGraph(faded.get(), Rect(0, 0, 20, 20));
  ASSERT_TRUE(f.world);
  EXPECT_NE(f.world.get(), written);
  EXPECT_NEAR(TestPixel(f.world.get(), 3, 4).alpha, 127.5, 1);
}

TEST_F(CompositeCullingTest, OpaqueFlag) {
  struct Case {
    int32_t transfer_mode;
    float opacity;
    M_LRect src;
    bool srcOpaque;
    bool dest;  // an opaque destination over (0, 0, 30, 30)
    char flags;
  };
  const M_LRect inner = Rect(5, 5, 15, 15), whole = Rect(0, 0, 20, 20);
  for (const Case& c : {// A translucent source inside an opaque destination: opaque,
                        // except in the stencil and silhouette modes, which can cut holes.
                        Case{PF_BLEND_NORMAL, 1, inner, false, true, 1},
                        Case{PF_BLEND_SCREEN, 1, inner, false, true, 1},
                        Case{PF_BLEND_STENCIL_ALPHA, 1, inner, false, true, 0},
                        Case{PF_BLEND_STENCIL_LUMA, 1, inner, false, true, 0},
                        Case{PF_BLEND_SILHOUETTE_ALPHA, 1, inner, false, true, 0},
                        Case{PF_BLEND_SILHOUETTE_LUMA, 1, inner, false, true, 0},
                        // An opaque silhouette obscures, yet the result is not opaque.
                        Case{PF_BLEND_SILHOUETTE_ALPHA, 1, inner, true, true, 0},
                        // Silhouettes at opacity 0: no source, the opaque destination stays.
                        Case{PF_BLEND_SILHOUETTE_ALPHA, 0, inner, false, true, 1},
                        Case{PF_BLEND_SILHOUETTE_LUMA, 0, inner, false, true, 1},
                        // Sticking out of the opaque destination leaves translucent area.
                        Case{PF_BLEND_NORMAL, 1, Rect(20, 5, 40, 15), false, true, 0},
                        // No destination: the source decides.
                        Case{PF_BLEND_NORMAL, 1, whole, true, false, 1},
                        Case{PF_BLEND_NORMAL, 1, whole, false, false, 0},
                        Case{PF_BLEND_NORMAL, 0.5f, whole, true, false, 0},
                        Case{PF_BLEND_DISSOLVE, 1, whole, true, false, 1},
                        Case{PF_BLEND_SCREEN, 1, whole, true, false, 1},
                        Case{PF_BLEND_SILHOUETTE_ALPHA, 1, whole, true, false, 0}}) {
    SCOPED_TRACE(testing::Message() << c.transfer_mode << " opacity " << c.opacity << " src "
                                    << c.src.left << " opaque " << c.srcOpaque);
    Layer src(c.src, 1, c.srcOpaque), dest(k30, 2, true);
    Result r = Comp(&src, Mode(c.transfer_mode, c.opacity), c.dest ? &dest : nullptr, nullptr, 0,
                    Rect(0, 0, 40, 30));
    ASSERT_TRUE(r.world);
    EXPECT_EQ(r.flags, c.flags);
  }
  // A placement that tilts the opaque source cannot cover its bounding box;
  // a whole-pixel shift can.
  M_Matrix3 tilt = Translation(30, 0);
  tilt[0] = tilt[4] = std::cos(0.5);
  tilt[1] = std::sin(0.5);
  tilt[3] = -std::sin(0.5);
  Layer src(Rect(0, 0, 20, 20), 1, true);
  EXPECT_EQ(Xform(tilt, 0, Mode(PF_BLEND_DISSOLVE), &src, nullptr, Rect(-50, -50, 100, 100)).flags,
            0);
  EXPECT_EQ(
      Xform(Translation(3, 4), 0, Mode(PF_BLEND_DISSOLVE), &src, nullptr, Rect(-50, -50, 100, 100))
          .flags,
      1);
}

TEST_F(CompositeCullingTest, TransformAsksTheSourceForWhatReachesTheRequest) {
  Layer src(Rect(0, 0, 20, 20), 1, false);
  const M_Matrix3 m = Translation(2.5, 1.5);
  const M_LRect request = Rect(-10, -10, 50, 50);
  M_Matrix3 inverse = m;
  ASSERT_FALSE(inverse.InvertQuiet());
  const M_LRect need = M_TransformBounds(inverse, request);
  const M_LRect placed = M_TransformBounds(m, Rect(0, 0, 20, 20));
  for (int32_t g : {0, 1}) {
    U_SharedPtr<RG_RenderNode> node(
        new RG_XformNode(&m, 1, Mode(PF_BLEND_NORMAL), g, P(&src), nullptr, nullptr, 0));
    RG_Traverser t(node.get());
    const RG_CompositeNode_Data* data = PreRender(&t, node.get(), request);
    ASSERT_TRUE(data);
    // Quality 1 grows both by the bilinear footprint.
    EXPECT_EQ(data->visibleSrcRect,
              Rect(placed.left - g, placed.top - g, placed.right + g, placed.bottom + g));
    EXPECT_EQ(src->last_request.rect,
              Rect(need.left - g, need.top - g, need.right + g, need.bottom + g));
  }

  // Within 1e-12 of identity: the request goes through untouched, field
  // included.
  const M_Matrix3 nearly = Translation(0, 1e-13);
  U_SharedPtr<RG_RenderNode> same(
      new RG_XformNode(&nearly, 1, Mode(PF_BLEND_NORMAL), 1, P(&src), nullptr, nullptr, 0));
  RG_Traverser t(same.get());
  PreRender(&t, same.get(), Rect(2, 3, 12, 13), 1);
  EXPECT_EQ(src->last_request.rect, Rect(2, 3, 12, 13));
  EXPECT_EQ(src->last_request.field, 1);
}

TEST_F(CompositeCullingTest, WholeRowShiftAsksTheSourceForTheMatchingField) {
  Layer src(Rect(0, 0, 20, 20), 1, false);
  struct Case {
    double ty;
    long quality, field;
    int32_t expected;
  };
  for (const Case& c : {Case{3.0, 0, 1, 2}, Case{4.0, 0, 1, 1}, Case{2.03, 0, 1, 1},
                        Case{2.03, 1, 1, 0}, Case{2.5, 0, 2, 0}, Case{40000.0, 0, 1, 0}}) {
    const M_Matrix3 m = Translation(1, c.ty);
    U_SharedPtr<RG_RenderNode> node(
        new RG_XformNode(&m, 1, Mode(PF_BLEND_NORMAL), c.quality, P(&src), nullptr, nullptr, 0));
    RG_Traverser t(node.get());
    PreRender(&t, node.get(), k30, c.field);
    EXPECT_EQ(src->last_request.field, c.expected) << c.ty << " q" << c.quality;
  }
}
