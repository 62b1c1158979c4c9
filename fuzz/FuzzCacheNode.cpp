#include "FuzzCacheNode.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "rg/RG_CheckoutResult.h"
#include "rghost/PF_World.h"

namespace {

constexpr size_t kMaxEntries = 6;

// What a hit at pre-render hands to RenderFromCache.
class HitData : public RG_NodeData {
 public:
  explicit HitData(std::shared_ptr<FuzzCacheNode::Entry> e) : entry(std::move(e)) {}
  std::shared_ptr<FuzzCacheNode::Entry> entry;  // null when handed back on a miss
};

// Request rects may sit at the ends of the 32-bit range (transformed
// bounds are clamped there), so widening saturates.
int32_t Saturate(int64_t v) {
  return static_cast<int32_t>(std::clamp<int64_t>(v, std::numeric_limits<int32_t>::min(),
                                                  std::numeric_limits<int32_t>::max()));
}

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "fuzz cache node: %s\n", what);
  std::abort();
}

}  // namespace

FuzzCacheNode::FuzzCacheNode(U_SharedPtr<RG_RenderNode> input, uint8_t policy)
    : RG_CacheNodeBase((policy & kLookup) != 0), input_(std::move(input)), policy_(policy) {}

FuzzCacheNode::~FuzzCacheNode() = default;

bool FuzzCacheNode::LookupCache(const RG_RenderRequest& request, RG_NodeData** cacheData,
                                M_LRect* resultRect, char* outputFlags,
                                M_LRect* contentBounds) const {
  const int type = request.flags & RG_REQUEST_CONTENT_BOUNDS_TYPE1;
  // An empty rect is the library's content-bounds probe: its depth is not
  // set, and any entry knows the bounds.
  const bool probe = M_IsEmpty(request.rect);
  for (const auto& entry : entries_) {
    if (!probe) {
      if (entry->request.bit_depth != request.bit_depth) continue;
      if (entry->request.field != 0 && entry->request.field != request.field) continue;
      if ((request.flags & 1) && !(entry->request.flags & 1)) continue;
      const M_LRect needed = M_Intersect(request.rect, entry->bounds[type]);
      if (!(policy_ & kAnyEntryServes) && !M_IsEmpty(needed) && !M_Contains(entry->rect, needed))
        continue;
    }
    *resultRect = entry->rect;
    *outputFlags = entry->flags;
    *contentBounds = entry->bounds[type];
    *cacheData = new HitData(entry);
    return true;
  }
  if (policy_ & kDataOnMiss) *cacheData = new HitData(nullptr);
  return false;
}

U_SharedPtr<RG_RenderNode> FuzzCacheNode::MakeInput() const { return input_; }

void FuzzCacheNode::ChildRequestHook(const RG_NodeData*, RG_RenderRequest* childRequest) const {
  if (!(policy_ & kGrowChildRect) || M_IsEmpty(childRequest->rect)) return;
  M_LRect& r = childRequest->rect;
  r = {Saturate(int64_t{r.left} - 2), Saturate(int64_t{r.top} - 3), Saturate(int64_t{r.right} + 1),
       Saturate(int64_t{r.bottom} + 2)};
}

void FuzzCacheNode::StoreInCache(const RG_RenderRequest& childRequest, long,
                                 const M_LRect& resultRect, char outputFlags, PF_World* world,
                                 RG_CheckoutResult* output) const {
  std::shared_ptr<PF_World> owned(world);
  if (owned && (int64_t{owned->width} != int64_t{resultRect.right} - resultRect.left ||
                int64_t{owned->height} != int64_t{resultRect.bottom} - resultRect.top))
    Fail("the input's world does not match its result rect");
  if (!owned && !M_IsEmpty(resultRect)) Fail("no world for a non-empty result");
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
  if (!M_IsEmpty(output->GetRect())) SupplyOutput(*entry, output);
}

bool FuzzCacheNode::RenderFromCache(const RG_NodeData* cacheData, const RG_RenderRequest&,
                                    RG_CheckoutResult* output) const {
  const auto* hit = dynamic_cast<const HitData*>(cacheData);
  if (hit == nullptr || !hit->entry) Fail("a hit without its entry");
  if (policy_ & kForgetAtRender) return false;
  SupplyOutput(*hit->entry, output);
  return true;
}

void FuzzCacheNode::SupplyOutput(const Entry& entry, RG_CheckoutResult* output) const {
  const M_LRect r = output->GetRect();
  PF_World* src = entry.world.get();
  if (src != nullptr && !(policy_ & kCopyOutput) && M_Contains(src->GetRect(), r)) {
    std::unique_ptr<PF_World> view(
        PF_World::NewReference(src, M_LRect{r.left - src->origin_x, r.top - src->origin_y,
                                            r.right - src->origin_x, r.bottom - src->origin_y}));
    std::unique_ptr<RG_BufferLock> lock(new RG_BufferLock);
    output->SetOutputWorld(view.release(), lock.release());
    return;
  }
  std::unique_ptr<PF_World> copy(PF_World::New(r, output->GetGeneratingRequest().bit_depth, 1));
  if (src != nullptr) {
    const M_LRect overlap = M_Intersect(r, src->GetRect());
    if (!M_IsEmpty(overlap)) {
      const M_LRect from{overlap.left - src->origin_x, overlap.top - src->origin_y,
                         overlap.right - src->origin_x, overlap.bottom - src->origin_y};
      copy->CopyPixels(src, &from, overlap.left - r.left, overlap.top - r.top);
    }
  }
  output->SetOutputWorld(copy.release(), nullptr);
}
