// The checkout list of one invocation: borrowed pointers in a sequence that
// keeps its first few elements inside the invocation and moves to the
// ordinary heap only when a node makes more checkouts than that. Most nodes
// make an input checkout or two and an output, so most invocations never
// allocate for their list.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>

class RG_CheckoutResult;

class RGp_CheckoutList {
 public:
  using value_type = RG_CheckoutResult*;
  using iterator = value_type*;
  using const_iterator = value_type const*;

  RGp_CheckoutList() = default;
  RGp_CheckoutList(const RGp_CheckoutList&) = delete;
  RGp_CheckoutList& operator=(const RGp_CheckoutList&) = delete;
  ~RGp_CheckoutList() {
    if (data_ != inline_) ::operator delete(data_);
  }

  iterator begin() { return data_; }
  iterator end() { return data_ + size_; }
  const_iterator begin() const { return data_; }
  const_iterator end() const { return data_ + size_; }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  value_type& operator[](size_t i) { return data_[i]; }
  value_type operator[](size_t i) const { return data_[i]; }
  value_type back() const { return data_[size_ - 1]; }
  // Keeps the storage, so refilling up to the old size cannot throw.
  void clear() { size_ = 0; }

  // Appends; throws std::bad_alloc (list unchanged) only when it must grow
  // beyond its current capacity.
  void push_back(value_type v) {
    if (size_ == capacity_) Grow();
    data_[size_++] = v;
  }
  iterator insert(const_iterator pos, value_type v) {
    const size_t at = static_cast<size_t>(pos - data_);
    if (size_ == capacity_) Grow();
    std::copy_backward(data_ + at, data_ + size_, data_ + size_ + 1);
    data_[at] = v;
    ++size_;
    return data_ + at;
  }
  iterator erase(const_iterator pos) {
    const size_t at = static_cast<size_t>(pos - data_);
    std::copy(data_ + at + 1, data_ + size_, data_ + at);
    --size_;
    return data_ + at;
  }

 private:
  static constexpr size_t kInline = 4;

  void Grow() {
    const size_t capacity = capacity_ * 2;
    auto* grown = static_cast<value_type*>(::operator new(capacity * sizeof(value_type)));
    std::memcpy(grown, data_, size_ * sizeof(value_type));
    if (data_ != inline_) ::operator delete(data_);
    data_ = grown;
    capacity_ = capacity;
  }

  value_type inline_[kInline];
  value_type* data_ = inline_;
  size_t size_ = 0;
  size_t capacity_ = kInline;
};
