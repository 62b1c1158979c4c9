// Per-frame figures of a run (--stats): each scene node's render count and
// time, pixel memory from the host's world statistics, and cache hits and
// misses; written as JSON.
//
// Node times come from StatsProfiler, a profiler that records what the
// library reports and forwards every call to another profiler (the DOT
// profiler when --profile is given too), since the library has one slot.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "rg/RG_GraphProfiler.h"

struct NodeFigures {
  long renders = 0;
  long long total_ms = 0;  // inputs' renders included
  long long self_ms = 0;   // without the node scopes nested inside it
};

struct FrameFigures {
  int32_t frame = 0;
  double wall_ms = 0;
  std::map<std::string, NodeFigures> nodes;  // by scene node id
  long long worlds_allocated = 0;
  long long pixel_bytes_allocated = 0;
  long long peak_pixel_bytes = 0;
  long long pixel_bytes_copied = 0;
  long long cache_hits = 0, cache_misses = 0;
  long long cache_bytes = 0;
};

class StatsProfiler : public RG_GraphProfiler {
 public:
  using Namer = std::function<std::string(const RG_RenderNode*)>;
  // `forward` (borrowed, may be null) receives every call as well.
  StatsProfiler(RG_GraphProfiler* forward, Namer namer);

  void SetFrame(FrameFigures* frame) { frame_ = frame; }

  void GraphStart(const char* name, const RG_RenderNode* root) override;
  void GraphEnd() override;
  void InputEdge(const RG_RenderNode* input, const RG_RenderNode* node) override;
  void NodeTiming(const RG_RenderNode* node, const char* label, int32_t totalMs, int32_t childrenMs,
                  bool flag, intptr_t value) override;
  void NodeStart(const RG_RenderNode* node) override;
  void NodeEnd(const RG_RenderNode* node) override;

 private:
  RG_GraphProfiler* forward_;  // borrowed
  Namer namer_;
  FrameFigures* frame_ = nullptr;  // borrowed
};

// The JSON text of a run's figures.
std::string StatsToJson(const std::vector<FrameFigures>& frames, long long cacheBudget);
