// PF_TransferRect and PF_GetTransferFlags against a double-precision oracle
// of every mode at every depth, with opacity, masks, the destination-bound
// flag, fields, clipping, errors, abort and threads.
#include <gtest/gtest.h>

#include <random>
#include <thread>
#include <vector>

#include "PF_Transfer_oracle.h"
#include "rghost/PF_Transfer.h"
#include "rghost/U_Errors.h"
#include "rghost/U_Services.h"
#include "support/LeakCheck.h"

using oracle::Px;

namespace {

const short kDepths[] = {8, 16, 32};

struct Placement {
  M_LRect srcRect{0, 0, 0, 0};
  long destX = 0;
  long destY = 0;
  long field = 0;
};

class TransferTest : public LeakCheckTest {
 protected:
  // Runs PF_TransferRect on copies of src and dst and checks every
  // destination pixel: placed pixels of the field against the oracle, all
  // others unchanged. mask may be null.
  void CheckAgainstOracle(const PF_World& src, const PF_World& dstBefore,
                          const PF_CompositeModePlus& mode, PF_MaskWorld* mask,
                          const Placement& at) {
    const short depth = dstBefore.depth;
    oracle::WorldPtr dst = oracle::MakeWorld(dstBefore.width, dstBefore.height, depth);
    dst->CopyPixels(const_cast<PF_World*>(&dstBefore), nullptr, 0, 0);
    PF_LayerDef srcLayer = src;
    ASSERT_EQ(PF_TransferRect(nullptr, 1, 1, at.field, &at.srcRect, &srcLayer, &mode,
                              mode.mode_ext, mask, at.destX, at.destY, dst.get()),
              0);
    int failures = 0;
    for (int32_t y = 0; y < dst->height && failures < 5; ++y) {
      for (int32_t x = 0; x < dst->width && failures < 5; ++x) {
        const Px before = oracle::Get(dstBefore, x, y);
        const Px got = oracle::Get(*dst, x, y);
        const long sx = x - at.destX + at.srcRect.left;
        const long sy = y - at.destY + at.srcRect.top;
        const bool placed = sx >= std::max(at.srcRect.left, 0) &&
                            sx < std::min(at.srcRect.right, src.width) &&
                            sy >= std::max(at.srcRect.top, 0) &&
                            sy < std::min(at.srcRect.bottom, src.height) &&
                            (at.field == 0 || y % 2 == at.field - 1);
        Px want = before;
        if (placed) {
          double k = mode.opacity;
          if (mask != nullptr) {
            const long mx = x - mask->offset_x;
            const long my = y - mask->offset_y;
            const bool inside = mx >= 0 && my >= 0 && mx < mask->mask.width &&
                                my < mask->mask.height;
            const int kind = mask->what_is_mask;
            k *= inside ? oracle::Coverage(kind, oracle::Get(mask->mask, mx, my))
                        : (kind == PF_MaskKind_INVERTED_ALPHA ||
                           kind == PF_MaskKind_INVERTED_LUMA)
                              ? 1.0
                              : 0.0;
          }
          want = oracle::Quantize(
              oracle::Composite(mode.xfer, oracle::Get(src, sx, sy), k, before,
                                mode.dest_bound != 0),
              depth);
        }
        const bool ok = placed ? oracle::Near(got, want, oracle::Tolerance(depth))
                               : oracle::Same(got, want);
        if (!ok) {
          ++failures;
          ADD_FAILURE() << "mode " << mode.xfer << " depth " << depth << " opacity "
                        << mode.opacity << " bound " << int(mode.dest_bound) << " at (" << x
                        << ", " << y << ") placed " << placed << ": got " << got.r << " "
                        << got.g << " " << got.b << " " << got.a << ", want " << want.r << " "
                        << want.g << " " << want.b << " " << want.a;
        }
      }
    }
  }

