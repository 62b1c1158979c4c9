// Geometry of the transform node: identity detection, fields for whole-row
// shifts, uncovered destination strips and coverage tests.
#include <gtest/gtest.h>

#include <cmath>

#include "composite/CompositeTestNodes.h"
#include "rg/RG_NullNode.h"
#include "rg/RG_XformNode.h"
#include "rghost/U_Errors.h"
#include "rghost/U_Memory.h"
#include "support/LeakCheck.h"

struct RGp_XformAccess {
  static long Field(const RG_XformNode& n, bool snap, long field) {
    return n.FieldForMatrices(snap, field);
  }
  static bool Identity(const RG_XformNode& n) { return n.SrcHasIdentityTransform(); }
  static M_LRect VisibleDest(const RG_XformNode& n, const M_LRect& src, const M_LRect& dest) {
    return n.VisibleDestRect(src, dest);
  }
  static bool Covered(const RG_XformNode& n, const M_LRect& src, const M_LRect& rect) {
    return n.RectCoveredBySrc(src, rect);
  }
  static M_LRect Forward(const RG_XformNode& n, const M_LRect& r) { return n.ForwardBounds(r); }
  static M_LRect Inverse(const RG_XformNode& n, const M_LRect& r) { return n.InverseBounds(r); }
};

using composite_test::Rect;
using composite_test::Translation;
using A = RGp_XformAccess;

namespace {

U_SharedPtr<RG_XformNode> MakeXform(std::initializer_list<M_Matrix3> matrices, long quality = 0,
                                    RG_RenderNode* source = nullptr) {
  const std::vector<M_Matrix3> list(matrices);
  return U_SharedPtr<RG_XformNode>(new RG_XformNode(list.data(), static_cast<long>(list.size()),
                                                    PF_CompositeModePlus{}, quality, source,
                                                    nullptr, nullptr, 0));
}

// x' = -y + 10, y' = x: a quarter turn (determinant +1).
M_Matrix3 QuarterTurn() {
  M_Matrix3 m;
  m[0] = 0;
  m[1] = 1;
  m[3] = -1;
  m[4] = 0;
  m[6] = 10;
  return m;
}

// x' = y, y' = x: a quarter turn with a mirror (determinant -1).
M_Matrix3 Transpose() {
  M_Matrix3 m;
  m[0] = 0;
  m[1] = 1;
  m[3] = 1;
  m[4] = 0;
  return m;
}

}  // namespace

class XformGeometryTest : public LeakCheckTest {};

TEST_F(XformGeometryTest, IdentityWithinEpsilonTakesIdentityPath) {
  M_Matrix3 nearly;
  nearly[6] = 5e-13;
  nearly[0] = 1 + 5e-13;
  EXPECT_TRUE(A::Identity(*MakeXform({nearly})));
  EXPECT_TRUE(A::Identity(*MakeXform({M_Matrix3{}, nearly})));
  M_Matrix3 off;
  off[7] = 1e-9;
  EXPECT_FALSE(A::Identity(*MakeXform({off})));
  EXPECT_FALSE(A::Identity(*MakeXform({nearly, off})));
}

TEST_F(XformGeometryTest, FieldFollowsWholeRowShifts) {
  EXPECT_EQ(A::Field(*MakeXform({Translation(0, 3.0)}), true, 1), 2);
  EXPECT_EQ(A::Field(*MakeXform({Translation(0, 4.0)}), true, 1), 1);
  EXPECT_EQ(A::Field(*MakeXform({Translation(0, -3.0)}), true, 2), 1);
  // The horizontal shift does not matter.
  EXPECT_EQ(A::Field(*MakeXform({Translation(17.3, 2.0)}), true, 2), 2);
  // Two shifts of different parity need both fields.
  EXPECT_EQ(A::Field(*MakeXform({Translation(0, 1.0), Translation(0, 2.0)}), true, 1), 0);
  EXPECT_EQ(A::Field(*MakeXform({Translation(0, 1.0), Translation(0, 3.0)}), true, 1), 2);
  // Field 0 stays 0; anything but a pure translation needs the whole frame.
  EXPECT_EQ(A::Field(*MakeXform({Translation(0, 3.0)}), true, 0), 0);
  M_Matrix3 scaled = Translation(0, 2.0);
  scaled[4] = 2.0;
  EXPECT_EQ(A::Field(*MakeXform({scaled}), true, 1), 0);
}

