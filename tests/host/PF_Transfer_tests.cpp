// The compositing kernels: PF_TransferRect and PF_TransformWorld against a
// double-precision oracle and reference sampler, their errors, aborts and
// threads; and every vector target against the portable fallback, byte for byte.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <new>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "../../host/src/PF_KernelRows.h"
#include "PF_Transfer_oracle.h"
#include "rghost/U_Errors.h"
#include "rghost/U_Services.h"
#include "support/LeakCheck.h"
#include "support/Matrices.h"

using oracle::Px;
using oracle::WorldPtr;

namespace {

const short kDepths[] = {8, 16, 32};

// A copy of a layer in exact-size plain memory: any access past its pixels
// is caught by the address sanitizer.
struct TightLayer {
  explicit TightLayer(const PF_LayerDef& from) : layer(from) {
    layer.rowbytes = static_cast<long>(from.width * PF_BytesPerPixel(from.depth));
    memory.resize(static_cast<size_t>(layer.rowbytes * from.height));
    layer.data = memory.data();
    for (int32_t y = 0; y < from.height; ++y)
      std::memcpy(oracle::At(layer, 0, y), oracle::At(from, 0, y), size_t(layer.rowbytes));
  }
  std::vector<char> memory;
  PF_LayerDef layer;
};

// The whole of src onto dst, its top left corner at (x, y).
long Transfer(PF_LayerDef& src, const PF_CompositeModePlus& mode, PF_MaskWorld* mask,
              PF_LayerDef& dst, PF_ProgressInfo* progress = nullptr, long x = 0, long y = 0) {
  return PF_TransferRect(progress, 1, 1, 0, nullptr, &src, &mode, 0, mask, x, y, &dst);
}
PF_CompositeModePlus Mode(int m, float opacity = 1, uint8_t bound = 0, int32_t seed = 0) {
  return {m, bound, 0, opacity, seed};
}

Px Add(Px a, const Px& b, double w) {
  for (int i = 0; i < 4; ++i) a[i] += b[i] * w;
  return a;
}

// Reference sample of src at source point (u, v): pixel (i, j) covers
// [i, i+1) x [j, j+1); transparent outside.
Px Sample(const PF_LayerDef& src, double u, double v, bool bilinear) {
  auto texel = [&](long i, long j) {
    return (i < 0 || j < 0 || i >= src.width || j >= src.height) ? Px{} : oracle::Get(src, i, j);
  };
  if (!bilinear) return (u < 0 || v < 0) ? Px{} : texel(long(std::floor(u)), long(std::floor(v)));
  const double fx = u - 0.5, fy = v - 0.5;
  const long i = long(std::floor(fx)), j = long(std::floor(fy));
  const double tx = fx - i, ty = fy - j;
  const Px top = Add(Add({}, texel(i, j), (1 - tx) * (1 - ty)), texel(i + 1, j), tx * (1 - ty));
  return Add(Add(top, texel(i, j + 1), (1 - tx) * ty), texel(i + 1, j + 1), tx * ty);
}

// The averaged sample at destination pixel (x, y) for source-to-destination
// matrices.
Px ReferenceSample(const PF_LayerDef& src, const std::vector<M_Matrix3>& toDst, long x, long y,
                   bool bilinear) {
  Px sum{};
  for (M_Matrix3 m : toDst) {
    if (m.InvertQuiet()) continue;  // singular: transparent
    double u = 0, v = 0;
    m.TransformPoint(x + 0.5, y + 0.5, &u, &v);
    sum = Add(sum, Sample(src, u, v, bilinear), 1.0 / double(toDst.size()));
  }
  return sum;
}

class TransferTest : public LeakCheckTest {
 protected:
  WorldPtr Random(int32_t w, int32_t h, short depth, bool opaque = false) {
    return oracle::Random(w, h, depth, rng_, opaque);
  }
  static long Transform(long quality, long field, const PF_LayerDef& src,
                        const PF_CompositeModePlus& mode, PF_MaskWorld* mask,
                        const std::vector<M_Matrix3>& matrices, bool srcToDst, const M_LRect& r,
                        PF_LayerDef* dst) {
    return PF_TransformWorld(nullptr, quality, 1, field, const_cast<PF_LayerDef*>(&src), &mode, 0,
                             mask, matrices.data(), long(matrices.size()), srcToDst, &r, dst);
  }

