// Smallest graphs, found by the differential test, in which one node's
// result serving several consumers changes pixels. Each is checked against
// the reference evaluator.
#include <gtest/gtest.h>

#include "proof/ProofHarness.h"
#include "support/LeakCheck.h"

namespace {

class BufferSharingTest : public LeakCheckTest {
 protected:
  static ProofNodeDesc Source(const M_LRect& bounds, uint32_t seed) {
    ProofNodeDesc n;
    n.kind = ProofKind::kSource;
    n.bounds = bounds;
    n.pixel_seed = seed;
    return n;
  }
  static ProofNodeDesc Composite(int src, int dest, int mask, long maskMode) {
    ProofNodeDesc n;
    n.kind = ProofKind::kComposite;
    n.inputs[0] = src;
    n.inputs[1] = dest;
    n.inputs[2] = mask;
    n.mask_mode = maskMode;
    return n;
  }
  static ProofNodeDesc OneInput(ProofKind kind, int input) {
    ProofNodeDesc n;
    n.kind = kind;
    n.inputs[0] = input;
    return n;
  }
  static ProofGraphDesc Graph(std::vector<ProofNodeDesc> nodes, const M_LRect& rect) {
    ProofGraphDesc g;
    g.nodes = std::move(nodes);
    g.root = static_cast<int>(g.nodes.size()) - 1;
    g.request.rect = rect;
    g.request.bit_depth = 8;
    return g;
  }
};

// N is read through a view (the root's mask, rendered first) and then handed
// as the buffer itself to its last consumer, which inverts it in place while
// the view is still in use: the mask sees inverted pixels.
TEST_F(BufferSharingTest, InPlaceLastConsumerMustNotChangeAViewStillInUse) {
  const M_LRect r{0, 0, 16, 16};
  ProofNodeDesc crop = OneInput(ProofKind::kCrop, 0);
  crop.keep = crop.extent = r;  // a buffer of the library's own, not a locked view
  ProofGraphDesc g = Graph(
      {Source(r, 7), crop, OneInput(ProofKind::kInvert, 1), Composite(2, -1, 1, PF_MASK_LUMA)}, r);
  for (ProofForm form : {ProofForm::kNewWorld, ProofForm::kDestination}) {
    g.form = form;
    g.dest_rect = r;
    EXPECT_EQ(ProofCheckGraph(g), "");
  }
}

// Into the caller's buffer: the root works in place on S, so S's buffer is
// placed in the destination; the root, served first while X still needs S,
// must not be given that same memory for its own output, or X's in-place
// composite lands in the root's output before the root composites X over it.
TEST_F(BufferSharingTest, DestinationOutputMustNotAliasABufferOthersStillUse) {
  const M_LRect r{0, 0, 16, 16};
  ProofGraphDesc g = Graph({Source(r, 3), Source(M_LRect{4, 4, 12, 12}, 5), Composite(1, 0, -1, 0),
                            Composite(2, 0, -1, 0)},
                           r);
  g.form = ProofForm::kNewWorld;
  EXPECT_EQ(ProofCheckGraph(g), "");
  g.form = ProofForm::kDestination;
  g.dest_rect = r;
  EXPECT_EQ(ProofCheckGraph(g), "");
}

}  // namespace
