// What a composite node asks of its inputs, watched through the passes its
// input nodes see, and the opaque flag it declares.

#include <optional>

#include "rg/RG_CompositeNode.h"
#include "rg/RG_XformNode.h"
#include "support/LeakCheck.h"
#include "support/ProofNodes.h"
#include "support/TestNodes.h"

constexpr auto Rect = TestRect;

namespace {

const M_LRect k30 = Rect(0, 0, 30, 30), kNone = Rect(0, 0, 0, 0);

// A probe over its own pattern world; the test keeps the node alive.
struct Layer {
  Layer(const M_LRect& rect, int seed, bool opaque)
      : world(ProofMakeSourceWorld(rect, 8, seed, opaque)),
        node(new ProofSourceNode(world.get(), opaque)) {}
  ProofSourceNode* operator->() const { return node.get(); }
  ProofWorldPtr world;  // declared first: the node borrows it
  U_SharedPtr<ProofSourceNode> node;
};
struct LayerShape {
  M_LRect rect;
  bool opaque;
};
std::optional<Layer> Make(const std::optional<LayerShape>& s, int seed) {
  if (!s) return std::nullopt;
  return std::optional<Layer>(std::in_place, s->rect, seed, s->opaque);
}
ProofSourceNode* P(const std::optional<Layer>& l) { return l ? l->node.get() : nullptr; }
PF_CompositeModePlus Bound(int32_t m) {
  PF_CompositeModePlus mode = ProofMode(m);
  mode.dest_bound = 1;
  return mode;
}

const bool kWide = sizeof(long) > 4;

// One composite of the given layers (absent when not given), what it must
// ask of each, what it returns (no buffer: an empty rect), with which flags
// (-1: not checked), and what the destination is asked for.
struct Row {
  const char* what;
  std::optional<LayerShape> src, dest, mask;
  long maskMode;
  PF_CompositeModePlus mode;
  M_LRect request;
  const char* counts;
  M_LRect rect;
  int flags;
  std::optional<M_LRect> destAsked;
};

class CompositeCullingTest : public LeakCheckTest {};

TEST_F(CompositeCullingTest, InputsThatCannotShowMustNotBeCheckedOutOrRendered) {
  const LayerShape src20{Rect(0, 0, 20, 20), false}, seen{k30, false}, opaqueDest{k30, true};
  const LayerShape opaque{k30, true}, big{Rect(-5, -5, 40, 40), true};
  const LayerShape left{Rect(-5, -5, 12, 40), true}, beside{Rect(50, 0, 60, 10), false};
  const PF_CompositeModePlus normal = ProofMode(PF_BLEND_NORMAL), bound = Bound(PF_BLEND_NORMAL);
  const M_LRect right = Rect(12, 0, 30, 30), wide = Rect(0, 0, 60, 30);
  constexpr auto no = std::nullopt;
  // Counts: pre-renders and renders of source, destination and mask.
  const Row cases[] = {
      {"opacity 0", src20, opaqueDest, src20, 0, ProofMode(PF_BLEND_NORMAL, 0), k30, "001100", k30,
       1, k30},
      {"opacity 0 without destination", src20, no, src20, 0, ProofMode(PF_BLEND_NORMAL, 0), k30,
       "000000", kNone, -1, no},
      {"mask misses the request", src20, seen, LayerShape{Rect(50, 50, 60, 60), false}, 0, normal,
       k30, "001110", k30, 0, k30},
      {"no source: no mask", no, seen, src20, 0, normal, k30, "001110", k30, 0, k30},
      {"opaque inverted mask hides the source", src20, seen, big, 1, normal, k30, "101110", k30, 0,
       k30},
      {"only the low 32 bits of the mask mode count", src20, seen, big, kWide ? (1L << 32) | 1 : 1,
       normal, k30, "101110", k30, 0, k30},
      {"an opaque luma mask can hide part of an opaque source", opaque, seen, big, 2, normal, k30,
       "111111", k30, 0, k30},
      {"opaque mask lets all through", src20, seen, big, 0, normal, k30, "111110", k30, 0, k30},
      {"high bits of an alpha mask mode", src20, seen, big, kWide ? 1L << 32 : 0, normal, k30,
       "111110", k30, 0, k30},
      {"an opaque dissolving source hides the destination", opaque, seen, no, 0,
       ProofMode(PF_BLEND_DISSOLVE), k30, "110000", k30, 1, no},
      {"a mode that cannot hide reads the destination", opaque, seen, no, 0,
       ProofMode(PF_BLEND_SCREEN), k30, "111100", k30, -1, k30},
      {"a source bound to its destination reads it", opaque, seen, no, 0, bound, k30, "111100", k30,
       -1, k30},
      {"opaque source covers the left part", left, seen, no, 0, normal, k30, "111100", k30, 0,
       right},
      {"... of an opaque destination", left, opaqueDest, no, 0, normal, k30, "111100", k30, 1,
       right},
      {"a stencil can cut holes into an opaque destination", src20, opaqueDest, no, 0,
       ProofMode(PF_BLEND_STENCIL_ALPHA), k30, "111100", k30, 0, k30},
      {"stencil alpha beside the destination", beside, seen, no, 0,
       ProofMode(PF_BLEND_STENCIL_ALPHA), wide, "101000", kNone, -1, wide},
      {"bound without destination", src20, no, no, 0, bound, k30, "100000", kNone, -1, no},
      {"bound to a destination outside", src20, LayerShape{Rect(100, 100, 110, 110), false}, no, 0,
       bound, k30, "101000", kNone, -1, k30},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::optional<Layer> src = Make(c.src, 1), dest = Make(c.dest, 2), mask = Make(c.mask, 3);
    U_SharedPtr<RG_RenderNode> node(
        new RG_CompositeNode(P(src), c.mode, P(dest), P(mask), c.maskMode));
    const TestOutcome r = TestRun(node.get(), c.request);
    const std::optional<Layer>* layers[] = {&src, &dest, &mask};
    for (int i = 0; i < 3; ++i) {
      const std::optional<Layer>& l = *layers[i];
      EXPECT_EQ(l ? l.value()->prerenders : 0, c.counts[2 * i] - '0') << "pre-renders of " << i;
      EXPECT_EQ(l ? l.value()->renders : 0, c.counts[2 * i + 1] - '0') << "renders of " << i;
    }
    EXPECT_EQ(r.world != nullptr, !M_IsEmpty(c.rect));
    EXPECT_EQ(r.rect, c.rect);
    EXPECT_EQ(c.flags < 0 ? c.flags : r.flags, c.flags);
    EXPECT_EQ(c.destAsked ? dest.value()->last_request.rect : kNone, c.destAsked.value_or(kNone));
    // The stencils ask their source for the content its type-1 bounds cover.
    const bool stencil = c.mode.transfer_mode == PF_BLEND_STENCIL_ALPHA ||
                         c.mode.transfer_mode == PF_BLEND_STENCIL_LUMA;
    if (src && src.value()->prerenders) {
      EXPECT_EQ(src.value()->last_request.flags & RG_REQUEST_CONTENT_BOUNDS_TYPE1, stencil);
    }
  }
  // Bounds: the source cut by the mask, united with the destination; each
  // input read from its own slot. Without a source, the destination's.
  Layer src(Rect(0, 0, 20, 20), 1, false), dest(Rect(50, 50, 60, 60), 2, false),
      mask(Rect(10, 10, 30, 30), 3, false);
  U_SharedPtr<RG_RenderNode> all(new RG_CompositeNode(src.node.get(), ProofMode(PF_BLEND_NORMAL),
                                                      dest.node.get(), mask.node.get(), 0));
  EXPECT_EQ(all->GetContentBounds(RG_CONTENT_BOUNDS_TYPE0), Rect(10, 10, 60, 60));
  U_SharedPtr<RG_RenderNode> node(new RG_CompositeNode(nullptr, ProofMode(PF_BLEND_NORMAL),
                                                       dest.node.get(), mask.node.get(), 0));
  EXPECT_EQ(node->GetContentBounds(RG_CONTENT_BOUNDS_TYPE0), Rect(50, 50, 60, 60));
  // A source, a destination or a mask whose bounds differ by type makes the
  // composite's differ too: asked for type 0 first, it must not serve that
  // for type 1.
  auto* cropped = new TestLambdaNode({}, nullptr, nullptr);
  cropped->SetTestContentBounds(Rect(0, 0, 20, 20), Rect(5, 5, 10, 10));
  U_SharedPtr<RG_RenderNode> crop(cropped),
      over(new RG_CompositeNode(crop.get(), ProofMode(PF_BLEND_NORMAL), dest.node.get(), nullptr,
                                0)),
      under(new RG_CompositeNode(dest.node.get(), ProofMode(PF_BLEND_NORMAL), crop.get(), nullptr,
                                 0)),
      masked(
          new RG_CompositeNode(src.node.get(), ProofMode(PF_BLEND_NORMAL), nullptr, crop.get(), 0));
  for (const auto& [n, type1] :
       {std::pair(over.get(), Rect(5, 5, 60, 60)), std::pair(under.get(), Rect(5, 5, 60, 60)),
        std::pair(masked.get(), Rect(5, 5, 10, 10))}) {
    n->GetContentBounds(RG_CONTENT_BOUNDS_TYPE0);
    EXPECT_EQ(n->GetContentBounds(RG_CONTENT_BOUNDS_TYPE1), type1);
  }
}

// Pre-renders `node` over its probe source and returns the node's data.
const RG_CompositeNode_Data* PreRender(RG_Traverser* t, const RG_RenderNode* node,
                                       const M_LRect& rect, long field = 0) {
  t->PreRenderGraph(TestRequest(rect, 8, 0, static_cast<int32_t>(field)));
  return static_cast<const RG_CompositeNode_Data*>(t->GetNodeData(node));
}

TEST_F(CompositeCullingTest, TransformMustAskTheSourceForWhatReachesTheRequestAndItsField) {
  Layer src(Rect(0, 0, 20, 20), 1, false);
  const M_Matrix3 m = ProofShift(2.5, 1.5);
  const M_LRect request = Rect(-10, -10, 50, 50);
  M_Matrix3 inverse = m;
  ASSERT_FALSE(inverse.InvertQuiet());
  const M_LRect need = M_TransformBounds(inverse, request);
  const M_LRect placed = M_TransformBounds(m, Rect(0, 0, 20, 20));
  for (int32_t g : {0, 1}) {
    U_SharedPtr<RG_RenderNode> node(new RG_XformNode(&m, 1, ProofMode(PF_BLEND_NORMAL), g,
                                                     src.node.get(), nullptr, nullptr, 0));
    RG_Traverser t(node.get());
    const RG_CompositeNode_Data* data = PreRender(&t, node.get(), request);
    ASSERT_TRUE(data);
    // Quality 1 grows both by the bilinear footprint.
    EXPECT_EQ(data->visibleSrcRect, M_Grow(placed, g));
    EXPECT_EQ(src->last_request.rect, M_Grow(need, g));
    EXPECT_EQ(node->GetContentBounds(RG_CONTENT_BOUNDS_TYPE0), M_Grow(placed, g));
  }
  // The field rule (tested in full in XformGeometry) reaches the source, with
  // snapping only at quality 0; within 1e-12 of identity the request is
  // passed on untouched.
  const struct {
    double ty;
    long quality, field;
    int32_t expected;
    M_LRect request;
  } cases[] = {{3.0, 0, 1, 2, k30},
               {2.03, 0, 1, 1, k30},
               {2.03, 1, 1, 0, k30},
               {1e-13, 1, 1, 1, Rect(2, 3, 12, 13)}};
  for (const auto& c : cases) {
    const M_Matrix3 shift = ProofShift(c.ty == 1e-13 ? 0 : 1, c.ty);
    U_SharedPtr<RG_RenderNode> node(new RG_XformNode(
        &shift, 1, ProofMode(PF_BLEND_NORMAL), c.quality, src.node.get(), nullptr, nullptr, 0));
    RG_Traverser t(node.get());
    PreRender(&t, node.get(), c.request, c.field);
    EXPECT_EQ(src->last_request.field, c.expected) << c.ty << " q" << c.quality;
    if (c.ty == 1e-13) {
      EXPECT_EQ(src->last_request.rect, c.request);
    }
  }
  // A count its matrices cannot back is refused as the node is made.
  const auto make = [&](long count) {
    U_SharedPtr<RG_RenderNode>(
        new RG_XformNode(nullptr, count, {}, 0, src.node.get(), nullptr, nullptr, 0));
  };
  EXPECT_EQ(CatchCode([&] { make(-1); }) + CatchCode([&] { make(1); }), 2 * U_ERR_BAD_PARAMETER);
}

}  // namespace
