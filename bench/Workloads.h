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
constexpr int32_t kSweepWidth = 960;
constexpr int32_t kSweepHeight = 540;
constexpr double kRotationDegrees = 30.0;

M_LRect MakeRect(int32_t l, int32_t t, int32_t r, int32_t b);
M_LRect FrameRect();

struct WorldDeleter {
  void operator()(PF_World* w) const { delete w; }
};
using WorldPtr = std::unique_ptr<PF_World, WorldDeleter>;
using NodePtr = U_SharedPtr<RG_RenderNode>;

// ---- input images (premultiplied RGBA at depth 8 or 32) ----

// Opaque frame-sized background.
WorldPtr MakeBackground(short depth);
// Layer i of the stack (960x540 at (120 i, 60 i)); its alpha sweeps 0..255
// along diagonal bands, so it has transparent, partial and opaque pixels.
WorldPtr MakeSweepLayer(int index, short depth);
// Opaque frame-sized layer at (0, 0) with smooth colour gradients (smooth so
// that two bilinear samplers that place a sample a fraction of a pixel apart
// still agree within a level).
WorldPtr MakeOpaqueLayer(int index, short depth);
// A few pixels of partial alpha at (0, 0), the leaf of the traversal graphs.
WorldPtr MakeTinyWorld(int32_t size);

// Rotation by `degrees` about the frame centre, source to output, points as
// rows (the host's convention).
M_Matrix3 RotationAboutFrameCentre(double degrees);

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
  short depth;
  WorldPtr background;
  std::vector<WorldPtr> layers;  // bottom first
  M_Matrix3 matrix;              // W3 only
  NodePtr root;                  // released before the worlds it borrows
  ~Workload();
};

std::unique_ptr<Workload> MakeWorkload(Kind kind);

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

RG_RenderRequest FrameRequest(short depth);
// Three-output form; the caller takes the lock as well.
void ExecuteNew(const RG_RenderNode* root, short depth, Rendered* out);
// Destination form into `dest`, which covers the frame.
void ExecuteInto(const RG_RenderNode* root, short depth, PF_World* dest);

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
