// The library's own profiler: records every executed graph as Graphviz DOT
// text. Each top-level execution becomes a `digraph`, each execution nested
// inside a node's render a `subgraph cluster<N>`, each timed node invocation a
// node line with its own and total milliseconds, each input an edge, and each
// node named as an input but never timed an orphan line.
//
// Hosts reach it only through RG_ScRGProfiler, which owns it. The text only
// grows and lives as long as the profiler. One thread at a time.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "rg/RG_GraphProfiler.h"

class RG_DotGraphProfiler : public RG_GraphProfiler {
 public:
  // Node lines whose abort time exceeds `pinkThreshold` are filled pink.
  explicit RG_DotGraphProfiler(unsigned long pinkThreshold);
  ~RG_DotGraphProfiler() override;
  RG_DotGraphProfiler(const RG_DotGraphProfiler&) = delete;
  RG_DotGraphProfiler& operator=(const RG_DotGraphProfiler&) = delete;

  void GraphStart(const char* name, const RG_RenderNode* root) override;
  void GraphEnd() override;
  void InputEdge(const RG_RenderNode* input, const RG_RenderNode* node) override;
  void NodeTiming(const RG_RenderNode* node, const char* label, int32_t totalMs, int32_t childrenMs,
                  bool flag, intptr_t value) override;
  void NodeStart(const RG_RenderNode* node) override;
  void NodeEnd(const RG_RenderNode* node) override;

  // The DOT text written so far.
  const std::string& GetText() const { return text_; }
  // How many top-level graphs the text holds, and the index-th of them as a
  // complete `digraph` document (empty past the last). In order, their
  // concatenation is GetText().
  size_t GetGraphCount() const { return graph_starts_.size(); }
  std::string GetGraph(size_t index) const;

  // Clusters numbered so far by all DOT profilers of the process.
  static std::atomic<int> S_cluster_counterL;

 protected:
  // Writes the edge `from -> to`; unless skipRecording, both ends count as
  // named in the innermost open graph (for the orphan lines).
  virtual void WriteEdge(const RG_RenderNode* from, const RG_RenderNode* to, bool skipRecording);

 private:
  using NodeSet = std::set<const RG_RenderNode*>;
  using LinkList = std::vector<std::pair<const RG_RenderNode*, const RG_RenderNode*>>;

  bool GraphOpen() const { return !invoker_stack_.empty(); }
  // A node scope that begins while no graph is open (the profiler was
  // installed during an execution) is recorded in a top-level graph opened
  // for it; that graph closes when the next top-level graph starts.
  void EnsureGraphOpen();
  void OpenGraph(const char* name, bool nested);

  std::string text_;
  std::vector<size_t> graph_starts_;    // where each top-level digraph begins in text_
  std::deque<NodeSet> recorded_sets_;   // per open graph: nodes with a node line
  std::deque<NodeSet> edge_node_sets_;  // per open graph: nodes named by an edge
  std::deque<int32_t> depth_stack_;     // open node scopes, one entry per open graph
  std::deque<LinkList> link_lists_;     // per open graph: (nested root, node that ran it)
  std::deque<const RG_RenderNode*> invoker_stack_;  // per open graph; null at top level
  std::deque<uint32_t> saved_abort_times_;
  uint32_t abort_time_ = 0;
  uint32_t pink_threshold_;
  bool implicit_graph_open_ = false;  // the outermost open graph was opened by EnsureGraphOpen
};
