// The composite node replaces a mode by copy (0) when it composites onto a
// fresh, cleared output and the host's transfer flags allow it. That is only
// exact if, over transparent black, every such mode gives what copy gives,
// through masks and partial opacity, at every depth.
#include <gtest/gtest.h>

#include "rghost/PF_Transfer.h"
#include "support/LeakCheck.h"
#include "support/ProofNodes.h"

namespace {

class CopySubstitutionTest : public LeakCheckTest {};

TEST_F(CopySubstitutionTest, ModesAllowedToBecomeCopyGiveCopysPixelsOverTransparent) {
  const M_LRect rect{3, 5, 23, 17};
  for (short depth : {8, 16, 32}) {
    for (uint32_t seed = 1; seed <= 4; ++seed) {
      // Several pixel styles of the generator; the matte is sometimes the source.
      const ProofWorldPtr src = ProofMakeSourceWorld(rect, depth, seed, false);
      const ProofWorldPtr other = ProofMakeSourceWorld(rect, depth, seed + 100, false);
      const PF_World* matte = seed % 2 ? src.get() : other.get();
      for (int transfer_mode = 0; transfer_mode < PF_BLEND_MODE_COUNT; ++transfer_mode) {
        if ((PF_GetTransferFlags(transfer_mode) & 1) == 0) continue;
        for (float opacity : {1.0f, 0.5f, 0.3f}) {
          for (int maskKind = -1; maskKind < 4; ++maskKind) {
            PF_MaskWorld mask;
            if (maskKind >= 0) {
              matte->FillOutEffectWorld(&mask.mask);
              mask.kind = maskKind;
            }
            auto run = [&](int mode) {
              ProofWorldPtr out(PF_World::New(rect, depth, 1));
              PF_CompositeModePlus m;
              m.transfer_mode = mode;
              m.opacity = opacity;
              EXPECT_EQ(PF_TransferRect(nullptr, 1, 1, 0, nullptr, src.get(), &m, 0,
                                        maskKind >= 0 ? &mask : nullptr, 0, 0, out.get()),
                        0);
              return out;
            };
            const ProofWorldPtr asCopy = run(PF_BLEND_COPY);
            const ProofWorldPtr asMode = run(transfer_mode);
            int differing = 0;
            for (int32_t y = rect.top; y < rect.bottom; ++y) {
              for (int32_t x = rect.left; x < rect.right; ++x) {
                for (int c = 0; c < 4; ++c) {
                  differing +=
                      ProofRawChannel(*asCopy, x, y, c) != ProofRawChannel(*asMode, x, y, c);
                }
              }
            }
            EXPECT_EQ(differing, 0) << "mode " << transfer_mode << " depth " << depth << " opacity "
                                    << opacity << " mask kind " << maskKind << " pixels " << seed;
          }
        }
      }
    }
  }
}

}  // namespace
