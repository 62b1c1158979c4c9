// Cache node backed by the program's LruCache. Its key is the description of
// the cached sub-graph at the frame being rendered (every parameter and
// input, animated values evaluated), so an edit or an animation never finds a
// stale entry; the request's rect, depth, field and bounds type pick among
// entries of one key.
//
// Ownership: the cache is borrowed and outlives every render; cached worlds
// reach the traversal as views held by a lock that shares the entry.
#pragma once

#include <functional>
#include <string>

#include "LruCache.h"
#include "rg/RG_CacheNodeBase.h"

class CacheNode : public RG_CacheNodeBase {
 public:
  using InputMaker = std::function<U_SharedPtr<RG_RenderNode>()>;
  CacheNode(LruCache* cache, std::string key, InputMaker makeInput);

  bool LookupCache(const RG_RenderRequest& request, RG_NodeData** cacheData, M_LRect* resultRect,
                   char* outputFlags, M_LRect* contentBounds) const override;
  U_SharedPtr<RG_RenderNode> MakeInput() const override;
  void StoreInCache(const RG_RenderRequest& childRequest, long elapsedTicks,
                    const M_LRect& resultRect, char outputFlags, PF_World* world,
                    RG_CheckoutResult* output) const override;
  bool RenderFromCache(const RG_NodeData* cacheData, const RG_RenderRequest& request,
                       RG_CheckoutResult* output) const override;
  std::string GetProfileLabel() const override { return "Cache"; }

  const std::string& Key() const { return key_; }

 private:
  LruCache* cache_;  // borrowed
  std::string key_;
  InputMaker make_input_;
};
