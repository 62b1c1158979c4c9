// Leaf node that shows a loaded image at a position, as a view of the
// image's buffer without copying. Its pre-render reads the rows it is asked
// for (the first time only) and, unlike RG_SourceBufferNode, declares its
// output opaque when every pixel of those rows is, so composites above it
// can cull what it hides.
//
// Ownership: the image is borrowed from the ImageStore, which outlives the node.
#pragma once

#include "rg/RG_RenderNode.h"

class LoadedImage;

class ImageLayerNode : public RG_RenderNode {
 public:
  ImageLayerNode(const LoadedImage* image, int32_t x, int32_t y);

  RG_NodeData* PreRender(RG_NodePreRenderCB* cb, const RG_RenderRequest& request) const override;
  void Render(RG_NodeRenderCB* cb, const RG_RenderRequest& request,
              const RG_NodeData* data) const override;

 protected:
  M_LRect ComputeContentBounds(RG_ContentBoundsType type) const override;

 private:
  M_LRect InImage(const M_LRect& r) const;

  const LoadedImage* image_;  // borrowed
  M_LRect bounds_;            // where the image lies in render space
};
