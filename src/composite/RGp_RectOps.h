// Rectangle arithmetic shared by the composite nodes. Rects are as the host
// defines them: right and bottom exclusive, empty when right <= left or
// bottom <= top. Intersection is plain component-wise and never normalised;
// a union ignores an empty operand.
#pragma once

#include <cstdint>
#include <limits>

#include "rghost/M_Geometry.h"

inline M_LRect RGp_Intersect(const M_LRect& a, const M_LRect& b) {
  M_LRect r;
  r.left = a.left > b.left ? a.left : b.left;
  r.top = a.top > b.top ? a.top : b.top;
  r.right = a.right < b.right ? a.right : b.right;
  r.bottom = a.bottom < b.bottom ? a.bottom : b.bottom;
  return r;
}

// Bounding rect of both; an empty operand contributes nothing, so the union
// of an empty rect with b is b itself.
inline M_LRect RGp_Union(const M_LRect& a, const M_LRect& b) {
  if (M_IsEmpty(a)) return b;
  if (M_IsEmpty(b)) return a;
  M_LRect r;
  r.left = a.left < b.left ? a.left : b.left;
  r.top = a.top < b.top ? a.top : b.top;
  r.right = a.right > b.right ? a.right : b.right;
  r.bottom = a.bottom > b.bottom ? a.bottom : b.bottom;
  return r;
}

// a contains b, compared as the rects stand (empty rects included).
inline bool RGp_Contains(const M_LRect& a, const M_LRect& b) {
  return a.left <= b.left && a.top <= b.top && a.right >= b.right && a.bottom >= b.bottom;
}

inline bool RGp_Overlap(const M_LRect& a, const M_LRect& b) {
  const int32_t l = a.left > b.left ? a.left : b.left;
  const int32_t r = a.right < b.right ? a.right : b.right;
  const int32_t t = a.top > b.top ? a.top : b.top;
  const int32_t bo = a.bottom < b.bottom ? a.bottom : b.bottom;
  return l < r && t < bo;
}

// One pixel more on every side; saturates at the 32-bit range so that
// unbounded content bounds stay representable.
inline M_LRect RGp_GrowByOne(const M_LRect& a) {
  constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
  constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
  M_LRect r;
  r.left = a.left == kMin ? kMin : a.left - 1;
  r.top = a.top == kMin ? kMin : a.top - 1;
  r.right = a.right == kMax ? kMax : a.right + 1;
  r.bottom = a.bottom == kMax ? kMax : a.bottom + 1;
  return r;
}

inline M_LRect RGp_Offset(const M_LRect& a, int64_t dx, int64_t dy) {
  M_LRect r;
  r.left = static_cast<int32_t>(static_cast<int64_t>(a.left) + dx);
  r.top = static_cast<int32_t>(static_cast<int64_t>(a.top) + dy);
  r.right = static_cast<int32_t>(static_cast<int64_t>(a.right) + dx);
  r.bottom = static_cast<int32_t>(static_cast<int64_t>(a.bottom) + dy);
  return r;
}
