#include "Effects.h"

#include <cmath>
#include <vector>

#include "Pixels.h"
#include "SceneDesc.h"
#include "rg/RG_CheckoutResult.h"
#include "rg/RG_NodeCallbacks.h"
#include "rghost/U_Memory.h"

namespace {

std::vector<float> GaussianWeights(double sigma, int32_t radius) {
  std::vector<float> w(2 * radius + 1);
  if (radius == 0 || sigma <= 0) {
    w.assign(1, 1.f);
    return w;
  }
  double sum = 0;
  for (int32_t k = -radius; k <= radius; ++k) sum += std::exp(-0.5 * k * k / (sigma * sigma));
  for (int32_t k = -radius; k <= radius; ++k)
    w[k + radius] = static_cast<float>(std::exp(-0.5 * k * k / (sigma * sigma)) / sum);
  return w;
}

// a / b rounded down, for b > 0.
int64_t FloorDiv(int64_t a, int64_t b) { return a / b - (a % b < 0); }

// `r` with `h` more columns and `v` more rows on each side, saturating at
// the 32-bit range (a chain of wide blurs grows its requests at each level).
M_LRect Widen(const M_LRect& r, int32_t h, int32_t v) {
  const M_LRect across = M_Grow(r, h), down = M_Grow(r, v);
  return M_LRect{across.left, down.top, across.right, down.bottom};
}

}  // namespace

BlurNode::BlurNode(RG_RenderNode* input, double sigma)
    : sigma_(sigma > 0 ? std::min(sigma, kMaxBlurSigma) : 0) {
  inputs_[0] = input;
}

int32_t BlurNode::Radius() const { return static_cast<int32_t>(std::ceil(3 * sigma_)); }

int32_t BlurNode::VerticalReach(int32_t field) const {
  if (field == 0) return Radius();
  return 2 * static_cast<int32_t>(std::ceil(1.5 * sigma_));
}

M_LRect BlurNode::ComputeContentBounds(RG_ContentBoundsType type) const {
  const M_LRect in = GetInput(0)->GetContentBounds(type);
  if (M_IsEmpty(in)) return M_LRect{};
  const int32_t r = std::max(Radius(), VerticalReach(1));
  return M_Grow(in, r);
}

RG_NodeData* BlurNode::PreRender(RG_NodePreRenderCB* cb, const RG_RenderRequest& request) const {
  const int32_t rh = Radius(), rv = VerticalReach(request.field);
  RG_RenderRequest wider = request;
  wider.rect = Widen(request.rect, rh, rv);
  RG_CheckoutResult* in = cb->CheckoutInput(0, wider);
  M_LRect out;
  if (!M_IsEmpty(in->GetRect())) {
    out = M_Intersect(request.rect, Widen(in->GetRect(), rh, rv));
    if (M_IsEmpty(out)) out = M_LRect{};
  }
  cb->RequestOutput(out, 0, 0);
  return nullptr;
}

