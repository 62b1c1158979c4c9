#include "proof/ProofHarness.h"

#include <cmath>
#include <functional>
#include <sstream>

#include "rg/RG_Traverser.h"
#include "rghost/PF_World.h"
#include "rghost/U_Report.h"

namespace {

// A garbage pattern, so a destination pixel the library forgets to write shows.
void Scribble(PF_World* w) {
  for (int32_t y = 0; y < w->height; ++y) {
    auto* row = static_cast<uint8_t*>(w->PixelAddress(0, y));
    const size_t bytes = static_cast<size_t>(w->width) * PF_BytesPerPixel(w->depth);
    for (size_t i = 0; i < bytes; ++i) row[i] = static_cast<uint8_t>(0x5A + 37 * i + 11 * y);
  }
}

double Channel(const PF_World* w, const M_LRect& rect, int32_t x, int32_t y, int c) {
  if (w == nullptr || x < rect.left || x >= rect.right || y < rect.top || y >= rect.bottom) {
    return 0.0;
  }
  return ProofRawChannel(*w, x, y, c);
}

bool RowInField(int32_t y, long field) {
  if (field == 0) return true;
  const bool even = (y & 1) == 0;
  return field == 1 ? even : !even;
}

}  // namespace

ProofLibraryOutput ProofExecute(const ProofGraphDesc& desc, RG_RenderNode* root) {
  ProofLibraryOutput out;
  if (desc.form == ProofForm::kDestination) {
    out.rect = desc.dest_rect;
    out.world.reset(PF_World::New(desc.dest_rect, desc.request.bit_depth, 0));
    Scribble(out.world.get());
    M_LRect outRect;
    RG_ExecuteGraph(root, desc.request, desc.dest_rect, out.world.get(), &outRect);
    return out;
  }
  PF_World* world = nullptr;
  RG_BufferLock* lock = nullptr;
  RG_ExecuteGraph(root, desc.request, &out.rect, &out.flags, &world,
                  desc.form == ProofForm::kNewWorldLock ? &lock : nullptr);
  out.lock.reset(lock);
  out.world.reset(world);
  return out;
}

std::string ProofCompare(const ProofGraphDesc& desc, const ProofLibraryOutput& lib,
                         const ProofRefResult& ref) {
  const M_LRect& q = desc.request.rect;
  const long field = desc.request.field;
  const double full = ProofFullAlpha(desc.request.bit_depth);
  std::ostringstream os;
  os.precision(9);
  if (lib.world && (lib.world->width != lib.rect.right - lib.rect.left ||
                    lib.world->height != lib.rect.bottom - lib.rect.top)) {
    os << "result world " << lib.world->width << "x" << lib.world->height
       << " does not match its rect";
    return os.str();
  }
  for (int32_t y = q.top; y < q.bottom; ++y) {
    if (!RowInField(y, field)) continue;
    for (int32_t x = q.left; x < q.right; ++x) {
      double a[4], b[4];
      for (int c = 0; c < 4; ++c) {
        a[c] = Channel(lib.world.get(), lib.rect, x, y, c);
        b[c] = Channel(ref.world.get(), ref.rect, x, y, c);
      }
      if (a[0] != b[0] || a[1] != b[1] || a[2] != b[2] || a[3] != b[3]) {
        os << "pixel (" << x << "," << y << "): library " << a[0] << " " << a[1] << " " << a[2]
           << " " << a[3] << ", reference " << b[0] << " " << b[1] << " " << b[2] << " " << b[3]
           << " (library rect " << lib.rect.left << "," << lib.rect.top << "," << lib.rect.right
           << "," << lib.rect.bottom << "; reference rect " << ref.rect.left << "," << ref.rect.top
           << "," << ref.rect.right << "," << ref.rect.bottom << ")";
        return os.str();
      }
      const bool inLib =
          x >= lib.rect.left && x < lib.rect.right && y >= lib.rect.top && y < lib.rect.bottom;
      // Float pixels are not clamped: alpha above 1 is at least opaque.
      if ((lib.flags & RG_OUTPUT_OPAQUE) && inLib && a[3] < full) {
        os << "result declared opaque but pixel (" << x << "," << y << ") has alpha " << a[3];
        return os.str();
      }
    }
  }
  return std::string();
}

