#include "support/ProofNodes.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <type_traits>

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

// Calls f(channel pointer, full value) on pixel (x, y) of the buffer.
template <class F>
void AtPixel(const PF_World* w, int32_t x, int32_t y, F f) {
  void* p = const_cast<PF_World*>(w)->PixelAddress(x, y);
  if (w->depth == 8) {
    f(static_cast<uint8_t*>(p), uint8_t{255});
  } else if (w->depth == 16) {
    f(static_cast<uint16_t*>(p), uint16_t{65535});
  } else {
    f(static_cast<float*>(p), 1.0f);
  }
}

template <class F>
void ForEachPixel(PF_World* w, F f) {
  for (int32_t y = 0; y < w->height; ++y)
    for (int32_t x = 0; x < w->width; ++x) AtPixel(w, x, y, f);
}

// Copies what src and dst share inside `within`, both placed by their origins.
void CopyOverlap(const PF_World* src, PF_World* dst, const M_LRect& within) {
  const M_LRect o = M_Intersect(M_Intersect(src->GetRect(), dst->GetRect()), within);
  if (M_IsEmpty(o)) return;
  const M_LRect from = M_RelativeTo(o, src->GetRect());
  dst->CopyPixels(const_cast<PF_World*>(src), &from, o.left - dst->origin_x, o.top - dst->origin_y);
}

struct EffectData : RG_NodeData {};

constexpr M_LRect kEverywhere{
    std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::min(),
    std::numeric_limits<int32_t>::max(), std::numeric_limits<int32_t>::max()};

}  // namespace

