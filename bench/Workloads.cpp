#include "Workloads.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <thread>

#include "rg/RG_CheckoutResult.h"
#include "rg/RG_CompositeNode.h"
#include "rg/RG_NodeCallbacks.h"
#include "rg/RG_SourceBufferNode.h"
#include "rg/RG_Traverser.h"
#include "rg/RG_XformNode.h"
#include "rghost/PF_Transfer.h"

namespace rgbench {

M_LRect MakeRect(int32_t l, int32_t t, int32_t r, int32_t b) {
  M_LRect x;
  x.left = l;
  x.top = t;
  x.right = r;
  x.bottom = b;
  return x;
}

M_LRect FrameRect(const Shape& shape) { return MakeRect(0, 0, shape.width, shape.height); }

namespace {

// Fills a world from an 8-bit premultiplied pixel function. Float worlds get
// the same values divided by 255, so both depths describe one image.
template <class F>
void Fill(PF_World* w, F pixel) {
  for (int32_t y = 0; y < w->height; ++y) {
    for (int32_t x = 0; x < w->width; ++x) {
      const PF_RGBA8 p = pixel(x, y);
      void* at = w->PixelAddress(x, y);
      if (w->depth == 8) {
        *static_cast<PF_RGBA8*>(at) = p;
      } else {
        PF_RGBA32F* f = static_cast<PF_RGBA32F*>(at);
        f->red = p.red / 255.0f;
        f->green = p.green / 255.0f;
        f->blue = p.blue / 255.0f;
        f->alpha = p.alpha / 255.0f;
      }
    }
  }
}

uint8_t Premultiply(int colour, int alpha) {
  return static_cast<uint8_t>((colour * alpha + 127) / 255);
}

uint8_t Ramp(long value, long span) { return static_cast<uint8_t>(value * 255 / span); }

PF_CompositeModePlus NormalMode() {
  PF_CompositeModePlus m;
  m.transfer_mode = PF_BLEND_NORMAL;
  m.opacity = 1.0f;
  return m;
}

}  // namespace

WorldPtr MakeBackground(const Shape& shape, short depth) {
  WorldPtr w(PF_World::New(FrameRect(shape), depth, 0));
  Fill(w.get(), [&shape](int32_t x, int32_t y) {
    return PF_RGBA8{Ramp(x, shape.width - 1), Ramp(y, shape.height - 1),
                    static_cast<uint8_t>(((x >> 3) ^ (y >> 3)) & 0xff), 255};
  });
  return w;
}

WorldPtr MakeSweepLayer(const Shape& shape, int index, short depth) {
  const int32_t width = shape.width / 2;
  const int32_t height = shape.height / 2;
  const int32_t left = shape.width / 16 * (index % 8);
  const int32_t top = shape.height / 18 * (index % 8);
  WorldPtr w(PF_World::New(MakeRect(left, top, left + width, top + height), depth, 0));
  Fill(w.get(), [index, width, height](int32_t x, int32_t y) {
    // Bands 720 pixels wide along the diagonal: 180 transparent, 255 ramping,
    // 285 opaque.
    const int a = std::clamp((x + y + 61 * index) % 720 - 180, 0, 255);
    const int red = (x * 255 / (width - 1) + 32 * index) & 0xff;
    const int green = 255 - y * 255 / (height - 1);
    const int blue = (40 * index + (x ^ y)) & 0xff;
    return PF_RGBA8{Premultiply(red, a), Premultiply(green, a), Premultiply(blue, a),
                    static_cast<uint8_t>(a)};
  });
  return w;
}

WorldPtr MakeOpaqueLayer(const Shape& shape, int index, short depth) {
  WorldPtr w(PF_World::New(FrameRect(shape), depth, 0));
  Fill(w.get(), [index, &shape](int32_t x, int32_t y) {
    return PF_RGBA8{Ramp(x + 40 * index, shape.width + 320), Ramp(y, shape.height),
                    Ramp(x + y, shape.width + shape.height), 255};
  });
  return w;
}

WorldPtr MakeTinyWorld(int32_t size) {
  WorldPtr w(PF_World::New(MakeRect(0, 0, size, size), 8, 0));
  Fill(w.get(), [](int32_t x, int32_t y) {
    const int a = 64 + 32 * ((x + y) & 3);
    return PF_RGBA8{Premultiply(200, a), Premultiply(100, a), Premultiply(50, a),
                    static_cast<uint8_t>(a)};
  });
  return w;
}

M_Matrix3 RotationAboutFrameCentre(const Shape& shape, double degrees) {
  const double t = degrees * M_PI / 180.0;
  const double c = std::cos(t);
  const double s = std::sin(t);
  const double cx = shape.width / 2.0;
  const double cy = shape.height / 2.0;
  M_Matrix3 m;
  // x' = x c - y s, y' = x s + y c, about (cx, cy).
  m[0] = c;
  m[1] = s;
  m[3] = -s;
  m[4] = c;
  m[6] = cx - (cx * c - cy * s);
  m[7] = cy - (cx * s + cy * c);
  return m;
}

// ---- OpaqueViewNode ----

OpaqueViewNode::OpaqueViewNode(PF_World* world) : world_(world), bounds_(world->GetRect()) {}

M_LRect OpaqueViewNode::ComputeContentBounds(RG_ContentBoundsType) const { return bounds_; }

RG_NodeData* OpaqueViewNode::PreRender(RG_NodePreRenderCB* cb,
                                       const RG_RenderRequest& request) const {
  const M_LRect r = MakeRect(
      std::max(request.rect.left, bounds_.left), std::max(request.rect.top, bounds_.top),
      std::min(request.rect.right, bounds_.right), std::min(request.rect.bottom, bounds_.bottom));
  cb->RequestOutput(r, 1, 0);
  return nullptr;
}

void OpaqueViewNode::Render(RG_NodeRenderCB* cb, const RG_RenderRequest&,
                            const RG_NodeData*) const {
  RG_CheckoutResult* out = cb->GetNextCheckout();
  const M_LRect& r = out->GetRect();
  const M_LRect area = MakeRect(r.left - bounds_.left, r.top - bounds_.top, r.right - bounds_.left,
                                r.bottom - bounds_.top);
  std::unique_ptr<PF_World, WorldDeleter> view(PF_World::NewReference(world_, area));
  out->SetOutputWorld(view.release(), new RG_BufferLock);
}

// ---- PassThroughNode ----

PassThroughNode::PassThroughNode(RG_RenderNode* input) { inputs_[0] = input; }

RG_NodeData* PassThroughNode::PreRender(RG_NodePreRenderCB* cb,
                                        const RG_RenderRequest& request) const {
  RG_CheckoutResult* in = cb->CheckoutInput(0, request);
  cb->RequestOutputInPlace(in, in->GetResultRect(), in->GetFlags(), 0);
  return nullptr;
}

void PassThroughNode::Render(RG_NodeRenderCB* cb, const RG_RenderRequest&,
                             const RG_NodeData*) const {
  // Asking for the buffer is what renders the input into it.
  cb->GetCheckoutByID(-1)->GetOutputWorld();
}

// ---- frame workloads ----

const char* KindName(Kind kind) {
  switch (kind) {
    case Kind::W0Background:
      return "W0_background";
    case Kind::W1Stack8:
      return "W1_stack8";
    case Kind::W2Opaque8:
      return "W2_opaque8";
    case Kind::W3Rotate:
      return "W3_rotate";
    case Kind::W4Float8:
      return "W4_float8";
  }
  return "?";
}

short KindDepth(Kind kind) { return kind == Kind::W4Float8 ? 32 : 8; }

Workload::~Workload() {
  band_roots.clear();
  root.reset();
}

namespace {

// The workload's graph over its worlds.
NodePtr BuildGraph(const Workload& w) {
  const PF_CompositeModePlus normal = NormalMode();
  // The layers over the background, each leaf made by `leaf`.
  const auto stack = [&](auto leaf) {
    NodePtr below = leaf(w.background.get());
    for (const WorldPtr& world : w.layers) {
      NodePtr layer = leaf(world.get());
      below = new RG_CompositeNode(layer.get(), normal, below.get(), nullptr, 0);
    }
    return below;
  };
  const auto source = [](PF_World* world) -> NodePtr { return new RG_SourceBufferNode(world); };
  const auto view = [](PF_World* world) -> NodePtr { return new OpaqueViewNode(world); };
  switch (w.kind) {
    case Kind::W0Background:
      return source(w.background.get());
    case Kind::W1Stack8:
    case Kind::W4Float8:
      return stack(source);
    case Kind::W2Opaque8:
      return stack(view);
    case Kind::W3Rotate: {
      NodePtr bg = new OpaqueViewNode(w.background.get());
      NodePtr layer = new OpaqueViewNode(w.layers.back().get());
      return new RG_XformNode(&w.matrix, 1, normal, 1, layer.get(), bg.get(), nullptr, 0);
    }
  }
  return nullptr;
}

}  // namespace

std::unique_ptr<Workload> MakeWorkload(Kind kind, const Shape& shape) {
  auto w = std::make_unique<Workload>();
  w->kind = kind;
  w->shape = shape;
  w->depth = KindDepth(kind);
  w->background = MakeBackground(shape, w->depth);
  switch (kind) {
    case Kind::W0Background:
      break;
    case Kind::W1Stack8:
    case Kind::W4Float8:
      for (int i = 0; i < shape.layers; ++i)
        w->layers.push_back(MakeSweepLayer(shape, i, w->depth));
      break;
    case Kind::W2Opaque8:
      for (int i = 0; i < shape.layers; ++i)
        w->layers.push_back(MakeOpaqueLayer(shape, i, w->depth));
      break;
    case Kind::W3Rotate:
      w->layers.push_back(MakeOpaqueLayer(shape, 0, w->depth));
      w->matrix = RotationAboutFrameCentre(shape, kRotationDegrees);
      break;
  }
  w->root = BuildGraph(*w);
  return w;
}

// ---- execution ----

Rendered::~Rendered() {
  delete world;
  delete lock;
}

RG_RenderRequest FrameRequest(const Workload& w) {
  RG_RenderRequest r;
  r.rect = FrameRect(w.shape);
  r.bit_depth = w.depth;
  return r;
}

size_t FrameBytes(const Workload& w) {
  return static_cast<size_t>(w.shape.width) * w.shape.height * PF_BytesPerPixel(w.depth);
}

void ExecuteNew(const Workload& w, Rendered* out) {
  RG_ExecuteGraph(w.root.get(), FrameRequest(w), &out->rect, &out->flags, &out->world, &out->lock);
}

namespace {

// Rows [top, bottom) of the frame into the same rows of `dest`, in strips.
void ExecuteRows(const Workload& w, const RG_RenderNode* root, PF_World* dest, int32_t top,
                 int32_t bottom, int32_t stripRows) {
  RG_RenderRequest request = FrameRequest(w);
  const int32_t step = stripRows > 0 ? stripRows : bottom - top;
  M_LRect outRect;
  for (int32_t y = top; y < bottom; y += step) {
    const int32_t end = std::min(bottom, y + step);
    request.rect = MakeRect(0, y, w.shape.width, end);
    WorldPtr strip(PF_World::NewBorrowed(dest->PixelAddress(0, y), w.shape.width, end - y,
                                         dest->rowbytes, w.depth, dest->origin_x,
                                         dest->origin_y + y));
    RG_ExecuteGraph(root, request, request.rect, strip.get(), &outRect);
  }
}

}  // namespace

void ExecuteInto(const Workload& w, PF_World* dest, int32_t stripRows) {
  ExecuteRows(w, w.root.get(), dest, 0, w.shape.height, stripRows);
}

void ExecuteBands(Workload& w, PF_World* dest, int threads, int32_t stripRows) {
  while (static_cast<int>(w.band_roots.size()) < threads - 1) w.band_roots.push_back(BuildGraph(w));
  // Bands of whole strips (whole even rows without strips), so that every
  // band renders the strips one execution would.
  const int32_t unit = stripRows > 0 ? stripRows : 2;
  const int32_t units = (w.shape.height + unit - 1) / unit;
  auto bandTop = [&](int k) { return std::min(w.shape.height, units * k / threads * unit); };
  const int kernelThreads = PF_SetThreadCount(1);
  std::vector<std::thread> helpers;
  for (int k = 1; k < threads; ++k)
    helpers.emplace_back([&, k] {
      ExecuteRows(w, w.band_roots[k - 1].get(), dest, bandTop(k), bandTop(k + 1), stripRows);
    });
  ExecuteRows(w, w.root.get(), dest, 0, bandTop(1), stripRows);
  for (std::thread& t : helpers) t.join();
  PF_SetThreadCount(kernelThreads);
}

int32_t StripRowsForCache(const Workload& w, long cacheBytes) {
  const long rowBytes = static_cast<long>(w.shape.width) * PF_BytesPerPixel(w.depth);
  return static_cast<int32_t>(std::max(2L, (cacheBytes / rowBytes) & ~1L));
}

int32_t DefaultStripRows(const Workload& w, int threads) {
  if (w.kind != Kind::W1Stack8 && w.kind != Kind::W4Float8) return 0;
  int32_t rows = StripRowsForCache(w, L2CacheBytes() / 2 * threads);
  if (threads <= 1) return rows;
  constexpr int32_t kChunkRows = 16;
  constexpr int32_t kMinPixelsForThreads = 64 * 1024;
  int32_t narrowest = w.shape.width;
  for (const WorldPtr& layer : w.layers) narrowest = std::min(narrowest, layer->width);
  rows = std::max(rows, kMinPixelsForThreads / narrowest + 1);
  const int32_t unit = kChunkRows * threads;
  return (rows + unit - 1) / unit * unit;
}

long L2CacheBytes() {
  const long bytes = ::sysconf(_SC_LEVEL2_CACHE_SIZE);
  return bytes > 0 ? bytes : 1L << 20;
}

// ---- traversal graphs ----

NodePtr BuildChain(long count, const PF_World* leaf) {
  NodePtr node = new RG_SourceBufferNode(leaf);
  for (long i = 1; i < count; ++i) node = new PassThroughNode(node.get());
  return node;
}

NodePtr BuildPyramid(long base, const PF_World* leaf) {
  PF_CompositeModePlus normal = NormalMode();
  std::vector<NodePtr> row;
  for (long j = 0; j < base; ++j) row.push_back(new RG_SourceBufferNode(leaf));
  while (row.size() > 1) {
    std::vector<NodePtr> next;
    for (size_t j = 0; j + 1 < row.size(); ++j) {
      next.push_back(new RG_CompositeNode(row[j].get(), normal, row[j + 1].get(), nullptr, 0));
    }
    row.swap(next);
  }
  return row.front();
}

long PyramidNodeCount(long base) { return base * (base + 1) / 2; }

}  // namespace rgbench
