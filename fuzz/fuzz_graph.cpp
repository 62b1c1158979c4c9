// libFuzzer target: the input is a small program that builds a render graph
// of every kind of node the library and the proof's host nodes offer and
// executes it one to three times with fuzzed requests, in any entry form,
// sometimes with an injected host failure or the DOT profiler. Library and
// host errors arrive as `long`; anything else, a result that breaks the
// execution contract or anything left alive is a finding.
#include <cmath>
#include <deque>
#include <memory>
#include <new>
#include <optional>
#include <vector>

#include "FuzzSupport.h"
#include "support/ProofNodes.h"

namespace {

constexpr size_t kMaxNodes = 40;
constexpr int kMaxSourceSide = 24;
constexpr int kMaxRequestSide = 160;

M_Matrix3 PickMatrix(ByteReader& in) {
  M_Matrix3 m;
  const uint32_t kind = in.Below(9);  // 0: identity
  if (kind == 2) m[6] = in.Coord() + in.Real(), m[7] = in.Coord() + 0.5;
  if (kind == 3) m[0] = in.Real(), m[4] = in.Real();
  if (kind == 4) {
    const double a = in.U8() * (6.283185307179586 / 256.0);
    const double s = 1.0 + static_cast<int8_t>(in.U8()) / 64.0;
    m[0] = m[4] = s * std::cos(a);
    m[1] = s * std::sin(a);
    m[3] = -m[1];
  }
  if (kind == 1 || kind == 3 || kind == 4) m[6] = in.Coord(), m[7] = in.Coord();
  if (kind == 5)
    for (double& v : m.m) v = in.Real();
  if (kind == 6 && in.Bit())  // singular: all zero, or one row a multiple of the other
    for (double& v : m.m) v = 0;
  else if (kind == 6)
    m[0] = in.Real(), m[1] = in.Real(), m[3] = 2 * m[0], m[4] = 2 * m[1];
  if (kind == 7)  // projective
    m[2] = in.Real() * 1e-3, m[5] = in.Real() * 1e-3, m[8] = 1 + in.Real(), m[6] = in.Coord();
  if (kind == 8) m[7] = 2 * in.Coord() + in.Below(2);  // whole-row shifts
  return m;
}

// k % n for a byte k below `below`, otherwise any 32-bit value.
int32_t PickSmall(ByteReader& in, uint8_t below, int n) {
  const uint8_t k = in.U8();
  return k < below ? k % n : static_cast<int32_t>(in.U32());
}

PF_CompositeModePlus PickMode(ByteReader& in) {
  PF_CompositeModePlus mode;
  mode.transfer_mode = PickSmall(in, 200, PF_BLEND_MODE_COUNT);
  mode.dest_bound = in.Below(4) == 0 ? 1 : 0;
  mode.opacity = in.Opacity();
  mode.dissolve_seed = static_cast<int32_t>(in.U16());
  mode.mode_ext = in.Below(8) == 0 ? in.U64() : 0;
  return mode;
}

// A rect of at most kMaxRequestSide per side, sometimes empty or inverted.
M_LRect PickRect(ByteReader& in) {
  M_LRect r;
  r.left = in.Coord();
  r.top = in.Coord();
  r.right = r.left + static_cast<int32_t>(in.Below(kMaxRequestSide + 1));
  r.bottom = r.top + static_cast<int32_t>(in.Below(kMaxRequestSide + 1));
  if (in.Below(16) == 0) std::swap(r.left, r.right);
  return r;
}

// Everything one input builds; destroyed nodes first, then the buffers the
// source nodes borrow.
struct Scene {
  std::vector<std::unique_ptr<PF_World>> worlds;
  std::vector<std::vector<uint64_t>> borrowed_memory;
  std::deque<long> countdowns;  // of the abort objects
  std::vector<U_SharedPtr<RG_RenderNode>> nodes;
  short depth = 8;

  ~Scene() { nodes.clear(); }

  RG_RenderNode* Pick(ByteReader& in, bool allowNull) {
    const uint32_t n = static_cast<uint32_t>(nodes.size()) + (allowNull ? 1 : 0);
    const uint32_t i = in.Below(n);
    if (i >= nodes.size()) return nullptr;
    return nodes[nodes.size() - 1 - i].get();
  }
  RG_RenderNode* PickSource(ByteReader& in) {
    if (RG_RenderNode* node = Pick(in, false)) return node;
    nodes.push_back(new RG_NullNode);
    return nodes.back().get();
  }

