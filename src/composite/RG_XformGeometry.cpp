// The transform node's geometry: where the source lands (forward and inverse
// bounds), what of the destination it leaves uncovered, and whether it covers
// a rect, apart from the render.
#include <array>
#include <cmath>
#include <cstdint>

#include "composite/RGp_MatrixArray.h"
#include "composite/RGp_PlacedTransfer.h"
#include "frame/RGp_Errors.h"
#include "rg/RG_CheckoutResult.h"
#include "rg/RG_CompositeNode.h"
#include "rg/RG_NodeCallbacks.h"
#include "rg/RG_XformNode.h"
#include "rghost/M_Geometry.h"
#include "rghost/PF_Transfer.h"
#include "rghost/PF_World.h"
#include "rghost/U_Errors.h"

namespace {

using Point = M_Vector2T<double>;

// Sutherland-Hodgman against one edge of a quad yields at most twice the
// corners of a rectangle.
constexpr long kMaxClipPoints = 8;

void TransformFloatRectOrThrow(const M_Matrix3& matrix, const double (&rect)[4],
                               double (&quad)[8]) {
  const long status = M_TransformFloatRect(&matrix, rect, quad, 0);
  if (status != 0) throw status;
}

// Corners of a rect in the order the host's quads use: (l, t), (r, t),
// (r, b), (l, b).
std::array<Point, 4> RectCorners(const M_LRect& r) {
  const double l = r.left, t = r.top, rt = r.right, b = r.bottom;
  return {{{l, t}, {rt, t}, {rt, b}, {l, b}}};
}

}  // namespace

M_LRect RG_XformNode::ForwardBounds(const M_LRect& rect) const {
  M_LRect acc;
  for (int32_t i = 0; i < count_; ++i) {
    const M_LRect b = M_TransformBounds(matrices_[i], rect);
    if (!M_IsEmpty(b)) acc = M_Union(acc, b);
  }
  return acc;
}

M_LRect RG_XformNode::InverseBounds(const M_LRect& rect) const {
  M_LRect acc;
  for (int32_t i = 0; i < count_; ++i) {
    M_Matrix3 inverse = matrices_[i];
    if (inverse.InvertQuiet()) continue;  // singular: places nothing
    const M_LRect b = M_TransformBounds(inverse, rect);
    if (!M_IsEmpty(b)) acc = M_Union(acc, b);
  }
  return acc;
}

M_LRect RG_XformNode::GetSrcContentBounds(RG_ContentBoundsType type) const {
  M_LRect b = GetInput(0)->GetContentBounds(type);
  if (M_IsEmpty(b) || SrcHasIdentityTransform()) return b;
  if (quality_ == 1) b = M_Grow(b, 1);
  return ForwardBounds(b);
}

M_LRect RG_XformNode::VisibleDestRect(const M_LRect& srcRect, const M_LRect& destRect) const {
  // Without matrices the source is placed unchanged.
  if (count_ == 0) return RectMinus(destRect, srcRect);
  M_LRect acc;
  for (int32_t i = 0; i < count_; ++i) {
    const M_LRect u = UncoveredRect(destRect, srcRect, matrices_[i]);
    if (M_IsEmpty(u) && M_IsEmpty(destRect)) return destRect;
    if (u == destRect) return destRect;
    if (!M_IsEmpty(u)) acc = M_Union(acc, u);
  }
  return acc;
}

