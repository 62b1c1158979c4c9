#include "exec/RGp_NodeInvocation.h"

#include <algorithm>
#include <climits>
#include <vector>

#include "exec/RGp_Arena.h"
#include "rghost/M_Geometry.h"
#include "exec/RGp_InvocationTable.h"
#include "exec/RGp_RequestRules.h"
#include "exec/RGp_StackGuard.h"
#include "frame/RGp_Errors.h"
#include "rg/RG_CheckoutResult.h"
#include "rg/RG_RenderNode.h"
#include "rg/RG_Traverser.h"
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

RGp_NodeInvocation::ResultHolder::~ResultHolder() { delete result; }

RGp_NodeInvocation::RGp_NodeInvocation(const RG_RenderNode* node, RG_Traverser* traverser,
                                       bool mayRenderIntoDestination)
    : node_(node), may_render_into_dest_(mayRenderIntoDestination), traverser_(traverser) {
  request_.flags = 0;
}

RGp_NodeInvocation::~RGp_NodeInvocation() {
  DestroyCheckouts();
  delete node_data_;
  delete node_buffer_;
}

void RGp_NodeInvocation::DestroyCheckouts() {
  // Each result deletes its lock, then its world.
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
    RGp_FailErrString(RGp_LOC_CHECKOUT_ID, "Checkout ID must be non-negative",
                      RG_ERR_CHECKOUT_ID);
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
  auto it = std::lower_bound(
      checkouts_.begin(), checkouts_.end(), id,
      [](const RG_CheckoutResult* c, int32_t v) { return c->checkout_id_ < v; });
  if (it != checkouts_.end() && (*it)->checkout_id_ == id) {
    RGp_FailErrString(RGp_LOC_CHECKOUT_ID, "Checkout ID is not unique", RG_ERR_CHECKOUT_ID);
  }
  checkouts_.insert(it, result);
}

void RGp_NodeInvocation::RemoveCheckout(RG_CheckoutResult* result) {
  auto it = std::find(checkouts_.begin(), checkouts_.end(), result);
  if (it != checkouts_.end()) checkouts_.erase(it);
  if (output_ == result) output_ = nullptr;
}

void RGp_NodeInvocation::PreRenderForRequest(const RG_RenderRequest& request,
                                             RG_CheckoutResult* target) {
  if (output_ == nullptr || !RGp_RequestCovers(request_, request)) {
    if (node_->node_id_ == -1) node_->node_id_ = traverser_->GetNextNodeID();
    if (output_ != nullptr) {
      // The earlier pre-render does not serve this request: start again with
      // the merged one, giving back what the old checkouts took.
      RGp_MergeRequest(&request_, request);
      for (RG_CheckoutResult* c : checkouts_) {
        if (c->producer_ != nullptr) --c->producer_->consumer_count_;
      }
      DestroyCheckouts();
    } else {
      request_ = request;
    }
    request_.flags &= static_cast<uint8_t>(~RG_REQUEST_WHOLE_OUTPUT);
    // New checkouts must be walked by the next propagation pass.
    visited_ = false;

    traverser_->CheckStackUsage();
    RG_NodeData* data;
    {
      RGp_StackMarkerGuard marker(traverser_->GetLastStackTopPtrAddress());
      data = node_->PreRender(this, request_);
    }
    delete node_data_;
    node_data_ = data;
    if (output_ == nullptr) {
      RGp_FailVerification(RGp_LOC_INVOCATION, 590, "PreRender did not declare an output");
    }
  }

  M_LRect rect = output_->declared_output_rect_;
  if ((request.flags & RG_REQUEST_WHOLE_OUTPUT) == 0) rect = M_Intersect(rect, request.rect);
  // A consumer that asks for type-0 bounds gets no more than they reach, even
  // when another consumer made the node render as far as type 1 reaches.
  if ((request.flags & RG_REQUEST_CONTENT_BOUNDS_TYPE1) == 0 &&
      (request_.flags & RG_REQUEST_CONTENT_BOUNDS_TYPE1) != 0 && !M_IsEmpty(rect)) {
    rect = M_Intersect(rect, node_->GetContentBounds(RG_CONTENT_BOUNDS_TYPE0));
  }
  target->rect_ = rect;
  target->flags_ = output_->output_flags_;
  target->result_rect_ = rect;
  ++consumer_count_;
}

RG_CheckoutResult* RGp_NodeInvocation::CheckoutInputWithID(long index, long id,
                                                           const RG_RenderRequest& request) {
  CheckCheckoutID(id);
  if (index < 0 || index >= node_->GetNumInputs()) {
    RGp_FailVerification(RGp_LOC_INVOCATION, 640, "checkout of an input index out of range");
  }
  const RG_RenderNode* input = node_->GetInput(index);
  if (input == nullptr) {
    RGp_FailVerification(RGp_LOC_INVOCATION, 644, "checkout of an empty input slot");
  }
  RGp_NodeInvocation* producer = traverser_->GetInvocation(input, false);

  ResultHolder result(new RG_CheckoutResult);
  result->request_ = request;
  result->checkout_group_ = checkout_group_;
  result->checkout_id_ = static_cast<int32_t>(id);
  result->owner_ = this;
  result->producer_ = producer;
  if ((request.flags & RG_REQUEST_CLIP_TO_LEGACY_BOUNDS) != 0 && input->HasLegacyEffectBounds()) {
    result->request_.rect = M_Intersect(request.rect, input->GetLegacyEffectBounds());
    result->request_.flags &= static_cast<uint8_t>(~RG_REQUEST_CLIP_TO_LEGACY_BOUNDS);
  }

  producer->PreRenderForRequest(result->request_, result.get());
  try {
    InsertCheckout(result.get());
  } catch (...) {
    // The result dies with the error: it no longer counts as a consumer.
    --producer->consumer_count_;
    throw;
  }
  return result.release();
}