// Found by fuzzing: a request field that names no field made the parity
// bookkeeping shift by a negative or huge amount.
TEST_F(XformGeometryTest, FieldThatNamesNoFieldIsPassedOnUnchanged) {
  const auto odd = MakeXform({Translation(0, 3.0)});
  for (long field : {-16674802L, -1L, 3L, 64L, 2147483647L}) {
    EXPECT_EQ(A::Field(*odd, true, field), field) << field;
    EXPECT_EQ(A::Field(*odd, false, field), field) << field;
  }
}

TEST_F(XformGeometryTest, FieldSnapsNearWholeRowsOnlyWhenAsked) {
  const auto near = MakeXform({Translation(0, 2.03)});
  EXPECT_EQ(A::Field(*near, true, 1), 1);   // snapped to 2 rows
  EXPECT_EQ(A::Field(*near, false, 1), 0);  // quality 1 does not snap
  EXPECT_EQ(A::Field(*MakeXform({Translation(0, 2.97)}), true, 1), 2);  // snaps to 3
  // Within a sixteenth of a row of the half-row the shift stays fractional.
  EXPECT_EQ(A::Field(*MakeXform({Translation(0, 2.5)}), true, 1), 0);
  EXPECT_EQ(A::Field(*MakeXform({Translation(0, 2.44)}), true, 1), 0);
  EXPECT_EQ(A::Field(*MakeXform({Translation(0, 2.4)}), true, 1), 1);
  EXPECT_EQ(A::Field(*MakeXform({Translation(0, -2.03)}), true, 2), 2);
}

TEST_F(XformGeometryTest, FieldOfShiftsBeyondFixedPointRangeIsWholeFrame) {
  for (double ty : {32768.0, -32768.0, 40000.0, -1e12, 1e300}) {
    EXPECT_EQ(A::Field(*MakeXform({Translation(0, ty)}), true, 1), 0) << ty;
    EXPECT_EQ(A::Field(*MakeXform({Translation(0, ty)}), false, 2), 0) << ty;
  }
  EXPECT_EQ(A::Field(*MakeXform({Translation(0, std::nan(""))}), true, 1), 0);
  // Just inside the range the shift is still classified.
  EXPECT_EQ(A::Field(*MakeXform({Translation(0, 32767.0)}), false, 1), 2);
  EXPECT_EQ(A::Field(*MakeXform({Translation(0, -32767.0)}), true, 1), 2);
}

TEST_F(XformGeometryTest, TranslatedSourceLeavesStripUncovered) {
  const auto x = MakeXform({Translation(5, 0)});
  // The source spans the destination's height; left of x = 5.5 (the first
  // placed pixel centre) nothing is covered.
  EXPECT_EQ(A::VisibleDest(*x, Rect(0, -5, 10, 15), Rect(0, 0, 12, 10)), Rect(0, 0, 6, 10));
  // Uncovered on both sides: the whole destination comes back.
  EXPECT_EQ(A::VisibleDest(*x, Rect(0, -5, 10, 15), Rect(0, 0, 20, 10)), Rect(0, 0, 20, 10));
  // Wholly inside the placed source: nothing left to draw.
  EXPECT_EQ(A::VisibleDest(*x, Rect(0, -5, 10, 15), Rect(6, 0, 14, 10)), Rect(0, 0, 0, 0));
  // An empty destination is returned as it is.
  EXPECT_EQ(A::VisibleDest(*x, Rect(0, -5, 10, 15), Rect(3, 3, 3, 9)), Rect(3, 3, 3, 9));
}

