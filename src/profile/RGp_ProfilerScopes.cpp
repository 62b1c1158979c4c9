#include "profile/RGp_ProfilerScopes.h"

#include <deque>
#include <string>

#include "rg/RG_GraphProfiler.h"
#include "rg/RG_RenderNode.h"
#include "rghost/U_Services.h"

RGp_GraphScope::RGp_GraphScope(RG_GraphProfiler* profiler, const RG_RenderNode* root)
    : profiler_(profiler) {
  profiler_->GraphStart("", root);
}

RGp_GraphScope::~RGp_GraphScope() {
  // Runs while an execution error may be unwinding: a failing profiler must
  // not turn that into a termination.
  try {
    profiler_->GraphEnd();
  } catch (...) {
  }
}

RGp_NodeScope::RGp_NodeScope(RG_GraphProfiler* profiler, const RG_RenderNode* node)
    : profiler_(profiler), node_(node) {
  profiler_->child_time_stack_.push_back(0);
  try {
    profiler_->NodeStart(node_);
  } catch (...) {
    profiler_->child_time_stack_.pop_back();
    throw;
  }
  const long status = U_SecondsSinceBoot(&start_seconds_);
  if (status != 0) {
    // The destructor will not run for a scope that failed to begin, so take
    // back what was pushed before the error leaves.
    profiler_->child_time_stack_.pop_back();
    try {
      profiler_->NodeEnd(node_);
    } catch (...) {
    }
    throw status;
  }
}

RGp_NodeScope::~RGp_NodeScope() {
  std::deque<int32_t>& childTimes = profiler_->child_time_stack_;
  bool entryPopped = false;
  // Any failure drops the rest of the report: ending a scope never throws.
  // NodeEnd still comes, since it closes what NodeStart opened: without it
  // the profiler's node stack would keep this node (which may be gone by
  // the next execution) and every later graph would nest inside it.
  try {
    double now = 0;
    const long status = U_SecondsSinceBoot(&now);
    if (status != 0) throw status;
    const auto totalMs = static_cast<int32_t>((now - start_seconds_) * 1000.0);
    if (childTimes.size() >= 2) childTimes[childTimes.size() - 2] += totalMs;
    const std::string label = node_->GetProfileLabel();
    profiler_->NodeTiming(node_, label.c_str(), totalMs, childTimes.back(), false, 0);
    childTimes.pop_back();
    entryPopped = true;
    profiler_->NodeEnd(node_);
    const int32_t count = node_->GetNumInputs();
    for (int32_t i = 0; i < count; ++i) {
      if (const RG_RenderNode* input = node_->GetInput(i)) profiler_->InputEdge(input, node_);
    }
  } catch (...) {
  }
  // Cut short before NodeEnd: this scope's child-time entry still leaves the
  // stack, so the enclosing scopes keep adding into their own entries.
  if (entryPopped) return;
  if (childTimes.size() >= 2) childTimes.pop_back();
  try {
    profiler_->NodeEnd(node_);
  } catch (...) {
  }
}

RGp_PreRenderScope::RGp_PreRenderScope(RG_GraphProfiler* profiler, const RG_RenderNode* node,
                                       const RG_RenderRequest& request)
    : profiler_(profiler), node_(node) {
  profiler_->PreRenderStart(node_, request);
}

RGp_PreRenderScope::~RGp_PreRenderScope() {
  try {
    profiler_->PreRenderEnd(node_);
  } catch (...) {
  }
}
