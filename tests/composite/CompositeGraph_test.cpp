// A whole layer stack rendered through the graph matches the same layers
// composited by direct host calls, at each depth (the random-graph suite
// checks many more shapes); and failing host calls leave nothing behind.
#include <gtest/gtest.h>

#include <cmath>

#include "composite/CompositeTestNodes.h"
#include "rg/RG_CompositeNode.h"
#include "rg/RG_Traverser.h"
#include "rg/RG_XformNode.h"
#include "rghost/PF_Transfer.h"
#include "rghost/U_Errors.h"
#include "rghost/U_Memory.h"
#include "rghost/U_Services.h"
#include "support/LeakCheck.h"

using composite_test::Mode;
using composite_test::ProbeNode;
using composite_test::Rect;
using composite_test::SamePixels;
using composite_test::Translation;
using composite_test::WorldPtr;

namespace {

const M_LRect kCanvas = Rect(0, 0, 64, 48);

// One unit of the depth's integer steps (bilinear weights may round either
// way when the graph's working matrices differ in the last bit).
double Tolerance(short depth) {
  switch (depth) {
    case 8:
      return 1.001 / 255;
    case 16:
      return 1.001 / 65535;
    default:
      return 1e-5;
  }
}

M_Matrix3 Rotation(double radians, double tx, double ty) {
  M_Matrix3 m;
  m[0] = m[4] = std::cos(radians);
  m[1] = std::sin(radians);
  m[3] = -std::sin(radians);
  m[6] = tx;
  m[7] = ty;
  return m;
}

PF_MaskWorld MaskRecord(const PF_World& mask, int32_t kind, const M_LRect& out) {
  PF_MaskWorld record;
  mask.FillOutEffectWorld(&record.mask);
  const M_LRect r = mask.GetRect();
  record.offset_x = r.left - out.left;
  record.offset_y = r.top - out.top;
  record.kind = kind;
  return record;
}

// Renders root over `request` into a world of its own, cleared where the
// result does not reach.
WorldPtr RenderInto(const RG_RenderNode* root, const M_LRect& request, short depth) {
  RG_RenderRequest r;
  r.rect = request;
  r.bit_depth = depth;
  WorldPtr out(PF_World::New(request, depth, 1));
  M_LRect outRect;
  RG_ExecuteGraph(root, r, request, out.get(), &outRect);
  return out;
}

// The layers of the stack, one world each, at one depth.
struct Stack {
  explicit Stack(short depth)
      : background(composite_test::PatternWorld(kCanvas, depth, 1, true)),
        layer1(composite_test::PatternWorld(Rect(10, 6, 40, 26), depth, 2, false)),
        mask1(composite_test::PatternWorld(Rect(5, 5, 45, 35), depth, 3, false)),
        layer2(composite_test::PatternWorld(Rect(0, 0, 24, 16), depth, 4, false)),
        layer3(composite_test::PatternWorld(Rect(0, 0, 20, 20), depth, 5, false)),
        mask3(composite_test::PatternWorld(Rect(20, 10, 36, 26), depth, 6, false)) {}

  WorldPtr background, layer1, mask1, layer2, layer3, mask3;
  const PF_CompositeModePlus mode1 = Mode(PF_BLEND_NORMAL, 0.8f);
  const PF_CompositeModePlus mode2 = Mode(PF_BLEND_SCREEN, 1.0f);
  const PF_CompositeModePlus mode3 = Mode(PF_BLEND_NORMAL, 0.6f);
  const M_Matrix3 m2 = Rotation(0.5236, 32.25, 4.5);
  const M_Matrix3 m3[2] = {Translation(3, -2), Translation(5, 2)};
};

}  // namespace

class CompositeGraphTest : public LeakCheckTest, public ::testing::WithParamInterface<short> {};

