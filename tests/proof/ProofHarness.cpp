#include <algorithm>
#include <sstream>

#include "proof/Proof.h"
#include "rg/RG_Traverser.h"
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

bool Inside(const M_LRect& r, int32_t x, int32_t y) {
  return x >= r.left && x < r.right && y >= r.top && y < r.bottom;
}

// Pixel (x, y) of a result, transparent black outside it.
void Pixel(const PF_World* w, const M_LRect& rect, int32_t x, int32_t y, double out[4]) {
  for (int c = 0; c < 4; ++c) out[c] = w && Inside(rect, x, y) ? ProofRawChannel(*w, x, y, c) : 0;
}

std::string Compare(const ProofGraphDesc& desc, const TestOutcome& lib, const ProofRefResult& ref) {
  const M_LRect& q = desc.request.rect;
  const long field = desc.request.field;
  std::ostringstream os;
  os.precision(9);
  if (lib.world ? lib.world->GetRect() != lib.rect : lib.rect != M_LRect{}) {
    os << "result world does not match its rect " << lib.rect;
    return os.str();
  }
  for (int32_t y = q.top; y < q.bottom; ++y) {
    if (field != 0 && (y & 1) != (field == 1 ? 0 : 1)) continue;
    for (int32_t x = q.left; x < q.right; ++x) {
      double a[4], b[4];
      Pixel(lib.world.get(), lib.rect, x, y, a);
      Pixel(ref.world.get(), ref.rect, x, y, b);
      if (!std::equal(a, a + 4, b)) {
        os << "pixel (" << x << "," << y << "): library " << a[0] << " " << a[1] << " " << a[2]
           << " " << a[3] << ", reference " << b[0] << " " << b[1] << " " << b[2] << " " << b[3]
           << " (library rect " << lib.rect << ", reference rect " << ref.rect << ")";
        return os.str();
      }
      // Float pixels are not clamped: alpha above 1 is at least opaque.
      if ((lib.flags & RG_OUTPUT_OPAQUE) && Inside(lib.rect, x, y) &&
          a[3] < ProofFullAlpha(desc.request.bit_depth)) {
        os << "result declared opaque but pixel (" << x << "," << y << ") has alpha " << a[3];
        return os.str();
      }
    }
  }
  return std::string();
}

}  // namespace

TestOutcome ProofExecute(const ProofGraphDesc& desc, RG_RenderNode* root) {
  if (desc.form != ProofForm::kDestination)
    return TestRun(root, desc.request, desc.form == ProofForm::kNewWorldLock);
  TestOutcome out;
  out.rect = desc.dest_rect;
  out.world.reset(PF_World::New(desc.dest_rect, desc.request.bit_depth, 0));
  Scribble(out.world.get());
  M_LRect outRect;
  RG_ExecuteGraph(root, desc.request, desc.dest_rect, out.world.get(), &outRect);
  return out;
}

std::string ProofRunAll(const ProofGraphDesc& desc, const ProofBuiltGraph& graph,
                        const ProofRefResult& expected) {
  // Leaves that no cache can render in a nested execution render once per run.
  std::vector<bool> belowCache(desc.nodes.size(), false);
  for (size_t i = desc.nodes.size(); i-- > 0;) {
    for (int in : desc.nodes[i].inputs) {
      if (in >= 0 && (belowCache[i] || desc.nodes[i].kind == ProofKind::kCache))
        belowCache[static_cast<size_t>(in)] = true;
    }
  }
  const auto renders = [&](size_t i) {
    return desc.nodes[i].kind != ProofKind::kSource ? 0 : graph.node<ProofSourceNode>(i)->renders;
  };
  for (int run = 1; run <= desc.runs; ++run) {
    std::vector<int> before(desc.nodes.size());
    for (size_t i = 0; i < desc.nodes.size(); ++i) before[i] = renders(i);
    std::string diff = Compare(desc, ProofExecute(desc, graph.root()), expected);
    for (size_t i = 0; i < desc.nodes.size() && diff.empty(); ++i) {
      if (!belowCache[i] && renders(i) - before[i] > 1)
        diff = "leaf #" + std::to_string(i) + " rendered more than once";
    }
    if (!diff.empty()) return "run " + std::to_string(run) + ": " + diff;
  }
  return std::string();
}

std::string ProofCheckGraph(const ProofGraphDesc& desc, ProofCheckStats* stats) {
  U_ClearReportLog();
  std::string failure;
  try {
    const ProofRefResult expected = ProofReference(desc);
    if (stats != nullptr) stats->drew = M_Overlaps(expected.rect, desc.request.rect);
    ProofBuiltGraph graph(desc);
    failure = ProofRunAll(desc, graph, expected);
    for (size_t i = 0; stats != nullptr && i < desc.nodes.size(); ++i) {
      if (desc.nodes[i].kind != ProofKind::kCache) continue;
      const auto* cache = graph.node<ProofCacheNode>(i);
      stats->cache_hits += cache->hits;
      stats->cache_stores += cache->stores;
    }
  } catch (long code) {
    failure = "threw " + std::to_string(code);
  } catch (const std::exception& e) {
    failure = std::string("threw ") + e.what();
  }
  if (failure.empty() && !U_ReportLog().empty())
    failure = "reported \"" + U_ReportLog().front().text + "\"";
  return failure.empty() ? failure : failure + "\n" + desc.Describe();
}
