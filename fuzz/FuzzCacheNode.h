// A cache node for the graph fuzzer: keeps every result its input renders in
// a list of its own and serves later requests from it. Its policy bits make
// it misbehave in the ways a host cache legitimately may: refusing lookups,
// losing an entry between pre-render and render, changing the child request.
//
// Ownership: the node owns its entries and their worlds; the input sub-graph
// is shared (held here and, once made, in the input slot).
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "rg/RG_CacheNodeBase.h"

class FuzzCacheNode : public RG_CacheNodeBase {
 public:
  enum Policy : uint8_t {
    kLookup = 1,           // consult the cache at pre-render
    kForgetAtRender = 2,   // RenderFromCache finds its entry gone
    kGrowChildRect = 4,    // ChildRequestHook widens the child request
    kDataOnMiss = 8,       // LookupCache hands back data also on a miss
    kCopyOutput = 16,      // supply outputs as copies instead of views
    kAnyEntryServes = 32,  // ignore the request's rect when looking up
  };

  FuzzCacheNode(U_SharedPtr<RG_RenderNode> input, uint8_t policy);
  ~FuzzCacheNode() override;

  bool LookupCache(const RG_RenderRequest& request, RG_NodeData** cacheData, M_LRect* resultRect,
                   char* outputFlags, M_LRect* contentBounds) const override;
  U_SharedPtr<RG_RenderNode> MakeInput() const override;
  void StoreInCache(const RG_RenderRequest& childRequest, long elapsedTicks,
                    const M_LRect& resultRect, char outputFlags, PF_World* world,
                    RG_CheckoutResult* output) const override;
  bool RenderFromCache(const RG_NodeData* cacheData, const RG_RenderRequest& request,
                       RG_CheckoutResult* output) const override;

 protected:
  void ChildRequestHook(const RG_NodeData* cacheData,
                        RG_RenderRequest* childRequest) const override;

 public:
  struct Entry {
    RG_RenderRequest request;
    M_LRect rect;
    char flags = 0;
    M_LRect bounds[2];
    std::shared_ptr<PF_World> world;  // may be null for an empty result
  };

 private:
  void SupplyOutput(const Entry& entry, RG_CheckoutResult* output) const;

  U_SharedPtr<RG_RenderNode> input_;  // shared
  uint8_t policy_;
  mutable std::vector<std::shared_ptr<Entry>> entries_;  // owned
};