  std::mt19937 rng_{1234};
};

TEST_F(TransferTest, FlagsMarkModesThatMayBecomeCopy) {
  for (long m : {0, 1, 2, 4, 5, 8, 12, 13, 16, 21}) EXPECT_EQ(PF_GetTransferFlags(m) & 1, 1) << m;
  for (long m : {3, 17, 18, 19, 20}) EXPECT_EQ(PF_GetTransferFlags(m) & 1, 0) << m;
  for (long m : {-1, 22, 1000}) EXPECT_EQ(PF_GetTransferFlags(m), 0) << m;
}

TEST_F(TransferTest, EveryModeAtEveryDepthMatchesTheOracle) {
  for (short depth : kDepths) {
    oracle::WorldPtr src = oracle::MakeWorld(13, 9, depth);
    oracle::WorldPtr dst = oracle::MakeWorld(17, 11, depth);
    oracle::FillRandom(*src, rng_);
    oracle::FillRandom(*dst, rng_);
    for (int m = 0; m < PF_Xfer_NUM_MODES; ++m) {
      if (m == PF_Xfer_DISSOLVE) continue;
      for (float opacity : {1.0f, 0.6f}) {
        for (uint8_t bound : {0, 1}) {
          PF_CompositeModePlus mode;
          mode.xfer = m;
          mode.opacity = opacity;
          mode.dest_bound = bound;
          CheckAgainstOracle(*src, *dst, mode, nullptr, {{2, 1, 12, 8}, 3, 2, 0});
        }
      }
    }
  }
}

TEST_F(TransferTest, MasksOfEveryKindWithOffsetsAndOtherDepths) {
  const int modes[] = {PF_Xfer_NORMAL, PF_Xfer_MULTIPLY, PF_Xfer_HUE, PF_Xfer_STENCIL_LUMA,
                       PF_Xfer_SILHOUETTE_ALPHA, PF_Xfer_ALPHA_ADD};
  for (short depth : kDepths) {
    oracle::WorldPtr src = oracle::MakeWorld(12, 10, depth);
    oracle::WorldPtr dst = oracle::MakeWorld(14, 12, depth);
    oracle::FillRandom(*src, rng_);
    oracle::FillRandom(*dst, rng_);
    // Masks smaller than the placement so that the outside rule matters,
    // at a depth other than the pixels'.
    const short maskDepth = depth == 8 ? 16 : depth == 16 ? 32 : 8;
    oracle::WorldPtr maskPixels = oracle::MakeWorld(7, 5, maskDepth);
    oracle::FillRandom(*maskPixels, rng_);
    for (int kind = PF_MaskKind_ALPHA; kind <= PF_MaskKind_INVERTED_LUMA; ++kind) {
      PF_MaskWorld mask;
      mask.mask = *maskPixels;
      mask.offset_x = 3 + kind % 2;
      mask.offset_y = kind - 1;
      mask.what_is_mask = kind;
      for (int m : modes) {
        PF_CompositeModePlus mode;
        mode.xfer = m;
        mode.opacity = 0.8f;
        CheckAgainstOracle(*src, *dst, mode, &mask, {{0, 0, 12, 10}, 1, 1, 0});
      }
    }
  }
}

TEST_F(TransferTest, FieldsWriteOnlyTheirRowsOfTheDestination) {
  for (short depth : kDepths) {
    oracle::WorldPtr src = oracle::MakeWorld(8, 9, depth);
    oracle::WorldPtr dst = oracle::MakeWorld(10, 12, depth);
    oracle::FillRandom(*src, rng_);
    oracle::FillRandom(*dst, rng_);
    PF_CompositeModePlus mode;
    mode.xfer = PF_Xfer_SCREEN;
    // Odd and even placements: the field counts destination rows.
    for (long field : {1L, 2L}) {
      for (long destY : {-1L, 0L, 3L}) {
        CheckAgainstOracle(*src, *dst, mode, nullptr, {{0, 0, 8, 9}, 1, destY, field});
      }
    }
  }
}

TEST_F(TransferTest, OpaqueSourceInCopyAndNormalIsCopiedExactly) {
  for (short depth : kDepths) {
    oracle::WorldPtr src = oracle::MakeWorld(9, 7, depth);
    oracle::FillRandom(*src, rng_, /*opaque=*/true);
    for (int m : {PF_Xfer_COPY, PF_Xfer_NORMAL}) {
      oracle::WorldPtr dst = oracle::MakeWorld(9, 7, depth);
      oracle::FillRandom(*dst, rng_);
      PF_CompositeModePlus mode;
      mode.xfer = m;
      ASSERT_EQ(PF_TransferRect(nullptr, 1, 1, 0, nullptr, src.get(), &mode, 0, nullptr, 0, 0,
                                dst.get()),
                0);
      for (int32_t y = 0; y < 7; ++y) {
        for (int32_t x = 0; x < 9; ++x) {
          ASSERT_TRUE(oracle::Same(oracle::Get(*dst, x, y), oracle::Get(*src, x, y)))
              << "depth " << depth << " mode " << m << " at " << x << ", " << y;
        }
      }
    }
  }
}

TEST_F(TransferTest, DissolvePicksSourceAtFullAlphaOrLeavesDestination) {
  for (short depth : kDepths) {
    const int32_t w = 64, h = 64;
    oracle::WorldPtr src = oracle::MakeWorld(w, h, depth);
    // Uniform colour at alpha 0.6, so the pick rate should be 0.6 x opacity.
    for (int32_t y = 0; y < h; ++y)
      for (int32_t x = 0; x < w; ++x) oracle::Set(*src, x, y, {0.3, 0.12, 0.48, 0.6});
    const Px srcPx = oracle::Get(*src, 0, 0);
    const Px full{srcPx.r / srcPx.a, srcPx.g / srcPx.a, srcPx.b / srcPx.a, 1.0};
    oracle::WorldPtr dstBefore = oracle::MakeWorld(w, h, depth);
    oracle::FillRandom(*dstBefore, rng_);

    auto run = [&](float opacity, int32_t seed, uint8_t bound) {
      oracle::WorldPtr dst = oracle::MakeWorld(w, h, depth);
      dst->CopyPixels(dstBefore.get(), nullptr, 0, 0);
      PF_CompositeModePlus mode;
      mode.xfer = PF_Xfer_DISSOLVE;
      mode.opacity = opacity;
      mode.rand_seed = seed;
      mode.dest_bound = bound;
      EXPECT_EQ(PF_TransferRect(nullptr, 1, 1, 0, nullptr, src.get(), &mode, 0, nullptr, 0, 0,
                                dst.get()),
                0);
      // 1: the source was picked, 0: the destination stayed, -1: cannot tell.
      std::vector<int> picked(static_cast<size_t>(w * h));
      for (int32_t y = 0; y < h; ++y) {
        for (int32_t x = 0; x < w; ++x) {
          const Px before = oracle::Get(*dstBefore, x, y);
          const Px got = oracle::Get(*dst, x, y);
          const double a = bound ? before.a : 1.0;
          const Px want = oracle::Quantize({full.r * a, full.g * a, full.b * a, a}, depth);
          const bool isSrc = oracle::Near(got, want, oracle::Tolerance(depth));
          const bool isDst = oracle::Same(got, before);
          EXPECT_TRUE(isSrc || isDst) << "depth " << depth << " at " << x << ", " << y;
          picked[static_cast<size_t>(y * w + x)] = isSrc && isDst ? -1 : isSrc ? 1 : 0;
        }
      }
      return picked;
    };
    auto rate = [](const std::vector<int>& p) {
      return static_cast<double>(std::count(p.begin(), p.end(), 1)) / p.size();
    };
    const auto half = run(0.5f, 7, 0);
    const auto full1 = run(1.0f, 7, 0);
    EXPECT_NEAR(rate(half), 0.3, 0.04);
    EXPECT_NEAR(rate(full1), 0.6, 0.04);
    // One threshold per pixel: what a weaker layer picks, a stronger one does
    // too; bound to the destination the same pixels are picked.
    const auto bound = run(1.0f, 7, 1);
    for (size_t i = 0; i < half.size(); ++i) {
      if (half[i] == 1) {
        EXPECT_EQ(full1[i], 1) << i;
      }
      if (bound[i] != -1) {
        EXPECT_EQ(bound[i], full1[i]) << i;
      }
    }
    EXPECT_EQ(run(1.0f, 7, 0), full1) << "not deterministic";
    EXPECT_NE(run(1.0f, 8, 0), full1) << "seed ignored";
  }
}

TEST_F(TransferTest, ClipsToBothBuffersWithoutTouchingAnythingElse) {
  // Exact-size buffers in plain memory, so that any stray access is caught by
  // the address sanitizer and any stray write by the comparison.
  for (short depth : kDepths) {
    oracle::WorldPtr srcW = oracle::MakeWorld(6, 5, depth);
    oracle::WorldPtr dstW = oracle::MakeWorld(7, 6, depth);
    oracle::FillRandom(*srcW, rng_);
    oracle::FillRandom(*dstW, rng_);
    const size_t bpp = PF_BytesPerPixel(depth);
    std::vector<char> srcMem(6 * 5 * bpp), dstMem(7 * 6 * bpp);
    PF_LayerDef src;
    src.width = 6, src.height = 5, src.rowbytes = static_cast<long>(6 * bpp);
    src.data = srcMem.data(), src.depth = depth;
    PF_LayerDef dst;
    dst.width = 7, dst.height = 6, dst.rowbytes = static_cast<long>(7 * bpp);
    dst.data = dstMem.data(), dst.depth = depth;
    for (int32_t y = 0; y < 5; ++y)
      for (int32_t x = 0; x < 6; ++x) oracle::Set(src, x, y, oracle::Get(*srcW, x, y));
    PF_CompositeModePlus mode;
    mode.xfer = PF_Xfer_DIFFERENCE;
    const Placement cases[] = {{{-3, -2, 9, 8}, -2, -4, 0},
                               {{1, 1, 6, 5}, 4, 3, 0},
                               {{0, 0, 6, 5}, -5, 5, 1},
                               {{2, 0, 20, 20}, 0, -1, 2}};
    for (const Placement& at : cases) {
      for (int32_t y = 0; y < 6; ++y)
        for (int32_t x = 0; x < 7; ++x) oracle::Set(dst, x, y, oracle::Get(*dstW, x, y));
      ASSERT_EQ(PF_TransferRect(nullptr, 1, 1, at.field, &at.srcRect, &src, &mode, 0, nullptr,
                                at.destX, at.destY, &dst),
                0);
      for (int32_t y = 0; y < 6; ++y) {
        for (int32_t x = 0; x < 7; ++x) {
          const long sx = x - at.destX + at.srcRect.left, sy = y - at.destY + at.srcRect.top;
          const bool placed = sx >= std::max(at.srcRect.left, 0) && sy >= std::max(at.srcRect.top, 0) &&
                              sx < std::min(at.srcRect.right, 6) &&
                              sy < std::min(at.srcRect.bottom, 5) &&
                              (at.field == 0 || y % 2 == at.field - 1);
          const Px before = oracle::Get(*dstW, x, y);
          const Px want = placed ? oracle::Quantize(oracle::Composite(mode.xfer,
                                                                      oracle::Get(src, sx, sy),
                                                                      1.0, before, false),
                                                    depth)
                                 : before;
          EXPECT_TRUE(oracle::Near(oracle::Get(dst, x, y), want, oracle::Tolerance(depth)))
              << "depth " << depth << " at " << x << ", " << y << " placed " << placed;
        }
      }
    }
  }
}

TEST_F(TransferTest, BadParametersAndNothingToDo) {
  oracle::WorldPtr src = oracle::MakeWorld(4, 4, 8);
  oracle::WorldPtr dst = oracle::MakeWorld(4, 4, 8);
  oracle::WorldPtr dst16 = oracle::MakeWorld(4, 4, 16);
  oracle::FillRandom(*src, rng_, true);
  PF_CompositeModePlus mode;
  const M_LRect all{0, 0, 4, 4};
  EXPECT_EQ(PF_TransferRect(nullptr, 1, 1, 0, &all, src.get(), nullptr, 0, nullptr, 0, 0,
                            dst.get()),
            U_ERR_BAD_PARAMETER);
  for (int32_t bad : {-1, 22, 99}) {
    mode.xfer = bad;
    EXPECT_EQ(PF_TransferRect(nullptr, 1, 1, 0, &all, src.get(), &mode, 0, nullptr, 0, 0,
                              dst.get()),
              U_ERR_BAD_PARAMETER);
  }
  mode.xfer = PF_Xfer_NORMAL;
  EXPECT_EQ(PF_TransferRect(nullptr, 1, 1, 0, &all, src.get(), &mode, 0, nullptr, 0, 0,
                            dst16.get()),
            U_ERR_BAD_PARAMETER);
  EXPECT_EQ(PF_TransferRect(nullptr, 1, 1, 0, &all, nullptr, &mode, 0, nullptr, 0, 0, dst.get()),
            0);
  EXPECT_EQ(PF_TransferRect(nullptr, 1, 1, 0, &all, src.get(), &mode, 0, nullptr, 0, 0, nullptr),
            0);
  // Placed wholly outside: nothing written.
  EXPECT_EQ(PF_TransferRect(nullptr, 1, 1, 0, &all, src.get(), &mode, 0, nullptr, 4, 0,
                            dst.get()),
            0);
  for (int32_t y = 0; y < 4; ++y)
    for (int32_t x = 0; x < 4; ++x) EXPECT_TRUE(oracle::Same(oracle::Get(*dst, x, y), {}));

  U_InjectFailure(0, 4242);
  EXPECT_EQ(PF_TransferRect(nullptr, 1, 1, 0, &all, src.get(), &mode, 0, nullptr, 0, 0,
                            dst.get()),
            4242);
  EXPECT_TRUE(oracle::Same(oracle::Get(*dst, 0, 0), {})) << "wrote after an injected failure";
}

struct AbortProbe {
  long calls = 0;
  long failOnCall = -1;  // call number (from 1) that returns the code
  long code = U_ERR_USER_ABORT;
  std::thread::id caller;
  bool otherThread = false;
  static long Abort(void* context) {
    auto* self = static_cast<AbortProbe*>(context);
    ++self->calls;
    if (std::this_thread::get_id() != self->caller) self->otherThread = true;
    return self->calls == self->failOnCall ? self->code : 0;
  }
};

// Restores the thread count a test changes.
struct ThreadCountScope {
  explicit ThreadCountScope(int n) : previous(PF_SetThreadCount(n)) {}
  ~ThreadCountScope() { PF_SetThreadCount(previous); }
  int previous;
};

TEST_F(TransferTest, AbortIsPolledOnTheCallingThreadAndItsCodeReturned) {
  for (int threads : {1, 2}) {
    ThreadCountScope scope(threads);
    oracle::WorldPtr src = oracle::MakeWorld(400, 400, 8);
    oracle::WorldPtr dst = oracle::MakeWorld(400, 400, 8);
    oracle::FillRandom(*src, rng_);
    PF_CompositeModePlus mode;
    mode.xfer = PF_Xfer_MULTIPLY;
    AbortProbe probe;
    probe.caller = std::this_thread::get_id();
    PF_ProgressInfo progress;
    progress.context = &probe;
    progress.abort_cb = &AbortProbe::Abort;
    EXPECT_EQ(PF_TransferRect(&progress, 1, 1, 0, nullptr, src.get(), &mode, 0, nullptr, 0, 0,
                              dst.get()),
              0);
    // Alone, at least once per 16 rows; with a helper thread the calling
    // thread still polls before every chunk of rows it takes.
    EXPECT_GE(probe.calls, threads == 1 ? 400 / 16 : 2) << "threads " << threads;
    EXPECT_FALSE(probe.otherThread);

    AbortProbe stopper;
    stopper.caller = std::this_thread::get_id();
    stopper.failOnCall = 3;
    stopper.code = 5150;
    progress.context = &stopper;
    EXPECT_EQ(PF_TransferRect(&progress, 1, 1, 0, nullptr, src.get(), &mode, 0, nullptr, 0, 0,
                              dst.get()),
              5150);
    EXPECT_EQ(stopper.calls, 3) << "kept polling after the abort";
  }
}

TEST_F(TransferTest, ResultsDoNotDependOnTheThreadCount) {
  for (short depth : kDepths) {
    oracle::WorldPtr src = oracle::MakeWorld(300, 280, depth);
    oracle::WorldPtr dstBefore = oracle::MakeWorld(320, 300, depth);
    oracle::WorldPtr maskPixels = oracle::MakeWorld(250, 250, 8);
    oracle::FillRandom(*src, rng_);
    oracle::FillRandom(*dstBefore, rng_);
    oracle::FillRandom(*maskPixels, rng_);
    PF_MaskWorld mask;
    mask.mask = *maskPixels;
    mask.offset_x = 10;
    mask.what_is_mask = PF_MaskKind_LUMA;
    for (int m : {PF_Xfer_NORMAL, PF_Xfer_DISSOLVE, PF_Xfer_SOFT_LIGHT}) {
      PF_CompositeModePlus mode;
      mode.xfer = m;
      mode.opacity = 0.9f;
      oracle::WorldPtr results[2];
      for (int threads : {1, 2}) {
        ThreadCountScope scope(threads);
        results[threads - 1] = oracle::MakeWorld(320, 300, depth);
        results[threads - 1]->CopyPixels(dstBefore.get(), nullptr, 0, 0);
        ASSERT_EQ(PF_TransferRect(nullptr, 1, 1, 0, nullptr, src.get(), &mode, 0, &mask, 5, 7,
                                  results[threads - 1].get()),
                  0);
      }
      for (int32_t y = 0; y < 300; ++y) {
        for (int32_t x = 0; x < 320; ++x) {
          ASSERT_TRUE(oracle::Same(oracle::Get(*results[0], x, y), oracle::Get(*results[1], x, y)))
              << "mode " << m << " depth " << depth << " at " << x << ", " << y;
        }
      }
    }
  }
}

}  // namespace
