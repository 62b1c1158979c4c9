// libFuzzer target: the input is a scene file for rgrender. A scene that
// loads and names no image file is built into its first frame's graph and a
// corner of it rendered twice (so caches serve), at a depth and in an entry
// form picked from the input's length; one input in 16 first grows into a
// deep chain, for the passes that must not recurse per node. SceneError,
// `long` and std::bad_alloc (an effect's buffer beyond the allocation cap)
// are expected; anything else, a sanitizer report or a leak is a finding.
#include <algorithm>
#include <memory>
#include <new>
#include <string>

#include "FuzzSupport.h"
#include "ImageStore.h"
#include "LruCache.h"
#include "Progress.h"
#include "SceneGraph.h"
#include "SceneLoader.h"

namespace {

constexpr int32_t kMaxSide = 48;

void Render(const SceneDesc& scene, size_t variant) {
  // Image nodes would read files the input names: the loader's checks only.
  for (const NodeDesc& node : scene.nodes)
    if (node.kind == NodeKind::Image) return;

  const short depth = static_cast<short>(8 << variant % 3);
  const bool intoBuffer = (variant / 3) % 2 != 0;

  ImageStore images;
  LruCache cache(1 << 20);
  RenderMonitor monitor(false);
  FrameGraph graph(scene, images, &cache, &monitor, scene.frame_start);
  U_SharedPtr<RG_RenderNode> root = graph.Root();

  RG_RenderRequest request;
  request.rect = M_LRect{0, 0, std::min(scene.width, kMaxSide), std::min(scene.height, kMaxSide)};
  request.bit_depth = depth;
  request.field = scene.interlace;
  for (int pass = 0; pass < 2; ++pass) {
    M_LRect outRect;
    char flags = 0;
    PF_World* out = nullptr;
    std::unique_ptr<PF_World> dest(intoBuffer ? PF_World::New(request.rect, depth, 0) : nullptr);
    if (intoBuffer)
      RG_ExecuteGraph(root.get(), request, request.rect, dest.get(), &outRect);
    else
      RG_ExecuteGraph(root.get(), request, &outRect, &flags, &out, nullptr);
    delete out;
  }
}

// Puts `copies` copies of the scene's last node with a source input on top
// of the output, each reading the one below: a chain no cycle can enter.
void Deepen(SceneDesc& scene, int copies) {
  auto link = std::find_if(scene.nodes.rbegin(), scene.nodes.rend(),
                           [](const NodeDesc& n) { return !n.source.empty(); });
  if (link == scene.nodes.rend()) return;
  // A blur or a motion blur reaches further with every copy, so each copy
  // would render a wider area than the one above it, and a chain of thousands
  // would take minutes: copies that reach no further keep its work linear.
  NodeDesc pattern = *link;
  if (pattern.kind == NodeKind::Blur) pattern.params["sigma"] = AnimValue({0.0});
  pattern.motion_samples = 1;
  for (int i = 0; i < copies; ++i) {
    NodeDesc n = pattern;
    n.id = "deep" + std::to_string(i);
    n.source = scene.output;
    scene.output = n.id;
    scene.index[n.id] = scene.nodes.size();
    scene.nodes.push_back(std::move(n));
  }
}

}  // namespace

const char* const kFuzzTargetName = "fuzz_scene";

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzLeakCheck leaks;
  const std::string text(reinterpret_cast<const char*>(data), size);
  try {
    SceneDesc scene = ParseScene(text, "fuzz.json", "/nonexistent-fuzz-dir");
    if (size % 16 == 0) Deepen(scene, 1000 * (1 + data[0] % 30));
    Render(scene, size);
  } catch (const SceneError&) {
  } catch (long) {
  } catch (const std::bad_alloc&) {
  }
  return 0;
}
