#include "rg/RG_CheckoutResult.h"

#include <memory>
#include <utility>

#include "exec/RGp_NodeInvocation.h"
#include "exec/RGp_PrefSlot.h"
#include "frame/RGp_Errors.h"
#include "rg/RG_RenderNode.h"
#include "rghost/M_Geometry.h"
#include "rghost/PF_World.h"

RG_CheckoutResult::RG_CheckoutResult() { request_.flags = 0; }

RG_CheckoutResult::~RG_CheckoutResult() = default;

const PF_World* RG_CheckoutResult::GetWorld() {
  if (world_ != nullptr) return world_.get();
  if (M_IsEmpty(rect_) || owner_ == nullptr) return nullptr;
  owner_->RenderCheckoutGroup(checkout_group_);
  return world_.get();
}

PF_World* RG_CheckoutResult::GetOutputWorld() {
  if (world_ != nullptr) return world_.get();
  if (M_IsEmpty(rect_) || owner_ == nullptr) return nullptr;
  if (works_in_place_) {
    // The input is rendered straight into this result.
    owner_->RenderCheckoutGroup(checkout_group_);
  } else {
    owner_->AllocateOutputWorld(false);
  }
  return world_.get();
}

PF_World* RG_CheckoutResult::GetWritableWorld() {
  if (is_output_) return GetOutputWorld();
  return WorldIsWritable() ? const_cast<PF_World*>(GetWorld()) : nullptr;
}

bool RG_CheckoutResult::WorldIsWritable() const {
  if (world_ == nullptr) {
    RGp_FailVerification(RGp_LOC_NONE, 212,
                         "Cannot call WorldIsWritable() before checkout is rendered");
  }
  // An input that received its producer's buffer itself may be written; a
  // view shared with other consumers may not.
  return is_output_ || !world_->IsReference();
}

PF_World* RG_CheckoutResult::TakeOwnershipOfWorld() {
  if (WorldIsWritable()) return world_.release();
  std::unique_ptr<PF_World> copy(PF_World::New(rect_, world_->GetDepth(), 0));
  const M_LRect whole{0, 0, world_->width, world_->height};
  copy->CopyPixels(world_.get(), &whole, 0, 0);
  return copy.release();
}

void RG_CheckoutResult::SetOutputWorld(PF_World* world, RG_BufferLock* lock) {
  // Both arguments are ours from here on, also when a check fails.
  std::unique_ptr<PF_World> ownedWorld(world);
  std::unique_ptr<RG_BufferLock> ownedLock(lock);
  if (!is_output_ || works_in_place_) {
    RGp_FailVerification(RGp_LOC_CHECKOUT, 190,
                         "Attempt to call SetOutputWorld() on an input or works-in-place buffer");
  }
  if (world_ != nullptr) RGp_FailVerification(RGp_LOC_CHECKOUT, 192, "Output already set");
  if (world == nullptr || world->width != rect_.right - rect_.left ||
      world->height != rect_.bottom - rect_.top) {
    RGp_FailVerification(RGp_LOC_CHECKOUT, 195,
                         "SetOutputWorld called with a world of the wrong size");
  }
  // A view shows a place of its parent; one from another place than the
  // rect would shift the picture. A buffer of the host's own is placed here.
  if (exact_placement_ && world->IsReference() &&
      (world->origin_x != rect_.left || world->origin_y != rect_.top)) {
    RGp_FailVerification(
        RGp_LOC_CHECKOUT, 197,
        "SetOutputWorld called with a world away from the cache node's output rect");
  }
  world_ = std::move(ownedWorld);
  lock_ = std::move(ownedLock);
  world_->origin_x = rect_.left;
  world_->origin_y = rect_.top;
}

void RG_CheckoutResult::Release() {
  world_.reset();
  if (RGp_ReleaseLockPref().Get() != 0) lock_.reset();
}

void RG_CheckoutResult::CoerceBitDepth(short depth) {
  // Only rendered pixels can be converted; a node asking earlier breaks the
  // render contract rather than the process.
  if (world_ == nullptr) {
    RGp_FailVerification(RGp_LOC_CHECKOUT, 260,
                         "Cannot call CoerceBitDepth() before checkout is rendered");
  }
  if (world_->GetDepth() == depth) return;
  std::unique_ptr<PF_World> converted(PF_World::New(rect_, depth, 0));
  const M_LRect whole{0, 0, world_->width, world_->height};
  converted->ConvertPixels(world_.get(), &whole, 1, 0, 0, 0);
  world_ = std::move(converted);
}

void RG_CheckoutResult::ForceRect(const M_LRect& rect) {
  // Once the owner renders, buffers of the old rect exist or are being made:
  // a new rect would break the size every world must have.
  if (owner_ != nullptr && owner_->Rendering()) {
    RGp_FailVerification(RGp_LOC_CHECKOUT, 300, "ForceRect() is for PreRender only");
  }
  if (!is_output_) {
    if (M_IsEmpty(rect) || rect == rect_) return;
    rect_ = rect;
    // Whatever the producer does not deliver of the forced rect is
    // transparent, so the opaque flag only holds inside the result rect.
    if (!M_Contains(result_rect_, rect)) flags_ &= ~1;
    if (producer_ != nullptr) producer_->SetClearMark();
    return;
  }
  if (M_SameArea(rect, rect_)) return;
  rect_ = rect;
  if (owner_ != nullptr) owner_->SetOutputRect(rect);
}

void RG_CheckoutResult::SkipRendering() {
  // Out of the owner's list first, so nothing else can reach it.
  if (owner_ != nullptr) owner_->RemoveCheckout(this);
  // Nothing holds this result any more: it dies on the way out, also when
  // the producer's release throws.
  std::unique_ptr<RG_CheckoutResult> dies(this);
  if (producer_ != nullptr) producer_->ReleaseConsumer();
}
