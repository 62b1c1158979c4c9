// Pixel buffers: counted storage, views, clears, copies and depth conversion.
//
// Every rect handed to an operation is clipped against the buffers it touches
// in 64-bit arithmetic before any address is formed, so no argument can make
// an operation read or write outside a buffer.
#include "rghost/PF_World.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <new>

#include "PF_KernelRows.h"
#include "U_BlockPool.h"
#include "U_Fallible.h"
#include "rghost/U_Errors.h"
#include "rghost/U_Report.h"

namespace {

constexpr long kPixelVersion = 17;
constexpr size_t kRowAlign = 64;

std::atomic<long> g_live_worlds{0};
std::atomic<long long> g_live_pixel_bytes{0};
std::atomic<long long> g_peak_pixel_bytes{0};
std::atomic<long long> g_worlds_allocated{0};
std::atomic<long long> g_pixel_bytes_allocated{0};
std::atomic<long long> g_pixel_bytes_copied{0};
std::atomic<long long> g_pixel_bytes_cleared{0};

void NotePixelBytes(long long delta) {
  const long long live = g_live_pixel_bytes.fetch_add(delta, std::memory_order_relaxed) + delta;
  long long peak = g_peak_pixel_bytes.load(std::memory_order_relaxed);
  while (live > peak &&
         !g_peak_pixel_bytes.compare_exchange_weak(peak, live, std::memory_order_relaxed)) {
  }
}

void ThrowIfInjected() {
  if (long err = Uh_NextFallibleCall()) Uh_Fail(err, "PF_World");
}

// A request above the machine's physical memory cannot succeed; refusing it
// up front keeps sanitizer allocators from aborting the process.
size_t PhysicalMemoryBytes() {
  static const size_t bytes = [] {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page <= 0) return std::numeric_limits<size_t>::max();
    return static_cast<size_t>(pages) * static_cast<size_t>(page);
  }();
  return bytes;
}

// A rect in 64 bits, where clipping arithmetic cannot overflow.
struct Box {
  long long left, top, right, bottom;
  bool Empty() const { return right <= left || bottom <= top; }
  long long Width() const { return right - left; }
  long long Height() const { return bottom - top; }
};

Box Intersect(const Box& a, const Box& b) {
  return Box{std::max(a.left, b.left), std::max(a.top, b.top), std::min(a.right, b.right),
             std::min(a.bottom, b.bottom)};
}

Box BoxOf(const M_LRect& r) { return Box{r.left, r.top, r.right, r.bottom}; }
Box Bounds(const PF_LayerDef& w) { return Box{0, 0, w.width, w.height}; }

// The source and destination boxes of a copy after clipping to both worlds;
// both are empty or both have the same size.
struct CopyPlan {
  Box src;
  long long dstX, dstY;
};

bool PlanCopy(const PF_LayerDef& dst, const PF_LayerDef& src, const M_LRect* srcRect, long dstX,
              long dstY, CopyPlan* plan) {
  Box s = srcRect ? BoxOf(*srcRect) : Bounds(src);
  // Clip against the source, moving the destination with the source's top-left.
  Box clipped = Intersect(s, Bounds(src));
  long long dx = static_cast<long long>(dstX) + (clipped.left - s.left);
  long long dy = static_cast<long long>(dstY) + (clipped.top - s.top);
  if (clipped.Empty()) return false;
  // Then against the destination.
  const Box d{dx, dy, dx + clipped.Width(), dy + clipped.Height()};
  const Box dc = Intersect(d, Bounds(dst));
  if (dc.Empty()) return false;
  clipped.left += dc.left - d.left;
  clipped.top += dc.top - d.top;
  clipped.right = clipped.left + dc.Width();
  clipped.bottom = clipped.top + dc.Height();
  plan->src = clipped;
  plan->dstX = dc.left;
  plan->dstY = dc.top;
  return true;
}

char* RowAddress(const PF_LayerDef& w, long long x, long long y) {
  return static_cast<char*>(w.data) + y * w.rowbytes +
         x * static_cast<long long>(PF_BytesPerPixel(w.depth));
}

