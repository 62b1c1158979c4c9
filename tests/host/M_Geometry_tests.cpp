// Matrices: composition order, inversion, bounds of transformed rects, areas.
#include <cmath>
#include <limits>
#include <numbers>

#include "rghost/M_Geometry.h"
#include "rghost/U_Errors.h"
#include "support/LeakCheck.h"

namespace {

class MGeometryTest : public LeakCheckTest {};

M_Matrix3 Of(std::initializer_list<double> values) {
  M_Matrix3 m;
  int i = 0;
  for (double v : values) m[i++] = v;
  return m;
}

TEST_F(MGeometryTest, TranslateAndProductMustApplyAfterWhatIsThereAndDivideByW) {
  const double a = 30 * std::numbers::pi / 180.0;
  const M_Matrix3 m = Of({std::cos(a) * 2, std::sin(a) * 2, 0.01, -std::sin(a) * 0.5,
                          std::cos(a) * 0.5, -0.02, 5, -3, 1});
  M_Matrix3 composed;
  composed.SetIdentity();
  composed.Translate(7, -2);
  composed *= m;
  composed.Translate(-4, 9);
  for (double x : {-3.0, 0.0, 11.5})
    for (double y : {-8.0, 0.25, 40.0}) {
      double ex, ey, gx, gy;
      ASSERT_TRUE(m.TransformPoint(x + 7, y - 2, &ex, &ey));
      ASSERT_TRUE(composed.TransformPoint(x, y, &gx, &gy));
      EXPECT_NEAR(gx, ex - 4, 1e-9);
      EXPECT_NEAR(gy, ey + 9, 1e-9);
    }
  const M_Matrix3 p = Of({1, 0, 0.5, 0, 1, 0, 0, 0, 1});  // w = 0.5 x + 1
  double x, y;
  ASSERT_TRUE(p.TransformPoint(2, 4, &x, &y));
  EXPECT_DOUBLE_EQ(x, 1.0);
  EXPECT_DOUBLE_EQ(y, 2.0);
  EXPECT_FALSE(p.TransformPoint(-2, 0, &x, &y));
}

// A general projective matrix (every element distinct and non-zero) must
// invert to the one matrix that multiplies it to identity on both sides; an
// affine one to an exactly affine one; a singular one, or one whose inverse
// overflows, must stay as it was.
TEST_F(MGeometryTest, InverseMustUndoEveryElementOrLeaveTheMatrixAsItWas) {
  const M_Matrix3 general = Of({3.1, -0.7, 0.002, 0.4, 2.3, -0.003, 5.5, -3.2, 1.7});
  M_Matrix3 inv = general;
  ASSERT_FALSE(inv.InvertQuiet());
  M_Matrix3 left = general, right = inv;
  left *= inv;
  right *= general;
  EXPECT_TRUE(left.IsIdentityWithinEpsilon(1e-12));
  EXPECT_TRUE(right.IsIdentityWithinEpsilon(1e-12));
  EXPECT_FALSE(general.IsIdentityWithinEpsilon(1e-12));
  M_Matrix3 affine = Of({1.7, 0.3, 0, -0.2, 0.9, 0, 4, 6, 1});
  ASSERT_FALSE(affine.InvertQuiet());
  EXPECT_EQ(affine[2], 0.0);
  EXPECT_EQ(affine[5], 0.0);
  EXPECT_EQ(affine[8], 1.0);
  EXPECT_DOUBLE_EQ(affine.Determinant(), 1 / (1.7 * 0.9 + 0.3 * 0.2));
  const double inf = std::numeric_limits<double>::infinity();
  for (const M_Matrix3& bad : {Of({2, 4, 0, 1, 2, 0, 0, 0, 1}),       // parallel rows
                               Of({1e-310, 0, 0, 0, 1, 0, 0, 0, 1}),  // 1 / 1e-310 overflows
                               Of({inf, 0, 0, 0, 1, 0, 0, 0, 1})}) {
    M_Matrix3 m = bad;
    EXPECT_TRUE(m.InvertQuiet());
    for (int i = 0; i < 9; ++i) EXPECT_EQ(m[i], bad[i]) << i;
  }
}

TEST_F(MGeometryTest, RectAlgebraMustKeepEmptyCoordinatesAndSkipEmptyOperands) {
  const M_LRect a{0, 0, 10, 10}, b{5, -5, 20, 5}, apart{30, 30, 40, 40}, empty{7, 7, 7, 9};
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
  EXPECT_EQ(M_RelativeTo(a, b), (M_LRect{-5, 5, 5, 15}));
  EXPECT_EQ(M_Grow(a, -2), (M_LRect{2, 2, 8, 8}));
  EXPECT_EQ(M_Grow(M_LRect{INT32_MIN + 1, 0, INT32_MAX, 1}, 3),
            (M_LRect{INT32_MIN, -3, INT32_MAX, 4}));
}

TEST_F(MGeometryTest, TransformedBoundsMustEncloseEveryCornerAndClampToInt32) {
  const int32_t lo = std::numeric_limits<int32_t>::min(), hi = std::numeric_limits<int32_t>::max();
  const struct {
    M_Matrix3 m;
    M_LRect in, out;
  } cases[] = {
      {Of({1, 0, 0, 0, 1, 0, 0.5, -0.25, 1}), {0, 0, 10, 4}, {0, -1, 11, 4}},
      {Of({1, 0, 0, 0, 1, 0, 3, -7, 1}), {1, 2, 5, 6}, {4, -5, 8, -1}},
      {Of({0, 1, 0, -1, 0, 0, 0, 0, 1}), {0, 0, 10, 4}, {-4, 0, 0, 10}},  // (x, y) -> (-y, x)
      {Of({-1, 0, 0, 0, -1, 0, 0, 0, 1}), {1, 2, 5, 7}, {-5, -7, -1, -2}},
      {Of({1, 0, 0, 0, 1, 0, 3, -7, 1}), {5, 5, 5, 9}, {0, 0, 0, 0}},
      {Of({1e12, 0, 0, 0, 1e12, 0, 0, 0, 1}), {-1, -1, 1, 1}, {lo, lo, hi, hi}},
      {Of({1, 0, 0.5, 0, 1, 0, 0, 0, 1}), {0, 0, 2, 2}, {0, 0, 1, 2}},     // w = 0.5 x + 1
      {Of({1, 0, -1, 0, 1, 0, 0, 0, 1}), {0, 0, 4, 4}, {lo, lo, hi, hi}},  // across the horizon
      {Of({1, 0, -1, 0, 1, 0, 0, 0, 4}), {0, 0, 4, 4}, {lo, lo, hi, hi}},  // w = 0 at a corner
  };
  for (const auto& c : cases)
    EXPECT_EQ(M_TransformBounds(c.m, c.in), c.out) << c.m[0] << " " << c.m[2] << " " << c.m[6];
}

TEST_F(MGeometryTest, FloatRectMustListCornersClockwiseFromTopLeftOrFail) {
  const M_Matrix3 m = Of({1, 0, 0, 0, 1, 0, 10, 20, 1});
  const double rect[4] = {1, 2, 3, 5};
  double quad[8];
  ASSERT_EQ(M_TransformFloatRect(&m, rect, quad, 0), U_ERR_NONE);
  const double expected[8] = {11, 22, 13, 22, 13, 25, 11, 25};
  for (int i = 0; i < 8; ++i) EXPECT_DOUBLE_EQ(quad[i], expected[i]);
  EXPECT_EQ(M_TransformFloatRect(nullptr, rect, quad, 0), U_ERR_BAD_PARAMETER);
  EXPECT_EQ(M_TransformFloatRect(&m, nullptr, quad, 0), U_ERR_BAD_PARAMETER);
  EXPECT_EQ(M_TransformFloatRect(&m, rect, nullptr, 0), U_ERR_BAD_PARAMETER);
  const M_Matrix3 horizon = Of({1, 0, -1, 0, 1, 0, 0, 0, 1});  // w = 0 at x = 1
  EXPECT_EQ(M_TransformFloatRect(&horizon, rect, quad, 0), U_ERR_BAD_PARAMETER);
  EXPECT_DOUBLE_EQ(quad[0], 11);  // a failed transform writes nothing
  const M_Vector2T<double> ccw[4] = {{0, 0}, {2, 0}, {2, 3}, {0, 3}};
  const M_Vector2T<double> cw[4] = {{0, 0}, {0, 3}, {2, 3}, {2, 0}};
  EXPECT_DOUBLE_EQ(M_SignedPolygonArea2D(ccw, 4), 6.0);
  EXPECT_DOUBLE_EQ(M_SignedPolygonArea2D(cw, 4), -6.0);
  EXPECT_DOUBLE_EQ(M_SignedPolygonArea2D(ccw, 3), 3.0);
  EXPECT_DOUBLE_EQ(M_SignedPolygonArea2D(ccw, 2), 0.0);
}

}  // namespace
