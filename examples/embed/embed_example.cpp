// A host in one file: its own effect nodes (an in-place levels adjustment and
// a box blur that reads a grown rect), a cache node backed by a map, and a
// profiler that prints what each node cost. It renders a small graph twice,
// checks the pixels, and shows that the second frame is served from the cache.
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <tuple>

#include "rg/rg.h"

namespace app {

// ---- an effect that works in place: out = in * gain (8-bit, premultiplied) ----
class GainNode : public RG_OneInputNode {
 public:
  GainNode(RG_RenderNode* input, float gain) : gain_(gain) { inputs_[0] = input; }

  RG_NodeData* PreRender(RG_NodePreRenderCB* cb, const RG_RenderRequest& request) const override {
    RG_CheckoutResult* in = cb->CheckoutInput(0, request);
    // The output is the input's own buffer, modified in place; scaling colour
    // keeps an opaque input opaque, so its flags pass through.
    cb->RequestOutputInPlace(in, in->GetResultRect(), in->GetFlags(), 0);
    return nullptr;
  }

  void Render(RG_NodeRenderCB* cb, const RG_RenderRequest&, const RG_NodeData*) const override {
    PF_World* world = cb->GetCheckoutByID(-1)->GetOutputWorld();  // renders the input into it
    for (int32_t y = 0; y < world->height; ++y) {
      auto* row = static_cast<PF_RGBA8*>(world->PixelAddress(0, y));
      for (int32_t x = 0; x < world->width; ++x) {
        row[x].red = Scale(row[x].red, row[x].alpha);
        row[x].green = Scale(row[x].green, row[x].alpha);
        row[x].blue = Scale(row[x].blue, row[x].alpha);
      }
    }
  }

 private:
  uint8_t Scale(uint8_t c, uint8_t alpha) const {
    // Premultiplied colour never exceeds alpha.
    return static_cast<uint8_t>(std::fmin(alpha, std::lround(c * gain_)));
  }
  float gain_;
};

// ---- an effect that reads more than it writes: a horizontal box blur ----
class BoxBlurNode : public RG_OneInputNode {
 public:
  BoxBlurNode(RG_RenderNode* input, int32_t radius) : radius_(radius) { inputs_[0] = input; }

  RG_NodeData* PreRender(RG_NodePreRenderCB* cb, const RG_RenderRequest& request) const override {
    RG_RenderRequest grown = request;
    grown.rect.left -= radius_;
    grown.rect.right += radius_;
    RG_CheckoutResult* in = cb->CheckoutInput(0, grown);
    // The blur spreads the input by the radius; ask for no more than that.
    M_LRect out = in->GetRect();
    out.left = std::max(request.rect.left, out.left - radius_);
    out.right = std::min(request.rect.right, out.right + radius_);
    out.top = std::max(request.rect.top, out.top);
    out.bottom = std::min(request.rect.bottom, out.bottom);
    cb->RequestOutput(out, 0, 1);  // a new, cleared buffer
    return nullptr;
  }

  void Render(RG_NodeRenderCB* cb, const RG_RenderRequest&, const RG_NodeData*) const override {
    RG_CheckoutResult* in = cb->GetNextCheckout();
    RG_CheckoutResult* out = cb->GetNextCheckout();
    const PF_World* src = in->GetWorld();
    PF_World* dst = out->GetOutputWorld();
    if (src == nullptr || dst == nullptr) return;
    const M_LRect s = src->GetRect();
    const M_LRect d = dst->GetRect();
    for (int32_t y = d.top; y < d.bottom; ++y) {
      if (y < s.top || y >= s.bottom) continue;
      auto* row = static_cast<PF_RGBA8*>(dst->PixelAddress(0, y - d.top));
      const auto* srow = static_cast<const PF_RGBA8*>(src->PixelAddress(0, y - s.top));
      for (int32_t x = d.left; x < d.right; ++x) {
        int sum[4] = {0, 0, 0, 0};
        for (int32_t k = x - radius_; k <= x + radius_; ++k) {
          if (k < s.left || k >= s.right) continue;  // transparent outside the input
          const PF_RGBA8& p = srow[k - s.left];
          sum[0] += p.red, sum[1] += p.green, sum[2] += p.blue, sum[3] += p.alpha;
        }
        const int n = 2 * radius_ + 1;
        row[x - d.left] = PF_RGBA8{
            static_cast<uint8_t>((sum[0] + n / 2) / n), static_cast<uint8_t>((sum[1] + n / 2) / n),
            static_cast<uint8_t>((sum[2] + n / 2) / n), static_cast<uint8_t>((sum[3] + n / 2) / n)};
      }
    }
  }

