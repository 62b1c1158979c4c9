// The host's compositing: rectangle transfer and matrix transform of one
// buffer onto another through a transfer mode, an opacity and a mask.
//
// Blend math follows W3C Compositing and Blending Level 1 on premultiplied
// colour: the source is first scaled by k = opacity x mask coverage, then
// blended with B(Cb, Cs) and composited source-over, or source-atop when the
// destination-bound flag is set (the result keeps the destination's alpha).
#pragma once

#include <cstdint>

#include "rghost/M_Geometry.h"
#include "rghost/PF_World.h"

// Blend-mode codes, the transfer mode of a PF_CompositeModePlus. Scenes
// store them and profiles print them, so a code never changes.
enum PF_BlendMode : int32_t {
  PF_BLEND_COPY = 0,
  PF_BLEND_BEHIND = 1,
  PF_BLEND_NORMAL = 2,
  PF_BLEND_DISSOLVE = 3,
  PF_BLEND_ADD = 4,
  PF_BLEND_MULTIPLY = 5,
  PF_BLEND_SCREEN = 6,
  PF_BLEND_OVERLAY = 7,
  PF_BLEND_SOFT_LIGHT = 8,
  PF_BLEND_HARD_LIGHT = 9,
  PF_BLEND_DARKEN = 10,
  PF_BLEND_LIGHTEN = 11,
  PF_BLEND_DIFFERENCE = 12,
  PF_BLEND_HUE = 13,
  PF_BLEND_SATURATION = 14,
  PF_BLEND_COLOR = 15,
  PF_BLEND_LUMINOSITY = 16,
  PF_BLEND_STENCIL_ALPHA = 17,
  PF_BLEND_STENCIL_LUMA = 18,
  PF_BLEND_SILHOUETTE_ALPHA = 19,
  PF_BLEND_SILHOUETTE_LUMA = 20,
  PF_BLEND_ALPHA_ADD = 21
};
inline constexpr int32_t PF_BLEND_MODE_COUNT = 22;

// A compositing mode. The record is copied whole by its users.
struct PF_CompositeModePlus {
  int32_t transfer_mode = PF_BLEND_NORMAL;  // a PF_BlendMode code
  uint8_t dest_bound = 0;                   // nonzero: source-atop, the destination's alpha is kept
  uint64_t mode_ext = 0;                    // extension word, passed beside the record
  float opacity = 1.0f;                     // 0 = no contribution, 1 = full strength
  int32_t dissolve_seed = 0;                // seed of the dissolve hash
};

// Mask kinds (PF_MaskWorld::kind, the mask mode of a composite node).
enum PF_MaskKind : int32_t {
  PF_MASK_ALPHA = 0,
  PF_MASK_INVERTED_ALPHA = 1,
  PF_MASK_LUMA = 2,
  PF_MASK_INVERTED_LUMA = 3
};
inline constexpr int32_t PF_MASK_KIND_COUNT = 4;

// A mask: destination pixel (x, y) reads mask pixel (x - offset_x,
// y - offset_y). Outside the mask buffer the coverage is 0 for kinds 0 and 2
// and 1 for kinds 1 and 3.
struct PF_MaskWorld {
  PF_LayerDef mask;
  int32_t offset_x = 0;
  int32_t offset_y = 0;
  int32_t kind = PF_MASK_ALPHA;
};

// Progress and abort callbacks; both return 0 to go on or an error code,
// which the routine returns once the rows it has begun are done. They are
// called only on the thread that called the routine: before its first row
// and then at least once per 32 x T rows begun, T being the threads the
// routine uses (PF_SetThreadCount; 1 for small jobs), however busy the other
// threads are. So an abort raised at any moment stops the routine after at
// most 32 x T more rows. `current` is the number of rows begun so far.
struct PF_ProgressInfo {
  void* context = nullptr;
  long (*abort_callback)(void* context) = nullptr;
  long (*progress_callback)(void* context, long current, long total) = nullptr;
};

// Set in PF_GetTransferFlags when the mode may be replaced by copy over a
// fresh, cleared output.
inline constexpr long PF_TRANSFER_FLAG_COPY_ON_CLEARED = 1;

// The PF_TRANSFER_FLAG_ bits of a transfer mode; unknown modes give 0.
long PF_GetTransferFlags(long transferMode);

// Composites srcRect of src (src pixel coordinates) into dst with its top-left
// at (destX, destY) of dst, honouring field (0 every row, 1 rows 0, 2, 4...,
// 2 rows 1, 3, 5... of dst), mode and mask (may be null). Returns 0 or an
// error code. The two constants after the progress record are reserved (1).
long PF_TransferRect(PF_ProgressInfo* progress, long reserved1, long reserved2, long field,
                     const M_LRect* srcRect, PF_LayerDef* src, const PF_CompositeModePlus* mode,
                     uint64_t modeExt, PF_MaskWorld* mask, long destX, long destY,
                     PF_LayerDef* dst);

// Composites src placed by `count` matrices into destRect of dst (dst pixel
// coordinates). Pixel (i, j) covers [i, i+1) x [j, j+1); each destination
// pixel centre is mapped back through each matrix and sampled (quality 0
// nearest, 1 bilinear; transparent outside src); several matrices are
// averaged; a singular matrix contributes transparency. srcToDst false means
// the matrices map destination to source. Returns 0 or an error code.
long PF_TransformWorld(PF_ProgressInfo* progress, long quality, long reserved, long field,
                       PF_LayerDef* src, const PF_CompositeModePlus* mode, uint64_t modeExt,
                       PF_MaskWorld* mask, const M_Matrix3* matrices, long count, bool srcToDst,
                       const M_LRect* destRect, PF_LayerDef* dst);

// Threads the compositing kernels may use (1 or more; results never depend
// on it). Returns the previous value.
int PF_SetThreadCount(int threads);
