// The profiler interface and the process-wide profiler slot.
//
// While a profiler is installed, every execution reports its start and end,
// and every node invocation of the render pass its start, its timing and its
// inputs. The library never owns or deletes the installed profiler. Profiling
// assumes one thread executes graphs at a time.
#pragma once

#include <cstdint>
#include <deque>

#include "rg/RG_Export.h"

class RG_RenderNode;
struct RG_RenderRequest;

class RG_API RG_GraphProfiler {
 public:
  RG_GraphProfiler();
  virtual ~RG_GraphProfiler();

  virtual void GraphStart(const char* name, const RG_RenderNode* root) = 0;
  virtual void GraphEnd() = 0;
  virtual void InputEdge(const RG_RenderNode* input, const RG_RenderNode* node) = 0;
  // totalMs is the node's wall-clock time, inputs included; childrenMs the
  // part its inner node scopes reported. The last two arguments are always
  // false and 0.
  virtual void NodeTiming(const RG_RenderNode* node, const char* label, int32_t totalMs,
                          int32_t childrenMs, bool flag, intptr_t value) = 0;
  virtual void NodeStart(const RG_RenderNode* node);
  virtual void NodeEnd(const RG_RenderNode* node);

  // Finer reports for profilers that draw a timeline; the defaults ignore
  // them. Each pre-render of a node invocation is bracketed by PreRenderStart
  // and PreRenderEnd (the latter also when the pre-render throws), nested as
  // the pass recurses into inputs; RenderRequest follows NodeStart with the
  // request the invocation renders; CacheLookup reports each look-up of a
  // cache node, inside the pre-render or render that made it.
  virtual void PreRenderStart(const RG_RenderNode* node, const RG_RenderRequest& request);
  virtual void PreRenderEnd(const RG_RenderNode* node);
  virtual void RenderRequest(const RG_RenderNode* node, const RG_RenderRequest& request);
  virtual void CacheLookup(const RG_RenderNode* node, bool hit);

  // The innermost open node, or null when none is open.
  const RG_RenderNode* CurrentNode() const;

 protected:
  friend class RGp_NodeScope;
  std::deque<int32_t> child_time_stack_;         // base entry 0, one per open node scope
  std::deque<const RG_RenderNode*> node_stack_;  // open nodes, innermost last
};

// Installs `profiler` (borrowed; null uninstalls).
RG_API void RG_SetProfiler(RG_GraphProfiler* profiler);
RG_API RG_GraphProfiler* RG_GetProfiler();
