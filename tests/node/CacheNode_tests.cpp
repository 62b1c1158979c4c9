// The cache node's control flow, driven through whole executions with a
// small map-based cache: hits leave the sub-graph alone, misses render the
// input's whole output and store it with its render time, a vanished entry
// runs one nested execution, and content-bounds probes go to the cache.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <ostream>
#include <tuple>
#include <vector>

#include "rg/RG_CacheNodeBase.h"
#include "rg/RG_CheckoutResult.h"
#include "rg/RG_NodeCallbacks.h"
#include "rg/RG_Traverser.h"
#include "rghost/PF_World.h"
#include "rghost/U_Services.h"
#include "support/LeakCheck.h"
#include "support/TestNodes.h"

// Readable rects in failure messages (found by argument-dependent lookup).
static void PrintTo(const M_LRect& r, std::ostream* os) {
  *os << "(" << r.left << ", " << r.top << ", " << r.right << ", " << r.bottom << ")";
}

namespace {

M_LRect R(int32_t l, int32_t t, int32_t r, int32_t b) { return M_LRect{l, t, r, b}; }

// A settable clock; quarter seconds are exact in binary, so tick and
// millisecond values come out exact.
double g_now = 100.0;
double FakeClock() { return g_now; }

void Fill(PF_World* w, uint8_t value) { TestFill(w, PF_RGBA8{value, value, value, 255}); }

// Leaf with fixed bounds filled with one grey value. It either declares the
// part of its bounds the request overlaps, or always all of its bounds (like
// a generator that renders everything). Rendering advances the fake clock.
class CountingSource : public RG_RenderNode {
 public:
  CountingSource(const M_LRect& bounds, bool declareWhole, bool boundsDiffer = false)
      : bounds_(bounds), declare_whole_(declareWhole), bounds_differ_(boundsDiffer) {}

  RG_NodeData* PreRender(RG_NodePreRenderCB* cb, const RG_RenderRequest& request) const override {
    requests.push_back(request);
    cb->RequestOutput(declare_whole_ ? bounds_ : M_Intersect(bounds_, request.rect), 1, 0);
    return nullptr;
  }
  void Render(RG_NodeRenderCB* cb, const RG_RenderRequest&, const RG_NodeData*) const override {
    ++renders;
    g_now += 0.25;
    Fill(cb->GetNextCheckout()->GetOutputWorld(), 77);
  }
  bool ContentBoundsDifferByType() const override { return bounds_differ_; }

  mutable std::vector<RG_RenderRequest> requests;
  mutable int renders = 0;

 protected:
  M_LRect ComputeContentBounds(RG_ContentBoundsType type) const override {
    M_LRect r = bounds_;
    if (type == RG_CONTENT_BOUNDS_TYPE1) r.right += 1;  // tells the types apart
    return r;
  }

 private:
  M_LRect bounds_;
  bool declare_whole_;
  bool bounds_differ_;
};

// Cache data the test cache hands back; counts its deletions.
struct Tag : RG_NodeData {
  explicit Tag(int* deaths) : deaths_(deaths) {}
  ~Tag() override { ++*deaths_; }
  int* deaths_;
};

struct Entry {
  PF_World* world = nullptr;  // owned by the cache
  M_LRect rect;
  char flags = 0;
  M_LRect bounds;
};

struct StoreCall {
  RG_RenderRequest child;
  long ticks = 0;
  M_LRect rect;
  char flags = 0;
  bool had_world = false;
};

using Key = std::tuple<int32_t, int32_t, int32_t, int32_t>;
Key KeyOf(const M_LRect& r) { return {r.left, r.top, r.right, r.bottom}; }

// A cache of worlds keyed by request rect. The cached input is a
// CountingSource made on first need.
class MapCache : public RG_CacheNodeBase {
 public:
  MapCache(bool lookupEnabled, CountingSource* input)
      : RG_CacheNodeBase(lookupEnabled), input_(input) {}
  ~MapCache() override {
    for (auto& [key, entry] : entries) delete entry.world;
  }

  void Seed(const M_LRect& key, const M_LRect& rect, char flags, const M_LRect& bounds,
            uint8_t grey) {
    Entry e{PF_World::New(rect, 8, 0), rect, flags, bounds};
    Fill(e.world, grey);
    entries[KeyOf(key)] = e;
  }

