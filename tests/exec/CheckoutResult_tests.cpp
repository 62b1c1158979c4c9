// The operations a node calls on its checkout results.

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <vector>

#include "exec/ExecTestAccess.h"
#include "exec/RGp_PrefSlot.h"
#include "rg/RG_Traverser.h"
#include "rghost/PREF_Prefs.h"
#include "rghost/U_Services.h"
#include "support/LeakCheck.h"
#include "support/TestNodes.h"

namespace {

constexpr PF_RGBA8 kRed{200, 0, 0, 255};

using PreFn = std::function<void(RG_NodePreRenderCB*, const RG_RenderRequest&)>;
using RenderFn = std::function<void(RG_NodeRenderCB*)>;

// Executes a root with one solid input (0, 0, 10, 10) whose passes run
// `pre` and `render`; returns the code thrown (0 when none).
long RunWithInput(const PreFn& pre, const RenderFn& render,
                  const M_LRect& request = TestRect(0, 0, 10, 10)) {
  U_SharedPtr<RG_RenderNode> root(new TestLambdaNode(
      {new TestSolidNode(TestRect(0, 0, 10, 10), kRed)},
      [&](RG_NodePreRenderCB* cb, const RG_RenderRequest& r) -> RG_NodeData* {
        pre(cb, r);
        return nullptr;
      },
      [&](RG_NodeRenderCB* cb, const RG_RenderRequest&, const RG_NodeData*) { render(cb); }));
  return TestRunCode(root.get(), TestRequest(request));
}

// The usual shape: input checkout 0, output 1.
constexpr auto InputAndOutput = &TestInputThenOutput;

}  // namespace

class CheckoutResultTest : public LeakCheckTest {};

// A host that counts its tracked objects sees every result: one more for
// each checkout, one fewer as each dies (withdrawn here; the rest at the
// traversal's end, which LeakCheckTest checks).
TEST_F(CheckoutResultTest, EachResultIsOneTrackedObjectWhileItLives) {
  std::vector<long> live;
  const auto count = [&] { live.push_back(U_GetTrackedStats().live_objects); };
  EXPECT_EQ(RunWithInput(
                [&](RG_NodePreRenderCB* cb, const RG_RenderRequest& r) {
                  cb->CheckoutInput(0, r);  // pre-renders the input as well
                  count();
                  RG_CheckoutResult* again = cb->CheckoutInput(0, r);
                  count();
                  again->SkipRendering();
                  count();
                  cb->RequestOutput(r.rect, 0, 0);
                  count();
                },
                [&](RG_NodeRenderCB* cb) {
                  cb->GetNextCheckout()->GetWorld();
                  cb->GetNextCheckout()->GetOutputWorld();
                }),
            0);
  ASSERT_EQ(live.size(), 4u);
  EXPECT_EQ(live[1], live[0] + 1);
  EXPECT_EQ(live[2], live[0]);
  EXPECT_EQ(live[3], live[0] + 1);
}

TEST_F(CheckoutResultTest, GetWorldOfAnEmptyRectRendersNothing) {
  auto* leaf = new TestSolidNode(TestRect(0, 0, 10, 10), kRed);
  const PF_World* got = reinterpret_cast<const PF_World*>(1);
  U_SharedPtr<RG_RenderNode> root(new TestLambdaNode(
      {leaf},
      [](RG_NodePreRenderCB* cb, const RG_RenderRequest& r) -> RG_NodeData* {
        cb->CheckoutInput(0, TestRequest(TestRect(20, 20, 30, 30)));
        cb->RequestOutput(r.rect, 0, 0);
        return nullptr;
      },
      [&](RG_NodeRenderCB* cb, const RG_RenderRequest&, const RG_NodeData*) {
        got = cb->GetNextCheckout()->GetWorld();
        cb->GetNextCheckout()->GetOutputWorld();
      }));
  TestRun(root.get(), TestRequest(TestRect(0, 0, 10, 10)));
  EXPECT_EQ(got, nullptr);
  EXPECT_EQ(leaf->counters.renders, 0);
}

