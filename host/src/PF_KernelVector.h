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
// PFh_NormalSpan<D>).
int32_t PFh_VecPlainNormal8(const PF_RGBA8* src, PF_RGBA8* dst, int32_t n);
int32_t PFh_VecPlainNormal16(const PF_RGBA16* src, PF_RGBA16* dst, int32_t n);
int32_t PFh_VecPlainNormal32(const PF_RGBA32F* src, PF_RGBA32F* dst, int32_t n);

// Normal (and copy) mode with per-pixel strength k[i] (PFh_CompositeSpan),
// from a source at the destination's depth or from resampled float pixels.
int32_t PFh_VecNormal8(const PF_RGBA8* src, PF_RGBA8* dst, const float* k, int32_t n,
                       bool destBound);
int32_t PFh_VecNormal8(const PFh_RGBA* src, PF_RGBA8* dst, const float* k, int32_t n,
                       bool destBound);
// The same at 16 bits and in float.
int32_t PFh_VecNormal(const PF_RGBA16* src, PF_RGBA16* dst, const float* k, int32_t n,
                      bool destBound);
int32_t PFh_VecNormal(const PFh_RGBA* src, PF_RGBA16* dst, const float* k, int32_t n,
                      bool destBound);
int32_t PFh_VecNormal(const PF_RGBA32F* src, PF_RGBA32F* dst, const float* k, int32_t n,
                      bool destBound);
int32_t PFh_VecNormal(const PFh_RGBA* src, PF_RGBA32F* dst, const float* k, int32_t n,
                      bool destBound);

// The separable modes (multiply to difference) with per-pixel strength k[i]
// (PFh_CompositeSpan); 0 for any other mode.
int32_t PFh_VecSeparable(int mode, const PF_RGBA8* src, PF_RGBA8* dst, const float* k, int32_t n,
                         bool destBound);
int32_t PFh_VecSeparable(int mode, const PFh_RGBA* src, PF_RGBA8* dst, const float* k, int32_t n,
                         bool destBound);
int32_t PFh_VecSeparable(int mode, const PF_RGBA16* src, PF_RGBA16* dst, const float* k, int32_t n,
                         bool destBound);
int32_t PFh_VecSeparable(int mode, const PFh_RGBA* src, PF_RGBA16* dst, const float* k, int32_t n,
                         bool destBound);
int32_t PFh_VecSeparable(int mode, const PF_RGBA32F* src, PF_RGBA32F* dst, const float* k,
                         int32_t n, bool destBound);
int32_t PFh_VecSeparable(int mode, const PFh_RGBA* src, PF_RGBA32F* dst, const float* k, int32_t n,
                         bool destBound);

// The transform kernel's samplers (AccumulateRow): adds to acc[i] the sample
// at source position (u[i], v[i]) in pixels, where it lies inside the
// source; a NaN position samples nothing. One pair per source depth.
int32_t PFh_VecBilinear8(const PF_LayerDef& src, const double* u, const double* v, int32_t n,
                         PFh_RGBA* acc);
int32_t PFh_VecNearest8(const PF_LayerDef& src, const double* u, const double* v, int32_t n,
                        PFh_RGBA* acc);
int32_t PFh_VecBilinear16(const PF_LayerDef& src, const double* u, const double* v, int32_t n,
                          PFh_RGBA* acc);
int32_t PFh_VecNearest16(const PF_LayerDef& src, const double* u, const double* v, int32_t n,
                         PFh_RGBA* acc);
int32_t PFh_VecBilinear32(const PF_LayerDef& src, const double* u, const double* v, int32_t n,
                          PFh_RGBA* acc);
int32_t PFh_VecNearest32(const PF_LayerDef& src, const double* u, const double* v, int32_t n,
                         PFh_RGBA* acc);
