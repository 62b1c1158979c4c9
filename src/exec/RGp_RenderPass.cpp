// The render side of RGp_NodeInvocation: nodes render on demand, depth
// first, and their buffers are handed on to consumers with as few copies as
// sharing allows (views for early consumers, the buffer itself for the last,
// the caller's own buffer where a node's output lies inside it).

#include <algorithm>
#include <memory>
#include <optional>
#include <utility>

#include "exec/RGp_NodeInvocation.h"
#include "exec/RGp_StackGuard.h"
#include "frame/RGp_Errors.h"
#include "profile/RGp_ProfilerScopes.h"
#include "rg/RG_CheckoutResult.h"
#include "rg/RG_GraphProfiler.h"
#include "rg/RG_RenderNode.h"
#include "rg/RG_Traverser.h"
#include "rghost/M_Geometry.h"
#include "rghost/PF_World.h"

namespace {

// A view of `rect` (render space) inside `parent`, whose top-left pixel lies
// at `parentRect`'s top-left corner. The 32-bit form keeps offsets beyond the
// 16-bit range exact; the view's origin is the top-left of what it shows.
std::unique_ptr<PF_World> MakeView(PF_World* parent, const M_LRect& rect,
                                   const M_LRect& parentRect) {
  std::unique_ptr<PF_World> view(PF_World::NewReference(parent, M_RelativeTo(rect, parentRect)));
  view->origin_x = rect.left;
  view->origin_y = rect.top;
  return view;
}

M_LRect WholeWorld(const PF_World* world) { return M_LRect{0, 0, world->width, world->height}; }

}  // namespace

RG_CheckoutResult* RGp_NodeInvocation::GetNextCheckout() {
  if (render_cursor_ < 0 || static_cast<size_t>(render_cursor_) >= checkouts_.size()) {
    RGp_FailVerification(RGp_LOC_NONE, 732, "Node received more checkout requests than expected");
  }
  return checkouts_[static_cast<size_t>(render_cursor_++)];
}

RG_CheckoutResult* RGp_NodeInvocation::GetCheckoutByID(int32_t id) {
  if (id == -1) return output_;
  auto it =
      std::lower_bound(checkouts_.begin(), checkouts_.end(), id,
                       [](const RG_CheckoutResult* c, int32_t v) { return c->checkout_id_ < v; });
  if (it == checkouts_.end() || (*it)->checkout_id_ != id) {
    RGp_FailErrString(RGp_LOC_CHECKOUT_ID, "Unknown checkout id", RG_ERR_CHECKOUT_ID);
  }
  return *it;
}

PF_World* RGp_NodeInvocation::SourceWorld() const {
  return node_buffer_ != nullptr ? node_buffer_.get() : output_->world_.get();
}

void RGp_NodeInvocation::RenderInvocation(RG_CheckoutResult* target) {
  std::optional<RGp_NodeScope> scope;
  if (RG_GraphProfiler* profiler = RG_GetProfiler()) {
    scope.emplace(profiler, node_);
    profiler->RenderRequest(node_, request_);
  }

  if (output_ == nullptr) {
    // Only an unbalanced consumer count gets here: the node has already
    // handed its buffer to what it took for its last consumer.
    RGp_FailVerification(RGp_LOC_INVOCATION, 760, "node output requested after its last delivery");
  }
  if (M_IsEmpty(output_->rect_)) {
    DeliverEmpty(target);
    return;
  }

  if (output_->world_ == nullptr) {
    traverser_->CheckStackUsage();
    {
      RGp_StackMarkerGuard marker(traverser_->GetLastStackTopPtrAddress());
      node_->StartProgress();
      rendering_ = true;
      node_->Render(this, request_, node_data_);
      if (output_->world_ == nullptr && output_->works_in_place_) {
        passing_through_ = true;
        output_->producer_->RenderInvocation(output_);
        passing_through_ = false;
      }
    }
    if (output_->world_ == nullptr) {
      RGp_FailVerification(RGp_LOC_INVOCATION, 780,
                           "Render left the node's output without a world");
    }
    if (output_->lock_ == nullptr && node_buffer_ == nullptr &&
        !M_SameArea(output_rect_, output_->rect_)) {
      // The node installed a buffer of its own (SetOutputWorld) that covers
      // only its declared rect, while consumers take more: give the output
      // a buffer of the whole output rect so that every hand-over below
      // finds what it addresses.
      MoveOutputIntoOwnBuffer();
    }
    CheckIn();
  }

  if (output_->lock_ != nullptr) {
    DeliverLocked(target);
  } else {
    DeliverOutput(target);
  }
  --consumer_count_;
}

