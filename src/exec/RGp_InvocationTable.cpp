#include "exec/RGp_InvocationTable.h"

#include <algorithm>

#include "exec/RGp_NodeInvocation.h"

namespace {

// How many invocations the last table on this thread held. A host renders
// the same graph again and again, so a new table starts at that size instead
// of growing to it step by step.
__attribute__((tls_model("initial-exec"))) thread_local size_t t_last_size = 0;

}  // namespace

RGp_InvocationTable::~RGp_InvocationTable() {
  t_last_size = order_.size();
  // Invocations live in the arena: delete runs their destructors, the
  // memory goes with the arena.
  for (RGp_NodeInvocation* invocation : order_) delete invocation;
}

void RGp_InvocationTable::ReserveOne() {
  const size_t expected = std::max<size_t>(64, t_last_size);
  if (order_.size() == order_.capacity()) {
    order_.reserve(order_.empty() ? expected : order_.size() * 2);
  }
  if ((order_.size() + 1) * 2 <= slots_.size()) return;

  size_t capacity = slots_.size() * 2;
  if (slots_.empty()) {
    capacity = 128;
    while (capacity < 2 * expected) capacity *= 2;
  }
  std::vector<Slot, U_Allocator<Slot>> grown(capacity, Slot{nullptr, nullptr});
  slots_.swap(grown);
  mask_ = capacity - 1;
  shift_ = 64 - __builtin_ctzll(capacity);
  for (const Slot& s : grown) {
    if (s.node != nullptr) Place(s.node, s.invocation);
  }
}

void RGp_InvocationTable::Add(const RG_RenderNode* node, RGp_NodeInvocation* invocation) noexcept {
  Place(node, invocation);
  order_.push_back(invocation);  // capacity reserved by ReserveOne
}

void RGp_InvocationTable::Place(const RG_RenderNode* node,
                                RGp_NodeInvocation* invocation) noexcept {
  size_t i = Home(node);
  while (slots_[i].node != nullptr) i = (i + 1) & mask_;
  slots_[i] = Slot{node, invocation};
}
