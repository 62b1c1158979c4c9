// What a composite node asks of its inputs, watched through the passes its
// input nodes see, and the opaque flag it declares.
#include <gtest/gtest.h>

#include "composite/CompositeTestNodes.h"
#include "rg/RG_CompositeNode.h"
#include "rg/RG_SourceBufferNode.h"
#include "rg/RG_Traverser.h"
#include "rg/RG_XformNode.h"
#include "rghost/PF_Transfer.h"
#include "support/LeakCheck.h"

using composite_test::ProbeNode;
using composite_test::Rect;
using composite_test::SamePixels;
using composite_test::Translation;
using composite_test::WorldPtr;

namespace {

struct Result {
  M_LRect rect;
  char flags = 0;
  WorldPtr world;
};

Result Execute(const RG_RenderNode* root, const M_LRect& rect, long field = 0) {
  RG_RenderRequest request;
  request.rect = rect;
  request.field = static_cast<int32_t>(field);
  request.bit_depth = 8;
  Result r;
  PF_World* world = nullptr;
  RG_ExecuteGraph(root, request, &r.rect, &r.flags, &world, nullptr);
  r.world.reset(world);
  return r;
}

PF_CompositeModePlus Mode(int32_t xfer, float opacity = 1.0f) {
  PF_CompositeModePlus m;
  m.xfer = xfer;
  m.opacity = opacity;
  return m;
}

// A probe over its own pattern world; the test keeps the node alive.
struct Layer {
  Layer(const M_LRect& rect, int seed, bool opaque)
      : world(composite_test::PatternWorld(rect, 8, seed, opaque)),
        node(new ProbeNode(world.get(), opaque)) {}
  ProbeNode* operator->() const { return node.get(); }
  ProbeNode* get() const { return node.get(); }
  WorldPtr world;  // declared first: the node borrows it
  U_SharedPtr<ProbeNode> node;
};

// The node's pre-render decisions for `rect`, without rendering.
template <class F>
void WithPreRender(const RG_RenderNode* root, const M_LRect& rect, long field, F&& check) {
  RG_RenderRequest request;
  request.rect = rect;
  request.field = static_cast<int32_t>(field);
  RG_Traverser traverser(root);
  traverser.PreRenderGraph(request);
  check(static_cast<const RG_CompositeNode_Data*>(traverser.GetNodeData(root)));
}

}  // namespace

class CompositeCullingTest : public LeakCheckTest {};

TEST_F(CompositeCullingTest, OpacityZeroChecksOutNeitherSourceNorMask) {
  Layer src(Rect(0, 0, 20, 20), 1, false);
  Layer mask(Rect(0, 0, 20, 20), 2, false);
  Layer dest(Rect(0, 0, 30, 30), 3, true);
  U_SharedPtr<RG_RenderNode> node(
      new RG_CompositeNode(src.get(), Mode(PF_Xfer_NORMAL, 0.0f), dest.get(), mask.get(), 0));
  Result r = Execute(node.get(), Rect(0, 0, 30, 30));
  EXPECT_EQ(src->prerenders, 0);
  EXPECT_EQ(mask->prerenders, 0);
  EXPECT_EQ(dest->renders, 1);
  ASSERT_TRUE(r.world);
  EXPECT_EQ(r.rect, Rect(0, 0, 30, 30));
  EXPECT_TRUE(SamePixels(*r.world, *dest.world, 0));
  EXPECT_EQ(r.flags, 1);  // the opaque destination alone

  // Without a destination there is nothing to show.
  U_SharedPtr<RG_RenderNode> lone(
      new RG_CompositeNode(src.get(), Mode(PF_Xfer_NORMAL, 0.0f), nullptr, mask.get(), 0));
  Result empty = Execute(lone.get(), Rect(0, 0, 30, 30));
  EXPECT_FALSE(empty.world);
  EXPECT_EQ(empty.rect, Rect(0, 0, 0, 0));
  EXPECT_EQ(src->prerenders, 0);
}

