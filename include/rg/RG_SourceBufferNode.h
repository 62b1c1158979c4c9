// Leaf node that feeds an existing host buffer into a graph as a view,
// without copying pixels.
//
// Ownership: the buffer is borrowed; the host keeps it alive while the node
// can be executed and deletes it itself.
#pragma once

#include "rg/RG_Export.h"
#include "rg/RG_RenderNode.h"

class PF_World;

class RG_API RG_SourceBufferNode : public RG_RenderNode {
 public:
  // Bounds from the world: its origin to origin plus its size.
  explicit RG_SourceBufferNode(const PF_World* world);
  // Bounds given by the caller; their top-left is the buffer's pixel (0, 0).
  // They must be no wider and no higher than the world.
  RG_SourceBufferNode(const PF_World* world, const M_LRect& bounds);

  M_LRect ComputeContentBounds(RG_ContentBoundsType type) const override;
  RG_NodeData* PreRender(RG_NodePreRenderCB* cb, const RG_RenderRequest& request) const override;
  void Render(RG_NodeRenderCB* cb, const RG_RenderRequest& request,
              const RG_NodeData* data) const override;

 private:
  const PF_World* world_;  // borrowed
  M_LRect bounds_;
};
