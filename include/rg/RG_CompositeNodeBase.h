// The three-input node that lays a source over a destination through an
// optional mask with a host compositing mode.
//
// Inputs: 0 source (must be present when pre-rendered), 1 destination (may
// be null; when kept its buffer becomes the output), 2 mask (may be null).
// The mask mode is a mask kind (PF_MaskKind, rghost/PF_Transfer.h): 0 the
// mask's alpha, 1 its inverted alpha, 2 its luma, 3 its inverted luma; the
// host's compositing calls refuse any other value (U_ERR_BAD_PARAMETER) when
// a mask is composited.
// The node is immutable after construction; every per-request decision lives
// in the RG_CompositeNode_Data its PreRender returns. Geometry is asked of six
// pure operations that the concrete kinds supply.
#pragma once

#include <cstdint>

#include "rg/RG_Export.h"
#include "rg/RG_RenderNode.h"
#include "rghost/PF_Transfer.h"

class RG_CheckoutResult;

// The decisions of one pre-render; owned by the traversal.
class RG_API RG_CompositeNode_Data : public RG_NodeData {
 public:
  ~RG_CompositeNode_Data() override;
  M_LRect visibleSrcRect;    // output area the visible source covers
  bool srcVisible = false;   // a source checkout is kept
  bool useDest = false;      // the destination is kept and its buffer is the output
  bool useMask = false;      // a mask checkout is kept
  bool doComposite = false;  // Render must call DoRender
  bool freshOutput = false;  // the output is a new buffer from RequestOutput
};

class RG_API RG_CompositeNodeBase : public RG_ThreeInputNode {
 public:
  ~RG_CompositeNodeBase() override;

  RG_NodeData* PreRender(RG_NodePreRenderCB* cb, const RG_RenderRequest& request) const override;
  void Render(RG_NodeRenderCB* cb, const RG_RenderRequest& request,
              const RG_NodeData* data) const override;
  M_LRect ComputeContentBounds(RG_ContentBoundsType type) const override;
  bool ContentBoundsDifferByType() const override;

  const PF_CompositeModePlus& GetCompositeMode() const { return mode_; }
  long GetMaskMode() const { return mask_mode_; }  // a PF_MaskKind, 0 to 3

  // The part of A not covered by B, as one rect (only whole-height cuts).
  static M_LRect RectMinus(const M_LRect& a, const M_LRect& b);

 protected:
  RG_CompositeNodeBase(RG_RenderNode* source, const PF_CompositeModePlus& mode,
                       RG_RenderNode* destination, RG_RenderNode* mask, long maskMode);

 private:
  friend struct RGp_CompositeAccess;

  bool SourceObscures(const RG_CheckoutResult* src, const RG_CheckoutResult* mask) const;
  char ResultFlags(const RG_CheckoutResult* src, bool obscures, const RG_CheckoutResult* dest,
                   M_LRect outRect) const;

  // Checks out input 0 for the request's rect; stores the checkout and the
  // output rect the source will cover.
  virtual void GetSrcInputAndVisibleRect(RG_NodePreRenderCB* cb, const RG_RenderRequest& srcRequest,
                                         RG_CheckoutResult** src, M_LRect* visible) const = 0;
  // Content bounds of the source as placed in the output.
  virtual M_LRect GetSrcContentBounds(RG_ContentBoundsType type) const = 0;
  // The part of destRect the source, checked out over srcRect, does not cover.
  virtual M_LRect VisibleDestRect(const M_LRect& srcRect, const M_LRect& destRect) const = 0;
  // The source, placed from srcRect, covers all of rect.
  virtual bool RectCoveredBySrc(const M_LRect& srcRect, const M_LRect& rect) const = 0;
  virtual bool SrcHasIdentityTransform() const = 0;
  // Composites the source's pixels into the output buffer.
  virtual void DoRender(const RG_RenderRequest& request, RG_CheckoutResult* src,
                        const M_LRect& visibleSrcRect, PF_MaskWorld* mask,
                        const PF_CompositeModePlus& mode, RG_CheckoutResult* output) const = 0;

  PF_CompositeModePlus mode_;
  int32_t mask_mode_;  // a PF_MaskKind
  bool has_destination_;
  bool has_mask_;
};
