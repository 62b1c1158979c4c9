// The random-graph proof: a small render graph as plain data, a seeded
// generator of such graphs, the builder that turns one into library nodes,
// the obvious evaluator the library's output is compared with, and the
// harness that runs a graph through the library and compares pixel for pixel.
// The same description feeds both sides, so both render the same thing.
#pragma once

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "rg/RG_RenderNode.h"
#include "rg/RG_RenderRequest.h"
#include "rghost/M_Geometry.h"
#include "rghost/PF_Transfer.h"
#include "support/ProofNodes.h"

enum class ProofKind {
  kSource,        // ProofSourceNode (may declare itself opaque)
  kBufferSource,  // RG_SourceBufferNode
  kNull,          // RG_NullNode
  kComposite,     // RG_CompositeNode
  kXform,         // RG_XformNode
  kCache,         // ProofCacheNode
  kEffect,        // ProofEffectNode
};

struct ProofNodeDesc {
  ProofKind kind = ProofKind::kNull;
  // Indices of earlier nodes; -1 for none. Composite kinds: source,
  // destination, mask. One-input kinds use the first.
  int inputs[3] = {-1, -1, -1};
  // Leaves: where the buffer lies and how it is filled.
  M_LRect bounds{};
  uint32_t pixel_seed = 0;
  bool opaque = false;
  bool explicit_bounds = false;  // buffer source built with explicit bounds
  short depth = 0;               // a buffer source's own depth; 0: the request's
  PF_CompositeModePlus mode{};
  long mask_mode = 0;
  std::vector<M_Matrix3> matrices{};
  long quality = 0;
  // ProofCacheNode / ProofEffectNode policy bits; the effect's crop rects.
  uint32_t policy = 0;
  M_LRect keep{}, extent{};
};

enum class ProofForm {
  kNewWorld,      // three-output form without a lock holder
  kNewWorldLock,  // three-output form with a lock holder
  kDestination    // the caller's destination world
};

struct ProofGraphDesc {
  uint64_t seed = 0;
  std::vector<ProofNodeDesc> nodes;  // inputs come before their consumers; the last is the root
  RG_RenderRequest request;
  ProofForm form = ProofForm::kNewWorld;
  M_LRect dest_rect;  // destination form only; contains the request rect
  int runs = 1;       // executions of one built graph (a second one hits the caches)

  // One line per node, for failure messages.
  std::string Describe() const;
};

inline std::ostream& operator<<(std::ostream& os, const M_LRect& r) {
  return os << "(" << r.left << "," << r.top << "," << r.right << "," << r.bottom << ")";
}

// A random graph of a few nodes; the same seed gives the same graph.
ProofGraphDesc ProofRandomGraph(uint64_t seed);

// The library's nodes for a description. Owns the source worlds (which the
// leaves borrow) and every node; the nodes go first.
class ProofBuiltGraph {
 public:
  explicit ProofBuiltGraph(const ProofGraphDesc& desc);
  ~ProofBuiltGraph() { nodes_.clear(); }
  ProofBuiltGraph(const ProofBuiltGraph&) = delete;
  ProofBuiltGraph& operator=(const ProofBuiltGraph&) = delete;

  RG_RenderNode* root() const { return nodes_.back().get(); }
  RG_RenderNode* node(int index) const { return nodes_[static_cast<size_t>(index)].get(); }
  int size() const { return static_cast<int>(nodes_.size()); }

 private:
  std::vector<ProofWorldPtr> worlds_;
  std::vector<U_SharedPtr<RG_RenderNode>> nodes_;
};

// The source world of a leaf, as both the library graph and the reference use it
// (at `depth` unless it has its own).
ProofWorldPtr ProofLeafWorld(const ProofNodeDesc& leaf, short depth);

// The reference evaluator. Every node renders its whole requested area into a
// fresh buffer of its own, from fresh buffers of its inputs' whole areas:
// nothing is culled, shared, trimmed, cached or done in place. For a
// single-field request each compositing call writes just that field's rows,
// counted (as the library counts them) from its output buffer's first row; a
// node whose rows come from the same rows of its inputs asks them for the same
// field, and a transform, whose rows may come from anywhere, asks its source
// for the whole frame. Compositing goes through the same host calls as the
// library's nodes (PF_TransferRect, PF_TransformWorld).
//
// A composite node's result covers its destination's result and the visible
// source rect (the source's result, clipped to the mask for the mask kinds
// whose coverage is 0 outside the mask), transparent where neither reaches.
// Three rules of the composite node are part of what it means and are
// followed here: opacity 0 means the source contributes nothing; with the
// destination-bound flag and no destination there is nothing; in the
// stencil modes (17, 18) a destination the visible source does not meet
// yields nothing.
struct ProofRefResult {
  M_LRect rect;         // empty: nothing
  ProofWorldPtr world;  // covers rect; null when rect is empty
};

class ReferenceEvaluator {
 public:
  explicit ReferenceEvaluator(const ProofGraphDesc& desc);
  // The root's result for the description's request.
  ProofRefResult RenderRoot() const;

 private:
  // Node `index` over `rect` for `field`; `type1` asks for content as far as
  // bounds type 1 reach.
  ProofRefResult Render(int index, const M_LRect& rect, bool type1, long field) const;
  ProofRefResult RenderComposite(const ProofNodeDesc& n, const M_LRect& rect, bool type1,
                                 long field) const;
  ProofRefResult RenderEffect(const ProofNodeDesc& n, const M_LRect& rect, bool type1,
                              long field) const;

  const ProofGraphDesc& desc_;  // borrowed
  short depth_;
  std::vector<ProofWorldPtr> leaf_worlds_;  // by node index; null for other kinds
};

// What one execution handed back. For the destination form, `world` is the
// whole destination world and `rect` the destination rect.
struct ProofLibraryOutput {
  M_LRect rect;
  char flags = 0;
  std::unique_ptr<RG_BufferLock> lock;  // declared first: dies after the world
  ProofWorldPtr world;
};

ProofLibraryOutput ProofExecute(const ProofGraphDesc& desc, RG_RenderNode* root);

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
// Builds the graph and checks every run as ProofRunAll does; a run must also
// report nothing. Empty on success; otherwise what went wrong, with the graph.
std::string ProofCheckGraph(const ProofGraphDesc& desc, ProofCheckStats* stats = nullptr);
