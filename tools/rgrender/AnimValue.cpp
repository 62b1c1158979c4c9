#include "AnimValue.h"

#include <algorithm>

AnimValue::AnimValue(std::vector<double> constant) { keys_.emplace_back(0.0, std::move(constant)); }

AnimValue::AnimValue(std::vector<std::pair<double, std::vector<double>>> keys)
    : keys_(std::move(keys)) {
  std::stable_sort(keys_.begin(), keys_.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
}

std::vector<double> AnimValue::At(double frame) const {
  if (keys_.empty()) return {};
  if (frame <= keys_.front().first) return keys_.front().second;
  if (frame >= keys_.back().first) return keys_.back().second;
  // First key after the frame; the one before it starts the segment.
  auto next = std::upper_bound(keys_.begin(), keys_.end(), frame,
                               [](double f, const auto& key) { return f < key.first; });
  auto prev = next - 1;
  const double span = next->first - prev->first;
  const double u = span > 0 ? (frame - prev->first) / span : 0.0;
  std::vector<double> out(prev->second.size());
  for (size_t i = 0; i < out.size(); ++i)
    out[i] = prev->second[i] + (next->second[i] - prev->second[i]) * u;
  return out;
}
