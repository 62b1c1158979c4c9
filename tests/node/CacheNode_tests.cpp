// The cache node beyond the pixels the random-graph proof checks: a hit
// never builds or asks the input, a miss stores the input's whole result
// with its render time, a vanished entry runs one nested execution, content
// bounds are asked of the cache first, and the cache's data always dies.

#include <map>
#include <tuple>

#include "exec/ExecTestAccess.h"
#include "rg/RG_CacheNodeBase.h"
#include "support/LeakCheck.h"

namespace {

M_LRect R(int32_t l, int32_t t, int32_t r, int32_t b) { return M_LRect{l, t, r, b}; }

// Quarter seconds are exact in binary, so tick values come out exact.
double g_now = 100.0;
double FakeClock() { return g_now; }

// A grey leaf that declares the part of its bounds asked for, or with
// `whole` all of them; rendering advances the clock by 250 ms. When the
// types differ, type 1 is one pixel wider.
TestLambdaNode* MakeSource(const M_LRect& bounds, bool whole, bool differ) {
  auto* node = new TestLambdaNode(
      {},
      [=](RG_NodePreRenderCB* cb, const RG_RenderRequest& r) {
        cb->RequestOutput(whole ? bounds : M_Intersect(bounds, r.rect), 1, 0);
      },
      [](RG_NodeRenderCB* cb) {
        g_now += 0.25;
        TestFill(cb->GetNextCheckout()->GetOutputWorld(), PF_RGBA8{77, 77, 77, 255});
      });
  node->SetTestContentBounds(
      bounds, differ ? R(bounds.left, bounds.top, bounds.right + 1, bounds.bottom) : bounds);
  return node;
}

// Worlds keyed by request rect; hands out data that counts its deaths.
class MapCache : public RG_CacheNodeBase {
 public:
  struct Entry {
    std::shared_ptr<PF_World> world;
    M_LRect rect;
    char flags = 0;
    M_LRect bounds;
  };
  struct Store {
    RG_RenderRequest child;
    long ticks;
    M_LRect rect;
    char flags;
  };
  MapCache(bool lookups, TestLambdaNode* input) : RG_CacheNodeBase(lookups), input_(input) {}
  void Seed(const M_LRect& key, const M_LRect& rect, const M_LRect& bounds, uint8_t grey) {
    Entry& e = entries[Key(key)];
    e = Entry{std::shared_ptr<PF_World>(TestMakeWorld(rect, {grey, grey, grey, 255})), rect, 1,
              bounds};
  }
  bool LookupCache(const RG_RenderRequest& request, RG_NodeData** data, M_LRect* rect, char* flags,
                   M_LRect* bounds) const override {
    lookups.push_back(request);
    RG_NodeData* tag = new TestCounted<RG_NodeData>(&data_deaths);
    *data = tag;
    last_data = tag;
    auto it = entries.find(Key(request.rect));
    if (it == entries.end()) return false;
    *rect = it->second.rect;
    *flags = it->second.flags;
    *bounds = it->second.bounds;
    return true;
  }
  U_SharedPtr<RG_RenderNode> MakeInput() const override {
    ++make_input_calls;
    if (make_input_throws) throw 77L;
    return U_SharedPtr<RG_RenderNode>(input_);
  }
  void ChildRequestHook(const RG_NodeData* data, RG_RenderRequest* child) const override {
    hook_data.push_back(data);
    child->rect.right += widen;
  }
  void StoreInCache(const RG_RenderRequest& child, long ticks, const M_LRect& rect, char flags,
                    PF_World* world, RG_CheckoutResult* output) const override {
    stores.push_back({child, ticks, rect, flags});
    entries[Key(child.rect)] = Entry{std::shared_ptr<PF_World>(world), rect, flags, rect};
    Supply(entries[Key(child.rect)], output);
  }
  bool RenderFromCache(const RG_NodeData* data, const RG_RenderRequest& request,
                       RG_CheckoutResult* output) const override {
    render_data.push_back(data);
    if (forget) return false;
    Supply(entries.at(Key(request.rect)), output);
    return true;
  }

  mutable std::map<std::tuple<int32_t, int32_t, int32_t, int32_t>, Entry> entries;
  mutable std::vector<RG_RenderRequest> lookups;
  mutable std::vector<Store> stores;
  mutable std::vector<const RG_NodeData*> hook_data, render_data;
  mutable int make_input_calls = 0, data_deaths = 0;
  mutable const RG_NodeData* last_data = nullptr;
  bool forget = false, make_input_throws = false;
  int32_t widen = 0;
  int32_t supply_shift = 0;  // places the supplied buffer this far right of the output rect

