// Error codes of the host libraries.
//
// Every host call reports failure with one of these codes: PF_World
// operations throw it as a `long`, the transfer and transform calls, the
// version checks, preference reads and the clock return it. The render-graph
// library owns the codes 3, 4, 7 and 516; the host never uses them.
#pragma once

constexpr long U_ERR_NONE = 0;
constexpr long U_ERR_OUT_OF_MEMORY = 1001;     // an allocation could not be satisfied
constexpr long U_ERR_BAD_PARAMETER = 1002;     // a size, depth, mode or pointer is invalid
constexpr long U_ERR_INTERNAL = 1003;          // an unexpected exception was translated
constexpr long U_ERR_VERSION_MISMATCH = 1004;  // a version check failed
constexpr long U_ERR_USER_ABORT = 1005;        // a caller asked to stop (progress callbacks)
constexpr long U_ERR_INJECTED = 1006;          // default code of an injected failure
