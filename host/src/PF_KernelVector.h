// Vector forms of the hottest span loops, each written once with Highway and
// compiled for every x86 vector width (128-bit SSE4, AVX2, AVX-512, and a
// portable fallback); the widest the processor supports is chosen at run
// time. Each takes the longest prefix of its span that fills whole vectors
// and returns its length; the caller runs the scalar loop (PF_KernelComposite.h)
// over the rest. On every target the results equal the scalar loop's bit for
// bit: the same operations on the same values in the same order, lane by
// lane, and no fused multiply-add.
#pragma once

#include <cstdint>

#include "BlendMath.h"
#include "rghost/PF_World.h"

// Rows whose source overlaps the destination other than exactly (a source
// shifted within its own buffer) read pixels the scalar loop would already
// have written: only the scalar loop, one pixel at a time, handles them.
template <class S, class P>
inline bool PFh_OverlapsInexactly(const S* src, const P* dst, int32_t n) {
  const void* s = src;
  const void* d = dst;
  const auto* sb = static_cast<const char*>(s);
  const auto* db = static_cast<const char*>(d);
  return sb != db && sb < db + static_cast<size_t>(n) * sizeof(P) &&
         db < sb + static_cast<size_t>(n) * sizeof(S);
}

// Normal mode at full strength without a mask (PFh_NormalSpan8 and
// PFh_NormalSpan<D>), one form per depth.
#define PFH_PLAIN_FORMS(X) X(8, PF_RGBA8) X(16, PF_RGBA16) X(32, PF_RGBA32F)

// The kernels with per-pixel strength k[i] (PFh_CompositeSpan), from a
// source at the destination's depth or from resampled float pixels: normal
// and copy mode (PFh_VecNormal), and the separable modes from multiply to
// difference (PFh_VecSeparable, 0 for any other mode). Each form: its name,
// the source pixel and the destination pixel.
#define PFH_STRENGTH_FORMS(X)         \
  X(8From8, PF_RGBA8, PF_RGBA8)       \
  X(8FromFloat, PFh_RGBA, PF_RGBA8)   \
  X(16From16, PF_RGBA16, PF_RGBA16)   \
  X(16FromFloat, PFh_RGBA, PF_RGBA16) \
  X(32From32, PF_RGBA32F, PF_RGBA32F) \
  X(32FromFloat, PFh_RGBA, PF_RGBA32F)

#define PFH_DECLARE_PLAIN(bits, P) int32_t PFh_VecPlainNormal(const P* src, P* dst, int32_t n);
PFH_PLAIN_FORMS(PFH_DECLARE_PLAIN)
#undef PFH_DECLARE_PLAIN
#define PFH_DECLARE_STRENGTH(name, S, P)                                                  \
  int32_t PFh_VecNormal(const S* src, P* dst, const float* k, int32_t n, bool destBound); \
  int32_t PFh_VecSeparable(int mode, const S* src, P* dst, const float* k, int32_t n,     \
                           bool destBound);
PFH_STRENGTH_FORMS(PFH_DECLARE_STRENGTH)
#undef PFH_DECLARE_STRENGTH

// The transform kernel's samplers (AccumulateRow): adds to acc[i] the sample
// at source position (u[i], v[i]) in pixels, where it lies inside the
// source; a NaN position samples nothing. One pair per source depth.
#define PFH_SAMPLER_FORMS(X) X(8) X(16) X(32)
#define PFH_DECLARE_SAMPLERS(bits)                                                        \
  int32_t PFh_VecBilinear##bits(const PF_LayerDef& src, const double* u, const double* v, \
                                int32_t n, PFh_RGBA* acc);                                \
  int32_t PFh_VecNearest##bits(const PF_LayerDef& src, const double* u, const double* v,  \
                               int32_t n, PFh_RGBA* acc);
PFH_SAMPLER_FORMS(PFH_DECLARE_SAMPLERS)
#undef PFH_DECLARE_SAMPLERS

// An affine row of the transform kernel: pixel i of a span is centred at
// px = x + i and samples the source at (px du + u0, px dv + v0).
struct PFh_AffineRow {
  double x = 0, du = 0, u0 = 0, dv = 0, v0 = 0;
};
// The 8-bit bilinear sample along an affine row composited in normal or copy
// mode with strength k[i] onto 8-bit pixels in one pass: the bytes of
// PFh_VecBilinear8 into zeroed sums followed by PFh_VecNormal.
int32_t PFh_VecBilinearNormal8(const PF_LayerDef& src, const PFh_AffineRow& row, int32_t n,
                               const float* k, PF_RGBA8* dst, bool destBound);
