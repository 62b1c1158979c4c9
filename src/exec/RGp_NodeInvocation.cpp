#include "exec/RGp_NodeInvocation.h"

#include <algorithm>
#include <climits>

#include "exec/RGp_Arena.h"
#include "frame/RGp_Errors.h"
#include "rg/RG_CheckoutResult.h"
#include "rg/RG_RenderNode.h"
#include "rghost/PF_World.h"

void* RGp_NodeInvocation::operator new(size_t size, RGp_Arena& arena) {
  return arena.Allocate(size);
}

void RGp_NodeInvocation::operator delete(void* p, RGp_Arena&) noexcept {
  RGp_Arena::Retire(p, sizeof(RGp_NodeInvocation));
}

void RGp_NodeInvocation::operator delete(void* p, size_t size) noexcept {
  RGp_Arena::Retire(p, size);
}

RGp_NodeInvocation::RGp_NodeInvocation(const RG_RenderNode* node, RG_Traverser* traverser,
                                       bool mayRenderIntoDestination)
    : node_(node), may_render_into_dest_(mayRenderIntoDestination), traverser_(traverser) {}

RGp_NodeInvocation::~RGp_NodeInvocation() {
  DestroyCheckouts();
  // Node data is the node's own type, handed over by its PreRender.
  delete node_data_;
}

void RGp_NodeInvocation::DestroyCheckouts() {
  // The list owns its results (each deletes its lock, then its world).
  for (RG_CheckoutResult* c : checkouts_) delete c;
  checkouts_.clear();
  output_ = nullptr;
}

long RGp_NodeInvocation::NextCheckoutID() const {
  return checkouts_.empty() ? 0 : static_cast<long>(checkouts_.back()->checkout_id_) + 1;
}

// Ids are stored in 32 bits: one beyond that range would wrap to a negative
// id (or alias another), so it counts as negative.
void RGp_NodeInvocation::CheckCheckoutID(long id) {
  if (id < 0 || id > INT32_MAX) {
    RGp_FailErrString(RGp_LOC_CHECKOUT_ID, "Checkout ID must be non-negative", RG_ERR_CHECKOUT_ID);
  }
}

// The list is sorted by id; automatic ids always land at the end, so the
// common case is an append.
void RGp_NodeInvocation::InsertCheckout(RG_CheckoutResult* result) {
  const int32_t id = result->checkout_id_;
  if (checkouts_.empty() || checkouts_.back()->checkout_id_ < id) {
    checkouts_.push_back(result);
    return;
  }
  // The last id is not below this one, so the search stops at an element.
  auto it =
      std::lower_bound(checkouts_.begin(), checkouts_.end(), id,
                       [](const RG_CheckoutResult* c, int32_t v) { return c->checkout_id_ < v; });
  if ((*it)->checkout_id_ == id) {
    RGp_FailErrString(RGp_LOC_CHECKOUT_ID, "Checkout ID is not unique", RG_ERR_CHECKOUT_ID);
  }
  checkouts_.insert(it, result);
}

void RGp_NodeInvocation::RemoveCheckout(RG_CheckoutResult* result) {
  auto it = std::find(checkouts_.begin(), checkouts_.end(), result);
  if (it != checkouts_.end()) checkouts_.erase(it);
  if (output_ == result) output_ = nullptr;
}
