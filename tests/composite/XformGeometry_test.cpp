// Geometry of the transform node (identity detection, fields for whole-row
// shifts, uncovered destination strips and coverage tests), and the rect and
// field rules shared by both composite kinds.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "composite/CompositeTestNodes.h"
#include "rg/RG_CompositeNode.h"
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

U_SharedPtr<RG_XformNode> MakeXform(const std::vector<M_Matrix3>& list, long quality = 0,
                                    RG_RenderNode* source = nullptr) {
  return U_SharedPtr<RG_XformNode>(new RG_XformNode(list.data(), static_cast<long>(list.size()),
                                                    PF_CompositeModePlus{}, quality, source,
                                                    nullptr, nullptr, 0));
}

// x' = a x + c y + tx, y' = b x + d y.
M_Matrix3 Linear(double a, double b, double c, double d, double tx = 0) {
  M_Matrix3 m = Translation(tx, 0);
  m[0] = a;
  m[1] = b;
  m[3] = c;
  m[4] = d;
  return m;
}

long Field(const std::vector<M_Matrix3>& m, bool snap, long field) {
  return A::Field(*MakeXform(m), snap, field);
}

}  // namespace

class XformGeometryTest : public LeakCheckTest {};

TEST_F(XformGeometryTest, IdentityWithinEpsilonTakesIdentityPath) {
  M_Matrix3 nearly;
  nearly[6] = 5e-13;
  nearly[0] = 1 + 5e-13;
  M_Matrix3 off;
  off[7] = 1e-9;
  EXPECT_TRUE(A::Identity(*MakeXform({})));
  EXPECT_TRUE(A::Identity(*MakeXform({nearly})));
  EXPECT_TRUE(A::Identity(*MakeXform({M_Matrix3{}, nearly})));
  EXPECT_FALSE(A::Identity(*MakeXform({off})));
  EXPECT_FALSE(A::Identity(*MakeXform({nearly, off})));
}

TEST_F(XformGeometryTest, FieldFollowsWholeRowShifts) {
  EXPECT_EQ(Field({Translation(0, 3.0)}, true, 1), 2);
  EXPECT_EQ(Field({Translation(0, 4.0)}, true, 1), 1);
  EXPECT_EQ(Field({Translation(0, -3.0)}, true, 2), 1);
  EXPECT_EQ(Field({Translation(17.3, 2.0)}, true, 2), 2);  // x does not matter
  // Two shifts of different parity need both fields.
  EXPECT_EQ(Field({Translation(0, 1.0), Translation(0, 2.0)}, true, 1), 0);
  EXPECT_EQ(Field({Translation(0, 1.0), Translation(0, 3.0)}, true, 1), 2);
  // Field 0 stays 0; anything but a pure translation needs the whole frame.
  EXPECT_EQ(Field({Translation(0, 3.0)}, true, 0), 0);
  EXPECT_EQ(Field({Linear(1, 0, 0, 2)}, true, 1), 0);
  // Snapping to whole rows only when asked (quality 0), never within a
  // sixteenth of a row of the half-row.
  EXPECT_EQ(Field({Translation(0, 2.03)}, true, 1), 1);
  EXPECT_EQ(Field({Translation(0, 2.03)}, false, 1), 0);
  EXPECT_EQ(Field({Translation(0, 2.97)}, true, 1), 2);
  EXPECT_EQ(Field({Translation(0, -2.03)}, true, 2), 2);
  EXPECT_EQ(Field({Translation(0, 2.5)}, true, 1), 0);
  EXPECT_EQ(Field({Translation(0, 2.44)}, true, 1), 0);
  EXPECT_EQ(Field({Translation(0, 2.4)}, true, 1), 1);
  // Shifts beyond the 16.16 range need the whole frame; just inside they
  // are still classified.
  for (double ty : {32768.0, -32768.0, 40000.0, -1e12, 1e300, std::nan("")}) {
    EXPECT_EQ(Field({Translation(0, ty)}, true, 1), 0) << ty;
    EXPECT_EQ(Field({Translation(0, ty)}, false, 2), 0) << ty;
  }
  EXPECT_EQ(Field({Translation(0, 32767.0)}, false, 1), 2);
  EXPECT_EQ(Field({Translation(0, -32767.0)}, true, 1), 2);
  // Found by fuzzing: a field that names no field is passed on unchanged.
  for (long field : {-16674802L, -1L, 3L, 64L, 2147483647L}) {
    EXPECT_EQ(Field({Translation(0, 3.0)}, true, field), field);
    EXPECT_EQ(Field({Translation(0, 3.0)}, false, field), field);
  }
}

