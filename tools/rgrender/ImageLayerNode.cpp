#include "ImageLayerNode.h"

#include <memory>

#include "Pixels.h"
#include "rg/RG_CheckoutResult.h"
#include "rg/RG_NodeCallbacks.h"

ImageLayerNode::ImageLayerNode(PF_World* world, int32_t x, int32_t y, bool opaque)
    : world_(world), bounds_{x, y, x + world->width, y + world->height}, opaque_(opaque) {}

M_LRect ImageLayerNode::ComputeContentBounds(RG_ContentBoundsType) const { return bounds_; }

RG_NodeData* ImageLayerNode::PreRender(RG_NodePreRenderCB* cb,
                                       const RG_RenderRequest& request) const {
  cb->RequestOutput(M_Intersect(request.rect, bounds_), opaque_ ? RG_OUTPUT_OPAQUE : 0, 0);
  return nullptr;
}

void ImageLayerNode::Render(RG_NodeRenderCB* cb, const RG_RenderRequest&,
                            const RG_NodeData*) const {
  RG_CheckoutResult* out = cb->GetNextCheckout();
  const M_LRect& r = out->GetRect();
  const M_LRect area{r.left - bounds_.left, r.top - bounds_.top, r.right - bounds_.left,
                     r.bottom - bounds_.top};
  std::unique_ptr<PF_World> view(PF_World::NewReference(world_, area));
  // A plain lock marks the view as a buffer that is not the library's, so
  // nobody writes into the image.
  auto* lock = new RG_BufferLock();
  out->SetOutputWorld(view.release(), lock);
}
