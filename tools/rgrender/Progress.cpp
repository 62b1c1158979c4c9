#include "Progress.h"

#include <chrono>

namespace {

volatile std::sig_atomic_t g_abort_requested = 0;
long g_abort_after = 0;  // test hook: node starts left before an abort

void OnSigint(int) { g_abort_requested = 1; }

long NowMs() {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now().time_since_epoch())
                               .count());
}

}  // namespace

RenderMonitor::RenderMonitor(bool bar, FILE* out) : bar_(bar), out_(out) {}

RenderMonitor::~RenderMonitor() { Finish(); }

void RenderMonitor::InstallSignalHandler() {
  struct sigaction sa = {};
  sa.sa_handler = OnSigint;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  // Schedulers end a cancelled or overdue job with SIGTERM before SIGKILL:
  // stopping like Ctrl-C removes the frame being written.
  sigaction(SIGTERM, &sa, nullptr);
}

void RenderMonitor::AbortAfterNodeStarts(long n) { g_abort_after = n; }

void RenderMonitor::ClearAbort() {
  g_abort_requested = 0;
  g_abort_after = 0;
}

bool RenderMonitor::AbortRequested() { return g_abort_requested != 0; }

void RenderMonitor::CheckAbort() {
  if (g_abort_requested) throw kUserAbortCode;
}

void RenderMonitor::BeginFrame(int index, int count, int32_t frame) {
  frame_index_ = index;
  frame_count_ = count;
  frame_ = frame;
  nodes_done_ = 0;
  node_fraction_ = 0;
  Draw(true);
}

void RenderMonitor::EndFrame() {
  frame_index_ += 1;
  nodes_done_ = nodes_total_;
  node_fraction_ = 0;
  Draw(true);
}

void RenderMonitor::Finish() {
  if (bar_ && drawn_) {
    std::fputc('\n', out_);
    std::fflush(out_);
    drawn_ = false;
  }
}

void RenderMonitor::NodeStarted(const std::string& id) {
  ++renders_[id];
  ++nodes_done_;
  node_fraction_ = 0;
  if (g_abort_after > 0 && --g_abort_after == 0) g_abort_requested = 1;
  Draw(false);
  CheckAbort();
}

void RenderMonitor::NodeProgress(long current, long total) {
  if (total > 0) node_fraction_ = static_cast<double>(current) / static_cast<double>(total);
  Draw(false);
}

void RenderMonitor::Draw(bool force) {
  if (!bar_) return;
  const long now = NowMs();
  if (!force && now - last_draw_ms_ < 100) return;  // at most ten redraws a second
  last_draw_ms_ = now;
  const int width = 30;
  double done = frame_count_ > 0 ? static_cast<double>(frame_index_) / frame_count_ : 0;
  if (nodes_total_ > 0 && frame_index_ < frame_count_) {
    const double nodes = std::min(
        1.0, (std::max(nodes_done_ - 1, 0) + node_fraction_) / static_cast<double>(nodes_total_));
    done += nodes / frame_count_;
  }
  const int filled = static_cast<int>(done * width + 0.5);
  std::fprintf(out_, "\r[%.*s%*s] %3d%%  frame %d (%d/%d)  nodes %d/%d ", filled,
               "##############################", width - filled, "",
               static_cast<int>(done * 100 + 0.5), frame_, std::min(frame_index_ + 1, frame_count_),
               frame_count_, std::min(nodes_done_, nodes_total_), nodes_total_);
  std::fflush(out_);
  drawn_ = true;
}
