// Matrices: composition order, inversion, bounds of transformed rects, areas.
#include <cmath>
#include <limits>

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
const int32_t kLo = std::numeric_limits<int32_t>::min(), kHi = std::numeric_limits<int32_t>::max();

TEST_F(MGeometryTest, TranslateAndProductMustApplyAfterWhatIsThereAndDivideByW) {
  const M_Matrix3 m = Of({1.7, 1.0, 0.01, -0.25, 0.43, -0.02, 5, -3, 1});
  M_Matrix3 composed = m;
  composed.SetIdentity();
  composed.Translate(7, -2);
  composed *= m;
  composed.Translate(-4, 9);
  for (double x : {-3.0, 11.5})
    for (double y : {-8.0, 40.0}) {
      double ex, ey, gx, gy;
      ASSERT_TRUE(m.TransformPoint(x + 7, y - 2, &ex, &ey) &&
                  composed.TransformPoint(x, y, &gx, &gy));
      EXPECT_NEAR(gx, ex - 4, 1e-9);
      EXPECT_NEAR(gy, ey + 9, 1e-9);
    }
  const M_Matrix3 p = Of({1, 0, 0.5, 0, 1, 0, 0, 0, 1});  // w = 0.5 x + 1
  double x, y;
  ASSERT_TRUE(p.TransformPoint(2, 4, &x, &y));
  EXPECT_EQ(x, 1.0);
  EXPECT_EQ(y, 2.0);
  EXPECT_FALSE(p.TransformPoint(-2, 0, &x, &y));
}

// Every element of the inverse: M * inverse and inverse * M are the identity,
// element by element, for projective and affine matrices with no zero
// element where it matters; an affine inverse is exactly affine. A
// singular matrix, or one whose inverse overflows, stays as it was.
TEST_F(MGeometryTest, InverseMustGetEveryElementRightAndLeaveSingularMatricesAlone) {
  const M_Matrix3 invertible[] = {Of({3.1, -0.7, 0.002, 0.4, 2.3, -0.003, 5.5, -3.2, 1.7}),
                                  Of({-0.2, 1.9, 0.5, 1.1, 0.3, -0.8, 0.7, -1.3, 2.6}),
                                  Of({1.7, 0.3, 0, -0.2, 0.9, 0, 4, 6, 1})};
  for (const M_Matrix3& given : invertible) {
    M_Matrix3 inv = given;
    ASSERT_FALSE(inv.InvertQuiet()) << given[0];
    M_Matrix3 left = given, right = inv;
    left *= inv;
    right *= given;
    for (int i = 0; i < 9; ++i) {
      EXPECT_NEAR(left[i], i % 4 == 0, 1e-12) << "M * inverse of " << given[0] << ", " << i;
      EXPECT_NEAR(right[i], i % 4 == 0, 1e-12) << "inverse * M of " << given[0] << ", " << i;
    }
    EXPECT_NEAR(inv.Determinant() * given.Determinant(), 1.0, 1e-12) << given[0];
    if (given[2] == 0 && given[5] == 0) {
      EXPECT_TRUE(inv[2] == 0 && inv[5] == 0 && inv[8] == 1);
    }
  }
  EXPECT_DOUBLE_EQ(invertible[2].Determinant(), 1.7 * 0.9 + 0.3 * 0.2);
  M_Matrix3 nearIdentity = Of({1, 0, 0, 0, 1, 0, 0, 0, 1 + 1e-9});
  EXPECT_TRUE(nearIdentity.IsIdentityWithinEpsilon(1e-8));
  EXPECT_FALSE(nearIdentity.IsIdentityWithinEpsilon(1e-10));
  const double inf = std::numeric_limits<double>::infinity();
  for (const M_Matrix3& bad : {Of({2, 4, 0, 1, 2, 0, 0, 0, 1}),       // parallel rows
                               Of({1, 2, 3, 4, 5, 6, 7, 8, 9}),       // rows in progression
                               Of({1e-310, 0, 0, 0, 1, 0, 0, 0, 1}),  // 1 / 1e-310 overflows
                               Of({inf, 0, 0, 0, 1, 0, 0, 0, 1})}) {
    M_Matrix3 m = bad;
    EXPECT_TRUE(m.InvertQuiet()) << bad[0];
    for (int i = 0; i < 9; ++i) EXPECT_EQ(m[i], bad[i]) << bad[0] << " element " << i;
  }
}

