// Intrusive reference counting for render nodes.
//
// U_SharedPtrBase holds the count (0 after construction); U_SharedPtr adds one
// for a non-null target and removes it when destroyed or reassigned, deleting
// the target through its virtual destructor when the count reaches 0. Counts
// are not atomic: a graph is built, run and destroyed by one thread at a time.
#pragma once

#include <cstdint>
#include <utility>

#include "rg/RG_Export.h"

class RG_API U_SharedPtrBase {
 public:
  U_SharedPtrBase() = default;
  U_SharedPtrBase(const U_SharedPtrBase&) : ref_count_(0) {}
  U_SharedPtrBase& operator=(const U_SharedPtrBase&) { return *this; }
  // Out of line: the library owns the vtable, and callers never see an
  // inline deleting destructor that pairs the global delete with a node's
  // class-level new.
  virtual ~U_SharedPtrBase();

  int32_t GetRefCount() const { return ref_count_; }
  void AddReference() const { ++ref_count_; }
  // Removes one reference and deletes the object when none is left.
  void RemoveReference() const {
    if (--ref_count_ == 0) delete this;
  }

 private:
  mutable int32_t ref_count_ = 0;
};

template <class T>
class U_SharedPtr {
 public:
  U_SharedPtr() = default;
  U_SharedPtr(T* p) : p_(p) {  // NOLINT: implicit like a raw pointer
    if (p_) p_->AddReference();
  }
  U_SharedPtr(const U_SharedPtr& other) : U_SharedPtr(other.p_) {}
  U_SharedPtr(U_SharedPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  template <class U>
  U_SharedPtr(const U_SharedPtr<U>& other) : U_SharedPtr(other.get()) {}
  ~U_SharedPtr() {
    if (p_) p_->RemoveReference();
  }
  U_SharedPtr& operator=(const U_SharedPtr& other) {
    // The new target is counted first, so self-assignment is safe.
    if (other.p_) other.p_->AddReference();
    T* old = std::exchange(p_, other.p_);
    if (old) old->RemoveReference();
    return *this;
  }
  U_SharedPtr& operator=(U_SharedPtr&& other) noexcept {
    if (this != &other) {
      T* old = std::exchange(p_, std::exchange(other.p_, nullptr));
      if (old) old->RemoveReference();
    }
    return *this;
  }

  T* get() const { return p_; }
  T* operator->() const { return p_; }
  T& operator*() const { return *p_; }
  explicit operator bool() const { return p_ != nullptr; }
  void reset() { *this = U_SharedPtr(); }

 private:
  T* p_ = nullptr;
};
