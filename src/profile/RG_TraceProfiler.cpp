#include "rg/RG_TraceProfiler.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "rg/RG_RenderNode.h"
#include "rg/RG_RenderRequest.h"
#include "rghost/PF_World.h"
#include "rghost/U_Services.h"

namespace {

using Json = nlohmann::ordered_json;

enum class SpanKind { kExecution, kPreRender, kRender };

// What a span has seen of the process-wide world statistics.
struct ByteFigures {
  long long buffers = 0, allocated = 0, copied = 0;

  static ByteFigures Now() {
    const PF_WorldStats s = PF_GetWorldStats();
    return {s.worlds_allocated, s.pixel_bytes_allocated, s.pixel_bytes_copied};
  }
  ByteFigures operator-(const ByteFigures& o) const {
    return {buffers - o.buffers, allocated - o.allocated, copied - o.copied};
  }
  ByteFigures& operator+=(const ByteFigures& o) {
    buffers += o.buffers;
    allocated += o.allocated;
    copied += o.copied;
    return *this;
  }
};

struct OpenSpan {
  SpanKind kind;
  const RG_RenderNode* node;  // borrowed; the root for an execution
  size_t event;               // index of its event, completed when the span closes
  int64_t start_us;
  ByteFigures at_start;
  ByteFigures nested;  // what the spans closed inside this one used
  long hits = 0, misses = 0;
};

struct Track {
  int tid = 0;
  int pid = 0;  // the execution of the outermost open span
  std::vector<OpenSpan> open;
};

}  // namespace

struct RG_TraceProfiler::Recorder {
  mutable std::mutex mutex;
  NodeNamer namer;
  std::string execution_name;
  int executions = 0;
  double origin_seconds = 0;
  int64_t last_us = 0;
  std::map<std::thread::id, Track> tracks;
  std::vector<Json> events;
  std::vector<bool> complete;  // per event: counters and closed spans

  int64_t NowUs() {
    double now = 0;
    // A failing clock must not break the render: time stands still instead.
    if (U_SecondsSinceBoot(&now) == 0) {
      // Truncation keeps the order of readings, so a span that closes
      // before its parent also ends no later than it.
      last_us = std::max(last_us, static_cast<int64_t>(std::floor((now - origin_seconds) * 1e6)));
    }
    return last_us;
  }

  Track& ThisTrack() {
    auto [it, added] = tracks.try_emplace(std::this_thread::get_id());
    if (added) it->second.tid = static_cast<int>(tracks.size());
    return it->second;
  }

  size_t Add(Json event, bool done) {
    events.push_back(std::move(event));
    complete.push_back(done);
    return events.size() - 1;
  }

  void LiveCounter(const Track& track, int64_t ts) {
    Add({{"name", "live pixel bytes"},
         {"ph", "C"},
         {"ts", ts},
         {"pid", track.pid},
         {"args", {{"bytes", PF_GetWorldStats().live_pixel_bytes}}}},
        true);
  }

  // The first span of a thread outside any execution starts a process.
  void BeginExecution(Track& track) {
    track.pid = ++executions;
    const std::string name =
        execution_name.empty() ? "execution " + std::to_string(executions) : execution_name;
    Add({{"name", "process_name"}, {"ph", "M"}, {"pid", track.pid}, {"args", {{"name", name}}}},
        true);
    Add({{"name", "process_sort_index"},
         {"ph", "M"},
         {"pid", track.pid},
         {"args", {{"sort_index", track.pid}}}},
        true);
    Add({{"name", "thread_name"},
         {"ph", "M"},
         {"pid", track.pid},
         {"tid", track.tid},
         {"args", {{"name", "thread " + std::to_string(track.tid)}}}},
        true);
  }

  void Open(SpanKind kind, const RG_RenderNode* node, const RG_RenderRequest* request) {
    Track& track = ThisTrack();
    if (track.open.empty()) BeginExecution(track);
    const int64_t ts = NowUs();
    Json args;
    std::string name = "execute";
    if (node != nullptr) {
      const std::string label = node->GetProfileLabel();
      const std::string hostName = namer ? namer(node) : std::string();
      if (kind != SpanKind::kExecution) name = hostName.empty() ? label : hostName;
      args["class"] = label;
      args["node"] = "P" + std::to_string(node->GetGloballyUniqueID());
      if (!hostName.empty()) args["name"] = hostName;
    }
    if (request != nullptr) {
      const M_LRect& r = request->rect;
      args["rect"] = {r.left, r.top, r.right, r.bottom};
      args["depth"] = request->bit_depth;
    }
    const char* cat = kind == SpanKind::kExecution ? "execution"
                      : kind == SpanKind::kRender  ? "render"
                                                   : "pre-render";
    const size_t index = Add({{"name", name},
                              {"cat", cat},
                              {"ph", "X"},
                              {"ts", ts},
                              {"pid", track.pid},
                              {"tid", track.tid},
                              {"args", std::move(args)}},
                             false);
    track.open.push_back({kind, node, index, ts, ByteFigures::Now(), {}});
    LiveCounter(track, ts);
  }

  // The request of a render arrives just after its span opened.
  void SetRequest(const RG_RenderNode* node, const RG_RenderRequest& request) {
    Track& track = ThisTrack();
    if (track.open.empty() || track.open.back().node != node) return;
    Json& args = events[track.open.back().event]["args"];
    const M_LRect& r = request.rect;
    args["rect"] = {r.left, r.top, r.right, r.bottom};
    args["depth"] = request.bit_depth;
  }

