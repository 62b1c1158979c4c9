// Opt-in stack guard for a host's render threads.
//
// The library guards executions on the host's main thread with the limits of
// the preferences "Max KeenEffects Stack Usage 2". Other threads are not
// guarded: a graph too deep for such a thread's stack ends the process. A
// host that renders on threads of its own makes one of these scopes on each,
// around the executions it runs there; while it lives, an execution on that
// thread that would use more stack than the scope allows stops with code 4
// (RG_ERR_STACK_OVERFLOW) and the report "Render Graph stack overflow --
// composition too complex.", exactly as on the main thread, and a node whose
// own code uses more than the per-node limit is reported ("Maximum per-node
// stack usage exceeded.") and the execution goes on.
//
// The scope guards the calling thread only, and must be destroyed on it
// (keep it on the stack). Scopes nest: an inner one replaces the outer one's
// limits until it ends. On the main thread a scope changes nothing: the
// preference limits stay in force there.
#pragma once

#include <cstdint>

#include "rg/RG_Export.h"

class RG_API RG_ScThreadStackGuard {
 public:
  // Stack is measured from this scope's position on the thread's stack.
  // totalBytes is how much an execution may use below it; 0 takes what the
  // thread's stack has left below this point less kReserveBytes, which the
  // code running between two checks (a node's own code, the host's pixel
  // routines) may still need. perNodeBytes 0 turns the per-node report off.
  explicit RG_ScThreadStackGuard(uint64_t totalBytes = 0, uint64_t perNodeBytes = 0);
  ~RG_ScThreadStackGuard();
  RG_ScThreadStackGuard(const RG_ScThreadStackGuard&) = delete;
  RG_ScThreadStackGuard& operator=(const RG_ScThreadStackGuard&) = delete;

  // The limits in force while the scope lives, in bytes.
  uint64_t GetTotalLimit() const { return total_; }
  uint64_t GetPerNodeLimit() const { return per_node_; }
  // The guarded position: usage is the distance below it.
  const char* GetStackStart() const { return start_; }

  static constexpr uint64_t kReserveBytes = 256 * 1024;

 private:
  char* start_;
  uint64_t total_;
  uint64_t per_node_;
  const RG_ScThreadStackGuard* previous_;  // the scope this one replaces, or null
};
