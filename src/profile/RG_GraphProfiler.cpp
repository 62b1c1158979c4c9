#include "rg/RG_GraphProfiler.h"

namespace {
// The process-wide slot; the library never owns what it points to. A plain
// pointer: the host installs a profiler only while nothing executes.
RG_GraphProfiler* g_profiler = nullptr;
}  // namespace

RG_GraphProfiler::RG_GraphProfiler() { child_time_stack_.push_back(0); }

RG_GraphProfiler::~RG_GraphProfiler() = default;

void RG_GraphProfiler::NodeStart(const RG_RenderNode* node) { node_stack_.push_back(node); }

void RG_GraphProfiler::NodeEnd(const RG_RenderNode*) {
  if (!node_stack_.empty()) node_stack_.pop_back();
}

void RG_GraphProfiler::PreRenderStart(const RG_RenderNode*, const RG_RenderRequest&) {}
void RG_GraphProfiler::PreRenderEnd(const RG_RenderNode*) {}
void RG_GraphProfiler::RenderRequest(const RG_RenderNode*, const RG_RenderRequest&) {}
void RG_GraphProfiler::CacheLookup(const RG_RenderNode*, bool) {}

const RG_RenderNode* RG_GraphProfiler::CurrentNode() const {
  // Empty when a profiler is installed while an execution is already running
  // and a nested graph opens before any node scope of this profiler.
  return node_stack_.empty() ? nullptr : node_stack_.back();
}

void RG_SetProfiler(RG_GraphProfiler* profiler) { g_profiler = profiler; }

RG_GraphProfiler* RG_GetProfiler() { return g_profiler; }
