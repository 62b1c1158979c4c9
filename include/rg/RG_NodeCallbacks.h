// The interfaces through which a node's PreRender and Render talk to the
// traversal. The traversal implements both; nodes never own or delete them.
#pragma once

#include <cstdint>

#include "rg/RG_Export.h"
#include "rg/RG_RenderRequest.h"
#include "rghost/M_Geometry.h"

class RG_CheckoutResult;

// Offered to PreRender. Checkout results returned here are owned by the
// traversal and stay valid until the render pass checks them in.
class RG_API RG_NodePreRenderCB {
 public:
  // Checks out input `index` for `request` under an explicit id (>= 0, unique
  // within the node); pre-renders the input at once.
  virtual RG_CheckoutResult* CheckoutInputWithID(long index, long id,
                                                 const RG_RenderRequest& request) = 0;
  // As above with the next automatic id.
  virtual RG_CheckoutResult* CheckoutInput(long index, const RG_RenderRequest& request) = 0;
  // Declares the node's output: a new buffer of `rect`. outputFlags holds
  // RG_OUTPUT_* bits, newWorldFlags RG_NEW_WORLD_* bits.
  virtual RG_CheckoutResult* RequestOutput(const M_LRect& rect, char outputFlags,
                                           long newWorldFlags) = 0;
  // Declares the node's output as `in`'s own buffer, modified in place.
  virtual void RequestOutputInPlace(RG_CheckoutResult* in, const M_LRect& rect, char outputFlags,
                                    long newWorldFlags) = 0;
  // Input results made afterwards belong to a new checkout group.
  virtual void BeginCheckoutGroup() = 0;

 protected:
  ~RG_NodePreRenderCB() = default;
};

// Offered to Render.
class RG_API RG_NodeRenderCB {
 public:
  // The checkouts one per call, in ascending id order, the output among them.
  // With automatic ids that is the order PreRender made them in: a node that
  // checks out its inputs and then declares its output gets its inputs first,
  // in the order it checked them out, then its output. An in-place output
  // is its input's own entry. Once past the last, the call throws 3.
  virtual RG_CheckoutResult* GetNextCheckout() = 0;
  // The checkout with that id; -1 gives the output result.
  virtual RG_CheckoutResult* GetCheckoutByID(int32_t id) = 0;

 protected:
  ~RG_NodeRenderCB() = default;
};
