// A small render graph as plain data, a seeded generator of such graphs, and
// the builder that turns one into library nodes. The same description feeds
// the reference evaluator, so both sides render the same thing.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

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
  // Composite kinds.
  PF_CompositeModePlus mode{};
  long mask_mode = 0;
  std::vector<M_Matrix3> matrices{};
  long quality = 0;
  // Cache and effect: ProofCacheNode / ProofEffectNode policy bits; the
  // effect's crop rects.
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
  std::vector<ProofNodeDesc> nodes;  // inputs come before their consumers
  int root = -1;
  RG_RenderRequest request;
  ProofForm form = ProofForm::kNewWorld;
  M_LRect dest_rect;  // destination form only; contains the request rect
  int runs = 1;       // executions of one built graph (a second one hits the caches)

  // One line per node the root reaches, for failure messages.
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
  ~ProofBuiltGraph();
  ProofBuiltGraph(const ProofBuiltGraph&) = delete;
  ProofBuiltGraph& operator=(const ProofBuiltGraph&) = delete;

  RG_RenderNode* root() const { return nodes_[static_cast<size_t>(root_)].get(); }
  RG_RenderNode* node(int index) const { return nodes_[static_cast<size_t>(index)].get(); }
  int size() const { return static_cast<int>(nodes_.size()); }

 private:
  std::vector<ProofWorldPtr> worlds_;
  std::vector<U_SharedPtr<RG_RenderNode>> nodes_;
  int root_;
};

// The source world of a leaf, as both the library graph and the reference use it
// (at `depth` unless it has its own).
ProofWorldPtr ProofLeafWorld(const ProofNodeDesc& leaf, short depth);