  bool LookupCache(const RG_RenderRequest& request, RG_NodeData** cacheData, M_LRect* resultRect,
                   char* outputFlags, M_LRect* contentBounds) const override {
    lookups.push_back(request);
    if (hand_out_tags) {
      last_tag = new Tag(&tag_deaths);
      *cacheData = last_tag;
    }
    auto it = entries.find(KeyOf(request.rect));
    if (it == entries.end()) return false;
    *resultRect = it->second.rect;
    *outputFlags = it->second.flags;
    *contentBounds = it->second.bounds;
    return true;
  }

  U_SharedPtr<RG_RenderNode> MakeInput() const override {
    ++make_input_calls;
    if (make_input_throws) throw 77L;
    return U_SharedPtr<RG_RenderNode>(input_);
  }

  void ChildRequestHook(const RG_NodeData* cacheData, RG_RenderRequest* child) const override {
    hook_data.push_back(cacheData);
    child->rect.right += hook_widen;
  }

  void StoreInCache(const RG_RenderRequest& child, long ticks, const M_LRect& rect, char flags,
                    PF_World* world, RG_CheckoutResult* output) const override {
    stores.push_back(StoreCall{child, ticks, rect, flags, world != nullptr});
    Entry& e = entries[KeyOf(child.rect)];
    delete e.world;
    e = Entry{world, rect, flags, rect};
    Supply(e, output);
  }

  bool RenderFromCache(const RG_NodeData* cacheData, const RG_RenderRequest& request,
                       RG_CheckoutResult* output) const override {
    render_from_cache_data.push_back(cacheData);
    if (!entry_survives) return false;
    Supply(entries.at(KeyOf(request.rect)), output);
    return true;
  }

  // Expectations and knobs.
  mutable std::map<Key, Entry> entries;
  mutable std::vector<RG_RenderRequest> lookups;
  mutable std::vector<StoreCall> stores;
  mutable std::vector<const RG_NodeData*> hook_data;
  mutable std::vector<const RG_NodeData*> render_from_cache_data;
  mutable int make_input_calls = 0;
  mutable int tag_deaths = 0;
  mutable Tag* last_tag = nullptr;
  bool hand_out_tags = true;
  bool entry_survives = true;
  bool make_input_throws = false;
  int32_t hook_widen = 0;

 private:
  // Gives the output a buffer of its rect with the entry's pixels where they
  // overlap, cleared elsewhere.
  static void Supply(const Entry& e, RG_CheckoutResult* output) {
    const M_LRect& r = output->GetRect();
    PF_World* out = PF_World::New(r, 8, 1);
    if (e.world) out->CopyPixels(e.world, nullptr, e.rect.left - r.left, e.rect.top - r.top);
    output->SetOutputWorld(out, nullptr);
  }

  CountingSource* input_;  // handed to the node's input slot by MakeInput
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
    delete world;
    LeakCheckTest::TearDown();
  }

  // A cache over a fresh CountingSource, which the test keeps alive too (the
  // cache only takes it into its input slot when it first needs it).
  void Make(const M_LRect& bounds, bool declareWhole, bool lookups = true, bool differ = false) {
    source_ = source = new CountingSource(bounds, declareWhole, differ);
    cache_ = cache = new MapCache(lookups, source);
  }

  // Executes the cache for `rect` and keeps what comes back.
  void Execute(const M_LRect& rect) {
    RG_RenderRequest request;
    request.rect = rect;
    delete world;
    world = nullptr;
    RG_ExecuteGraph(cache, request, &out_rect, &out_flags, &world, nullptr);
  }

  CountingSource* source = nullptr;
  MapCache* cache = nullptr;
  M_LRect out_rect;
  char out_flags = 0;
  PF_World* world = nullptr;

 private:
  U_SharedPtr<RG_RenderNode> source_;
  U_SharedPtr<MapCache> cache_;
};

