// libFuzzer target: the input bytes are a small program that builds a render
// graph (source buffers, null nodes, layer composites, transforms, cache
// nodes, host effect nodes, shared sub-graphs, legacy bounds, abort objects)
// and executes it one to three times with fuzzed requests, in either entry
// form, sometimes with an injected host failure or the DOT profiler
// installed.
//
// Library and host errors arrive as `long` and are expected. Anything else is
// a finding: a crash, a sanitizer report, a leak, std::terminate, a result
// that breaks the execution contract, or any tracked object, world or pixel
// byte still alive once the input's graph and buffers are gone.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <optional>
#include <vector>

#include "ByteReader.h"
#include "FuzzHarness.h"
#include "rg/rg.h"
#include "support/ProofNodes.h"

namespace {

constexpr size_t kMaxNodes = 40;
constexpr int kMaxSourceSide = 24;
constexpr int kMaxRequestSide = 160;

// Aborts the execution by throwing a host code once its countdown runs out.
class CountdownAbort : public RG_ProgAbort {
 public:
  explicit CountdownAbort(int checks) : checks_left_(checks) {}
  void StartProgress() override {}
  void CheckAbort() override {
    if (checks_left_-- == 0) throw U_ERR_USER_ABORT;
  }
  void Progress(long, long) override {}

