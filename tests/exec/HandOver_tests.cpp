// What the random-graph proof cannot see of how buffers are handed over:
// checkout operations copy only what other consumers still share, and a
// released checkout drops its lock as the preference says.
#include "exec/ExecTestAccess.h"
#include "exec/RGp_PrefSlot.h"
#include "rg/RG_CompositeNode.h"
#include "rg/RG_NullNode.h"
#include "rg/RG_SourceBufferNode.h"
#include "rghost/PREF_Prefs.h"
#include "support/LeakCheck.h"
#include "support/ProofNodes.h"

namespace {

constexpr PF_RGBA8 kRed{200, 0, 0, 255};
constexpr PF_RGBA8 kClear{0, 0, 0, 0};
constexpr PF_RGBA8 kJunk{9, 9, 9, 9};

long long BytesCopied() { return PF_GetWorldStats().pixel_bytes_copied; }

PF_RGBA8 Inverted(PF_RGBA8 p) {
  return PF_RGBA8{static_cast<uint8_t>(p.alpha - p.red), static_cast<uint8_t>(p.alpha - p.green),
                  static_cast<uint8_t>(p.alpha - p.blue), p.alpha};
}

using E = ProofEffectNode;
RG_RenderNode* Invert(RG_RenderNode* input) { return new E(input, E::kInPlace | E::kInvert); }

// Checks out every input over the request, runs `render` on the checkouts in order and outputs a
// copy of the last input made by hand (the library's copies stay countable).
TestLambdaNode* Reader(std::vector<RG_RenderNode*> inputs,
                       std::function<void(std::vector<RG_CheckoutResult*>&)> render) {
  const size_t n = inputs.size();
  return new TestLambdaNode(
      std::move(inputs),
      [n](RG_NodePreRenderCB* cb, const RG_RenderRequest& r) {
        for (size_t i = 0; i < n; ++i) cb->CheckoutInput(static_cast<long>(i), r);
        cb->RequestOutput(r.rect, 0, 1);
      },
      [n, render](RG_NodeRenderCB* cb) {
        std::vector<RG_CheckoutResult*> in;
        for (size_t i = 0; i <= n; ++i) in.push_back(cb->GetNextCheckout());
        render(in);
        PF_World* out = in.back()->GetOutputWorld();
        const PF_World* last = RGp_CheckoutResultAccess::World(in[n - 1]);  // null once released
        const M_LRect r = last ? M_Intersect(out->GetRect(), last->GetRect()) : M_LRect{};
        for (int32_t y = r.top; y < r.bottom; ++y) {
          for (int32_t x = r.left; x < r.right; ++x)
            *static_cast<PF_RGBA8*>(out->PixelAddress(x - out->origin_x, y - out->origin_y)) =
                TestPixel(last, x, y);
        }
      });
}

// An opaque leaf whose output is a view of `buffer`, kept valid by a lock
// that counts its deletions and notes the worlds alive at the last one.
TestLambdaNode* LockedLeaf(PF_World* buffer, int* deleted, long* worldsAtDelete) {
  struct Lock : RG_BufferLock {
    int* deleted;
    long* worlds;
    Lock(int* d, long* w) : deleted(d), worlds(w) {}
    ~Lock() override { ++*deleted, *worlds = PF_GetWorldStats().live_worlds; }
  };
  return new TestLambdaNode(
      {},
      [buffer](RG_NodePreRenderCB* cb, const RG_RenderRequest& r) {
        cb->RequestOutput(M_Intersect(r.rect, buffer->GetRect()), 1, 0);
      },
      [=](RG_NodeRenderCB* cb) {
        RG_CheckoutResult* out = cb->GetCheckoutByID(-1);
        out->SetOutputWorld(PF_World::NewReference(buffer, out->GetRect()),
                            new Lock(deleted, worldsAtDelete));
      });
}

class HandOverTest : public LeakCheckTest {};

// Each row: a graph over a pattern `leaf` (or a locked `buffer`), run in one
// form; the bytes copied, the leaf's renders and whether the result is a view
// of the buffer with its lock. The result's last pixel is checked too.
TEST_F(HandOverTest, CopiesOnlyWhereSharingIsImpossibleAndRendersOnce) {
  enum Form { kLock, kNoLock, kDest };
  struct Case {
    const char* name;
    std::function<RG_RenderNode*(RG_RenderNode* leaf, RG_RenderNode* buffer)> graph;
    Form form;
    M_LRect request, dest, outRect;
    long long copied;
    bool view, inverted;
  };
  const M_LRect b = TestRect(0, 0, 32, 16), none{};
  const auto source = [](RG_RenderNode*, RG_RenderNode* s) { return s; };
  const Case cases[] = {
      {"lock holder gets a view", source, kLock, TestRect(-5, -5, 20, 10), none,
       TestRect(0, 0, 20, 10), 0, true, false},
      {"no lock holder gets a copy", source, kNoLock, TestRect(-5, -5, 20, 10), none,
       TestRect(0, 0, 20, 10), 20 * 10 * 4, false, false},
      {"a destination gets a copy", source, kDest, TestRect(20, 8, 40, 30), TestRect(16, 0, 48, 40),
       TestRect(20, 8, 32, 16), 12 * 8 * 4, false, false},
      {"pass-throughs pass the view on", [](auto*, auto* s) { return TestInPlace(TestInPlace(s)); },
       kLock, b, none, b, 0, true, false},
      {"a composite over nothing hands its source's view on",
       [](auto*, auto* s) {
         return new RG_CompositeNode(s, ProofMode(PF_BLEND_NORMAL), nullptr, nullptr, 0);
       },
       kLock, b, none, b, 0, true, false},
      {"a writer works on a copy", [](auto*, auto* s) { return Invert(TestInPlace(s)); }, kLock, b,
       none, b, 32 * 16 * 4, false, true},
      {"a pass-through into a destination copies", [](auto*, auto* s) { return TestInPlace(s); },
       kDest, b, b, b, 32 * 16 * 4, false, false},
      {"three in-place writers: two copies, then the buffer",
       [](auto* p, auto*) { return TestOver(Invert(p), TestOver(Invert(p), Invert(p))); }, kNoLock,
       b, none, b, 2 * 32 * 16 * 4, false, true},
      {"three in-place writers into a destination: still two copies",
       [](auto* p, auto*) { return TestOver(Invert(p), TestOver(Invert(p), Invert(p))); }, kDest, b,
       b, b, 2 * 32 * 16 * 4, false, true},
      // The effect's own copy is the only one.
      {"a view dropped early leaves the buffer to the in-place last consumer",
       [](auto* p, auto*) {
         return Reader({new E(p, E::kReleaseInput), Invert(p)}, [](auto& in) {
           in[0]->GetWorld();
           in[1]->GetWorld();
         });
       },
       kNoLock, b, none, b, 32 * 16 * 4, false, true},
      {"a checkout withdrawn at pre-render leaves the buffer to the other",
       [](auto* p, auto*) {
         return new E(p, E::kInPlace | E::kInvert | E::kSecondCheckout | E::kSkipSecond);
       },
       kNoLock, b, none, b, 0, false, true},
      {"a growing consumer enlarges the producer's buffer",
       [](auto* p, auto*) { return TestOver(new E(p, E::kPad), p); }, kNoLock,
       TestRect(2, 2, 30, 14), none, TestRect(2, 2, 30, 14), 28 * 12 * 4, false, false},
      {"leaf and in-place root render straight into the destination",
       [](auto* p, auto*) { return Invert(p); }, kDest, b, b, b, 0, false, true},
      {"an in-place root wider than the destination is moved in once",
       [](auto* p, auto*) { return new E(p, E::kInPlace | E::kPad | E::kInvert); }, kDest,
       TestRect(0, 0, 31, 15), TestRect(0, 0, 31, 15), TestRect(0, 0, 31, 15), 31 * 15 * 4, false,
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<PF_World> buffer(PF_World::New(b, 8, 0));
    TestFillPattern(buffer.get());
    auto* leaf = TestPattern(b);
    U_SharedPtr<RG_RenderNode> keepLeaf(leaf);
    U_SharedPtr<RG_RenderNode> source(new RG_SourceBufferNode(buffer.get()));
    U_SharedPtr<RG_RenderNode> root(c.graph(leaf, source.get()));
    PF_ResetWorldStats();
    TestOutcome out;
    std::unique_ptr<PF_World> dest;
    if (c.form == kDest) {
      dest.reset(TestMakeWorld(c.dest, kJunk));
      RG_ExecuteGraph(root.get(), TestRequest(c.request), c.dest, dest.get(), &out.rect);
    } else {
      out = TestRun(root.get(), TestRequest(c.request), c.form == kLock);
    }
    const PF_World* result = dest ? dest.get() : out.world.get();
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(out.rect, c.outRect);
    if (!dest) {
      EXPECT_EQ(result->GetRect(), c.outRect);
    }
    EXPECT_EQ(BytesCopied(), c.copied);
    EXPECT_LE(leaf->counters.renders, 1);
    EXPECT_EQ(result->RefersTo(buffer.get()), c.view);
    EXPECT_EQ(out.lock != nullptr, c.view);  // the lock goes with the view
    if (c.view) {
      EXPECT_EQ(PF_GetWorldStats().worlds_allocated, 0);
    }
    const int32_t x = c.outRect.right - 1, y = c.outRect.bottom - 1;
    const PF_RGBA8 p = TestPatternAt(x, y);
    EXPECT_TRUE(TestSame(TestPixel(result, x, y), c.inverted ? Inverted(p) : p));
    if (dest) {
      // Cleared inside the request where nothing rendered, untouched outside.
      const M_LRect q = c.request, d = c.dest;
      EXPECT_TRUE(M_Contains(c.outRect, q) ||
                  TestSame(TestPixel(result, q.right - 1, q.bottom - 1), kClear));
      EXPECT_TRUE(M_Contains(q, d) ||
                  TestSame(TestPixel(result, d.right - 1, d.bottom - 1), kJunk));
    }
    // A copy keeps its pixels when the source changes; a view does not.
    TestFill(buffer.get(), kClear);
    EXPECT_EQ(TestSame(TestPixel(result, x, y), c.inverted ? Inverted(p) : p), !c.view);
  }
}

// An in-place output over an input that has nothing to give starts
// transparent, whether the node asked for a cleared buffer or not.
TEST_F(HandOverTest, InPlaceOutputOverAnEmptyInputMustStartTransparent) {
  for (long clear : {0L, long{RG_NEW_WORLD_CLEAR}}) {
    U_SharedPtr<RG_RenderNode> empty(new RG_NullNode);
    PF_RGBA8 seen = kJunk;
    U_SharedPtr<RG_RenderNode> root(new TestLambdaNode(
        {empty.get()},
        [clear](RG_NodePreRenderCB* cb, const RG_RenderRequest& r) {
          cb->RequestOutputInPlace(cb->CheckoutInput(0, r), r.rect, 0, clear);
        },
        [&](RG_NodeRenderCB* cb) {
          seen = TestPixel(cb->GetNextCheckout()->GetOutputWorld(), 3, 3);
        }));
    // A dirty buffer of the same size released first: the next one may be it.
    std::unique_ptr<PF_World>(TestMakeWorld(TestRect(0, 0, 4, 4), kJunk)).reset();
    EXPECT_NE(TestRun(root.get(), TestRect(0, 0, 4, 4)).world, nullptr) << clear;
    EXPECT_TRUE(TestSame(seen, kClear)) << clear;
  }
}

// Check-in deletes the lock by default; with the preference at 0 the lock
// stays until the result dies. The value is read once.
TEST_F(HandOverTest, ReleaseDropsTheLockAsThePreferenceSays) {
  PREF_ResetAll();
  RGp_ReleaseLockPref().Reset();
  int locksDeleted = 0, afterRelease = -1;
  long worlds = 0;
  std::unique_ptr<PF_World> buffer(TestMakeWorld(TestRect(0, 0, 10, 10), kRed));
  U_SharedPtr<RG_RenderNode> root(
      Reader({LockedLeaf(buffer.get(), &locksDeleted, &worlds)}, [&](auto& in) {
        in[0]->GetWorld();
        in[0]->Release();
        afterRelease = locksDeleted;
        EXPECT_EQ(RGp_CheckoutResultAccess::World(in[0]), nullptr);
      }));
  const char* key = "Delete Buffer Lock on KeenFX Checkin";
  for (long pref : {-1L, 0L, 1L}) {
    SCOPED_TRACE(pref);
    if (pref >= 0) PREF_SetTextPrefLong(PREFp_G[2], "Misc Section", key, pref);
    if (pref == 0) RGp_ReleaseLockPref().Reset();
    locksDeleted = 0;
    TestRun(root.get(), TestRect(0, 0, 10, 10));
    EXPECT_EQ(afterRelease, pref < 0 ? 1 : 0);  // 1 after 0: the value is cached
    EXPECT_EQ(locksDeleted, 1);
  }
  PREF_ResetAll();
  RGp_ReleaseLockPref().Reset();
}

// The operations a node calls on its checkouts, each against a fault of its
// own: an empty checkout that renders, a taken buffer that is copied (or a
// shared view that is not), a conversion that changes what it should leave
// (or a failed one anything), a forced rect that keeps the opaque flag or
// leaves garbage, a node's own world not placed at its rect.
TEST_F(HandOverTest, CheckoutOperationsCopyOnlyWhatOthersStillShare) {
  auto* leaf = TestSolid(TestRect(0, 0, 10, 10), kRed);
  auto* other = TestSolid(TestRect(0, 0, 10, 10), kRed);
  auto* far = TestSolid(TestRect(0, 0, 10, 10), kRed);
  U_SharedPtr<RG_RenderNode> keep(leaf), keepOther(other), keepFar(far);
  for (bool shared : {false, true}) {
    SCOPED_TRACE(shared ? "shared" : "sole consumer");
    PF_ResetWorldStats();
    leaf->counters = other->counters = far->counters = {};
    std::unique_ptr<PF_World> taken;
    long failures = 0;
    U_SharedPtr<RG_RenderNode> root(new TestLambdaNode(
        {leaf, other, far},
        [shared](RG_NodePreRenderCB* cb, const RG_RenderRequest& r) {
          cb->CheckoutInput(0, r);
          if (shared) cb->CheckoutInput(0, r);
          cb->CheckoutInput(2, TestRequest(TestRect(20, 20, 30, 30)));  // empty
          RG_CheckoutResult* forced = cb->CheckoutInput(1, TestRequest(TestRect(0, 0, 10, 10)));
          forced->ForceRect(M_LRect{});  // ignored on an input
          EXPECT_EQ(forced->GetRect(), TestRect(0, 0, 10, 10));
          forced->ForceRect(TestRect(0, 0, 20, 20));
          EXPECT_EQ(forced->GetFlags() & RG_OUTPUT_OPAQUE, 0);  // transparent beyond the result
          EXPECT_EQ(forced->GetResultRect(), TestRect(0, 0, 10, 10));
          cb->RequestOutput(TestRect(30, 40, 38, 44), 0, 0)->ForceRect(TestRect(30, 40, 40, 44));
        },
        [&](RG_NodeRenderCB* cb) {
          RG_CheckoutResult* in = cb->GetNextCheckout();
          const PF_World* w = in->GetWorld();
          in->CoerceBitDepth(8);
          EXPECT_EQ(in->GetWorld(), w);  // already at that depth
          taken.reset(in->TakeOwnershipOfWorld());
          EXPECT_EQ(taken.get() == w, !shared);  // a shared view is copied
          EXPECT_EQ(RGp_CheckoutResultAccess::World(in), shared ? w : nullptr);
          if (shared) cb->GetNextCheckout()->GetWorld();
          EXPECT_EQ(cb->GetNextCheckout()->GetWorld(), nullptr);  // the empty one
          RG_CheckoutResult* forced = cb->GetNextCheckout();
          EXPECT_EQ(forced->GetWorld()->GetRect(), TestRect(0, 0, 20, 20));
          EXPECT_TRUE(TestSame(TestPixel(forced->GetWorld(), 15, 15), kClear));
          // A conversion failing at any host call leaves the result as it was.
          for (const PF_World* before = forced->GetWorld();; ++failures) {
            U_InjectFailure(failures, 4321);
            const long code = CatchCode([&] { forced->CoerceBitDepth(16); });
            U_ClearInjectedFailure();
            if (code == 0) break;
            EXPECT_EQ(code, 4321);
            EXPECT_EQ(RGp_CheckoutResultAccess::World(forced), before);
            EXPECT_EQ(before->GetDepth(), 8);
          }
          const PF_World* deep = forced->GetWorld();
          EXPECT_EQ(deep->GetRect(), TestRect(0, 0, 20, 20));
          EXPECT_EQ(static_cast<const PF_RGBA16*>(deep->PixelAddress(9, 9))->red, 200 * 257);
          EXPECT_EQ(static_cast<const PF_RGBA16*>(deep->PixelAddress(0, 0))->alpha, 65535);
          // A world of the node's own, placed at the output's forced rect.
          RG_CheckoutResult* out = cb->GetNextCheckout();
          out->SetOutputWorld(TestMakeWorld(TestRect(0, 0, 10, 4), kRed), nullptr);
          EXPECT_EQ(out->GetOutputWorld()->GetRect(), TestRect(30, 40, 40, 44));
        }));
    TestOutcome out = TestRun(root.get(), TestRect(0, 0, 40, 44));
    EXPECT_EQ(leaf->counters.renders, 1);
    EXPECT_EQ(other->counters.renders, 1);
    EXPECT_EQ(far->counters.renders, 0);
    ASSERT_NE(taken, nullptr);
    EXPECT_FALSE(taken->IsReference());
    EXPECT_EQ(taken->GetRect(), TestRect(0, 0, 10, 10));
    EXPECT_TRUE(TestSame(TestPixel(taken.get(), 9, 9), kRed));
    EXPECT_GE(failures, 2);  // the new world and the conversion both failed once
    // Only a shared view and the conversion copy pixels; only the forced rect beyond the result
    // is cleared.
    EXPECT_EQ(PF_GetWorldStats().pixel_bytes_copied, (shared ? 10 * 10 * 4 : 0) + 20 * 20 * 8);
    EXPECT_EQ(PF_GetWorldStats().pixel_bytes_cleared, (20 * 20 - 10 * 10) * 4);
  }
}

}  // namespace
