// A traverser's invocations, found by node.
//
// Ownership: the table owns every invocation it holds and deletes them, in
// the order they were added, when it is destroyed; it also owns the arena
// they and their checkout results live in. Nodes are borrowed.
//
// Open addressing over node pointers with linear probing, grown by doubling
// so that it stays at most half full: a lookup touches one or two cache lines
// however large the graph is, where a tree would chase a pointer per level.
// The storage is tracked host memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "exec/RGp_Arena.h"
#include "rghost/U_Memory.h"

class RG_RenderNode;
class RGp_NodeInvocation;

class RGp_InvocationTable : public U_MemTrackedObject {
 public:
  RGp_InvocationTable() = default;
  ~RGp_InvocationTable();
  RGp_InvocationTable(const RGp_InvocationTable&) = delete;
  RGp_InvocationTable& operator=(const RGp_InvocationTable&) = delete;

  // The node's invocation, or null.
  RGp_NodeInvocation* Find(const RG_RenderNode* node) const {
    if (slots_.empty()) return nullptr;
    for (size_t i = Home(node);; i = (i + 1) & mask_) {
      const Slot& s = slots_[i];
      if (s.node == node) return s.invocation;
      if (s.node == nullptr) return nullptr;
    }
  }

  // Makes room for one more entry, so that the Add that follows cannot
  // fail. Throws std::bad_alloc with the table unchanged.
  void ReserveOne();
  // Adds a node that is not in the table yet; takes ownership of the
  // invocation. Must follow ReserveOne.
  void Add(const RG_RenderNode* node, RGp_NodeInvocation* invocation) noexcept;

  size_t Size() const { return order_.size(); }
  // Where the traversal's invocations and checkout results live.
  RGp_Arena& Arena() { return arena_; }

 private:
  struct Slot {
    const RG_RenderNode* node;
    RGp_NodeInvocation* invocation;
  };

  size_t Home(const RG_RenderNode* node) const {
    // Fibonacci hashing: node addresses share their low bits, the product's
    // high bits do not.
    const uint64_t h =
        static_cast<uint64_t>(reinterpret_cast<uintptr_t>(node) >> 4) * 0x9E3779B97F4A7C15ull;
    return static_cast<size_t>(h >> shift_);
  }
  void Place(const RG_RenderNode* node, RGp_NodeInvocation* invocation) noexcept;

  RGp_Arena arena_;                             // destroyed after the invocations in it
  std::vector<Slot, U_Allocator<Slot>> slots_;  // empty slots hold a null node
  std::vector<RGp_NodeInvocation*, U_Allocator<RGp_NodeInvocation*>> order_;  // insertion order
  size_t mask_ = 0;
  int shift_ = 64;
};
