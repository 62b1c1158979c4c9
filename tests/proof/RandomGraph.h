// A small render graph as plain data, a seeded generator of such graphs, and
// the builder that turns one into library nodes. The same description feeds
// the reference evaluator, so both sides render the same thing.
#pragma once

#include <cstdint>
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
  kCache,         // ProofMapCache
  kInvert,        // ProofInvertNode
  kCrop           // ProofCropNode
};

struct ProofNodeDesc {
  ProofKind kind = ProofKind::kNull;
  // Indices of earlier nodes; -1 for none. Composite kinds: source,
  // destination, mask. One-input kinds use the first.
  int inputs[3] = {-1, -1, -1};
  // Leaves: where the buffer lies and how it is filled.
  M_LRect bounds;
  uint32_t pixel_seed = 0;
  bool opaque = false;
  bool explicit_bounds = false;  // buffer source built with explicit bounds
  // Composite kinds.
  PF_CompositeModePlus mode;
  long mask_mode = 0;
  std::vector<M_Matrix3> matrices;
  long quality = 0;
  // Cache.
  bool lookup_enabled = true;
  bool stale = false;
  // Crop: type-0 and type-1 extents.
  M_LRect keep;
  M_LRect extent;
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

  // One line per node, for failure messages.
  std::string Describe() const;
};

// A random graph of a few nodes; the same seed gives the same graph.
ProofGraphDesc ProofRandomGraph(uint64_t seed);

// The library's nodes for a description. Owns the source worlds (which the
// leaves borrow) and every node; the worlds outlive the nodes.
class ProofBuiltGraph {
 public:
  explicit ProofBuiltGraph(const ProofGraphDesc& desc);
  ~ProofBuiltGraph();
  ProofBuiltGraph(const ProofBuiltGraph&) = delete;
  ProofBuiltGraph& operator=(const ProofBuiltGraph&) = delete;

  RG_RenderNode* root() const { return root_.get(); }
  RG_RenderNode* node(int index) const { return nodes_[static_cast<size_t>(index)].get(); }

 private:
  std::vector<ProofWorldPtr> worlds_;
  std::vector<U_SharedPtr<RG_RenderNode>> nodes_;
  U_SharedPtr<RG_RenderNode> root_;
};

// The source world of a leaf, as both the library graph and the reference use it.
ProofWorldPtr ProofLeafWorld(const ProofNodeDesc& leaf, short depth);
