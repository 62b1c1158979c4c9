#include <algorithm>
#include <cmath>
#include <random>
#include <sstream>

#include "proof/Proof.h"
#include "rg/RG_CompositeNode.h"
#include "rg/RG_NullNode.h"
#include "rg/RG_SourceBufferNode.h"
#include "rg/RG_XformNode.h"

namespace {

class Dice {
 public:
  explicit Dice(uint64_t seed) : rng_(seed) {}
  int Int(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
  bool Chance(double p) { return std::uniform_real_distribution<double>(0, 1)(rng_) < p; }
  double Real(double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng_); }
  uint32_t Bits() { return static_cast<uint32_t>(rng_()); }

 private:
  std::mt19937_64 rng_;
};

// A rect of 1 to maxSize pixels a side inside the canvas around the origin,
// often at the origin or a pixel off it, where offset arithmetic may take
// shortcuts.
M_LRect RandomRect(Dice& d, int maxSize) {
  const int w = d.Int(1, maxSize);
  const int h = d.Int(1, maxSize);
  const int l = d.Chance(0.2) ? d.Int(0, 1) : d.Int(-8, 40);
  const int t = d.Chance(0.2) ? d.Int(0, 1) : d.Int(-8, 40);
  return M_LRect{l, t, l + w, t + h};
}

// `r` grown by 0 to 6 pixels on each side.
M_LRect Around(Dice& d, const M_LRect& r) {
  return M_LRect{r.left - d.Int(0, 6), r.top - d.Int(0, 6), r.right + d.Int(0, 6),
                 r.bottom + d.Int(0, 6)};
}

M_Matrix3 RandomMatrix(Dice& d) {
  const double fractions[] = {0.0, 0.03, 0.25, 0.4375, 0.47, 0.5, 0.5625, 0.6, 0.97};
  // Scales and rotations turn about a centre off the dyadic grid: a sample
  // point that falls exactly on a pixel boundary would pick its nearest
  // source pixel by the rounding of the composed matrix, which depends on
  // where the buffers start, and the library may legitimately start them
  // elsewhere than the reference does.
  const double cx = d.Int(0, 40) + d.Real(0.01, 0.99);
  const double cy = d.Int(0, 40) + d.Real(0.01, 0.99);
  const auto about = [&](const M_Matrix3& a) {
    M_Matrix3 m;
    m.Translate(-cx, -cy);
    m *= a;
    m.Translate(cx, cy);
    return m;
  };
  switch (d.Int(0, 8)) {
    case 0:  // whole-pixel shift
    case 1:
      return ProofAffine(1, 0, 0, 1, d.Int(-12, 12), d.Int(-12, 12));
    case 2: {  // fractional shift, often whole rows
      const double fy = d.Chance(0.5) ? 0.0 : fractions[d.Int(0, 8)];
      const double sy = d.Chance(0.5) ? 1.0 : -1.0;
      return ProofAffine(1, 0, 0, 1,
                         d.Int(-12, 12) + fractions[d.Int(0, 8)] * (d.Chance(0.5) ? 1 : -1),
                         d.Int(-12, 12) + sy * fy);
    }
    case 3: {  // quarter turns
      const int q = d.Int(1, 3);
      const double c = q == 2 ? -1 : 0, s = q == 1 ? 1 : q == 3 ? -1 : 0;
      return about(ProofAffine(c, s, -s, c));
    }
    case 4: {  // any rotation
      const double a = d.Real(-3.2, 3.2);
      return about(ProofAffine(std::cos(a), std::sin(a), -std::sin(a), std::cos(a)));
    }
    case 5: {  // scales and flips
      const double scales[] = {0.5, 2.0, -1.0, 1.5, 0.75, 1.0};
      const double sx = scales[d.Int(0, 5)];
      return about(ProofAffine(sx, 0, 0, scales[d.Int(0, 5)]));
    }
    case 6:  // identity or within rounding of it
      return ProofAffine(1, 0, 0, 1, d.Chance(0.5) ? 1e-13 : 0);
    case 7: {  // general affine
      const double lo[] = {0.5, -0.5, -0.5, 0.5, -10, -10}, hi[] = {1.5, 0.5, 0.5, 1.5, 10, 10};
      double v[6];
      for (int i = 0; i < 6; ++i) v[i] = d.Real(lo[i], hi[i]);
      return ProofAffine(v[0], v[1], v[2], v[3], v[4], v[5]);
    }
    default:  // singular: contributes nothing
      return ProofAffine(0, 0, 0, 1);
  }
}

// The kind a draw of 0..19 picks, by the first threshold it lies below.
ProofKind Pick(int k, std::initializer_list<std::pair<int, ProofKind>> table) {
  for (const auto& [below, kind] : table)
    if (k < below) return kind;
  return table.end()[-1].second;
}

void AddLeaf(Dice& d, ProofGraphDesc& g) {
  using K = ProofKind;
  ProofNodeDesc n;
  n.kind = Pick(d.Int(0, 19), {{10, K::kSource}, {19, K::kBufferSource}, {20, K::kNull}});
  n.bounds = RandomRect(d, d.Chance(0.2) ? 48 : 24);
  if (d.Chance(0.05)) n.bounds.left += 1000, n.bounds.right += 1000;  // far off screen
  n.pixel_seed = d.Bits();
  n.opaque = d.Chance(0.5);
  n.explicit_bounds = n.kind == K::kBufferSource && d.Chance(0.4);
  // Converted by the host when asked at another depth.
  if (n.kind == K::kBufferSource && d.Chance(0.25)) n.depth = static_cast<short>(8 << d.Int(0, 2));
  g.nodes.push_back(n);
}

void AddInternal(Dice& d, ProofGraphDesc& g) {
  using K = ProofKind;
  const int count = static_cast<int>(g.nodes.size());
  // Prefer recent nodes, so graphs grow deep, but reach back for sharing.
  auto pickInput = [&]() {
    return d.Chance(0.6) ? count - 1 - d.Int(0, std::min(1, count - 1)) : d.Int(0, count - 1);
  };
  ProofNodeDesc n;
  n.kind =
      Pick(d.Int(0, 19), {{8, K::kComposite}, {13, K::kXform}, {16, K::kCache}, {20, K::kEffect}});
  n.inputs[0] = pickInput();
  if (n.kind == K::kComposite || n.kind == K::kXform) {
    if (d.Chance(0.75)) n.inputs[1] = pickInput();
    if (d.Chance(0.35)) n.inputs[2] = d.Int(0, count - 1);
    n.mode.transfer_mode = d.Int(0, PF_BLEND_MODE_COUNT - 1);
    n.mode.dest_bound = d.Chance(0.15) ? 1 : 0;
    const float opacities[] = {0.0f, 1.0f, 1.0f, 1.0f, 0.5f, 0.25f, 0.999f};
    n.mode.opacity = d.Chance(0.85) ? opacities[d.Int(0, 6)] : static_cast<float>(d.Real(0, 1));
    n.mode.dissolve_seed = d.Int(0, 1000);
    n.mode.mode_ext = d.Bits();
    n.mask_mode = d.Int(0, 3);
    if (n.kind == K::kXform) {
      const int matrices = d.Chance(0.8) ? 1 : d.Int(2, 3);
      for (int m = 0; m < matrices; ++m) n.matrices.push_back(RandomMatrix(d));
      n.quality = d.Int(0, 1);
    }
  } else if (n.kind == K::kCache) {
    // Any policy but a lookup that serves the wrong pixels.
    n.policy = (d.Chance(0.85) ? ProofCacheNode::kLookup : 0) |
               (d.Chance(0.3) ? ProofCacheNode::kForgetAtRender : 0) | (d.Bits() & 0x1C);
  } else {
    // Any policy but an opaque output, whose pixels outside the input's
    // depend on rects the library may choose.
    n.policy = d.Bits() & 0xFFFF & ~uint32_t{ProofEffectNode::kOpaque | ProofEffectNode::kCrop};
    if (d.Chance(0.3)) {
      n.policy = (n.policy | ProofEffectNode::kCrop) & ~uint32_t{ProofEffectNode::kInPlace};
      n.keep = RandomRect(d, 32);
      n.extent = Around(d, n.keep);
    }
  }
  g.nodes.push_back(n);
}

// A stencil composite (17, 18) draws nothing where its visible source misses
// its destination, judged on the rects it is given. Those rects follow from
// the requests its inputs were asked for, which sharing merges and caches
// widen, and from whether a mask declared opaque hid a source: choices the
// library makes legitimately and the reference cannot reproduce. Stencils
// therefore stay in graphs that are trees without caches and without
// inverted-alpha masks, and effects there keep their result to their
// input's; elsewhere stencils become the matching silhouette.
void ConfineStencils(ProofGraphDesc& g) {
  bool tree = true, stencil = false;
  std::vector<int> consumers(g.nodes.size(), 0);
  for (const ProofNodeDesc& n : g.nodes) {
    tree = tree && n.kind != ProofKind::kCache;
    for (int in : n.inputs)
      if (in >= 0 && ++consumers[static_cast<size_t>(in)] > 1) tree = false;
  }
  for (ProofNodeDesc& n : g.nodes) {
    int32_t& mode = n.mode.transfer_mode;
    if (mode != PF_BLEND_STENCIL_ALPHA && mode != PF_BLEND_STENCIL_LUMA) continue;
    stencil |= tree;
    if (!tree) mode += 2;  // the matching silhouette
  }
  for (ProofNodeDesc& n : g.nodes) {
    if (stencil && n.inputs[2] >= 0 && n.mask_mode == 1) n.mask_mode = 0;
    if (stencil && n.kind == ProofKind::kEffect) {
      n.policy &= ~uint32_t{ProofEffectNode::kPad | ProofEffectNode::kInPlace |
                            ProofEffectNode::kForceRect};
    }
  }
}

}  // namespace

