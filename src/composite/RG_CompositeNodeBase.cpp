#include "rg/RG_CompositeNodeBase.h"

#include <algorithm>

#include "rg/RG_CheckoutResult.h"
#include "rg/RG_NodeCallbacks.h"
#include "rghost/M_Geometry.h"
#include "rghost/PF_World.h"

namespace {

// The only modes in which an opaque source can hide what lies under it.
bool ModeCanHideDestination(int32_t mode) {
  return mode == PF_BLEND_COPY || mode == PF_BLEND_NORMAL || mode == PF_BLEND_DISSOLVE ||
         mode == PF_BLEND_SILHOUETTE_ALPHA;
}

// Stencil and silhouette modes: the result depends on the destination's
// alpha, so an opaque destination or source says nothing about the output.
bool IsStencilOrSilhouette(int32_t mode) {
  return mode >= PF_BLEND_STENCIL_ALPHA && mode <= PF_BLEND_SILHOUETTE_LUMA;
}

// Stencil modes draw only where source and destination overlap.
bool IsStencil(int32_t mode) {
  return mode == PF_BLEND_STENCIL_ALPHA || mode == PF_BLEND_STENCIL_LUMA;
}

// Modes whose source is needed only as far as its type-1 content reaches.
bool WantsContentBoundsType1(int32_t mode) { return IsStencil(mode) || mode == PF_BLEND_ALPHA_ADD; }

// The inverted kinds (1 and 3, bit 0 set) cover everything outside the mask
// buffer.
bool IsInverted(int32_t kind) { return (kind & PF_MASK_INVERTED_ALPHA) != 0; }

bool IsOpaque(const RG_CheckoutResult* r) { return (r->GetFlags() & RG_OUTPUT_OPAQUE) != 0; }

}  // namespace

RG_CompositeNode_Data::~RG_CompositeNode_Data() = default;

RG_CompositeNodeBase::RG_CompositeNodeBase(RG_RenderNode* source, const PF_CompositeModePlus& mode,
                                           RG_RenderNode* destination, RG_RenderNode* mask,
                                           long maskMode)
    : RG_ThreeInputNode(source, destination, mask),
      mode_(mode),
      mask_mode_(static_cast<int32_t>(maskMode)),
      has_destination_(destination != nullptr),
      has_mask_(mask != nullptr) {}

RG_CompositeNodeBase::~RG_CompositeNodeBase() = default;

M_LRect RG_CompositeNodeBase::RectMinus(const M_LRect& a, const M_LRect& b) {
  if (M_Contains(b, a)) return M_LRect{};
  // Only a cut through A's full height leaves a single rect; anything else
  // would need two rects, so A is kept whole.
  if (b.top <= a.top && b.bottom >= a.bottom) {
    M_LRect r = a;
    // A B that lies wholly beside A cuts nothing: the cut never moves an
    // edge of A outwards.
    if (b.left <= a.left && b.right <= a.right) {
      r.left = std::max(a.left, b.right);
    } else if (b.left > a.left && b.right >= a.right) {
      r.right = std::min(a.right, b.left);
    }
    return r;
  }
  return a;
}

bool RG_CompositeNodeBase::SourceObscures(const RG_CheckoutResult* src,
                                          const RG_CheckoutResult* mask) const {
  if (!ModeCanHideDestination(mode_.transfer_mode) || mode_.dest_bound != 0) return false;
  if (!(mode_.opacity >= 1.0f)) return false;  // NaN does not obscure
  if (!src || !IsOpaque(src)) return false;
  if (!mask) return true;
  // A mask left by the pre-render is not empty: an empty inverted one is
  // dropped there, and an empty plain one hides the source.
  return IsOpaque(mask) && mask_mode_ == PF_MASK_ALPHA;
}

char RG_CompositeNodeBase::ResultFlags(const RG_CheckoutResult* src, bool obscures,
                                       const RG_CheckoutResult* dest, M_LRect outRect) const {
  M_LRect r = outRect;
  // An opaque destination makes its own area opaque, unless a stencil or
  // silhouette source can cut holes into it.
  if (dest && IsOpaque(dest) && (!src || !IsStencilOrSilhouette(mode_.transfer_mode))) {
    r = RectMinus(outRect, dest->GetRect());
  }
  if (M_IsEmpty(r)) return RG_OUTPUT_OPAQUE;
  if (!src || !obscures) return 0;
  if (IsStencilOrSilhouette(mode_.transfer_mode)) return 0;
  return RectCoveredBySrc(src->GetRect(), r) ? RG_OUTPUT_OPAQUE : 0;
}