// Copies the planned rows of equal depth. A view and its parent may overlap:
// rows are walked away from the overlap, and memmove handles it within a row.
void MoveRows(PF_LayerDef& dst, const PF_LayerDef& src, const CopyPlan& plan) {
  const long long rows = plan.src.Height();
  const size_t bytes = static_cast<size_t>(plan.src.Width()) * PF_BytesPerPixel(dst.depth);
  const char* first_src = RowAddress(src, plan.src.left, plan.src.top);
  const char* first_dst = RowAddress(dst, plan.dstX, plan.dstY);
  if (first_src == first_dst && dst.rowbytes == src.rowbytes) return;  // copy onto itself
  const bool upward = std::less<const char*>()(first_src, first_dst);
  const char* src_end = first_src + (rows - 1) * src.rowbytes + bytes;
  const char* dst_end = first_dst + (rows - 1) * dst.rowbytes + bytes;
  const std::less<const char*> before;
  const long long pixels = rows * plan.src.Width();
  if (pixels > 64 * 1024 && (before(src_end, first_dst) || before(dst_end, first_src))) {
    // Large, and in separate memory, so the rows may go in any order: they
    // are split across the kernels' threads.
    auto body = [&](long i, PFh_RowScratch&) {
      std::memcpy(RowAddress(dst, plan.dstX, plan.dstY + i), first_src + i * src.rowbytes, bytes);
    };
    PFh_RunRows(nullptr, static_cast<long>(rows), pixels, body);
    return;
  }
  for (long long i = 0; i < rows; ++i) {
    const long long r = upward ? rows - 1 - i : i;
    std::memmove(RowAddress(dst, plan.dstX, plan.dstY + r),
                 RowAddress(src, plan.src.left, plan.src.top + r), bytes);
  }
}

// Channel conversions. Integer results round to nearest; float is never clamped
// when it stays float.
template <class To, class From>
To ConvertChannel(From v);

template <>
uint8_t ConvertChannel<uint8_t, uint8_t>(uint8_t v) {
  return v;
}
template <>
uint16_t ConvertChannel<uint16_t, uint16_t>(uint16_t v) {
  return v;
}
template <>
float ConvertChannel<float, float>(float v) {
  return v;
}
template <>
uint16_t ConvertChannel<uint16_t, uint8_t>(uint8_t v) {
  return static_cast<uint16_t>(v * 257);
}
template <>
uint8_t ConvertChannel<uint8_t, uint16_t>(uint16_t v) {
  // (v + 128) / 257 is exactly round(v / 257): 257 is odd, so no tie exists.
  return static_cast<uint8_t>((v + 128) / 257);
}
template <>
float ConvertChannel<float, uint8_t>(uint8_t v) {
  return static_cast<float>(v / 255.0);
}
template <>
float ConvertChannel<float, uint16_t>(uint16_t v) {
  return static_cast<float>(v / 65535.0);
}

template <class Int>
Int FromFloat(float v) {
  constexpr double max = std::numeric_limits<Int>::max();
  if (!(v > 0.0f)) return 0;  // negative and NaN
  const double scaled = static_cast<double>(v) * max;
  if (scaled >= max) return static_cast<Int>(max);
  return static_cast<Int>(scaled + 0.5);
}
template <>
uint8_t ConvertChannel<uint8_t, float>(float v) {
  return FromFloat<uint8_t>(v);
}
template <>
uint16_t ConvertChannel<uint16_t, float>(float v) {
  return FromFloat<uint16_t>(v);
}

template <class To, class From>
void ConvertRow(const char* src, char* dst, long long channels) {
  for (long long i = 0; i < channels; ++i) {
    From v;
    std::memcpy(&v, src + i * sizeof(From), sizeof v);
    const To out = ConvertChannel<To, From>(v);
    std::memcpy(dst + i * sizeof(To), &out, sizeof out);
  }
}

using RowConverter = void (*)(const char*, char*, long long);

template <class To>
RowConverter ConverterFrom(short srcDepth) {
  switch (srcDepth) {
    case 8:
      return &ConvertRow<To, uint8_t>;
    case 16:
      return &ConvertRow<To, uint16_t>;
    case 32:
      return &ConvertRow<To, float>;
    default:
      return nullptr;
  }
}

