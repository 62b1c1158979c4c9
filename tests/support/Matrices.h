// Placement matrices for the tests of the host, the composite nodes and the
// random-graph proof.
#pragma once

#include "rghost/M_Geometry.h"

// x' = a x + c y + tx, y' = b x + d y + ty.
inline M_Matrix3 ProofAffine(double a, double b, double c, double d, double tx = 0, double ty = 0) {
  M_Matrix3 m;
  m[0] = a, m[1] = b, m[3] = c, m[4] = d, m[6] = tx, m[7] = ty;
  return m;
}
inline M_Matrix3 ProofShift(double dx, double dy) { return ProofAffine(1, 0, 0, 1, dx, dy); }
