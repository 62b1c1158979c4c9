// Host-side nodes and pixel helpers shared by the differential, fault,
// deep-graph and composite tests. They work at every depth (8, 16, 32) so the
// random graphs can exercise all three.
//
// Ownership: nodes are reference counted like every render node. Leaves
// borrow their worlds; the map cache owns the worlds it stores.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "rg/RG_CacheNodeBase.h"
#include "rg/RG_CheckoutResult.h"
#include "rg/RG_NodeCallbacks.h"
#include "rg/RG_RenderNode.h"
#include "rghost/PF_World.h"

struct ProofWorldDeleter {
  void operator()(PF_World* w) const { delete w; }
};
using ProofWorldPtr = std::unique_ptr<PF_World, ProofWorldDeleter>;

// A source world of `bounds` (origin at its top-left) at `depth`, filled with
// a premultiplied pattern derived from `seed`; fully opaque when `opaque`.
// Translucent worlds also hold fully transparent and fully opaque pixels.
ProofWorldPtr ProofMakeSourceWorld(const M_LRect& bounds, short depth, uint32_t seed, bool opaque);
// True when every pixel of the world has the depth's full alpha.
bool ProofWorldIsOpaque(const PF_World& world);
// Channel c of render-space pixel (x, y), as the raw value widened to double
// (8 and 16 bits: the integer; 32 bits: the float).
double ProofRawChannel(const PF_World& world, int32_t x, int32_t y, int c);
double ProofFullAlpha(short depth);
// c' = a - c on every pixel of the world (premultiplied colour inversion).
void ProofInvertPixels(PF_World* world);

// A leaf serving a view of a borrowed world under a plain buffer lock, like a
// host's source buffer node, that declares its output opaque (flag bit 0)
// when asked to, and counts its passes.
class ProofSourceNode : public RG_RenderNode {
 public:
  ProofSourceNode(const PF_World* world, bool opaque);
  M_LRect ComputeContentBounds(RG_ContentBoundsType type) const override;
  RG_NodeData* PreRender(RG_NodePreRenderCB* cb, const RG_RenderRequest& request) const override;
  void Render(RG_NodeRenderCB* cb, const RG_RenderRequest& request,
              const RG_NodeData* data) const override;
  mutable int prerenders = 0;
  mutable int renders = 0;
  mutable RG_RenderRequest last_request;

 private:
  const PF_World* world_;  // borrowed
  bool opaque_;
  M_LRect bounds_;
};

// Inverts its input's colour in place, at any depth.
class ProofInvertNode : public RG_OneInputNode {
 public:
  explicit ProofInvertNode(RG_RenderNode* input);
  RG_NodeData* PreRender(RG_NodePreRenderCB* cb, const RG_RenderRequest& request) const override;
  void Render(RG_NodeRenderCB* cb, const RG_RenderRequest& request,
              const RG_NodeData* data) const override;
};

// Passes its input through inside `keep` and is transparent elsewhere. Its
// content bounds differ by type: type 0 is `keep`, type 1 the larger
// `extent` (transparent beyond `keep`). A request with flag bit 0 gets
// output as far as `extent`, one without as far as `keep`.
class ProofCropNode : public RG_OneInputNode {
 public:
  ProofCropNode(RG_RenderNode* input, const M_LRect& keep, const M_LRect& extent);
  bool ContentBoundsDifferByType() const override { return true; }
  RG_NodeData* PreRender(RG_NodePreRenderCB* cb, const RG_RenderRequest& request) const override;
  void Render(RG_NodeRenderCB* cb, const RG_RenderRequest& request,
              const RG_NodeData* data) const override;

 protected:
  M_LRect ComputeContentBounds(RG_ContentBoundsType type) const override;

 private:
  M_LRect keep_;
  M_LRect extent_;
};

// A cache node over a prebuilt sub-graph that keeps every result it is given
// in a list. An entry serves a request of the same depth whose rect lies in
// the rect the entry was rendered for, whose field it holds and whose
// content-bounds type it covers. With `stale` set, RenderFromCache always
// reports the entry gone, so the node renders its input in a nested
// execution.
class ProofMapCache : public RG_CacheNodeBase {
 public:
  ProofMapCache(RG_RenderNode* input, bool lookupEnabled, bool stale);
  ~ProofMapCache() override;

  bool LookupCache(const RG_RenderRequest& request, RG_NodeData** cacheData, M_LRect* resultRect,
                   char* outputFlags, M_LRect* contentBounds) const override;
  U_SharedPtr<RG_RenderNode> MakeInput() const override;
  void StoreInCache(const RG_RenderRequest& childRequest, long elapsedTicks,
                    const M_LRect& resultRect, char outputFlags, PF_World* world,
                    RG_CheckoutResult* output) const override;
  bool RenderFromCache(const RG_NodeData* cacheData, const RG_RenderRequest& request,
                       RG_CheckoutResult* output) const override;

  int entries() const { return static_cast<int>(entries_.size()); }
  mutable int hits = 0;
  mutable int stores = 0;

 private:
  struct Entry {
    RG_RenderRequest request;
    M_LRect result_rect;
    char flags = 0;
    ProofWorldPtr world;  // owned; null for an empty result
  };
  // Hands `output` a view of (or a copy from) an entry's world.
  static void Serve(const Entry& entry, RG_CheckoutResult* output);

  U_SharedPtr<RG_RenderNode> child_;
  bool stale_;
  mutable std::vector<Entry> entries_;
};
