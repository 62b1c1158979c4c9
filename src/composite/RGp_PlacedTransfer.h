// The rendering step of a source placed unchanged, shared by the layer
// composite node and a transform node without matrices.
#pragma once

#include "rg/RG_RenderRequest.h"
#include "rghost/M_Geometry.h"
#include "rghost/PF_Transfer.h"

class RG_CheckoutResult;

// Composites visibleSrcRect (output space) of src's pixels into output's
// buffer through PF_TransferRect. src, mask and output are borrowed; a
// nonzero host status is thrown as a `long`.
void RGp_TransferPlaced(const RG_RenderRequest& request, RG_CheckoutResult* src,
                        const M_LRect& visibleSrcRect, PF_MaskWorld* mask,
                        const PF_CompositeModePlus& mode, RG_CheckoutResult* output);
