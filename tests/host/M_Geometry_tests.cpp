// Matrices: composition order, inversion, bounds of transformed rects, areas.
#include <cmath>
#include <limits>
#include <numbers>

#include "rghost/M_Geometry.h"
#include "rghost/U_Errors.h"
#include "rghost/U_Services.h"
#include "support/LeakCheck.h"

namespace {

class MGeometryTest : public LeakCheckTest {};

M_Matrix3 RotateScale(double degrees, double sx, double sy) {
  const double a = degrees * std::numbers::pi / 180.0;
  M_Matrix3 m;
  m[0] = std::cos(a) * sx;
  m[1] = std::sin(a) * sx;
  m[3] = -std::sin(a) * sy;
  m[4] = std::cos(a) * sy;
  m[6] = 5.0;
  m[7] = -3.0;
  return m;
}

TEST_F(MGeometryTest, TranslateAndProductApplyAfterWhatIsThere) {
  const M_Matrix3 m = RotateScale(30, 2.0, 0.5);
  M_Matrix3 composed;
  composed.SetIdentity();
  composed.Translate(7, -2);
  composed *= m;
  composed.Translate(-4, 9);
  for (double x : {-3.0, 0.0, 11.5}) {
    for (double y : {-8.0, 0.25, 40.0}) {
      double ex, ey, gx, gy;
      ASSERT_TRUE(m.TransformPoint(x + 7, y - 2, &ex, &ey));
      ASSERT_TRUE(composed.TransformPoint(x, y, &gx, &gy));
      EXPECT_NEAR(gx, ex - 4, 1e-9);
      EXPECT_NEAR(gy, ey + 9, 1e-9);
    }
  }
}

TEST_F(MGeometryTest, ProjectivePointsDivideByW) {
  M_Matrix3 m;
  m[2] = 0.5;  // w = 0.5 x + 1
  double x, y;
  ASSERT_TRUE(m.TransformPoint(2, 4, &x, &y));
  EXPECT_DOUBLE_EQ(x, 1.0);
  EXPECT_DOUBLE_EQ(y, 2.0);
  EXPECT_FALSE(m.TransformPoint(-2, 0, &x, &y));
}

TEST_F(MGeometryTest, InvertQuiet) {
  M_Matrix3 m = RotateScale(73, 3.0, -0.25);
  m[2] = 0.001;
  M_Matrix3 inv = m;
  EXPECT_FALSE(inv.InvertQuiet());
  M_Matrix3 product = m;
  product *= inv;
  EXPECT_TRUE(product.IsIdentityWithinEpsilon(1e-12));
  EXPECT_FALSE(m.IsIdentityWithinEpsilon(1e-12));
  // An affine matrix inverts to an exactly affine one (the resampler's fast path).
  M_Matrix3 affine = RotateScale(30, 1.7, 0.3);
  ASSERT_FALSE(affine.InvertQuiet());
  EXPECT_EQ(affine[2], 0.0);
  EXPECT_EQ(affine[5], 0.0);
  EXPECT_EQ(affine[8], 1.0);

  M_Matrix3 singular;
  singular[0] = 2;
  singular[1] = 4;
  singular[3] = 1;
  singular[4] = 2;  // rows 0 and 1 are parallel
  const M_Matrix3 before = singular;
  EXPECT_EQ(singular.Determinant(), 0.0);
  EXPECT_TRUE(singular.InvertQuiet());
  for (int i = 0; i < 9; ++i) EXPECT_EQ(singular[i], before[i]);
}

TEST_F(MGeometryTest, RectAlgebra) {
  const M_LRect a{0, 0, 10, 10}, b{5, -5, 20, 5}, apart{30, 30, 40, 40}, empty{7, 7, 7, 9};
  // Intersections keep their coordinates when empty; unions skip empty operands.
  EXPECT_EQ(M_Intersect(a, b), (M_LRect{5, 0, 10, 5}));
  EXPECT_EQ(M_Intersect(a, apart), (M_LRect{30, 30, 10, 10}));
  EXPECT_EQ(M_Union(a, b), (M_LRect{0, -5, 20, 10}));
  EXPECT_EQ(M_Union(empty, b), b);
  EXPECT_EQ(M_Union(a, empty), a);
  EXPECT_TRUE(M_Contains(a, M_LRect{0, 0, 10, 10}));
  EXPECT_FALSE(M_Contains(a, M_LRect{0, 0, 10, 11}));
  EXPECT_TRUE(M_Overlaps(a, b));
  EXPECT_FALSE(M_Overlaps(a, M_LRect{10, 0, 12, 10}));  // touching edges
  EXPECT_TRUE(M_SameArea(empty, M_LRect{}));
  EXPECT_FALSE(M_SameArea(a, M_LRect{0, 0, 10, 9}));
  EXPECT_EQ(M_RelativeTo(b, a), b);
  EXPECT_EQ(M_RelativeTo(a, b), (M_LRect{-5, 5, 5, 15}));
  EXPECT_EQ(M_Grow(a, -2), (M_LRect{2, 2, 8, 8}));
  const M_LRect wide{INT32_MIN + 1, 0, INT32_MAX, 1};
  EXPECT_EQ(M_Grow(wide, 3), (M_LRect{INT32_MIN, -3, INT32_MAX, 4}));
}

TEST_F(MGeometryTest, TransformBoundsEnclosesTheImage) {
  M_Matrix3 shift;
  shift.Translate(0.5, -0.25);
  EXPECT_EQ(M_TransformBounds(shift, {0, 0, 10, 4}), (M_LRect{0, -1, 11, 4}));

  M_Matrix3 whole;
  whole.Translate(3, -7);
  EXPECT_EQ(M_TransformBounds(whole, {1, 2, 5, 6}), (M_LRect{4, -5, 8, -1}));

  // A quarter turn: (x, y) -> (-y, x).
  M_Matrix3 turn;
  turn[0] = 0;
  turn[1] = 1;
  turn[3] = -1;
  turn[4] = 0;
  EXPECT_EQ(M_TransformBounds(turn, {0, 0, 10, 4}), (M_LRect{-4, 0, 0, 10}));

  EXPECT_EQ(M_TransformBounds(whole, {5, 5, 5, 9}), (M_LRect{0, 0, 0, 0}));

  M_Matrix3 huge;
  huge[0] = 1e12;
  huge[4] = 1e12;
  const M_LRect big = M_TransformBounds(huge, {-1, -1, 1, 1});
  EXPECT_EQ(big.left, std::numeric_limits<int32_t>::min());
  EXPECT_EQ(big.right, std::numeric_limits<int32_t>::max());
}

TEST_F(MGeometryTest, TransformFloatRectCornerOrder) {
  M_Matrix3 m;
  m.Translate(10, 20);
  const double rect[4] = {1, 2, 3, 5};
  double quad[8];
  ASSERT_EQ(M_TransformFloatRect(&m, rect, quad, 0), U_ERR_NONE);
  const double expected[8] = {11, 22, 13, 22, 13, 25, 11, 25};
  for (int i = 0; i < 8; ++i) EXPECT_DOUBLE_EQ(quad[i], expected[i]);

  EXPECT_EQ(M_TransformFloatRect(nullptr, rect, quad, 0), U_ERR_BAD_PARAMETER);
  M_Matrix3 horizon;
  horizon[2] = -1.0;  // w = 0 at x = 1
  EXPECT_EQ(M_TransformFloatRect(&horizon, rect, quad, 0), U_ERR_BAD_PARAMETER);
}

TEST_F(MGeometryTest, SignedAreaFollowsWinding) {
  const M_Vector2T<double> ccw[4] = {{0, 0}, {2, 0}, {2, 3}, {0, 3}};
  const M_Vector2T<double> cw[4] = {{0, 0}, {0, 3}, {2, 3}, {2, 0}};
  EXPECT_DOUBLE_EQ(M_SignedPolygonArea2D(ccw, 4), 6.0);
  EXPECT_DOUBLE_EQ(M_SignedPolygonArea2D(cw, 4), -6.0);
  EXPECT_DOUBLE_EQ(M_SignedPolygonArea2D(ccw, 2), 0.0);
}

}  // namespace