void ProofFillWorld(PF_World* w, uint32_t seed, ProofFill fill) {
  const uint32_t style = Mix(seed) % 4;  // smooth, noisy, blocky or banded
  for (int32_t y = 0; y < w->height; ++y) {
    for (int32_t x = 0; x < w->width; ++x) {
      int32_t px = x, py = y;
      if (style == 2) px /= 4, py /= 4;
      if (style == 3) px = 0;
      const uint32_t h = Mix(seed * 0x9e3779b9U + static_cast<uint32_t>(px) * 0x85ebca6bU +
                             static_cast<uint32_t>(py) * 0xc2b2ae35U);
      double a = 1.0;
      if (fill == ProofFill::kTranslucent) {
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
      // Raw: any four values, floats also well outside 0..1.
      for (int c = 0; fill == ProofFill::kRaw && c < 4; ++c) {
        v[c] = (Mix(h + c) & 0xFFFF) / 65535.0;
        if (w->depth == 32) v[c] = v[c] * 4 - 1.5;
      }
      if (fill == ProofFill::kClear) v[0] = v[1] = v[2] = v[3] = 0;
      AtPixel(w, x, y, [&](auto* q, auto full) {
        using T = std::remove_pointer_t<decltype(q)>;
        for (int c = 0; c < 4; ++c) {
          q[c] = std::is_floating_point_v<T>
                     ? static_cast<T>(v[c])
                     : static_cast<T>(
                           std::lround(std::clamp(v[c], 0.0, 1.0) * static_cast<double>(full)));
        }
      });
    }
  }
}

ProofWorldPtr ProofMakeSourceWorld(const M_LRect& bounds, short depth, uint32_t seed, bool opaque) {
  ProofWorldPtr w(PF_World::New(bounds, depth, 0));
  ProofFillWorld(w.get(), seed, opaque ? ProofFill::kOpaque : ProofFill::kTranslucent);
  return w;
}

double ProofRawChannel(const PF_World& w, int32_t x, int32_t y, int c) {
  double r = 0;
  AtPixel(&w, x - w.origin_x, y - w.origin_y, [&](auto* q, auto) { r = q[c]; });
  return r;
}

void ProofInvertPixels(PF_World* w) {
  ForEachPixel(w, [](auto* q, auto) {
    for (int c = 0; c < 3; ++c) q[c] = static_cast<decltype(+q[0])>(q[3] - std::min(q[c], q[3]));
  });
}

// Full alpha on every pixel, colours clamped to it.
static void ProofMakeOpaque(PF_World* w) {
  ForEachPixel(w, [](auto* q, auto full) {
    for (int c = 0; c < 3; ++c) q[c] = std::clamp(q[c], decltype(full){0}, full);
    q[3] = full;
  });
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
  ProofWorldPtr view(
      PF_World::NewReference(const_cast<PF_World*>(world_), M_RelativeTo(out->GetRect(), bounds_)));
  std::unique_ptr<RG_BufferLock> lock(new RG_BufferLock);
  out->SetOutputWorld(view.release(), lock.release());
}

// ---- ProofEffectNode ----

ProofEffectNode::ProofEffectNode(RG_RenderNode* input, uint32_t policy, const M_LRect& keep,
                                 const M_LRect& extent)
    // A crop clears outside `keep`, which an in-place buffer may reach.
    : policy_((policy & kCrop) ? policy & ~kInPlace : policy), keep_(keep), extent_(extent) {
  inputs_[0] = input;
}

M_LRect ProofEffectNode::ComputeContentBounds(RG_ContentBoundsType type) const {
  if (!(policy_ & kCrop)) return RG_OneInputNode::ComputeContentBounds(type);
  return type == RG_CONTENT_BOUNDS_TYPE1 ? extent_ : keep_;
}

RG_NodeData* ProofEffectNode::PreRender(RG_NodePreRenderCB* cb,
                                        const RG_RenderRequest& request) const {
  const bool ids = policy_ & kExplicitIds;
  RG_RenderRequest asked = request;
  if (policy_ & kCrop) asked.rect = M_Intersect(request.rect, keep_);
  if ((policy_ & kPad) && !M_IsEmpty(asked.rect)) asked.rect = M_Grow(asked.rect, 1);
  RG_CheckoutResult* first =
      ids ? cb->CheckoutInputWithID(0, 5, asked) : cb->CheckoutInput(0, asked);
  RG_CheckoutResult* second = nullptr;
  if (policy_ & kSecondCheckout) {
    if (policy_ & kNewGroup) cb->BeginCheckoutGroup();
    second = ids ? cb->CheckoutInputWithID(0, 9, request) : cb->CheckoutInput(0, request);
  }
  if (policy_ & kForceRect) first->ForceRect(request.rect);
  const char flags = (policy_ & kOpaque) ? 1 : 0;
  const long newWorldFlags = (policy_ & kClearOutput) ? 1 : 0;
  if (policy_ & kInPlace) {
    cb->RequestOutputInPlace(first, M_Union(first->GetRect(), first->GetResultRect()), flags,
                             newWorldFlags);
  } else {
    const bool type1 = request.flags & RG_REQUEST_CONTENT_BOUNDS_TYPE1;
    // With kPad it draws near its input's pixels, as most effects do.
    const M_LRect reach = (policy_ & kCrop)             ? (type1 ? extent_ : keep_)
                          : !(policy_ & kPad)           ? first->GetResultRect()
                          : M_IsEmpty(first->GetRect()) ? first->GetRect()
                                                        : M_Grow(first->GetRect(), 1);
    cb->RequestOutput(M_Intersect(request.rect, reach), flags, newWorldFlags);
  }
  // Withdrawn once the output is asked for: the composites withdraw theirs before.
  if (second && (policy_ & kSkipSecond)) second->SkipRendering();
  return (policy_ & kNodeData) ? new EffectData : nullptr;
}

void ProofEffectNode::Render(RG_NodeRenderCB* cb, const RG_RenderRequest& request,
                             const RG_NodeData*) const {
  CheckAbort();
  const bool ids = policy_ & kExplicitIds;
  const bool hasSecond = (policy_ & kSecondCheckout) && !(policy_ & kSkipSecond);
  RG_CheckoutResult *first, *second = nullptr, *out;
  if (policy_ & kNextCheckout) {
    first = cb->GetNextCheckout();
    if (hasSecond) second = cb->GetNextCheckout();
    out = (policy_ & kInPlace) ? first : cb->GetNextCheckout();
  } else {
    first = cb->GetCheckoutByID(ids ? 5 : 0);
    if (hasSecond) second = cb->GetCheckoutByID(ids ? 9 : 1);
    out = cb->GetCheckoutByID(-1);
  }
  PF_World* o = nullptr;
  if (policy_ & kInPlace) {
    o = out->GetOutputWorld();
    // Outside the input's result (all of it over an empty input) is where
    // the library renders nothing, and clears only when asked to.
    if (o && !(policy_ & kClearOutput))
      o->ClearOutside(M_RelativeTo(out->GetResultRect(), o->GetRect()));
  } else {
    const PF_World* src = first->GetWorld();
    if (src && (policy_ & kCoerce)) {
      first->CoerceBitDepth(CoerceDepth(request.bit_depth));
      first->CoerceBitDepth(request.bit_depth);
      src = first->GetWorld();
    }
    std::unique_ptr<PF_World> taken;
    if (src && (policy_ & kTakeInput)) {
      taken.reset(first->TakeOwnershipOfWorld());
      src = taken.get();
    }
    o = out->GetOutputWorld();
    // A buffer the library was not asked to clear is the node's to clear.
    if (o && !(policy_ & kClearOutput)) o->Clear(0);
    if (o && src) CopyOverlap(src, o, (policy_ & kCrop) ? keep_ : kEverywhere);
    if (policy_ & kReleaseInput) first->Release();
  }
  if (o && (policy_ & kInvert)) ProofInvertPixels(o);
  if (o && (policy_ & kOpaque)) ProofMakeOpaque(o);
  if (second) {
    (void)second->GetWorld();
    if (policy_ & kReleaseInput) second->Release();
  }
  Progress(1, 1);
}

// ---- ProofCacheNode ----

namespace {

constexpr size_t kMaxEntries = 6;

// What a lookup hands to RenderFromCache.
struct HitData : RG_NodeData {
  explicit HitData(std::shared_ptr<ProofCacheNode::Entry> e) : entry(std::move(e)) {}
  std::shared_ptr<ProofCacheNode::Entry> entry;  // null when handed back on a miss
};

// Request rects may sit at the ends of the 32-bit range, so widening saturates.
int32_t Saturate(int64_t v) {
  return static_cast<int32_t>(std::clamp<int64_t>(v, std::numeric_limits<int32_t>::min(),
                                                  std::numeric_limits<int32_t>::max()));
}

}  // namespace

ProofCacheNode::ProofCacheNode(U_SharedPtr<RG_RenderNode> input, uint8_t policy)
    : RG_CacheNodeBase((policy & kLookup) != 0), input_(std::move(input)), policy_(policy) {}

ProofCacheNode::~ProofCacheNode() = default;

bool ProofCacheNode::LookupCache(const RG_RenderRequest& request, RG_NodeData** cacheData,
                                 M_LRect* resultRect, char* outputFlags,
                                 M_LRect* contentBounds) const {
  const int type = request.flags & RG_REQUEST_CONTENT_BOUNDS_TYPE1;
  // An empty rect is the library's content-bounds probe: its depth is not
  // set, and any entry knows the bounds.
  const bool probe = M_IsEmpty(request.rect);
  for (const auto& entry : entries_) {
    if (!probe) {
      const RG_RenderRequest& e = entry->request;
      if (e.bit_depth != request.bit_depth) continue;
      if (e.field != 0 && e.field != request.field) continue;
      if (type && !(e.flags & RG_REQUEST_CONTENT_BOUNDS_TYPE1)) continue;
      if (!(policy_ & kAnyEntryServes) && !M_Contains(e.rect, request.rect)) continue;
    }
    hits += probe ? 0 : 1;
    *resultRect = entry->rect;
    *outputFlags = entry->flags;
    *contentBounds = entry->bounds[type];
    *cacheData = new HitData(entry);
    return true;
  }
  if (policy_ & kDataOnMiss) *cacheData = new HitData(nullptr);
  return false;
}

void ProofCacheNode::ChildRequestHook(const RG_NodeData*, RG_RenderRequest* child) const {
  if (!(policy_ & kGrowChildRect) || M_IsEmpty(child->rect)) return;
  M_LRect& r = child->rect;
  r = {Saturate(int64_t{r.left} - 2), Saturate(int64_t{r.top} - 3), Saturate(int64_t{r.right} + 1),
       Saturate(int64_t{r.bottom} + 2)};
}

void ProofCacheNode::StoreInCache(const RG_RenderRequest& childRequest, long,
                                  const M_LRect& resultRect, char outputFlags, PF_World* world,
                                  RG_CheckoutResult* output) const {
  std::shared_ptr<PF_World> owned(world);
  if (owned && (int64_t{owned->width} != int64_t{resultRect.right} - resultRect.left ||
                int64_t{owned->height} != int64_t{resultRect.bottom} - resultRect.top))
    throw std::logic_error("the cached input's world does not match its result rect");
  if (!owned && !M_IsEmpty(resultRect)) throw std::logic_error("no world for a cached result");
  ++stores;
  auto entry = std::make_shared<Entry>();
  entry->request = childRequest;
  entry->rect = resultRect;
  entry->flags = outputFlags;
  entry->bounds[0] = GetInput(0)->GetContentBounds(RG_CONTENT_BOUNDS_TYPE0);
  entry->bounds[1] = GetInput(0)->GetContentBounds(RG_CONTENT_BOUNDS_TYPE1);
  if (owned) {
    owned->origin_x = resultRect.left;
    owned->origin_y = resultRect.top;
  }
  entry->world = std::move(owned);
  if (entries_.size() >= kMaxEntries) entries_.erase(entries_.begin());
  entries_.push_back(entry);
  if (!M_IsEmpty(output->GetRect())) Supply(*entry, output);
}

bool ProofCacheNode::RenderFromCache(const RG_NodeData* cacheData, const RG_RenderRequest&,
                                     RG_CheckoutResult* output) const {
  const auto* hit = dynamic_cast<const HitData*>(cacheData);
  if (hit == nullptr || !hit->entry) throw std::logic_error("a cache hit without its entry");
  if (policy_ & kForgetAtRender) return false;
  Supply(*hit->entry, output);
  return true;
}

void ProofCacheNode::Supply(const Entry& entry, RG_CheckoutResult* output) const {
  const M_LRect r = output->GetRect();
  PF_World* src = entry.world.get();
  if (src != nullptr && !(policy_ & kCopyOutput) && M_Contains(src->GetRect(), r)) {
    std::unique_ptr<PF_World> view(PF_World::NewReference(src, M_RelativeTo(r, src->GetRect())));
    std::unique_ptr<RG_BufferLock> lock(new RG_BufferLock);
    output->SetOutputWorld(view.release(), lock.release());
    return;
  }
  std::unique_ptr<PF_World> copy(PF_World::New(r, output->GetGeneratingRequest().bit_depth, 1));
  if (src != nullptr) CopyOverlap(src, copy.get(), kEverywhere);
  // Made where the output lies, handed over at the origin: the library places it.
  copy->origin_x = copy->origin_y = 0;
  output->SetOutputWorld(copy.release(), nullptr);
}
