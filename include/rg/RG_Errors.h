// Error codes the render-graph library throws (as `long`) or returns. Any
// other code passing out of the library is a host error code, rethrown
// unchanged.
#pragma once

#include "rg/RG_Export.h"

constexpr long RG_ERR_CONTRACT = 3;        // a node broke the execution contract
constexpr long RG_ERR_STACK_OVERFLOW = 4;  // the stack limit was reached
constexpr long RG_ERR_VERSION = 7;         // version handshake failed
constexpr long RG_ERR_CHECKOUT_ID = 516;   // a bad checkout id

// A short English description of a code the library or the host throws or
// returns (library codes above, host codes in rghost/U_Errors.h); "unknown
// error" for any other. The text is static.
RG_API const char* RG_GetErrorText(long code);
