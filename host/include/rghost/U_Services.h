// The host's platform services: threads, clocks, version checks and failure
// injection for tests.
#pragma once

#include <cstdint>

// True on the host's main thread: by default the thread that loaded the
// library, or the last one that called U_SetMainThread.
bool U_IsOnMainThread();
void U_SetMainThread();

// Seconds since boot. Returns 0, or an error code (an injected failure).
long U_SecondsSinceBoot(double* seconds);
// Monotonic milliseconds, wrapping at 2^32.
uint32_t TickCount();
// Replaces the clock behind U_SecondsSinceBoot and TickCount (seconds);
// null restores the real one.
void U_SetClock(double (*clock)());

// Version handshake of the utility library (version 61).
long U_CheckVersions(long location, long version);

// Failure injection. Every fallible host call (allocations, PF_World
// operations, the transfer and transform calls, preference reads, the clock,
// the purge loop, the version checks) counts. After U_InjectFailure(n, code),
// n more calls succeed and the next one fails with `code` the way its
// contract reports failures (an allocation throws std::bad_alloc); the
// injection then disarms itself.
void U_InjectFailure(long afterCalls, long code);
void U_ClearInjectedFailure();
// Fallible calls the calling thread has made since it started. Counted per
// thread, so that counting costs no shared write on every allocation.
long long U_FallibleCallCount();
