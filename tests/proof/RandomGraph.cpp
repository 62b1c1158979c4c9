#include "proof/RandomGraph.h"

#include <algorithm>
#include <cmath>
#include <random>
#include <sstream>

#include "rg/RG_CompositeNode.h"
#include "rg/RG_NullNode.h"
#include "rg/RG_SourceBufferNode.h"
#include "rg/RG_XformNode.h"

namespace {

// Small deterministic helpers over one engine.
class Dice {
 public:
  explicit Dice(uint64_t seed) : rng_(seed) {}
  int Int(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
  bool Chance(double p) { return std::uniform_real_distribution<double>(0, 1)(rng_) < p; }
  double Real(double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng_); }
  uint32_t Bits() { return static_cast<uint32_t>(rng_()); }
  template <class T>
  const T& Pick(const std::vector<T>& v) {
    return v[static_cast<size_t>(Int(0, static_cast<int>(v.size()) - 1))];
  }

 private:
  std::mt19937_64 rng_;
};

// A rect of 1 to maxSize pixels a side inside the canvas around the origin.
M_LRect RandomRect(Dice& d, int maxSize) {
  const int w = d.Int(1, maxSize);
  const int h = d.Int(1, maxSize);
  // Often at the origin or a pixel off it, where offset arithmetic may take
  // shortcuts.
  const int l = d.Chance(0.2) ? d.Int(0, 1) : d.Int(-8, 40);
  const int t = d.Chance(0.2) ? d.Int(0, 1) : d.Int(-8, 40);
  return M_LRect{l, t, l + w, t + h};
}

M_Matrix3 Affine(double a, double b, double c, double d, double tx = 0, double ty = 0) {
  M_Matrix3 m;
  m[0] = a, m[1] = b, m[3] = c, m[4] = d, m[6] = tx, m[7] = ty;
  return m;
}

M_Matrix3 Translation(double tx, double ty) { return Affine(1, 0, 0, 1, tx, ty); }

M_Matrix3 RandomMatrix(Dice& d) {
  const double fractions[] = {0.0, 0.03, 0.25, 0.4375, 0.47, 0.5, 0.5625, 0.6, 0.97};
  // Scales and rotations turn about a centre off the dyadic grid: a sample
  // point that falls exactly on a pixel boundary would pick its nearest
  // source pixel by the rounding of the composed matrix, which depends on
  // where the buffers start, and the library may legitimately start them
  // elsewhere than the reference does.
  const double cx = d.Int(0, 40) + d.Real(0.01, 0.99);
  const double cy = d.Int(0, 40) + d.Real(0.01, 0.99);
  // Linear part `a` applied about (cx, cy).
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
      return Translation(d.Int(-12, 12), d.Int(-12, 12));
    case 2: {  // fractional shift, often whole rows
      const double fy = d.Chance(0.5) ? 0.0 : fractions[d.Int(0, 8)];
      const double sy = d.Chance(0.5) ? 1.0 : -1.0;
      return Translation(d.Int(-12, 12) + fractions[d.Int(0, 8)] * (d.Chance(0.5) ? 1 : -1),
                         d.Int(-12, 12) + sy * fy);
    }
    case 3: {  // quarter turns
      const int q = d.Int(1, 3);
      const double c = q == 2 ? -1 : 0, s = q == 1 ? 1 : q == 3 ? -1 : 0;
      return about(Affine(c, s, -s, c));
    }
    case 4: {  // any rotation
      const double a = d.Real(-3.2, 3.2);
      return about(Affine(std::cos(a), std::sin(a), -std::sin(a), std::cos(a)));
    }
    case 5: {  // scales and flips
      const double scales[] = {0.5, 2.0, -1.0, 1.5, 0.75, 1.0};
      const double sx = scales[d.Int(0, 5)];
      return about(Affine(sx, 0, 0, scales[d.Int(0, 5)]));
    }
    case 6:  // identity or within rounding of it
      return Affine(1, 0, 0, 1, d.Chance(0.5) ? 1e-13 : 0);
    case 7: {  // general affine
      const double lo[] = {0.5, -0.5, -0.5, 0.5, -10, -10}, hi[] = {1.5, 0.5, 0.5, 1.5, 10, 10};
      double v[6];
      for (int i = 0; i < 6; ++i) v[i] = d.Real(lo[i], hi[i]);
      return Affine(v[0], v[1], v[2], v[3], v[4], v[5]);
    }
    default:  // singular: contributes nothing
      return Affine(0, 0, 0, 1);
  }
}

}  // namespace

