// Matrix arrays of the transform node. They are allocated through the host's
// purge-and-retry loop (so a failed allocation first lets the host free
// caches) and accounted with U_AccountAllocationEx, 72 bytes per matrix.
#pragma once

#include <cstddef>

#include "rghost/M_Geometry.h"

// Allocates `count` identity matrices (count > 0) and accounts them. Throws
// the host's status as a `long` when the allocation fails, with nothing
// allocated or accounted.
M_Matrix3* RGp_AllocMatrices(long count);
// Frees an array from RGp_AllocMatrices and takes it off the accounting.
// Null is allowed (nothing happens).
void RGp_FreeMatrices(M_Matrix3* matrices, long count) noexcept;

// Owns one such array for the length of a scope.
class RGp_MatrixArray {
 public:
  explicit RGp_MatrixArray(long count)
      : count_(count), matrices_(count > 0 ? RGp_AllocMatrices(count) : nullptr) {}
  ~RGp_MatrixArray() { RGp_FreeMatrices(matrices_, count_); }
  RGp_MatrixArray(const RGp_MatrixArray&) = delete;
  RGp_MatrixArray& operator=(const RGp_MatrixArray&) = delete;

  M_Matrix3* Get() const { return matrices_; }
  M_Matrix3& operator[](long i) const { return matrices_[i]; }

 private:
  long count_;
  M_Matrix3* matrices_;  // owned
};
