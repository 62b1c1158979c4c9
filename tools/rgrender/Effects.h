// The program's two effects, written as host nodes on the public node API.
#pragma once

#include "rg/RG_RenderNode.h"

// Gaussian blur of premultiplied colour. It checks out its input over the
// request grown by the kernel radius and outputs only what the grown input
// can reach. In a field render it blurs within the field: vertical taps
// step over two rows, so rows of the other field are never read.
class BlurNode : public RG_OneInputNode {
 public:
  BlurNode(RG_RenderNode* input, double sigma);

  RG_NodeData* PreRender(RG_NodePreRenderCB* cb, const RG_RenderRequest& request) const override;
  void Render(RG_NodeRenderCB* cb, const RG_RenderRequest& request,
              const RG_NodeData* data) const override;
  std::string GetProfileLabel() const override { return "Blur"; }

 protected:
  M_LRect ComputeContentBounds(RG_ContentBoundsType type) const override;

 private:
  int32_t Radius() const;                      // horizontal taps each side
  int32_t VerticalReach(int32_t field) const;  // rows reached each side

  double sigma_;
};

// Levels on straight colour (input black/white, gamma, output black/white),
// applied in place on the input's buffer. Alpha is kept, and so is the
// input's opaque flag.
class LevelsNode : public RG_OneInputNode {
 public:
  struct Params {
    double in_black = 0, in_white = 1, gamma = 1, out_black = 0, out_white = 1;
  };
  LevelsNode(RG_RenderNode* input, const Params& params);

  RG_NodeData* PreRender(RG_NodePreRenderCB* cb, const RG_RenderRequest& request) const override;
  void Render(RG_NodeRenderCB* cb, const RG_RenderRequest& request,
              const RG_NodeData* data) const override;
  std::string GetProfileLabel() const override { return "Levels"; }

 protected:
  M_LRect ComputeContentBounds(RG_ContentBoundsType type) const override;

 private:
  float Map(float straight) const;

  Params params_;
};
