// Error codes the render-graph library throws (as `long`) or returns. Any
// other code passing out of the library is a host error code, rethrown
// unchanged.
#pragma once

constexpr long RG_ERR_CONTRACT = 3;        // a node broke the execution contract
constexpr long RG_ERR_STACK_OVERFLOW = 4;  // the stack limit was reached
constexpr long RG_ERR_VERSION = 7;         // version handshake failed
constexpr long RG_ERR_CHECKOUT_ID = 516;   // a bad checkout id
