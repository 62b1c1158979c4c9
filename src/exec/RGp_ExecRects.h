// Rectangle arithmetic of the execution passes. Rects are the host's: right
// and bottom exclusive, empty when right <= left or bottom <= top.
// Intersection is component-wise and never normalised; a union ignores an
// empty operand.
#pragma once

#include "rghost/M_Geometry.h"

inline M_LRect RGp_RectIntersect(const M_LRect& a, const M_LRect& b) {
  return M_LRect{a.left > b.left ? a.left : b.left, a.top > b.top ? a.top : b.top,
                 a.right < b.right ? a.right : b.right, a.bottom < b.bottom ? a.bottom : b.bottom};
}

inline M_LRect RGp_RectUnion(const M_LRect& a, const M_LRect& b) {
  if (M_IsEmpty(a)) return b;
  if (M_IsEmpty(b)) return a;
  return M_LRect{a.left < b.left ? a.left : b.left, a.top < b.top ? a.top : b.top,
                 a.right > b.right ? a.right : b.right, a.bottom > b.bottom ? a.bottom : b.bottom};
}

// `a` contains `b`, compared coordinate by coordinate (empty rects included).
inline bool RGp_RectContains(const M_LRect& a, const M_LRect& b) {
  return a.left <= b.left && a.right >= b.right && a.top <= b.top && a.bottom >= b.bottom;
}

// Equal, where any two empty rects count as equal.
inline bool RGp_RectSame(const M_LRect& a, const M_LRect& b) {
  const bool ea = M_IsEmpty(a);
  const bool eb = M_IsEmpty(b);
  return (ea && eb) || a == b;
}

// `r` in the pixel grid of a world whose top-left pixel lies at `base`'s
// top-left corner.
inline M_LRect RGp_RectRelativeTo(const M_LRect& r, const M_LRect& base) {
  return M_LRect{r.left - base.left, r.top - base.top, r.right - base.left, r.bottom - base.top};
}
