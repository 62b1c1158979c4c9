// A profiler that records a timeline of executions as trace-event JSON, the
// format Perfetto and chrome://tracing open.
//
// Every node's pre-render and render becomes a complete event ("X") with
// timestamps in microseconds since the profiler was made, nested in the spans
// that were open around it: a node's pre-render inside its consumer's, a
// render inside the render that asked for it, an execution run by a node's
// render inside that render. Each top-level execution is a process of its
// own in the trace, each thread that reported to the profiler a thread of it;
// counter events follow the pixel bytes alive. A span's arguments name the
// node (its class, its globally unique id, the host's name for it), the
// request (rect, bit depth) and what happened during the span itself, nested
// spans excluded: pixel buffers and bytes allocated, bytes copied, cache hits
// and misses. So the figures of all spans of an execution add up to the
// execution's totals.
//
// Byte figures come from the host's process-wide world statistics: kernels
// the span waits for on other threads count for it, but so would work of an
// execution running at the same time on another thread. The recorded events
// are guarded by a lock, so several threads may report at once; the library's
// own node scopes still assume one executing thread per profiler.
//
// The host owns the profiler, installs it with RG_SetProfiler and must
// uninstall it before deleting it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "rg/RG_Export.h"
#include "rg/RG_GraphProfiler.h"

class RG_API RG_TraceProfiler : public RG_GraphProfiler {
 public:
  using NodeNamer = std::function<std::string(const RG_RenderNode*)>;

  // `forward` (borrowed, may be null) receives every call as well, since the
  // process has one profiler slot.
  explicit RG_TraceProfiler(RG_GraphProfiler* forward = nullptr);
  ~RG_TraceProfiler() override;
  RG_TraceProfiler(const RG_TraceProfiler&) = delete;
  RG_TraceProfiler& operator=(const RG_TraceProfiler&) = delete;

  // The host's name for a node, shown beside its class; empty for none.
  void SetNodeNamer(NodeNamer namer);
  // The process name of the top-level executions that start from now on
  // (default "execution N").
  void SetExecutionName(const std::string& name);

  // The JSON text of everything recorded so far; spans still open are left
  // out.
  std::string GetJson() const;

  void GraphStart(const char* name, const RG_RenderNode* root) override;
  void GraphEnd() override;
  void InputEdge(const RG_RenderNode* input, const RG_RenderNode* node) override;
  void NodeTiming(const RG_RenderNode* node, const char* label, int32_t totalMs, int32_t childrenMs,
                  bool flag, intptr_t value) override;
  void NodeStart(const RG_RenderNode* node) override;
  void NodeEnd(const RG_RenderNode* node) override;
  void PreRenderStart(const RG_RenderNode* node, const RG_RenderRequest& request) override;
  void PreRenderEnd(const RG_RenderNode* node) override;
  void RenderRequest(const RG_RenderNode* node, const RG_RenderRequest& request) override;
  void CacheLookup(const RG_RenderNode* node, bool hit) override;

 private:
  struct Recorder;
  RG_GraphProfiler* forward_;  // borrowed
  std::unique_ptr<Recorder> recorder_;
};
