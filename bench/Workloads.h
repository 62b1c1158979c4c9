// The benchmark workloads, shared by rg_bench and rg_compare: deterministic
// input images and the render graphs built over them.
//
// Ownership: a Workload owns its input worlds and holds the counted
// reference to its graph's root; the graph's leaves borrow the worlds, so the
// root is released before the worlds (member order below). Frames returned by
// ExecuteNew belong to the caller (a Rendered deletes them).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "rg/RG_RenderNode.h"
#include "rg/U_SharedPtr.h"
#include "rghost/M_Geometry.h"
#include "rghost/PF_World.h"

namespace rgbench {

constexpr int32_t kFrameWidth = 1920;
constexpr int32_t kFrameHeight = 1080;
constexpr int kStackLayers = 8;
constexpr double kRotationDegrees = 30.0;

// A frame's size and the number of layers of the stack workloads. At the
// default size a sweep layer is 960x540 and layer i sits at (120 i, 60 i);
// other sizes scale both, and layers beyond eight repeat the eight places.
struct Shape {
  int32_t width = kFrameWidth;
  int32_t height = kFrameHeight;
  int layers = kStackLayers;
};

M_LRect MakeRect(int32_t l, int32_t t, int32_t r, int32_t b);
M_LRect FrameRect(const Shape& shape = {});

struct WorldDeleter {
  void operator()(PF_World* w) const { delete w; }
};
using WorldPtr = std::unique_ptr<PF_World, WorldDeleter>;
using NodePtr = U_SharedPtr<RG_RenderNode>;

// ---- input images (premultiplied RGBA at depth 8 or 32) ----

// Opaque frame-sized background.
WorldPtr MakeBackground(const Shape& shape, short depth);
// Layer i of the stack (a quarter of the frame, see Shape); its alpha sweeps
// 0..255 along diagonal bands, so it has transparent, partial and opaque
// pixels.
WorldPtr MakeSweepLayer(const Shape& shape, int index, short depth);
// Opaque frame-sized layer at (0, 0) with smooth colour gradients (smooth so
// that two bilinear samplers that place a sample a fraction of a pixel apart
// still agree within a level).
WorldPtr MakeOpaqueLayer(const Shape& shape, int index, short depth);
// A few pixels of partial alpha at (0, 0), the leaf of the traversal graphs.
WorldPtr MakeTinyWorld(int32_t size);

// Rotation by `degrees` about the frame centre, source to output, points as
// rows (the host's convention).
M_Matrix3 RotationAboutFrameCentre(const Shape& shape, double degrees);

// ---- host nodes ----

// A leaf that serves a view of its buffer like RG_SourceBufferNode but
// declares its output opaque, which a source buffer node never does.
class OpaqueViewNode : public RG_RenderNode {
 public:
  explicit OpaqueViewNode(PF_World* world);  // borrowed
  RG_NodeData* PreRender(RG_NodePreRenderCB* cb, const RG_RenderRequest& request) const override;
  void Render(RG_NodeRenderCB* cb, const RG_RenderRequest& request,
              const RG_NodeData* data) const override;

 protected:
  M_LRect ComputeContentBounds(RG_ContentBoundsType type) const override;

 private:
  PF_World* world_;  // borrowed
  M_LRect bounds_;
};

// A one-input effect that does nothing to its input's pixels and works in
// place: a node whose whole cost is the traversal's.
class PassThroughNode : public RG_OneInputNode {
 public:
  explicit PassThroughNode(RG_RenderNode* input);
  RG_NodeData* PreRender(RG_NodePreRenderCB* cb, const RG_RenderRequest& request) const override;
  void Render(RG_NodeRenderCB* cb, const RG_RenderRequest& request,
              const RG_NodeData* data) const override;
};

// ---- frame workloads ----

enum class Kind { W0Background, W1Stack8, W2Opaque8, W3Rotate, W4Float8 };
const char* KindName(Kind kind);
short KindDepth(Kind kind);

struct Workload {
  Kind kind;
  Shape shape;
  short depth;
  WorldPtr background;
  std::vector<WorldPtr> layers;  // bottom first
  M_Matrix3 matrix;              // W3 only
  NodePtr root;                  // released before the worlds it borrows
  // Further graphs over the same worlds, one for each band thread after the
  // first (ExecuteBands): a graph is used by one thread at a time.
  std::vector<NodePtr> band_roots;
  ~Workload();
};

std::unique_ptr<Workload> MakeWorkload(Kind kind, const Shape& shape = {});

// ---- execution ----

// A frame returned by the three-output form of RG_ExecuteGraph.
struct Rendered {
  Rendered() = default;
  Rendered(const Rendered&) = delete;
  Rendered& operator=(const Rendered&) = delete;
  ~Rendered();
  PF_World* world = nullptr;      // owned
  RG_BufferLock* lock = nullptr;  // owned; kept until the world is gone
  M_LRect rect;
  char flags = 0;
};

RG_RenderRequest FrameRequest(const Workload& w);
size_t FrameBytes(const Workload& w);
// Three-output form; the caller takes the lock as well.
void ExecuteNew(const Workload& w, Rendered* out);
// Destination form into `dest`, which covers the frame: in one execution
// when stripRows is 0, otherwise as horizontal strips of that many rows, one
// execution each, so that every layer's work on a strip finds the strip of
// the destination still in cache.
void ExecuteInto(const Workload& w, PF_World* dest, int32_t stripRows = 0);
// Destination form in `threads` horizontal bands of whole strips, each band
// rendered on a thread of its own (the calling thread takes the first)
// through a graph of its own, in strips of `stripRows` (0: one execution a
// band), with the host kernels on one thread: the threads meet once a frame
// instead of once for every layer of every strip.
void ExecuteBands(Workload& w, PF_World* dest, int threads, int32_t stripRows);
// The strip height that keeps a strip of the destination within
// `cacheBytes`, rounded to even rows so that interlaced fields keep their
// parity; at least 2. Only the destination is read and written once for
// every layer over it; the background and the layers are read once a frame
// whatever the strips, so they only stream through the cache (but a strip
// that fills it is evicted by them: the default budgets half of it).
int32_t StripRowsForCache(const Workload& w, long cacheBytes);
// The destination form's default for the workload with the host kernels on
// `threads` threads: strips for the stacks of layers (W1, W4), where they
// measured faster than one execution, else 0. With several threads a strip
// holds each thread's share of rows in half its own L2 cache, but is also large
// enough for the kernels to split a layer's work across the threads at all
// (they split jobs above 64K pixels in chunks of 16 rows), which wins over
// the cache where the two disagree.
int32_t DefaultStripRows(const Workload& w, int threads);
// The per-core L2 size (sysconf; 1 MiB when unknown).
long L2CacheBytes();

// ---- traversal graphs ----

// A source buffer node over `leaf` under `count - 1` pass-through nodes.
NodePtr BuildChain(long count, const PF_World* leaf);
// A pyramid of composite nodes over `base` source buffer nodes of `leaf`:
// row k has base - k nodes, node j of row k composites node j of row k - 1
// over node j + 1, so every inner node has two consumers. base (base + 1) / 2
// nodes in all.
NodePtr BuildPyramid(long base, const PF_World* leaf);
long PyramidNodeCount(long base);

}  // namespace rgbench
