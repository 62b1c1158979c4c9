#include "LruCache.h"

#include <algorithm>

#include "Pixels.h"
#include "rghost/PF_World.h"
#include "rghost/U_Memory.h"

bool CacheEntry::Serves(const RG_RenderRequest& r) const {
  return r.bit_depth == request.bit_depth &&
         (r.flags & RG_REQUEST_CONTENT_BOUNDS_TYPE1) ==
             (request.flags & RG_REQUEST_CONTENT_BOUNDS_TYPE1) &&
         (request.field == 0 || request.field == r.field) && M_Contains(request.rect, r.rect);
}

LruCache::LruCache(size_t budgetBytes) : budget_(budgetBytes) { U_AddPurgeHook(PurgeHook, this); }

LruCache::~LruCache() { U_RemovePurgeHook(PurgeHook, this); }

std::optional<size_t> LruCache::BudgetOfMiB(double mib) {
  if (!(mib >= 0)) return std::nullopt;
  // Converting a double beyond size_t's range is undefined; 2^62 is exact.
  return static_cast<size_t>(std::min(mib * 1048576.0, 0x1p62));
}

void LruCache::PurgeHook(void* context, size_t bytes) {
  static_cast<LruCache*>(context)->Purge(bytes);
}

std::shared_ptr<CacheEntry> LruCache::Find(const std::string& key,
                                           const RG_RenderRequest& request) {
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    if ((*it)->key != key || !(*it)->Serves(request)) continue;
    entries_.splice(entries_.begin(), entries_, it);
    ++counters_.hits;
    return entries_.front();
  }
  ++counters_.misses;
  return nullptr;
}

std::shared_ptr<CacheEntry> LruCache::FindAny(const std::string& key) const {
  for (const auto& e : entries_)
    if (e->key == key) return e;
  return nullptr;
}

bool LruCache::Insert(std::shared_ptr<CacheEntry> entry) {
  if (entry->bytes > budget_) {
    ++counters_.rejected;
    return false;
  }
  if (bytes_ + entry->bytes > budget_) Purge(bytes_ + entry->bytes - budget_);
  bytes_ += entry->bytes;
  entries_.push_front(std::move(entry));
  ++counters_.stores;
  return true;
}

size_t LruCache::Purge(size_t bytes) {
  size_t freed = 0;
  while (freed < bytes && !entries_.empty()) {
    freed += entries_.back()->bytes;
    bytes_ -= entries_.back()->bytes;
    entries_.pop_back();
    ++counters_.evictions;
  }
  return freed;
}
