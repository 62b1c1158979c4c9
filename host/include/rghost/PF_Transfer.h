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

// Transfer-mode codes.
enum PF_TransferMode : int32_t {
  PF_Xfer_COPY = 0,
  PF_Xfer_BEHIND = 1,
  PF_Xfer_NORMAL = 2,
  PF_Xfer_DISSOLVE = 3,
  PF_Xfer_ADD = 4,
  PF_Xfer_MULTIPLY = 5,
  PF_Xfer_SCREEN = 6,
  PF_Xfer_OVERLAY = 7,
  PF_Xfer_SOFT_LIGHT = 8,
  PF_Xfer_HARD_LIGHT = 9,
  PF_Xfer_DARKEN = 10,
  PF_Xfer_LIGHTEN = 11,
  PF_Xfer_DIFFERENCE = 12,
  PF_Xfer_HUE = 13,
  PF_Xfer_SATURATION = 14,
  PF_Xfer_COLOR = 15,
  PF_Xfer_LUMINOSITY = 16,
  PF_Xfer_STENCIL_ALPHA = 17,
  PF_Xfer_STENCIL_LUMA = 18,
  PF_Xfer_SILHOUETTE_ALPHA = 19,
  PF_Xfer_SILHOUETTE_LUMA = 20,
  PF_Xfer_ALPHA_ADD = 21,
  PF_Xfer_NUM_MODES = 22
};

// A compositing mode. The record is copied whole by its users.
struct PF_CompositeModePlus {
  int32_t xfer = PF_Xfer_NORMAL;  // transfer-mode code
  uint8_t dest_bound = 0;         // nonzero: source-atop, the destination's alpha is kept
  uint64_t mode_ext = 0;          // extension word, passed beside the record
  float opacity = 1.0f;           // 0 = no contribution, 1 = full strength
  int32_t rand_seed = 0;          // seed of the dissolve hash
};

// Mask kinds (PF_MaskWorld::what_is_mask).
enum PF_MaskKind : int32_t {
  PF_MaskKind_ALPHA = 0,
  PF_MaskKind_INVERTED_ALPHA = 1,
  PF_MaskKind_LUMA = 2,
  PF_MaskKind_INVERTED_LUMA = 3
};

// A mask: destination pixel (x, y) reads mask pixel (x - offset_x,
// y - offset_y). Outside the mask buffer the coverage is 0 for kinds 0 and 2
// and 1 for kinds 1 and 3.
struct PF_MaskWorld {
  PF_LayerDef mask;
  int32_t offset_x = 0;
  int32_t offset_y = 0;
  int32_t what_is_mask = PF_MaskKind_ALPHA;
};

// Progress and abort callbacks; both return 0 to go on or an error code,
// which the routine returns at once.
struct PF_ProgressInfo {
  void* context = nullptr;
  long (*abort_cb)(void* context) = nullptr;
  long (*progress_cb)(void* context, long current, long total) = nullptr;
};

// Bit 0: the mode may be replaced by mode 0 (copy) over a fresh, cleared
// output. Unknown modes give 0.
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