RowConverter Converter(short dstDepth, short srcDepth) {
  switch (dstDepth) {
    case 8:
      return ConverterFrom<uint8_t>(srcDepth);
    case 16:
      return ConverterFrom<uint16_t>(srcDepth);
    case 32:
      return ConverterFrom<float>(srcDepth);
    default:
      return nullptr;
  }
}

// Zeroes every pixel of w outside keep (clipped to w).
void ClearExcept(PF_LayerDef& w, const Box& keep) {
  if (w.width <= 0 || w.height <= 0 || !w.data) return;
  const long long pixel = static_cast<long long>(PF_BytesPerPixel(w.depth));
  const long long row = static_cast<long long>(w.width) * pixel;
  const Box k = Intersect(keep, Bounds(w));
  g_pixel_bytes_cleared.fetch_add(row * w.height - (k.Empty() ? 0 : k.Width() * k.Height() * pixel),
                                  std::memory_order_relaxed);
  if (k.Empty() && w.rowbytes == row) {
    // Packed rows: one call clears the lot.
    std::memset(w.data, 0, static_cast<size_t>(row * w.height));
    return;
  }
  for (long long y = 0; y < w.height; ++y) {
    char* line = RowAddress(w, 0, y);
    if (k.Empty() || y < k.top || y >= k.bottom) {
      std::memset(line, 0, static_cast<size_t>(row));
    } else {
      std::memset(line, 0, static_cast<size_t>(k.left * pixel));
      std::memset(line + k.right * pixel, 0, static_cast<size_t>((w.width - k.right) * pixel));
    }
  }
}

#ifdef RGHOST_POISON_NEW_WORLDS
// Colour above alpha (not a valid premultiplied pixel) at the integer depths,
// NaN colour in float: whoever reads a pixel nobody wrote sees it at once.
void Poison(PF_LayerDef& w, size_t bytes) {
  unsigned char pixel[16];
  size_t size = PF_BytesPerPixel(w.depth);
  if (w.depth == 8) {
    const uint8_t p[] = {0xFF, 0x00, 0xFF, 0x7F};
    std::memcpy(pixel, p, sizeof p);
  } else if (w.depth == 16) {
    const uint16_t p[] = {0xFFFF, 0x0000, 0xFFFF, 0x7FFF};
    std::memcpy(pixel, p, sizeof p);
  } else {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float p[] = {nan, 0.0f, nan, 0.5f};
    std::memcpy(pixel, p, sizeof p);
  }
  char* base = static_cast<char*>(w.data);
  for (size_t at = 0; at + size <= bytes; at += size) std::memcpy(base + at, pixel, size);
}
#endif

}  // namespace

// Counted pixel memory. Owned storage counts in the world stats and keeps its
// pixels in the same block, after the storage object at the next row
// boundary; borrowed storage only gives a borrowed buffer an identity that
// views can share.
class PF_PixelStorage {
 public:
  static PF_PixelStorage* NewOwned(size_t bytes) {
    PF_PixelStorage* storage =
        Make(bytes > 0 ? sizeof(PF_PixelStorage) + kRowAlign - 1 + bytes : sizeof(PF_PixelStorage));
    if (bytes > 0) {
      const uintptr_t after = reinterpret_cast<uintptr_t>(storage + 1);
      storage->memory_ =
          reinterpret_cast<void*>((after + kRowAlign - 1) & ~uintptr_t{kRowAlign - 1});
    }
    storage->bytes_ = bytes;
    storage->owned_ = true;
    NotePixelBytes(static_cast<long long>(bytes));
    g_worlds_allocated.fetch_add(1, std::memory_order_relaxed);
    g_pixel_bytes_allocated.fetch_add(static_cast<long long>(bytes), std::memory_order_relaxed);
    return storage;
  }
  static PF_PixelStorage* NewBorrowed() { return Make(sizeof(PF_PixelStorage)); }