std::string ProofCheckGraph(const ProofGraphDesc& desc, ProofCheckStats* stats) {
  U_ClearReportLog();
  std::string failure;
  try {
    ReferenceEvaluator reference(desc);
    const ProofRefResult expected = reference.RenderRoot();
    if (stats != nullptr) stats->drew = !M_IsEmpty(M_Intersect(expected.rect, desc.request.rect));
    ProofBuiltGraph graph(desc);
    for (int run = 0; run < desc.runs && failure.empty(); ++run) {
      ProofLibraryOutput out = ProofExecute(desc, graph.root());
      const std::string diff = ProofCompare(desc, out, expected);
      if (!diff.empty()) failure = "run " + std::to_string(run + 1) + ": " + diff;
    }
    for (size_t i = 0; stats != nullptr && i < desc.nodes.size(); ++i) {
      if (desc.nodes[i].kind != ProofKind::kCache) continue;
      const auto* cache = static_cast<const ProofMapCache*>(graph.node(static_cast<int>(i)));
      stats->cache_hits += cache->hits;
      stats->cache_stores += cache->stores;
    }
  } catch (long code) {
    failure = "threw " + std::to_string(code);
  } catch (const std::exception& e) {
    failure = std::string("threw ") + e.what();
  }
  if (failure.empty() && !U_ReportLog().empty()) {
    failure = "reported \"" + U_ReportLog().front().text + "\"";
  }
  if (failure.empty()) return failure;
  return failure + "\n" + desc.Describe();
}

ProofGraphDesc ProofMinimize(const ProofGraphDesc& failing) {
  using Mutation = std::function<bool(ProofGraphDesc&, size_t)>;
  auto composite = [](const ProofNodeDesc& n) {
    return n.kind == ProofKind::kComposite || n.kind == ProofKind::kXform;
  };
  const std::vector<Mutation> mutations = {
      [](ProofGraphDesc& g, size_t i) {  // drop the mask, then the destination
        for (int slot : {2, 1}) {
          if (g.nodes[i].inputs[slot] >= 0) {
            g.nodes[i].inputs[slot] = -1;
            return true;
          }
        }
        return false;
      },
      [&](ProofGraphDesc& g, size_t i) {
        ProofNodeDesc& n = g.nodes[i];
        if (!composite(n) || n.mode.transfer_mode == PF_BLEND_NORMAL) return false;
        n.mode.transfer_mode = PF_BLEND_NORMAL;
        return true;
      },
      [&](ProofGraphDesc& g, size_t i) {
        ProofNodeDesc& n = g.nodes[i];
        if (!composite(n) || (n.mode.opacity == 1.0f && !n.mode.dest_bound)) return false;
        n.mode.opacity = 1.0f;
        n.mode.dest_bound = 0;
        return true;
      },
      [](ProofGraphDesc& g, size_t i) {
        ProofNodeDesc& n = g.nodes[i];
        if (n.matrices.size() > 1) {
          n.matrices.pop_back();
          return true;
        }
        if (n.kind == ProofKind::kXform) {  // the plain composite instead
          n.kind = ProofKind::kComposite;
          n.matrices.clear();
          return true;
        }
        return false;
      },
      [](ProofGraphDesc& g, size_t i) {  // a one-input node bypassed
        const ProofNodeDesc& n = g.nodes[i];
        if (n.kind != ProofKind::kCache && n.kind != ProofKind::kInvert &&
            n.kind != ProofKind::kCrop) {
          return false;
        }
        bool changed = false;
        for (ProofNodeDesc& m : g.nodes) {
          for (int& in : m.inputs) {
            if (in == static_cast<int>(i)) {
              in = n.inputs[0];
              changed = true;
            }
          }
        }
        if (g.root == static_cast<int>(i)) {
          g.root = n.inputs[0];
          changed = true;
        }
        return changed;
      },
      [](ProofGraphDesc& g, size_t i) {
        ProofNodeDesc& n = g.nodes[i];
        if (n.kind != ProofKind::kBufferSource) return false;
        n.kind = ProofKind::kSource;
        n.explicit_bounds = false;
        return true;
      },
      [](ProofGraphDesc& g, size_t i) {
        if (i != 0) return false;
        if (g.request.field != 0 || g.request.flags != 0 || g.runs != 1) {
          g.request.field = 0;
          g.request.flags = 0;
          g.runs = 1;
          return true;
        }
        if (g.form == ProofForm::kDestination && g.dest_rect != g.request.rect) {
          g.dest_rect = g.request.rect;
          return true;
        }
        if (g.form != ProofForm::kNewWorld && g.form != ProofForm::kDestination) {
          g.form = ProofForm::kNewWorld;
          return true;
        }
        return false;
      },
  };
  ProofGraphDesc best = failing;
  for (bool changed = true; changed;) {
    changed = false;
    for (const Mutation& mutate : mutations) {
      for (size_t i = 0; i < best.nodes.size(); ++i) {
        ProofGraphDesc candidate = best;
        if (mutate(candidate, i) && !ProofCheckGraph(candidate).empty()) {
          best = candidate;
          changed = true;
        }
      }
    }
  }
  return best;
}
