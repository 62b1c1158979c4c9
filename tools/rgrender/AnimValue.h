// A scene parameter that may change over frames: a fixed vector of numbers,
// or keyframes (frame, vector) interpolated linearly and held constant
// before the first and after the last key.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

class AnimValue {
 public:
  AnimValue() = default;
  explicit AnimValue(std::vector<double> constant);
  // Keys in any order; every value has the same size. At least one key.
  explicit AnimValue(std::vector<std::pair<double, std::vector<double>>> keys);

  std::vector<double> At(double frame) const;
  double ScalarAt(double frame) const { return At(frame).at(0); }
  bool IsAnimated() const { return keys_.size() > 1; }
  size_t Size() const { return keys_.empty() ? 0 : keys_.front().second.size(); }
  bool Empty() const { return keys_.empty(); }

 private:
  std::vector<std::pair<double, std::vector<double>>> keys_;  // sorted by frame
};