 private:
  static std::tuple<int32_t, int32_t, int32_t, int32_t> Key(const M_LRect& r) {
    return {r.left, r.top, r.right, r.bottom};
  }
  void Supply(const Entry& e, RG_CheckoutResult* output) const {
    const M_LRect& r = output->GetRect();
    PF_World* out = PF_World::New(r, 8, 1);
    if (supply_shift != 0) {  // a view of the right size, from a place further right
      std::unique_ptr<PF_World> wider(
          PF_World::New(R(r.left, r.top, r.right + supply_shift, r.bottom), 8, 1));
      delete out;
      out = PF_World::NewReference(
          wider.get(), R(supply_shift, 0, r.right - r.left + supply_shift, r.bottom - r.top));
    }
    if (e.world) out->CopyPixels(e.world.get(), nullptr, e.rect.left - r.left, e.rect.top - r.top);
    output->SetOutputWorld(out, nullptr);
  }
  TestLambdaNode* input_;
};

class CacheNodeTest : public LeakCheckTest {
 protected:
  void SetUp() override {
    LeakCheckTest::SetUp();
    g_now = 100.0;
    U_SetClock(&FakeClock);
  }
  void TearDown() override {
    cache_.reset();
    source_.reset();
    LeakCheckTest::TearDown();
  }
  void Make(const M_LRect& bounds, bool whole, bool lookups = true, bool differ = false) {
    source_ = source = MakeSource(bounds, whole, differ);
    cache_ = cache = new MapCache(lookups, source);
  }
  TestLambdaNode* source = nullptr;
  MapCache* cache = nullptr;