ProofGraphDesc ProofRandomGraph(uint64_t seed) {
  Dice d(seed * 0x9E3779B97F4A7C15ULL + 12345);
  ProofGraphDesc g;
  g.seed = seed;
  const int depthPick = d.Int(0, 3);
  g.request.bit_depth = depthPick < 2 ? 8 : depthPick == 2 ? 16 : 32;
  for (int i = d.Int(1, 4); i > 0; --i) AddLeaf(d, g);
  for (int i = d.Int(1, 7); i > 0; --i) AddInternal(d, g);
  ConfineStencils(g);

  M_LRect& q = g.request.rect;
  const int r = d.Int(0, 19);
  if (r == 0) {
    q = M_LRect{10, 10, 10, 30};  // empty
  } else if (r == 1) {
    q = M_LRect{2000, 2000, 2016, 2016};  // nothing there
  } else if (r < 8) {
    q = RandomRect(d, 48);
  } else {
    // Mostly where the leaves are, give or take a few pixels.
    M_LRect all{};
    for (const ProofNodeDesc& n : g.nodes)
      if (n.kind != ProofKind::kNull && n.bounds.left < 500) all = M_Union(all, n.bounds);
    if (M_IsEmpty(all)) all = RandomRect(d, 48);
    q = M_LRect{all.left + d.Int(-4, 6), all.top + d.Int(-4, 6), all.right + d.Int(-6, 4),
                all.bottom + d.Int(-6, 4)};
    if (M_IsEmpty(q)) q = all;
  }
  g.request.field = d.Chance(0.6) ? 0 : d.Int(1, 2);
  if (d.Chance(0.2)) g.request.flags |= RG_REQUEST_CONTENT_BOUNDS_TYPE1;
  if (d.Chance(0.1)) g.request.flags |= RG_REQUEST_WHOLE_OUTPUT;
  g.form = static_cast<ProofForm>(d.Int(0, 2));
  if (g.form == ProofForm::kDestination && M_IsEmpty(q)) g.form = ProofForm::kNewWorld;
  if (g.form == ProofForm::kDestination) g.dest_rect = d.Chance(0.7) ? Around(d, q) : q;
  const bool hasCache = std::any_of(g.nodes.begin(), g.nodes.end(), [](const ProofNodeDesc& n) {
    return n.kind == ProofKind::kCache;
  });
  g.runs = hasCache || d.Chance(0.1) ? 2 : 1;
  return g;
}

