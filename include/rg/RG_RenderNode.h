// The render node base and the small classes around it.
//
// Ownership: a node holds one counted reference (U_SharedPtr) to each input,
// so a graph is a DAG held together by reference counts; deleting the last
// reference to the root dismantles it level by level, with a fixed stack
// depth however deep the graph is. Traversals never own nodes. See
// docs/architecture.md for the whole set of ownership rules.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "rg/RG_Export.h"
#include "rg/RG_RenderRequest.h"
#include "rg/U_SharedPtr.h"
#include "rghost/M_Geometry.h"
#include "rghost/U_Memory.h"

struct PF_ProgressInfo;
class RG_NodePreRenderCB;
class RG_NodeRenderCB;
class RG_Traverser;
class RGp_NodeInvocation;

// Which content bounds a request asks for: type 1 when flag bit 0 of the
// request is set, type 0 otherwise.
enum RG_ContentBoundsType : int32_t { RG_CONTENT_BOUNDS_TYPE0 = 0, RG_CONTENT_BOUNDS_TYPE1 = 1 };

// Per-node, per-request data a node's PreRender returns and gets back in its
// Render. The traversal owns it and deletes it through this destructor.
class RG_API RG_NodeData : public U_MemTrackedObject {
 public:
  virtual ~RG_NodeData();
};

// Keeps a borrowed buffer alive while a checkout result holds it. A plain
// lock does nothing; a host subclass does its work in its destructor.
class RG_API RG_BufferLock : public U_MemTrackedObject {
 public:
  virtual ~RG_BufferLock();
};

// Progress and abort, implemented by the host. CheckAbort reports an abort
// by throwing a `long` error code or a std::exception. A node owns the object
// attached to it and deletes it through the virtual destructor, so derived
// destructors run.
class RG_API RG_ProgAbort : public U_MemTrackedObject {
 public:
  virtual void StartProgress() = 0;
  virtual void CheckAbort() = 0;
  virtual void Progress(long current, long total) = 0;
  virtual ~RG_ProgAbort();
};

class RG_API RG_RenderNode : public U_MemTrackedObject, public U_SharedPtrBase {
 public:
  using NodeList = std::vector<RG_RenderNode*, U_Allocator<RG_RenderNode*>>;
  using InputList =
      std::vector<U_SharedPtr<RG_RenderNode>, U_Allocator<U_SharedPtr<RG_RenderNode>>>;

  RG_RenderNode();
  RG_RenderNode(const RG_RenderNode&) = delete;
  RG_RenderNode& operator=(const RG_RenderNode&) = delete;
  // Dismantles the inputs that die with this node breadth-first.
  ~RG_RenderNode() override;

 protected:
  // The node's content bounds of one type; the default is unbounded.
  virtual M_LRect ComputeContentBounds(RG_ContentBoundsType type) const;

 public:
  // The label profilers show: the node's class name as written in the source.
  virtual std::string GetProfileLabel() const;
  virtual bool ContentBoundsDifferByType() const;
  // ContentBoundsDifferByType, asked once per node and remembered, and safe
  // for any depth of graph: what a node asks of its inputs.
  bool ContentBoundsTypesDiffer() const;
  virtual bool CanRenderNativelyAtDepth(short depth) const;
  virtual int32_t GetNumInputs() const;
  // The input in that slot, possibly null; the index is not checked.
  virtual const RG_RenderNode* GetInput(long index) const;
  // Checks out the inputs the request needs and declares the output. The
  // returned data (may be null) is owned by the traversal.
  virtual RG_NodeData* PreRender(RG_NodePreRenderCB* cb, const RG_RenderRequest& request) const = 0;
  virtual void Render(RG_NodeRenderCB* cb, const RG_RenderRequest& request,
                      const RG_NodeData* data) const = 0;

  unsigned long GetGloballyUniqueID() const { return globally_unique_id_; }
  // -1 until the first traversal that reaches the node numbers it.
  int32_t GetNodeID() const { return node_id_; }
  // Cached per type; computed at most once per type (once in all when the
  // types do not differ).
  M_LRect GetContentBounds(RG_ContentBoundsType type) const;
  bool HasLegacyEffectBounds() const { return has_legacy_effect_bounds_; }
  M_LRect GetLegacyEffectBounds() const { return legacy_effect_bounds_; }
  void SetLegacyEffectBounds(const M_LRect& rect) const;
  // Takes ownership of `progress` (may be null); deletes the previous object.
  void SetProgAbort(RG_ProgAbort* progress);

  // Seed of the globally unique IDs: the first node built gets 1. Atomic, so
  // threads that build graphs at once never hand out the same ID.
  static std::atomic<uint32_t> S_globally_unique_seedL;

 protected:
  void SetContentBounds(RG_ContentBoundsType type, const M_LRect& rect) const;
  void SetContentBounds(const M_LRect& rect) const;
  bool ContentBoundsComputed(RG_ContentBoundsType type) const;
  bool ContentBoundsComputed() const;
  bool HasProgress() const { return prog_abort_ != nullptr; }
  RG_ProgAbort* GetProgAbort() const { return prog_abort_.get(); }
  void CheckAbort() const;
  void Progress(long current, long total) const;
  // Fills `info` with callbacks into this node's progress object and returns
  // it; returns null (info untouched) when no object is attached.
  PF_ProgressInfo* MakePFProgInfo(PF_ProgressInfo* info) const;

  // Input slots. Derived classes fill them at construction; a node that makes
  // its input lazily (the cache node) fills its slot from const operations.
  mutable InputList inputs_;

 private:
  friend class RGp_NodeInvocation;
  friend class RG_Traverser;
  friend struct RGp_RenderNodeAccess;

  void StartProgress() const;
  static long PF_AbortGlue(void* context);
  static long PF_ProgressGlue(void* context, long current, long total);
  static void RemoveChildren(RG_RenderNode* node, NodeList& list);

  mutable int32_t node_id_ = -1;
  uint32_t globally_unique_id_ = 0;
  mutable bool content_bounds_computed_[2] = {false, false};
  mutable bool has_legacy_effect_bounds_ = false;
  mutable int8_t bounds_differ_ = -1;  // ContentBoundsTypesDiffer: -1 not asked yet
  mutable M_LRect content_bounds_[2];
  mutable M_LRect legacy_effect_bounds_;
  std::unique_ptr<RG_ProgAbort> prog_abort_;
};

// A node with one input slot, null until a derived class fills it.
class RG_API RG_OneInputNode : public RG_RenderNode {
 public:
  RG_OneInputNode();
  ~RG_OneInputNode() override;
};

// A node with three input slots (each may be null); each non-null input
// gains one reference.
class RG_API RG_ThreeInputNode : public RG_RenderNode {
 public:
  RG_ThreeInputNode(RG_RenderNode* input0, RG_RenderNode* input1, RG_RenderNode* input2);
  ~RG_ThreeInputNode() override;
};
