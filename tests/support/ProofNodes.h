// Host-side nodes and pixel helpers shared by the random-graph proof, the
// fuzz targets and the composite tests. They work at every depth (8, 16, 32).
// The effect and the cache node take policy bits that choose among the ways
// the execution contract lets a host node behave, so one random graph
// exercises many hand-over paths; the reference evaluator models their pixels.
//
// Ownership: nodes are reference counted like every render node. Leaves
// borrow their worlds; the cache owns the worlds it stores. No GoogleTest
// here: the fuzz targets link this file too.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "rg/RG_CacheNodeBase.h"
#include "rg/RG_CheckoutResult.h"
#include "rg/RG_NodeCallbacks.h"
#include "rg/RG_RenderNode.h"
#include "rghost/PF_Transfer.h"
#include "rghost/PF_World.h"
#include "rghost/U_Errors.h"
#include "support/Matrices.h"

using ProofWorldPtr = std::unique_ptr<PF_World>;

// A source world of `bounds` at `depth`, filled with a premultiplied pattern
// derived from `seed` (smooth, noisy, blocky or banded); fully opaque when
// `opaque`. Translucent worlds also hold fully transparent and opaque pixels.
ProofWorldPtr ProofMakeSourceWorld(const M_LRect& bounds, short depth, uint32_t seed, bool opaque);
// Fills an existing buffer: the same patterns, translucent or opaque, or
// transparent black, or raw values that need not be premultiplied (floats
// leave 0..1).
enum class ProofFill { kTranslucent, kOpaque, kClear, kRaw };
void ProofFillWorld(PF_World* world, uint32_t seed, ProofFill fill);
// Channel c of render-space pixel (x, y) widened to double (8 and 16 bits:
// the integer; 32 bits: the float).
double ProofRawChannel(const PF_World& world, int32_t x, int32_t y, int c);
inline double ProofFullAlpha(short depth) {
  return depth == 8 ? 255.0 : depth == 16 ? 65535.0 : 1.0;
}
// c' = a - c on every pixel (premultiplied colour inversion).
void ProofInvertPixels(PF_World* world);

inline PF_CompositeModePlus ProofMode(int32_t transferMode, float opacity = 1.0f) {
  PF_CompositeModePlus m;
  m.transfer_mode = transferMode;
  m.opacity = opacity;
  return m;
}

// Aborts by throwing U_ERR_USER_ABORT at the check that finds *countdown at
// 0, counting it down at every check; nodes may share one countdown.
class ProofAbort : public RG_ProgAbort {
 public:
  explicit ProofAbort(long* countdown) : countdown_(countdown) {}
  void StartProgress() override {}
  void CheckAbort() override {
    if ((*countdown_)-- == 0) throw U_ERR_USER_ABORT;
  }
  void Progress(long, long) override {}

 private:
  long* countdown_;  // borrowed
};

// A leaf serving a view of a borrowed world under a plain buffer lock, like a
// host's source node; declares its output opaque when told to.
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

// One input, passed through; the policy picks how. Pixels: the input's,
// inverted with kInvert, kept inside `keep` with kCrop (content bounds
// `keep` for type 0 and the larger `extent` for type 1, transparent beyond
// `keep`), round-tripped through another depth with kCoerce, made opaque
// with kOpaque. The other bits change only the hand-over.
class ProofEffectNode : public RG_OneInputNode {
 public:
  enum Policy : uint32_t {
    kInPlace = 1,          // output in place on the input's buffer
    kOpaque = 2,           // declare (and make) the output opaque
    kPad = 4,              // ask the input for one pixel more on each side
    kExplicitIds = 8,      // check out with explicit ids 5 and 9
    kSecondCheckout = 16,  // check the input out a second time
    kSkipSecond = 32,      // ... and withdraw that checkout again
    kNewGroup = 64,        // the second checkout opens a checkout group
    kForceRect = 128,      // force the first checkout to the request's rect
    kClearOutput = 256,    // new-world flags bit 0
    kTakeInput = 512,      // take ownership of the input world at render
    kReleaseInput = 1024,  // check the input in once used
    kCoerce = 2048,        // convert the input to another depth and back
    kNextCheckout = 4096,  // fetch checkouts with GetNextCheckout
    kNodeData = 8192,      // return node data from PreRender
    kInvert = 16384,       // invert the colours
    kCrop = 32768,         // keep / extent, as above
  };
  ProofEffectNode(RG_RenderNode* input, uint32_t policy, const M_LRect& keep = {},
                  const M_LRect& extent = {});
  bool ContentBoundsDifferByType() const override { return (policy_ & kCrop) != 0; }
  RG_NodeData* PreRender(RG_NodePreRenderCB* cb, const RG_RenderRequest& request) const override;
  void Render(RG_NodeRenderCB* cb, const RG_RenderRequest& request,
              const RG_NodeData* data) const override;
  // The depth kCoerce goes through from `depth`.
  static short CoerceDepth(short depth) { return depth == 8 ? 16 : 8; }

 protected:
  M_LRect ComputeContentBounds(RG_ContentBoundsType type) const override;

 private:
  uint32_t policy_;
  M_LRect keep_, extent_;
};

// A cache keeping the results its input renders in a list of its own. An
// entry serves a request of its depth inside its request's rect, of its
// field (field 0 serves both) and of a content-bounds type it covers. The
// policy makes it misbehave as a host cache legitimately may.
class ProofCacheNode : public RG_CacheNodeBase {
 public:
  enum Policy : uint8_t {
    kLookup = 1,           // consult the cache at pre-render
    kForgetAtRender = 2,   // RenderFromCache finds its entry gone
    kGrowChildRect = 4,    // ChildRequestHook widens the child request
    kDataOnMiss = 8,       // LookupCache hands back data also on a miss
    kCopyOutput = 16,      // supply outputs as copies instead of views
    kAnyEntryServes = 32,  // ignore the request's rect (wrong pixels; fuzzing only)
  };
  struct Entry {
    RG_RenderRequest request;
    M_LRect rect;
    char flags = 0;
    M_LRect bounds[2];
    std::shared_ptr<PF_World> world;  // null for an empty result
  };

  ProofCacheNode(U_SharedPtr<RG_RenderNode> input, uint8_t policy);
  ~ProofCacheNode() override;
  bool LookupCache(const RG_RenderRequest& request, RG_NodeData** cacheData, M_LRect* resultRect,
                   char* outputFlags, M_LRect* contentBounds) const override;
  U_SharedPtr<RG_RenderNode> MakeInput() const override { return input_; }
  void StoreInCache(const RG_RenderRequest& childRequest, long elapsedTicks,
                    const M_LRect& resultRect, char outputFlags, PF_World* world,
                    RG_CheckoutResult* output) const override;
  bool RenderFromCache(const RG_NodeData* cacheData, const RG_RenderRequest& request,
                       RG_CheckoutResult* output) const override;
  mutable int hits = 0;
  mutable int stores = 0;

 protected:
  void ChildRequestHook(const RG_NodeData* cacheData,
                        RG_RenderRequest* childRequest) const override;

 private:
  void Supply(const Entry& entry, RG_CheckoutResult* output) const;

  U_SharedPtr<RG_RenderNode> input_;
  uint8_t policy_;
  mutable std::vector<std::shared_ptr<Entry>> entries_;
};
