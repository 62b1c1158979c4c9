// An in-memory cache of rendered buffers with a byte budget, evicting the
// least recently used entries first. Entries are shared: a render that uses
// one holds a reference, so an entry evicted meanwhile stays valid for it,
// but the cache itself never counts more than its budget.
//
// The cache registers a purge hook with the host, so the host's
// purge-and-retry allocation can take memory back from it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <optional>
#include <string>

#include "rg/RG_RenderRequest.h"
#include "rghost/M_Geometry.h"
#include "rghost/PF_World.h"

struct CacheEntry {
  std::string key;                  // description of the cached sub-graph at its frame
  RG_RenderRequest request;         // what the sub-graph was asked for (rect widened)
  M_LRect result_rect;              // what it delivered; the world covers it
  char flags = 0;                   // its output flags
  M_LRect bounds[2];                // its content bounds per type
  std::unique_ptr<PF_World> world;  // null for an empty result
  size_t bytes = 0;

  // This entry can serve `request`: same sub-graph state, depth and bounds
  // type, a field it has all rows for, and a rect it was rendered for.
  bool Serves(const RG_RenderRequest& r) const;
};

struct CacheCounters {
  long long hits = 0, misses = 0, stores = 0, evictions = 0, rejected = 0;
};

class LruCache {
 public:
  explicit LruCache(size_t budgetBytes);
  LruCache(const LruCache&) = delete;
  LruCache& operator=(const LruCache&) = delete;
  ~LruCache();

  // A budget of `mib` MiB in bytes, saturating far past any machine's memory
  // (a huge or infinite value means no limit); none when `mib` is negative
  // or not a number.
  static std::optional<size_t> BudgetOfMiB(double mib);

  // The most recently used entry for `key` that serves the request, made the
  // most recent; null when none. Counts a hit or a miss.
  std::shared_ptr<CacheEntry> Find(const std::string& key, const RG_RenderRequest& request);
  // Any entry for `key` (content-bounds questions); counts nothing.
  std::shared_ptr<CacheEntry> FindAny(const std::string& key) const;
  // Stores the entry, evicting old ones until it fits; an entry larger than
  // the whole budget is not stored (returns false).
  bool Insert(std::shared_ptr<CacheEntry> entry);
  // Evicts least recently used entries until `bytes` are freed or none is left.
  size_t Purge(size_t bytes);

  size_t Bytes() const { return bytes_; }
  size_t Budget() const { return budget_; }
  size_t Size() const { return entries_.size(); }
  const CacheCounters& Counters() const { return counters_; }

 private:
  static void PurgeHook(void* context, size_t bytes);

  size_t budget_;
  size_t bytes_ = 0;
  std::list<std::shared_ptr<CacheEntry>> entries_;  // most recent first
  CacheCounters counters_;
};
