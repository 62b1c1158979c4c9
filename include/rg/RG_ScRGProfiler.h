// Scoped owner of the library's DOT graph profiler: creates it, installs it
// in the process-wide slot and removes it again. Ownership moves on copy,
// like an owning pointer: the source of a copy or assignment becomes empty.
//
// The text holds one Graphviz `digraph` per top-level execution, appended
// one after the other ("}digraph ..."); an execution nested in a node's
// render (a cache node's) is a `subgraph cluster<N>` inside its graph. Each
// timed node is a line
//   P<id> [label="<profile label>\n<own>ms (<total>ms) abort:<abort>ms" ,fontsize=10 ]
// with <id> the node's globally unique id, <own> its time less its inputs',
// <total> its time with them, all in whole milliseconds; a node named by an
// edge but never timed is "P<id> [label="<profile label>\nORPHAN" ...]", and
// "P<a> -> P<b>" reads "a is an input of b". A node read by several
// consumers has a line per delivery, of which DOT keeps the last.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "rg/RG_Export.h"

class RG_DotGraphProfiler;

struct RG_API RG_ScRGProfiler {
  // Creates a DOT profiler and installs it. A node line whose abort time
  // (milliseconds) exceeds pinkThreshold (milliseconds) is filled pink;
  // nothing in the library adds to abort times yet, so every line reads
  // "abort:0ms" and none is pink.
  explicit RG_ScRGProfiler(unsigned long pinkThreshold);
  // Takes over other's profiler; the global slot is not touched.
  RG_ScRGProfiler(RG_ScRGProfiler& other);
  RG_ScRGProfiler& operator=(RG_ScRGProfiler& other);
  // Uninstalls, then deletes the owned profiler.
  ~RG_ScRGProfiler();

  // Uninstalls; keeps owning the profiler.
  void Release();
  // The DOT text recorded so far; empty when no profiler is owned. With
  // several executions it is several documents back to back, which `dot`
  // draws as as many pictures.
  const std::string& GetDotText() const;
  // The same text as one complete DOT document per top-level execution:
  // how many there are, and the index-th in the order they ran (empty past
  // the last). Each can be drawn on its own.
  size_t GetDotGraphCount() const;
  std::string GetDotGraph(size_t index) const;

 private:
  std::unique_ptr<RG_DotGraphProfiler> profiler_;
};