  void AddRef() { refs_.fetch_add(1, std::memory_order_relaxed); }
  void Release() {
    if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      if (owned_) NotePixelBytes(-static_cast<long long>(bytes_));
      this->~PF_PixelStorage();
      Uh_PoolRelease(this);
    }
  }
  void* Memory() const { return memory_; }
  long Users() const { return refs_.load(std::memory_order_acquire); }

 private:
  static PF_PixelStorage* Make(size_t blockBytes) {
    void* block = Uh_PoolAllocate(blockBytes);
    if (!block) Uh_Fail(U_ERR_OUT_OF_MEMORY, "PF_World::New");
    return new (block) PF_PixelStorage();
  }
  PF_PixelStorage() = default;
  ~PF_PixelStorage() = default;

  std::atomic<long> refs_{1};
  void* memory_ = nullptr;  // inside this block; null for borrowed storage or zero bytes
  size_t bytes_ = 0;
  bool owned_ = false;
};

void* PF_World::operator new(size_t size) {
  if (void* p = Uh_PoolAllocate(size)) return p;
  Uh_FailAllocation(size);
}

void* PF_World::operator new(size_t size, const std::nothrow_t&) noexcept {
  try {
    return Uh_PoolAllocate(size);
  } catch (...) {
    return nullptr;
  }
}

void PF_World::operator delete(void* p) noexcept { Uh_PoolRelease(p); }

PF_World::PF_World() { g_live_worlds.fetch_add(1, std::memory_order_relaxed); }

PF_World::~PF_World() {
  if (storage_) storage_->Release();
  g_live_worlds.fetch_sub(1, std::memory_order_relaxed);
}

PF_World* PF_World::New(const M_LRect& rect, short depth, long flags) {
  ThrowIfInjected();
  const size_t pixel = PF_BytesPerPixel(depth);
  if (pixel == 0) Uh_Fail(U_ERR_BAD_PARAMETER, "PF_World::New");
  const long long width = static_cast<long long>(rect.right) - rect.left;
  const long long height = static_cast<long long>(rect.bottom) - rect.top;
  if (width < 0 || height < 0) Uh_Fail(U_ERR_BAD_PARAMETER, "PF_World::New");
  // width < 2^32 and pixel <= 16, so the row size itself cannot overflow.
  const unsigned long long rowbytes =
      (static_cast<unsigned long long>(width) * pixel + kRowAlign - 1) / kRowAlign * kRowAlign;
  unsigned long long bytes;
  if (__builtin_mul_overflow(rowbytes, static_cast<unsigned long long>(height), &bytes) ||
      bytes > static_cast<unsigned long long>(std::numeric_limits<long>::max()) ||
      rowbytes > static_cast<unsigned long long>(std::numeric_limits<long>::max()))
    Uh_Fail(U_ERR_BAD_PARAMETER, "PF_World::New");
  if (bytes > PhysicalMemoryBytes()) Uh_Fail(U_ERR_OUT_OF_MEMORY, "PF_World::New");

  PF_PixelStorage* storage = PF_PixelStorage::NewOwned(static_cast<size_t>(bytes));
  PF_World* world = new (std::nothrow) PF_World();
  if (!world) {
    storage->Release();
    Uh_Fail(U_ERR_OUT_OF_MEMORY, "PF_World::New");
  }
  world->storage_ = storage;
  world->width = static_cast<int32_t>(width);
  world->height = static_cast<int32_t>(height);
  world->rowbytes = static_cast<long>(rowbytes);
  world->data = storage->Memory();
  world->origin_x = rect.left;
  world->origin_y = rect.top;
  world->depth = depth;
  if (bytes > 0) {
    if ((flags & PF_NEW_WORLD_CLEAR) != 0) {
      std::memset(world->data, 0, bytes);
      g_pixel_bytes_cleared.fetch_add(width * height * static_cast<long long>(pixel),
                                      std::memory_order_relaxed);
    } else {
#ifdef RGHOST_POISON_NEW_WORLDS
      Poison(*world, bytes);
#endif
    }
  }
  return world;
}

PF_World* PF_World::NewReference(PF_World* parent, const M_Rect& area) {
  return NewReference(parent, M_LRect{area.left, area.top, area.right, area.bottom});
}