TEST_F(CacheNodeTest, HitDeclaresCachedRectClippedToRequestAndNeverBuildsInput) {
  Make(R(0, 0, 300, 300), false);
  cache->Seed(R(50, 50, 200, 200), R(0, 0, 100, 100), 1, R(0, 0, 120, 110), 200);
  Execute(R(50, 50, 200, 200));

  EXPECT_EQ(out_rect, R(50, 50, 100, 100));
  EXPECT_EQ(out_flags, 1);
  ASSERT_NE(world, nullptr);
  EXPECT_EQ(TestPixel(world, 60, 60).red, 200);
  EXPECT_EQ(TestPixel(world, 99, 99).red, 200);
  EXPECT_EQ(cache->make_input_calls, 0);
  EXPECT_EQ(cache->GetInput(0), nullptr);
  EXPECT_TRUE(source->requests.empty());
  EXPECT_TRUE(cache->stores.empty());
  EXPECT_TRUE(cache->hook_data.empty());
  // The data handed out at pre-render reaches RenderFromCache and dies with
  // the node data.
  ASSERT_EQ(cache->render_from_cache_data.size(), 1u);
  EXPECT_EQ(cache->render_from_cache_data[0], cache->last_tag);
  EXPECT_EQ(cache->tag_deaths, 1);

  // The pre-render recorded the cached bounds for type 0: no input needed.
  EXPECT_EQ(cache->GetContentBounds(RG_CONTENT_BOUNDS_TYPE0), R(0, 0, 120, 110));
  EXPECT_EQ(cache->make_input_calls, 0);
  EXPECT_EQ(cache->lookups.size(), 1u);
  // Type 1 was never recorded: asking whether the types differ builds the input.
  EXPECT_EQ(cache->GetContentBounds(RG_CONTENT_BOUNDS_TYPE1), R(0, 0, 120, 110));
  EXPECT_EQ(cache->make_input_calls, 1);
  EXPECT_EQ(cache->GetInput(0), source);
}

TEST_F(CacheNodeTest, MissRendersWholeInputOutputAndStoresWidenedRequest) {
  // The input declares all of (0, 0, 64, 32) whatever it is asked.
  Make(R(0, 0, 64, 32), true);
  cache->hook_widen = 90;  // the hook turns (10, 10, 20, 20) into (10, 10, 110, 20)
  {
    // The pre-render declares the input's result, though larger than asked,
    // and records content bounds of the request's type from it.
    RG_Traverser traverser(cache);
    RG_RenderRequest request;
    request.rect = R(10, 10, 20, 20);
    traverser.PreRenderGraph(request);
    EXPECT_EQ(traverser.GetNodeRect(cache), R(0, 0, 64, 32));
    EXPECT_EQ(cache->GetContentBounds(RG_CONTENT_BOUNDS_TYPE0), R(0, 0, 64, 32));
    source->requests.clear();
    cache->hook_data.clear();
  }
  Execute(R(10, 10, 20, 20));

  // The consumer gets what it asked for, from the input's whole result.
  EXPECT_EQ(out_rect, R(10, 10, 20, 20));
  EXPECT_EQ(out_flags, 1);
  ASSERT_NE(world, nullptr);
  EXPECT_EQ(TestPixel(world, 15, 15).red, 77);

  EXPECT_EQ(cache->make_input_calls, 1);
  ASSERT_EQ(cache->hook_data.size(), 1u);
  EXPECT_EQ(cache->hook_data[0], cache->last_tag);
  // The input sees the hooked rect; the whole-output bit never reaches it.
  ASSERT_EQ(source->requests.size(), 1u);
  EXPECT_EQ(source->requests[0].rect, R(10, 10, 110, 20));
  EXPECT_EQ(source->requests[0].flags & RG_REQUEST_WHOLE_OUTPUT, 0);
  EXPECT_EQ(source->renders, 1);

  ASSERT_EQ(cache->stores.size(), 1u);
  const StoreCall& s = cache->stores[0];
  EXPECT_EQ(s.child.rect, R(0, 0, 110, 32));  // hooked request widened by the result
  EXPECT_NE(s.child.flags & RG_REQUEST_WHOLE_OUTPUT, 0);
  EXPECT_EQ(s.ticks, 250);  // exactly the input's render time
  EXPECT_EQ(s.rect, R(0, 0, 64, 32));
  EXPECT_EQ(s.flags, 1);
  EXPECT_TRUE(s.had_world);
  EXPECT_EQ(cache->tag_deaths, 2);  // one per pre-render

  // A second miss reuses the input made the first time.
  Execute(R(12, 12, 14, 14));
  EXPECT_EQ(cache->make_input_calls, 1);
  EXPECT_EQ(cache->stores.size(), 2u);
  EXPECT_EQ(source->renders, 2);
}

TEST_F(CacheNodeTest, DisabledLookupsAlwaysRenderButProbesStillAsk) {
  Make(R(0, 0, 40, 40), false, false);
  // A node whose bounds no pre-render recorded asks the cache.
  cache->Seed(R(0, 0, 0, 0), R(0, 0, 0, 0), 0, R(1, 2, 3, 4), 9);
  EXPECT_EQ(cache->GetContentBounds(RG_CONTENT_BOUNDS_TYPE0), R(1, 2, 3, 4));
  EXPECT_EQ(cache->lookups.size(), 1u);

  cache->Seed(R(0, 0, 40, 40), R(0, 0, 40, 40), 0, R(1, 2, 3, 4), 9);
  Execute(R(0, 0, 40, 40));
  EXPECT_EQ(cache->lookups.size(), 1u);
  EXPECT_EQ(source->renders, 1);
  ASSERT_EQ(cache->stores.size(), 1u);
  ASSERT_NE(world, nullptr);
  EXPECT_EQ(TestPixel(world, 5, 5).red, 77);  // not the seeded 9
}

