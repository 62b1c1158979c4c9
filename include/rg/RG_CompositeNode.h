// Composite node that places its source unchanged: source pixel (x, y) lands
// on output pixel (x, y).
#pragma once

#include "rg/RG_CompositeNodeBase.h"
#include "rg/RG_Export.h"

class RG_API RG_CompositeNode : public RG_CompositeNodeBase {
 public:
  // Each non-null input gets a counted reference of the node's own.
  // maskMode is a mask kind, 0 to 3 (see RG_CompositeNodeBase).
  RG_CompositeNode(RG_RenderNode* source, const PF_CompositeModePlus& mode,
                   RG_RenderNode* destination, RG_RenderNode* mask, long maskMode);
  ~RG_CompositeNode() override;

 private:
  void GetSrcInputAndVisibleRect(RG_NodePreRenderCB* cb, const RG_RenderRequest& srcRequest,
                                 RG_CheckoutResult** src, M_LRect* visible) const override;
  M_LRect GetSrcContentBounds(RG_ContentBoundsType type) const override;
  M_LRect VisibleDestRect(const M_LRect& srcRect, const M_LRect& destRect) const override;
  bool RectCoveredBySrc(const M_LRect& srcRect, const M_LRect& rect) const override;
  bool SrcHasIdentityTransform() const override;
  void DoRender(const RG_RenderRequest& request, RG_CheckoutResult* src,
                const M_LRect& visibleSrcRect, PF_MaskWorld* mask, const PF_CompositeModePlus& mode,
                RG_CheckoutResult* output) const override;
};

// The field relative to a buffer whose first row is rect's top: fields 1 and
// 2 swap when that row is odd; 0 stays 0.
RG_API long RG_EffectiveField(long field, const M_LRect& rect);
RG_API long RG_EffectiveField(long field, const M_Rect& rect);
