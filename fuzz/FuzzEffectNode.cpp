#include "FuzzEffectNode.h"

#include <algorithm>
#include <cstdint>
#include <memory>

#include "rg/RG_CheckoutResult.h"
#include "rg/RG_NodeCallbacks.h"
#include "rghost/PF_World.h"

namespace {

class EffectData : public RG_NodeData {};

// Full alpha everywhere, colours kept premultiplied.
void MakeOpaque(PF_World* w) {
  for (int32_t y = 0; y < w->height; ++y) {
    for (int32_t x = 0; x < w->width; ++x) {
      void* p = w->PixelAddress(x, y);
      if (w->depth == 8) {
        static_cast<PF_RGBA8*>(p)->alpha = 255;
      } else if (w->depth == 16) {
        static_cast<PF_RGBA16*>(p)->alpha = 65535;
      } else {
        auto* px = static_cast<PF_RGBA32F*>(p);
        px->red = std::clamp(px->red, 0.0f, 1.0f);
        px->green = std::clamp(px->green, 0.0f, 1.0f);
        px->blue = std::clamp(px->blue, 0.0f, 1.0f);
        px->alpha = 1.0f;
      }
    }
  }
}

// Copies what src and dst share, both placed by their origins.
void CopyOverlap(const PF_World* src, PF_World* dst) {
  const M_LRect s = src->GetRect(), d = dst->GetRect();
  const M_LRect o = M_Intersect(s, d);
  if (M_IsEmpty(o)) return;
  const M_LRect from = M_RelativeTo(o, s);
  dst->CopyPixels(const_cast<PF_World*>(src), &from, o.left - d.left, o.top - d.top);
}

}  // namespace

FuzzEffectNode::FuzzEffectNode(RG_RenderNode* input, uint16_t policy) : policy_(policy) {
  inputs_[0] = input;
}

FuzzEffectNode::~FuzzEffectNode() = default;

RG_NodeData* FuzzEffectNode::PreRender(RG_NodePreRenderCB* cb,
                                       const RG_RenderRequest& request) const {
  const bool explicitIds = policy_ & kExplicitIds;
  RG_RenderRequest asked = request;
  if ((policy_ & kPad) && !M_IsEmpty(asked.rect)) asked.rect = M_Grow(asked.rect, 1);
  RG_CheckoutResult* first =
      explicitIds ? cb->CheckoutInputWithID(0, 5, asked) : cb->CheckoutInput(0, asked);
  if (policy_ & kSecondCheckout) {
    if (policy_ & kNewGroup) cb->BeginCheckoutGroup();
    RG_CheckoutResult* second =
        explicitIds ? cb->CheckoutInputWithID(0, 9, request) : cb->CheckoutInput(0, request);
    if (policy_ & kSkipSecond) second->SkipRendering();
  }
  if (policy_ & kForceRect) first->ForceRect(request.rect);
  const char flags = (policy_ & kOpaque) ? 1 : 0;
  const long newWorldFlags = (policy_ & kClearOutput) ? 1 : 0;
  if (policy_ & kInPlace) {
    cb->RequestOutputInPlace(first, M_Union(first->GetRect(), first->GetResultRect()), flags,
                             newWorldFlags);
  } else {
    // Like most effects it draws only near its input's pixels.
    const M_LRect reach =
        M_IsEmpty(first->GetRect()) ? first->GetRect() : M_Grow(first->GetRect(), 1);
    cb->RequestOutput(M_Intersect(request.rect, reach), flags, newWorldFlags);
  }
  return (policy_ & kNodeData) ? new EffectData : nullptr;
}

void FuzzEffectNode::Render(RG_NodeRenderCB* cb, const RG_RenderRequest& request,
                            const RG_NodeData*) const {
  CheckAbort();
  const bool explicitIds = policy_ & kExplicitIds;
  const bool hasSecond = (policy_ & kSecondCheckout) && !(policy_ & kSkipSecond);
  RG_CheckoutResult *first, *second = nullptr, *out;
  if (policy_ & kNextCheckout) {
    first = cb->GetNextCheckout();
    if (hasSecond) second = cb->GetNextCheckout();
    out = (policy_ & kInPlace) ? first : cb->GetNextCheckout();
  } else {
    first = cb->GetCheckoutByID(explicitIds ? 5 : 0);
    if (hasSecond) second = cb->GetCheckoutByID(explicitIds ? 9 : 1);
    out = cb->GetCheckoutByID(-1);
  }

  if (policy_ & kInPlace) {
    if (PF_World* w = out->GetOutputWorld(); w && (policy_ & kOpaque)) MakeOpaque(w);
  } else {
    const PF_World* src = first->GetWorld();
    if (src && (policy_ & kCoerce)) {
      first->CoerceBitDepth(request.bit_depth == 8 ? 16 : 8);
      first->CoerceBitDepth(request.bit_depth);
      src = first->GetWorld();
    }
    std::unique_ptr<PF_World> taken;
    if (src && (policy_ & kTakeInput)) {
      taken.reset(first->TakeOwnershipOfWorld());
      src = taken.get();
    }
    PF_World* o = out->GetOutputWorld();
    if (o && src) CopyOverlap(src, o);
    if (o && (policy_ & kOpaque)) MakeOpaque(o);
    if (policy_ & kReleaseInput) first->Release();
  }
  if (second) {
    (void)second->GetWorld();
    if (policy_ & kReleaseInput) second->Release();
  }
  Progress(1, 1);
}