  // Transforms src through toDst onto a copy of before and checks every pixel
  // against the reference sampler and the compositing oracle.
  void CheckAgainstReference(const PF_World& src, const PF_World& before,
                             const PF_CompositeModePlus& mode, PF_MaskWorld* mask,
                             const std::vector<M_Matrix3>& toDst, long quality, long field,
                             const M_LRect& r) {
    auto run = [&](const std::vector<M_Matrix3>& matrices, bool srcToDst) {
      oracle::WorldPtr dst = oracle::Clone(before);
      EXPECT_EQ(Transform(quality, field, src, mode, mask, matrices, srcToDst, r, dst.get()), 0);
      return dst;
    };
    // The inverses read as destination-to-source place the same pixels.
    std::vector<M_Matrix3> toSrc = toDst;
    for (M_Matrix3& m : toSrc) m.InvertQuiet();
    const oracle::WorldPtr dst = run(toDst, true), viaInverse = run(toSrc, false);
    oracle::ExpectSamePixels(*viaInverse, *dst);
    oracle::CheckComposite(before, *dst, mode, mask, oracle::Tolerance(dst->depth) + 1e-6,
                           [&](long x, long y, Px* s) {
                             if (x < r.left || x >= r.right || y < r.top || y >= r.bottom ||
                                 (field != 0 && y % 2 != field - 1))
                               return false;
                             *s = ReferenceSample(src, toDst, x, y, quality != 0);
                             return true;
                           });
  }

