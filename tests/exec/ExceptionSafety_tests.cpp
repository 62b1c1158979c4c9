// Every failure of a host call, wherever it strikes during an execution,
// leaves nothing alive: no world, no pixel byte, no tracked object.

#include <gtest/gtest.h>

#include <memory>
#include <new>

#include "exec/ExecTestAccess.h"
#include "rg/RG_SourceBufferNode.h"
#include "rg/RG_Traverser.h"
#include "rghost/U_Services.h"
#include "support/LeakCheck.h"
#include "support/TestNodes.h"

namespace {

constexpr long kInjected = 4242;

class ExceptionSafetyTest : public LeakCheckTest {
 protected:
  // Runs `execute` with a failure injected at every fallible host call it
  // makes, one after the other, and checks that each run fails and leaves
  // exactly what was alive before.
  void Sweep(const std::function<void()>& execute) {
    execute();  // the first execution of a process also reads the preferences
    const long long before = U_FallibleCallCount();
    execute();  // a clean run, to count the calls
    const long long calls = U_FallibleCallCount() - before;
    ASSERT_GT(calls, 0);
    const long liveWorlds = PF_GetWorldStats().live_worlds;
    const long long liveBytes = PF_GetWorldStats().live_pixel_bytes;
    const long liveObjects = U_GetTrackedStats().live_objects;
    for (long n = 0; n < calls; ++n) {
      U_InjectFailure(n, kInjected);
      bool failed = false;
      try {
        execute();
      } catch (long code) {
        failed = true;
        EXPECT_EQ(code, kInjected) << "call " << n;
      } catch (const std::bad_alloc&) {
        failed = true;
      }
      U_ClearInjectedFailure();
      EXPECT_TRUE(failed) << "call " << n << " of " << calls;
      EXPECT_EQ(PF_GetWorldStats().live_worlds, liveWorlds) << "call " << n;
      EXPECT_EQ(PF_GetWorldStats().live_pixel_bytes, liveBytes) << "call " << n;
      EXPECT_EQ(U_GetTrackedStats().live_objects, liveObjects) << "call " << n;
    }
  }
};

// A graph that takes every hand-over path: a locked source copied for an
// in-place consumer, shared views, a grown producer buffer, groups, a forced
// rect, a withdrawn input and an unasked one.
RG_RenderNode* MakeBusyGraph(PF_World* buffer) {
  auto* source = new RG_SourceBufferNode(buffer);
  auto* pattern = new TestPatternNode(TestRect(0, 0, 48, 48));
  auto* solid = new TestSolidNode(TestRect(4, 4, 40, 40), PF_RGBA8{10, 20, 30, 128});
  auto* inverted = new TestInvertNode(source);
  auto* grown = new TestGrowNode(pattern, 3);
  auto* over = new TestOverNode(inverted, grown);
  auto* skip = new TestSkipNode(over, new TestInvertNode(pattern), true);
  auto* unasked = new TestSkipNode(skip, solid, false);
  auto* forced = new TestForceRectNode(solid, TestRect(0, 0, 44, 44));
  return new TestOverNode(new TestOverNode(forced, pattern), unasked);
}

}  // namespace

TEST_F(ExceptionSafetyTest, ThreeOutputFormWithAndWithoutLock) {
  std::unique_ptr<PF_World> buffer(PF_World::New(TestRect(0, 0, 32, 32), 8, 0));
  TestFillPattern(buffer.get());
  U_SharedPtr<RG_RenderNode> root(MakeBusyGraph(buffer.get()));
  for (bool wantLock : {true, false}) {
    Sweep([&] { TestRun(root.get(), TestRequest(TestRect(2, 2, 46, 46)), wantLock); });
  }
  // A locked root without a lock holder: the copy at the end may fail too.
  U_SharedPtr<RG_RenderNode> sourceRoot(new RG_SourceBufferNode(buffer.get()));
  Sweep([&] { TestRun(sourceRoot.get(), TestRequest(TestRect(0, 0, 32, 32))); });
}

TEST_F(ExceptionSafetyTest, DestinationForm) {
  std::unique_ptr<PF_World> buffer(PF_World::New(TestRect(0, 0, 32, 32), 8, 0));
  TestFillPattern(buffer.get());
  std::unique_ptr<PF_World> dest(PF_World::New(TestRect(0, 0, 64, 64), 8, 1));
  U_SharedPtr<RG_RenderNode> root(MakeBusyGraph(buffer.get()));
  Sweep([&] {
    M_LRect rect;
    RG_ExecuteGraph(root.get(), TestRequest(TestRect(0, 0, 60, 60)), TestRect(0, 0, 64, 64),
                    dest.get(), &rect);
  });
  U_SharedPtr<RG_RenderNode> inPlace(
      new TestInvertNode(new TestSolidNode(TestRect(10, 10, 50, 50), PF_RGBA8{1, 2, 3, 255})));
  Sweep([&] {
    M_LRect rect;
    RG_ExecuteGraph(inPlace.get(), TestRequest(TestRect(0, 0, 64, 64)), TestRect(0, 0, 64, 64),
                    dest.get(), &rect);
  });
}
