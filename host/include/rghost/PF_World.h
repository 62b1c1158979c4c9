// The host's pixel buffers.
//
// Pixels are premultiplied RGBA, interleaved R, G, B, A. Depth codes: 8
// (uint8, 0..255), 16 (uint16, 0..65535) and 32 (float, 0..1 nominal, never
// clamped on copy or conversion).
//
// Ownership: a PF_World owns a counted reference to its pixel storage. A world
// made by New owns fresh storage; a view made by NewReference shares its
// parent's storage and keeps it alive after the parent is deleted. Deleting a
// world never frees pixels another world still refers to.
//
// Failures of PF_World operations are thrown as a `long` host error code
// (U_Errors.h). Every operation counts as a fallible call for U_InjectFailure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>

#include "rghost/M_Geometry.h"

struct PF_RGBA8 {
  uint8_t red, green, blue, alpha;
};
struct PF_RGBA16 {
  uint16_t red, green, blue, alpha;
};
struct PF_RGBA32F {
  float red, green, blue, alpha;
};

// Plain description of a buffer. `data` points to pixel (0, 0); rows are
// `rowbytes` apart (may exceed width times the pixel size); origin_x and
// origin_y are the render-space coordinates of pixel (0, 0).
struct PF_LayerDef {
  int32_t width = 0;
  int32_t height = 0;
  long rowbytes = 0;
  void* data = nullptr;
  int32_t origin_x = 0;
  int32_t origin_y = 0;
  short depth = 8;
};

// Bytes per pixel of a depth code; 0 for an unknown depth.
inline size_t PF_BytesPerPixel(short depth) {
  switch (depth) {
    case 8:
      return 4;
    case 16:
      return 8;
    case 32:
      return 16;
    default:
      return 0;
  }
}

class PF_PixelStorage;

// Bits of PF_World::New's flags.
inline constexpr long PF_NEW_WORLD_CLEAR = 1;  // clear to transparent black

class PF_World : public PF_LayerDef {
 public:
  // A new world of rect's size whose origin is rect's top-left. PF_NEW_WORLD_CLEAR
  // clears it to transparent black; without it, the pixels are it unspecified (poisoned in debug
  // and sanitizer builds). Rows are 64-byte aligned.
  static PF_World* New(const M_LRect& rect, short depth, long flags);

  // A view of `area` of the parent (parent pixel coordinates), sharing its
  // storage without copying. The area must lie inside the parent. The view's
  // origin is the parent's origin moved by area's top-left.
  static PF_World* NewReference(PF_World* parent, const M_Rect& area);
  static PF_World* NewReference(PF_World* parent, const M_LRect& area);

  // A world over memory the caller owns and keeps alive for the world's
  // lifetime (borrowed: nothing is copied or freed). It counts as a buffer of
  // its own, not a reference.
  static PF_World* NewBorrowed(void* data, int32_t width, int32_t height, long rowbytes,
                               short depth, int32_t originX, int32_t originY);

  PF_World(const PF_World&) = delete;
  PF_World& operator=(const PF_World&) = delete;

  // Worlds come from per-thread free lists: an execution over small areas
  // makes and drops several per node.
  static void* operator new(size_t size);
  static void* operator new(size_t size, const std::nothrow_t&) noexcept;
  static void operator delete(void* p) noexcept;

  virtual ~PF_World();
  virtual short GetDepth() const;
  virtual bool IsReference() const;
  // Clears every pixel to transparent black (the argument is reserved, 0).
  virtual void Clear(long reserved);
  // Clears every pixel outside `keep` (world pixel coordinates).
  virtual void ClearOutside(const M_LRect& keep);
  // Copies srcRect of src (src pixel coordinates; null means all of src) to
  // (dstX, dstY) of this world, clipped to both worlds. Depths must match.
  virtual void CopyPixels(PF_World* src, const M_LRect* srcRect, long dstX, long dstY);
  // As CopyPixels, converting between depths: ConvertPixels(src, srcRect,
  // dither, dstX, dstY, reserved). The library passes (1, 0, 0, 0).
  virtual void ConvertPixels(PF_World* src, const M_LRect* srcRect, long dither, long dstX,
                             long dstY, long reserved);

  // True exactly when this world is a reference and shares other's storage.
  bool RefersTo(const PF_World* other) const;
  // How many worlds share this world's pixel storage, this one included
  // (1 when no view of it, or of what it views, is alive).
  long StorageUsers() const;
  // Narrows the world in place to `sub` (world pixel coordinates): data moves
  // to sub's top-left, the size becomes sub's, the origin moves by sub's
  // top-left.
  void ShrinkToSubRect(const M_LRect& sub);
  void FillOutEffectWorld(PF_LayerDef* out) const;

  // The render-space rect the world covers: origin to origin plus size.
  M_LRect GetRect() const;
  // Address of pixel (x, y) in world pixel coordinates (not checked).
  void* PixelAddress(int32_t x, int32_t y) const;

 private:
  PF_World();
  PF_PixelStorage* storage_ = nullptr;  // counted; null for borrowed memory
  bool reference_ = false;
};

// Figures of all worlds of the process, for tests and benchmarks.
struct PF_WorldStats {
  long live_worlds = 0;                 // PF_World objects alive (views included)
  long long live_pixel_bytes = 0;       // bytes of pixel storage alive
  long long peak_pixel_bytes = 0;       // highest live_pixel_bytes since the last reset
  long long worlds_allocated = 0;       // storages allocated since the last reset
  long long pixel_bytes_allocated = 0;  // their bytes
  long long pixel_bytes_copied = 0;     // bytes written by CopyPixels and ConvertPixels
  long long pixel_bytes_cleared = 0;    // bytes zeroed by Clear, ClearOutside and New
};
PF_WorldStats PF_GetWorldStats();
// Resets the counters (peak to the live figure); live figures are kept.
void PF_ResetWorldStats();

// Version handshake of the pixel-buffer library (version 17).
long PF_CheckVersions(long location, long version);
