#include "profile/RG_DotGraphProfiler.h"

#include <cstdio>

#include "rg/RG_RenderNode.h"

namespace {

// Fixed pieces of the DOT text.
constexpr const char* kGraphHead = "digraph \"";
constexpr const char* kNameEnd = "\" ";
constexpr const char* kClusterHead = "subgraph cluster";
constexpr const char* kBlockOpen = "{\n";
constexpr const char* kGraphSettings = "fontsize=10;\nnodesep=.15;\nranksep=.15;\n";
constexpr const char* kGraphLabel = "label=\"";
constexpr const char* kLabelEnd = "\"\n";
constexpr const char* kNodeLabel = " [label=\"";
constexpr const char* kPinkFill = ",style=filled, color=pink";
constexpr const char* kNodeFont = ",fontsize=10 ";
constexpr const char* kOrphanTail = "\\nORPHAN\" ";
constexpr const char* kOrphanFont = "fontsize=10 ";
constexpr const char* kLineEnd = "]\n";
constexpr const char* kEdgeArrow = " -> ";
constexpr const char* kEdgeEnd = "\n";
constexpr const char* kBlockClose = "}";

}  // namespace

int RG_DotGraphProfiler::S_cluster_counterL = 0;

RG_DotGraphProfiler::RG_DotGraphProfiler(unsigned long pinkThreshold)
    : pink_threshold_(static_cast<uint32_t>(pinkThreshold)) {
  depth_stack_.push_back(0);
}

RG_DotGraphProfiler::~RG_DotGraphProfiler() = default;

void RG_DotGraphProfiler::AppendNodeName(const RG_RenderNode* node) {
  char name[32];
  std::snprintf(name, sizeof name, "P%d", static_cast<int>(node->GetGloballyUniqueID()));
  text_ += name;
}

// Labels come from class names and host code; a quote or backslash in them
// would end or break the quoted DOT string.
void RG_DotGraphProfiler::AppendLabel(const std::string& label) {
  for (char c : label) {
    if (c == '"' || c == '\\') text_ += '\\';
    text_ += c;
  }
}

void RG_DotGraphProfiler::OpenGraph(const char* name, bool nested) {
  recorded_sets_.emplace_back();
  edge_node_sets_.emplace_back();
  link_lists_.emplace_back();
  depth_stack_.push_back(0);

  if (nested) {
    text_ += kClusterHead;
    char number[16];
    std::snprintf(number, sizeof number, "%d ", ++S_cluster_counterL);
    text_ += number;
    invoker_stack_.push_back(CurrentNode());
  } else {
    text_ += kGraphHead;
    text_ += name;
    text_ += kNameEnd;
    invoker_stack_.push_back(nullptr);
  }
  text_ += kBlockOpen;
  text_ += kGraphSettings;
  text_ += kGraphLabel;
  text_ += name;
  text_ += kLabelEnd;
}

void RG_DotGraphProfiler::EnsureGraphOpen() {
  if (GraphOpen()) return;
  OpenGraph("", false);
  implicit_graph_open_ = true;
}

void RG_DotGraphProfiler::GraphStart(const char* name, const RG_RenderNode*) {
  // A graph opened for scopes that began before this profiler saw any
  // execution has no GraphEnd coming; once its scopes are all closed, the
  // next graph is a new top-level one, so the implicit one ends here.
  if (implicit_graph_open_ && invoker_stack_.size() == 1 && depth_stack_.back() == 0) GraphEnd();
  OpenGraph(name ? name : "", GraphOpen());
}

void RG_DotGraphProfiler::GraphEnd() {
  if (!GraphOpen()) return;

  const NodeSet& recorded = recorded_sets_.back();
  for (const RG_RenderNode* node : edge_node_sets_.back()) {
    if (recorded.count(node)) continue;
    AppendNodeName(node);
    text_ += kNodeLabel;
    AppendLabel(node->GetProfileLabel());
    text_ += kOrphanTail;
    text_ += kOrphanFont;
    text_ += kLineEnd;
  }
  text_ += kBlockClose;

  // The links follow the closing brace, so they belong to the enclosing
  // graph: each joins a nested root to the node whose render ran it.
  const LinkList links = link_lists_.back();
  for (const auto& [root, invoker] : links) WriteEdge(root, invoker, false);

  recorded_sets_.pop_back();
  edge_node_sets_.pop_back();
  link_lists_.pop_back();
  invoker_stack_.pop_back();
  depth_stack_.pop_back();
  if (invoker_stack_.empty()) implicit_graph_open_ = false;
}

void RG_DotGraphProfiler::NodeStart(const RG_RenderNode* node) {
  RG_GraphProfiler::NodeStart(node);
  EnsureGraphOpen();
  if (depth_stack_.back() == 0 && invoker_stack_.back() != nullptr) {
    link_lists_.back().emplace_back(node, invoker_stack_.back());
  }
  ++depth_stack_.back();
  saved_abort_times_.push_back(abort_time_);
  abort_time_ = 0;
}

void RG_DotGraphProfiler::NodeTiming(const RG_RenderNode* node, const char* label,
                                     int32_t totalMs, int32_t childrenMs, bool, intptr_t) {
  EnsureGraphOpen();
  AppendNodeName(node);
  text_ += kNodeLabel;
  AppendLabel(label ? label : "");
  char timing[96];
  // The own time wraps in 32 bits like the counters it comes from.
  const auto ownMs = static_cast<int32_t>(static_cast<int64_t>(totalMs) - childrenMs);
  std::snprintf(timing, sizeof timing, "\\n%dms (%dms) abort:%dms", static_cast<int>(ownMs),
                static_cast<int>(totalMs), static_cast<int>(abort_time_));
  text_ += timing;
  text_ += kNameEnd;
  if (abort_time_ > pink_threshold_) text_ += kPinkFill;
  text_ += kNodeFont;
  text_ += kLineEnd;
  recorded_sets_.back().insert(node);

  if (saved_abort_times_.empty()) {
    abort_time_ = 0;
  } else {
    abort_time_ = saved_abort_times_.back();
    saved_abort_times_.pop_back();
  }
}

void RG_DotGraphProfiler::NodeEnd(const RG_RenderNode* node) {
  RG_GraphProfiler::NodeEnd(node);
  // The base entry stays 0: scopes are only counted inside an open graph.
  if (GraphOpen() && depth_stack_.back() > 0) --depth_stack_.back();
}

void RG_DotGraphProfiler::InputEdge(const RG_RenderNode* input, const RG_RenderNode* node) {
  WriteEdge(input, node, false);
}

void RG_DotGraphProfiler::WriteEdge(const RG_RenderNode* from, const RG_RenderNode* to,
                                    bool skipRecording) {
  EnsureGraphOpen();
  AppendNodeName(from);
  text_ += kEdgeArrow;
  AppendNodeName(to);
  text_ += kEdgeEnd;
  if (!skipRecording) {
    edge_node_sets_.back().insert(from);
    edge_node_sets_.back().insert(to);
  }
}