 private:
  U_SharedPtr<RG_RenderNode> source_, cache_;
};

TEST_F(CacheNodeTest, HitServesTheCachedRectAndNeverBuildsOrAsksTheInput) {
  Make(R(0, 0, 300, 300), false);
  cache->Seed(R(50, 50, 200, 200), R(0, 0, 100, 100), R(0, 0, 120, 110), 200);
  TestOutcome out = TestRun(cache, R(50, 50, 200, 200));
  EXPECT_EQ(out.rect, R(50, 50, 100, 100));
  EXPECT_EQ(out.flags, 1);
  ASSERT_NE(out.world, nullptr);
  EXPECT_EQ(TestPixel(out.world.get(), 99, 99).red, 200);
  EXPECT_EQ(cache->GetInput(0), nullptr);
  EXPECT_TRUE(source->counters.requests.empty() && cache->stores.empty() &&
              cache->hook_data.empty());
  EXPECT_EQ(cache->render_data, std::vector<const RG_NodeData*>{cache->last_data});
  EXPECT_EQ(cache->data_deaths, 1);  // the lookup's data dies with the node data
  // The hit recorded the cached bounds for type 0: no input needed.
  EXPECT_EQ(cache->GetContentBounds(RG_CONTENT_BOUNDS_TYPE0), R(0, 0, 120, 110));
  EXPECT_EQ(cache->make_input_calls, 0);
  EXPECT_EQ(cache->lookups.size(), 1u);
  // Type 1 was not: asking whether the types differ builds the input.
  EXPECT_EQ(cache->GetContentBounds(RG_CONTENT_BOUNDS_TYPE1), R(0, 0, 120, 110));
  EXPECT_EQ(cache->make_input_calls, 1);
  EXPECT_EQ(cache->GetInput(0), source);
}

TEST_F(CacheNodeTest, AnOutputBufferAwayFromTheOutputRectIsRefusedOnMissAndHit) {
  Make(R(0, 0, 16, 16), false);
  cache->supply_shift = 1;          // the right size, one pixel off: the picture would shift
  for (bool hit : {false, true}) {  // the miss stores the entry the second run hits
    U_ClearReportLog();
    EXPECT_EQ(CatchCode([&] { TestRun(cache, R(0, 0, 16, 16)); }), 3) << hit;
    ExpectLastReport(U_ReportKind::FailedVerification, 0x4E0004, 197,
                     "SetOutputWorld called with a world away from the cache node's output rect");
  }
  EXPECT_EQ(source->counters.renders, 1);
}

TEST_F(CacheNodeTest, MissStoresTheInputsWholeResultWithItsRenderTime) {
  Make(R(0, 0, 64, 32), true);  // declares all of its bounds whatever it is asked
  cache->widen = 90;
  {
    // The pre-render declares the input's result, larger than asked, and
    // records content bounds from it.
    RG_Traverser traverser(cache);
    traverser.PreRenderGraph(TestRequest(R(10, 10, 20, 20)));
    EXPECT_EQ(traverser.GetNodeRect(cache), R(0, 0, 64, 32));
    EXPECT_EQ(cache->GetContentBounds(RG_CONTENT_BOUNDS_TYPE0), R(0, 0, 64, 32));
    source->counters.requests.clear();
    cache->hook_data.clear();
  }
  TestOutcome out = TestRun(cache, R(10, 10, 20, 20));
  EXPECT_EQ(std::tuple(out.rect, TestPixel(out.world.get(), 15, 15).red, cache->make_input_calls),
            std::tuple(R(10, 10, 20, 20), 77, 1));
  EXPECT_EQ(cache->hook_data, std::vector<const RG_NodeData*>{cache->last_data});
  // The input sees the hooked rect; the whole-output bit never reaches it.
  ASSERT_EQ(source->counters.requests.size(), 1u);
  EXPECT_EQ(source->counters.requests[0].rect, R(10, 10, 110, 20));
  EXPECT_EQ(source->counters.requests[0].flags & RG_REQUEST_WHOLE_OUTPUT, 0);
  ASSERT_EQ(cache->stores.size(), 1u);
  const MapCache::Store& s = cache->stores[0];
  EXPECT_EQ(s.child.rect, R(0, 0, 110, 32));  // the hooked request widened by the result
  EXPECT_NE(s.child.flags & RG_REQUEST_WHOLE_OUTPUT, 0);
  EXPECT_EQ(std::tuple(s.ticks, s.rect, s.flags), std::tuple(250L, R(0, 0, 64, 32), char{1}))
      << "exactly the input's render time";
  EXPECT_EQ(cache->data_deaths, 2);  // one per pre-render
  // A second miss reuses the input made the first time.
  TestRun(cache, R(12, 12, 14, 14));
  EXPECT_EQ(std::tuple(cache->make_input_calls, cache->stores.size(), source->counters.renders),
            std::tuple(1, 2u, 2));
}

TEST_F(CacheNodeTest, DisabledLookupsAlwaysRenderButContentBoundsStillAskTheCache) {
  Make(R(0, 0, 40, 40), false, false);
  cache->Seed(R(0, 0, 0, 0), R(0, 0, 0, 0), R(1, 2, 3, 4), 9);
  EXPECT_EQ(cache->GetContentBounds(RG_CONTENT_BOUNDS_TYPE0), R(1, 2, 3, 4));
  cache->Seed(R(0, 0, 40, 40), R(0, 0, 40, 40), R(1, 2, 3, 4), 9);
  TestOutcome out = TestRun(cache, R(0, 0, 40, 40));
  EXPECT_EQ(std::tuple(cache->lookups.size(), source->counters.renders, cache->stores.size()),
            std::tuple(1u, 1, 1u));
  EXPECT_EQ(TestPixel(out.world.get(), 5, 5).red, 77);  // not the seeded 9
}

TEST_F(CacheNodeTest, VanishedEntryRunsOneNestedExecutionOfTheHookedRequest) {
  Make(R(0, 0, 80, 80), false);
  cache->Seed(R(50, 50, 200, 200), R(0, 0, 100, 100), R(0, 0, 100, 100), 200);
  cache->forget = true;
  cache->widen = 5;
  TestOutcome out = TestRun(cache, R(50, 50, 200, 200));
  EXPECT_EQ(cache->render_data.size(), 1u);
  EXPECT_EQ(cache->hook_data, std::vector<const RG_NodeData*>{cache->last_data});
  // The hooked request clipped to the output.
  ASSERT_EQ(source->counters.requests.size(), 1u);
  EXPECT_EQ(source->counters.requests[0].rect, R(50, 50, 100, 100));
  ASSERT_EQ(cache->stores.size(), 1u);
  const MapCache::Store& s = cache->stores[0];
  EXPECT_EQ(std::tuple(s.child.rect, s.ticks, s.rect),
            std::tuple(R(50, 50, 100, 100), 250L, R(50, 50, 80, 80)));
  EXPECT_EQ(out.rect, R(50, 50, 100, 100));
  EXPECT_EQ(TestPixel(out.world.get(), 60, 60).red, 77);   // rendered afresh
  EXPECT_EQ(TestPixel(out.world.get(), 90, 90).alpha, 0);  // beyond the input's result
}

TEST_F(CacheNodeTest, ContentBoundsProbesAskTheCacheOncePerTypeAndKeepNoData) {
  for (bool differ : {false, true}) {
    SCOPED_TRACE(differ);
    Make(R(0, 0, 40, 40), false, true, differ);
    if (!differ) cache->Seed(R(0, 0, 0, 0), R(0, 0, 0, 0), R(5, 5, 50, 50), 1);
    EXPECT_EQ(cache->ContentBoundsDifferByType(), differ);
    // Types that do not differ probe once, as type 0; a miss asks the input.
    EXPECT_EQ(cache->GetContentBounds(RG_CONTENT_BOUNDS_TYPE1),
              differ ? R(0, 0, 41, 40) : R(5, 5, 50, 50));
    EXPECT_EQ(cache->GetContentBounds(RG_CONTENT_BOUNDS_TYPE0),
              differ ? R(0, 0, 40, 40) : R(5, 5, 50, 50));
    ASSERT_EQ(cache->lookups.size(), differ ? 2u : 1u);
    const RG_RenderRequest& probe = cache->lookups[0];
    EXPECT_EQ(std::tuple(probe.rect, probe.field, probe.flags),
              std::tuple(R(0, 0, 0, 0), 0, differ ? RG_REQUEST_CONTENT_BOUNDS_TYPE1 : 0));
    EXPECT_EQ(cache->lookups.back().flags, 0);
    EXPECT_EQ(cache->make_input_calls, 1);
    EXPECT_EQ(cache->data_deaths, static_cast<int>(cache->lookups.size()));
  }
}

TEST_F(CacheNodeTest, ThrowingPreRenderFreesTheCacheData) {
  Make(R(0, 0, 40, 40), false);
  cache->make_input_throws = true;
  EXPECT_EQ(CatchCode([&] { TestRun(cache, R(0, 0, 10, 10)); }), 77);
  EXPECT_EQ(cache->data_deaths, 1);
}

}  // namespace
