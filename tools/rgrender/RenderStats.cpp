#include "RenderStats.h"

#include <nlohmann/json.hpp>

StatsProfiler::StatsProfiler(RG_GraphProfiler* forward, Namer namer)
    : forward_(forward), namer_(std::move(namer)) {}

void StatsProfiler::GraphStart(const char* name, const RG_RenderNode* root) {
  if (forward_) forward_->GraphStart(name, root);
}

void StatsProfiler::GraphEnd() {
  if (forward_) forward_->GraphEnd();
}

void StatsProfiler::InputEdge(const RG_RenderNode* input, const RG_RenderNode* node) {
  if (forward_) forward_->InputEdge(input, node);
}

void StatsProfiler::NodeTiming(const RG_RenderNode* node, const char* label, int32_t totalMs,
                               int32_t childrenMs, bool flag, intptr_t value) {
  if (frame_ != nullptr) {
    std::string id = namer_ ? namer_(node) : std::string();
    if (id.empty()) id = label != nullptr ? label : "?";
    NodeFigures& f = frame_->nodes[id];
    f.renders += 1;
    f.total_ms += totalMs;
    f.self_ms += totalMs - childrenMs;
  }
  if (forward_) forward_->NodeTiming(node, label, totalMs, childrenMs, flag, value);
}

void StatsProfiler::NodeStart(const RG_RenderNode* node) {
  RG_GraphProfiler::NodeStart(node);
  if (forward_) forward_->NodeStart(node);
}

void StatsProfiler::NodeEnd(const RG_RenderNode* node) {
  RG_GraphProfiler::NodeEnd(node);
  if (forward_) forward_->NodeEnd(node);
}

std::string StatsToJson(const std::vector<FrameFigures>& frames, long long cacheBudget) {
  nlohmann::ordered_json root;
  root["cache_budget_bytes"] = cacheBudget;
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  for (const FrameFigures& f : frames) {
    nlohmann::ordered_json j;
    j["frame"] = f.frame;
    j["wall_ms"] = f.wall_ms;
    nlohmann::ordered_json nodes = nlohmann::ordered_json::object();
    for (const auto& [id, n] : f.nodes)
      nodes[id] = {{"renders", n.renders}, {"total_ms", n.total_ms}, {"self_ms", n.self_ms}};
    j["nodes"] = nodes;
    j["pixel_buffers_allocated"] = f.worlds_allocated;
    j["pixel_bytes_allocated"] = f.pixel_bytes_allocated;
    j["peak_pixel_bytes"] = f.peak_pixel_bytes;
    j["pixel_bytes_copied"] = f.pixel_bytes_copied;
    j["cache"] = {{"hits", f.cache_hits}, {"misses", f.cache_misses}, {"bytes", f.cache_bytes}};
    list.push_back(j);
  }
  root["frames"] = list;
  return root.dump(2) + "\n";
}
