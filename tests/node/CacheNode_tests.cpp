// The cache node beyond the pixels the random-graph proof checks: a buffer
// supplied away from the output rect is refused, on a miss and on a hit, and
// a hit's bounds serve both types.

#include <map>
#include <tuple>

#include "exec/ExecTestAccess.h"
#include "rg/RG_CacheNodeBase.h"
#include "support/LeakCheck.h"

namespace {

M_LRect R(int32_t l, int32_t t, int32_t r, int32_t b) { return M_LRect{l, t, r, b}; }

// Worlds keyed by request rect, each supplied as a view `supply_shift`
// pixels right of where it belongs.
class MapCache : public RG_CacheNodeBase {
 public:
  struct Entry {
    std::shared_ptr<PF_World> world;
    M_LRect rect;
    char flags = 0;
  };
  explicit MapCache(TestLambdaNode* input) : RG_CacheNodeBase(true), input_(input) {}
  bool LookupCache(const RG_RenderRequest& request, RG_NodeData**, M_LRect* rect, char* flags,
                   M_LRect* bounds) const override {
    asked_flags = request.flags;
    auto it = entries.find(Key(request.rect));
    if (it == entries.end()) return false;
    *rect = *bounds = it->second.rect;
    *flags = it->second.flags;
    return true;
  }
  U_SharedPtr<RG_RenderNode> MakeInput() const override {
    return U_SharedPtr<RG_RenderNode>(input_);
  }
  void StoreInCache(const RG_RenderRequest& child, long, const M_LRect& rect, char flags,
                    PF_World* world, RG_CheckoutResult* output) const override {
    entries[Key(child.rect)] = Entry{std::shared_ptr<PF_World>(world), rect, flags};
    Supply(entries[Key(child.rect)], output);
  }
  bool RenderFromCache(const RG_NodeData*, const RG_RenderRequest& request,
                       RG_CheckoutResult* output) const override {
    Supply(entries.at(Key(request.rect)), output);
    return true;
  }

  mutable std::map<std::tuple<int32_t, int32_t, int32_t, int32_t>, Entry> entries;
  int32_t supply_shift = 0;
  mutable int asked_flags = -1;  // of the last lookup

 private:
  static std::tuple<int32_t, int32_t, int32_t, int32_t> Key(const M_LRect& r) {
    return {r.left, r.top, r.right, r.bottom};
  }
  void Supply(const Entry& e, RG_CheckoutResult* output) const {
    const M_LRect& r = output->GetRect();
    std::unique_ptr<PF_World> wider(
        PF_World::New(R(r.left, r.top, r.right + supply_shift, r.bottom), 8, 1));
    PF_World* out = PF_World::NewReference(
        wider.get(), R(supply_shift, 0, r.right - r.left + supply_shift, r.bottom - r.top));
    out->CopyPixels(e.world.get(), nullptr, e.rect.left - r.left, e.rect.top - r.top);
    output->SetOutputWorld(out, nullptr);
  }
  TestLambdaNode* input_;
};

class CacheNodeTest : public LeakCheckTest {};

TEST_F(CacheNodeTest, AnOutputBufferAwayFromTheOutputRectIsRefusedOnMissAndHit) {
  auto* source = new TestLambdaNode(
      {},
      [](RG_NodePreRenderCB* cb, const RG_RenderRequest& r) { cb->RequestOutput(r.rect, 1, 0); },
      [](RG_NodeRenderCB* cb) {
        TestFill(cb->GetNextCheckout()->GetOutputWorld(), {7, 7, 7, 255});
      });
  auto* cache = new MapCache(source);
  U_SharedPtr<RG_RenderNode> holdSource(source), holdCache(cache);
  cache->supply_shift = 1;          // the right size, one pixel off: the picture would shift
  for (bool hit : {false, true}) {  // the miss stores the entry the second run hits
    U_ClearReportLog();
    EXPECT_EQ(CatchCode([&] { TestRun(cache, R(0, 0, 16, 16)); }), 3) << hit;
    ExpectLastReport(U_ReportKind::FailedVerification, 0x4E0004, 197,
                     "SetOutputWorld called with a world away from the cache node's output rect");
  }
  EXPECT_EQ(source->counters.renders, 1);
}

// The bounds a hit hands back for one type serve the other while the input's
// types do not differ; asking the input instead would give its own.
TEST_F(CacheNodeTest, BoundsOfAHitMustServeTheOtherTypeToo) {
  const M_LRect cached = R(2, 2, 12, 12);
  for (int type : {0, 1}) {
    auto* source = TestSolid(R(0, 0, 64, 64), {1, 2, 3, 255});
    auto* cache = new MapCache(source);
    U_SharedPtr<RG_RenderNode> holdSource(source), holdCache(cache);
    cache->entries[{0, 0, 16, 16}] = {std::shared_ptr<PF_World>(TestMakeWorld(cached, {})), cached};
    TestRun(cache, TestRequest(R(0, 0, 16, 16), 8, type ? RG_REQUEST_CONTENT_BOUNDS_TYPE1 : 0));
    EXPECT_EQ(cache->GetContentBounds(static_cast<RG_ContentBoundsType>(1 - type)), cached) << type;
  }
}

// Without a pre-render the bounds come from a probe of the cache for that
// type, then from the input.
TEST_F(CacheNodeTest, BoundsProbeMustAskTheCacheForItsOwnType) {
  auto* source = TestSolid(R(0, 0, 64, 64), {1, 2, 3, 255});
  source->SetTestContentBounds(R(0, 0, 8, 8), R(0, 0, 9, 9));
  auto* cache = new MapCache(source);
  U_SharedPtr<RG_RenderNode> holdSource(source), holdCache(cache);
  for (int type : {1, 0}) {
    EXPECT_EQ(cache->GetContentBounds(static_cast<RG_ContentBoundsType>(type)),
              R(0, 0, 8 + type, 8 + type));
    EXPECT_EQ(cache->asked_flags, type ? RG_REQUEST_CONTENT_BOUNDS_TYPE1 : 0);
  }
}

}  // namespace
