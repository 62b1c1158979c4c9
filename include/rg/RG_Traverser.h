// One execution of a render graph, and the one-call entry points.
//
// Ownership: a traverser owns one invocation per node it reaches, and through
// them every checkout result, node data and buffer made during the
// execution; all of it dies with the traverser. It never owns nodes. The
// buffer (and lock) returned by Execute belong to the caller.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "rg/RG_Export.h"
#include "rg/RG_RenderRequest.h"
#include "rghost/M_Geometry.h"
#include "rghost/U_Memory.h"

class PF_World;
class RG_BufferLock;
class RG_NodeData;
class RG_RenderNode;
class RGp_InvocationTable;
class RGp_NodeInvocation;

class RG_API RG_Traverser : public U_MemTrackedObject {
 public:
  explicit RG_Traverser(const RG_RenderNode* root);
  virtual ~RG_Traverser();
  // Copies would share invocations that each deletes.
  RG_Traverser(const RG_Traverser&) = delete;
  RG_Traverser& operator=(const RG_Traverser&) = delete;

  // Renders the root's output for `request`. *outWorld (caller-owned) is null
  // and *outRect all zero when nothing is rendered; *outFlags is written only
  // when something is. With outLock null the world never depends on a lock.
  void Execute(const RG_RenderRequest& request, M_LRect* outRect, char* outFlags,
               PF_World** outWorld, RG_BufferLock** outLock);
  // Renders into destWorld, which covers destRect of the render space
  // (borrowed). The part of the request the result does not cover is cleared.
  void Execute(const RG_RenderRequest& request, const M_LRect& destRect, PF_World* destWorld,
               M_LRect* outRect);
  // Pre-render and propagation passes only.
  void PreRenderGraph(const RG_RenderRequest& request);
  // Has no effect; the outputs are left untouched.
  void RenderStartingAtNode(const RG_RenderNode* node, PF_World** outWorld,
                            RG_BufferLock** outLock);
  // The output rect the node declared in its latest pre-render (all zero if
  // never reached).
  M_LRect GetNodeRect(const RG_RenderNode* node) const;
  // The node data of the node's latest pre-render (traverser-owned), or null.
  RG_NodeData* GetNodeData(const RG_RenderNode* node) const;

 private:
  friend class RGp_NodeInvocation;
  friend struct RGp_TraverserAccess;

  RGp_NodeInvocation* GetInvocation(const RG_RenderNode* node, bool mayRenderIntoDestination);
  int32_t GetNextNodeID() { return next_node_id_++; }
  PF_World* GetRootOutput() const { return dest_world_; }
  const M_LRect& GetRootRect() const { return dest_rect_; }
  char** GetLastStackTopPtrAddress() { return &stack_marker_; }
  // The two forms of Execute without the reporting of failures that pass out.
  void ExecuteReported(const RG_RenderRequest& request, M_LRect* outRect, char* outFlags,
                       PF_World** outWorld, RG_BufferLock** outLock);
  void ExecuteReported(const RG_RenderRequest& request, const M_LRect& destRect,
                       PF_World* destWorld, M_LRect* outRect);
  void InitStackMarkers();
  void CheckStackUsage() const;

  const RG_RenderNode* root_;                   // borrowed
  std::unique_ptr<RGp_InvocationTable> table_;  // with the invocations; made on first use
  PF_World* dest_world_ = nullptr;              // borrowed
  M_LRect dest_rect_;
  int32_t next_node_id_ = 0;
  char* stack_marker_ = nullptr;

  // Process-wide stack guard state. The limits are filled once by whichever
  // thread executes first and read at every node entry, hence atomics; the
  // stack start is read and moved on the main thread only.
  static std::atomic<uint64_t> S_max_total_stackL;
  static std::atomic<uint64_t> S_max_per_node_stackL;
  static char* S_stack_startP;
};

// Executes the graph under `root` with a traverser of its own.
RG_API void RG_ExecuteGraph(const RG_RenderNode* root, const RG_RenderRequest& request,
                            M_LRect* outRect, char* outFlags, PF_World** outWorld,
                            RG_BufferLock** outLock);
RG_API void RG_ExecuteGraph(const RG_RenderNode* root, const RG_RenderRequest& request,
                            const M_LRect& destRect, PF_World* destWorld, M_LRect* outRect);