TEST_F(CacheNodeTest, FailedRenderFromCacheRunsOneNestedExecution) {
  Make(R(0, 0, 80, 80), false);
  cache->Seed(R(50, 50, 200, 200), R(0, 0, 100, 100), 0, R(0, 0, 100, 100), 200);
  cache->entry_survives = false;
  cache->hook_widen = 5;
  Execute(R(50, 50, 200, 200));

  EXPECT_EQ(cache->make_input_calls, 1);
  ASSERT_EQ(cache->render_from_cache_data.size(), 1u);
  ASSERT_EQ(cache->hook_data.size(), 1u);
  EXPECT_EQ(cache->hook_data[0], cache->last_tag);
  // The nested execution asks for the hooked request clipped to the output.
  ASSERT_EQ(source->requests.size(), 1u);
  EXPECT_EQ(source->requests[0].rect, R(50, 50, 100, 100));
  EXPECT_EQ(source->renders, 1);
  ASSERT_EQ(cache->stores.size(), 1u);
  EXPECT_EQ(cache->stores[0].child.rect, R(50, 50, 100, 100));
  EXPECT_EQ(cache->stores[0].ticks, 250);
  EXPECT_EQ(cache->stores[0].rect, R(50, 50, 80, 80));
  EXPECT_TRUE(cache->stores[0].had_world);

  EXPECT_EQ(out_rect, R(50, 50, 100, 100));
  ASSERT_NE(world, nullptr);
  EXPECT_EQ(TestPixel(world, 60, 60).red, 77);   // rendered afresh
  EXPECT_EQ(TestPixel(world, 90, 90).alpha, 0);  // beyond the input's result
}

TEST_F(CacheNodeTest, ContentBoundsProbesAskTheCacheAndKeepNoData) {
  // A hit, for types that do not differ: a type-1 query probes once with
  // type 0 (asking whether the types differ needed the input).
  Make(R(0, 0, 40, 40), false);
  cache->Seed(R(0, 0, 0, 0), R(0, 0, 0, 0), 0, R(5, 5, 50, 50), 1);
  EXPECT_EQ(cache->GetContentBounds(RG_CONTENT_BOUNDS_TYPE1), R(5, 5, 50, 50));
  EXPECT_EQ(cache->GetContentBounds(RG_CONTENT_BOUNDS_TYPE0), R(5, 5, 50, 50));
  ASSERT_EQ(cache->lookups.size(), 1u);
  EXPECT_EQ(cache->lookups[0].rect, R(0, 0, 0, 0));
  EXPECT_EQ(cache->lookups[0].flags, 0);
  EXPECT_EQ(cache->lookups[0].field, 0);
  EXPECT_EQ(cache->tag_deaths, 1);
  EXPECT_EQ(cache->make_input_calls, 1);
  EXPECT_FALSE(cache->ContentBoundsDifferByType());

  // Misses, for types that differ: each type asks the cache, then the input.
  Make(R(0, 0, 40, 40), false, true, true);
  EXPECT_TRUE(cache->ContentBoundsDifferByType());
  EXPECT_EQ(cache->GetContentBounds(RG_CONTENT_BOUNDS_TYPE1), R(0, 0, 41, 40));
  EXPECT_EQ(cache->GetContentBounds(RG_CONTENT_BOUNDS_TYPE0), R(0, 0, 40, 40));
  ASSERT_EQ(cache->lookups.size(), 2u);
  EXPECT_EQ(cache->lookups[0].flags, RG_REQUEST_CONTENT_BOUNDS_TYPE1);
  EXPECT_EQ(cache->lookups[1].flags, 0);
  EXPECT_EQ(cache->make_input_calls, 1);
  EXPECT_EQ(cache->tag_deaths, 2);
}

TEST_F(CacheNodeTest, ThrowingPreRenderFreesNodeAndCacheData) {
  Make(R(0, 0, 40, 40), false);
  cache->make_input_throws = true;
  try {
    Execute(R(0, 0, 10, 10));
    ADD_FAILURE() << "expected the MakeInput error";
  } catch (long code) {
    EXPECT_EQ(code, 77);
  }
  EXPECT_EQ(cache->tag_deaths, 1);
  EXPECT_EQ(world, nullptr);
}

}  // namespace