TEST_P(CompositeGraphTest, LayerStackMatchesDirectCompositing) {
  const short depth = GetParam();
  Stack s(depth);

  // background <- layer1 through mask1 <- rotated layer2 (bilinear) <-
  // layer3 at two positions through the inverted mask3.
  U_SharedPtr<RG_RenderNode> bg(new ProbeNode(s.background.get(), true));
  U_SharedPtr<RG_RenderNode> l1(new ProbeNode(s.layer1.get(), false));
  U_SharedPtr<RG_RenderNode> k1(new ProbeNode(s.mask1.get(), false));
  U_SharedPtr<RG_RenderNode> l2(new ProbeNode(s.layer2.get(), false));
  U_SharedPtr<RG_RenderNode> l3(new ProbeNode(s.layer3.get(), false));
  U_SharedPtr<RG_RenderNode> k3(new ProbeNode(s.mask3.get(), false));
  U_SharedPtr<RG_RenderNode> c1(new RG_CompositeNode(l1.get(), s.mode1, bg.get(), k1.get(), 0));
  U_SharedPtr<RG_RenderNode> x2(
      new RG_XformNode(&s.m2, 1, s.mode2, 1, l2.get(), c1.get(), nullptr, 0));
  U_SharedPtr<RG_RenderNode> x3(
      new RG_XformNode(s.m3, 2, s.mode3, 0, l3.get(), x2.get(), k3.get(), 1));

  WorldPtr expected(PF_World::New(kCanvas, depth, 1));
  expected->CopyPixels(s.background.get(), nullptr, 0, 0);
  const M_LRect whole1 = Rect(0, 0, s.layer1->width, s.layer1->height);
  PF_MaskWorld mask1 = MaskRecord(*s.mask1, PF_MASK_ALPHA, kCanvas);
  ASSERT_EQ(PF_TransferRect(nullptr, 1, 1, 0, &whole1, s.layer1.get(), &s.mode1, s.mode1.mode_ext,
                            &mask1, 10, 6, expected.get()),
            0);
  ASSERT_EQ(PF_TransformWorld(nullptr, 1, 1, 0, s.layer2.get(), &s.mode2, s.mode2.mode_ext, nullptr,
                              &s.m2, 1, true, &kCanvas, expected.get()),
            0);
  PF_MaskWorld mask3 = MaskRecord(*s.mask3, PF_MASK_INVERTED_ALPHA, kCanvas);
  ASSERT_EQ(PF_TransformWorld(nullptr, 0, 1, 0, s.layer3.get(), &s.mode3, s.mode3.mode_ext, &mask3,
                              s.m3, 2, true, &kCanvas, expected.get()),
            0);

  // The whole canvas, and a part of it whose buffers start off the origin.
  for (const M_LRect& request : {kCanvas, Rect(6, 5, 58, 40)}) {
    WorldPtr actual = RenderInto(x3.get(), request, depth);
    EXPECT_TRUE(SamePixels(*actual, *expected, Tolerance(depth)))
        << "request " << request.left << "," << request.top;
  }
}

INSTANTIATE_TEST_SUITE_P(Depths, CompositeGraphTest, ::testing::Values(8, 16, 32));

class CompositeFailureTest : public LeakCheckTest {};

// Every fallible host call of a transform stack failing in turn: each run
// either completes or throws, and none leaves a buffer, an object or an
// accounted matrix array behind.
TEST_F(CompositeFailureTest, FailuresAnywhereLeaveNothingBehind) {
  Stack s(8);
  const long long accounted = U_AccountedBytes();
  const long worlds = PF_GetWorldStats().live_worlds;  // the stack's own
  int completed = 0;
  long failures = 0;
  for (long n = 0; n < 400 && completed == 0; ++n) {
    U_InjectFailure(n, U_ERR_INJECTED);
    try {
      U_SharedPtr<RG_RenderNode> bg(new ProbeNode(s.background.get(), true));
      U_SharedPtr<RG_RenderNode> l3(new ProbeNode(s.layer3.get(), false));
      U_SharedPtr<RG_RenderNode> k3(new ProbeNode(s.mask3.get(), false));
      U_SharedPtr<RG_RenderNode> x3(
          new RG_XformNode(s.m3, 2, s.mode3, 0, l3.get(), bg.get(), k3.get(), 1));
      WorldPtr out = RenderInto(x3.get(), kCanvas, 8);
      ++completed;
    } catch (long) {
      ++failures;
    } catch (const std::bad_alloc&) {
      ++failures;
    }
    U_ClearInjectedFailure();
    EXPECT_EQ(U_AccountedBytes(), accounted) << "after failing call " << n;
    EXPECT_EQ(PF_GetWorldStats().live_worlds, worlds) << "after failing call " << n;
  }
  EXPECT_EQ(completed, 1);
  EXPECT_GT(failures, 5);
}
