// The random-graph proof: a render graph as plain data, a seeded generator
// of such graphs, and the same description built into library nodes and
// rendered by the obvious evaluator, to compare pixel for pixel.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "rg/RG_RenderNode.h"
#include "rg/RG_RenderRequest.h"
#include "rghost/M_Geometry.h"
#include "rghost/PF_Transfer.h"
#include "support/ProofNodes.h"
#include "support/TestNodes.h"

// kSource is a ProofSourceNode (which may declare itself opaque), kBufferSource
// an RG_SourceBufferNode; the others are named after their node classes.
enum class ProofKind { kSource, kBufferSource, kNull, kComposite, kXform, kCache, kEffect };

struct ProofNodeDesc {
  ProofKind kind = ProofKind::kNull;
  int inputs[3] = {-1, -1, -1};  // earlier nodes or -1: source, destination, mask
  M_LRect bounds{};              // leaves: where the buffer lies and how it is filled
  uint32_t pixel_seed = 0;
  bool opaque = false;
  bool explicit_bounds = false;  // buffer source built with explicit bounds
  short depth = 0;               // a buffer source's own depth; 0: the request's
  PF_CompositeModePlus mode{};
  long mask_mode = 0;
  std::vector<M_Matrix3> matrices{};
  long quality = 0;
  uint32_t policy = 0;       // ProofCacheNode / ProofEffectNode bits
  M_LRect keep{}, extent{};  // the effect's crop
};

// The three-output form without or with a lock holder; the caller's destination world.
enum class ProofForm { kNewWorld, kNewWorldLock, kDestination };

struct ProofGraphDesc {
  uint64_t seed = 0;
  std::vector<ProofNodeDesc> nodes;  // inputs come before their consumers; the last is the root
  RG_RenderRequest request;
  ProofForm form = ProofForm::kNewWorld;
  M_LRect dest_rect;  // destination form only; contains the request rect
  int runs = 1;       // executions of one built graph (a second one hits the caches)

  std::string Describe() const;  // for failure messages
};

inline std::ostream& operator<<(std::ostream& os, const M_LRect& r) {
  return os << "(" << r.left << "," << r.top << "," << r.right << "," << r.bottom << ")";
}

// A random graph of a few nodes; the same seed gives the same graph.
ProofGraphDesc ProofRandomGraph(uint64_t seed);

// The library's nodes for a description. Owns the source worlds (which the
// leaves borrow) and every node; the nodes go first.
struct ProofBuiltGraph {
  explicit ProofBuiltGraph(const ProofGraphDesc& desc);
  ~ProofBuiltGraph() { nodes.clear(); }
  ProofBuiltGraph(const ProofBuiltGraph&) = delete;
  ProofBuiltGraph& operator=(const ProofBuiltGraph&) = delete;
  RG_RenderNode* root() const { return nodes.back().get(); }
  template <class Node>
  Node* node(size_t index) const {
    return static_cast<Node*>(nodes[index].get());
  }

  std::vector<ProofWorldPtr> worlds;
  std::vector<U_SharedPtr<RG_RenderNode>> nodes;
};

// The source world of a leaf, as both the library graph and the reference use it
// (at `depth` unless it has its own).
ProofWorldPtr ProofLeafWorld(const ProofNodeDesc& leaf, short depth);

// The reference evaluator: every node renders its whole requested area into
// a fresh buffer from fresh buffers of its inputs' whole areas; nothing is
// culled, shared, trimmed, cached or done in place. For a single-field
// request each compositing call writes that field's rows, counted (as the
// library counts them) from its output buffer's first row; a transform,
// whose rows may come from anywhere, asks its source for the whole frame.
// Compositing goes through the host calls the library's nodes use. A
// composite's result covers its destination's result and the visible source
// rect (clipped to the mask for the kinds whose coverage is 0 outside it),
// transparent where neither reaches. Three rules of the composite node are
// part of what it means: opacity 0 means the source contributes nothing;
// destination-bound with no destination gives nothing; in the stencil modes
// (17, 18) a destination the visible source does not meet gives nothing.
struct ProofRefResult {
  M_LRect rect;         // empty: nothing
  ProofWorldPtr world;  // covers rect; null when rect is empty
};
ProofRefResult ProofReference(const ProofGraphDesc& desc);  // for the description's request

// One execution. For the destination form, `world` is the whole destination
// world and `rect` the destination rect.
TestOutcome ProofExecute(const ProofGraphDesc& desc, RG_RenderNode* root);

struct ProofCheckStats {
  bool drew = false;     // the reference has pixels in the request
  int cache_hits = 0;    // lookups that found an entry
  int cache_stores = 0;  // results handed to a cache
};

// Every run of `desc` on `graph` against `expected`: the library's pixels
// must equal the reference's over the requested rect (only the requested
// field's rows for a single-field request, pixels outside a result counting
// as transparent black), the result world must match its rect, an opaque
// result must be opaque and no leaf outside a cache may render more than
// once. Empty on success; otherwise the first difference.
std::string ProofRunAll(const ProofGraphDesc& desc, const ProofBuiltGraph& graph,
                        const ProofRefResult& expected);
// Builds the graph and checks it as ProofRunAll does; a run must also report
// nothing. Empty on success; otherwise what went wrong, with the graph.
std::string ProofCheckGraph(const ProofGraphDesc& desc, ProofCheckStats* stats = nullptr);