// Inputs are released as soon as their consumer has rendered; the output
// result stays until its last consumer has it.
void RGp_NodeInvocation::CheckIn() {
  for (RG_CheckoutResult* c : checkouts_) {
    if (c != output_) delete c;  // the list owns its results
  }
  checkouts_.clear();
  checkouts_.push_back(output_);  // within the existing capacity: cannot throw
}

void RGp_NodeInvocation::DeliverEmpty(RG_CheckoutResult* target) {
  if (target->is_output_) {
    // The consumer works in place on this empty input: its output gets a
    // buffer of its own, transparent wherever the input would have been.
    RGp_NodeInvocation* consumer = target->owner_;
    consumer->clear_mark_ = true;
    consumer->AllocateOutputWorld(false);
    if ((target->new_world_flags_ & RG_NEW_WORLD_CLEAR) == 0 && target->world_ != nullptr) {
      target->world_->Clear(0);
    }
  } else if (!M_IsEmpty(target->rect_)) {
    // The consumer forced a rect on an input that has nothing to give.
    target->world_.reset(
        PF_World::New(target->rect_, target->request_.bit_depth, PF_NEW_WORLD_CLEAR));
  }
}

void RGp_NodeInvocation::DeliverOutput(RG_CheckoutResult* target) {
  if (consumer_count_ != 1) {
    DeliverShared(target);
  } else {
    DeliverLast(target);
  }
}

void RGp_NodeInvocation::DeliverShared(RG_CheckoutResult* target) {
  if (!target->is_output_) {
    target->world_ = MakeView(SourceWorld(), target->rect_, output_rect_);
    views_out_ = true;
    return;
  }
  CopyToInPlaceConsumer(target);
}

void RGp_NodeInvocation::CopyToInPlaceConsumer(RG_CheckoutResult* target) {
  RGp_NodeInvocation* consumer = target->owner_;
  PF_World* dest = traverser_->GetRootOutput();
  PF_World* source = SourceWorld();
  bool keep = true;
  if (dest != nullptr && source != nullptr && source->RefersTo(dest)) {
    // This buffer sits in the caller's buffer, where the consumer may write,
    // and others may still need it: it moves into a buffer of our own first.
    std::unique_ptr<PF_World> own(PF_World::New(output_rect_, output_->request_.bit_depth, 0));
    const M_LRect all = WholeWorld(source);
    own->CopyPixels(source, &all, 0, 0);
    InstallOutputWorld(std::move(own));
    render_into_dest_ = false;
    keep = false;
  } else if (dest != nullptr && source != nullptr) {
    keep = false;
  }
  // The copy below writes the output where it meets the consumer's result;
  // when that is the consumer's whole buffer, clearing it first would be
  // wasted.
  const M_LRect written = M_Intersect(output_->rect_, target->rect_);
  consumer->AllocateOutputWorld(keep, &written);
  const M_LRect whole = WholeWorld(output_->world_.get());
  target->world_->CopyPixels(output_->world_.get(), &whole,
                             output_->rect_.left - target->rect_.left,
                             output_->rect_.top - target->rect_.top);
}

// Consumers that took views have usually checked in (and dropped them) by the
// time the last consumer comes: only a view still alive makes an in-place
// last consumer work on a copy.
bool RGp_NodeInvocation::ViewsStillAlive(const PF_World* buffer) const {
  long own = 1;
  if (node_buffer_ != nullptr && output_->world_ != nullptr && output_->world_ != node_buffer_ &&
      output_->world_->RefersTo(node_buffer_.get())) {
    ++own;  // the output is a view of the node buffer
  }
  return buffer->StorageUsers() > own;
}

void RGp_NodeInvocation::DeliverLast(RG_CheckoutResult* target) {
  std::unique_ptr<PF_World>& slot = node_buffer_ != nullptr ? node_buffer_ : output_->world_;

  if (!target->is_output_) {
    if (!M_SameArea(target->rect_, output_rect_)) {
      slot->ShrinkToSubRect(M_RelativeTo(target->rect_, output_rect_));
    }
    std::swap(target->world_, slot);
  } else if (views_out_ && ViewsStillAlive(slot.get())) {
    CopyToInPlaceConsumer(target);
  } else {
    RGp_NodeInvocation* consumer = target->owner_;
    PF_World* dest = traverser_->GetRootOutput();
    if (consumer->render_into_dest_ && dest != nullptr &&
        M_Contains(traverser_->GetRootRect(), consumer->output_rect_) && !slot->RefersTo(dest)) {
      // The in-place consumer renders into the caller's buffer: the pixels
      // move there once, now.
      std::unique_ptr<PF_World> view(
          MakeView(dest, consumer->output_rect_, traverser_->GetRootRect()));
      const M_LRect whole = WholeWorld(slot.get());
      view->CopyPixels(slot.get(), &whole, output_rect_.left - consumer->output_rect_.left,
                       output_rect_.top - consumer->output_rect_.top);
      slot.reset();
      consumer->InstallOutputWorld(std::move(view));
    } else {
      if (!M_SameArea(consumer->output_rect_, output_rect_)) {
        slot->ShrinkToSubRect(M_RelativeTo(consumer->output_rect_, output_rect_));
      }
      consumer->InstallOutputWorld(std::move(slot));
    }
  }
  // The node is finished: nothing of it is needed any more.
  DestroyCheckouts();
}