TEST_F(XformGeometryTest, QuarterTurnsOfEitherOrientationLeaveOutsideStrips) {
  for (const M_Matrix3& m : {QuarterTurn(), Transpose()}) {
    const auto x = MakeXform({m});
    // The 20 x 10 source lands on [0, 10] x [0, 20].
    EXPECT_EQ(A::Forward(*x, Rect(0, 0, 20, 10)), Rect(0, 0, 10, 20));
    EXPECT_EQ(A::VisibleDest(*x, Rect(0, 0, 20, 10), Rect(2, 2, 30, 18)), Rect(9, 2, 30, 18));
    EXPECT_EQ(A::VisibleDest(*x, Rect(0, 0, 20, 10), Rect(-10, 2, 8, 18)),
              Rect(-10, 2, 1, 18));
    EXPECT_EQ(A::VisibleDest(*x, Rect(0, 0, 20, 10), Rect(2, 2, 8, 18)), Rect(0, 0, 0, 0));
    EXPECT_TRUE(A::Covered(*x, Rect(0, 0, 20, 10), Rect(2, 2, 8, 18)));
    EXPECT_TRUE(A::Covered(*x, Rect(0, 0, 20, 10), Rect(0, 0, 10, 20)));  // edges count
    EXPECT_FALSE(A::Covered(*x, Rect(0, 0, 20, 10), Rect(2, 2, 12, 18)));
    EXPECT_FALSE(A::Covered(*x, Rect(0, 0, 20, 10), Rect(2, 2, 8, 21)));
  }
}

TEST_F(XformGeometryTest, SeveralMatricesUnionTheirUncoveredParts) {
  // Two placements side by side; each leaves a different strip uncovered.
  const auto x = MakeXform({Translation(0, 0), Translation(10, 0)});
  EXPECT_EQ(A::VisibleDest(*x, Rect(0, -5, 20, 15), Rect(2, 0, 25, 10)), Rect(2, 0, 25, 10));
  // A pixel that only one placement covers still shows the destination
  // through the other (the placements are averaged).
  EXPECT_EQ(A::VisibleDest(*x, Rect(0, -5, 20, 15), Rect(2, 0, 18, 10)), Rect(2, 0, 11, 10));
  EXPECT_EQ(A::VisibleDest(*x, Rect(0, -5, 20, 15), Rect(12, 0, 18, 10)), Rect(0, 0, 0, 0));
  // Covered needs every placement to cover the rect.
  EXPECT_TRUE(A::Covered(*x, Rect(0, 0, 20, 10), Rect(10, 0, 20, 10)));
  EXPECT_FALSE(A::Covered(*x, Rect(0, 0, 20, 10), Rect(2, 0, 18, 10)));
}

TEST_F(XformGeometryTest, SingularMatricesAreSkippedWhenSizingTheSource) {
  M_Matrix3 flat;
  flat[4] = 0;  // collapses every row onto one
  const auto x = MakeXform({flat, Translation(4, 2)});
  EXPECT_EQ(A::Inverse(*x, Rect(10, 10, 20, 20)), Rect(6, 8, 16, 18));
  const auto only = MakeXform({flat});
  EXPECT_EQ(A::Inverse(*only, Rect(10, 10, 20, 20)), Rect(0, 0, 0, 0));
  // A singular placement covers nothing: the destination stays visible.
  EXPECT_EQ(A::VisibleDest(*only, Rect(0, 0, 40, 40), Rect(2, 2, 8, 8)), Rect(2, 2, 8, 8));
}