  void Close(SpanKind kind, const RG_RenderNode* node) {
    Track& track = ThisTrack();
    // A span that opened before this profiler was installed has nothing to
    // close here.
    if (track.open.empty()) return;
    const OpenSpan& top = track.open.back();
    if (top.kind != kind || (kind != SpanKind::kExecution && top.node != node)) return;
    const int64_t end = NowUs();
    const ByteFigures used = ByteFigures::Now() - top.at_start;
    const ByteFigures own = used - top.nested;
    Json& event = events[top.event];
    event["dur"] = end - top.start_us;
    Json& args = event["args"];
    args["buffers_allocated"] = own.buffers;
    args["bytes_allocated"] = own.allocated;
    args["bytes_copied"] = own.copied;
    args["cache_hits"] = top.hits;
    args["cache_misses"] = top.misses;
    complete[top.event] = true;
    track.open.pop_back();
    if (!track.open.empty()) track.open.back().nested += used;
    LiveCounter(track, end);
  }

  void NoteLookup(bool hit) {
    Track& track = ThisTrack();
    if (track.open.empty()) return;
    (hit ? track.open.back().hits : track.open.back().misses) += 1;
  }
};

RG_TraceProfiler::RG_TraceProfiler(RG_GraphProfiler* forward)
    : forward_(forward), recorder_(std::make_unique<Recorder>()) {
  U_SecondsSinceBoot(&recorder_->origin_seconds);
}

RG_TraceProfiler::~RG_TraceProfiler() = default;

void RG_TraceProfiler::SetNodeNamer(NodeNamer namer) {
  std::lock_guard<std::mutex> lock(recorder_->mutex);
  recorder_->namer = std::move(namer);
}

void RG_TraceProfiler::SetExecutionName(const std::string& name) {
  std::lock_guard<std::mutex> lock(recorder_->mutex);
  recorder_->execution_name = name;
}

std::string RG_TraceProfiler::GetJson() const {
  std::lock_guard<std::mutex> lock(recorder_->mutex);
  Json list = Json::array();
  for (size_t i = 0; i < recorder_->events.size(); ++i) {
    if (recorder_->complete[i]) list.push_back(recorder_->events[i]);
  }
  Json root;
  root["displayTimeUnit"] = "ms";
  root["traceEvents"] = std::move(list);
  return root.dump() + "\n";
}

void RG_TraceProfiler::GraphStart(const char* name, const RG_RenderNode* root) {
  {
    std::lock_guard<std::mutex> lock(recorder_->mutex);
    recorder_->Open(SpanKind::kExecution, root, nullptr);
  }
  if (forward_) forward_->GraphStart(name, root);
}

void RG_TraceProfiler::GraphEnd() {
  if (forward_) forward_->GraphEnd();
  std::lock_guard<std::mutex> lock(recorder_->mutex);
  recorder_->Close(SpanKind::kExecution, nullptr);
}

void RG_TraceProfiler::InputEdge(const RG_RenderNode* input, const RG_RenderNode* node) {
  if (forward_) forward_->InputEdge(input, node);
}

void RG_TraceProfiler::NodeTiming(const RG_RenderNode* node, const char* label, int32_t totalMs,
                                  int32_t childrenMs, bool flag, intptr_t value) {
  if (forward_) forward_->NodeTiming(node, label, totalMs, childrenMs, flag, value);
}

void RG_TraceProfiler::NodeStart(const RG_RenderNode* node) {
  {
    std::lock_guard<std::mutex> lock(recorder_->mutex);
    RG_GraphProfiler::NodeStart(node);
    recorder_->Open(SpanKind::kRender, node, nullptr);
  }
  if (forward_) forward_->NodeStart(node);
}

void RG_TraceProfiler::NodeEnd(const RG_RenderNode* node) {
  if (forward_) forward_->NodeEnd(node);
  std::lock_guard<std::mutex> lock(recorder_->mutex);
  RG_GraphProfiler::NodeEnd(node);
  recorder_->Close(SpanKind::kRender, node);
}

void RG_TraceProfiler::PreRenderStart(const RG_RenderNode* node, const RG_RenderRequest& request) {
  {
    std::lock_guard<std::mutex> lock(recorder_->mutex);
    recorder_->Open(SpanKind::kPreRender, node, &request);
  }
  if (forward_) forward_->PreRenderStart(node, request);
}

void RG_TraceProfiler::PreRenderEnd(const RG_RenderNode* node) {
  if (forward_) forward_->PreRenderEnd(node);
  std::lock_guard<std::mutex> lock(recorder_->mutex);
  recorder_->Close(SpanKind::kPreRender, node);
}

void RG_TraceProfiler::RenderRequest(const RG_RenderNode* node, const RG_RenderRequest& request) {
  {
    std::lock_guard<std::mutex> lock(recorder_->mutex);
    recorder_->SetRequest(node, request);
  }
  if (forward_) forward_->RenderRequest(node, request);
}

void RG_TraceProfiler::CacheLookup(const RG_RenderNode* node, bool hit) {
  {
    std::lock_guard<std::mutex> lock(recorder_->mutex);
    recorder_->NoteLookup(hit);
  }
  if (forward_) forward_->CacheLookup(node, hit);
}
