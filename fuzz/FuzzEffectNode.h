// A host effect node for the graph fuzzer: one input, handled in one of the
// ways the execution contract allows, chosen by its policy bits. It checks
// its input out once or twice (explicit or automatic ids, separate checkout
// groups, a withdrawn second checkout, a forced rect), declares a fresh or an
// in-place output (opaque or not, cleared or not), and at render time reads,
// writes, takes, converts or checks in its input early. An opaque output is
// made opaque for real, so the compositing nodes' culling is exercised.
//
// The node owns nothing but its input reference.
#pragma once

#include <cstdint>

#include "rg/RG_RenderNode.h"

class FuzzEffectNode : public RG_OneInputNode {
 public:
  enum Policy : uint16_t {
    kInPlace = 1,          // output in place on the input's buffer
    kOpaque = 2,           // declare (and make) the output opaque
    kPad = 4,              // ask the input for one pixel more on each side
    kExplicitIds = 8,      // check out with explicit ids 5 and 9
    kSecondCheckout = 16,  // check the input out a second time
    kSkipSecond = 32,      // ... and withdraw that checkout again
    kNewGroup = 64,        // the second checkout opens a checkout group
    kForceRect = 128,      // force the first checkout to the request's rect
    kClearOutput = 256,    // new-world flags bit 0
    kTakeInput = 512,      // take ownership of the input world at render
    kReleaseInput = 1024,  // check the input in once used
    kCoerce = 2048,        // convert the input to another depth and back
    kNextCheckout = 4096,  // fetch checkouts with GetNextCheckout
    kNodeData = 8192,      // return node data from PreRender
  };

  FuzzEffectNode(RG_RenderNode* input, uint16_t policy);
  ~FuzzEffectNode() override;

  RG_NodeData* PreRender(RG_NodePreRenderCB* cb, const RG_RenderRequest& request) const override;
  void Render(RG_NodeRenderCB* cb, const RG_RenderRequest& request,
              const RG_NodeData* data) const override;

 private:
  uint16_t policy_;
};