TEST_F(CompositeCullingTest, MaskMissingTheRequestDropsTheSource) {
  Layer src(Rect(0, 0, 20, 20), 1, false);
  Layer mask(Rect(50, 50, 60, 60), 2, false);
  Layer dest(Rect(0, 0, 30, 30), 3, false);
  U_SharedPtr<RG_RenderNode> node(
      new RG_CompositeNode(src.get(), Mode(PF_Xfer_NORMAL), dest.get(), mask.get(), 0));
  Result r = Execute(node.get(), Rect(0, 0, 30, 30));
  EXPECT_EQ(src->prerenders, 0);
  EXPECT_EQ(mask->prerenders, 1);
  EXPECT_EQ(mask->renders, 0);
  ASSERT_TRUE(r.world);
  EXPECT_TRUE(SamePixels(*r.world, *dest.world, 0));
}

TEST_F(CompositeCullingTest, OpaqueInvertedMaskOverTheSourceHidesIt) {
  Layer src(Rect(0, 0, 20, 20), 1, false);
  Layer mask(Rect(-5, -5, 40, 40), 2, true);
  Layer dest(Rect(0, 0, 30, 30), 3, false);
  U_SharedPtr<RG_RenderNode> node(
      new RG_CompositeNode(src.get(), Mode(PF_Xfer_NORMAL), dest.get(), mask.get(), 1));
  Result r = Execute(node.get(), Rect(0, 0, 30, 30));
  EXPECT_EQ(src->prerenders, 1);
  EXPECT_EQ(src->renders, 0);
  EXPECT_EQ(mask->renders, 0);
  EXPECT_EQ(dest->renders, 1);
  ASSERT_TRUE(r.world);
  EXPECT_EQ(r.rect, Rect(0, 0, 30, 30));
  EXPECT_TRUE(SamePixels(*r.world, *dest.world, 0));

  // The same mask in plain alpha mode lets everything through: it is
  // dropped and the source is drawn unmasked.
  Layer src2(Rect(0, 0, 20, 20), 1, false);
  Layer mask2(Rect(-5, -5, 40, 40), 2, true);
  U_SharedPtr<RG_RenderNode> plain(
      new RG_CompositeNode(src2.get(), Mode(PF_Xfer_NORMAL), nullptr, mask2.get(), 0));
  Result p = Execute(plain.get(), Rect(0, 0, 30, 30));
  EXPECT_EQ(mask2->renders, 0);
  EXPECT_EQ(src2->renders, 1);
}

TEST_F(CompositeCullingTest, MaskModeIsA32BitValue) {
  if constexpr (sizeof(long) > 4) {
    // Bits beyond the low 32 are not part of the mode: these act as the
    // inverted mode 1 and the plain mode 0.
    const long inverted = (1L << 32) | 1;
    const long plainAlpha = 1L << 32;
    Layer src(Rect(0, 0, 20, 20), 1, false);
    Layer mask(Rect(-5, -5, 40, 40), 2, true);
    Layer dest(Rect(0, 0, 30, 30), 3, false);
    U_SharedPtr<RG_RenderNode> hidden(
        new RG_CompositeNode(src.get(), Mode(PF_Xfer_NORMAL), dest.get(), mask.get(), inverted));
    Result r = Execute(hidden.get(), Rect(0, 0, 30, 30));
    EXPECT_EQ(src->renders, 0);
    EXPECT_EQ(mask->renders, 0);
    ASSERT_TRUE(r.world);
    EXPECT_TRUE(SamePixels(*r.world, *dest.world, 0));

    U_SharedPtr<RG_RenderNode> plain(
        new RG_CompositeNode(src.get(), Mode(PF_Xfer_NORMAL), nullptr, mask.get(), plainAlpha));
    Result p = Execute(plain.get(), Rect(0, 0, 30, 30));
    EXPECT_EQ(mask->renders, 0);  // an opaque plain mask lets everything through
    EXPECT_EQ(src->renders, 1);
  }
}

