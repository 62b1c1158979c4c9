// The scopes that drive the installed profiler: one per execution, one per
// node invocation of the render pass. Each keeps the profiler it saw at its
// start, whatever happens to the process-wide slot meanwhile.
#pragma once

class RG_GraphProfiler;
class RG_RenderNode;
struct RG_RenderRequest;

// GraphStart("", root) at construction, GraphEnd() at destruction.
class RGp_GraphScope {
 public:
  RGp_GraphScope(RG_GraphProfiler* profiler, const RG_RenderNode* root);
  ~RGp_GraphScope();
  RGp_GraphScope(const RGp_GraphScope&) = delete;
  RGp_GraphScope& operator=(const RGp_GraphScope&) = delete;

 private:
  RG_GraphProfiler* profiler_;  // borrowed
};

// Pushes a child-time entry, NodeStart and reads the clock at construction
// (a clock error is thrown as a long after the scope is unwound); reports
// NodeTiming, NodeEnd and the input edges at destruction, never throwing: a
// failure drops the rest of the report but NodeEnd.
class RGp_NodeScope {
 public:
  RGp_NodeScope(RG_GraphProfiler* profiler, const RG_RenderNode* node);
  ~RGp_NodeScope();
  RGp_NodeScope(const RGp_NodeScope&) = delete;
  RGp_NodeScope& operator=(const RGp_NodeScope&) = delete;

 private:
  RG_GraphProfiler* profiler_;  // borrowed
  const RG_RenderNode* node_;   // borrowed
  double start_seconds_ = 0;
};

// PreRenderStart at construction, PreRenderEnd at destruction (never throwing).
class RGp_PreRenderScope {
 public:
  RGp_PreRenderScope(RG_GraphProfiler* profiler, const RG_RenderNode* node,
                     const RG_RenderRequest& request);
  ~RGp_PreRenderScope();
  RGp_PreRenderScope(const RGp_PreRenderScope&) = delete;
  RGp_PreRenderScope& operator=(const RGp_PreRenderScope&) = delete;

 private:
  RG_GraphProfiler* profiler_;  // borrowed
  const RG_RenderNode* node_;   // borrowed
};