std::string ProofGraphDesc::Describe() const {
  static const char* const kKinds[] = {"source", "buffer", "null",  "composite",
                                       "xform",  "cache",  "effect"};
  std::ostringstream os;
  os << "seed " << seed << ": depth " << request.bit_depth << ", request " << request.rect
     << " field " << request.field << " flags " << int(request.flags) << ", form "
     << static_cast<int>(form) << " " << dest_rect << ", runs " << runs << "\n";
  for (size_t i = 0; i < nodes.size(); ++i) {
    const ProofNodeDesc& n = nodes[i];
    os << "  #" << i << " " << kKinds[static_cast<int>(n.kind)] << " in " << n.inputs[0] << ","
       << n.inputs[1] << "," << n.inputs[2] << " bounds " << n.bounds << " opaque " << n.opaque
       << " explicit " << n.explicit_bounds << " depth " << n.depth << " pixels " << n.pixel_seed
       << " mode " << n.mode.transfer_mode << "/" << n.mode.opacity << "/" << int(n.mode.dest_bound)
       << " mask " << n.mask_mode << " quality " << n.quality << " policy " << n.policy << " keep "
       << n.keep << " extent " << n.extent;
    for (const M_Matrix3& m : n.matrices)
      for (int e = 0; e < 9; ++e) os << (e ? " " : " [") << m[e] << (e == 8 ? "]" : "");
    os << "\n";
  }
  return os.str();
}