  std::mt19937 rng_{1234};
};
class TransformTest : public TransferTest {};

// Every pair of source alpha and destination value through the 8-bit
// normal loops on every vector target, with their scalar tails:
// cs + cb * (255 - as) / 255, rounded to nearest and clamped at 255.
TEST_F(TransferTest, EightBitNormalMustBeExactForEveryAlphaAndDestination) {
  WorldPtr src = oracle::MakeWorld(256, 256, 8), before = oracle::MakeWorld(256, 256, 8);
  auto cell = [](const WorldPtr& w, int x, int y) {
    return reinterpret_cast<uint8_t*>(oracle::At(*w, x, y));
  };
  // Column: source alpha; row: destination value. Green is not
  // premultiplied and lies over full green, so the clamp is exercised too.
  for (int y = 0; y < 256; ++y)
    for (int x = 0; x < 256; ++x) {
      const uint8_t a = uint8_t(x), b = uint8_t(y);
      *reinterpret_cast<PF_RGBA8*>(cell(src, x, y)) = {std::min(a, b), b, uint8_t(a / 2), a};
      *reinterpret_cast<PF_RGBA8*>(cell(before, x, y)) = {b, 255, a, b};
    }
  // Starting at column 1 leaves a scalar tail after the vector groups.
  oracle::OnEveryTarget([&] {
    for (int left : {0, 1}) {
      WorldPtr out = oracle::Clone(*before);
      const M_LRect area{left, 0, 256, 256};
      const PF_CompositeModePlus mode;
      ASSERT_EQ(PF_TransferRect(nullptr, 1, 1, 0, &area, src.get(), &mode, 0, nullptr, left, 0,
                                out.get()),
                0);
      for (int y = 0; y < 256; ++y) {
        for (int x = left; x < 256; ++x) {
          const uint8_t *s = cell(src, x, y), *d = cell(before, x, y), *o = cell(out, x, y);
          for (int c = 0; c < 4; ++c)  // red, green, blue, alpha
            ASSERT_EQ(o[c], std::min(255, s[c] + (2 * d[c] * (255 - s[3]) + 255) / 510))
                << x << "," << y << " channel " << c;
        }
      }
    }
  });
}

// Normal at full strength without a mask has loops of its own; a mask that
// covers everything sends the same pixels through the general loop. Both
// must agree to the bit, as copy substitution relies on, and an opaque
// source in copy or normal mode must come out exactly as it went in.
TEST_F(TransferTest, PlainNormalLoopsMustEqualTheGeneralLoopAndCopyOpaqueSourcesExactly) {
  for (short depth : kDepths) {
    SCOPED_TRACE(depth);
    WorldPtr src = Random(37, 5, depth), dst = Random(37, 5, depth);
    WorldPtr opaque = Random(37, 5, depth, true);
    // Some opaque and some transparent source pixels among the random ones.
    const M_LRect strip{0, 1, 37, 2};
    src->CopyPixels(opaque.get(), &strip, 0, 1);
    src->ClearOutside(M_LRect{0, 0, 37, 4});
    // Outside its buffer an inverted kind covers fully.
    WorldPtr maskPixels = oracle::MakeWorld(1, 1, depth);
    PF_MaskWorld everywhere{*maskPixels, -100, 0, PF_MASK_INVERTED_ALPHA};
    WorldPtr plain = oracle::Clone(*dst), general = oracle::Clone(*dst);
    ASSERT_EQ(Transfer(*src, Mode(PF_BLEND_NORMAL), nullptr, *plain), 0);
    ASSERT_EQ(Transfer(*src, Mode(PF_BLEND_NORMAL), &everywhere, *general), 0);
    oracle::ExpectSamePixels(*plain, *general);
    for (int m : {PF_BLEND_COPY, PF_BLEND_NORMAL}) {
      WorldPtr out = oracle::Clone(*dst);
      ASSERT_EQ(Transfer(*opaque, Mode(m), nullptr, *out), 0);
      oracle::ExpectSamePixels(*out, *opaque);
    }
    // A source one pixel right within the destination's own buffer gives what
    // a copy of it gives, at full strength and at half: each of its pixels is
    // read before it is written.
    for (float opacity : {1.0f, 0.5f}) {
      WorldPtr inPlace = oracle::Clone(*src), fromCopy = oracle::Clone(*src);
      WorldPtr right(PF_World::NewReference(inPlace.get(), M_LRect{1, 0, 37, 5}));
      const PF_CompositeModePlus mode = Mode(PF_BLEND_NORMAL, opacity);
      ASSERT_EQ(Transfer(*oracle::Clone(*right), mode, nullptr, *fromCopy), 0);
      ASSERT_EQ(Transfer(*right, mode, nullptr, *inPlace), 0);
      oracle::ExpectSamePixels(*inPlace, *fromCopy);
    }
  }
}

// Float pixels are not clamped, but the adding modes must not push alpha
// past 1 from nominal inputs (the other modes' 1 - alpha weights would turn
// negative), and over a transparent destination must give the source
// exactly, also an alpha above 1.
TEST_F(TransferTest, AddingModesMustBoundAlphaAndStayCopiesOverTransparent) {
  WorldPtr src = oracle::MakeWorld(2, 1, 32);
  oracle::Set(*src, 0, 0, {0.5, 0.6, 0.7, 0.8});
  oracle::Set(*src, 1, 0, {1.2, 0.3, 0.9, 1.5});  // out of range, as an HDR source may be
  for (int m : {PF_BLEND_ADD, PF_BLEND_ALPHA_ADD}) {
    SCOPED_TRACE(m);
    WorldPtr onto = oracle::Clone(*src), fresh = oracle::MakeWorld(2, 1, 32);
    ASSERT_EQ(Transfer(*src, Mode(m), nullptr, *onto), 0);
    ASSERT_EQ(Transfer(*src, Mode(m), nullptr, *fresh), 0);
    EXPECT_EQ(oracle::Get(*onto, 0, 0)[3], 1.0);  // 0.8 + 0.8, bounded
    EXPECT_EQ(oracle::Get(*onto, 1, 0)[3], 1.5);  // bounded by the larger input, itself above 1
    oracle::ExpectSamePixels(*fresh, *src);
  }
}

// Rects and offsets reaching past either buffer, and fields, which count
// destination rows, in exact-size buffers.
TEST_F(TransferTest, PlacementsMustClipToBothBuffersAndFieldsWriteOnlyTheirRows) {
  const struct {
    M_LRect r;
    long destX, destY, field;
  } cases[] = {{{-3, -2, 9, 8}, -2, -4, 0}, {{1, 1, 6, 5}, 4, 3, 0},  {{0, 0, 6, 5}, -5, 5, 1},
               {{2, 0, 20, 20}, 0, -1, 2},  {{0, 0, 6, 5}, 1, -1, 1}, {{0, 0, 6, 5}, 1, 0, 2},
               {{0, 0, 6, 5}, 1, 3, 1}};
  for (short depth : kDepths) {
    WorldPtr src = Random(6, 5, depth), before = Random(7, 6, depth);
    for (const auto& [r, destX, destY, field] : cases) {
      const PF_CompositeModePlus mode = Mode(field == 0 ? PF_BLEND_DIFFERENCE : PF_BLEND_SCREEN);
      TightLayer tightSrc(*src), dst(*before);
      ASSERT_EQ(PF_TransferRect(nullptr, 1, 1, field, &r, &tightSrc.layer, &mode, 0, nullptr, destX,
                                destY, &dst.layer),
                0);
      oracle::CheckComposite(
          *before, dst.layer, mode, nullptr, oracle::Tolerance(depth), [&](long x, long y, Px* s) {
            const long sx = x - destX + r.left, sy = y - destY + r.top;
            if (sx < std::max(r.left, 0) || sx >= std::min(r.right, 6) || sy < std::max(r.top, 0) ||
                sy >= std::min(r.bottom, 5) || (field != 0 && y % 2 != field - 1))
              return false;
            *s = oracle::Get(*src, sx, sy);
            return true;
          });
    }
  }
}

// Both kernels: bad parameters are refused, nothing to do is no error, and
// an injected failure or an abort is returned; none of these writes a pixel.
TEST_F(TransferTest, BadParametersMustBeRefusedBeforeAnyPixelIsWritten) {
  WorldPtr src = Random(4, 4, 8, true), dst = oracle::MakeWorld(4, 4, 8);
  WorldPtr dst16 = oracle::MakeWorld(4, 4, 16);
  const M_Matrix3 id, shift = ProofShift(0.3, 0.2);
  const M_LRect all{0, 0, 4, 4};
  const PF_CompositeModePlus normal, bad[] = {Mode(-1), Mode(22), Mode(99)};
  // An abort at the first poll is returned before any row is written, also
  // by the bilinear resampler.
  PF_ProgressInfo abort{nullptr, [](void*) -> long { return 6060; }};
  PF_LayerDef *s = src.get(), *d = dst.get(), *d16 = dst16.get(), noPixels = *src;
  noPixels.data = nullptr;
  const long kBad = U_ERR_BAD_PARAMETER;
  const struct {
    const char* what;
    long code;
    bool transform;
    PF_LayerDef *src, *dst;
    const PF_CompositeModePlus* mode;
    long x = 0;  // a transfer's destination x, a transform's matrix count
    const M_Matrix3* matrices = nullptr;
    PF_ProgressInfo* progress = nullptr;
    long quality = 0;
    bool inject = false;
    long field = 0;
  } cases[] = {
      {"transfer without mode", kBad, false, s, d, nullptr},
      {"transfer mode -1", kBad, false, s, d, &bad[0]},
      {"transfer mode 22", kBad, false, s, d, &bad[1]},
      {"transfer mode 99", kBad, false, s, d, &bad[2]},
      {"transfer across depths", kBad, false, s, d16, &normal},
      {"transfer without source", 0, false, nullptr, d, &normal},
      {"transfer without destination", 0, false, s, nullptr, &normal},
      {"transfer onto no pixels", 0, false, s, &noPixels, &normal},
      {"transfer wholly outside, never polled", 0, false, s, d, &normal, 4, nullptr, &abort},
      {"transfer failing", 4242, false, s, d, &normal, 0, nullptr, nullptr, 0, true},
      {"transfer aborted", 6060, false, s, d, &normal, 0, nullptr, &abort},
      {"transfer of field 3", kBad, false, s, d, &normal, 0, nullptr, nullptr, 0, false, 3},
      {"transform of no matrices", 0, true, s, d, &normal, 0, &id},
      {"transform of null matrices", 0, true, s, d, &normal, 1},
      {"transform without source", 0, true, nullptr, d, &normal, 1, &id},
      {"transform without destination", 0, true, s, nullptr, &normal, 1, &id},
      {"transform without mode", kBad, true, s, d, nullptr, 1, &id},
      {"transform mode 22", kBad, true, s, d, &bad[1], 1, &id},
      {"transform across depths", kBad, true, s, d16, &normal, 1, &id},
      {"transform of field 3", kBad, true, s, d, &normal, 1, &id, nullptr, 0, false, 3},
      {"transform failing", 4242, true, s, d, &normal, 1, &id, nullptr, 0, true},
      {"transform of a source without pixels", 0, true, &noPixels, d, &normal, 1, &shift, nullptr,
       1},
      {"transform onto no pixels", 0, true, s, &noPixels, &normal, 1, &id},
      {"bilinear transform aborted", 6060, true, s, d, &normal, 1, &shift, &abort, 1},
  };
  for (const auto& c : cases) {
    if (c.inject) U_InjectFailure(0, 4242);
    EXPECT_EQ(c.transform ? PF_TransformWorld(c.progress, c.quality, 1, c.field, c.src, c.mode, 0,
                                              nullptr, c.matrices, c.x, true, &all, c.dst)
                          : PF_TransferRect(c.progress, 1, 1, c.field, &all, c.src, c.mode, 0,
                                            nullptr, c.x, 0, c.dst),
              c.code)
        << c.what;
  }
  oracle::ExpectSamePixels(*dst, *oracle::MakeWorld(4, 4, 8));
  oracle::ExpectSamePixels(*dst16, *oracle::MakeWorld(4, 4, 16));
}

// Records the rows begun at each poll and returns `code` at call
// `failOnCall`. Each poll dawdles, so helper threads run ahead as far as the
// kernel lets them.
struct AbortProbe {
  std::vector<long> begun;
  long failOnCall = -1;
  std::thread::id caller = std::this_thread::get_id();
  bool otherThread = false;
  static long Progress(void* context, long current, long /*total*/) {
    auto* self = static_cast<AbortProbe*>(context);
    self->otherThread |= std::this_thread::get_id() != self->caller;
    self->begun.push_back(current);
    std::this_thread::sleep_for(std::chrono::microseconds(300));
    return static_cast<long>(self->begun.size()) == self->failOnCall ? 5150 : 0;
  }
};

// However the threads are scheduled, the calling thread polls before the
// first row and again before 32 rows per thread more have begun, and after
// an abort as many rows as had begun by then are written, each whole.
TEST_F(TransferTest, AbortMustBePolledOnTheCallingThreadWithinABoundOfRows) {
  constexpr long kRows = 400;
  // Normal, and the source is opaque: rows are copied.
  WorldPtr src = Random(400, kRows, 8, true), before = Random(400, kRows, 8);
  for (int threads : {1, 2, 3}) {
    SCOPED_TRACE(testing::Message() << "threads " << threads);
    oracle::ThreadCountScope scope(threads);
    const long bound = 32 * threads;
    for (long failOnCall : {-1L, 3L}) {
      WorldPtr dst = oracle::Clone(*before);
      AbortProbe probe;
      probe.failOnCall = failOnCall;
      PF_ProgressInfo progress{&probe, nullptr, &AbortProbe::Progress};
      EXPECT_EQ(Transfer(*src, Mode(PF_BLEND_NORMAL), nullptr, *dst, &progress),
                failOnCall < 0 ? 0 : 5150);
      EXPECT_FALSE(probe.otherThread);
      ASSERT_FALSE(probe.begun.empty());
      EXPECT_EQ(probe.begun.front(), 0);
      for (size_t k = 1; k < probe.begun.size(); ++k)
        EXPECT_LE(probe.begun[k] - probe.begun[k - 1], bound) << "poll " << k;
      if (failOnCall < 0) {
        // The last poll still has rows to do: a job does not poll once it is done.
        EXPECT_TRUE(probe.begun.back() < kRows && kRows - probe.begun.back() <= bound);
        continue;
      }
      ASSERT_EQ(static_cast<long>(probe.begun.size()), failOnCall) << "polled after the abort";
      long written = 0;
      for (long y = 0; y < kRows; ++y) {
        const bool done = std::memcmp(oracle::At(*dst, 0, y), oracle::At(*src, 0, y), 1600) == 0;
        written += done;
        ASSERT_TRUE(done ||
                    std::memcmp(oracle::At(*dst, 0, y), oracle::At(*before, 0, y), 1600) == 0)
            << "row " << y;
      }
      EXPECT_EQ(written, probe.begun.back());
    }
  }
  // A host callback may throw: the helpers stop and are waited for, and the
  // exception reaches the caller, from the first poll (the calling thread's
  // before its first chunk of rows, however fast a helper takes the others).
  oracle::ThreadCountScope scope(2);
  int calls = 0;
  PF_ProgressInfo progress{&calls, [](void* context) -> long {
                             if (++*static_cast<int*>(context) == 1) throw std::string("stop");
                             return 0;
                           }};
  WorldPtr dst = oracle::Clone(*before);
  EXPECT_THROW(Transfer(*src, Mode(PF_BLEND_NORMAL), nullptr, *dst, &progress), std::string);
  EXPECT_EQ(calls, 1);
}

// Both kernels, with a mask, on rows split across threads.
TEST_F(TransferTest, ResultsMustNotDependOnTheThreadCount) {
  const double c = std::cos(-0.3), s = std::sin(-0.3);
  const M_Matrix3 toDst[2] = {ProofAffine(c, s, -s, c, 40.5, 60.25),
                              ProofAffine(c, s, -s, c, 42.5, 61.0)};
  const M_LRect area{5, 3, 325, 298};
  for (short depth : kDepths) {
    WorldPtr src = Random(300, 280, depth), dstBefore = Random(330, 300, depth);
    WorldPtr maskPixels = Random(250, 250, 8);
    PF_MaskWorld mask{*maskPixels, 10, 0, PF_MASK_LUMA};
    for (int m : {PF_BLEND_NORMAL, PF_BLEND_DISSOLVE, PF_BLEND_SOFT_LIGHT, PF_BLEND_STENCIL_LUMA}) {
      const PF_CompositeModePlus mode = Mode(m, 0.9f);
      for (bool transform : {false, true}) {
        SCOPED_TRACE(testing::Message()
                     << "mode " << m << " depth " << depth << " transform " << transform);
        WorldPtr results[3];
        for (int threads : {1, 2, 3}) {
          oracle::ThreadCountScope scope(threads);
          results[threads - 1] = oracle::Clone(*dstBefore);
          PF_LayerDef* dst = results[threads - 1].get();
          ASSERT_EQ(transform ? PF_TransformWorld(nullptr, 1, 1, 0, src.get(), &mode, 0, &mask,
                                                  toDst, 2, true, &area, dst)
                              : PF_TransferRect(nullptr, 1, 1, 0, nullptr, src.get(), &mode, 0,
                                                &mask, 5, 7, dst),
                    0);
        }
        oracle::ExpectSamePixels(*results[0], *results[1]);
        oracle::ExpectSamePixels(*results[0], *results[2]);
      }
    }
  }
}

// A progress record that notes the rows handed out at each poll; the first
// poll dawdles, so that the helpers start before any row is handed out.
struct PollRecord {
  std::vector<long> done;
  std::atomic<long> started{0};  // rows the body has begun, which none may outrun
  PF_ProgressInfo info{this, nullptr, [](void* self, long done, long) -> long {
                         auto* record = static_cast<PollRecord*>(self);
                         if (record->done.empty())
                           std::this_thread::sleep_for(std::chrono::milliseconds(20));
                         record->done.push_back(done);
                         EXPECT_LE(record->started.load(), done) << "rows begun, not reported";
                         return 0;
                       }};
};

// However the threads take chunks, each row runs once (a row run twice
// blends twice in place); and between two polls the helpers take no more
// than their grant, however far ahead of the calling thread (whose rows
// dawdle here) they run.
TEST_F(TransferTest, EveryRowMustRunOnceAndHelpersTakeOnlyTheirGrantBetweenPolls) {
  EXPECT_EQ(PF_SetThreadCount(1), 1);  // one thread until the host asks for more
  constexpr long kRows = 1000;
  const std::thread::id caller = std::this_thread::get_id();
  for (int threads : {1, 2, 3}) {
    for (bool polled : {false, true}) {
      oracle::ThreadCountScope scope(threads);
      std::vector<std::atomic<int>> runs(kRows);
      PollRecord polls;
      std::atomic<int> elsewhere{0};
      auto body = [&](long row, PFh_RowScratch&) {
        polls.started.fetch_add(1);
        runs[static_cast<size_t>(row)].fetch_add(1);
        if (std::this_thread::get_id() == caller)
          std::this_thread::sleep_for(std::chrono::microseconds(100));
        else
          elsewhere.fetch_add(1);
      };
      ASSERT_EQ(PFh_RunRows(polled ? &polls.info : nullptr, kRows, 1 << 20, body), 0);
      EXPECT_EQ(threads == 1 ? elsewhere.load() : 0, 0) << "one thread: the caller's alone";
      for (size_t r = 0; r < runs.size(); ++r)
        ASSERT_EQ(runs[r].load(), 1)
            << "row " << r << ", " << threads << " threads, polled " << polled;
      for (size_t k = 1; k < polls.done.size(); ++k)
        EXPECT_LE(polls.done[k] - polls.done[k - 1], 32 * threads) << "poll " << k;
    }
  }
}

// A row body that throws stops the job and its failure reaches the caller
// as a code, wherever it ran: on a helper thread, on the calling thread
// among helpers, or on the calling thread alone. The other thread's rows
// wait for the throw, so that it happens on the thread the case names.
TEST_F(TransferTest, RowBodyThrowingOnAnyThreadMustReturnItsFailureCode) {
  const struct {
    const char* what;
    int threads;
    bool onHelper;
    void (*fail)();
    long code;
  } cases[] = {
      {"code on a helper", 2, true, [] { throw 4711L; }, 4711},
      {"bad_alloc on a helper", 3, true, [] { throw std::bad_alloc(); }, U_ERR_OUT_OF_MEMORY},
      {"other on the caller", 2, false, [] { throw std::runtime_error("x"); }, U_ERR_INTERNAL},
      {"code on the caller alone", 1, false, [] { throw 4712L; }, 4712},
  };
  const std::thread::id caller = std::this_thread::get_id();
  for (const auto& c : cases) {
    oracle::ThreadCountScope scope(c.threads);
    std::atomic<bool> thrown{false};
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    auto body = [&](long, PFh_RowScratch&) {
      if ((std::this_thread::get_id() != caller) == c.onHelper) {
        if (!thrown.exchange(true)) c.fail();
        return;
      }
      while (!thrown && std::chrono::steady_clock::now() < give_up)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    };
    PollRecord slowStart;
    EXPECT_EQ(PFh_RunRows(&slowStart.info, 400, 1 << 20, body), c.code) << c.what;
    EXPECT_TRUE(thrown) << c.what;
  }
}

M_Matrix3 Place(double angle, double sx, double sy, double tx, double ty) {
  const double c = std::cos(angle), s = std::sin(angle);
  return ProofAffine(sx * c, sx * s, -sy * s, sy * c, tx, ty);
}

// Modes, masks, fields and opacity at both qualities over placements that
// rotate and scale, tilt in perspective, average several matrices (one pixel
// apart, and anisotropic), and average a singular matrix in as transparency.
TEST_F(TransformTest, RotatedScaledAndAveragedPlacementsMustMatchTheReference) {
  const std::vector<std::vector<M_Matrix3>> placements = {
      {Place(0.41, 1.3, 1.3, 4.21, -1.37)},
      {M_Matrix3{{1.1, 0.1, 0.012, -0.05, 0.9, -0.02, 3.2, 2.4, 1}}},
      {M_Matrix3{{1, 0, 1.0 / 64, 0, 1, 1.0 / 32, 2, 4, 1.15625}}},  // its inverse ends in 1
      {M_Matrix3{{2.2, 0.2, 0, -0.1, 1.8, 0, 6.42, 4.86, 2}}},       // affine, written with w 2
      {ProofAffine(0.77, 0.0, 0.11, 0.62, 2.3, 3.1),
       ProofAffine(0.77, 0.05, 0.11, 0.62, 3.05, 2.7)},
      {ProofShift(2, 1), ProofShift(3, 1)},
      {ProofShift(2.5, 1), ProofAffine(1, 0, 2, 0, 0, 0)},
      {ProofShift(1.5, 2.5)},                         // nearest samples exactly on all four edges
      {ProofShift(2, 0.25)},                          // bilinear samples on column centres
      {M_Matrix3{{1, 0, -0.01, 0, 1, 0, 0, 0, 1}}}};  // perspective along x alone
  const int modes[] = {PF_BLEND_NORMAL,        PF_BLEND_SCREEN,          PF_BLEND_COLOR,
                       PF_BLEND_STENCIL_ALPHA, PF_BLEND_SILHOUETTE_LUMA, PF_BLEND_BEHIND};
  for (short depth : kDepths) {
    // The source is a view: the pixels around it must never show.
    oracle::WorldPtr whole = Random(14, 12, depth), dstBefore = Random(20, 17, depth);
    oracle::WorldPtr src(PF_World::NewReference(whole.get(), M_LRect{1, 1, 13, 11}));
    oracle::WorldPtr maskPixels = Random(15, 12, 16);
    PF_MaskWorld mask{*maskPixels, 2, 3, PF_MASK_INVERTED_ALPHA};
    for (size_t p = 0; p < placements.size(); ++p)
      for (long quality : {0L, 1L})
        for (int m : modes) {
          SCOPED_TRACE(testing::Message() << "placement " << p << " quality " << quality);
          const bool masked = m == PF_BLEND_NORMAL || m == PF_BLEND_STENCIL_ALPHA;
          CheckAgainstReference(*src, *dstBefore, Mode(m, 0.75f, m == PF_BLEND_SCREEN),
                                masked ? &mask : nullptr, placements[p], quality, m % 3,
                                {1, 2, 19, 16});
        }
    // Dissolve picks pixels by their place in the destination: a whole-pixel
    // placement leaves the same ones as the plain transfer there.
    const PF_CompositeModePlus dissolve = Mode(PF_BLEND_DISSOLVE, 0.5f, 0, 77);
    oracle::WorldPtr placed = oracle::Clone(*dstBefore), moved = oracle::Clone(*dstBefore);
    ASSERT_EQ(Transform(0, 0, *src, dissolve, nullptr, {ProofShift(4, 3)}, true, {0, 0, 20, 17},
                        placed.get()),
              0);
    ASSERT_EQ(Transfer(*src, dissolve, nullptr, *moved, nullptr, 4, 3), 0);
    oracle::ExpectSamePixels(*placed, *moved);
  }
}

// Rows more than 2 GiB apart lie beyond 32-bit gather offsets: such a source
// (reserved, not backed, between its rows) is sampled right from column 0 on,
// along rows wider than the blocks its positions are computed in.
TEST_F(TransformTest, SourceRowsBeyond32BitOffsetsMustBeSampledRight) {
  const long rowbytes = (1L << 30) + 64;
  void* memory = mmap(nullptr, 3 * size_t(rowbytes), PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(memory, MAP_FAILED);
  oracle::WorldPtr src(PF_World::NewBorrowed(memory, 300, 3, rowbytes, 8, 0, 0));
  src->CopyPixels(Random(300, 3, 8).get(), nullptr, 0, 0);
  CheckAgainstReference(*src, *Random(320, 8, 8), {}, nullptr, {Place(0.01, 1, 1, -2.3, 1.6)}, 1, 0,
                        {0, 0, 320, 8});
  src.reset();
  munmap(memory, 3 * size_t(rowbytes));
}

// A source that ends where readable memory ends (an inaccessible page after
// its last row) is sampled along its bottom and right edges without a read
// past it.
TEST_F(TransformTest, SamplesMustNotReadPastTheSourcesLastRow) {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE)), bytes = 24 * 4 * 8;
  auto* memory = static_cast<char*>(
      mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_TRUE(memory != MAP_FAILED && mprotect(memory + page, page, PROT_NONE) == 0);
  oracle::WorldPtr src(PF_World::NewBorrowed(memory + page - bytes, 24, 8, 24 * 4, 8, 0, 0));
  src->CopyPixels(Random(24, 8, 8).get(), nullptr, 0, 0);
  CheckAgainstReference(*src, *Random(40, 20, 8), {}, nullptr, {Place(0.3, 1.1, 1.2, 3.4, 2.7)}, 1,
                        0, {0, 0, 40, 20});
  src.reset();
  munmap(memory, 2 * page);
}

using Output = std::pair<std::string, std::vector<char>>;  // name, bytes

// One output per case, in a fixed order; widths of 37 leave scalar tails
// after the vector groups of every target. Every transfer but dissolve is
// checked against the oracle too: each mode at each depth, bound or not, at
// full or partial opacity, without a mask or through one of each kind,
// smaller than the pixels so that the outside rule matters, of the same
// depth or (when bound) of another.
std::vector<Output> RenderCases() {
  std::mt19937 rng(7);
  std::vector<Output> outputs;
  auto add = [&](const std::string& name, const PF_LayerDef& l) {
    outputs.push_back({"depth " + std::to_string(l.depth) + name, {}});
    for (int32_t y = 0; y < l.height; ++y)
      outputs.back().second.insert(outputs.back().second.end(), oracle::At(l, 0, y),
                                   oracle::At(l, l.width, y));
  };
  for (short depth : {8, 16, 32}) {
    oracle::WorldPtr src = oracle::Random(37, 9, depth, rng);
    oracle::WorldPtr dst = oracle::Random(37, 9, depth, rng);
    oracle::WorldPtr maskPixels = oracle::Random(29, 7, depth, rng);
    oracle::WorldPtr otherMask = oracle::Random(29, 7, depth == 32 ? 8 : depth * 2, rng);
    for (int m = 0; m < PF_BLEND_MODE_COUNT; ++m) {
      for (int variant = 0; variant < 4 * (1 + PF_MASK_KIND_COUNT); ++variant) {
        const PF_CompositeModePlus mode{m, uint8_t(variant % 2), 0, variant / 2 % 2 ? 0.6f : 1.0f};
        PF_MaskWorld mask{variant % 2 ? *otherMask : *maskPixels, 3, 1, variant / 4 - 1};
        PF_MaskWorld* maskOrNone = variant < 4 ? nullptr : &mask;
        oracle::WorldPtr out = oracle::Clone(*dst);
        EXPECT_EQ(PF_TransferRect(nullptr, 1, 1, 0, nullptr, src.get(), &mode, 0, maskOrNone, 0, 0,
                                  out.get()),
                  0);
        if (m != PF_BLEND_DISSOLVE)
          oracle::CheckComposite(*dst, *out, mode, maskOrNone, oracle::Tolerance(depth),
                                 [&](long x, long y, oracle::Px* s) {
                                   *s = oracle::Get(*src, x, y);
                                   return true;
                                 });
        add(" mode " + std::to_string(m) + " variant " + std::to_string(variant), *out);
      }
    }
    // A free rotation with a scale, and a sheared mirror image (which puts the
    // source's right edge where vectors start), at both qualities, plain and
    // through a mask, bound to the destination or not; float ones with an
    // infinite right edge, which taps outside the source must skip.
    for (long y = 0; y < 9 && depth == 32; ++y)
      *reinterpret_cast<float*>(oracle::At(*src, 36, y)) = INFINITY;
    const double c = std::cos(0.5) * 0.9, s = std::sin(0.5) * 0.9;
    const M_Matrix3 maps[] = {ProofAffine(c, s, -s, c, 9.3, 2.7),
                              ProofAffine(-1, 0, 0.3, 1, 36.6, 0.2)};
    const M_LRect area{0, 0, 37, 9};
    for (int index = 0, variant = 0; index < 4; variant = (variant + 1) % 4, index += !variant) {
      const PF_CompositeModePlus mode =
          Mode(PF_BLEND_NORMAL, variant & 1 ? 0.8f : 1.0f, variant >> 1);
      PF_MaskWorld mask{*maskPixels};
      oracle::WorldPtr out = oracle::Clone(*dst);
      EXPECT_EQ(PF_TransformWorld(nullptr, index % 2, 0, 0, src.get(), &mode, 0,
                                  variant & 1 ? &mask : nullptr, &maps[index / 2], 1, true, &area,
                                  out.get()),
                0);
      add(" transform " + std::to_string(index) + " variant " + std::to_string(variant), *out);
    }
  }
  return outputs;
}

TEST(VectorTargetsTest, EveryModeOnEveryTargetMustMatchTheOracleAndTheScalarLoopsBytes) {
  hwy::SetSupportedTargetsForTest(0);
  // Highway numbers better targets with lower bits: the highest set bit is
  // the portable fallback.
  int64_t fallback = hwy::SupportedTargets();
  while (fallback & (fallback - 1)) fallback &= fallback - 1;
  hwy::SetSupportedTargetsForTest(fallback);
  const std::vector<Output> expected = RenderCases();
  oracle::OnEveryTarget([&] {
    const std::vector<Output> got = RenderCases();
    ASSERT_EQ(got.size(), expected.size());
    for (size_t i = 0; i < got.size(); ++i)
      EXPECT_TRUE(got[i].second == expected[i].second) << expected[i].first;
  });
}

}  // namespace
