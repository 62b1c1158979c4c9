#include "rg/RG_CompositeNode.h"

#include "composite/RGp_PlacedTransfer.h"
#include "rg/RG_CheckoutResult.h"
#include "rg/RG_NodeCallbacks.h"
#include "rghost/M_Geometry.h"
#include "rghost/PF_World.h"

long RG_EffectiveField(long field, const M_LRect& rect) {
  if (field == 0) return 0;
  // Fields are counted from the buffer's first row: an odd first row swaps them.
  return (rect.top & 1) ? 3 - field : field;
}

long RG_EffectiveField(long field, const M_Rect& rect) {
  if (field == 0) return 0;
  return (rect.top & 1) ? 3 - field : field;
}

void RGp_TransferPlaced(const RG_RenderRequest& request, RG_CheckoutResult* src,
                        const M_LRect& visibleSrcRect, PF_MaskWorld* mask,
                        const PF_CompositeModePlus& mode, RG_CheckoutResult* output) {
  const M_LRect& srcBounds = src->GetRect();
  // The same pixels in the source buffer's own coordinates.
  const M_LRect srcRect =
      M_Offset(visibleSrcRect, -int64_t{srcBounds.left}, -int64_t{srcBounds.top});
  PF_LayerDef* outLayer = output->GetOutputWorld();
  // The host only reads the source layer.
  PF_LayerDef* srcLayer = const_cast<PF_World*>(src->GetWorld());
  const M_LRect& outBounds = output->GetRect();
  const long destX = static_cast<long>(visibleSrcRect.left) - outBounds.left;
  const long destY = static_cast<long>(visibleSrcRect.top) - outBounds.top;
  const long field = RG_EffectiveField(request.field, outBounds);
  const long status = PF_TransferRect(nullptr, 1, 1, field, &srcRect, srcLayer, &mode,
                                      mode.mode_ext, mask, destX, destY, outLayer);
  if (status != 0) throw status;
}

RG_CompositeNode::RG_CompositeNode(RG_RenderNode* source, const PF_CompositeModePlus& mode,
                                   RG_RenderNode* destination, RG_RenderNode* mask, long maskMode)
    : RG_CompositeNodeBase(source, mode, destination, mask, maskMode) {}

RG_CompositeNode::~RG_CompositeNode() = default;

void RG_CompositeNode::GetSrcInputAndVisibleRect(RG_NodePreRenderCB* cb,
                                                 const RG_RenderRequest& srcRequest,
                                                 RG_CheckoutResult** src, M_LRect* visible) const {
  *src = cb->CheckoutInput(0, srcRequest);
  *visible = (*src)->GetRect();
}

M_LRect RG_CompositeNode::GetSrcContentBounds(RG_ContentBoundsType type) const {
  return GetInput(0)->GetContentBounds(type);
}

M_LRect RG_CompositeNode::VisibleDestRect(const M_LRect& srcRect, const M_LRect& destRect) const {
  return RectMinus(destRect, srcRect);
}

bool RG_CompositeNode::RectCoveredBySrc(const M_LRect& srcRect, const M_LRect& rect) const {
  return M_Contains(srcRect, rect);
}

bool RG_CompositeNode::SrcHasIdentityTransform() const { return true; }

void RG_CompositeNode::DoRender(const RG_RenderRequest& request, RG_CheckoutResult* src,
                                const M_LRect& visibleSrcRect, PF_MaskWorld* mask,
                                const PF_CompositeModePlus& mode, RG_CheckoutResult* output) const {
  RGp_TransferPlaced(request, src, visibleSrcRect, mask, mode, output);
}