TEST_F(XformGeometryTest, VisibleDestinationAndCoverage) {
  auto vis = [](const std::vector<M_Matrix3>& m, const M_LRect& src, const M_LRect& dest) {
    return A::VisibleDest(*MakeXform(m), src, dest);
  };
  auto covered = [](const std::vector<M_Matrix3>& m, const M_LRect& src, const M_LRect& rect) {
    return A::Covered(*MakeXform(m), src, rect);
  };
  const M_LRect none = Rect(0, 0, 0, 0);
  // Left of x = 5.5 (the first placed pixel centre) nothing is covered; an
  // empty destination comes back as it is.
  const M_Matrix3 t5 = Translation(5, 0);
  EXPECT_EQ(vis({t5}, Rect(0, -5, 10, 15), Rect(0, 0, 12, 10)), Rect(0, 0, 6, 10));
  EXPECT_EQ(vis({t5}, Rect(0, -5, 10, 15), Rect(0, 0, 20, 10)), Rect(0, 0, 20, 10));
  EXPECT_EQ(vis({t5}, Rect(0, -5, 10, 15), Rect(6, 0, 14, 10)), none);
  EXPECT_EQ(vis({t5}, Rect(0, -5, 10, 15), Rect(3, 3, 3, 9)), Rect(3, 3, 3, 9));

  // x' = -y + 10, y' = x (determinant +1) and x' = y, y' = x (-1) both put
  // the 20 x 10 source on [0, 10] x [0, 20]; its edges count as covered.
  for (const M_Matrix3& turn : {Linear(0, 1, -1, 0, 10), Linear(0, 1, 1, 0)}) {
    const M_LRect s = Rect(0, 0, 20, 10);
    EXPECT_EQ(A::Forward(*MakeXform({turn}), s), Rect(0, 0, 10, 20));
    EXPECT_EQ(vis({turn}, s, Rect(2, 2, 30, 18)), Rect(9, 2, 30, 18));
    EXPECT_EQ(vis({turn}, s, Rect(-10, 2, 8, 18)), Rect(-10, 2, 1, 18));
    EXPECT_EQ(vis({turn}, s, Rect(2, 2, 8, 18)), none);
    EXPECT_TRUE(covered({turn}, s, Rect(2, 2, 8, 18)));
    EXPECT_TRUE(covered({turn}, s, Rect(0, 0, 10, 20)));
    EXPECT_FALSE(covered({turn}, s, Rect(2, 2, 12, 18)));
    EXPECT_FALSE(covered({turn}, s, Rect(2, 2, 8, 21)));
  }

  // Placements side by side: a pixel only one covers still shows the
  // destination through the other (they are averaged); covered needs all.
  const std::vector<M_Matrix3> pair = {Translation(0, 0), Translation(10, 0)};
  EXPECT_EQ(vis(pair, Rect(0, -5, 20, 15), Rect(2, 0, 25, 10)), Rect(2, 0, 25, 10));
  EXPECT_EQ(vis(pair, Rect(0, -5, 20, 15), Rect(2, 0, 18, 10)), Rect(2, 0, 11, 10));
  EXPECT_EQ(vis(pair, Rect(0, -5, 20, 15), Rect(12, 0, 18, 10)), none);
  EXPECT_TRUE(covered(pair, Rect(0, 0, 20, 10), Rect(10, 0, 20, 10)));
  EXPECT_FALSE(covered(pair, Rect(0, 0, 20, 10), Rect(2, 0, 18, 10)));

  // Singular placements are skipped when sizing the source and cover
  // nothing; a NaN placement covers nothing, even beside a sound one.
  const M_Matrix3 flat = Linear(1, 0, 0, 0);
  const M_Matrix3 broken = Linear(std::nan(""), 0, 0, 1);
  EXPECT_EQ(A::Inverse(*MakeXform({flat, Translation(4, 2)}), Rect(10, 10, 20, 20)),
            Rect(6, 8, 16, 18));
  EXPECT_EQ(A::Inverse(*MakeXform({flat}), Rect(10, 10, 20, 20)), none);
  EXPECT_EQ(vis({flat}, Rect(0, 0, 40, 40), Rect(2, 2, 8, 8)), Rect(2, 2, 8, 8));
  EXPECT_FALSE(covered({broken}, Rect(0, 0, 20, 20), Rect(2, 2, 8, 8)));
  EXPECT_FALSE(covered({Translation(0, 0), broken}, Rect(0, 0, 20, 20), Rect(2, 2, 8, 8)));
  EXPECT_TRUE(covered({Translation(0, 0)}, Rect(0, 0, 20, 20), Rect(2, 2, 8, 8)));

  // No matrices place the source unchanged.
  EXPECT_EQ(vis({}, Rect(0, 0, 4, 10), Rect(0, 0, 10, 10)), Rect(4, 0, 10, 10));
  EXPECT_EQ(vis({}, Rect(-1, -1, 11, 11), Rect(0, 0, 10, 10)), none);
  EXPECT_TRUE(covered({}, Rect(0, 0, 10, 10), Rect(2, 2, 8, 8)));
  EXPECT_FALSE(covered({}, Rect(0, 0, 10, 10), Rect(2, 2, 12, 8)));
}

