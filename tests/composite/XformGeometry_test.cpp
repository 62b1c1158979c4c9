// Geometry of the transform node: fields for whole-row shifts, uncovered
// destination strips and coverage tests.

#include <cmath>

#include "rg/RG_CompositeNode.h"
#include "rg/RG_NullNode.h"
#include "rg/RG_XformNode.h"
#include "support/LeakCheck.h"
#include "support/ProofNodes.h"
#include "support/TestNodes.h"

struct RGp_XformAccess {
  static long Field(const RG_XformNode& n, bool snap, long field) {
    return n.FieldForMatrices(snap, field);
  }
  static M_LRect VisibleDest(const RG_XformNode& n, const M_LRect& src, const M_LRect& dest) {
    return n.VisibleDestRect(src, dest);
  }
  static bool Covered(const RG_XformNode& n, const M_LRect& src, const M_LRect& rect) {
    return n.RectCoveredBySrc(src, rect);
  }
  static M_LRect Forward(const RG_XformNode& n, const M_LRect& r) { return n.ForwardBounds(r); }
  static M_LRect Inverse(const RG_XformNode& n, const M_LRect& r) { return n.InverseBounds(r); }
};

constexpr auto Rect = TestRect;
using A = RGp_XformAccess;
using Placements = std::vector<M_Matrix3>;

