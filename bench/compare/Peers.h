// The other image libraries rg_compare times beside the render-graph
// library. Each peer renders a workload's frame into memory the caller owns
// (a packed frame at the workload's depth), reading the workload's own input
// buffers; whatever it must prepare (wrapping buffers, building a pipeline,
// scaled copies) is done once in Prepare, outside the timing.
#pragma once

#include <memory>
#include <string>

#include "Workloads.h"

namespace rgbench {

class Peer {
 public:
  virtual ~Peer() = default;
  virtual std::string Name() const = 0;
  virtual std::string Version() const = 0;
  // False when the peer has no way to render the workload.
  virtual bool Prepare(const Workload& w) = 0;
  virtual void SetThreads(int threads) = 0;
  virtual void RenderInto(void* dest) = 0;
  // The peer's float values are the library's times this (its full alpha).
  virtual float FloatScale() const { return 1.0f; }
};

std::unique_ptr<Peer> MakePixmanPeer();
std::unique_ptr<Peer> MakeOiioPeer();
std::unique_ptr<Peer> MakeVipsPeer();

}  // namespace rgbench
