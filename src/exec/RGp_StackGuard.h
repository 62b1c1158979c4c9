// Stack measurement of the stack-usage guard: where the calling code stands
// on the stack, and the per-node marker kept while a node's code runs.
#pragma once

// The current stack position: the frame address of this (never inlined)
// function, so every measurement takes the same kind of address. Stacks grow
// downwards, so a deeper position is a smaller address.
char* RGp_StackPosition();

// Sets a traverser's per-node stack marker to the current stack position
// for the lifetime of the guard and restores the previous value afterwards,
// also when an exception passes.
class RGp_StackMarkerGuard {
 public:
  explicit RGp_StackMarkerGuard(char** marker) : marker_(marker), saved_(*marker) {
    *marker_ = RGp_StackPosition();
  }
  ~RGp_StackMarkerGuard() { *marker_ = saved_; }
  RGp_StackMarkerGuard(const RGp_StackMarkerGuard&) = delete;
  RGp_StackMarkerGuard& operator=(const RGp_StackMarkerGuard&) = delete;

 private:
  char** marker_;  // borrowed: the traverser's marker
  char* saved_;
};
