#include "exec/RGp_RequestRules.h"

#include "frame/RGp_Errors.h"

bool RGp_RequestCovers(const RG_RenderRequest& stored, const RG_RenderRequest& request) {
  // A node renders at one depth per traversal: the first request fixes it,
  // whatever the rects of later ones are.
  if (stored.bit_depth != request.bit_depth) {
    RGp_FailVerification(RGp_LOC_BIT_DEPTH, 319,
                         "All render requests into a node must have the same bit depth");
  }
  // Plain coordinate comparisons: an empty rect placed outside the stored one
  // is not covered, so the node is pre-rendered again.
  const bool rectInside =
      stored.rect.left <= request.rect.left && stored.rect.right >= request.rect.right &&
      stored.rect.top <= request.rect.top && stored.rect.bottom >= request.rect.bottom;
  const bool fieldServed = stored.field == 0 || stored.field == request.field;
  const bool boundsTypeServed = (request.flags & RG_REQUEST_CONTENT_BOUNDS_TYPE1) == 0 ||
                                (stored.flags & RG_REQUEST_CONTENT_BOUNDS_TYPE1) != 0;
  return rectInside && fieldServed && boundsTypeServed;
}

void RGp_MergeRequest(RG_RenderRequest* stored, const RG_RenderRequest& request) {
  const M_LRect& add = request.rect;
  M_LRect& rect = stored->rect;
  if (!M_IsEmpty(add)) {
    if (M_IsEmpty(rect)) {
      rect = add;
    } else {
      if (add.left < rect.left) rect.left = add.left;
      if (add.top < rect.top) rect.top = add.top;
      if (add.right > rect.right) rect.right = add.right;
      if (add.bottom > rect.bottom) rect.bottom = add.bottom;
    }
  }
  if (stored->field != request.field) stored->field = 0;
  stored->flags = static_cast<uint8_t>(stored->flags | request.flags);
}
