// Internal to the host libraries: the counter behind U_InjectFailure, and
// the report-then-throw of every failure the host raises.
#pragma once

#include <cstddef>

// Every fallible host call calls this first. Returns 0 to go on, or the
// injected code with which the call must fail.
long Uh_NextFallibleCall();

// Reports an error with `code` naming the failed operation, then throws the
// code: a host never catches a failure that is not in the report log.
[[noreturn]] void Uh_Fail(long code, const char* operation);
// The same for an allocation of the tracked memory: reports, then throws
// std::bad_alloc.
[[noreturn]] void Uh_FailAllocation(size_t bytes);

// The version handshake of one host library: 0 when `requested` is what it
// has, otherwise U_ERR_VERSION_MISMATCH with a report naming both.
long Uh_CheckVersion(long location, long requested, long available, const char* library);