ProofGraphDesc ProofRandomGraph(uint64_t seed) {
  Dice d(seed * 0x9E3779B97F4A7C15ULL + 12345);
  ProofGraphDesc g;
  g.seed = seed;
  const int depthPick = d.Int(0, 3);
  g.request.bit_depth = depthPick < 2 ? 8 : depthPick == 2 ? 16 : 32;

  const int leaves = d.Int(1, 4);
  for (int i = 0; i < leaves; ++i) {
    ProofNodeDesc n;
    const int k = d.Int(0, 19);
    n.kind = k < 10 ? ProofKind::kSource : k < 19 ? ProofKind::kBufferSource : ProofKind::kNull;
    n.bounds = RandomRect(d, d.Chance(0.2) ? 48 : 24);
    if (d.Chance(0.05)) n.bounds.left += 1000, n.bounds.right += 1000;  // far off screen
    n.pixel_seed = d.Bits();
    n.opaque = d.Chance(0.5);
    n.explicit_bounds = n.kind == ProofKind::kBufferSource && d.Chance(0.4);
    // Converted by the host when asked at another depth.
    if (n.kind == ProofKind::kBufferSource && d.Chance(0.25))
      n.depth = static_cast<short>(8 << d.Int(0, 2));
    g.nodes.push_back(n);
  }

  const int internal = d.Int(1, 7);
  for (int i = 0; i < internal; ++i) {
    const int count = static_cast<int>(g.nodes.size());
    // Prefer recent nodes, so graphs grow deep, but reach back for sharing.
    auto pickInput = [&]() {
      return d.Chance(0.6) ? count - 1 - d.Int(0, std::min(1, count - 1)) : d.Int(0, count - 1);
    };
    ProofNodeDesc n;
    const int k = d.Int(0, 19);
    n.kind = k < 8    ? ProofKind::kComposite
             : k < 13 ? ProofKind::kXform
             : k < 16 ? ProofKind::kCache
                      : ProofKind::kEffect;
    n.inputs[0] = pickInput();
    if (n.kind == ProofKind::kComposite || n.kind == ProofKind::kXform) {
      if (d.Chance(0.75)) n.inputs[1] = pickInput();
      if (d.Chance(0.35)) n.inputs[2] = d.Int(0, count - 1);
      n.mode.transfer_mode = d.Int(0, PF_BLEND_MODE_COUNT - 1);
      n.mode.dest_bound = d.Chance(0.15) ? 1 : 0;
      const float opacities[] = {0.0f, 1.0f, 1.0f, 1.0f, 0.5f, 0.25f, 0.999f};
      n.mode.opacity = d.Chance(0.85) ? opacities[d.Int(0, 6)] : static_cast<float>(d.Real(0, 1));
      n.mode.dissolve_seed = d.Int(0, 1000);
      n.mode.mode_ext = d.Bits();
      n.mask_mode = d.Int(0, 3);
      if (n.kind == ProofKind::kXform) {
        const int matrices = d.Chance(0.8) ? 1 : d.Int(2, 3);
        for (int m = 0; m < matrices; ++m) n.matrices.push_back(RandomMatrix(d));
        n.quality = d.Int(0, 1);
      }
    } else if (n.kind == ProofKind::kCache) {
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
        n.extent = M_LRect{n.keep.left - d.Int(0, 6), n.keep.top - d.Int(0, 6),
                           n.keep.right + d.Int(0, 6), n.keep.bottom + d.Int(0, 6)};
      }
    }
    g.nodes.push_back(n);
  }
  g.root = static_cast<int>(g.nodes.size()) - 1;

  // A stencil composite (17, 18) draws nothing where its visible source
  // misses its destination, judged on the rects it is given. Those rects
  // follow from the requests its inputs were asked for, which sharing merges
  // and caches widen, and from whether a mask declared opaque hid a source:
  // choices the library makes legitimately and the reference cannot
  // reproduce. Stencils therefore stay in graphs that are trees without
  // caches and without inverted-alpha masks, and effects there keep their
  // result to their input's; elsewhere stencils become the matching
  // silhouette.
  bool tree = true;
  std::vector<int> consumers(g.nodes.size(), 0);
  for (const ProofNodeDesc& n : g.nodes) {
    tree = tree && n.kind != ProofKind::kCache;
    for (int in : n.inputs) {
      if (in >= 0 && ++consumers[static_cast<size_t>(in)] > 1) tree = false;
    }
  }
  bool stencil = false;
  for (ProofNodeDesc& n : g.nodes) {
    PF_CompositeModePlus& mode = n.mode;
    if (mode.transfer_mode == PF_BLEND_STENCIL_ALPHA ||
        mode.transfer_mode == PF_BLEND_STENCIL_LUMA) {
      if (tree) {
        stencil = true;
      } else {
        mode.transfer_mode += 2;  // the matching silhouette
      }
    }
  }
  for (ProofNodeDesc& n : g.nodes) {
    if (stencil && n.inputs[2] >= 0 && n.mask_mode == 1) n.mask_mode = 0;
    if (stencil && n.kind == ProofKind::kEffect) {
      n.policy &= ~uint32_t{ProofEffectNode::kPad | ProofEffectNode::kInPlace |
                            ProofEffectNode::kForceRect};
    }
  }

  const int r = d.Int(0, 19);
  if (r == 0) {
    g.request.rect = M_LRect{10, 10, 10, 30};  // empty
  } else if (r == 1) {
    g.request.rect = M_LRect{2000, 2000, 2016, 2016};  // nothing there
  } else if (r < 8) {
    g.request.rect = RandomRect(d, 48);
  } else {
    // Mostly where the leaves are, give or take a few pixels.
    M_LRect all{};
    for (const ProofNodeDesc& n : g.nodes) {
      if (n.kind != ProofKind::kNull && n.bounds.left < 500) all = M_Union(all, n.bounds);
    }
    if (M_IsEmpty(all)) all = RandomRect(d, 48);
    g.request.rect = M_LRect{all.left + d.Int(-4, 6), all.top + d.Int(-4, 6),
                             all.right + d.Int(-6, 4), all.bottom + d.Int(-6, 4)};
    if (M_IsEmpty(g.request.rect)) g.request.rect = all;
  }
  g.request.field = d.Chance(0.6) ? 0 : d.Int(1, 2);
  if (d.Chance(0.2)) g.request.flags |= RG_REQUEST_CONTENT_BOUNDS_TYPE1;
  if (d.Chance(0.1)) g.request.flags |= RG_REQUEST_WHOLE_OUTPUT;
  g.form = static_cast<ProofForm>(d.Int(0, 2));
  if (g.form == ProofForm::kDestination) {
    if (M_IsEmpty(g.request.rect)) {
      g.form = ProofForm::kNewWorld;
    } else if (d.Chance(0.7)) {
      const M_LRect& q = g.request.rect;
      g.dest_rect = M_LRect{q.left - d.Int(0, 6), q.top - d.Int(0, 6), q.right + d.Int(0, 6),
                            q.bottom + d.Int(0, 6)};
    } else {
      g.dest_rect = g.request.rect;
    }
  }
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
     << static_cast<int>(form) << " " << dest_rect << ", runs " << runs << ", root #" << root
     << "\n";
  for (size_t i = 0; i < nodes.size(); ++i) {
    const ProofNodeDesc& n = nodes[i];
    os << "  #" << i << " " << kKinds[static_cast<int>(n.kind)] << " in " << n.inputs[0] << ","
       << n.inputs[1] << "," << n.inputs[2] << " bounds " << n.bounds << " opaque " << n.opaque
       << " explicit " << n.explicit_bounds << " depth " << n.depth << " pixels " << n.pixel_seed
       << " mode " << n.mode.transfer_mode << "/" << n.mode.opacity << "/" << int(n.mode.dest_bound)
       << " mask " << n.mask_mode << " quality " << n.quality << " policy " << n.policy << " keep "
       << n.keep << " extent " << n.extent;
    for (const M_Matrix3& m : n.matrices) {
      for (int e = 0; e < 9; ++e) os << (e ? " " : " [") << m[e];
      os << "]";
    }
    os << "\n";
  }
  return os.str();
}

