#include <gtest/gtest.h>

#include <memory>

#include "LruCache.h"
#include "SceneGraph.h"
#include "SceneLoader.h"
#include "ToolsTestUtil.h"
#include "rghost/U_Errors.h"
#include "rghost/U_Memory.h"
#include "support/LeakCheck.h"
#include "support/TestNodes.h"

namespace {

class CacheTest : public LeakCheckTest {};

// Renders frames first..last of `scene` with one cache; returns the renders
// per node id.
std::map<std::string, long> RenderFrames(const SceneDesc& scene, LruCache* cache, int first,
                                         int last) {
  ImageStore images;
  images.LoadAll(scene, 8);
  RenderMonitor monitor(false);
  for (int frame = first; frame <= last; ++frame) {
    FrameGraph graph(scene, images, cache, &monitor, frame);
    EXPECT_NE(TestRun(graph.Root().get(), M_LRect{0, 0, scene.width, scene.height}).world, nullptr);
  }
  return monitor.RenderCounts();
}

TEST_F(CacheTest, AnimatedParameterInsideTheCacheMustNeverBeServedStale) {
  SceneDesc scene = LoadScene(DataPath("reference_scene.json"));
  // Animate the levels below the cache: each frame is a new cache key.
  NodeDesc& graded = scene.nodes[scene.index.at("graded")];
  graded.params["gamma"] = AnimValue({{0.0, {1.0}}, {4.0, {2.0}}});
  LruCache cache(64 << 20);
  EXPECT_EQ(RenderFrames(scene, &cache, 0, 4)["tiles"], 5);
  EXPECT_EQ(cache.Counters().hits, 0);
  // Frame 4 again: served from the entry of its own frame.
  EXPECT_EQ(RenderFrames(scene, &cache, 4, 4)["tiles"], 0);
  EXPECT_EQ(cache.Counters().hits, 1);
}

TEST_F(CacheTest, DescriptionMustChangeWithEveryParameterAndInputBelow) {
  SceneDesc scene = LoadScene(DataPath("reference_scene.json"));
  ImageStore images;
  images.LoadAll(scene, 8);
  FrameGraph a(scene, images, nullptr, nullptr, 0), b(scene, images, nullptr, nullptr, 3);
  EXPECT_EQ(a.Describe("background"), b.Describe("background"));  // static
  EXPECT_NE(a.Describe("spin"), b.Describe("spin"));              // keyframed
  SceneDesc edited = scene;
  edited.nodes[edited.index.at("tiles")].params["size"] = AnimValue(std::vector<double>{5});
  FrameGraph c(edited, images, nullptr, nullptr, 0);
  EXPECT_NE(a.Describe("background"), c.Describe("background"));  // an input two levels down
  EXPECT_EQ(a.Describe("dot"), c.Describe("dot"));
}

std::shared_ptr<CacheEntry> MakeEntry(const std::string& key, int32_t size) {
  auto e = std::make_shared<CacheEntry>();
  e->key = key;
  e->request.rect = M_LRect{0, 0, size, size};
  e->result_rect = e->request.rect;
  e->world.reset(PF_World::New(e->result_rect, 8, 1));
  e->bytes = static_cast<size_t>(e->world->rowbytes) * e->world->height;
  return e;
}

TEST_F(CacheTest, BudgetMustNeverBeExceededAndTheLeastRecentGoesFirst) {
  const size_t one = MakeEntry("x", 16)->bytes;
  LruCache cache(2 * one + one / 2);
  cache.Insert(MakeEntry("a", 16));
  cache.Insert(MakeEntry("b", 16));
  const RG_RenderRequest r = TestRequest(M_LRect{2, 2, 8, 8});
  EXPECT_TRUE(cache.Find("a", r));  // a is now the most recent
  cache.Insert(MakeEntry("c", 16));
  EXPECT_LE(cache.Bytes(), cache.Budget());
  EXPECT_FALSE(cache.Find("b", r));
  EXPECT_TRUE(cache.Find("a", r));
  EXPECT_TRUE(cache.Find("c", r));
  EXPECT_FALSE(cache.Insert(MakeEntry("huge", 64)));
  EXPECT_LE(cache.Bytes(), cache.Budget());
  // An entry serves only requests inside what it was rendered for, at its depth.
  EXPECT_FALSE(cache.Find("a", TestRequest(M_LRect{2, 2, 20, 8})));
  EXPECT_FALSE(cache.Find("a", TestRequest(M_LRect{0, 0, 16, 16}, 16)));
}

TEST_F(CacheTest, HostPurgeLoopMustTakeMemoryBack) {
  LruCache cache(1 << 20);
  cache.Insert(MakeEntry("a", 16));
  cache.Insert(MakeEntry("b", 16));
  const size_t before = cache.Bytes();
  int calls = 0;
  const long rc = U_PurgeLoop(
      before / 2,
      [](void* context) -> long {
        return ++*static_cast<int*>(context) == 1 ? U_ERR_OUT_OF_MEMORY : 0;
      },
      &calls, 0);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(calls, 2);
  EXPECT_LT(cache.Bytes(), before);
  EXPECT_EQ(cache.Size(), 1u);
}

}  // namespace