TEST_F(CompositeCullingTest, OpaqueSourceHidesTheDestination) {
  // Wholly: the destination is not even checked out.
  {
    Layer src(Rect(0, 0, 30, 30), 1, true);
    Layer dest(Rect(0, 0, 30, 30), 2, false);
    U_SharedPtr<RG_RenderNode> node(
        new RG_CompositeNode(src.get(), Mode(PF_Xfer_NORMAL), dest.get(), nullptr, 0));
    Result r = Execute(node.get(), Rect(0, 0, 30, 30));
    EXPECT_EQ(dest->prerenders, 0);
    ASSERT_TRUE(r.world);
    EXPECT_TRUE(SamePixels(*r.world, *src.world, 0));
    EXPECT_EQ(r.flags, 1);
  }
  // In part: over its full height the source covers the left part, so the
  // destination is asked only for the strip to the right.
  for (bool destOpaque : {false, true}) {
    Layer src(Rect(-5, -5, 12, 40), 1, true);
    Layer dest(Rect(0, 0, 30, 30), 2, destOpaque);
    U_SharedPtr<RG_RenderNode> node(
        new RG_CompositeNode(src.get(), Mode(PF_Xfer_NORMAL), dest.get(), nullptr, 0));
    Result r = Execute(node.get(), Rect(0, 0, 30, 30));
    EXPECT_EQ(dest->last_request.rect, Rect(12, 0, 30, 30));
    ASSERT_TRUE(r.world);
    EXPECT_EQ(r.rect, Rect(0, 0, 30, 30));
    WorldPtr left(PF_World::NewReference(r.world.get(), Rect(0, 0, 12, 30)));
    WorldPtr right(PF_World::NewReference(r.world.get(), Rect(12, 0, 30, 30)));
    EXPECT_TRUE(SamePixels(*left, *src.world, 0));
    EXPECT_TRUE(SamePixels(*right, *dest.world, 0));
    // Opaque everywhere only when the destination strip is opaque too.
    EXPECT_EQ(r.flags, destOpaque ? 1 : 0);
  }
}

TEST_F(CompositeCullingTest, TransformedOpaqueSourceHidesTheDestination) {
  const M_Matrix3 shift = Translation(5, 0);
  Layer src(Rect(0, -5, 10, 40), 1, true);
  // At quality 1 the source is fetched a pixel beyond the request, so its
  // placed pixel centres reach past the request's top and bottom rows: only
  // the strip left of the placed source remains.
  {
    Layer dest(Rect(0, 0, 30, 30), 2, false);
    U_SharedPtr<RG_RenderNode> node(new RG_XformNode(&shift, 1, Mode(PF_Xfer_NORMAL), 1,
                                                     src.get(), dest.get(), nullptr, 0));
    Result r = Execute(node.get(), Rect(0, 0, 12, 30));
    EXPECT_EQ(dest->prerenders, 1);
    EXPECT_EQ(dest->last_request.rect, Rect(0, 0, 6, 30));
  }
  // A request wholly inside the placed source never reaches the destination.
  {
    Layer dest(Rect(0, 0, 30, 30), 2, false);
    U_SharedPtr<RG_RenderNode> node(new RG_XformNode(&shift, 1, Mode(PF_Xfer_NORMAL), 1,
                                                     src.get(), dest.get(), nullptr, 0));
    Result r = Execute(node.get(), Rect(6, 0, 12, 30));
    EXPECT_EQ(dest->prerenders, 0);
    ASSERT_TRUE(r.world);
    EXPECT_EQ(r.rect, Rect(6, 0, 12, 30));
  }
}

TEST_F(CompositeCullingTest, StencilWithoutOverlapDrawsNothing) {
  for (int32_t xfer : {PF_Xfer_STENCIL_ALPHA, PF_Xfer_STENCIL_LUMA}) {
    Layer src(Rect(50, 0, 60, 10), 1, false);
    Layer dest(Rect(0, 0, 30, 30), 2, false);
    U_SharedPtr<RG_RenderNode> node(
        new RG_CompositeNode(src.get(), Mode(xfer), dest.get(), nullptr, 0));
    Result r = Execute(node.get(), Rect(0, 0, 60, 30));
    EXPECT_FALSE(r.world) << xfer;
    EXPECT_EQ(r.rect, Rect(0, 0, 0, 0));
    EXPECT_EQ(src->renders, 0);
    EXPECT_EQ(dest->renders, 0);
    // The source is asked for the content its type-1 bounds cover.
    EXPECT_EQ(src->last_request.flags & RG_REQUEST_CONTENT_BOUNDS_TYPE1, 1);
  }
  Layer plainSrc(Rect(50, 0, 60, 10), 1, false);
  U_SharedPtr<RG_RenderNode> plain(
      new RG_CompositeNode(plainSrc.get(), Mode(PF_Xfer_NORMAL), nullptr, nullptr, 0));
  Execute(plain.get(), Rect(0, 0, 60, 30));
  EXPECT_EQ(plainSrc->last_request.flags & RG_REQUEST_CONTENT_BOUNDS_TYPE1, 0);
}