namespace {

U_SharedPtr<RG_XformNode> MakeXform(const Placements& list, long quality = 0,
                                    RG_RenderNode* source = nullptr) {
  return U_SharedPtr<RG_XformNode>(new RG_XformNode(list.data(), static_cast<long>(list.size()),
                                                    PF_CompositeModePlus{}, quality, source,
                                                    nullptr, nullptr, 0));
}

M_Matrix3 Ty(double ty) { return ProofShift(0, ty); }

class XformGeometryTest : public LeakCheckTest {};

// A field survives a pure translation by whole rows (snapped to whole rows
// at quality 0 unless within a sixteenth of the half-row), swapping for odd
// shifts; anything else needs the whole frame (0). A field naming no field
// is passed on unchanged (found by fuzzing).
TEST_F(XformGeometryTest, FieldMustFollowWholeRowShiftsAndOtherwiseBeTheWholeFrame) {
  const struct {
    Placements m;
    bool snap;
    long field, expected;
  } cases[] = {
      // clang-format off
      {{Ty(3.0)}, true, 1, 2},          {{Ty(4.0)}, true, 1, 1},
      {{Ty(-3.0)}, true, 2, 1},         {{ProofShift(17.3, 2.0)}, true, 2, 2},
      {{Ty(1.0), Ty(2.0)}, true, 1, 0}, {{Ty(1.0), Ty(3.0)}, true, 1, 2},
      {{Ty(3.0)}, true, 0, 0},          {{ProofAffine(1, 0, 0, 2)}, true, 1, 0},
      {{Ty(2.03)}, true, 1, 1},         {{Ty(2.03)}, false, 1, 0},
      {{Ty(2.97)}, true, 1, 2},         {{Ty(-2.03)}, true, 2, 2},
      {{Ty(2.5)}, true, 1, 0},          {{Ty(2.44)}, true, 1, 0},
      {{Ty(2.4)}, true, 1, 1},          {{Ty(32767.0)}, false, 1, 2},
      {{Ty(-32767.0)}, true, 1, 2},     {{Ty(1.0 / 131072)}, false, 1, 0},
      {{Ty(2.4375)}, true, 1, 0},       {{Ty(2.5625)}, true, 1, 0},  // a sixteenth from the half
      {{ProofAffine(1, 0.5, 0, 1, 0, 3)}, true, 1, 0},  // a shear is no row shift
      // clang-format on
  };
  for (const auto& c : cases)
    EXPECT_EQ(A::Field(*MakeXform(c.m), c.snap, c.field), c.expected)
        << c.m[0][7] << " snap " << c.snap << " field " << c.field;
  // Beyond the 16.16 range, also once rounded to it: the whole frame.
  for (double ty : {32768.0, 32767.999999, -32768.0, 40000.0, -1e12, 1e300, std::nan("")}) {
    EXPECT_EQ(A::Field(*MakeXform({Ty(ty)}), true, 1), 0) << ty;
    EXPECT_EQ(A::Field(*MakeXform({Ty(ty)}), false, 2), 0) << ty;
  }
  for (long field : {-16674802L, -1L, 3L, 64L, 2147483647L})
    for (bool snap : {true, false}) EXPECT_EQ(A::Field(*MakeXform({Ty(3.0)}), snap, field), field);
  // A buffer whose first row is odd swaps the fields, in either rect form,
  // and leaves the whole frame whole.
  for (int16_t top : {-3, 0, 1, 6})
    EXPECT_EQ(RG_EffectiveField(1, M_Rect{top, 0, int16_t(top + 2), 2}), top % 2 ? 2 : 1) << top;
  EXPECT_EQ(RG_EffectiveField(2, M_LRect{0, -3, 2, 2}), 1);
  EXPECT_EQ(RG_EffectiveField(0, M_Rect{1, 0, 3, 2}) + RG_EffectiveField(0, M_LRect{0, 1, 2, 3}),
            0);
}

// The strip of the destination no placed pixel centre covers (the whole
// destination when placements disagree, since they are averaged), and
// whether a rect is covered by every placement.
TEST_F(XformGeometryTest, UncoveredStripAndCoverageMustFollowPlacedPixelCentres) {
  const M_LRect none = Rect(0, 0, 0, 0), s20 = Rect(0, 0, 20, 10);
  // x' = -y + 10, y' = x (determinant +1) and x' = y, y' = x (-1) both put
  // the 20 x 10 source on [0, 10] x [0, 20]; its edges count as covered.
  const M_Matrix3 turn = ProofAffine(0, 1, -1, 0, 10), mirror = ProofAffine(0, 1, 1, 0);
  const M_Matrix3 flat = ProofAffine(1, 0, 0, 0), broken = ProofAffine(std::nan(""), 0, 0, 1);
  const Placements pair = {ProofShift(0, 0), ProofShift(10, 0)};
  // A 45-degree turn whose first column of centres lands on x + y = 6.5: it
  // leaves only the triangle at the destination's top left corner uncovered.
  const double h = std::sqrt(0.5);
  const M_Matrix3 tilt = ProofAffine(h, h, -h, h, 26.5 - h, -20);
  const struct {
    Placements m;
    M_LRect src, dest, visible;
  } strips[] = {
      // Left of x = 5.5 (the first placed pixel centre) nothing is covered.
      {{ProofShift(5, 0)}, Rect(0, -5, 10, 15), Rect(0, 0, 12, 10), Rect(0, 0, 6, 10)},
      {{ProofShift(5, 0)}, Rect(0, -5, 10, 15), Rect(0, 0, 20, 10), Rect(0, 0, 20, 10)},
      {{ProofShift(5, 0)}, Rect(0, -5, 10, 15), Rect(6, 0, 14, 10), none},
      {{ProofShift(5, 0)}, Rect(0, -5, 10, 15), Rect(6, 0, 20, 10), Rect(14, 0, 20, 10)},
      // Over the top right corner: the box around the L left uncovered.
      {{ProofShift(5, 5)}, Rect(5, -15, 35, 15), Rect(0, 0, 30, 30), Rect(0, 0, 30, 30)},
      {{ProofShift(5, 0)}, Rect(0, -5, 10, 15), Rect(3, 3, 3, 9), Rect(3, 3, 3, 9)},  // empty
      {{tilt}, Rect(0, 0, 100, 100), Rect(0, 0, 10, 10), Rect(0, 0, 7, 7)},
      {{turn}, s20, Rect(2, 2, 30, 18), Rect(9, 2, 30, 18)},
      {{turn}, s20, Rect(-10, 2, 8, 18), Rect(-10, 2, 1, 18)},
      {{turn}, s20, Rect(2, 2, 8, 18), none},
      {{mirror}, s20, Rect(2, 2, 30, 18), Rect(9, 2, 30, 18)},
      {{mirror}, s20, Rect(-10, 2, 8, 18), Rect(-10, 2, 1, 18)},
      {{mirror}, s20, Rect(2, 2, 8, 18), none},
      {pair, Rect(0, -5, 20, 15), Rect(2, 0, 25, 10), Rect(2, 0, 25, 10)},
      {pair, Rect(0, -5, 20, 15), Rect(2, 0, 18, 10), Rect(2, 0, 11, 10)},
      {pair, Rect(0, -5, 20, 15), Rect(12, 0, 18, 10), none},
      {{flat}, Rect(0, 0, 40, 40), Rect(2, 2, 8, 8), Rect(2, 2, 8, 8)},
      {{}, Rect(0, 0, 4, 10), Rect(0, 0, 10, 10), Rect(4, 0, 10, 10)},
      {{}, Rect(-1, -1, 11, 11), Rect(0, 0, 10, 10), none},
  };
  for (size_t i = 0; i < std::size(strips); ++i)
    EXPECT_EQ(A::VisibleDest(*MakeXform(strips[i].m), strips[i].src, strips[i].dest),
              strips[i].visible)
        << "strip " << i;
  const struct {
    Placements m;
    M_LRect src, rect;
    bool covered;
  } covers[] = {
      {{turn}, s20, Rect(2, 2, 8, 18), true},
      {{turn}, s20, Rect(0, 0, 10, 20), true},
      {{turn}, s20, Rect(2, 2, 12, 18), false},
      {{turn}, s20, Rect(2, 2, 8, 21), false},
      {{mirror}, s20, Rect(2, 2, 8, 18), true},
      {{mirror}, s20, Rect(0, 0, 10, 20), true},
      {{mirror}, s20, Rect(2, 2, 12, 18), false},
      {{mirror}, s20, Rect(2, 2, 8, 21), false},
      {pair, s20, Rect(10, 0, 20, 10), true},
      {pair, s20, Rect(2, 0, 18, 10), false},
      {{broken}, Rect(0, 0, 20, 20), Rect(2, 2, 8, 8), false},
      {{ProofShift(0, 0), broken}, Rect(0, 0, 20, 20), Rect(2, 2, 8, 8), false},
      {{ProofShift(0, 0)}, Rect(0, 0, 20, 20), Rect(2, 2, 8, 8), true},
      {{ProofShift(0.02, 0)}, Rect(0, 0, 20, 20), Rect(0, 0, 10, 10), false},
      {{ProofAffine(-1, 0, 0, 1, 20.02, 0)}, Rect(0, 0, 20, 20), Rect(0, 0, 10, 10), false},
      {{}, Rect(0, 0, 10, 10), Rect(2, 2, 8, 8), true},
      {{}, Rect(0, 0, 10, 10), Rect(2, 2, 12, 8), false},
  };
  for (size_t i = 0; i < std::size(covers); ++i)
    EXPECT_EQ(A::Covered(*MakeXform(covers[i].m), covers[i].src, covers[i].rect), covers[i].covered)
        << "cover " << i;
  for (const M_Matrix3& m : {turn, mirror})
    EXPECT_EQ(A::Forward(*MakeXform({m}), s20), Rect(0, 0, 10, 20));
  // A flattening placement's degenerate box adds nothing, alone or beside another.
  EXPECT_EQ(A::Forward(*MakeXform({flat}), Rect(10, 10, 20, 20)), none);
  EXPECT_EQ(A::Forward(*MakeXform({flat, ProofShift(4, 2)}), Rect(10, 10, 20, 20)),
            Rect(14, 12, 24, 22));
  // Singular placements are skipped when sizing the source.
  EXPECT_EQ(A::Inverse(*MakeXform({flat, ProofShift(4, 2)}), Rect(10, 10, 20, 20)),
            Rect(6, 8, 16, 18));
  EXPECT_EQ(A::Inverse(*MakeXform({flat}), Rect(10, 10, 20, 20)), none);
}

}  // namespace
