// Leaf nodes that compute their pixels: a solid colour, a linear gradient
// and a checkerboard over a rect. Colours are straight RGBA in 0..1; the
// output is premultiplied at the request's depth and declared opaque when
// every colour used is.
#pragma once

#include "Pixels.h"
#include "rg/RG_RenderNode.h"

class GeneratorNode : public RG_RenderNode {
 public:
  enum class Pattern { Solid, Gradient, Checkerboard };
  // Solid uses c1; Gradient goes from c1 to c2; Checkerboard alternates
  // squares of `cell` pixels starting with c1 at the rect's top-left.
  GeneratorNode(Pattern pattern, const M_LRect& rect, RGBA c1, RGBA c2, bool vertical,
                int32_t cell);

  RG_NodeData* PreRender(RG_NodePreRenderCB* cb, const RG_RenderRequest& request) const override;
  void Render(RG_NodeRenderCB* cb, const RG_RenderRequest& request,
              const RG_NodeData* data) const override;
  std::string GetProfileLabel() const override;

 protected:
  M_LRect ComputeContentBounds(RG_ContentBoundsType type) const override;

 private:
  RGBA ColorAt(int32_t x, int32_t y) const;  // premultiplied

  Pattern pattern_;
  M_LRect rect_;
  RGBA c1_, c2_;  // premultiplied
  bool vertical_;
  int32_t cell_;
};
