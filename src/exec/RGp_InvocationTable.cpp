#include "exec/RGp_InvocationTable.h"

#include "exec/RGp_NodeInvocation.h"

RGp_InvocationTable::~RGp_InvocationTable() {
  for (RGp_NodeInvocation* invocation : order_) delete invocation;
}

void RGp_InvocationTable::ReserveOne() {
  if (order_.size() == order_.capacity()) {
    order_.reserve(order_.empty() ? 64 : order_.size() * 2);
  }
  if ((order_.size() + 1) * 2 <= slots_.size()) return;

  const size_t capacity = slots_.empty() ? 128 : slots_.size() * 2;
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
