// The pre-render pass, root to leaves: a node's PreRender checks out the
// areas of its inputs it needs (each checkout pre-renders that input at once)
// and declares its output.
#include <algorithm>
#include <climits>
#include <optional>

#include "exec/RGp_InvocationTable.h"
#include "exec/RGp_NodeInvocation.h"
#include "exec/RGp_RequestRules.h"
#include "exec/RGp_StackGuard.h"
#include "frame/RGp_Errors.h"
#include "profile/RGp_ProfilerScopes.h"
#include "rg/RG_CheckoutResult.h"
#include "rg/RG_GraphProfiler.h"
#include "rg/RG_RenderNode.h"
#include "rg/RG_Traverser.h"
#include "rghost/M_Geometry.h"

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
      std::optional<RGp_PreRenderScope> scope;
      if (RG_GraphProfiler* profiler = RG_GetProfiler()) scope.emplace(profiler, node_, request_);
      data = node_->PreRender(this, request_);
    }
    delete node_data_;  // node data dies through its virtual destructor, as its node made it
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
  // A second declaration would leave the first output in the list as a
  // checkout that nobody renders or delivers.
  if (output_ != nullptr) {
    RGp_FailVerification(RGp_LOC_INVOCATION, 598, "cannot request output more than once");
  }
  const long id = NextCheckoutID();
  CheckCheckoutID(id);
  ResultHolder result(new RG_CheckoutResult);
  result->request_ = request_;
  result->result_rect_ = rect;
  result->owner_ = this;
  result->checkout_id_ = static_cast<int32_t>(id);
  InsertCheckout(result.get());
  DeclareOutput(result.release(), rect, outputFlags, newWorldFlags);
  return output_;
}

void RGp_NodeInvocation::DeclareOutput(RG_CheckoutResult* out, const M_LRect& rect,
                                       char outputFlags, long newWorldFlags) {
  out->is_output_ = true;
  out->rect_ = rect;
  out->declared_output_rect_ = rect;
  out->output_flags_ = outputFlags;
  out->new_world_flags_ = static_cast<int32_t>(newWorldFlags);
  output_ = out;
  output_rect_ = rect;
  declared_rect_ = rect;
  render_into_dest_ = may_render_into_dest_;
  // A rect forced on an earlier checkout of this node still reads the
  // buffer beyond what the node renders, so that part stays cleared.
  clear_mark_ = (newWorldFlags & RG_NEW_WORLD_CLEAR) != 0 || forced_clear_;
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

  in->works_in_place_ = true;
  DeclareOutput(in, rect, outputFlags, newWorldFlags);
}

void RGp_NodeInvocation::BeginCheckoutGroup() { ++checkout_group_; }
