// Matrices, rect transforms and polygon area.
#include "rghost/M_Geometry.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <limits>

#include "U_Fallible.h"
#include "rghost/U_Errors.h"
#include "rghost/U_Report.h"

namespace {

constexpr long kMathVersion = 18;
constexpr double kIdentity[] = {1, 0, 0, 0, 1, 0, 0, 0, 1};

// out = a * b (out may alias neither).
void Multiply(const double (&a)[9], const double (&b)[9], double (&out)[9]) {
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c)
      out[r * 3 + c] = a[r * 3] * b[c] + a[r * 3 + 1] * b[3 + c] + a[r * 3 + 2] * b[6 + c];
}

int32_t ClampToInt32(double v) {
  if (std::isnan(v)) return 0;
  constexpr double lo = std::numeric_limits<int32_t>::min();
  constexpr double hi = std::numeric_limits<int32_t>::max();
  return static_cast<int32_t>(std::clamp(v, lo, hi));
}

}  // namespace

void M_Matrix3::SetIdentity() { std::copy(kIdentity, kIdentity + 9, m); }

void M_Matrix3::Translate(double dx, double dy) {
  // Post-multiplying by a pure translation adds dx, dy times each row's w
  // column to that row's x and y columns.
  for (int r = 0; r < 3; ++r) {
    m[r * 3] += m[r * 3 + 2] * dx;
    m[r * 3 + 1] += m[r * 3 + 2] * dy;
  }
}

M_Matrix3& M_Matrix3::operator*=(const M_Matrix3& other) {
  double out[9];
  Multiply(m, other.m, out);
  std::copy(std::begin(out), std::end(out), m);
  return *this;
}

bool M_Matrix3::IsIdentityWithinEpsilon(double eps) const {
  return std::equal(std::begin(m), std::end(m), std::begin(kIdentity),
                    [eps](double a, double b) { return std::fabs(a - b) <= eps; });
}

double M_Matrix3::Determinant() const {
  return m[0] * (m[4] * m[8] - m[5] * m[7]) - m[1] * (m[3] * m[8] - m[5] * m[6]) +
         m[2] * (m[3] * m[7] - m[4] * m[6]);
}

bool M_Matrix3::InvertQuiet() {
  const double det = Determinant();
  if (det == 0.0 || !std::isfinite(det)) return true;
  double inv[] = {m[4] * m[8] - m[5] * m[7], m[2] * m[7] - m[1] * m[8], m[1] * m[5] - m[2] * m[4],
                  m[5] * m[6] - m[3] * m[8], m[0] * m[8] - m[2] * m[6], m[2] * m[3] - m[0] * m[5],
                  m[3] * m[7] - m[4] * m[6], m[1] * m[6] - m[0] * m[7], m[0] * m[4] - m[1] * m[3]};
  for (double& v : inv) {
    v /= det;
    // A determinant that underflows the division leaves the matrix as it was.
    if (!std::isfinite(v)) return true;
  }
  std::copy(std::begin(inv), std::end(inv), m);
  return false;
}

bool M_Matrix3::TransformPoint(double x, double y, double* outX, double* outY) const {
  const double w = x * m[2] + y * m[5] + m[8];
  if (w == 0.0 || !std::isfinite(w)) return false;
  const double px = (x * m[0] + y * m[3] + m[6]) / w;
  const double py = (x * m[1] + y * m[4] + m[7]) / w;
  if (outX) *outX = px;
  if (outY) *outY = py;
  return true;
}

M_LRect M_TransformBounds(const M_Matrix3& matrix, const M_LRect& rect) {
  if (M_IsEmpty(rect)) return M_LRect{};
  const double xs[] = {double(rect.left), double(rect.right), double(rect.right),
                       double(rect.left)};
  const double ys[] = {double(rect.top), double(rect.top), double(rect.bottom),
                       double(rect.bottom)};
  constexpr M_LRect kEverything = {
      std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::min(),
      std::numeric_limits<int32_t>::max(), std::numeric_limits<int32_t>::max()};
  double minX = HUGE_VAL, minY = HUGE_VAL, maxX = -HUGE_VAL, maxY = -HUGE_VAL;
  int positiveW = 0;
  for (int i = 0; i < 4; ++i) {
    double x, y;
    if (!matrix.TransformPoint(xs[i], ys[i], &x, &y)) return kEverything;
    if (std::isnan(x) || std::isnan(y)) return kEverything;
    if (xs[i] * matrix[2] + ys[i] * matrix[5] + matrix[8] > 0) ++positiveW;
    minX = std::min(minX, x);
    maxX = std::max(maxX, x);
    minY = std::min(minY, y);
    maxY = std::max(maxY, y);
  }
  // Corners on both sides of the horizon: the image is unbounded.
  if (positiveW != 0 && positiveW != 4) return kEverything;
  return M_EnclosingRect(minX, minY, maxX, maxY);
}

M_LRect M_EnclosingRect(double left, double top, double right, double bottom) {
  return M_LRect{ClampToInt32(std::floor(left)), ClampToInt32(std::floor(top)),
                 ClampToInt32(std::ceil(right)), ClampToInt32(std::ceil(bottom))};
}

long M_TransformFloatRect(const M_Matrix3* matrix, const double rect[4], double quad[8],
                          long /*flags*/) {
  if (!matrix || !rect || !quad) return U_ERR_BAD_PARAMETER;
  const double xs[] = {rect[0], rect[2], rect[2], rect[0]};
  const double ys[] = {rect[1], rect[1], rect[3], rect[3]};
  double out[8];
  for (int i = 0; i < 4; ++i)
    if (!matrix->TransformPoint(xs[i], ys[i], &out[2 * i], &out[2 * i + 1]))
      return U_ERR_BAD_PARAMETER;
  std::copy(std::begin(out), std::end(out), quad);
  return U_ERR_NONE;
}

double M_SignedPolygonArea2D(const M_Vector2T<double>* points, long count) {
  if (!points || count < 3) return 0.0;
  double twice = 0.0;
  for (long i = 0; i < count; ++i) {
    const M_Vector2T<double>& a = points[i];
    const M_Vector2T<double>& b = points[(i + 1) % count];
    twice += a.x * b.y - b.x * a.y;
  }
  return twice / 2.0;
}

long M_CheckVersions(long location, long version) {
  return Uh_CheckVersion(location, version, kMathVersion, "Math");
}