  void AddSource(ByteReader& in) {
    const int32_t w = 1 + static_cast<int32_t>(in.Below(kMaxSourceSide));
    const int32_t h = 1 + static_cast<int32_t>(in.Below(kMaxSourceSide));
    const int32_t ox = in.Coord(), oy = in.Coord();
    const uint8_t options = in.U8();
    PF_World* world;
    if (options & 1) {
      // Caller-owned memory with padded rows.
      const long pixel = static_cast<long>(PF_BytesPerPixel(depth));
      const long rowbytes = (w + (options >> 5)) * pixel;
      borrowed_memory.emplace_back(static_cast<size_t>(rowbytes * h + 7) / 8);
      world = PF_World::NewBorrowed(borrowed_memory.back().data(), w, h, rowbytes, depth, ox, oy);
    } else {
      world = PF_World::New(M_LRect{ox, oy, ox + w, oy + h}, depth, 1);
    }
    worlds.emplace_back(world);
    // Transparent, opaque, translucent or raw pixels.
    ProofFillWorld(world, in.U32(), static_cast<ProofFill>((options >> 1) % 4));
    if (options & 0x10) {
      // Bounds of their own, no larger than the world.
      const int32_t bw = 1 + static_cast<int32_t>(in.Below(static_cast<uint32_t>(w)));
      const int32_t bh = 1 + static_cast<int32_t>(in.Below(static_cast<uint32_t>(h)));
      const int32_t bx = in.Coord(), by = in.Coord();
      nodes.push_back(new RG_SourceBufferNode(world, M_LRect{bx, by, bx + bw, by + bh}));
    } else {
      nodes.push_back(new RG_SourceBufferNode(world));
    }
  }

  // A composite, or with `xform` a transform (its matrices and quality read first).
  void AddComposite(ByteReader& in, bool xform) {
    M_Matrix3 matrices[3];
    long count = 0, quality = 0;
    if (xform) {
      count = static_cast<long>(in.Below(4));
      for (long i = 0; i < count; ++i) matrices[i] = PickMatrix(in);
      quality = PickSmall(in, 240, 2);
    }
    RG_RenderNode* src = PickSource(in);
    RG_RenderNode* dst = Pick(in, true);
    RG_RenderNode* mask = in.Below(3) == 0 ? Pick(in, true) : nullptr;
    const PF_CompositeModePlus mode = PickMode(in);
    const long maskMode = PickSmall(in, 200, 4);
    if (xform)
      nodes.push_back(new RG_XformNode(matrices, count, mode, quality, src, dst, mask, maskMode));
    else
      nodes.push_back(new RG_CompositeNode(src, mode, dst, mask, maskMode));
  }

