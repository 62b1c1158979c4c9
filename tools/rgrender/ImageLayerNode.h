// Leaf node that shows a loaded image at a position, as a view of the
// image's buffer without copying. Unlike RG_SourceBufferNode it declares its
// output opaque when every pixel of the image is, so composites above it can
// cull what it hides.
//
// Ownership: the world is borrowed from the ImageStore, which outlives the node.
#pragma once

#include "rg/RG_RenderNode.h"

class PF_World;

class ImageLayerNode : public RG_RenderNode {
 public:
  ImageLayerNode(PF_World* world, int32_t x, int32_t y, bool opaque);

  RG_NodeData* PreRender(RG_NodePreRenderCB* cb, const RG_RenderRequest& request) const override;
  void Render(RG_NodeRenderCB* cb, const RG_RenderRequest& request,
              const RG_NodeData* data) const override;

 protected:
  M_LRect ComputeContentBounds(RG_ContentBoundsType type) const override;

 private:
  PF_World* world_;  // borrowed
  M_LRect bounds_;   // where the image lies in render space
  bool opaque_;
};
