#include "rg/RG_XformNode.h"

#include <cmath>
#include <cstdint>
#include <limits>

#include "composite/RGp_MatrixArray.h"
#include "composite/RGp_PlacedTransfer.h"
#include "frame/RGp_Errors.h"
#include "rg/RG_CheckoutResult.h"
#include "rg/RG_CompositeNode.h"
#include "rg/RG_NodeCallbacks.h"
#include "rghost/M_Geometry.h"
#include "rghost/PF_Transfer.h"
#include "rghost/PF_World.h"
#include "rghost/U_Errors.h"

namespace {

bool IsPureTranslation(const M_Matrix3& m) {
  return m[0] == 1.0 && m[4] == 1.0 && m[8] == 1.0 && m[1] == 0.0 && m[2] == 0.0 && m[3] == 0.0 &&
         m[5] == 0.0;
}

}  // namespace

RG_XformNode::RG_XformNode(const M_Matrix3* matrices, long count, const PF_CompositeModePlus& mode,
                           long quality, RG_RenderNode* source, RG_RenderNode* destination,
                           RG_RenderNode* mask, long maskMode)
    : RG_CompositeNodeBase(source, mode, destination, mask, maskMode) {
  if (count < 0 || count > std::numeric_limits<int32_t>::max() ||
      (count > 0 && matrices == nullptr)) {
    RGp_FailErrString(RGp_LOC_NONE, "A transform node needs as many matrices as its count says.",
                      U_ERR_BAD_PARAMETER);
  }
  if (count > 0) matrices_ = RGp_AllocMatrices(count);
  count_ = static_cast<int32_t>(count);
  quality_ = static_cast<int32_t>(quality);
  for (int32_t i = 0; i < count_; ++i) matrices_[i] = matrices[i];
}

RG_XformNode::~RG_XformNode() { RGp_FreeMatrices(matrices_, count_); }

bool RG_XformNode::SrcHasIdentityTransform() const {
  for (int32_t i = 0; i < count_; ++i) {
    if (!matrices_[i].IsIdentityWithinEpsilon(1e-12)) return false;
  }
  return true;
}

long RG_XformNode::FieldForMatrices(bool snap, long field) const {
  // 0 stays 0; a field that names no field is passed on for the host to refuse.
  if (field != 1 && field != 2) return field;
  // Only whole-row vertical shifts keep a single field single: each shift
  // either keeps the field or, when odd, swaps it. Both fields needed means
  // the whole frame.
  long seen = 0;
  for (int32_t i = 0; i < count_; ++i) {
    const M_Matrix3& m = matrices_[i];
    if (!IsPureTranslation(m)) return 0;
    const double ty = m[7];
    // 16.16 fixed point holds shifts below 32768 rows; anything larger (or
    // not a number) cannot be classed as a whole-row shift.
    if (!(std::fabs(ty) < 32768.0)) return 0;
    const double scaled = ty * 65536.0 + (ty < 0 ? -0.5 : 0.5);
    if (!(scaled > -2147483649.0 && scaled < 2147483648.0)) return 0;
    int32_t fixed = static_cast<int32_t>(scaled);
    if (snap) {
      // Shifts within a sixteenth of a row of the half-row stay fractional;
      // everything else rounds to the nearest row.
      const uint32_t frac = static_cast<uint32_t>(fixed) & 0xFFFFu;
      if (frac < 0x7000u || frac >= 0x9001u) {
        const int16_t rows = static_cast<int16_t>((static_cast<int64_t>(fixed) + 0x8000) >> 16);
        fixed = static_cast<int32_t>(static_cast<int64_t>(rows) * 65536);
      }
    }
    if ((static_cast<uint32_t>(fixed) & 0xFFFFu) != 0) return 0;
    const int32_t rows = fixed >> 16;
    const long f = (rows & 1) ? 3 - field : field;
    seen |= 1L << f;
    if (seen == 6) return 0;
  }
  return seen == 2 ? 1 : 2;
}

void RG_XformNode::GetSrcInputAndVisibleRect(RG_NodePreRenderCB* cb,
                                             const RG_RenderRequest& srcRequest,
                                             RG_CheckoutResult** src, M_LRect* visible) const {
  if (SrcHasIdentityTransform()) {
    *src = cb->CheckoutInput(0, srcRequest);
    *visible = (*src)->GetRect();
    return;
  }
  // Bilinear sampling reads one pixel beyond every source pixel it lands
  // between, so quality 1 asks for (and places) one pixel more each side.
  M_LRect need = InverseBounds(srcRequest.rect);
  if (quality_ == 1) need = M_Grow(need, 1);
  RG_RenderRequest request = srcRequest;
  request.rect = need;
  request.field = static_cast<int32_t>(FieldForMatrices(quality_ != 1, srcRequest.field));
  *src = cb->CheckoutInput(0, request);
  M_LRect r = (*src)->GetRect();
  if (quality_ == 1 && !M_IsEmpty(r)) r = M_Grow(r, 1);
  *visible = M_Intersect(ForwardBounds(r), srcRequest.rect);
}

void RG_XformNode::DoRender(const RG_RenderRequest& request, RG_CheckoutResult* src,
                            const M_LRect& visibleSrcRect, PF_MaskWorld* mask,
                            const PF_CompositeModePlus& mode, RG_CheckoutResult* output) const {
  // Without matrices the source is placed unchanged, as a layer composite
  // would place it.
  if (count_ == 0) {
    RGp_TransferPlaced(request, src, visibleSrcRect, mask, mode, output);
    return;
  }
  const M_LRect& srcBounds = src->GetRect();
  const M_LRect& outBounds = output->GetRect();
  // Each working matrix maps source-buffer pixels to output-buffer pixels.
  RGp_MatrixArray work(count_);
  for (int32_t i = 0; i < count_; ++i) {
    M_Matrix3& t = work[i];
    if (srcBounds.left != 0 || srcBounds.top != 0) {
      t.SetIdentity();
      t.Translate(srcBounds.left, srcBounds.top);
      t *= matrices_[i];
    } else {
      t = matrices_[i];
    }
    if (outBounds.left != 0 || outBounds.top != 0)
      t.Translate(-static_cast<double>(outBounds.left), -static_cast<double>(outBounds.top));
  }
  const M_LRect destRect =
      M_Offset(visibleSrcRect, -int64_t{outBounds.left}, -int64_t{outBounds.top});
  PF_LayerDef* outLayer = output->GetOutputWorld();
  // The host only reads the source layer.
  PF_LayerDef* srcLayer = const_cast<PF_World*>(src->GetWorld());
  const long field = RG_EffectiveField(request.field, outBounds);
  PF_ProgressInfo progressInfo;
  PF_ProgressInfo* progress = MakePFProgInfo(&progressInfo);
  const long status =
      PF_TransformWorld(progress, quality_, 1, field, srcLayer, &mode, mode.mode_ext, mask,
                        work.Get(), count_, true, &destRect, outLayer);
  if (status != 0) throw status;
}
