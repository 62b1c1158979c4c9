#include "support/ProofNodes.h"

#include <algorithm>
#include <cmath>

#include "rg/RG_RenderRequest.h"

namespace {

uint32_t Mix(uint32_t h) {
  h ^= h >> 16;
  h *= 0x7feb352dU;
  h ^= h >> 15;
  h *= 0x846ca68bU;
  h ^= h >> 16;
  return h;
}

// Writes premultiplied (r, g, b, a) given as fractions of the full value.
void Store(PF_World* w, int32_t x, int32_t y, const double v[4]) {
  void* p = w->PixelAddress(x, y);
  for (int c = 0; c < 4; ++c) {
    switch (w->GetDepth()) {
      case 8:
        static_cast<uint8_t*>(p)[c] = static_cast<uint8_t>(std::lround(v[c] * 255.0));
        break;
      case 16:
        static_cast<uint16_t*>(p)[c] = static_cast<uint16_t>(std::lround(v[c] * 65535.0));
        break;
      default:
        static_cast<float*>(p)[c] = static_cast<float>(v[c]);
        break;
    }
  }
}

}  // namespace

double ProofFullAlpha(short depth) { return depth == 8 ? 255.0 : depth == 16 ? 65535.0 : 1.0; }

ProofWorldPtr ProofMakeSourceWorld(const M_LRect& bounds, short depth, uint32_t seed, bool opaque) {
  ProofWorldPtr w(PF_World::New(bounds, depth, 0));
  const uint32_t style = Mix(seed) % 4;  // smooth, noisy, blocky or banded
  for (int32_t y = 0; y < w->height; ++y) {
    for (int32_t x = 0; x < w->width; ++x) {
      int32_t px = x, py = y;
      if (style == 2) {
        px /= 4;
        py /= 4;
      }
      if (style == 3) px = 0;
      const uint32_t h = Mix(seed * 0x9e3779b9U + static_cast<uint32_t>(px) * 0x85ebca6bU +
                             static_cast<uint32_t>(py) * 0xc2b2ae35U);
      double a = 1.0;
      if (!opaque) {
        const uint32_t k = h % 10;
        a = k == 0 ? 0.0 : k == 1 ? 1.0 : (h >> 8) % 256 / 255.0;
        if (style == 0) a = 0.5 + 0.5 * std::sin(0.3 * x + seed) * std::cos(0.2 * y);
        a = std::clamp(a, 0.0, 1.0);
      }
      double v[4];
      for (int c = 0; c < 3; ++c) {
        const double f = style == 0 ? 0.5 + 0.5 * std::sin(0.17 * (c + 1) * (x + 2 * y) + seed)
                                    : ((h >> (c * 7)) & 0xFF) / 255.0;
        v[c] = std::clamp(f, 0.0, 1.0) * a;
      }
      v[3] = a;
      Store(w.get(), x, y, v);
    }
  }
  return w;
}

double ProofRawChannel(const PF_World& w, int32_t x, int32_t y, int c) {
  const void* p = w.PixelAddress(x - w.origin_x, y - w.origin_y);
  switch (w.depth) {
    case 8:
      return static_cast<const uint8_t*>(p)[c];
    case 16:
      return static_cast<const uint16_t*>(p)[c];
    default:
      return static_cast<const float*>(p)[c];
  }
}

bool ProofWorldIsOpaque(const PF_World& w) {
  const double full = ProofFullAlpha(w.depth);
  for (int32_t y = 0; y < w.height; ++y) {
    for (int32_t x = 0; x < w.width; ++x) {
      if (ProofRawChannel(w, x + w.origin_x, y + w.origin_y, 3) != full) return false;
    }
  }
  return true;
}

