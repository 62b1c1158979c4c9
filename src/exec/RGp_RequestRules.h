// Covering and merging of render requests: whether a node's stored request
// already serves a new one, and how the two combine when it does not.
#pragma once

#include "rg/RG_RenderRequest.h"

// True when `stored` serves `request`: its rect contains the new rect, its
// field is 0 or the same, and it asks for content-bounds type 1 whenever the
// new one does. Reports and throws 3 when the bit depths differ.
bool RGp_RequestCovers(const RG_RenderRequest& stored, const RG_RenderRequest& request);

// Merges `request` into `stored`: rect union (an empty operand is ignored),
// field 0 when they differ, flags OR-ed. The depth is left alone.
void RGp_MergeRequest(RG_RenderRequest* stored, const RG_RenderRequest& request);