TEST_F(XformGeometryTest, ContentBoundsFollowThePlacement) {
  composite_test::WorldPtr w = ProofMakeSourceWorld(Rect(0, 0, 20, 10), 8, 1, false);
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

TEST_F(XformGeometryTest, MatrixArrayIsAccountedAndBadCountThrowsWithoutLeaking) {
  const long long before = U_AccountedBytes();
  {
    const auto x = MakeXform({Translation(1, 1), Translation(2, 2), Translation(3, 3)});
    EXPECT_EQ(U_AccountedBytes() - before, 3 * 72);
  }
  EXPECT_EQ(U_AccountedBytes(), before);

  U_SharedPtr<RG_RenderNode> src(new RG_NullNode);
  const M_Matrix3 m;
  for (long count : {-1L, -100L}) {
    try {
      delete new RG_XformNode(&m, count, PF_CompositeModePlus{}, 0, src.get(), nullptr, nullptr, 0);
      ADD_FAILURE() << "no exception for count " << count;
    } catch (long code) {
      EXPECT_EQ(code, U_ERR_BAD_PARAMETER);
    }
  }
  EXPECT_EQ(src->GetRefCount(), 1);
  EXPECT_EQ(U_AccountedBytes(), before);
}

class CompositeRulesTest : public LeakCheckTest {};

TEST_F(CompositeRulesTest, RectMinusCutsOnlyWholeHeightSlices) {
  const M_LRect a = Rect(0, 0, 10, 10);
  // Covered entirely, also by itself.
  EXPECT_EQ(RG_CompositeNodeBase::RectMinus(a, Rect(-1, -1, 11, 11)), Rect(0, 0, 0, 0));
  EXPECT_EQ(RG_CompositeNodeBase::RectMinus(a, a), Rect(0, 0, 0, 0));
  // Full-height cover of the left part leaves the right remainder, and the
  // other way round.
  EXPECT_EQ(RG_CompositeNodeBase::RectMinus(a, Rect(-5, -1, 4, 12)), Rect(4, 0, 10, 10));
  EXPECT_EQ(RG_CompositeNodeBase::RectMinus(a, Rect(6, 0, 15, 10)), Rect(0, 0, 6, 10));
  // A slice through the middle would leave two pieces: A stays whole.
  EXPECT_EQ(RG_CompositeNodeBase::RectMinus(a, Rect(3, 0, 6, 10)), a);
  // Not the full height: no cut is made, however much is covered.
  EXPECT_EQ(RG_CompositeNodeBase::RectMinus(a, Rect(-1, 1, 11, 11)), a);
  EXPECT_EQ(RG_CompositeNodeBase::RectMinus(a, Rect(0, 0, 4, 9)), a);
  // An empty B removes nothing.
  EXPECT_EQ(RG_CompositeNodeBase::RectMinus(Rect(5, 5, 10, 10), Rect(0, 0, 0, 0)),
            Rect(5, 5, 10, 10));
  // A full-height B wholly beside A cuts nothing and never widens A.
  EXPECT_EQ(RG_CompositeNodeBase::RectMinus(a, Rect(-8, 0, -2, 10)), a);
  EXPECT_EQ(RG_CompositeNodeBase::RectMinus(a, Rect(12, 0, 20, 10)), a);
}

TEST_F(CompositeRulesTest, EffectiveFieldSwapsOnOddFirstRow) {
  struct Case {
    long field;
    int top, expected;
  };
  for (const Case& c : {Case{0, -3, 0}, Case{0, 0, 0}, Case{0, 5, 0}, Case{1, 5, 2}, Case{2, -3, 1},
                        Case{2, 4, 2}, Case{1, 0, 1}}) {
    SCOPED_TRACE(testing::Message() << c.field << " " << c.top);
    // Only the top counts (left has the other parity); the 16-bit form
    // reads its own top member.
    EXPECT_EQ(RG_EffectiveField(c.field, Rect(7 - c.top, c.top, 20, c.top + 1)), c.expected);
    M_Rect r;
    r.top = static_cast<short>(c.top);
    r.left = static_cast<short>(7 - c.top);  // of the other parity
    EXPECT_EQ(RG_EffectiveField(c.field, r), c.expected);
  }
}
