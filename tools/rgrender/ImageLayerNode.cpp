#include "ImageLayerNode.h"

#include <memory>

#include "ImageStore.h"
#include "rg/RG_CheckoutResult.h"
#include "rg/RG_NodeCallbacks.h"

ImageLayerNode::ImageLayerNode(const LoadedImage* image, int32_t x, int32_t y)
    : image_(image), bounds_{x, y, x + image->World()->width, y + image->World()->height} {}

M_LRect ImageLayerNode::ComputeContentBounds(RG_ContentBoundsType) const { return bounds_; }

M_LRect ImageLayerNode::InImage(const M_LRect& r) const {
  return M_LRect{r.left - bounds_.left, r.top - bounds_.top, r.right - bounds_.left,
                 r.bottom - bounds_.top};
}

RG_NodeData* ImageLayerNode::PreRender(RG_NodePreRenderCB* cb,
                                       const RG_RenderRequest& request) const {
  const M_LRect out = M_Intersect(request.rect, bounds_);
  const bool opaque = image_->Read(InImage(out));
  cb->RequestOutput(out, opaque ? RG_OUTPUT_OPAQUE : 0, 0);
  return nullptr;
}

void ImageLayerNode::Render(RG_NodeRenderCB* cb, const RG_RenderRequest&,
                            const RG_NodeData*) const {
  RG_CheckoutResult* out = cb->GetNextCheckout();
  const M_LRect area = InImage(out->GetRect());
  image_->Read(area);  // read at pre-render unless the library asks for more
  std::unique_ptr<PF_World> view(PF_World::NewReference(image_->World(), area));
  // A plain lock marks the view as a buffer that is not the library's, so
  // nobody writes into the image.
  auto* lock = new RG_BufferLock();
  out->SetOutputWorld(view.release(), lock);
}