TEST_F(XformGeometryTest, PlacementWithNaNCoversNothing) {
  // A degenerate placement gives a quad of NaN corners; no point lies
  // inside it, so nothing may be claimed covered (and so opaque).
  M_Matrix3 broken;
  broken[0] = std::nan("");
  const auto x = MakeXform({broken});
  EXPECT_FALSE(A::Covered(*x, Rect(0, 0, 20, 20), Rect(2, 2, 8, 8)));
  // Next to a sound placement that covers the rect, the broken one still
  // decides: every placement must cover it.
  const auto both = MakeXform({Translation(0, 0), broken});
  EXPECT_FALSE(A::Covered(*both, Rect(0, 0, 20, 20), Rect(2, 2, 8, 8)));
  EXPECT_TRUE(A::Covered(*MakeXform({Translation(0, 0)}), Rect(0, 0, 20, 20), Rect(2, 2, 8, 8)));
}

TEST_F(XformGeometryTest, NoMatricesPlaceTheSourceUnchanged) {
  const auto x = MakeXform({});
  EXPECT_TRUE(A::Identity(*x));
  EXPECT_EQ(A::VisibleDest(*x, Rect(0, 0, 4, 10), Rect(0, 0, 10, 10)), Rect(4, 0, 10, 10));
  EXPECT_EQ(A::VisibleDest(*x, Rect(-1, -1, 11, 11), Rect(0, 0, 10, 10)), Rect(0, 0, 0, 0));
  EXPECT_TRUE(A::Covered(*x, Rect(0, 0, 10, 10), Rect(2, 2, 8, 8)));
  EXPECT_FALSE(A::Covered(*x, Rect(0, 0, 10, 10), Rect(2, 2, 12, 8)));
}

TEST_F(XformGeometryTest, ContentBoundsFollowThePlacement) {
  composite_test::WorldPtr w = composite_test::SolidWorld(Rect(0, 0, 20, 10), 8, 0, 0, 0, 0);
  U_SharedPtr<RG_RenderNode> src(new composite_test::ProbeNode(w.get(), false));
  const M_Matrix3 m = Translation(2.5, 1.5);
  const auto q0 = MakeXform({m}, 0, src.get());
  const auto q1 = MakeXform({m}, 1, src.get());
  EXPECT_EQ(q0->GetContentBounds(RG_CONTENT_BOUNDS_TYPE0),
            M_TransformBounds(m, Rect(0, 0, 20, 10)));
  EXPECT_EQ(q1->GetContentBounds(RG_CONTENT_BOUNDS_TYPE0),
            M_TransformBounds(m, Rect(-1, -1, 21, 11)));
  // No matrices, or identity: the source's own bounds.
  EXPECT_EQ(MakeXform({}, 1, src.get())->GetContentBounds(RG_CONTENT_BOUNDS_TYPE0),
            Rect(0, 0, 20, 10));
  EXPECT_EQ(MakeXform({M_Matrix3{}}, 1, src.get())->GetContentBounds(RG_CONTENT_BOUNDS_TYPE1),
            Rect(0, 0, 20, 10));
}

TEST_F(XformGeometryTest, BadCountThrowsWithoutLeaking) {
  U_SharedPtr<RG_RenderNode> src(new RG_NullNode);
  const long accounted = U_AccountedBytes();
  const M_Matrix3 m;
  for (long count : {-1L, -100L}) {
    try {
      RG_XformNode* node =
          new RG_XformNode(&m, count, PF_CompositeModePlus{}, 0, src.get(), nullptr, nullptr, 0);
      delete node;
      ADD_FAILURE() << "no exception for count " << count;
    } catch (long code) {
      EXPECT_EQ(code, U_ERR_BAD_PARAMETER);
    }
  }
  EXPECT_EQ(src->GetRefCount(), 1);
  EXPECT_EQ(U_AccountedBytes(), accounted);
}

TEST_F(XformGeometryTest, MatrixArrayIsAccountedForTheNodeLifetime) {
  const long long before = U_AccountedBytes();
  {
    const auto x = MakeXform({Translation(1, 1), Translation(2, 2), Translation(3, 3)});
    EXPECT_EQ(U_AccountedBytes() - before, 3 * 72);
  }
  EXPECT_EQ(U_AccountedBytes(), before);
}
