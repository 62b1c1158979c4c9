#include "rg/RG_ScRGProfiler.h"

#include "profile/RG_DotGraphProfiler.h"
#include "rg/RG_GraphProfiler.h"

RG_ScRGProfiler::RG_ScRGProfiler(unsigned long pinkThreshold)
    : profiler_(new RG_DotGraphProfiler(pinkThreshold)) {
  RG_SetProfiler(profiler_);
}

RG_ScRGProfiler::RG_ScRGProfiler(RG_ScRGProfiler& other) : profiler_(other.profiler_) {
  other.profiler_ = nullptr;
}

RG_ScRGProfiler& RG_ScRGProfiler::operator=(RG_ScRGProfiler& other) {
  RG_DotGraphProfiler* taken = other.profiler_;
  other.profiler_ = nullptr;
  if (profiler_ && profiler_ != taken) {
    // The slot is otherwise left alone, but it must not keep pointing at a
    // profiler that is about to die.
    if (RG_GetProfiler() == profiler_) RG_SetProfiler(nullptr);
    delete profiler_;
  }
  profiler_ = taken;
  return *this;
}

RG_ScRGProfiler::~RG_ScRGProfiler() {
  RG_SetProfiler(nullptr);
  delete profiler_;
}

void RG_ScRGProfiler::Release() { RG_SetProfiler(nullptr); }

const std::string& RG_ScRGProfiler::GetDotText() const {
  static const std::string empty;
  return profiler_ ? profiler_->GetText() : empty;
}