ProofWorldPtr ProofLeafWorld(const ProofNodeDesc& leaf, short depth) {
  M_LRect rect = leaf.bounds;
  if (leaf.explicit_bounds) {
    // The same size somewhere else: explicit bounds place it.
    rect = M_LRect{rect.left + 7, rect.top - 3, rect.right + 7, rect.bottom - 3};
  }
  return ProofMakeSourceWorld(rect, leaf.depth ? leaf.depth : depth, leaf.pixel_seed, leaf.opaque);
}

ProofBuiltGraph::ProofBuiltGraph(const ProofGraphDesc& desc) {
  const short depth = desc.request.bit_depth;
  auto in = [&](const ProofNodeDesc& n, int slot) -> RG_RenderNode* {
    return n.inputs[slot] < 0 ? nullptr : nodes_[static_cast<size_t>(n.inputs[slot])].get();
  };
  for (const ProofNodeDesc& n : desc.nodes) {
    RG_RenderNode* node = nullptr;
    switch (n.kind) {
      case ProofKind::kSource:
        worlds_.push_back(ProofLeafWorld(n, depth));
        // Declares opaque only what is: the flag lets the library cull.
        node = new ProofSourceNode(worlds_.back().get(), n.opaque);
        break;
      case ProofKind::kBufferSource:
        worlds_.push_back(ProofLeafWorld(n, depth));
        node = n.explicit_bounds ? new RG_SourceBufferNode(worlds_.back().get(), n.bounds)
                                 : new RG_SourceBufferNode(worlds_.back().get());
        break;
      case ProofKind::kNull:
        node = new RG_NullNode;
        break;
      case ProofKind::kComposite:
        node = new RG_CompositeNode(in(n, 0), n.mode, in(n, 1), in(n, 2), n.mask_mode);
        break;
      case ProofKind::kXform:
        node = new RG_XformNode(n.matrices.data(), static_cast<long>(n.matrices.size()), n.mode,
                                n.quality, in(n, 0), in(n, 1), in(n, 2), n.mask_mode);
        break;
      case ProofKind::kCache:
        node = new ProofCacheNode(in(n, 0), static_cast<uint8_t>(n.policy));
        break;
      case ProofKind::kEffect:
        node = new ProofEffectNode(in(n, 0), n.policy, n.keep, n.extent);
        break;
    }
    nodes_.emplace_back(node);
  }
  root_ = desc.root;
}

ProofBuiltGraph::~ProofBuiltGraph() { nodes_.clear(); }  // nodes first: they borrow the worlds
