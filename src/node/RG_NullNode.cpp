#include "rg/RG_NullNode.h"

#include "rg/RG_NodeCallbacks.h"

RG_NullNode::RG_NullNode() = default;

M_LRect RG_NullNode::ComputeContentBounds(RG_ContentBoundsType) const { return M_LRect(); }

RG_NodeData* RG_NullNode::PreRender(RG_NodePreRenderCB* cb, const RG_RenderRequest&) const {
  cb->RequestOutput(M_LRect(), 0, 0);
  return nullptr;
}

// The render pass skips nodes whose output is empty, so this is never reached.
void RG_NullNode::Render(RG_NodeRenderCB*, const RG_RenderRequest&, const RG_NodeData*) const {}