 private:
  int32_t radius_;
};

// ---- a cache node: the host keeps rendered buffers of the sub-graph ----
class MapCacheNode : public RG_CacheNodeBase {
 public:
  explicit MapCacheNode(U_SharedPtr<RG_RenderNode> subGraph) : sub_graph_(subGraph) {}
  ~MapCacheNode() override {
    for (auto& [key, entry] : entries_) delete entry.world;
  }

  int hits = 0;
  int stores = 0;

  bool LookupCache(const RG_RenderRequest& request, RG_NodeData**, M_LRect* resultRect,
                   char* outputFlags, M_LRect* contentBounds) const override {
    auto it = entries_.find(Key(request));
    if (it == entries_.end()) return false;
    const Entry& e = it->second;
    // The entry serves the request when it holds everything the request can see.
    M_LRect wanted = Intersect(request.rect, e.bounds);
    if (!M_IsEmpty(wanted) && !Contains(e.rect, wanted)) return false;
    *resultRect = e.rect;
    *outputFlags = e.flags;
    *contentBounds = e.bounds;
    ++const_cast<MapCacheNode*>(this)->hits;
    return true;
  }

  U_SharedPtr<RG_RenderNode> MakeInput() const override { return sub_graph_; }

  void StoreInCache(const RG_RenderRequest& childRequest, long, const M_LRect& resultRect,
                    char outputFlags, PF_World* world, RG_CheckoutResult* output) const override {
    std::unique_ptr<PF_World> owned(world);  // ours now, whatever happens
    Entry& e = entries_[Key(childRequest)];
    delete e.world;
    e.world = owned.release();
    e.rect = resultRect;
    e.flags = outputFlags;
    e.bounds = GetInput(0)->GetContentBounds(RG_CONTENT_BOUNDS_TYPE0);
    ++const_cast<MapCacheNode*>(this)->stores;
    ServeFrom(e, output);
  }

  bool RenderFromCache(const RG_NodeData*, const RG_RenderRequest& request,
                       RG_CheckoutResult* output) const override {
    auto it = entries_.find(Key(request));
    if (it == entries_.end()) return false;  // evicted since pre-render: render the input
    ServeFrom(it->second, output);
    return true;
  }

 private:
  struct Entry {
    PF_World* world = nullptr;  // owned
    M_LRect rect;
    char flags = 0;
    M_LRect bounds;
  };
  using CacheKey = std::tuple<int, int, int>;

  static CacheKey Key(const RG_RenderRequest& r) {
    return {r.bit_depth, r.field, r.flags & RG_REQUEST_CONTENT_BOUNDS_TYPE1};
  }
  static M_LRect Intersect(const M_LRect& a, const M_LRect& b) {
    return {std::max(a.left, b.left), std::max(a.top, b.top), std::min(a.right, b.right),
            std::min(a.bottom, b.bottom)};
  }
  static bool Contains(const M_LRect& a, const M_LRect& b) {
    return a.left <= b.left && a.top <= b.top && a.right >= b.right && a.bottom >= b.bottom;
  }
  // The output gets a view of the entry; the lock tells the library the
  // pixels are not its own, so it copies them before anyone writes.
  static void ServeFrom(const Entry& e, RG_CheckoutResult* output) {
    const M_LRect& r = output->GetRect();
    PF_World* view =
        PF_World::NewReference(e.world, M_LRect{r.left - e.rect.left, r.top - e.rect.top,
                                                r.right - e.rect.left, r.bottom - e.rect.top});
    output->SetOutputWorld(view, new RG_BufferLock);
  }

