// The obvious evaluator the library's output is compared with.
//
// Every node renders its whole requested area into a fresh buffer of its
// own, from fresh buffers of its inputs' whole areas: nothing is culled,
// shared, trimmed, cached or done in place. For a single-field request each
// compositing call writes just that field's rows, counted (as the library
// counts them) from its output buffer's first row; a node whose rows come
// from the same rows of its inputs asks them for the same field, and a
// transform, whose rows may come from anywhere, asks its source for the whole
// frame. Compositing goes through the same host calls as the library's nodes
// (PF_TransferRect, PF_TransformWorld).
//
// A composite node's result covers its destination's result and the visible
// source rect (the source's result, clipped to the mask for the mask kinds
// whose coverage is 0 outside the mask), transparent where neither reaches.
// Three rules of the composite node are part of what it means and are
// followed here: opacity 0 means the source contributes nothing; with the
// destination-bound flag and no destination there is nothing; in the
// stencil modes (17, 18) a destination the visible source does not meet
// yields nothing.
#pragma once

#include <vector>

#include "proof/RandomGraph.h"
#include "support/ProofNodes.h"

struct ProofRefResult {
  M_LRect rect;         // empty: nothing
  ProofWorldPtr world;  // covers rect; null when rect is empty
};

class ReferenceEvaluator {
 public:
  explicit ReferenceEvaluator(const ProofGraphDesc& desc);

  // The root's result for the description's request.
  ProofRefResult RenderRoot() const;
  // Node `index` over `rect` for `field`; `type1` asks for content as far as
  // bounds type 1 reach.
  ProofRefResult Render(int index, const M_LRect& rect, bool type1, long field) const;

 private:
  ProofRefResult RenderLeaf(int index, const M_LRect& rect) const;
  ProofRefResult RenderComposite(const ProofNodeDesc& n, const M_LRect& rect, bool type1,
                                 long field) const;
  ProofRefResult RenderEffect(const ProofNodeDesc& n, const M_LRect& rect, bool type1,
                              long field) const;

  const ProofGraphDesc& desc_;  // borrowed
  short depth_;
  std::vector<ProofWorldPtr> leaf_worlds_;  // by node index; null for other kinds
};

// The bounding rect of the images of `rect` under the matrices (empty images
// skipped); with `inverse` under their inverses (singular ones skipped).
M_LRect ProofMappedBounds(const std::vector<M_Matrix3>& matrices, const M_LRect& rect,
                          bool inverse);
