// A one-input node in front of a sub-graph whose output the host caches.
//
// The library supplies the control flow, the host's subclass the cache. A hit
// at pre-render declares the cached result and leaves the sub-graph alone;
// a miss renders the input's whole output and hands it to StoreInCache. The
// input sub-graph is made by MakeInput on first need and kept for the node's
// life.
#pragma once

#include "rg/RG_Export.h"
#include "rg/RG_RenderNode.h"
#include "rg/RG_RenderRequest.h"

class PF_World;
class RG_CheckoutResult;

class RG_API RG_CacheNodeBase : public RG_OneInputNode {
 public:
  // What PreRender returns; owned by the traversal.
  class RG_API RG_CacheNodeData : public RG_NodeData {
   public:
    ~RG_CacheNodeData() override;
    bool cache_hit = false;
    RG_NodeData* cache_data = nullptr;  // owned: what LookupCache handed back
    RG_RenderRequest child_request;     // the request sent to the input on a miss
  };

  explicit RG_CacheNodeBase(bool lookupEnabled = true);
  ~RG_CacheNodeBase() override;

  // Looks for a cached result serving `request`. When found, fills
  // resultRect, outputFlags and contentBounds. May set *cacheData to data of
  // its own (the library takes ownership), found or not.
  virtual bool LookupCache(const RG_RenderRequest& request, RG_NodeData** cacheData,
                           M_LRect* resultRect, char* outputFlags,
                           M_LRect* contentBounds) const = 0;
  // Builds the root of the cached sub-graph; never null. Called at most once.
  virtual U_SharedPtr<RG_RenderNode> MakeInput() const = 0;

 protected:
  // May change the request about to be sent to the input.
  virtual void ChildRequestHook(const RG_NodeData* cacheData, RG_RenderRequest* childRequest) const;

 public:
  // Receives a freshly rendered result of the input and takes ownership of
  // `world`; must supply the node's output through `output`.
  virtual void StoreInCache(const RG_RenderRequest& childRequest, long elapsedTicks,
                            const M_LRect& resultRect, char outputFlags, PF_World* world,
                            RG_CheckoutResult* output) const = 0;
  // Supplies `output` from the entry found at pre-render; false when the
  // entry can no longer be used.
  virtual bool RenderFromCache(const RG_NodeData* cacheData, const RG_RenderRequest& request,
                               RG_CheckoutResult* output) const = 0;

  bool ContentBoundsDifferByType() const override;
  RG_NodeData* PreRender(RG_NodePreRenderCB* cb, const RG_RenderRequest& request) const override;
  void Render(RG_NodeRenderCB* cb, const RG_RenderRequest& request,
              const RG_NodeData* data) const override;

 protected:
  const RG_NodeData* GetCacheDataPointerFromNodeData(const RG_NodeData* data) const;

 private:
  M_LRect ComputeContentBounds(RG_ContentBoundsType type) const override;
  void EnsureInput() const;

  bool lookup_enabled_;
};
