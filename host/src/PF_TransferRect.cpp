// PF_GetTransferFlags and PF_TransferRect: a rectangle of one buffer
// composited onto another at the same depth.
#include <algorithm>
#include <cstdint>

#include "PF_KernelComposite.h"
#include "PF_KernelRows.h"
#include "U_Fallible.h"
#include "rghost/PF_Transfer.h"
#include "rghost/U_Errors.h"

namespace {

// The clipped job: `width` pixels per row starting at destination column dstX
// and source column srcX; source row = destination row + dy.
struct TransferArea {
  int64_t dstX = 0;
  int64_t srcX = 0;
  int64_t dy = 0;
  int32_t width = 0;
  PFh_FieldRows rows;
};

template <class D>
long RunTransfer(PF_ProgressInfo* progress, const TransferArea& area, const PF_LayerDef& src,
                 const PF_CompositeModePlus& mode, PF_MaskWorld* mask, const PF_LayerDef& dst) {
  using Pixel = typename D::Pixel;
  const float opacity = PFh_ClampOpacity(mode.opacity);
  const bool dest_bound = mode.dest_bound != 0;
  const int32_t n = area.width;

  // Normal mode at full strength and no mask needs no coverage row; on 8-bit
  // pixels it has an integer loop of its own.
  const bool plainNormal =
      (mode.transfer_mode == PF_BLEND_NORMAL || mode.transfer_mode == PF_BLEND_COPY) &&
      !dest_bound && mask == nullptr && opacity == 1.0f;
  const PFh_SpanFn<D, Pixel> span = PFh_SpanFor<D, Pixel>(mode.transfer_mode);

  auto body = [&](long i, PFh_RowScratch& scratch) {
    const int64_t y = area.rows.Row(i);
    const Pixel* s = PFh_PixelAt<const Pixel>(src, area.srcX, y + area.dy);
    Pixel* d = PFh_PixelAt<Pixel>(dst, area.dstX, y);
    if (plainNormal) {
      if constexpr (std::is_same_v<D, PFh_Depth8>) {
        PFh_NormalSpan8(s, d, n);
      } else {
        PFh_NormalSpan<D>(s, d, n);
      }
      return;
    }
    scratch.coverage.resize(static_cast<size_t>(n));
    float* k = scratch.coverage.data();
    PFh_FillCoverage(mask, opacity, y, area.dstX, n, k);
    PFh_SpanContext ctx;
    ctx.dest_bound = dest_bound;
    ctx.dissolve_seed = mode.dissolve_seed;
    ctx.x = area.dstX;
    ctx.y = y;
    ctx.origin_x = dst.origin_x;
    ctx.origin_y = dst.origin_y;
    span(s, d, k, n, ctx);
  };
  return PFh_RunRows(progress, area.rows.count,
                     static_cast<long long>(area.rows.count) * area.width, body);
}

}  // namespace

long PF_GetTransferFlags(long transferMode) {
  return PFh_ModeAllowsCopySubstitution(transferMode) ? PF_TRANSFER_FLAG_COPY_ON_CLEARED : 0;
}

long PF_TransferRect(PF_ProgressInfo* progress, long /*reserved1*/, long /*reserved2*/, long field,
                     const M_LRect* srcRect, PF_LayerDef* src, const PF_CompositeModePlus* mode,
                     uint64_t /*modeExt*/, PF_MaskWorld* mask, long destX, long destY,
                     PF_LayerDef* dst) {
  if (const long injected = Uh_NextFallibleCall()) return injected;
  if (mode == nullptr || !PFh_IsKnownMode(mode->transfer_mode)) return U_ERR_BAD_PARAMETER;
  if (field < 0 || field > 2 || !PFh_MaskIsValid(mask)) return U_ERR_BAD_PARAMETER;
  if (src == nullptr || dst == nullptr) return 0;
  if (src->depth != dst->depth || !PFh_IsKnownDepth(dst->depth)) return U_ERR_BAD_PARAMETER;
  if (src->data == nullptr || dst->data == nullptr) return 0;

  // The source rect clipped to the source, placed at (destX, destY), clipped
  // to the destination: everything in 64 bits so that far-off placements
  // cannot overflow.
  const M_LRect whole{0, 0, src->width, src->height};
  const M_LRect& r = srcRect != nullptr ? *srcRect : whole;
  const int64_t dx = static_cast<int64_t>(destX) - r.left;  // dst column - src column
  const int64_t dy = static_cast<int64_t>(destY) - r.top;
  int64_t left = std::max<int64_t>(r.left, 0) + dx;
  int64_t top = std::max<int64_t>(r.top, 0) + dy;
  int64_t right = std::min<int64_t>(r.right, src->width) + dx;
  int64_t bottom = std::min<int64_t>(r.bottom, src->height) + dy;
  left = std::max<int64_t>(left, 0);
  top = std::max<int64_t>(top, 0);
  right = std::min<int64_t>(right, dst->width);
  bottom = std::min<int64_t>(bottom, dst->height);
  if (right <= left || bottom <= top) return 0;

  TransferArea area;
  area.dstX = left;
  area.srcX = left - dx;
  area.dy = -dy;
  area.width = static_cast<int32_t>(right - left);
  area.rows = PFh_RowsOfField(field, top, bottom);
  if (area.rows.count == 0) return 0;

  switch (dst->depth) {
    case 8:
      return RunTransfer<PFh_Depth8>(progress, area, *src, *mode, mask, *dst);
    case 16:
      return RunTransfer<PFh_Depth16>(progress, area, *src, *mode, mask, *dst);
    default:
      return RunTransfer<PFh_Depth32>(progress, area, *src, *mode, mask, *dst);
  }
}