TEST_F(CompositeCullingTest, DestinationBoundWithoutDestinationDrawsNothing) {
  PF_CompositeModePlus bound = Mode(PF_Xfer_NORMAL);
  bound.dest_bound = 1;
  Layer src(Rect(0, 0, 20, 20), 1, false);
  U_SharedPtr<RG_RenderNode> none(new RG_CompositeNode(src.get(), bound, nullptr, nullptr, 0));
  Result r = Execute(none.get(), Rect(0, 0, 30, 30));
  EXPECT_FALSE(r.world);
  EXPECT_EQ(src->renders, 0);

  // A destination that lies outside the request is no destination either.
  Layer far(Rect(100, 100, 110, 110), 2, false);
  U_SharedPtr<RG_RenderNode> missed(new RG_CompositeNode(src.get(), bound, far.get(), nullptr, 0));
  Result m = Execute(missed.get(), Rect(0, 0, 30, 30));
  EXPECT_FALSE(m.world);
  EXPECT_EQ(far->renders, 0);
}

TEST_F(CompositeCullingTest, PlainCopyHandsOnTheSourceBuffer) {
  WorldPtr pixels = composite_test::PatternWorld(Rect(0, 0, 20, 20), 8, 4, false);
  U_SharedPtr<ProbeNode> src(new ProbeNode(pixels.get(), false, true));
  const M_Matrix3 nearlyIdentity = Translation(1e-13, 0);
  U_SharedPtr<RG_RenderNode> composite(
      new RG_CompositeNode(src.get(), Mode(PF_Xfer_NORMAL), nullptr, nullptr, 0));
  U_SharedPtr<RG_RenderNode> xform(new RG_XformNode(&nearlyIdentity, 1, Mode(PF_Xfer_NORMAL), 1,
                                                    src.get(), nullptr, nullptr, 0));
  for (const RG_RenderNode* root : {composite.get(), xform.get()}) {
    PF_ResetWorldStats();
    Result r = Execute(root, Rect(-10, -10, 15, 30));
    ASSERT_TRUE(r.world);
    // The very buffer the source wrote, untouched.
    EXPECT_EQ(r.world.get(), src->rendered_world);
    EXPECT_EQ(r.rect, Rect(0, 0, 15, 20));
    EXPECT_EQ(PF_GetWorldStats().pixel_bytes_copied, 0);
    EXPECT_TRUE(SamePixels(*r.world, *pixels, 0));
  }

  // A source held under a buffer lock cannot be handed on for writing; the
  // result still holds the source's pixels.
  U_SharedPtr<RG_RenderNode> locked(new RG_SourceBufferNode(pixels.get()));
  U_SharedPtr<RG_RenderNode> overLocked(
      new RG_CompositeNode(locked.get(), Mode(PF_Xfer_NORMAL), nullptr, nullptr, 0));
  Result l = Execute(overLocked.get(), Rect(0, 0, 20, 20));
  ASSERT_TRUE(l.world);
  EXPECT_TRUE(SamePixels(*l.world, *pixels, 0));

  // Half opacity needs a composite into a buffer of the node's own.
  U_SharedPtr<RG_RenderNode> faded(
      new RG_CompositeNode(src.get(), Mode(PF_Xfer_NORMAL, 0.5f), nullptr, nullptr, 0));
  Result f = Execute(faded.get(), Rect(0, 0, 20, 20));
  ASSERT_TRUE(f.world);
  EXPECT_NE(f.world.get(), src->rendered_world);
  EXPECT_NEAR(composite_test::Channel(*f.world, 3, 4, 3),
              0.5 * composite_test::Channel(*pixels, 3, 4, 3), 1.0 / 255);
}

TEST_F(CompositeCullingTest, NullSourceShowsTheDestination) {
  Layer mask(Rect(0, 0, 20, 20), 2, false);
  Layer dest(Rect(0, 0, 30, 30), 3, false);
  U_SharedPtr<RG_RenderNode> node(
      new RG_CompositeNode(nullptr, Mode(PF_Xfer_NORMAL), dest.get(), mask.get(), 0));
  Result r = Execute(node.get(), Rect(0, 0, 30, 30));
  ASSERT_TRUE(r.world);
  EXPECT_TRUE(SamePixels(*r.world, *dest.world, 0));
  EXPECT_EQ(mask->renders, 0);
  EXPECT_EQ(node->GetContentBounds(RG_CONTENT_BOUNDS_TYPE0), Rect(0, 0, 30, 30));
}