ProofWorldPtr ProofLeafWorld(const ProofNodeDesc& leaf, short depth) {
  M_LRect rect = leaf.bounds;
  // Explicit bounds place a buffer of the same size that lies elsewhere.
  if (leaf.explicit_bounds)
    rect = M_LRect{rect.left + 7, rect.top - 3, rect.right + 7, rect.bottom - 3};
  return ProofMakeSourceWorld(rect, leaf.depth ? leaf.depth : depth, leaf.pixel_seed, leaf.opaque);
}

ProofBuiltGraph::ProofBuiltGraph(const ProofGraphDesc& desc) {
  const auto make = [&](const ProofNodeDesc& n) -> RG_RenderNode* {
    const auto in = [&](int slot) {
      return n.inputs[slot] < 0 ? nullptr : nodes[static_cast<size_t>(n.inputs[slot])].get();
    };
    const bool leaf = n.kind == ProofKind::kSource || n.kind == ProofKind::kBufferSource;
    if (leaf) worlds.push_back(ProofLeafWorld(n, desc.request.bit_depth));
    PF_World* world = leaf ? worlds.back().get() : nullptr;
    switch (n.kind) {
      case ProofKind::kSource:  // declares opaque only what is: the flag lets the library cull
        return new ProofSourceNode(world, n.opaque);
      case ProofKind::kBufferSource:
        return n.explicit_bounds ? new RG_SourceBufferNode(world, n.bounds)
                                 : new RG_SourceBufferNode(world);
      case ProofKind::kNull:
        return new RG_NullNode;
      case ProofKind::kComposite:
        return new RG_CompositeNode(in(0), n.mode, in(1), in(2), n.mask_mode);
      case ProofKind::kXform:
        return new RG_XformNode(n.matrices.data(), static_cast<long>(n.matrices.size()), n.mode,
                                n.quality, in(0), in(1), in(2), n.mask_mode);
      case ProofKind::kCache:
        return new ProofCacheNode(in(0), static_cast<uint8_t>(n.policy));
      case ProofKind::kEffect:
        return new ProofEffectNode(in(0), n.policy, n.keep, n.extent);
    }
    return nullptr;
  };
  for (const ProofNodeDesc& n : desc.nodes) nodes.emplace_back(make(n));
}