// Calls a Render may not make report and throw; worlds and locks handed to a
// refused SetOutputWorld are deleted.
TEST_F(CheckoutResultTest, RenderSideContractViolationsReportAndThrow) {
  int locks = 0;
  const auto setOutput = [&](RG_CheckoutResult* out, int32_t width) {
    out->SetOutputWorld(PF_World::New(TestRect(0, 0, width, 10), 8, 0), new TestBufferLock(&locks));
  };
  const PreFn inPlace = [](RG_NodePreRenderCB* cb, const RG_RenderRequest& r) {
    cb->RequestOutputInPlace(cb->CheckoutInput(0, r), r.rect, 0, 0);
  };
  struct Case {
    const char* name;
    PreFn pre;
    RenderFn render;
    long code, location, line;
    const char* text;
    int locksDeleted;
  };
  const Case cases[] = {
      {"writable before rendered", InputAndOutput,
       [](RG_NodeRenderCB* cb) { cb->GetNextCheckout()->WorldIsWritable(); }, 3, 0, 212,
       "Cannot call WorldIsWritable() before checkout is rendered", 0},
      {"writable world of an input before rendered", InputAndOutput,
       [](RG_NodeRenderCB* cb) { cb->GetNextCheckout()->GetWritableWorld(); }, 3, 0, 212,
       "Cannot call WorldIsWritable() before checkout is rendered", 0},
      {"coerce before rendered", InputAndOutput,
       [](RG_NodeRenderCB* cb) { cb->GetNextCheckout()->CoerceBitDepth(16); }, 3, 0x4E0004, 260,
       "Cannot call CoerceBitDepth() before checkout is rendered", 0},
      {"set output of an in-place output", inPlace,
       [&](RG_NodeRenderCB* cb) { setOutput(cb->GetCheckoutByID(-1), 10); }, 3, 0x4E0004, 190,
       "Attempt to call SetOutputWorld() on an input or works-in-place buffer", 1},
      {"set output of an input", InputAndOutput,
       [&](RG_NodeRenderCB* cb) { setOutput(cb->GetNextCheckout(), 10); }, 3, 0x4E0004, 190,
       "Attempt to call SetOutputWorld() on an input or works-in-place buffer", 1},
      {"set output twice", InputAndOutput,
       [&](RG_NodeRenderCB* cb) {
         cb->GetCheckoutByID(-1)->GetOutputWorld();
         setOutput(cb->GetCheckoutByID(-1), 10);
       },
       3, 0x4E0004, 192, "Output already set", 1},
      {"set output of the wrong size", InputAndOutput,
       [&](RG_NodeRenderCB* cb) { setOutput(cb->GetCheckoutByID(-1), 11); }, 3, 0x4E0004, 195,
       "SetOutputWorld called with a world of the wrong size", 1},
      {"unknown checkout id", InputAndOutput, [](RG_NodeRenderCB* cb) { cb->GetCheckoutByID(5); },
       516, 0x4E0007, 0, "Unknown checkout id", 0},
      {"more checkouts than made", InputAndOutput,
       [](RG_NodeRenderCB* cb) {
         for (int i = 0; i < 3; ++i) cb->GetNextCheckout();
       },
       3, 0, 732, "Node received more checkout requests than expected", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    locks = 0;
    EXPECT_EQ(RunWithInput(c.pre, c.render), c.code);
    ExpectLastReport(c.code == 3 ? U_ReportKind::FailedVerification : U_ReportKind::ErrorString,
                     c.location, c.line, c.text);
    EXPECT_EQ(locks, c.locksDeleted);
    EXPECT_EQ(PF_GetWorldStats().live_worlds, 0);
  }
  // Once rendered, an output is writable and its writable world is the output.
  EXPECT_EQ(RunWithInput(InputAndOutput,
                         [&](RG_NodeRenderCB* cb) {
                           cb->GetNextCheckout();
                           RG_CheckoutResult* out = cb->GetNextCheckout();
                           PF_World* viaWritable = out->GetWritableWorld();
                           EXPECT_NE(viaWritable, nullptr);
                           EXPECT_EQ(viaWritable, out->GetOutputWorld());
                           EXPECT_TRUE(out->WorldIsWritable());
                         }),
            0);
}

TEST_F(CheckoutResultTest, TakeOwnershipOfTheBufferItself) {
  std::unique_ptr<PF_World> taken;
  const PF_World* left = reinterpret_cast<const PF_World*>(1);
  EXPECT_EQ(RunWithInput(InputAndOutput,
                         [&](RG_NodeRenderCB* cb) {
                           RG_CheckoutResult* in = cb->GetNextCheckout();
                           const PF_World* w = in->GetWorld();
                           taken.reset(in->TakeOwnershipOfWorld());
                           EXPECT_EQ(taken.get(), w);
                           left = RGp_CheckoutResultAccess::World(in);
                           cb->GetNextCheckout()->GetOutputWorld();
                         }),
            0);
  EXPECT_EQ(left, nullptr);
  ASSERT_NE(taken, nullptr);
  EXPECT_TRUE(TestSame(TestPixel(taken.get(), 9, 9), kRed));
  const long long copied = PF_GetWorldStats().pixel_bytes_copied;
  EXPECT_EQ(copied, 0);
}

TEST_F(CheckoutResultTest, TakeOwnershipOfASharedViewCopies) {
  std::unique_ptr<PF_World> taken;
  const PF_World* view = nullptr;
  const PF_World* left = nullptr;
  EXPECT_EQ(RunWithInput(
                [](RG_NodePreRenderCB* cb, const RG_RenderRequest& r) {
                  cb->CheckoutInput(0, r);
                  cb->CheckoutInput(0, r);
                  cb->RequestOutput(r.rect, 0, 0);
                },
                [&](RG_NodeRenderCB* cb) {
                  RG_CheckoutResult* in = cb->GetNextCheckout();
                  view = in->GetWorld();
                  taken.reset(in->TakeOwnershipOfWorld());
                  left = RGp_CheckoutResultAccess::World(in);
                  cb->GetNextCheckout()->GetWorld();
                  cb->GetNextCheckout()->GetOutputWorld();
                }),
            0);
  ASSERT_NE(taken, nullptr);
  EXPECT_NE(taken.get(), view);
  EXPECT_EQ(left, view);  // the result keeps its view
  EXPECT_FALSE(taken->IsReference());
  EXPECT_EQ(taken->GetRect(), TestRect(0, 0, 10, 10));
  EXPECT_TRUE(TestSame(TestPixel(taken.get(), 4, 4), kRed));
  EXPECT_EQ(PF_GetWorldStats().pixel_bytes_copied, 10 * 10 * 4);
}

TEST_F(CheckoutResultTest, SetOutputWorldPlacesTheWorldAtTheRect) {
  int locksDeleted = 0;
  M_LRect placed;
  U_SharedPtr<RG_RenderNode> root(new TestLambdaNode(
      {},
      [](RG_NodePreRenderCB* cb, const RG_RenderRequest& r) -> RG_NodeData* {
        cb->RequestOutput(r.rect, 0, 0);
        return nullptr;
      },
      [&](RG_NodeRenderCB* cb, const RG_RenderRequest&, const RG_NodeData*) {
        RG_CheckoutResult* out = cb->GetNextCheckout();
        out->SetOutputWorld(TestMakeWorld(TestRect(0, 0, 8, 4), kRed),
                            new TestBufferLock(&locksDeleted));
        placed = const_cast<RG_CheckoutResult*>(out)->GetOutputWorld()->GetRect();
      }));
  M_LRect rect;
  char flags;
  PF_World* world = nullptr;
  RG_BufferLock* lock = nullptr;
  RG_ExecuteGraph(root.get(), TestRequest(TestRect(30, 40, 38, 44)), &rect, &flags, &world, &lock);
  EXPECT_EQ(placed, TestRect(30, 40, 38, 44));
  EXPECT_EQ(world->GetRect(), TestRect(30, 40, 38, 44));
  EXPECT_EQ(locksDeleted, 0);  // handed to the caller with the world
  delete world;
  delete lock;
  EXPECT_EQ(locksDeleted, 1);
}

TEST_F(CheckoutResultTest, ReleaseDeletesWorldAndLockByDefault) {
  PREF_ResetAll();
  RGp_ReleaseLockPref().Reset();
  int locksDeleted = 0;
  int afterRelease = -1;
  const PF_World* left = reinterpret_cast<const PF_World*>(1);
  auto* leaf = new TestLambdaNode(
      {},
      [](RG_NodePreRenderCB* cb, const RG_RenderRequest& r) -> RG_NodeData* {
        cb->RequestOutput(r.rect, 0, 0);
        return nullptr;
      },
      [&](RG_NodeRenderCB* cb, const RG_RenderRequest&, const RG_NodeData*) {
        cb->GetNextCheckout()->SetOutputWorld(TestMakeWorld(TestRect(0, 0, 10, 10), kRed),
                                              new TestBufferLock(&locksDeleted));
      });
  U_SharedPtr<RG_RenderNode> root(new TestLambdaNode(
      {leaf},
      [](RG_NodePreRenderCB* cb, const RG_RenderRequest& r) -> RG_NodeData* {
        InputAndOutput(cb, r);
        return nullptr;
      },
      [&](RG_NodeRenderCB* cb, const RG_RenderRequest&, const RG_NodeData*) {
        RG_CheckoutResult* in = cb->GetNextCheckout();
        in->GetWorld();
        in->Release();
        afterRelease = locksDeleted;
        left = RGp_CheckoutResultAccess::World(in);
        cb->GetNextCheckout()->GetOutputWorld();
      }));
  auto run = [&] { TestRun(root.get(), TestRequest(TestRect(0, 0, 10, 10))); };
  run();
  EXPECT_EQ(afterRelease, 1);
  EXPECT_EQ(left, nullptr);

  // With the preference at 0 the lock stays until the result is destroyed.
  PREF_SetTextPrefLong(PREFp_G[2], "Misc Section", "Delete Buffer Lock on KeenFX Checkin", 0);
  RGp_ReleaseLockPref().Reset();
  locksDeleted = 0;
  run();
  EXPECT_EQ(afterRelease, 0);
  EXPECT_EQ(locksDeleted, 1);

  // The value is cached: changing the preference has no effect any more.
  PREF_SetTextPrefLong(PREFp_G[2], "Misc Section", "Delete Buffer Lock on KeenFX Checkin", 1);
  locksDeleted = 0;
  run();
  EXPECT_EQ(afterRelease, 0);
  PREF_ResetAll();
  RGp_ReleaseLockPref().Reset();
}

TEST_F(CheckoutResultTest, ReleasePreferenceErrorIsThrownAfterTheWorldIsGone) {
  PREF_ResetAll();
  RGp_ReleaseLockPref().Reset();
  const PF_World* left = reinterpret_cast<const PF_World*>(1);
  EXPECT_EQ(RunWithInput(InputAndOutput,
                         [&](RG_NodeRenderCB* cb) {
                           RG_CheckoutResult* in = cb->GetNextCheckout();
                           in->GetWorld();
                           U_InjectFailure(0, 4321);
                           try {
                             in->Release();
                           } catch (...) {
                             left = RGp_CheckoutResultAccess::World(in);
                             throw;
                           }
                         }),
            4321);
  EXPECT_EQ(left, nullptr);
  EXPECT_FALSE(RGp_ReleaseLockPref().loaded);  // asked again next time
}

TEST_F(CheckoutResultTest, CoerceBitDepth) {
  const PF_World* before = nullptr;
  const PF_World* same = nullptr;
  short depthAfter = 0;
  uint16_t red16 = 0;
  EXPECT_EQ(RunWithInput(InputAndOutput,
                         [&](RG_NodeRenderCB* cb) {
                           RG_CheckoutResult* in = cb->GetNextCheckout();
                           before = in->GetWorld();
                           in->CoerceBitDepth(8);
                           same = in->GetWorld();
                           in->CoerceBitDepth(16);
                           const PF_World* w = in->GetWorld();
                           depthAfter = w->GetDepth();
                           EXPECT_EQ(w->GetRect(), TestRect(0, 0, 10, 10));
                           red16 = static_cast<const PF_RGBA16*>(w->PixelAddress(3, 3))->red;
                           cb->GetNextCheckout()->GetOutputWorld();
                         }),
            0);
  EXPECT_EQ(same, before);
  EXPECT_EQ(depthAfter, 16);
  EXPECT_EQ(red16, 200 * 257);
}

TEST_F(CheckoutResultTest, CoerceBitDepthFailuresLeaveTheResultAsItWas) {
  // Fail each host call of the conversion in turn until one succeeds.
  int failures = 0;
  short depthAfter = 0;
  EXPECT_EQ(RunWithInput(InputAndOutput,
                         [&](RG_NodeRenderCB* cb) {
                           RG_CheckoutResult* in = cb->GetNextCheckout();
                           const PF_World* before = in->GetWorld();
                           for (long n = 0;; ++n) {
                             U_InjectFailure(n, 4321);
                             try {
                               in->CoerceBitDepth(16);
                               U_ClearInjectedFailure();
                               break;
                             } catch (long code) {
                               EXPECT_EQ(code, 4321);
                               EXPECT_EQ(RGp_CheckoutResultAccess::World(in), before);
                               EXPECT_EQ(before->GetDepth(), 8);
                               ++failures;
                             }
                           }
                           depthAfter = in->GetWorld()->GetDepth();
                           cb->GetNextCheckout()->GetOutputWorld();
                         }),
            0);
  EXPECT_GE(failures, 2);  // the new world and the conversion both failed once
  EXPECT_EQ(depthAfter, 16);
}

TEST_F(CheckoutResultTest, ForceRect) {
  EXPECT_EQ(RunWithInput(
                [&](RG_NodePreRenderCB* cb, const RG_RenderRequest& r) {
                  RG_CheckoutResult* in = cb->CheckoutInput(0, r);
                  RG_CheckoutResult* inner = cb->CheckoutInput(0, r);
                  in->ForceRect(M_LRect{});  // ignored on an input
                  EXPECT_EQ(in->GetRect(), TestRect(0, 0, 10, 10));
                  inner->ForceRect(TestRect(2, 2, 5, 5));
                  EXPECT_EQ(inner->GetRect(), TestRect(2, 2, 5, 5));
                  EXPECT_EQ(inner->GetResultRect(), TestRect(0, 0, 10, 10));
                  EXPECT_EQ(inner->GetFlags() & RG_OUTPUT_OPAQUE,
                            RG_OUTPUT_OPAQUE);  // still inside what is delivered
                  RG_CheckoutResult* out = cb->RequestOutput(r.rect, 0, 0);
                  out->ForceRect(TestRect(0, 0, 20, 20));
                  EXPECT_EQ(out->GetRect(), TestRect(0, 0, 20, 20));
                },
                [&](RG_NodeRenderCB* cb) {
                  cb->GetNextCheckout();
                  EXPECT_EQ(cb->GetNextCheckout()->GetWorld()->GetRect(), TestRect(2, 2, 5, 5));
                  EXPECT_EQ(cb->GetNextCheckout()->GetOutputWorld()->GetRect(),
                            TestRect(0, 0, 20, 20));
                }),
            0);
}
