// Google Benchmark suite of the library on its own host: the frame workloads
// W0 to W4 in both forms of RG_ExecuteGraph, the traversal cost per node (W5)
// and the destruction of a long chain (W6).
//
// Every frame benchmark reports, for its last iteration, the pixel bytes the
// library allocated at its peak (above what was alive before the execution:
// the inputs and the caller's destination) and the pixel bytes it copied.
// The second argument is the thread count of the host kernels. The
// destination form renders in strips where that is the workload's default
// (DefaultStripRows).
#include <benchmark/benchmark.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>

#include "Workloads.h"
#include "rg/RG_Traverser.h"
#include "rghost/PF_Transfer.h"
#include "rghost/PF_World.h"

using namespace rgbench;

namespace {

enum class Form { New, Dest };

// Inputs and graphs are made once per process and shared by every
// benchmark of a workload.
Workload& GetWorkload(Kind kind) {
  static std::map<Kind, std::unique_ptr<Workload>> cache;
  auto& slot = cache[kind];
  if (!slot) slot = MakeWorkload(kind);
  return *slot;
}

void SetPixelCounters(benchmark::State& state, long long liveBefore, const PF_WorldStats& after) {
  state.counters["peak_alloc"] =
      benchmark::Counter(static_cast<double>(after.peak_pixel_bytes - liveBefore),
                         benchmark::Counter::kDefaults, benchmark::Counter::OneK::kIs1024);
  state.counters["copied"] =
      benchmark::Counter(static_cast<double>(after.pixel_bytes_copied),
                         benchmark::Counter::kDefaults, benchmark::Counter::OneK::kIs1024);
  state.counters["cleared"] =
      benchmark::Counter(static_cast<double>(after.pixel_bytes_cleared),
                         benchmark::Counter::kDefaults, benchmark::Counter::OneK::kIs1024);
}

void BM_Frame(benchmark::State& state, Kind kind, Form form) {
  const int previous = PF_SetThreadCount(static_cast<int>(state.range(0)));
  Workload& w = GetWorkload(kind);
  WorldPtr dest;
  if (form == Form::Dest) dest.reset(PF_World::New(FrameRect(), w.depth, 0));
  long long liveBefore = 0;
  PF_WorldStats stats;
  for (auto _ : state) {
    liveBefore = PF_GetWorldStats().live_pixel_bytes;
    PF_ResetWorldStats();
    if (form == Form::New) {
      Rendered r;
      ExecuteNew(w, &r);
      benchmark::DoNotOptimize(r.world);
      stats = PF_GetWorldStats();
    } else {
      ExecuteInto(w, dest.get(), DefaultStripRows(w, static_cast<int>(state.range(0))));
      benchmark::DoNotOptimize(dest->data);
      stats = PF_GetWorldStats();
    }
  }
  SetPixelCounters(state, liveBefore, stats);
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(FrameBytes(w)));
  PF_SetThreadCount(previous);
}

void SetPerNode(benchmark::State& state, long nodes) {
  state.counters["per_node"] =
      benchmark::Counter(static_cast<double>(nodes), benchmark::Counter::kIsIterationInvariantRate |
                                                         benchmark::Counter::kInvert);
}

constexpr long kTraversalNodes = 10000;
constexpr long kPyramidBase = 141;  // 10011 nodes
constexpr int32_t kTinySize = 4;

NodePtr MakeTraversalGraph(bool pyramid, const PF_World* leaf) {
  return pyramid ? BuildPyramid(kPyramidBase, leaf) : BuildChain(kTraversalNodes, leaf);
}

long TraversalNodeCount(bool pyramid) {
  return pyramid ? PyramidNodeCount(kPyramidBase) : kTraversalNodes;
}

RG_RenderRequest TinyRequest() {
  RG_RenderRequest r;
  r.rect = MakeRect(0, 0, kTinySize, kTinySize);
  r.bit_depth = 8;
  return r;
}

// W5: both passes, into a destination of a few pixels.
void BM_Traversal(benchmark::State& state, bool pyramid) {
  WorldPtr leaf = MakeTinyWorld(kTinySize);
  NodePtr root = MakeTraversalGraph(pyramid, leaf.get());
  WorldPtr dest(PF_World::New(MakeRect(0, 0, kTinySize, kTinySize), 8, 0));
  const RG_RenderRequest request = TinyRequest();
  for (auto _ : state) {
    M_LRect outRect;
    RG_ExecuteGraph(root.get(), request, request.rect, dest.get(), &outRect);
    benchmark::DoNotOptimize(outRect);
  }
  SetPerNode(state, TraversalNodeCount(pyramid));
  root.reset();
}

// W5, pre-render and propagation passes alone.
void BM_PreRenderOnly(benchmark::State& state, bool pyramid) {
  WorldPtr leaf = MakeTinyWorld(kTinySize);
  NodePtr root = MakeTraversalGraph(pyramid, leaf.get());
  const RG_RenderRequest request = TinyRequest();
  for (auto _ : state) {
    RG_Traverser traverser(root.get());
    traverser.PreRenderGraph(request);
    benchmark::DoNotOptimize(&traverser);
  }
  SetPerNode(state, TraversalNodeCount(pyramid));
  root.reset();
}

// W6: releasing the last reference to the root of a one-million-node chain.
void BM_DestroyChain(benchmark::State& state) {
  const long count = state.range(0);
  WorldPtr leaf = MakeTinyWorld(kTinySize);
  for (auto _ : state) {
    NodePtr root = BuildChain(count, leaf.get());
    const auto start = std::chrono::steady_clock::now();
    root.reset();
    const auto end = std::chrono::steady_clock::now();
    state.SetIterationTime(std::chrono::duration<double>(end - start).count());
  }
  SetPerNode(state, count);
}

void RegisterAll() {
  const Kind kinds[] = {Kind::W0Background, Kind::W1Stack8, Kind::W2Opaque8, Kind::W3Rotate,
                        Kind::W4Float8};
  for (Kind kind : kinds) {
    for (Form form : {Form::New, Form::Dest}) {
      const std::string name = std::string(KindName(kind)) + (form == Form::New ? "/new" : "/dest");
      benchmark::RegisterBenchmark(name.c_str(), BM_Frame, kind, form)
          ->ArgName("threads")
          ->Arg(1)
          ->Arg(2)
          ->Unit(benchmark::kMicrosecond)
          ->UseRealTime();
    }
  }
  for (bool pyramid : {false, true}) {
    const std::string shape = pyramid ? "pyramid" : "chain";
    benchmark::RegisterBenchmark(("W5_traversal/" + shape).c_str(), BM_Traversal, pyramid)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark(("W5_prerender_only/" + shape).c_str(), BM_PreRenderOnly, pyramid)
        ->Unit(benchmark::kMicrosecond);
  }
  benchmark::RegisterBenchmark("W6_destroy_chain", BM_DestroyChain)
      ->ArgName("nodes")
      ->Arg(1000000)
      ->UseManualTime()
      ->Iterations(5)
      ->Unit(benchmark::kMillisecond);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RegisterAll();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
