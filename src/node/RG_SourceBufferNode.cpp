#include "rg/RG_SourceBufferNode.h"

#include <memory>

#include "rg/RG_CheckoutResult.h"
#include "rg/RG_NodeCallbacks.h"
#include "rghost/PF_World.h"

RG_SourceBufferNode::RG_SourceBufferNode(const PF_World* world) : world_(world) {
  bounds_.left = world->origin_x;
  bounds_.top = world->origin_y;
  bounds_.right = world->origin_x + world->width;
  bounds_.bottom = world->origin_y + world->height;
}

RG_SourceBufferNode::RG_SourceBufferNode(const PF_World* world, const M_LRect& bounds)
    : world_(world), bounds_(bounds) {}

M_LRect RG_SourceBufferNode::ComputeContentBounds(RG_ContentBoundsType) const { return bounds_; }

RG_NodeData* RG_SourceBufferNode::PreRender(RG_NodePreRenderCB* cb,
                                            const RG_RenderRequest& request) const {
  // Plain clipping: a request that misses the buffer leaves an empty rect.
  const M_LRect r = M_Intersect(request.rect, bounds_);
  cb->RequestOutput(r, 0, 0);
  return nullptr;
}

void RG_SourceBufferNode::Render(RG_NodeRenderCB* cb, const RG_RenderRequest&,
                                 const RG_NodeData*) const {
  RG_CheckoutResult* out = cb->GetNextCheckout();
  const M_LRect& rect = out->GetRect();
  // The view is made with 32-bit coordinates, so buffers and offsets beyond
  // the 16-bit range of M_Rect work.
  const M_LRect area = M_RelativeTo(rect, bounds_);
  const short depth = out->GetGeneratingRequest().bit_depth;
  if (world_->GetDepth() != depth) {
    // Asked for another depth than the buffer's: consumers get the pixels
    // converted by the host, and the buffer stays as it is.
    PF_World* converted = out->GetOutputWorld();
    if (!M_Contains(M_LRect{0, 0, world_->width, world_->height}, area)) converted->Clear(0);
    converted->ConvertPixels(const_cast<PF_World*>(world_), &area, 1, 0, 0, 0);
    return;
  }
  // Consumers only read views of a source buffer (the render pass copies a
  // locked output before anyone writes it), so the buffer stays unchanged.
  std::unique_ptr<PF_World> view(PF_World::NewReference(const_cast<PF_World*>(world_), area));
  RG_BufferLock* lock = new RG_BufferLock;
  out->SetOutputWorld(view.release(), lock);
}