  void Build(ByteReader& in) {
    while (!in.Empty() && nodes.size() < kMaxNodes) {
      const uint32_t op = in.Below(9);
      if (op <= 1) AddSource(in);
      if (op == 2) nodes.push_back(new RG_NullNode);
      if (op == 3 || op == 4) AddComposite(in, op == 4);
      RG_RenderNode* input = op == 5 || op == 8 ? PickSource(in) : nullptr;
      if (op == 5) nodes.push_back(new ProofCacheNode(input, in.U8()));
      RG_RenderNode* node = op == 6 || op == 7 ? Pick(in, true) : nullptr;
      if (node && op == 6) node->SetLegacyEffectBounds(PickRect(in));
      if (node && op == 7) node->SetProgAbort(new ProofAbort(&countdowns.emplace_back(in.U8())));
      if (op == 8) {
        const uint16_t policy = in.U16();
        const M_LRect keep = policy & ProofEffectNode::kCrop ? PickRect(in) : M_LRect{};
        nodes.push_back(new ProofEffectNode(input, policy, keep, M_Grow(keep, in.U8() % 4)));
      }
      if (in.Below(8) == 0) break;
    }
  }
};

// Reads every byte of the world's rows, so that a world whose geometry lies
// about its memory shows up under ASan.
void TouchWorld(const PF_World* world) {
  const size_t pixel = PF_BytesPerPixel(world->depth);
  if (pixel == 0) Finding("result world of unknown depth");
  volatile uint8_t sink = 0;
  for (int32_t y = 0; y < world->height; ++y) {
    const auto* row = static_cast<const uint8_t*>(world->PixelAddress(0, y));
    for (size_t i = 0; i < pixel * static_cast<size_t>(world->width); ++i) sink = sink ^ row[i];
  }
}

void CheckResult(const M_LRect& rect, const PF_World* world, short depth) {
  if (world == nullptr) {
    if (!(rect == M_LRect{})) Finding("no world but a non-zero out rect");
    return;
  }
  if (world->depth != depth) Finding("result world of another depth than requested");
  if (int64_t{world->width} != int64_t{rect.right} - rect.left ||
      int64_t{world->height} != int64_t{rect.bottom} - rect.top)
    Finding("result world and out rect differ in size");
  TouchWorld(world);
}

void Execute(Scene& scene, RG_RenderNode* root, ByteReader& in) {
  RG_RenderRequest request;
  request.flags = in.U8();
  request.field = PickSmall(in, 240, 3);
  request.bit_depth = scene.depth;
  const uint8_t options = in.U8();
  // An injected failure makes the n-th next fallible host call fail.
  std::optional<long> inject;
  if (options & 1) inject = static_cast<long>(in.Below(600));

  // Library and host errors are expected, an allocation failure only when injected.
  const auto attempt = [&](auto&& execute) {
    if (inject) U_InjectFailure(*inject, U_ERR_INJECTED);
    bool done = false;
    try {
      execute();
      done = true;
    } catch (long) {
    } catch (const std::bad_alloc&) {
      if (!inject) throw;
    }
    U_ClearInjectedFailure();
    return done;
  };

  if (options & 2) {
    // Destination form: the request lies within the destination rect.
    M_LRect d = PickRect(in);
    if (d.right <= d.left) d.right = d.left + 1 + in.Below(64);
    if (d.bottom <= d.top) d.bottom = d.top + 1 + in.Below(64);
    M_LRect& q = request.rect;
    q.left = d.left + static_cast<int32_t>(in.Below(static_cast<uint32_t>(d.right - d.left)));
    q.top = d.top + static_cast<int32_t>(in.Below(static_cast<uint32_t>(d.bottom - d.top)));
    q.right = q.left + static_cast<int32_t>(in.Below(static_cast<uint32_t>(d.right - q.left + 1)));
    q.bottom = q.top + static_cast<int32_t>(in.Below(static_cast<uint32_t>(d.bottom - q.top + 1)));
    if (options & 4) q = d;
    std::unique_ptr<PF_World> dest(PF_World::New(d, scene.depth, (options >> 3) & 1));
    M_LRect outRect{1, 2, 3, 4};
    attempt([&] { RG_ExecuteGraph(root, request, d, dest.get(), &outRect); });
    TouchWorld(dest.get());
    return;
  }

  request.rect = PickRect(in);
  M_LRect outRect{1, 2, 3, 4};
  char outFlags = 0;
  PF_World* world = nullptr;
  RG_BufferLock* lock = nullptr;
  RG_BufferLock** lockHolder = (options & 4) ? &lock : nullptr;
  const bool done = attempt([&] {
    if (!(options & 0x10))
      return RG_ExecuteGraph(root, request, &outRect, &outFlags, &world, lockHolder);
    // Pre-render first on a traverser of our own; Execute then reuses what
    // covers the request.
    RG_Traverser traverser(root);
    outRect = M_LRect{};  // a failing PreRenderGraph never reaches Execute
    traverser.PreRenderGraph(request);
    if (root != nullptr) (void)traverser.GetNodeRect(root), (void)traverser.GetNodeData(root);
    traverser.Execute(request, &outRect, &outFlags, &world, lockHolder);
  });
  std::unique_ptr<RG_BufferLock> ownedLock(lock);
  std::unique_ptr<PF_World> ownedWorld(world);  // goes before the lock that keeps it valid
  if (!done && (world != nullptr || lock != nullptr || !(outRect == M_LRect{})))
    Finding("a failed execution left outputs set");
  if (done && !lockHolder && lock != nullptr) Finding("a lock came back without a holder");
  if (done) CheckResult(outRect, world, scene.depth);
}

void RunOne(ByteReader& in) {
  Scene scene;
  const uint8_t header = in.U8();
  scene.depth = static_cast<short>(8 << in.Below(3));
  std::optional<RG_ScRGProfiler> profiler;
  if (header & 1) profiler.emplace(in.U8());
  scene.Build(in);
  RG_RenderNode* root = in.Below(16) == 0 ? scene.Pick(in, true) : nullptr;
  if (root == nullptr && !scene.nodes.empty()) root = scene.nodes.back().get();
  const int runs = 1 + static_cast<int>(in.Below(3));
  for (int i = 0; i < runs; ++i) Execute(scene, root, in);
  if (profiler) (void)profiler->GetDotText().size();
}

}  // namespace

const char* const kFuzzTargetName = "fuzz_graph";

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzLeakCheck leaks;
  ByteReader in(data, size);
  RunOne(in);
  return 0;
}