void BlurNode::Render(RG_NodeRenderCB* cb, const RG_RenderRequest& request,
                      const RG_NodeData*) const {
  RG_CheckoutResult* in = cb->GetNextCheckout();
  RG_CheckoutResult* out = cb->GetNextCheckout();
  // The input first: its producer renders on demand, and an output buffer
  // taken before that would stay alive through the whole chain below.
  const PF_World* src = in->GetWorld();
  PF_World* dst = out->GetOutputWorld();
  const M_LRect o = dst->GetRect();
  const int32_t w = o.right - o.left;
  if (src == nullptr) {
    dst->Clear(0);
    return;
  }
  const M_LRect s = src->GetRect();
  const int32_t field = request.field;
  const int32_t step = field == 0 ? 1 : 2;
  const int32_t rh = Radius(), rv = VerticalReach(field);
  const std::vector<float> wh = GaussianWeights(sigma_, rh);
  const std::vector<float> wv = GaussianWeights(field == 0 ? sigma_ : sigma_ / 2, rv / step);

  // Horizontal pass over every source row the vertical pass can reach.
  const M_LRect reach = Widen(o, 0, rv);
  const int32_t top = std::max(reach.top, s.top), bottom = std::min(reach.bottom, s.bottom);
  const int32_t rows = std::max(bottom - top, 0);
  // Host memory, so that a scratch too large for the machine fails as the
  // host reports and throws for its own buffers.
  std::vector<RGBA, U_Allocator<RGBA>> tmp(static_cast<size_t>(rows) * w);
  for (int32_t y = top; y < bottom; ++y) {
    CheckAbort();
    if (!RowInField(y, field)) continue;
    RGBA* line = &tmp[static_cast<size_t>(y - top) * w];
    for (int32_t x = o.left; x < o.right; ++x) {
      RGBA acc;
      const int32_t k0 = std::max(-rh, s.left - x), k1 = std::min(rh, s.right - 1 - x);
      for (int32_t k = k0; k <= k1; ++k) {
        const RGBA p = ReadPixel(src, x + k - s.left, y - s.top);
        const float f = wh[k + rh];
        acc.r += p.r * f;
        acc.g += p.g * f;
        acc.b += p.b * f;
        acc.a += p.a * f;
      }
      line[x - o.left] = acc;
    }
  }

  // Vertical pass; taps outside the source are transparent.
  const int32_t taps = rv / step;
  for (int32_t y = o.top; y < o.bottom; ++y) {
    CheckAbort();
    if (!RowInField(y, field)) continue;
    // Only the taps that land on rows of the source, a few of a wide blur's.
    const int64_t k0 = std::max<int64_t>(-taps, FloorDiv(int64_t{top} - y + step - 1, step));
    const int64_t k1 = std::min<int64_t>(taps, FloorDiv(int64_t{bottom} - 1 - y, step));
    for (int32_t x = 0; x < w; ++x) {
      RGBA acc;
      for (int64_t k = k0; k <= k1; ++k) {
        const RGBA& p = tmp[static_cast<size_t>(y + k * step - top) * w + x];
        const float f = wv[k + taps];
        acc.r += p.r * f;
        acc.g += p.g * f;
        acc.b += p.b * f;
        acc.a += p.a * f;
      }
      WritePixel(dst, x, y - o.top, acc);
    }
    Progress(y - o.top + 1, o.bottom - o.top);
  }
}

LevelsNode::LevelsNode(RG_RenderNode* input, const Params& params) : params_(params) {
  inputs_[0] = input;
}

M_LRect LevelsNode::ComputeContentBounds(RG_ContentBoundsType type) const {
  return GetInput(0)->GetContentBounds(type);
}

RG_NodeData* LevelsNode::PreRender(RG_NodePreRenderCB* cb, const RG_RenderRequest& request) const {
  RG_CheckoutResult* in = cb->CheckoutInput(0, request);
  cb->RequestOutputInPlace(in, in->GetResultRect(), in->GetFlags(), 0);
  return nullptr;
}

float LevelsNode::Map(float v) const {
  const double range = params_.in_white - params_.in_black;
  double u = range != 0 ? (v - params_.in_black) / range : (v >= params_.in_black ? 1 : 0);
  u = std::clamp(u, 0.0, 1.0);
  if (params_.gamma > 0 && params_.gamma != 1) u = std::pow(u, 1.0 / params_.gamma);
  return static_cast<float>(params_.out_black + u * (params_.out_white - params_.out_black));
}

void LevelsNode::Render(RG_NodeRenderCB* cb, const RG_RenderRequest& request,
                        const RG_NodeData*) const {
  PF_World* world = cb->GetCheckoutByID(-1)->GetOutputWorld();
  if (world == nullptr) return;
  for (int32_t row = 0; row < world->height; ++row) {
    CheckAbort();
    if (!RowInField(world->origin_y + row, request.field)) continue;
    for (int32_t x = 0; x < world->width; ++x) {
      RGBA p = ReadPixel(world, x, row);
      if (p.a <= 0) continue;  // transparent stays transparent
      p = RGBA{Map(p.r / p.a) * p.a, Map(p.g / p.a) * p.a, Map(p.b / p.a) * p.a, p.a};
      WritePixel(world, x, row, p);
    }
  }
}
