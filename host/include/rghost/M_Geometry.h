// The host's math library: integer and float rectangles, 3x3 matrices and
// the few geometric routines the render-graph library needs.
#pragma once

#include <cstdint>

// Rectangle of signed 32-bit coordinates. Right and bottom are exclusive; the
// rect is empty when right <= left or bottom <= top.
struct M_LRect {
  int32_t left = 0;
  int32_t top = 0;
  int32_t right = 0;
  int32_t bottom = 0;
};

// Rectangle of signed 16-bit coordinates, in the order top, left, bottom, right.
struct M_Rect {
  int16_t top = 0;
  int16_t left = 0;
  int16_t bottom = 0;
  int16_t right = 0;
};

template <class T>
struct M_Vector2T {
  T x{};
  T y{};
};

// 3x3 matrix of doubles in row order. Points are rows (x, y, 1), so a point p
// maps to p * M and the translation sits in elements 6 (x) and 7 (y).
struct M_Matrix3 {
  double m[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};

  double& operator[](int i) { return m[i]; }
  double operator[](int i) const { return m[i]; }

  void SetIdentity();
  // this = this * T(dx, dy): the translation applies after what this does.
  void Translate(double dx, double dy);
  // this = this * other: other applies after what this does.
  M_Matrix3& operator*=(const M_Matrix3& other);
  bool IsIdentityWithinEpsilon(double eps) const;
  // Inverts in place and returns false; returns true (and leaves the matrix
  // unchanged) when it is singular. The inverse of an affine matrix comes out
  // exactly affine (last column 0, 0, 1), so the resampler keeps its affine
  // path for it.
  bool InvertQuiet();
  double Determinant() const;
  // Maps (x, y) through the matrix with the projective divide. Returns false
  // when the point maps to infinity (w == 0).
  bool TransformPoint(double x, double y, double* outX, double* outY) const;
};

// The smallest integer rect enclosing the image of `rect`; (0, 0, 0, 0) for
// an empty rect. Coordinates are clamped to the 32-bit range.
M_LRect M_TransformBounds(const M_Matrix3& matrix, const M_LRect& rect);

// The smallest integer rect enclosing [left, right] x [top, bottom], each
// coordinate clamped to the 32-bit range (NaN to 0).
M_LRect M_EnclosingRect(double left, double top, double right, double bottom);

// Images of (l, t), (r, t), (r, b), (l, b) of the rect {l, t, r, b}, written
// to quad as x0, y0, x1, y1, ... Returns 0, or U_ERR_BAD_PARAMETER for a null
// argument or a point that maps to infinity.
long M_TransformFloatRect(const M_Matrix3* matrix, const double rect[4], double quad[8],
                          long flags);

// Signed area of the polygon (positive when counter-clockwise in a y-up frame).
double M_SignedPolygonArea2D(const M_Vector2T<double>* points, long count);

// Version handshake of the math library (version 18).
long M_CheckVersions(long location, long version);

// The rectangle algebra of the host, the library and its tools. An
// intersection is component-wise and never normalised (an empty result keeps
// its coordinates); a union ignores an empty operand.
inline bool M_IsEmpty(const M_LRect& r) { return r.right <= r.left || r.bottom <= r.top; }
inline bool operator==(const M_LRect& a, const M_LRect& b) {
  return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}
inline bool operator!=(const M_LRect& a, const M_LRect& b) { return !(a == b); }

inline M_LRect M_Intersect(const M_LRect& a, const M_LRect& b) {
  return M_LRect{a.left > b.left ? a.left : b.left, a.top > b.top ? a.top : b.top,
                 a.right < b.right ? a.right : b.right, a.bottom < b.bottom ? a.bottom : b.bottom};
}

inline M_LRect M_Union(const M_LRect& a, const M_LRect& b) {
  if (M_IsEmpty(a)) return b;
  if (M_IsEmpty(b)) return a;
  return M_LRect{a.left < b.left ? a.left : b.left, a.top < b.top ? a.top : b.top,
                 a.right > b.right ? a.right : b.right, a.bottom > b.bottom ? a.bottom : b.bottom};
}

// `a` contains `b`, compared coordinate by coordinate (empty rects included).
inline bool M_Contains(const M_LRect& a, const M_LRect& b) {
  return a.left <= b.left && a.top <= b.top && a.right >= b.right && a.bottom >= b.bottom;
}

inline bool M_Overlaps(const M_LRect& a, const M_LRect& b) { return !M_IsEmpty(M_Intersect(a, b)); }

// Equal, where any two empty rects count as equal.
inline bool M_SameArea(const M_LRect& a, const M_LRect& b) {
  const bool ea = M_IsEmpty(a);
  const bool eb = M_IsEmpty(b);
  return (ea && eb) || (!ea && !eb && a == b);
}

// `r` moved by (dx, dy); coordinates wrap to 32 bits as the host's do.
inline M_LRect M_Offset(const M_LRect& r, int64_t dx, int64_t dy) {
  return M_LRect{static_cast<int32_t>(r.left + dx), static_cast<int32_t>(r.top + dy),
                 static_cast<int32_t>(r.right + dx), static_cast<int32_t>(r.bottom + dy)};
}

// `r` in the pixel grid of a world whose top-left pixel lies at `base`'s
// top-left corner.
inline M_LRect M_RelativeTo(const M_LRect& r, const M_LRect& base) {
  return M_Offset(r, -static_cast<int64_t>(base.left), -static_cast<int64_t>(base.top));
}

// `by` pixels more on every side (fewer when negative), saturating at the
// 32-bit range so that unbounded content bounds stay representable.
inline M_LRect M_Grow(const M_LRect& r, int32_t by) {
  const auto clamp = [](int64_t v) {
    return static_cast<int32_t>(v < INT32_MIN ? INT32_MIN : (v > INT32_MAX ? INT32_MAX : v));
  };
  return M_LRect{clamp(int64_t{r.left} - by), clamp(int64_t{r.top} - by),
                 clamp(int64_t{r.right} + by), clamp(int64_t{r.bottom} + by)};
}
