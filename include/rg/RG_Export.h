// The one macro that marks what the render-graph library exports. The
// library is built with hidden visibility; everything a host may name carries
// RG_API.
#pragma once

#define RG_API __attribute__((visibility("default")))
