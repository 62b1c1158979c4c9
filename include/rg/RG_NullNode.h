// Leaf node that produces nothing: empty content, empty output.
#pragma once

#include "rg/RG_Export.h"
#include "rg/RG_RenderNode.h"

class RG_API RG_NullNode : public RG_RenderNode {
 public:
  RG_NullNode();

  RG_NodeData* PreRender(RG_NodePreRenderCB* cb, const RG_RenderRequest& request) const override;
  void Render(RG_NodeRenderCB* cb, const RG_RenderRequest& request,
              const RG_NodeData* data) const override;

 private:
  M_LRect ComputeContentBounds(RG_ContentBoundsType type) const override;
};