void RGp_NodeInvocation::DeliverLocked(RG_CheckoutResult* target) {
  if (!target->is_output_ && M_Contains(output_->rect_, target->rect_)) {
    // Readers of a locked buffer get views; the last one also takes the
    // lock, which keeps the buffer alive as long as it holds the view.
    if (consumer_count_ == 1 && M_SameArea(target->rect_, output_->rect_)) {
      std::swap(target->world_, output_->world_);
    } else {
      target->world_ = MakeView(output_->world_.get(), target->rect_, output_->rect_);
    }
    if (consumer_count_ == 1) std::swap(target->lock_, output_->lock_);
    return;
  }
  // The last consumer works in place on this output but its Render has
  // already returned without writing it: the view and the lock move on
  // together, so a node that passes a locked buffer through (a composite
  // whose opaque source hides everything) copies nothing. Its own consumers
  // then see a locked output and copy only if they write it.
  if (target->is_output_ && consumer_count_ == 1 && target->owner_->passing_through_ &&
      target->owner_->node_buffer_ == nullptr && M_SameArea(target->rect_, output_->rect_) &&
      M_SameArea(target->owner_->output_rect_, target->rect_)) {
    std::swap(target->world_, output_->world_);
    std::swap(target->lock_, output_->lock_);
    return;
  }
  // A consumer would write the buffer or needs more than it covers: from now
  // on every consumer is served from a copy of the library's own.
  MoveOutputIntoOwnBuffer();
  DeliverOutput(target);
}

void RGp_NodeInvocation::MoveOutputIntoOwnBuffer() {
  std::unique_ptr<PF_World> old = std::move(output_->world_);
  AllocateOutputWorld(false);
  const M_LRect whole = WholeWorld(old.get());
  output_->world_->CopyPixels(old.get(), &whole, 0, 0);
  old.reset();
  output_->lock_.reset();
}

void RGp_NodeInvocation::AllocateOutputWorld(bool keep, const M_LRect* overwritten) {
  std::unique_ptr<PF_World> world;
  PF_World* dest = traverser_->GetRootOutput();
  if (render_into_dest_ && dest != nullptr && M_Contains(traverser_->GetRootRect(), output_rect_)) {
    world = MakeView(dest, output_rect_, traverser_->GetRootRect());
  } else {
    world.reset(PF_World::New(output_rect_, output_->request_.bit_depth, 0));
    keep = false;
  }
  if (clear_mark_ && !(overwritten != nullptr && M_Contains(*overwritten, output_rect_))) {
    if ((output_->new_world_flags_ & RG_NEW_WORLD_CLEAR) != 0 && !keep) {
      world->Clear(0);
    } else {
      world->ClearOutside(M_RelativeTo(output_->rect_, output_rect_));
    }
  }
  InstallOutputWorld(std::move(world));
}

void RGp_NodeInvocation::InstallOutputWorld(std::unique_ptr<PF_World> world) {
  if (M_SameArea(output_rect_, output_->rect_)) {
    output_->world_ = std::move(world);
    return;
  }
  // The buffer is larger than the declared output: the output result sees
  // its part of it through a view.
  std::unique_ptr<PF_World> view = MakeView(world.get(), output_->rect_, output_rect_);
  node_buffer_ = std::move(world);
  output_->world_ = std::move(view);
}

void RGp_NodeInvocation::RenderCheckoutGroup(int32_t group) {
  // Indexing, not iterators: rendering a producer never touches this list,
  // but stay safe should it ever grow.
  for (size_t i = 0; i < checkouts_.size(); ++i) {
    RG_CheckoutResult* c = checkouts_[i];
    if (!c->IsInput() || c->checkout_group_ != group || c->world_ != nullptr) continue;
    c->producer_->RenderInvocation(c);
  }
}

void RGp_NodeInvocation::ReleaseConsumer() {
  if (consumer_count_ > 0) --consumer_count_;
  if (consumer_count_ != 0) return;
  for (RG_CheckoutResult* c : checkouts_) {
    if (c->producer_ != nullptr) c->producer_->ReleaseConsumer();
  }
  DestroyCheckouts();
}
