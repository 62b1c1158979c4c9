#include "profile/RG_DotGraphProfiler.h"

#include <initializer_list>
#include <string>
#include <string_view>

#include "rg/RG_RenderNode.h"

namespace {

// The whole DOT text, one template per piece. Each `{}` takes the next
// argument of Fill; every other character is written as it stands.
constexpr std::string_view kGraphOpen =
    "digraph \"{}\" {\nfontsize=10;\nnodesep=.15;\nranksep=.15;\nlabel=\"{}\"\n";
constexpr std::string_view kClusterOpen =
    "subgraph cluster{} {\nfontsize=10;\nnodesep=.15;\nranksep=.15;\nlabel=\"{}\"\n";
// Arguments: node, label, own ms, total ms, abort ms, kPinkStyle or nothing.
constexpr std::string_view kNodeLine =
    "{} [label=\"{}\\n{}ms ({}ms) abort:{}ms\" {},fontsize=10 ]\n";
constexpr std::string_view kPinkStyle = ",style=filled, color=pink";
// A node named by an edge that never reported its timing.
constexpr std::string_view kOrphanLine = "{} [label=\"{}\\nORPHAN\" fontsize=10 ]\n";
constexpr std::string_view kEdgeLine = "{} -> {}\n";
constexpr std::string_view kGraphClose = "}";

void Fill(std::string& out, std::string_view text, std::initializer_list<std::string_view> args) {
  auto arg = args.begin();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text.compare(i, 2, "{}") == 0 && arg != args.end()) {
      out += *arg++;
      ++i;
    } else {
      out += text[i];
    }
  }
}

std::string NodeName(const RG_RenderNode* node) {
  return "P" + std::to_string(static_cast<int>(node->GetGloballyUniqueID()));
}

// Labels come from class names and host code; a quote or backslash in them
// would end or break the quoted DOT string.
std::string Escaped(std::string_view label) {
  std::string out;
  for (char c : label) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out;
}

}  // namespace

constinit std::atomic<int> RG_DotGraphProfiler::S_cluster_counterL{0};

RG_DotGraphProfiler::RG_DotGraphProfiler(unsigned long pinkThreshold)
    : pink_threshold_(static_cast<uint32_t>(pinkThreshold)) {}

RG_DotGraphProfiler::~RG_DotGraphProfiler() = default;

void RG_DotGraphProfiler::OpenGraph(const char* name, bool nested) {
  recorded_sets_.emplace_back();
  edge_node_sets_.emplace_back();
  link_lists_.emplace_back();
  depth_stack_.push_back(0);

  if (nested) {
    Fill(text_, kClusterOpen,
         {std::to_string(S_cluster_counterL.fetch_add(1, std::memory_order_relaxed) + 1), name});
    invoker_stack_.push_back(CurrentNode());
  } else {
    graph_starts_.push_back(text_.size());
    Fill(text_, kGraphOpen, {name, name});
    invoker_stack_.push_back(nullptr);
  }
}

std::string RG_DotGraphProfiler::GetGraph(size_t index) const {
  if (index >= graph_starts_.size()) return std::string();
  const size_t end = index + 1 < graph_starts_.size() ? graph_starts_[index + 1] : text_.size();
  return text_.substr(graph_starts_[index], end - graph_starts_[index]);
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
    Fill(text_, kOrphanLine, {NodeName(node), Escaped(node->GetProfileLabel())});
  }
  text_ += kGraphClose;

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

void RG_DotGraphProfiler::NodeTiming(const RG_RenderNode* node, const char* label, int32_t totalMs,
                                     int32_t childrenMs, bool, intptr_t) {
  EnsureGraphOpen();
  // The own time wraps in 32 bits like the counters it comes from.
  const auto ownMs = static_cast<int32_t>(static_cast<int64_t>(totalMs) - childrenMs);
  Fill(text_, kNodeLine,
       {NodeName(node), Escaped(label ? label : ""), std::to_string(ownMs), std::to_string(totalMs),
        std::to_string(static_cast<int>(abort_time_)),
        abort_time_ > pink_threshold_ ? kPinkStyle : std::string_view()});
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
  // Scopes are counted only inside an open graph.
  if (GraphOpen() && depth_stack_.back() > 0) --depth_stack_.back();
}

void RG_DotGraphProfiler::InputEdge(const RG_RenderNode* input, const RG_RenderNode* node) {
  WriteEdge(input, node, false);
}

void RG_DotGraphProfiler::WriteEdge(const RG_RenderNode* from, const RG_RenderNode* to,
                                    bool skipRecording) {
  EnsureGraphOpen();
  Fill(text_, kEdgeLine, {NodeName(from), NodeName(to)});
  if (!skipRecording) {
    edge_node_sets_.back().insert(from);
    edge_node_sets_.back().insert(to);
  }
}
