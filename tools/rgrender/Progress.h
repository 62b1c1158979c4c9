// Progress display and abort for a run: a bar on standard error (frames
// done, and the current frame's nodes), and the abort request that Ctrl-C
// (or SIGTERM) raises. Nodes reach it through NodeProgress objects attached to them; the
// library calls StartProgress before each node's Render, and the nodes call
// CheckAbort while they work, which throws once an abort is requested.
#pragma once

#include <csignal>
#include <cstdio>
#include <map>
#include <string>

#include "rg/RG_RenderNode.h"

// The code thrown through the traversal when the user aborts.
constexpr long kUserAbortCode = 1005;  // U_ERR_USER_ABORT

class RenderMonitor {
 public:
  // `bar` false draws nothing (not a terminal, or --quiet).
  explicit RenderMonitor(bool bar, FILE* out = stderr);
  ~RenderMonitor();

  void BeginFrame(int index, int count, int32_t frame);
  void SetNodeCount(int nodes) { nodes_total_ = nodes; }
  void EndFrame();
  void Finish();

  // Called from NodeProgress.
  void NodeStarted(const std::string& id);
  void NodeProgress(long current, long total);
  void CheckAbort();

  static bool AbortRequested();
  // Renders per scene node id since the last ResetRenderCounts.
  const std::map<std::string, long>& RenderCounts() const { return renders_; }
  void ResetRenderCounts() { renders_.clear(); }

  // Installs the SIGINT and SIGTERM handler (the program does; tests need not).
  static void InstallSignalHandler();
  // Test hook: request an abort when the n-th node starts rendering (n >= 1);
  // 0 disarms.
  static void AbortAfterNodeStarts(long n);
  // Clears a pending abort request (between runs in one process).
  static void ClearAbort();

 private:
  void Draw(bool force);

  bool bar_;
  FILE* out_;
  int frame_index_ = 0, frame_count_ = 0;
  int32_t frame_ = 0;
  int nodes_total_ = 0, nodes_done_ = 0;
  double node_fraction_ = 0;
  long last_draw_ms_ = -1000;
  bool drawn_ = false;
  std::map<std::string, long> renders_;
};

// Attached to each node of a frame's graph (the node owns it).
class NodeProgress : public RG_ProgAbort {
 public:
  NodeProgress(RenderMonitor* monitor, std::string id) : monitor_(monitor), id_(std::move(id)) {}
  void StartProgress() override { monitor_->NodeStarted(id_); }
  void CheckAbort() override { monitor_->CheckAbort(); }
  void Progress(long current, long total) override { monitor_->NodeProgress(current, total); }

 private:
  RenderMonitor* monitor_;  // borrowed; outlives the frame's graph
  std::string id_;
};