RG_NodeData* RG_CompositeNodeBase::PreRender(RG_NodePreRenderCB* cb,
                                             const RG_RenderRequest& request) const {
  const M_LRect& requestRect = request.rect;
  RG_CheckoutResult* mask = nullptr;
  RG_CheckoutResult* src = nullptr;
  M_LRect visibleSrcRect;
  bool srcVisible = false;
  bool useDest = has_destination_;
  bool useMask = false;

  // At opacity 0 the source contributes nothing: neither it nor the mask is
  // checked out.
  if (mode_.opacity != 0.0f) {
    M_LRect srcArea = requestRect;
    if (has_mask_) {
      mask = cb->CheckoutInput(2, request);
      if (IsInverted(mask_mode_)) {
        // An inverted mask with nothing in it lets the whole source through.
        if (M_IsEmpty(mask->GetRect())) {
          mask->SkipRendering();
          mask = nullptr;
        }
      } else {
        srcArea = M_Intersect(requestRect, mask->GetRect());
      }
    }

    // A missing source has nothing to draw; checking out an absent input
    // would break the execution contract.
    if (!M_IsEmpty(srcArea) && GetInput(0) != nullptr) {
      RG_RenderRequest srcRequest = request;
      srcRequest.rect = srcArea;
      if (WantsContentBoundsType1(mode_.transfer_mode))
        srcRequest.flags |= RG_REQUEST_CONTENT_BOUNDS_TYPE1;
      GetSrcInputAndVisibleRect(cb, srcRequest, &src, &visibleSrcRect);

      if (mask && M_Contains(mask->GetRect(), visibleSrcRect)) {
        const bool maskOpaque = IsOpaque(mask);
        if ((maskOpaque && mask_mode_ == PF_MASK_ALPHA) ||
            (M_IsEmpty(mask->GetRect()) && IsInverted(mask_mode_))) {
          // The mask lets every visible source pixel through: not needed.
          mask->SkipRendering();
          mask = nullptr;
        } else if (mask_mode_ == PF_MASK_INVERTED_ALPHA && maskOpaque) {
          // An opaque inverted mask over the whole source hides it.
          visibleSrcRect = M_LRect{};
        }
      }
    }

    if (!M_IsEmpty(visibleSrcRect)) {
      srcVisible = true;
      useMask = mask != nullptr;
    } else {
      if (src) src->SkipRendering();
      if (mask) mask->SkipRendering();
      src = nullptr;
      mask = nullptr;
    }
  }

  const bool obscures = SourceObscures(src, mask);
  // The destination is rendered in a later group than the mask and the
  // source, only when it is fetched.
  cb->BeginCheckoutGroup();

  bool doComposite = false;
  bool freshOutput = false;
  bool haveOutput = false;

  if (has_destination_) {
    // Where an opaque source lies, the destination need not be rendered.
    const M_LRect destArea = obscures ? VisibleDestRect(src->GetRect(), requestRect) : requestRect;
    if (M_IsEmpty(destArea)) {
      useDest = false;
    } else {
      RG_RenderRequest destRequest = request;
      destRequest.rect = destArea;
      RG_CheckoutResult* dest = cb->CheckoutInput(1, destRequest);
      if (M_IsEmpty(dest->GetRect())) {
        dest->SkipRendering();
        useDest = false;
      } else {
        if (IsStencil(mode_.transfer_mode) &&
            (M_IsEmpty(visibleSrcRect) || !M_Overlaps(visibleSrcRect, dest->GetRect()))) {
          // A stencil with no source over the destination leaves nothing.
          cb->RequestOutput(M_LRect{}, 0, 0);
          return nullptr;
        }
        M_LRect outRect = dest->GetRect();
        if (srcVisible) outRect = M_Union(outRect, visibleSrcRect);
        cb->RequestOutputInPlace(dest, outRect, ResultFlags(src, obscures, dest, outRect),
                                 RG_NEW_WORLD_CLEAR);
        doComposite = srcVisible;
        freshOutput = false;
        haveOutput = true;
      }
    }
  }

  if (!haveOutput) {
    if (!srcVisible || mode_.dest_bound != 0) {
      cb->RequestOutput(M_LRect{}, 0, 0);
      return nullptr;
    }
    const char flags = ResultFlags(src, obscures, nullptr, visibleSrcRect);
    if (!mask && mode_.opacity == 1.0f && SrcHasIdentityTransform() &&
        (PF_GetTransferFlags(mode_.transfer_mode) & PF_TRANSFER_FLAG_COPY_ON_CLEARED)) {
      // The result would be a plain copy of the source: hand its own buffer
      // on instead.
      cb->RequestOutputInPlace(src, src->GetRect(), src->GetFlags(), 0);
      doComposite = false;
      freshOutput = false;
    } else {
      cb->RequestOutput(visibleSrcRect, flags, RG_NEW_WORLD_CLEAR);
      doComposite = true;
      freshOutput = true;
    }
  }

  RG_CompositeNode_Data* data = new RG_CompositeNode_Data;
  data->visibleSrcRect = visibleSrcRect;
  data->srcVisible = srcVisible;
  data->useDest = useDest;
  data->useMask = useMask;
  data->doComposite = doComposite;
  data->freshOutput = freshOutput;
  return data;
}