void ProofInvertPixels(PF_World* w) {
  for (int32_t y = 0; y < w->height; ++y) {
    for (int32_t x = 0; x < w->width; ++x) {
      void* p = w->PixelAddress(x, y);
      switch (w->GetDepth()) {
        case 8: {
          auto* q = static_cast<uint8_t*>(p);
          for (int c = 0; c < 3; ++c) q[c] = static_cast<uint8_t>(q[3] - std::min(q[c], q[3]));
          break;
        }
        case 16: {
          auto* q = static_cast<uint16_t*>(p);
          for (int c = 0; c < 3; ++c) q[c] = static_cast<uint16_t>(q[3] - std::min(q[c], q[3]));
          break;
        }
        default: {
          auto* q = static_cast<float*>(p);
          for (int c = 0; c < 3; ++c) q[c] = q[3] - std::min(q[c], q[3]);
          break;
        }
      }
    }
  }
}

// ---- ProofSourceNode ----

ProofSourceNode::ProofSourceNode(const PF_World* world, bool opaque)
    : world_(world), opaque_(opaque), bounds_(world->GetRect()) {}

M_LRect ProofSourceNode::ComputeContentBounds(RG_ContentBoundsType) const { return bounds_; }

RG_NodeData* ProofSourceNode::PreRender(RG_NodePreRenderCB* cb,
                                        const RG_RenderRequest& request) const {
  ++prerenders;
  last_request = request;
  cb->RequestOutput(M_Intersect(request.rect, bounds_), opaque_ ? 1 : 0, 0);
  return nullptr;
}

void ProofSourceNode::Render(RG_NodeRenderCB* cb, const RG_RenderRequest&,
                             const RG_NodeData*) const {
  ++renders;
  RG_CheckoutResult* out = cb->GetNextCheckout();
  const M_LRect& r = out->GetRect();
  const M_LRect rel{r.left - bounds_.left, r.top - bounds_.top, r.right - bounds_.left,
                    r.bottom - bounds_.top};
  ProofWorldPtr view(PF_World::NewReference(const_cast<PF_World*>(world_), rel));
  std::unique_ptr<RG_BufferLock> lock(new RG_BufferLock);
  out->SetOutputWorld(view.release(), lock.release());
}

// ---- ProofInvertNode ----

ProofInvertNode::ProofInvertNode(RG_RenderNode* input) { inputs_[0] = input; }

RG_NodeData* ProofInvertNode::PreRender(RG_NodePreRenderCB* cb,
                                        const RG_RenderRequest& request) const {
  RG_CheckoutResult* in = cb->CheckoutInput(0, request);
  cb->RequestOutputInPlace(in, in->GetResultRect(), in->GetFlags(), 0);
  return nullptr;
}

void ProofInvertNode::Render(RG_NodeRenderCB* cb, const RG_RenderRequest&,
                             const RG_NodeData*) const {
  ProofInvertPixels(cb->GetCheckoutByID(-1)->GetOutputWorld());
}

// ---- ProofCropNode ----

ProofCropNode::ProofCropNode(RG_RenderNode* input, const M_LRect& keep, const M_LRect& extent)
    : keep_(keep), extent_(extent) {
  inputs_[0] = input;
}

M_LRect ProofCropNode::ComputeContentBounds(RG_ContentBoundsType type) const {
  return type == RG_CONTENT_BOUNDS_TYPE1 ? extent_ : keep_;
}

RG_NodeData* ProofCropNode::PreRender(RG_NodePreRenderCB* cb,
                                      const RG_RenderRequest& request) const {
  RG_RenderRequest inner = request;
  inner.rect = M_Intersect(request.rect, keep_);
  cb->CheckoutInput(0, inner);
  const bool wide = (request.flags & RG_REQUEST_CONTENT_BOUNDS_TYPE1) != 0;
  cb->RequestOutput(M_Intersect(request.rect, wide ? extent_ : keep_), 0, 1);
  return nullptr;
}

void ProofCropNode::Render(RG_NodeRenderCB* cb, const RG_RenderRequest&, const RG_NodeData*) const {
  RG_CheckoutResult* in = cb->GetNextCheckout();
  RG_CheckoutResult* out = cb->GetNextCheckout();
  const PF_World* src = in->GetWorld();
  PF_World* dst = out->GetOutputWorld();
  dst->Clear(0);
  if (src == nullptr) return;
  const M_LRect s = src->GetRect();
  const M_LRect d = dst->GetRect();
  const M_LRect area = M_Intersect(M_Intersect(s, d), keep_);
  if (M_IsEmpty(area)) return;
  const M_LRect srcRect{area.left - s.left, area.top - s.top, area.right - s.left,
                        area.bottom - s.top};
  dst->CopyPixels(const_cast<PF_World*>(src), &srcRect, area.left - d.left, area.top - d.top);
}