  U_SharedPtr<RG_RenderNode> sub_graph_;
  mutable std::map<CacheKey, Entry> entries_;
};

// ---- a profiler: prints each node's own and total time ----
class PrintingProfiler : public RG_GraphProfiler {
 public:
  void GraphStart(const char*, const RG_RenderNode* root) override {
    std::printf("graph under node %lu\n", root->GetGloballyUniqueID());
  }
  void GraphEnd() override { std::printf("graph done\n"); }
  void InputEdge(const RG_RenderNode*, const RG_RenderNode*) override {}
  void NodeTiming(const RG_RenderNode* node, const char* label, int32_t totalMs, int32_t childrenMs,
                  bool, intptr_t) override {
    std::printf("  %-22s #%-3lu own %d ms, total %d ms\n", label, node->GetGloballyUniqueID(),
                totalMs - childrenMs, totalMs);
  }
};

PF_World* MakeLayer(const M_LRect& rect, PF_RGBA8 colour) {
  PF_World* w = PF_World::New(rect, 8, 0);
  for (int32_t y = 0; y < w->height; ++y) {
    auto* row = static_cast<PF_RGBA8*>(w->PixelAddress(0, y));
    for (int32_t x = 0; x < w->width; ++x) row[x] = colour;
  }
  return w;
}

}  // namespace app

using namespace app;

int main() {
  if (RG_CheckVersions(0, RG_HEADER_VERSION) != 0) {
    std::fprintf(stderr, "render-graph library version mismatch\n");
    return 1;
  }
  std::unique_ptr<PF_World> background(MakeLayer({0, 0, 64, 32}, {40, 80, 120, 255}));
  std::unique_ptr<PF_World> stripe(MakeLayer({16, 8, 48, 24}, {200, 0, 0, 255}));
  int status = 0;
  try {
    // background -> cache;  stripe -> blur -> gain;  gain over cache.
    // Each node is held from the moment it exists (a parent takes a
    // reference of its own), so an allocation that throws half-way through
    // leaves nothing behind.
    U_SharedPtr<RG_RenderNode> backgroundNode(new RG_SourceBufferNode(background.get()));
    U_SharedPtr<MapCacheNode> cache(new MapCacheNode(backgroundNode.get()));
    U_SharedPtr<RG_RenderNode> stripeNode(new RG_SourceBufferNode(stripe.get()));
    U_SharedPtr<RG_RenderNode> blur(new BoxBlurNode(stripeNode.get(), 2));
    U_SharedPtr<RG_RenderNode> fx(new GainNode(blur.get(), 0.5f));
    PF_CompositeModePlus normal;  // normal mode, opacity 1
    U_SharedPtr<RG_RenderNode> root(
        new RG_CompositeNode(fx.get(), normal, cache.get(), nullptr, 0));

    // Installed for the renders below and taken out again however they end.
    PrintingProfiler profiler;
    struct ProfilerInstalled {
      explicit ProfilerInstalled(RG_GraphProfiler* p) { RG_SetProfiler(p); }
      ~ProfilerInstalled() { RG_SetProfiler(nullptr); }
    } installed(&profiler);
    for (int frame = 0; frame < 2; ++frame) {
      RG_RenderRequest request;
      request.rect = {0, 0, 64, 32};
      request.bit_depth = 8;
      // Render straight into a buffer of our own.
      std::unique_ptr<PF_World> frameBuffer(PF_World::New(request.rect, 8, 1));
      M_LRect outRect;
      RG_ExecuteGraph(root.get(), request, request.rect, frameBuffer.get(), &outRect);

      const auto* centre = static_cast<const PF_RGBA8*>(frameBuffer->PixelAddress(32, 16));
      const auto* edge = static_cast<const PF_RGBA8*>(frameBuffer->PixelAddress(2, 2));
      std::printf("frame %d: centre %d,%d,%d,%d  corner %d,%d,%d,%d\n", frame, centre->red,
                  centre->green, centre->blue, centre->alpha, edge->red, edge->green, edge->blue,
                  edge->alpha);
      // The stripe at half gain over the background; the background alone at the corner.
      if (centre->red != 100 || centre->alpha != 255 || edge->blue != 120) status = 2;
    }
    std::printf("cache: %d store(s), %d hit(s)\n", cache->stores, cache->hits);
    if (cache->stores != 1 || cache->hits < 1) status = 3;
  } catch (long code) {
    std::fprintf(stderr, "render failed with code %ld\n", code);
    status = 4;
  }
  return status;
}
