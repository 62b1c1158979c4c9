// The propagation pass: every producer's output rect grows to what all its
// consumers take, and the clear and render-into-destination marks flow down.
#include <vector>

#include "exec/RGp_NodeInvocation.h"
#include "rg/RG_CheckoutResult.h"
#include "rg/RG_Traverser.h"
#include "rghost/M_Geometry.h"

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