void RG_CompositeNodeBase::Render(RG_NodeRenderCB* cb, const RG_RenderRequest& request,
                                  const RG_NodeData* nodeData) const {
  CheckAbort();
  const RG_CompositeNode_Data* data = static_cast<const RG_CompositeNode_Data*>(nodeData);
  if (!data) return;

  // The checkouts come back in the order they were made: mask, source,
  // then the output (the destination's result when working in place).
  RG_CheckoutResult* mask = data->useMask ? cb->GetNextCheckout() : nullptr;
  RG_CheckoutResult* src = data->srcVisible ? cb->GetNextCheckout() : nullptr;
  RG_CheckoutResult* output =
      (data->useDest || data->freshOutput) ? cb->GetNextCheckout() : nullptr;

  if (data->useDest) {
    output->GetOutputWorld();
  } else if (data->srcVisible) {
    if (!data->doComposite) return;
    src->GetWorld();
  }
  if (!data->doComposite) return;

  PF_MaskWorld maskWorld;
  PF_MaskWorld* maskRecord = nullptr;
  if (mask) {
    if (const PF_World* world = mask->GetWorld()) world->FillOutEffectWorld(&maskWorld.mask);
    // Offsets past the 32-bit range (a mask far from the output) are clamped:
    // they place the mask just as wholly outside the output.
    maskWorld.offset_x = static_cast<int32_t>(std::clamp<int64_t>(
        int64_t{mask->GetRect().left} - output->GetRect().left, INT32_MIN, INT32_MAX));
    maskWorld.offset_y = static_cast<int32_t>(std::clamp<int64_t>(
        int64_t{mask->GetRect().top} - output->GetRect().top, INT32_MIN, INT32_MAX));
    maskWorld.kind = mask_mode_;
    maskRecord = &maskWorld;
  }

  // A fresh output is cleared, so a mode that allows it may become a copy.
  PF_CompositeModePlus mode = mode_;
  if (data->freshOutput &&
      (PF_GetTransferFlags(mode_.transfer_mode) & PF_TRANSFER_FLAG_COPY_ON_CLEARED))
    mode.transfer_mode = PF_BLEND_COPY;

  DoRender(request, src, data->visibleSrcRect, maskRecord, mode, output);
}

M_LRect RG_CompositeNodeBase::ComputeContentBounds(RG_ContentBoundsType type) const {
  M_LRect bounds;
  if (mode_.opacity != 0.0f && GetInput(0) != nullptr) bounds = GetSrcContentBounds(type);
  const RG_RenderNode* mask = GetInput(2);
  if (mask && !IsInverted(mask_mode_)) bounds = M_Intersect(bounds, mask->GetContentBounds(type));
  const RG_RenderNode* dest = GetInput(1);
  if (dest) bounds = M_Union(bounds, dest->GetContentBounds(type));
  return bounds;
}

bool RG_CompositeNodeBase::ContentBoundsDifferByType() const {
  const RG_RenderNode* src = GetInput(0);
  if (src && mode_.opacity != 0.0f && src->ContentBoundsTypesDiffer()) return true;
  const RG_RenderNode* mask = GetInput(2);
  if (mask && mask->ContentBoundsTypesDiffer()) return true;
  const RG_RenderNode* dest = GetInput(1);
  return dest && dest->ContentBoundsTypesDiffer();
}