// ---- ProofMapCache ----

namespace {

class ProofCacheData : public RG_NodeData {
 public:
  explicit ProofCacheData(size_t index) : index(index) {}
  size_t index;
};

}  // namespace

ProofMapCache::ProofMapCache(RG_RenderNode* input, bool lookupEnabled, bool stale)
    : RG_CacheNodeBase(lookupEnabled), child_(input), stale_(stale) {}

ProofMapCache::~ProofMapCache() = default;

U_SharedPtr<RG_RenderNode> ProofMapCache::MakeInput() const { return child_; }

bool ProofMapCache::LookupCache(const RG_RenderRequest& request, RG_NodeData** cacheData,
                                M_LRect* resultRect, char* outputFlags,
                                M_LRect* contentBounds) const {
  // Content-bounds probes come with an empty rect and an unset depth; they are
  // answered by the input.
  if (M_IsEmpty(request.rect)) return false;
  for (size_t i = 0; i < entries_.size(); ++i) {
    const Entry& e = entries_[i];
    if (e.request.bit_depth != request.bit_depth) continue;
    if (!M_Contains(e.request.rect, request.rect)) continue;
    if (e.request.field != 0 && e.request.field != request.field) continue;
    if ((request.flags & RG_REQUEST_CONTENT_BOUNDS_TYPE1) &&
        !(e.request.flags & RG_REQUEST_CONTENT_BOUNDS_TYPE1))
      continue;
    ++hits;
    *cacheData = new ProofCacheData(i);
    *resultRect = e.result_rect;
    *outputFlags = e.flags;
    const RG_ContentBoundsType type = (request.flags & RG_REQUEST_CONTENT_BOUNDS_TYPE1)
                                          ? RG_CONTENT_BOUNDS_TYPE1
                                          : RG_CONTENT_BOUNDS_TYPE0;
    *contentBounds = child_->GetContentBounds(type);
    return true;
  }
  return false;
}

void ProofMapCache::Serve(const Entry& e, RG_CheckoutResult* output) {
  const M_LRect want = output->GetRect();
  if (e.world && M_Contains(e.world->GetRect(), want)) {
    const M_LRect w = e.world->GetRect();
    const M_LRect rel{want.left - w.left, want.top - w.top, want.right - w.left,
                      want.bottom - w.top};
    ProofWorldPtr view(PF_World::NewReference(e.world.get(), rel));
    std::unique_ptr<RG_BufferLock> lock(new RG_BufferLock);
    output->SetOutputWorld(view.release(), lock.release());
    return;
  }
  // The entry does not cover the output: hand over a cleared copy.
  ProofWorldPtr copy(PF_World::New(want, output->GetGeneratingRequest().bit_depth, 1));
  if (e.world) {
    const M_LRect w = e.world->GetRect();
    copy->CopyPixels(e.world.get(), nullptr, w.left - want.left, w.top - want.top);
  }
  output->SetOutputWorld(copy.release(), nullptr);
}

void ProofMapCache::StoreInCache(const RG_RenderRequest& childRequest, long,
                                 const M_LRect& resultRect, char outputFlags, PF_World* world,
                                 RG_CheckoutResult* output) const {
  ProofWorldPtr owned(world);  // ours from here on, also when we throw
  ++stores;
  Entry e;
  e.request = childRequest;
  e.result_rect = resultRect;
  e.flags = outputFlags;
  e.world = std::move(owned);
  entries_.push_back(std::move(e));
  Serve(entries_.back(), output);
}

bool ProofMapCache::RenderFromCache(const RG_NodeData* cacheData, const RG_RenderRequest&,
                                    RG_CheckoutResult* output) const {
  if (stale_) return false;
  const auto* data = static_cast<const ProofCacheData*>(cacheData);
  Serve(entries_.at(data->index), output);
  return true;
}
