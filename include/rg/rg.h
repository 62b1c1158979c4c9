// Everything a host needs of the render-graph library in one include.
#pragma once

#include "rg/RG_CacheNodeBase.h"
#include "rg/RG_CheckoutResult.h"
#include "rg/RG_CompositeNode.h"
#include "rg/RG_CompositeNodeBase.h"
#include "rg/RG_Errors.h"
#include "rg/RG_GraphProfiler.h"
#include "rg/RG_NodeCallbacks.h"
#include "rg/RG_NullNode.h"
#include "rg/RG_RenderNode.h"
#include "rg/RG_RenderRequest.h"
#include "rg/RG_ScRGProfiler.h"
#include "rg/RG_SourceBufferNode.h"
#include "rg/RG_Traverser.h"
#include "rg/RG_Version.h"
#include "rg/RG_XformNode.h"
#include "rghost/rghost.h"