M_LRect RG_XformNode::UncoveredRect(const M_LRect& destRect, const M_LRect& srcRect,
                                    const M_Matrix3& matrix) {
  // The source's pixel centres bound what it really covers once placed.
  const double inset[] = {srcRect.left + 0.5, srcRect.top + 0.5, srcRect.right - 0.5,
                          srcRect.bottom - 0.5};
  double quadCoords[8];
  TransformFloatRectOrThrow(matrix, inset, quadCoords);
  Point quad[4];
  for (int i = 0; i < 4; ++i) quad[i] = {quadCoords[2 * i], quadCoords[2 * i + 1]};

  const std::array<Point, 4> dest = RectCorners(destRect);

  // The quad's winding follows the sign of the determinant; clipping keeps
  // the part of the destination on the outer side of each edge. A singular
  // matrix collapses the quad onto a line whose edges run both ways, so
  // either side keeps the whole destination.
  const double side = std::signbit(matrix.Determinant()) ? 1.0 : -1.0;

  bool seen = false;
  double minX = 0, minY = 0, maxX = 0, maxY = 0;
  for (int i = 0; i < 4; ++i) {
    Point clipped[kMaxClipPoints];
    const long n = ClipPolygonToEdge(dest.data(), static_cast<long>(dest.size()), quad[i],
                                     quad[(i + 1) % 4], side, clipped);
    if (!(std::fabs(M_SignedPolygonArea2D(clipped, n)) > 1e-12)) continue;
    for (long k = 0; k < n; ++k) {
      const Point& p = clipped[k];
      if (!seen) {
        minX = maxX = p.x;
        minY = maxY = p.y;
        seen = true;
      } else {
        minX = std::fmin(minX, p.x);
        minY = std::fmin(minY, p.y);
        maxX = std::fmax(maxX, p.x);
        maxY = std::fmax(maxY, p.y);
      }
    }
  }
  if (!seen) return M_LRect{};
  return M_EnclosingRect(minX, minY, maxX, maxY);
}

long RG_XformNode::ClipPolygonToEdge(const M_Vector2T<double>* points, long count,
                                     const M_Vector2T<double>& a, const M_Vector2T<double>& b,
                                     double side, M_Vector2T<double>* out) {
  if (count < 3) return 0;
  auto inside = [&](const Point& p) {
    return side * ((b.x - a.x) * (p.y - b.y) - (b.y - a.y) * (p.x - b.x)) >= 0;
  };
  auto intersect = [&](const Point& p1, const Point& p2) {
    const double d = (a.x - b.x) * (p2.y - p1.y) - (a.y - b.y) * (p2.x - p1.x);
    if (d > -1e-12 && d < 1e-12) return p1;
    const double t = ((p1.x - a.x) * (a.y - b.y) - (p1.y - a.y) * (a.x - b.x)) / d;
    return Point{p1.x + t * (p2.x - p1.x), p1.y + t * (p2.y - p1.y)};
  };
  long n = 0;
  Point prev = points[count - 1];
  bool prevInside = inside(prev);
  for (long i = 0; i < count; ++i) {
    const Point& p = points[i];
    const bool pInside = inside(p);
    if (pInside != prevInside) out[n++] = intersect(prev, p);
    if (pInside) out[n++] = p;
    prev = p;
    prevInside = pInside;
  }
  return n;
}

bool RG_XformNode::PointInQuad(const M_Vector2T<double>& p, const double quad[8]) {
  bool allNonPositive = true;
  bool allNonNegative = true;
  for (int i = 0; i < 4; ++i) {
    const int j = (i + 1) % 4;
    const double x0 = quad[2 * i], y0 = quad[2 * i + 1];
    const double x1 = quad[2 * j], y1 = quad[2 * j + 1];
    const double cross = (x1 - x0) * (p.y - y1) - (y1 - y0) * (p.x - x1);
    // Written so that a NaN cross product (a quad placed by a degenerate
    // matrix) fails both tests: such a quad covers nothing.
    if (!(cross <= 0)) allNonPositive = false;
    if (!(cross >= 0)) allNonNegative = false;
  }
  return allNonPositive || allNonNegative;
}

bool RG_XformNode::RectCoveredBySrc(const M_LRect& srcRect, const M_LRect& rect) const {
  if (count_ == 0) return M_Contains(srcRect, rect);
  const double src[] = {static_cast<double>(srcRect.left), static_cast<double>(srcRect.top),
                        static_cast<double>(srcRect.right), static_cast<double>(srcRect.bottom)};
  const std::array<Point, 4> corners = RectCorners(rect);
  for (int32_t i = 0; i < count_; ++i) {
    double quad[8];
    TransformFloatRectOrThrow(matrices_[i], src, quad);
    for (const Point& c : corners) {
      if (!PointInQuad(c, quad)) return false;
    }
  }
  return true;
}