TEST_F(CompositeCullingTest, OpaqueFlagOverOpaqueDestination) {
  // A translucent source inside an opaque destination: opaque, except in the
  // stencil and silhouette modes, which can cut holes into the destination.
  for (int32_t xfer : {PF_Xfer_NORMAL, PF_Xfer_SCREEN, PF_Xfer_STENCIL_ALPHA,
                       PF_Xfer_STENCIL_LUMA, PF_Xfer_SILHOUETTE_ALPHA, PF_Xfer_SILHOUETTE_LUMA}) {
    Layer src(Rect(5, 5, 15, 15), 1, false);
    Layer dest(Rect(0, 0, 30, 30), 2, true);
    U_SharedPtr<RG_RenderNode> node(
        new RG_CompositeNode(src.get(), Mode(xfer), dest.get(), nullptr, 0));
    Result r = Execute(node.get(), Rect(0, 0, 30, 30));
    ASSERT_TRUE(r.world) << xfer;
    const bool cutsHoles = xfer >= PF_Xfer_STENCIL_ALPHA && xfer <= PF_Xfer_SILHOUETTE_LUMA;
    EXPECT_EQ(r.flags, cutsHoles ? 0 : 1) << xfer;
  }
  // An opaque silhouette source at full strength obscures, yet the result is
  // not opaque.
  {
    Layer src(Rect(5, 5, 15, 15), 1, true);
    Layer dest(Rect(0, 0, 30, 30), 2, true);
    U_SharedPtr<RG_RenderNode> node(
        new RG_CompositeNode(src.get(), Mode(PF_Xfer_SILHOUETTE_ALPHA), dest.get(), nullptr, 0));
    EXPECT_EQ(Execute(node.get(), Rect(0, 0, 30, 30)).flags, 0);
  }
  // Silhouettes at opacity 0: no source, the opaque destination stays.
  for (int32_t xfer : {PF_Xfer_SILHOUETTE_ALPHA, PF_Xfer_SILHOUETTE_LUMA}) {
    Layer src(Rect(5, 5, 15, 15), 1, false);
    Layer dest(Rect(0, 0, 30, 30), 2, true);
    U_SharedPtr<RG_RenderNode> node(
        new RG_CompositeNode(src.get(), Mode(xfer, 0.0f), dest.get(), nullptr, 0));
    EXPECT_EQ(Execute(node.get(), Rect(0, 0, 30, 30)).flags, 1) << xfer;
  }
  // A source sticking out of the opaque destination leaves translucent area.
  {
    Layer src(Rect(20, 5, 40, 15), 1, false);
    Layer dest(Rect(0, 0, 30, 30), 2, true);
    U_SharedPtr<RG_RenderNode> node(
        new RG_CompositeNode(src.get(), Mode(PF_Xfer_NORMAL), dest.get(), nullptr, 0));
    Result r = Execute(node.get(), Rect(0, 0, 40, 30));
    EXPECT_EQ(r.rect, Rect(0, 0, 40, 30));
    EXPECT_EQ(r.flags, 0);
  }
}

