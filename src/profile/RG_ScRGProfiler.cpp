#include "rg/RG_ScRGProfiler.h"

#include "profile/RG_DotGraphProfiler.h"
#include "rg/RG_GraphProfiler.h"

RG_ScRGProfiler::RG_ScRGProfiler(unsigned long pinkThreshold)
    : profiler_(std::make_unique<RG_DotGraphProfiler>(pinkThreshold)) {
  RG_SetProfiler(profiler_.get());
}

RG_ScRGProfiler::RG_ScRGProfiler(RG_ScRGProfiler& other) : profiler_(std::move(other.profiler_)) {}

RG_ScRGProfiler& RG_ScRGProfiler::operator=(RG_ScRGProfiler& other) {
  std::unique_ptr<RG_DotGraphProfiler> taken = std::move(other.profiler_);
  // The slot is otherwise left alone, but it must not keep pointing at a
  // profiler that is about to die.
  if (profiler_ && RG_GetProfiler() == profiler_.get()) RG_SetProfiler(nullptr);
  profiler_ = std::move(taken);
  return *this;
}

RG_ScRGProfiler::~RG_ScRGProfiler() { RG_SetProfiler(nullptr); }

void RG_ScRGProfiler::Release() { RG_SetProfiler(nullptr); }

const std::string& RG_ScRGProfiler::GetDotText() const {
  static const std::string empty;
  return profiler_ ? profiler_->GetText() : empty;
}

size_t RG_ScRGProfiler::GetDotGraphCount() const {
  return profiler_ ? profiler_->GetGraphCount() : 0;
}

std::string RG_ScRGProfiler::GetDotGraph(size_t index) const {
  return profiler_ ? profiler_->GetGraph(index) : std::string();
}
