// Scoped owner of the library's DOT graph profiler: creates it, installs it
// in the process-wide slot and removes it again. Ownership moves on copy,
// like an owning pointer: the source of a copy or assignment becomes empty.
#pragma once

#include <memory>
#include <string>

#include "rg/RG_Export.h"

class RG_DotGraphProfiler;

struct RG_API RG_ScRGProfiler {
  // Creates a DOT profiler (node lines whose abort time exceeds the pink
  // threshold are filled pink) and installs it.
  explicit RG_ScRGProfiler(unsigned long pinkThreshold);
  // Takes over other's profiler; the global slot is not touched.
  RG_ScRGProfiler(RG_ScRGProfiler& other);
  RG_ScRGProfiler& operator=(RG_ScRGProfiler& other);
  // Uninstalls, then deletes the owned profiler.
  ~RG_ScRGProfiler();

  // Uninstalls; keeps owning the profiler.
  void Release();
  // The DOT text recorded so far; empty when no profiler is owned.
  const std::string& GetDotText() const;

 private:
  std::unique_ptr<RG_DotGraphProfiler> profiler_;
};
