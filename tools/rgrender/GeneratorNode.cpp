#include "GeneratorNode.h"

#include "rg/RG_CheckoutResult.h"
#include "rg/RG_NodeCallbacks.h"

namespace {
RGBA Premultiply(RGBA c) {
  c.a = std::clamp(c.a, 0.f, 1.f);
  return RGBA{c.r * c.a, c.g * c.a, c.b * c.a, c.a};
}
}  // namespace

GeneratorNode::GeneratorNode(Pattern pattern, const M_LRect& rect, RGBA c1, RGBA c2, bool vertical,
                             int32_t cell)
    : pattern_(pattern),
      rect_(rect),
      c1_(Premultiply(c1)),
      c2_(Premultiply(c2)),
      vertical_(vertical),
      cell_(std::max(cell, 1)) {}

M_LRect GeneratorNode::ComputeContentBounds(RG_ContentBoundsType) const { return rect_; }

std::string GeneratorNode::GetProfileLabel() const {
  static constexpr const char* kLabels[] = {"Solid", "Gradient", "Checkerboard"};  // by Pattern
  return kLabels[static_cast<int>(pattern_)];
}

RGBA GeneratorNode::ColorAt(int32_t x, int32_t y) const {
  switch (pattern_) {
    case Pattern::Solid:
      return c1_;
    case Pattern::Gradient: {
      // Sample at pixel centres so both ends are reached symmetrically.
      const double span = vertical_ ? rect_.bottom - rect_.top : rect_.right - rect_.left;
      const double pos = vertical_ ? y - rect_.top + 0.5 : x - rect_.left + 0.5;
      const float u = static_cast<float>(pos / span);
      return RGBA{c1_.r + (c2_.r - c1_.r) * u, c1_.g + (c2_.g - c1_.g) * u,
                  c1_.b + (c2_.b - c1_.b) * u, c1_.a + (c2_.a - c1_.a) * u};
    }
    default: {
      const int32_t cx = (x - rect_.left) / cell_, cy = (y - rect_.top) / cell_;
      return ((cx + cy) & 1) == 0 ? c1_ : c2_;
    }
  }
}

RG_NodeData* GeneratorNode::PreRender(RG_NodePreRenderCB* cb,
                                      const RG_RenderRequest& request) const {
  const bool opaque = c1_.a >= 1.f && (pattern_ == Pattern::Solid || c2_.a >= 1.f);
  cb->RequestOutput(M_Intersect(request.rect, rect_), opaque ? RG_OUTPUT_OPAQUE : 0, 0);
  return nullptr;
}

void GeneratorNode::Render(RG_NodeRenderCB* cb, const RG_RenderRequest& request,
                           const RG_NodeData*) const {
  PF_World* out = cb->GetNextCheckout()->GetOutputWorld();
  for (int32_t row = 0; row < out->height; ++row) {
    CheckAbort();
    const int32_t y = out->origin_y + row;
    // Rows of the other field are left as they are: nobody reads them.
    if (!RowInField(y, request.field)) continue;
    for (int32_t col = 0; col < out->width; ++col)
      WritePixel(out, col, row, ColorAt(out->origin_x + col, y));
    Progress(row + 1, out->height);
  }
}