TEST_F(CompositeCullingTest, OpaqueFlagWithoutDestination) {
  struct Case {
    int32_t xfer;
    float opacity;
    bool srcOpaque;
    char flags;
  };
  for (const Case& c : {Case{PF_Xfer_NORMAL, 1.0f, true, 1}, Case{PF_Xfer_NORMAL, 1.0f, false, 0},
                        Case{PF_Xfer_NORMAL, 0.5f, true, 0}, Case{PF_Xfer_DISSOLVE, 1.0f, true, 1},
                        Case{PF_Xfer_SCREEN, 1.0f, true, 1},
                        Case{PF_Xfer_SILHOUETTE_ALPHA, 1.0f, true, 0}}) {
    Layer src(Rect(0, 0, 20, 20), 1, c.srcOpaque);
    U_SharedPtr<RG_RenderNode> node(
        new RG_CompositeNode(src.get(), Mode(c.xfer, c.opacity), nullptr, nullptr, 0));
    Result r = Execute(node.get(), Rect(0, 0, 30, 30));
    ASSERT_TRUE(r.world);
    EXPECT_EQ(r.flags, c.flags) << c.xfer << " " << c.opacity << " " << c.srcOpaque;
  }
  // A placement that tilts the opaque source cannot cover its bounding box;
  // a whole-pixel shift can.
  M_Matrix3 tilt;
  tilt[0] = tilt[4] = std::cos(0.5);
  tilt[1] = std::sin(0.5);
  tilt[3] = -std::sin(0.5);
  tilt[6] = 30;
  const M_Matrix3 shift = Translation(3, 4);
  for (const M_Matrix3* m : {static_cast<const M_Matrix3*>(&tilt), &shift}) {
    Layer src(Rect(0, 0, 20, 20), 1, true);
    U_SharedPtr<RG_RenderNode> node(
        new RG_XformNode(m, 1, Mode(PF_Xfer_DISSOLVE), 0, src.get(), nullptr, nullptr, 0));
    Result r = Execute(node.get(), Rect(-50, -50, 100, 100));
    ASSERT_TRUE(r.world);
    EXPECT_EQ(r.flags, m == &shift ? 1 : 0);
  }
}

TEST_F(CompositeCullingTest, TransformAsksTheSourceForWhatReachesTheRequest) {
  Layer src(Rect(0, 0, 20, 20), 1, false);
  const M_Matrix3 m = Translation(2.5, 1.5);
  const M_LRect request = Rect(-10, -10, 50, 50);
  M_Matrix3 inverse = m;
  ASSERT_FALSE(inverse.InvertQuiet());
  const M_LRect need = M_TransformBounds(inverse, request);
  M_LRect visible[2];
  for (long quality : {0L, 1L}) {
    U_SharedPtr<RG_RenderNode> node(new RG_XformNode(&m, 1, Mode(PF_Xfer_NORMAL), quality,
                                                     src.get(), nullptr, nullptr, 0));
    WithPreRender(node.get(), request, 0, [&](const RG_CompositeNode_Data* data) {
      ASSERT_TRUE(data);
      visible[quality] = data->visibleSrcRect;
    });
    const int g = static_cast<int>(quality);
    EXPECT_EQ(src->last_request.rect,
              Rect(need.left - g, need.top - g, need.right + g, need.bottom + g));
  }
  EXPECT_EQ(visible[0], M_TransformBounds(m, Rect(0, 0, 20, 20)));
  EXPECT_EQ(visible[1], Rect(visible[0].left - 1, visible[0].top - 1, visible[0].right + 1,
                             visible[0].bottom + 1));

  // Within 1e-12 of identity: the request goes through untouched, field
  // included.
  const M_Matrix3 nearly = Translation(0, 1e-13);
  U_SharedPtr<RG_RenderNode> same(new RG_XformNode(&nearly, 1, Mode(PF_Xfer_NORMAL), 1,
                                                   src.get(), nullptr, nullptr, 0));
  WithPreRender(same.get(), Rect(2, 3, 12, 13), 1, [](const RG_CompositeNode_Data*) {});
  EXPECT_EQ(src->last_request.rect, Rect(2, 3, 12, 13));
  EXPECT_EQ(src->last_request.field, 1);
}

TEST_F(CompositeCullingTest, WholeRowShiftAsksTheSourceForTheMatchingField) {
  Layer src(Rect(0, 0, 20, 20), 1, false);
  struct Case {
    double ty;
    long quality;
    long field;
    int32_t expected;
  };
  for (const Case& c : {Case{3.0, 0, 1, 2}, Case{4.0, 0, 1, 1}, Case{2.03, 0, 1, 1},
                        Case{2.03, 1, 1, 0}, Case{2.5, 0, 2, 0}, Case{40000.0, 0, 1, 0}}) {
    const M_Matrix3 m = Translation(1, c.ty);
    U_SharedPtr<RG_RenderNode> node(new RG_XformNode(&m, 1, Mode(PF_Xfer_NORMAL), c.quality,
                                                     src.get(), nullptr, nullptr, 0));
    WithPreRender(node.get(), Rect(0, 0, 30, 30), c.field, [](const RG_CompositeNode_Data*) {});
    EXPECT_EQ(src->last_request.field, c.expected) << c.ty << " q" << c.quality;
  }
}
