#include "CacheNode.h"

#include <memory>

#include "Pixels.h"
#include "rg/RG_CheckoutResult.h"
#include "rghost/PF_World.h"

namespace {

// What a hit at pre-render hands to RenderFromCache.
class CacheHitData : public RG_NodeData {
 public:
  explicit CacheHitData(std::shared_ptr<CacheEntry> e) : entry(std::move(e)) {}
  std::shared_ptr<CacheEntry> entry;
};

// Keeps a cache entry's pixels alive while the traversal holds a view of
// them, also if the cache evicts the entry meanwhile.
class EntryLock : public RG_BufferLock {
 public:
  explicit EntryLock(std::shared_ptr<CacheEntry> e) : entry_(std::move(e)) {}

 private:
  std::shared_ptr<CacheEntry> entry_;
};

// Gives `output` the entry's pixels: a locked view when the entry covers the
// output rect, else a cleared buffer holding the part it has.
void SupplyOutput(const std::shared_ptr<CacheEntry>& entry, RG_CheckoutResult* output) {
  const M_LRect& r = output->GetRect();
  PF_World* src = entry->world.get();
  if (src != nullptr && M_Contains(src->GetRect(), r)) {
    std::unique_ptr<PF_World> view(
        PF_World::NewReference(src, M_LRect{r.left - src->origin_x, r.top - src->origin_y,
                                            r.right - src->origin_x, r.bottom - src->origin_y}));
    RG_BufferLock* lock = new EntryLock(entry);
    output->SetOutputWorld(view.release(), lock);
    return;
  }
  std::unique_ptr<PF_World> copy(
      PF_World::New(r, output->GetGeneratingRequest().bit_depth, PF_NEW_WORLD_CLEAR));
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

}  // namespace

CacheNode::CacheNode(LruCache* cache, std::string key, InputMaker makeInput)
    : cache_(cache), key_(std::move(key)), make_input_(std::move(makeInput)) {}

bool CacheNode::LookupCache(const RG_RenderRequest& request, RG_NodeData** cacheData,
                            M_LRect* resultRect, char* outputFlags, M_LRect* contentBounds) const {
  const int type = request.flags & RG_REQUEST_CONTENT_BOUNDS_TYPE1;
  // An empty rect is the library's content-bounds probe: any entry of this
  // sub-graph state knows its bounds, whatever it was rendered for.
  std::shared_ptr<CacheEntry> entry =
      M_IsEmpty(request.rect) ? cache_->FindAny(key_) : cache_->Find(key_, request);
  if (!entry) return false;
  *resultRect = entry->result_rect;
  *outputFlags = entry->flags;
  *contentBounds = entry->bounds[type];
  *cacheData = new CacheHitData(std::move(entry));
  return true;
}

U_SharedPtr<RG_RenderNode> CacheNode::MakeInput() const { return make_input_(); }

void CacheNode::StoreInCache(const RG_RenderRequest& childRequest, long, const M_LRect& resultRect,
                             char outputFlags, PF_World* world, RG_CheckoutResult* output) const {
  std::unique_ptr<PF_World> owned(world);
  auto entry = std::make_shared<CacheEntry>();
  entry->key = key_;
  entry->request = childRequest;
  entry->result_rect = resultRect;
  entry->flags = outputFlags;
  entry->bounds[0] = GetInput(0)->GetContentBounds(RG_CONTENT_BOUNDS_TYPE0);
  entry->bounds[1] = GetInput(0)->GetContentBounds(RG_CONTENT_BOUNDS_TYPE1);
  if (owned) {
    owned->origin_x = resultRect.left;
    owned->origin_y = resultRect.top;
    entry->bytes = static_cast<size_t>(owned->rowbytes) * owned->height;
  }
  entry->world = std::move(owned);
  if (entry->world != nullptr) cache_->Insert(entry);
  if (!M_IsEmpty(output->GetRect())) SupplyOutput(entry, output);
}

bool CacheNode::RenderFromCache(const RG_NodeData* cacheData, const RG_RenderRequest&,
                                RG_CheckoutResult* output) const {
  const auto* hit = dynamic_cast<const CacheHitData*>(cacheData);
  if (hit == nullptr || !hit->entry) return false;
  if (hit->entry->world == nullptr && !M_IsEmpty(output->GetRect())) return false;
  SupplyOutput(hit->entry, output);
  return true;
}
