// Helpers for the composite tests, over the shared nodes of support/.
#pragma once

#include "rghost/PF_Transfer.h"
#include "support/ProofNodes.h"
#include "support/TestNodes.h"

namespace composite_test {

inline M_LRect Rect(int32_t l, int32_t t, int32_t r, int32_t b) { return M_LRect{l, t, r, b}; }

inline M_Matrix3 Translation(double dx, double dy) {
  M_Matrix3 m;
  m[6] = dx;
  m[7] = dy;
  return m;
}

inline PF_CompositeModePlus Mode(int32_t transfer_mode, float opacity = 1.0f) {
  PF_CompositeModePlus m;
  m.transfer_mode = transfer_mode;
  m.opacity = opacity;
  return m;
}

}  // namespace composite_test