PF_World* PF_World::NewReference(PF_World* parent, const M_LRect& area) {
  ThrowIfInjected();
  if (!parent) Uh_Fail(U_ERR_BAD_PARAMETER, "PF_World::NewReference");
  const bool empty = M_IsEmpty(area);
  if (!empty &&
      (area.left < 0 || area.top < 0 || area.right > parent->width || area.bottom > parent->height))
    Uh_Fail(U_ERR_BAD_PARAMETER, "PF_World::NewReference");
  PF_World* view = new (std::nothrow) PF_World();
  if (!view) Uh_Fail(U_ERR_OUT_OF_MEMORY, "PF_World::NewReference");
  view->storage_ = parent->storage_;
  if (view->storage_) view->storage_->AddRef();
  view->reference_ = true;
  view->rowbytes = parent->rowbytes;
  view->depth = parent->depth;
  if (empty) {
    // Nothing to view: a 0 x 0 world at the parent's origin.
    view->data = parent->data;
    view->origin_x = parent->origin_x;
    view->origin_y = parent->origin_y;
  } else {
    view->width = area.right - area.left;
    view->height = area.bottom - area.top;
    view->data = parent->PixelAddress(area.left, area.top);
    view->origin_x = static_cast<int32_t>(static_cast<int64_t>(parent->origin_x) + area.left);
    view->origin_y = static_cast<int32_t>(static_cast<int64_t>(parent->origin_y) + area.top);
  }
  return view;
}

PF_World* PF_World::NewBorrowed(void* data, int32_t width, int32_t height, long rowbytes,
                                short depth, int32_t originX, int32_t originY) {
  ThrowIfInjected();
  const size_t pixel = PF_BytesPerPixel(depth);
  if (pixel == 0 || width < 0 || height < 0) Uh_Fail(U_ERR_BAD_PARAMETER, "PF_World::NewBorrowed");
  if (width > 0 && height > 0) {
    if (!data || rowbytes < 0 ||
        static_cast<unsigned long long>(rowbytes) < static_cast<unsigned long long>(width) * pixel)
      Uh_Fail(U_ERR_BAD_PARAMETER, "PF_World::NewBorrowed");
  }
  PF_PixelStorage* storage = PF_PixelStorage::NewBorrowed();
  PF_World* world = new (std::nothrow) PF_World();
  if (!world) {
    storage->Release();
    Uh_Fail(U_ERR_OUT_OF_MEMORY, "PF_World::NewBorrowed");
  }
  world->storage_ = storage;
  world->width = width;
  world->height = height;
  world->rowbytes = rowbytes;
  world->data = data;
  world->origin_x = originX;
  world->origin_y = originY;
  world->depth = depth;
  return world;
}

short PF_World::GetDepth() const { return depth; }

bool PF_World::IsReference() const { return reference_; }

void PF_World::Clear(long /*reserved*/) {
  ThrowIfInjected();
  ClearExcept(*this, Box{0, 0, 0, 0});
}

void PF_World::ClearOutside(const M_LRect& keep) {
  ThrowIfInjected();
  ClearExcept(*this, BoxOf(keep));
}

void PF_World::CopyPixels(PF_World* src, const M_LRect* srcRect, long dstX, long dstY) {
  ThrowIfInjected();
  if (!src) Uh_Fail(U_ERR_BAD_PARAMETER, "PF_World::CopyPixels");
  if (src->depth != depth || PF_BytesPerPixel(depth) == 0)
    Uh_Fail(U_ERR_BAD_PARAMETER, "PF_World::CopyPixels");
  CopyPlan plan{};
  if (!data || !src->data || !PlanCopy(*this, *src, srcRect, dstX, dstY, &plan)) return;
  MoveRows(*this, *src, plan);
  g_pixel_bytes_copied.fetch_add(
      plan.src.Width() * plan.src.Height() * static_cast<long long>(PF_BytesPerPixel(depth)),
      std::memory_order_relaxed);
}