TEST_F(MGeometryTest, RectAlgebraMustKeepEmptyCoordinatesAndSkipEmptyOperands) {
  const M_LRect a{0, 0, 10, 10}, b{5, -5, 20, 5}, empty{7, 7, 7, 9};
  EXPECT_EQ(M_Intersect(a, b), (M_LRect{5, 0, 10, 5}));
  EXPECT_EQ(M_Intersect(a, M_LRect{30, 30, 40, 40}), (M_LRect{30, 30, 10, 10}));
  EXPECT_EQ(M_Union(a, b), (M_LRect{0, -5, 20, 10}));
  EXPECT_EQ(M_Union(empty, b), b);
  EXPECT_EQ(M_Union(a, empty), a);
  EXPECT_TRUE(M_Contains(a, a) && !M_Contains(a, M_LRect{0, 0, 10, 11}));
  EXPECT_TRUE(M_Overlaps(a, b) && !M_Overlaps(a, M_LRect{10, 0, 12, 10}));  // touching edges
  EXPECT_TRUE(M_SameArea(empty, M_LRect{}) && !M_SameArea(a, M_LRect{0, 0, 10, 9}));
  EXPECT_EQ(M_RelativeTo(a, b), (M_LRect{-5, 5, 5, 15}));
  EXPECT_EQ(M_Grow(a, -2), (M_LRect{2, 2, 8, 8}));
  EXPECT_EQ(M_Grow(M_LRect{kLo + 1, 0, kHi, 1}, 3), (M_LRect{kLo, -3, kHi, 4}));
}

TEST_F(MGeometryTest, TransformedBoundsMustEncloseEveryCornerAndClampToInt32) {
  const struct {
    M_Matrix3 m;
    M_LRect in, out;
  } cases[] = {
      {Of({1, 0, 0, 0, 1, 0, 0.5, -0.25, 1}), {0, 0, 10, 4}, {0, -1, 11, 4}},
      {Of({1, 0, 0, 0, 1, 0, 3, -7, 1}), {1, 2, 5, 6}, {4, -5, 8, -1}},
      {Of({0, 1, 0, -1, 0, 0, 0, 0, 1}), {0, 0, 10, 4}, {-4, 0, 0, 10}},  // (x, y) -> (-y, x)
      {Of({-1, 0, 0, 0, -1, 0, 0, 0, 1}), {1, 2, 5, 7}, {-5, -7, -1, -2}},
      {Of({1, 0, 0, 0, 1, 0, 3, -7, 1}), {5, 5, 5, 9}, {0, 0, 0, 0}},
      {Of({1e12, 0, 0, 0, 1e12, 0, 0, 0, 1}), {-1, -1, 1, 1}, {kLo, kLo, kHi, kHi}},
      {Of({1, 0, 0.5, 0, 1, 0, 0, 0, 1}), {0, 0, 2, 2}, {0, 0, 1, 2}},         // w = 0.5 x + 1
      {Of({1, 0, -1, 0, 1, 0, 0, 0, 1}), {0, 0, 4, 4}, {kLo, kLo, kHi, kHi}},  // across the horizon
      {Of({1, 0, -1, 0, 1, 0, 0, 0, 4}), {0, 0, 4, 4}, {kLo, kLo, kHi, kHi}},  // w = 0 at a corner
  };
  for (const auto& c : cases)
    EXPECT_EQ(M_TransformBounds(c.m, c.in), c.out) << c.m[0] << " " << c.m[2] << " " << c.m[6];
}

TEST_F(MGeometryTest, FloatRectMustListCornersClockwiseFromTopLeftOrFailWritingNothing) {
  const M_Matrix3 m = Of({1, 0, 0, 0, 1, 0, 10, 20, 1});
  const M_Matrix3 horizon = Of({1, 0, -1, 0, 1, 0, 0, 0, 1});  // w = 0 at x = 1
  const double rect[4] = {1, 2, 3, 5}, expected[8] = {11, 22, 13, 22, 13, 25, 11, 25};
  double quad[8];
  ASSERT_EQ(M_TransformFloatRect(&m, rect, quad, 0), U_ERR_NONE);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(quad[i], expected[i]) << i;
  EXPECT_EQ(M_TransformFloatRect(nullptr, rect, quad, 0), U_ERR_BAD_PARAMETER);
  EXPECT_EQ(M_TransformFloatRect(&m, nullptr, quad, 0), U_ERR_BAD_PARAMETER);
  EXPECT_EQ(M_TransformFloatRect(&m, rect, nullptr, 0), U_ERR_BAD_PARAMETER);
  EXPECT_EQ(M_TransformFloatRect(&horizon, rect, quad, 0), U_ERR_BAD_PARAMETER);
  EXPECT_EQ(quad[0], 11);
  const M_Vector2T<double> ccw[4] = {{0, 0}, {2, 0}, {2, 3}, {0, 3}};
  const M_Vector2T<double> cw[4] = {{0, 0}, {0, 3}, {2, 3}, {2, 0}};
  EXPECT_EQ(M_SignedPolygonArea2D(ccw, 4), 6.0);
  EXPECT_EQ(M_SignedPolygonArea2D(cw, 4), -6.0);
  EXPECT_EQ(M_SignedPolygonArea2D(ccw, 3), 3.0);
  EXPECT_EQ(M_SignedPolygonArea2D(ccw, 2), 0.0);
}

}  // namespace
