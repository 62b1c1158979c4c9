// A chain of composites deep enough to exhaust the stack guard's default
// total limit stops cleanly on the main thread, and renders on a thread of
// its own (which the guard does not watch) given a large enough stack; its
// content bounds come out on the main thread.
#include <gtest/gtest.h>
#include <pthread.h>

#include <cstdio>
#include <vector>

#include "exec/ExecTestAccess.h"
#include "rg/RG_CompositeNode.h"
#include "rg/RG_Errors.h"
#include "rg/RG_Traverser.h"
#include "rghost/PF_Transfer.h"
#include "rghost/U_Report.h"
#include "rghost/U_Services.h"
#include "support/LeakCheck.h"
#include "support/ProofNodes.h"

namespace {

const M_LRect kRect{0, 0, 4, 4};

// root = T over (T over (... over S)), `depth` composites, T at half opacity.
struct Chain {
  ProofWorldPtr bottom = ProofMakeSourceWorld(kRect, 8, 11, true);
  ProofWorldPtr top = ProofMakeSourceWorld(kRect, 8, 12, false);
  U_SharedPtr<RG_RenderNode> root;

  explicit Chain(long depth) {
    PF_CompositeModePlus mode;
    mode.opacity = 0.5f;
    U_SharedPtr<RG_RenderNode> layer = new ProofSourceNode(top.get(), false);
    U_SharedPtr<RG_RenderNode> node = new ProofSourceNode(bottom.get(), true);
    for (long i = 0; i < depth; ++i) {
      node = new RG_CompositeNode(layer.get(), mode, node.get(), nullptr, 0);
    }
    root = node;
  }
  ~Chain() { root.reset(); }  // the nodes go before the worlds they borrow

  // The same composites done one by one with the host call itself.
  ProofWorldPtr Expected(long depth) const {
    ProofWorldPtr acc(PF_World::New(kRect, 8, 0));
    acc->CopyPixels(bottom.get(), nullptr, 0, 0);
    PF_CompositeModePlus mode;
    mode.opacity = 0.5f;
    for (long i = 0; i < depth; ++i) {
      EXPECT_EQ(
          PF_TransferRect(nullptr, 1, 1, 0, &kRect, top.get(), &mode, 0, nullptr, 0, 0, acc.get()),
          0);
    }
    return acc;
  }
};

long Execute(const RG_RenderNode* root, PF_World** world) {
  RG_RenderRequest request;
  request.rect = kRect;
  M_LRect rect;
  char flags = 0;
  try {
    RG_ExecuteGraph(root, request, &rect, &flags, world, nullptr);
  } catch (long code) {
    return code;
  }
  return 0;
}

struct ThreadRun {
  const RG_RenderNode* root = nullptr;
  bool on_main_thread = true;
  long code = -1;
  PF_World* world = nullptr;
};

void* RunOnThread(void* arg) {
  auto* run = static_cast<ThreadRun*>(arg);
  run->on_main_thread = U_IsOnMainThread();
  run->code = Execute(run->root, &run->world);
  return nullptr;
}

class DeepGraphTest : public LeakCheckTest {};

TEST_F(DeepGraphTest, MainThreadStopsAtTheTotalLimitAndAThreadRendersTheSameChain) {
  RGp_TraverserAccess::ForgetStackLimits();  // the default limits, read afresh
  U_SetMainThread();
  // Deepen the chain until the guard stops it; a guard that never fires
  // would crash the process long before the last size.
  long depth = 0;
  long code = 0;
  for (long tryDepth = 2000; tryDepth <= 512000 && code == 0; tryDepth *= 2) {
    Chain chain(tryDepth);
    U_ClearReportLog();
    PF_World* world = nullptr;
    code = Execute(chain.root.get(), &world);
    delete world;
    depth = tryDepth;
  }
  ASSERT_EQ(code, RG_ERR_STACK_OVERFLOW);
  EXPECT_EQ(RGp_TraverserAccess::TotalLimit(), 8000000u);
  ASSERT_FALSE(U_ReportLog().empty());
  EXPECT_EQ(U_ReportLog().back().kind, U_ReportKind::ErrorString);
  EXPECT_EQ(U_ReportLog().back().location, 0x4E0006);
  EXPECT_EQ(U_ReportLog().back().text, "Render Graph stack overflow -- composition too complex.");

  // The same depth on another thread with a big stack: not guarded, renders.
  Chain chain(depth);
  pthread_attr_t attr;
  ASSERT_EQ(pthread_attr_init(&attr), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attr, size_t{512} << 20), 0);
  ThreadRun run{chain.root.get()};
  pthread_t thread;
  ASSERT_EQ(pthread_create(&thread, &attr, &RunOnThread, &run), 0);
  ASSERT_EQ(pthread_join(thread, nullptr), 0);
  pthread_attr_destroy(&attr);
  ProofWorldPtr world(run.world);
  EXPECT_FALSE(run.on_main_thread);
  ASSERT_EQ(run.code, 0);
  ASSERT_NE(world, nullptr);
  const ProofWorldPtr expected = chain.Expected(depth);
  for (int i = 0; i < 64; ++i) {  // 4 x 4 pixels, 4 channels
    ASSERT_EQ(ProofRawChannel(*world, i / 4 % 4, i / 16, i % 4),
              ProofRawChannel(*expected, i / 4 % 4, i / 16, i % 4))
        << "channel " << i % 4 << " of pixel " << i / 4 % 4 << "," << i / 16;
  }
  // Content bounds are asked outside the guarded passes: any depth must do
  // on the main thread.
  EXPECT_EQ(Chain(depth).root->GetContentBounds(RG_CONTENT_BOUNDS_TYPE1), kRect);
  std::printf("[ proof    ] a chain of %ld composites overflows the main thread's limit\n", depth);
}

}  // namespace