void PF_World::ConvertPixels(PF_World* src, const M_LRect* srcRect, long /*dither*/, long dstX,
                             long dstY, long /*reserved*/) {
  ThrowIfInjected();
  if (!src) Uh_Fail(U_ERR_BAD_PARAMETER, "PF_World::ConvertPixels");
  const RowConverter convert = Converter(depth, src->depth);
  if (!convert) Uh_Fail(U_ERR_BAD_PARAMETER, "PF_World::ConvertPixels");
  CopyPlan plan{};
  if (!data || !src->data || !PlanCopy(*this, *src, srcRect, dstX, dstY, &plan)) return;
  const long long rows = plan.src.Height();
  const long long channels = plan.src.Width() * 4;
  if (src->depth == depth) {
    MoveRows(*this, *src, plan);
  } else {
    // Different depths cannot share storage, so rows never overlap.
    for (long long r = 0; r < rows; ++r)
      convert(RowAddress(*src, plan.src.left, plan.src.top + r),
              RowAddress(*this, plan.dstX, plan.dstY + r), channels);
  }
  g_pixel_bytes_copied.fetch_add(
      static_cast<long long>(PF_BytesPerPixel(depth)) * plan.src.Width() * rows,
      std::memory_order_relaxed);
}

long PF_World::StorageUsers() const { return storage_ ? storage_->Users() : 1; }

bool PF_World::RefersTo(const PF_World* other) const {
  return other && reference_ && storage_ && storage_ == other->storage_;
}

void PF_World::ShrinkToSubRect(const M_LRect& sub) {
  ThrowIfInjected();
  if (M_IsEmpty(sub)) {
    width = 0;
    height = 0;
    return;
  }
  if (sub.left < 0 || sub.top < 0 || sub.right > width || sub.bottom > height)
    Uh_Fail(U_ERR_BAD_PARAMETER, "PF_World::ShrinkToSubRect");
  data = PixelAddress(sub.left, sub.top);
  width = sub.right - sub.left;
  height = sub.bottom - sub.top;
  origin_x = static_cast<int32_t>(static_cast<int64_t>(origin_x) + sub.left);
  origin_y = static_cast<int32_t>(static_cast<int64_t>(origin_y) + sub.top);
}

void PF_World::FillOutEffectWorld(PF_LayerDef* out) const {
  if (out) *out = static_cast<const PF_LayerDef&>(*this);
}

M_LRect PF_World::GetRect() const {
  const auto clamp = [](int64_t v) {
    return static_cast<int32_t>(std::clamp<int64_t>(v, std::numeric_limits<int32_t>::min(),
                                                    std::numeric_limits<int32_t>::max()));
  };
  return M_LRect{origin_x, origin_y, clamp(static_cast<int64_t>(origin_x) + width),
                 clamp(static_cast<int64_t>(origin_y) + height)};
}

void* PF_World::PixelAddress(int32_t x, int32_t y) const { return RowAddress(*this, x, y); }

PF_WorldStats PF_GetWorldStats() {
  PF_WorldStats stats;
  stats.live_worlds = g_live_worlds.load(std::memory_order_relaxed);
  stats.live_pixel_bytes = g_live_pixel_bytes.load(std::memory_order_relaxed);
  stats.peak_pixel_bytes = g_peak_pixel_bytes.load(std::memory_order_relaxed);
  stats.worlds_allocated = g_worlds_allocated.load(std::memory_order_relaxed);
  stats.pixel_bytes_allocated = g_pixel_bytes_allocated.load(std::memory_order_relaxed);
  stats.pixel_bytes_copied = g_pixel_bytes_copied.load(std::memory_order_relaxed);
  stats.pixel_bytes_cleared = g_pixel_bytes_cleared.load(std::memory_order_relaxed);
  return stats;
}

void PF_ResetWorldStats() {
  g_peak_pixel_bytes.store(g_live_pixel_bytes.load(std::memory_order_relaxed),
                           std::memory_order_relaxed);
  g_worlds_allocated.store(0, std::memory_order_relaxed);
  g_pixel_bytes_allocated.store(0, std::memory_order_relaxed);
  g_pixel_bytes_copied.store(0, std::memory_order_relaxed);
  g_pixel_bytes_cleared.store(0, std::memory_order_relaxed);
}

long PF_CheckVersions(long location, long version) {
  return Uh_CheckVersion(location, version, kPixelVersion, "Pixel-buffer");
}