RG_CheckoutResult* RGp_NodeInvocation::CheckoutInput(long index, const RG_RenderRequest& request) {
  return CheckoutInputWithID(index, NextCheckoutID(), request);
}

RG_CheckoutResult* RGp_NodeInvocation::RequestOutput(const M_LRect& rect, char outputFlags,
                                                     long newWorldFlags) {
  const long id = NextCheckoutID();
  CheckCheckoutID(id);
  ResultHolder result(new RG_CheckoutResult);
  result->is_output_ = true;
  result->request_ = request_;
  result->rect_ = rect;
  result->result_rect_ = rect;
  result->declared_output_rect_ = rect;
  result->output_flags_ = outputFlags;
  result->new_world_flags_ = static_cast<int32_t>(newWorldFlags);
  result->owner_ = this;
  result->checkout_id_ = static_cast<int32_t>(id);
  InsertCheckout(result.get());

  output_ = result.release();
  output_rect_ = rect;
  declared_rect_ = rect;
  render_into_dest_ = may_render_into_dest_;
  // A rect forced on an earlier checkout of this node still reads the
  // buffer beyond what the node renders, so that part stays cleared.
  clear_mark_ = (newWorldFlags & RG_NEW_WORLD_CLEAR) != 0 || forced_clear_;
  return output_;
}

void RGp_NodeInvocation::RequestOutputInPlace(RG_CheckoutResult* in, const M_LRect& rect,
                                              char outputFlags, long newWorldFlags) {
  traverser_->CheckStackUsage();
  RGp_StackMarkerGuard marker(traverser_->GetLastStackTopPtrAddress());

  if (output_ != nullptr) {
    RGp_FailVerification(RGp_LOC_INVOCATION, 602, "cannot request output more than once");
  }
  if (in == nullptr || in->owner_ != this || in->is_output_ || in->producer_ == nullptr) {
    RGp_FailVerification(RGp_LOC_INVOCATION, 607,
                         "invalid input request passed to RequestOutputInPlace");
  }
  if (!M_IsEmpty(in->result_rect_) && !M_Contains(rect, in->result_rect_)) {
    RGp_FailVerification(RGp_LOC_INVOCATION, 614,
                         "output rect cannot be smaller than input result rect");
  }
  if (request_.bit_depth != in->request_.bit_depth) {
    RGp_FailVerification(RGp_LOC_INVOCATION, 618,
                         "cannot work in place when output has different bit depth than input");
  }

  in->is_output_ = true;
  in->works_in_place_ = true;
  in->rect_ = rect;
  in->declared_output_rect_ = rect;
  in->output_flags_ = outputFlags;
  in->new_world_flags_ = static_cast<int32_t>(newWorldFlags);
  output_ = in;
  output_rect_ = rect;
  declared_rect_ = rect;
  render_into_dest_ = may_render_into_dest_;
  clear_mark_ = (newWorldFlags & RG_NEW_WORLD_CLEAR) != 0 || forced_clear_;
}

void RGp_NodeInvocation::BeginCheckoutGroup() { ++checkout_group_; }

void RGp_NodeInvocation::PropagateOutputRects() {
  // Depth first over the checkouts, with the path on the heap rather than the
  // call stack: this pass runs outside the stack guard, for any depth. A
  // producer is marked visited once everything below it has been walked.
  struct Step {
    RGp_NodeInvocation* invocation;
    size_t next;
  };
  std::vector<Step> path{{this, 0}};
  while (!path.empty()) {
    Step& step = path.back();
    RGp_NodeInvocation* self = step.invocation;
    if (step.next == self->checkouts_.size()) {
      path.pop_back();
      if (!path.empty()) self->visited_ = true;
      continue;
    }
    RG_CheckoutResult* c = self->checkouts_[step.next++];
    RGp_NodeInvocation* producer = c->producer_;
    if (producer == nullptr) continue;
    const bool inPlace = c == self->output_;
    const M_LRect& r = inPlace ? self->output_rect_ : c->rect_;

    if (M_Contains(producer->output_rect_, r)) {
      // The producer already covers what this node takes; an in-place root
      // may still let it render straight into the caller's buffer.
      if (inPlace && self->render_into_dest_ && !producer->render_into_dest_ &&
          M_Contains(traverser_->GetRootRect(), producer->output_rect_)) {
        producer->render_into_dest_ = true;
        producer->visited_ = false;
        producer->clear_mark_ = producer->clear_mark_ || self->clear_mark_;
      }
    } else {
      if (!M_IsEmpty(r)) producer->output_rect_ = M_Union(producer->output_rect_, r);
      producer->render_into_dest_ = self->render_into_dest_ && inPlace;
      producer->visited_ = false;
      producer->clear_mark_ = producer->clear_mark_ || self->clear_mark_;
    }
    if (!producer->visited_) path.push_back({producer, 0});
  }
}
