#include "rg/RG_CacheNodeBase.h"

#include <cstdint>
#include <memory>

#include "rg/RG_CheckoutResult.h"
#include "rg/RG_GraphProfiler.h"
#include "rg/RG_NodeCallbacks.h"
#include "rg/RG_Traverser.h"
#include "rghost/U_Services.h"

namespace {

// Host ticks wrap at 2^32, so the difference is taken in 32 bits.
long ElapsedTicks(uint32_t t0, uint32_t t1) {
  return static_cast<long>(static_cast<int32_t>(t1 - t0));
}

// Owns whatever cache data LookupCache hands back during a content-bounds
// probe, also when the lookup throws after handing it.
struct ProbeCacheData {
  RG_NodeData* data = nullptr;
  ProbeCacheData() = default;
  ProbeCacheData(const ProbeCacheData&) = delete;
  ProbeCacheData& operator=(const ProbeCacheData&) = delete;
  ~ProbeCacheData() { delete data; }  // node data: deleted through its virtual destructor
};

}  // namespace

// What LookupCache hands back is node data, deleted through its virtual
// destructor.
RG_CacheNodeBase::RG_CacheNodeData::~RG_CacheNodeData() { delete cache_data; }

RG_CacheNodeBase::RG_CacheNodeBase(bool lookupEnabled) : lookup_enabled_(lookupEnabled) {}

RG_CacheNodeBase::~RG_CacheNodeBase() = default;

void RG_CacheNodeBase::ChildRequestHook(const RG_NodeData*, RG_RenderRequest*) const {}

const RG_NodeData* RG_CacheNodeBase::GetCacheDataPointerFromNodeData(
    const RG_NodeData* data) const {
  return static_cast<const RG_CacheNodeData*>(data)->cache_data;
}

void RG_CacheNodeBase::EnsureInput() const {
  if (!inputs_[0]) inputs_[0] = MakeInput();
}

RG_NodeData* RG_CacheNodeBase::PreRender(RG_NodePreRenderCB* cb,
                                         const RG_RenderRequest& request) const {
  const RG_ContentBoundsType type = (request.flags & RG_REQUEST_CONTENT_BOUNDS_TYPE1)
                                        ? RG_CONTENT_BOUNDS_TYPE1
                                        : RG_CONTENT_BOUNDS_TYPE0;
  // Owned here until returned, so a throwing lookup or checkout frees it and
  // the cache data it holds.
  std::unique_ptr<RG_CacheNodeData> nodeData(new RG_CacheNodeData);

  M_LRect cachedRect;
  char cachedFlags = 0;
  M_LRect cachedBounds;
  bool found = false;
  if (lookup_enabled_) {
    found = LookupCache(request, &nodeData->cache_data, &cachedRect, &cachedFlags, &cachedBounds);
    if (RG_GraphProfiler* profiler = RG_GetProfiler()) profiler->CacheLookup(this, found);
  }
  nodeData->cache_hit = found;

  if (found) {
    // The cached result serves the request: the sub-graph below stays
    // untouched, and is not even built.
    cb->RequestOutput(M_Intersect(cachedRect, request.rect), cachedFlags, 0);
    SetContentBounds(type, cachedBounds);
    return nodeData.release();
  }

  EnsureInput();
  RG_RenderRequest child = request;
  ChildRequestHook(nodeData->cache_data, &child);
  // The host caches the input's whole output, not just the part inside the
  // request rect.
  child.flags |= RG_REQUEST_WHOLE_OUTPUT;
  RG_CheckoutResult* in = cb->CheckoutInput(0, child);
  child.rect = M_Union(in->GetRect(), child.rect);  // keeps child.rect when both are empty
  nodeData->child_request = child;

  cb->RequestOutput(in->GetRect(), in->GetFlags(), 0);
  SetContentBounds(type, GetInput(0)->GetContentBounds(type));
  return nodeData.release();
}

void RG_CacheNodeBase::Render(RG_NodeRenderCB* cb, const RG_RenderRequest& request,
                              const RG_NodeData* data) const {
  const auto* nodeData = static_cast<const RG_CacheNodeData*>(data);

  if (!nodeData->cache_hit) {
    RG_CheckoutResult* in = cb->GetNextCheckout();
    RG_CheckoutResult* out = cb->GetNextCheckout();
    out->exact_placement_ = true;
    // Only the input's rendering is timed, so the host can weigh entries by
    // what they cost to make.
    const uint32_t t0 = TickCount();
    in->GetWorld();
    const uint32_t t1 = TickCount();
    const char flags = in->GetFlags();
    PF_World* world = in->TakeOwnershipOfWorld();
    StoreInCache(nodeData->child_request, ElapsedTicks(t0, t1), in->GetRect(), flags, world, out);
    return;
  }

  RG_CheckoutResult* out = cb->GetNextCheckout();
  // The host's cache supplies the pixels: a view of the right size taken at
  // the wrong place would pass the size check and shift the picture.
  out->exact_placement_ = true;
  if (RenderFromCache(nodeData->cache_data, request, out)) return;

  // The entry found at pre-render is gone. The input was never pre-rendered
  // in this traversal, so it runs as an execution of its own, independent of
  // any buffer lock.
  EnsureInput();
  RG_RenderRequest req2 = request;
  ChildRequestHook(nodeData->cache_data, &req2);
  req2.rect = M_Intersect(req2.rect, out->GetRect());

  M_LRect rect;
  char flags = 0;
  PF_World* world = nullptr;
  const uint32_t t0 = TickCount();
  RG_ExecuteGraph(GetInput(0), req2, &rect, &flags, &world, nullptr);
  const uint32_t t1 = TickCount();
  StoreInCache(req2, ElapsedTicks(t0, t1), rect, flags, world, out);
}

M_LRect RG_CacheNodeBase::ComputeContentBounds(RG_ContentBoundsType type) const {
  RG_RenderRequest probe;
  probe.flags = type == RG_CONTENT_BOUNDS_TYPE1 ? RG_REQUEST_CONTENT_BOUNDS_TYPE1 : 0;
  probe.field = 0;
  probe.bit_depth = 0;

  // Whatever the lookup hands back is of no use to a probe; it is deleted
  // whether the lookup hits or not.
  ProbeCacheData cacheData;
  M_LRect rect;
  char flags = 0;
  M_LRect bounds;
  const bool found = LookupCache(probe, &cacheData.data, &rect, &flags, &bounds);
  if (RG_GraphProfiler* profiler = RG_GetProfiler()) profiler->CacheLookup(this, found);
  if (found) return bounds;

  EnsureInput();
  return GetInput(0)->GetContentBounds(type);
}

bool RG_CacheNodeBase::ContentBoundsDifferByType() const {
  EnsureInput();
  return GetInput(0)->ContentBoundsTypesDiffer();
}
