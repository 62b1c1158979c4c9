// Composite node that places its source through one or more 3x3 matrices
// (source buffer space to output space) before compositing it. Several
// matrices are rendered together (motion blur); the output is treated as
// the union of the placements. With no matrix the source is placed
// unchanged.
#pragma once

#include "rg/RG_CompositeNodeBase.h"
#include "rg/RG_Export.h"

class RG_API RG_XformNode : public RG_CompositeNodeBase {
 public:
  // Copies the matrices (`count` >= 0; a negative count throws
  // U_ERR_BAD_PARAMETER). quality 0 samples nearest, 1 bilinear. maskMode is
  // a mask kind, 0 to 3 (see RG_CompositeNodeBase).
  RG_XformNode(const M_Matrix3* matrices, long count, const PF_CompositeModePlus& mode,
               long quality, RG_RenderNode* source, RG_RenderNode* destination, RG_RenderNode* mask,
               long maskMode);
  ~RG_XformNode() override;

 private:
  friend struct RGp_XformAccess;

  void GetSrcInputAndVisibleRect(RG_NodePreRenderCB* cb, const RG_RenderRequest& srcRequest,
                                 RG_CheckoutResult** src, M_LRect* visible) const override;
  M_LRect GetSrcContentBounds(RG_ContentBoundsType type) const override;
  M_LRect VisibleDestRect(const M_LRect& srcRect, const M_LRect& destRect) const override;
  bool RectCoveredBySrc(const M_LRect& srcRect, const M_LRect& rect) const override;
  bool SrcHasIdentityTransform() const override;
  void DoRender(const RG_RenderRequest& request, RG_CheckoutResult* src,
                const M_LRect& visibleSrcRect, PF_MaskWorld* mask, const PF_CompositeModePlus& mode,
                RG_CheckoutResult* output) const override;

  long FieldForMatrices(bool snap, long field) const;
  M_LRect ForwardBounds(const M_LRect& rect) const;
  M_LRect InverseBounds(const M_LRect& rect) const;
  static M_LRect UncoveredRect(const M_LRect& destRect, const M_LRect& srcRect,
                               const M_Matrix3& matrix);
  static long ClipPolygonToEdge(const M_Vector2T<double>* points, long count,
                                const M_Vector2T<double>& a, const M_Vector2T<double>& b,
                                double side, M_Vector2T<double>* out);
  static bool PointInQuad(const M_Vector2T<double>& p, const double quad[8]);

  M_Matrix3* matrices_ = nullptr;  // owned, allocated through U_PurgeLoop
  int32_t count_ = 0;
  int32_t quality_ = 0;
};