 private:
  int checks_left_;
};

short PickDepth(ByteReader& in) {
  static constexpr short kDepths[] = {8, 16, 32};
  return kDepths[in.Below(3)];
}

// Pixel values: transparent, opaque, premultiplied noise, or raw noise that
// need not be premultiplied (floats may leave 0..1, though stay finite).
void FillWorld(PF_World* world, uint8_t pattern, uint32_t seed) {
  for (int32_t y = 0; y < world->height; ++y) {
    for (int32_t x = 0; x < world->width; ++x) {
      uint32_t h = seed ^ (static_cast<uint32_t>(x) * 0x9E3779B1u) ^
                   (static_cast<uint32_t>(y) * 0x85EBCA77u);
      float c[4];
      for (float& v : c) {
        h ^= h >> 15;
        h *= 0x2C1B3C6Du;
        h ^= h >> 12;
        v = static_cast<float>(h & 0xFFFF) / 65535.0f;
      }
      switch (pattern % 4) {
        case 0:
          c[0] = c[1] = c[2] = c[3] = 0;
          break;
        case 1:
          c[3] = 1;
          break;
        case 2:
          for (int i = 0; i < 3; ++i) c[i] *= c[3];
          break;
        case 3:
          if (world->depth == 32)
            for (float& v : c) v = v * 4 - 1.5f;
          break;
      }
      auto* p = static_cast<uint8_t*>(world->PixelAddress(x, y));
      for (int i = 0; i < 4; ++i) {
        const float v = std::clamp(c[i], -2.0f, 3.0f);
        if (world->depth == 8) {
          p[i] = static_cast<uint8_t>(std::clamp(v, 0.0f, 1.0f) * 255.0f + 0.5f);
        } else if (world->depth == 16) {
          reinterpret_cast<uint16_t*>(p)[i] =
              static_cast<uint16_t>(std::clamp(v, 0.0f, 1.0f) * 65535.0f + 0.5f);
        } else {
          reinterpret_cast<float*>(p)[i] = v;
        }
      }
    }
  }
}

M_Matrix3 PickMatrix(ByteReader& in) {
  M_Matrix3 m;
  switch (in.Below(9)) {
    case 0:
      break;  // identity
    case 1:
      m[6] = in.Coord();
      m[7] = in.Coord();
      break;
    case 2:
      m[6] = in.Coord() + in.Real();
      m[7] = in.Coord() + 0.5;
      break;
    case 3:
      m[0] = in.Real();
      m[4] = in.Real();
      m[6] = in.Coord();
      m[7] = in.Coord();
      break;
    case 4: {
      const double a = in.U8() * (6.283185307179586 / 256.0);
      const double s = 1.0 + static_cast<int8_t>(in.U8()) / 64.0;
      m[0] = s * std::cos(a);
      m[1] = s * std::sin(a);
      m[3] = -s * std::sin(a);
      m[4] = s * std::cos(a);
      m[6] = in.Coord();
      m[7] = in.Coord();
      break;
    }
    case 5:
      for (double& v : m.m) v = in.Real();
      break;
    case 6:  // singular: all zero, or one row a multiple of the other
      if (in.Bit()) {
        for (double& v : m.m) v = 0;
      } else {
        m[0] = in.Real();
        m[1] = in.Real();
        m[3] = 2 * m[0];
        m[4] = 2 * m[1];
      }
      break;
    case 7:  // projective
      m[2] = in.Real() * 1e-3;
      m[5] = in.Real() * 1e-3;
      m[8] = 1 + in.Real();
      m[6] = in.Coord();
      break;
    case 8:
      m[7] = 2 * in.Coord() + in.Below(2);
      break;  // whole-row shifts
  }
  return m;
}

PF_CompositeModePlus PickMode(ByteReader& in) {
  PF_CompositeModePlus mode;
  const uint8_t k = in.U8();
  mode.transfer_mode = k < 200 ? k % PF_BLEND_MODE_COUNT : static_cast<int32_t>(in.U32());
  mode.dest_bound = in.Below(4) == 0 ? 1 : 0;
  mode.opacity = in.Opacity();
  mode.dissolve_seed = static_cast<int32_t>(in.U16());
  mode.mode_ext = in.Below(8) == 0 ? in.U64() : 0;
  return mode;
}

long PickMaskMode(ByteReader& in) {
  const uint8_t k = in.U8();
  if (k < 200) return k % 4;
  return static_cast<int32_t>(in.U32());
}

int32_t PickField(ByteReader& in) {
  const uint8_t k = in.U8();
  if (k < 240) return k % 3;
  return static_cast<int32_t>(in.U32());
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
    FillWorld(world, options >> 1, in.U32());
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

  void AddComposite(ByteReader& in) {
    RG_RenderNode* src = PickSource(in);
    RG_RenderNode* dst = Pick(in, true);
    RG_RenderNode* mask = in.Below(3) == 0 ? Pick(in, true) : nullptr;
    const PF_CompositeModePlus mode = PickMode(in);
    nodes.push_back(new RG_CompositeNode(src, mode, dst, mask, PickMaskMode(in)));
  }

  void AddXform(ByteReader& in) {
    M_Matrix3 matrices[3];
    const long count = static_cast<long>(in.Below(4));
    for (long i = 0; i < count; ++i) matrices[i] = PickMatrix(in);
    const uint8_t q = in.U8();
    const long quality = q < 240 ? q % 2 : static_cast<int32_t>(in.U32());
    RG_RenderNode* src = PickSource(in);
    RG_RenderNode* dst = Pick(in, true);
    RG_RenderNode* mask = in.Below(3) == 0 ? Pick(in, true) : nullptr;
    const PF_CompositeModePlus mode = PickMode(in);
    nodes.push_back(
        new RG_XformNode(matrices, count, mode, quality, src, dst, mask, PickMaskMode(in)));
  }

  void AddCache(ByteReader& in) {
    RG_RenderNode* input = PickSource(in);
    nodes.push_back(new ProofCacheNode(input, in.U8()));
  }

  void Build(ByteReader& in) {
    while (!in.Empty() && nodes.size() < kMaxNodes) {
      switch (in.Below(9)) {
        case 0:
        case 1:
          AddSource(in);
          break;
        case 2:
          nodes.push_back(new RG_NullNode);
          break;
        case 3:
          AddComposite(in);
          break;
        case 4:
          AddXform(in);
          break;
        case 5:
          AddCache(in);
          break;
        case 6:
          if (RG_RenderNode* node = Pick(in, true)) node->SetLegacyEffectBounds(PickRect(in));
          break;
        case 7:
          if (RG_RenderNode* node = Pick(in, true)) node->SetProgAbort(new CountdownAbort(in.U8()));
          break;
        case 8: {
          RG_RenderNode* input = PickSource(in);
          const uint16_t policy = in.U16();
          const M_LRect keep = policy & ProofEffectNode::kCrop ? PickRect(in) : M_LRect{};
          nodes.push_back(new ProofEffectNode(input, policy, keep, M_Grow(keep, in.U8() % 4)));
          break;
        }
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
  request.field = PickField(in);
  request.bit_depth = scene.depth;
  const uint8_t options = in.U8();
  // An injected failure makes the n-th next fallible host call fail.
  std::optional<long> inject;
  if (options & 1) inject = static_cast<long>(in.Below(600));

  if (options & 2) {
    // Destination form: the request lies within the destination rect.
    M_LRect destRect = PickRect(in);
    if (destRect.right <= destRect.left) destRect.right = destRect.left + 1 + in.Below(64);
    if (destRect.bottom <= destRect.top) destRect.bottom = destRect.top + 1 + in.Below(64);
    const int32_t w = destRect.right - destRect.left, h = destRect.bottom - destRect.top;
    request.rect.left = destRect.left + static_cast<int32_t>(in.Below(static_cast<uint32_t>(w)));
    request.rect.top = destRect.top + static_cast<int32_t>(in.Below(static_cast<uint32_t>(h)));
    request.rect.right = request.rect.left + static_cast<int32_t>(in.Below(static_cast<uint32_t>(
                                                 destRect.right - request.rect.left + 1)));
    request.rect.bottom = request.rect.top + static_cast<int32_t>(in.Below(static_cast<uint32_t>(
                                                 destRect.bottom - request.rect.top + 1)));
    if (options & 4) request.rect = destRect;
    std::unique_ptr<PF_World> dest(PF_World::New(destRect, scene.depth, (options >> 3) & 1));
    M_LRect outRect{1, 2, 3, 4};
    if (inject) U_InjectFailure(*inject, U_ERR_INJECTED);
    try {
      RG_ExecuteGraph(root, request, destRect, dest.get(), &outRect);
    } catch (long) {
    } catch (const std::bad_alloc&) {
      if (!inject) throw;
    }
    U_ClearInjectedFailure();
    TouchWorld(dest.get());
    return;
  }

  request.rect = PickRect(in);
  M_LRect outRect{1, 2, 3, 4};
  char outFlags = 0;
  PF_World* world = nullptr;
  RG_BufferLock* lock = nullptr;
  const bool wantLock = (options & 4) != 0;
  if (inject) U_InjectFailure(*inject, U_ERR_INJECTED);
  bool done = false;
  try {
    if (options & 0x10) {
      // Pre-render first on a traverser of our own; Execute then reuses
      // what covers the request.
      RG_Traverser traverser(root);
      outRect = M_LRect{};  // a failing PreRenderGraph never reaches Execute
      traverser.PreRenderGraph(request);
      if (root != nullptr) (void)traverser.GetNodeRect(root), (void)traverser.GetNodeData(root);
      traverser.Execute(request, &outRect, &outFlags, &world, wantLock ? &lock : nullptr);
    } else {
      RG_ExecuteGraph(root, request, &outRect, &outFlags, &world, wantLock ? &lock : nullptr);
    }
    done = true;
  } catch (long) {
  } catch (const std::bad_alloc&) {
    if (!inject) throw;
  }
  U_ClearInjectedFailure();
  std::unique_ptr<PF_World> ownedWorld(world);
  std::unique_ptr<RG_BufferLock> ownedLock(lock);
  if (!done) {
    if (world != nullptr || lock != nullptr || !(outRect == M_LRect{}))
      Finding("a failed execution left outputs set");
    return;
  }
  if (!wantLock && lock != nullptr) Finding("a lock came back without a holder");
  CheckResult(outRect, world, scene.depth);
  // The world goes before the lock that keeps it valid.
  ownedWorld.reset();
}

void RunOne(ByteReader& in) {
  Scene scene;
  const uint8_t header = in.U8();
  scene.depth = PickDepth(in);
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
