// What a consumer asks of a node: an area, a bit depth, a video field and
// option bits. A plain value type, copied member by member.
#pragma once

#include <cstdint>

#include "rg/RG_Export.h"
#include "rghost/M_Geometry.h"

// Option bits of RG_RenderRequest::flags.
enum : uint8_t {
  // The consumer wants the output as far as content of bounds type 1 reaches.
  RG_REQUEST_CONTENT_BOUNDS_TYPE1 = 1,
  // Clip the request to the input's legacy effect bounds when it has them.
  RG_REQUEST_CLIP_TO_LEGACY_BOUNDS = 2,
  // The consumer's result is the producer's whole declared output.
  RG_REQUEST_WHOLE_OUTPUT = 4
};

// Bits of the output flags a node declares with its output and consumers read
// with RG_CheckoutResult::GetFlags.
enum : uint8_t {
  // Every pixel of the result's rect is fully opaque.
  RG_OUTPUT_OPAQUE = 1
};

// Bits of the new-world flags given with an output declaration.
enum : long {
  // The output buffer is cleared where nothing is rendered.
  RG_NEW_WORLD_CLEAR = 1
};

struct RG_API RG_RenderRequest {
  M_LRect rect;           // requested area in render-space pixels
  uint8_t flags = 0;      // RG_REQUEST_* bits; bits 3 to 7 are carried along
  int32_t field = 0;      // 0 whole frame, 1 and 2 the single fields
  int16_t bit_depth = 8;  // host depth code: 8, 16 or 32
};
