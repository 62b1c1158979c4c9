// rg_compare: the frame workloads W0 to W4 through the render-graph library
// and through libvips in the same run, at each thread count. Checks that
// both give the same pixels and prints the medians side by side.
//
// Both sides read the same input buffers: libvips wraps the library's worlds
// without copying. Graph and pipeline construction are excluded from the
// times on both sides; each timed call renders one whole frame, either into
// a new buffer (the library's three-output form with the lock taken,
// libvips' write_to_memory) or into a buffer the caller owns (the library's
// destination form, libvips writing into an image over that memory). The
// libvips operation cache is off.
//
// Usage: rg_compare [--reps N] [--threads 1,2] [--only W1]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <sstream>
#include <string>
#include <vector>
#include <vips/vips8>

#include "Workloads.h"
#include "rghost/PF_Transfer.h"
#include "rghost/PF_World.h"

using namespace rgbench;
using vips::VImage;

namespace {

struct Options {
  int reps = 15;
  std::vector<int> threads{1, 2};
  std::string only;
};

Options ParseOptions(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--reps" && i + 1 < argc) {
      o.reps = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--threads" && i + 1 < argc) {
      o.threads.clear();
      std::stringstream ss(argv[++i]);
      std::string item;
      while (std::getline(ss, item, ',')) o.threads.push_back(std::max(1, std::atoi(item.c_str())));
    } else if (a == "--only" && i + 1 < argc) {
      o.only = argv[++i];
    } else {
      std::fprintf(stderr, "usage: %s [--reps N] [--threads 1,2] [--only W1]\n", argv[0]);
      std::exit(2);
    }
  }
  return o;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

double ProcessCpuMs() {
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

// Wall time and the CPU time of the whole process (every thread) of one
// call. On a loaded machine the CPU time is the steadier of the two.
struct Sample {
  double wall = 0;
  double cpu = 0;
};

template <class F>
Sample TimeMs(F&& f) {
  const double cpu0 = ProcessCpuMs();
  const auto start = std::chrono::steady_clock::now();
  f();
  const auto end = std::chrono::steady_clock::now();
  return {std::chrono::duration<double, std::milli>(end - start).count(), ProcessCpuMs() - cpu0};
}

struct Times {
  std::vector<double> wall, cpu;
  void Add(const Sample& s) {
    wall.push_back(s.wall);
    cpu.push_back(s.cpu);
  }
};

// ---- libvips side ----

VipsBandFormat VipsFormat(short depth) {
  return depth == 32 ? VIPS_FORMAT_FLOAT : VIPS_FORMAT_UCHAR;
}

// libvips composites float pixels with 255 as full alpha (its sRGB scale),
// so its float inputs are the library's scaled by 255 (copies made once,
// outside the timing) and its float output is compared divided by 255.
constexpr float kVipsFloatScale = 255.0f;

VipsInterpretation VipsSpace(short) { return VIPS_INTERPRETATION_sRGB; }

size_t FrameBytes(short depth) {
  return static_cast<size_t>(kFrameWidth) * kFrameHeight * PF_BytesPerPixel(depth);
}

// Float copies of worlds scaled for libvips; they outlive every pipeline.
std::vector<WorldPtr> g_scaled;

const PF_World* ScaledForVips(const PF_World* w) {
  if (w->depth != 32) return w;
  WorldPtr copy(PF_World::New(w->GetRect(), 32, 0));
  for (int32_t y = 0; y < w->height; ++y) {
    const float* s = static_cast<const float*>(w->PixelAddress(0, y));
    float* d = static_cast<float*>(copy->PixelAddress(0, y));
    for (int32_t i = 0; i < w->width * 4; ++i) d[i] = s[i] * kVipsFloatScale;
  }
  g_scaled.push_back(std::move(copy));
  return g_scaled.back().get();
}

// A libvips image over a world's pixels (borrowed, no copy; float worlds go
// through ScaledForVips first).
VImage Wrap(const PF_World* original) {
  const PF_World* w = ScaledForVips(original);
  const size_t bpp = PF_BytesPerPixel(w->depth);
  if (w->rowbytes != static_cast<long>(w->width * bpp)) {
    std::fprintf(stderr, "rg_compare: world rows are padded; libvips needs packed rows\n");
    std::exit(1);
  }
  VImage img = VImage::new_from_memory(w->data, static_cast<size_t>(w->rowbytes) * w->height,
                                       w->width, w->height, 4, VipsFormat(w->depth));
  return img.copy(VImage::option()->set("interpretation", VipsSpace(w->depth)));
}

VImage VipsPipeline(const Workload& w) {
  VImage bg = Wrap(w.background.get());
  if (w.kind == Kind::W0Background) return bg;
  const int space = VipsSpace(w.depth);
  if (w.kind == Kind::W3Rotate) {
    const M_Matrix3& m = w.matrix;
    // The host's matrix takes rows (x, y, 1); libvips' affine takes columns.
    // Both map pixel centres, pixel (i, j) covering [i, i+1) x [j, j+1).
    const double a = m[0], b = m[3], c = m[1], d = m[4];
    std::vector<int> area{0, 0, kFrameWidth, kFrameHeight};
    VImage rotated =
        Wrap(w.layers[0].get())
            .affine({a, b, c, d},
                    VImage::option()
                        ->set("interpolate", vips::VInterpolate::new_from_name("bilinear"))
                        ->set("odx", m[6] + 0.5 * (a + b) - 0.5)
                        ->set("ody", m[7] + 0.5 * (c + d) - 0.5)
                        ->set("oarea", area)
                        ->set("premultiplied", true));
    return bg.composite2(
        rotated, VIPS_BLEND_MODE_OVER,
        VImage::option()->set("premultiplied", true)->set("compositing_space", space));
  }
  std::vector<VImage> in{bg};
  std::vector<int> modes, xs, ys;
  for (const WorldPtr& layer : w.layers) {
    in.push_back(Wrap(layer.get()));
    modes.push_back(VIPS_BLEND_MODE_OVER);
    xs.push_back(layer->origin_x);
    ys.push_back(layer->origin_y);
  }
  return VImage::composite(in, modes,
                           VImage::option()
                               ->set("x", xs)
                               ->set("y", ys)
                               ->set("premultiplied", true)
                               ->set("compositing_space", space));
}

void VipsRenderNew(const VImage& pipeline) {
  size_t size = 0;
  void* data = pipeline.write_to_memory(&size);
  g_free(data);
}

// Renders the pipeline into memory the caller owns.
void VipsRenderInto(const VImage& pipeline, void* dest, short depth) {
  VImage out = VImage::new_from_memory(dest, FrameBytes(depth), kFrameWidth, kFrameHeight, 4,
                                       VipsFormat(depth));
  pipeline.write(out);
}

// ---- comparison ----

struct PixelCheck {
  double max_diff = 0;       // in 8-bit levels
  long long over_limit = 0;  // channel values more than 2 levels apart
};

PixelCheck Compare(const PF_World* ours, const void* theirs, short depth) {
  PixelCheck c;
  for (int32_t y = 0; y < kFrameHeight; ++y) {
    const char* row = static_cast<const char*>(ours->data) + y * ours->rowbytes;
    for (int32_t i = 0; i < kFrameWidth * 4; ++i) {
      const long long k = static_cast<long long>(y) * kFrameWidth * 4 + i;
      double d;
      if (depth == 8) {
        d = std::abs(static_cast<int>(reinterpret_cast<const uint8_t*>(row)[i]) -
                     static_cast<int>(static_cast<const uint8_t*>(theirs)[k]));
      } else {
        d = std::fabs(reinterpret_cast<const float*>(row)[i] * kVipsFloatScale -
                      static_cast<const float*>(theirs)[k]);
      }
      c.max_diff = std::max(c.max_diff, d);
      if (d > 2.0 + 1e-3) ++c.over_limit;
    }
  }
  return c;
}

struct Row {
  std::string workload;
  int threads;
  double ours_new, ours_dest, vips_new, vips_dest;                  // wall medians
  double cpu_ours_new, cpu_ours_dest, cpu_vips_new, cpu_vips_dest;  // CPU medians
  long long peak_new, copied_new, peak_dest, copied_dest;
  PixelCheck check;
};

// Runs `f` once to learn the library's pixel figures.
template <class F>
void PixelFigures(F&& f, long long* peak, long long* copied) {
  const long long live = PF_GetWorldStats().live_pixel_bytes;
  PF_ResetWorldStats();
  f();
  const PF_WorldStats s = PF_GetWorldStats();
  *peak = s.peak_pixel_bytes - live;
  *copied = s.pixel_bytes_copied;
}

std::string Mib(long long bytes) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f", bytes / (1024.0 * 1024.0));
  return buf;
}

}  // namespace

int main(int argc, char** argv) {
  if (VIPS_INIT(argv[0])) vips_error_exit(nullptr);
  vips_cache_set_max(0);
  const Options opt = ParseOptions(argc, argv);

  std::vector<Row> rows;
  bool allMatch = true;
  const Kind kinds[] = {Kind::W0Background, Kind::W1Stack8, Kind::W2Opaque8, Kind::W3Rotate,
                        Kind::W4Float8};
  for (Kind kind : kinds) {
    if (!opt.only.empty() && std::string(KindName(kind)).rfind(opt.only, 0) != 0) continue;
    std::unique_ptr<Workload> w = MakeWorkload(kind);
    VImage pipeline = VipsPipeline(*w);
    WorldPtr ours(PF_World::New(FrameRect(), w->depth, 0));
    std::vector<unsigned char> theirs(FrameBytes(w->depth));

    auto oursNew = [&] {
      Rendered r;
      ExecuteNew(w->root.get(), w->depth, &r);
    };
    auto oursDest = [&] { ExecuteInto(w->root.get(), w->depth, ours.get()); };
    auto vipsNew = [&] { VipsRenderNew(pipeline); };
    auto vipsDest = [&] { VipsRenderInto(pipeline, theirs.data(), w->depth); };

    for (int t : opt.threads) {
      PF_SetThreadCount(t);
      vips_concurrency_set(t);
      Row row{};
      row.workload = KindName(kind);
      row.threads = t;
      oursDest();
      vipsDest();
      row.check = Compare(ours.get(), theirs.data(), w->depth);
      if (row.check.over_limit != 0) allMatch = false;
      PixelFigures(oursNew, &row.peak_new, &row.copied_new);
      PixelFigures(oursDest, &row.peak_dest, &row.copied_dest);
      oursNew();
      vipsNew();

      // Interleaved, so that a burst of load elsewhere on the machine hits
      // both sides alike.
      Times on, od, vn, vd;
      for (int i = 0; i < opt.reps; ++i) {
        on.Add(TimeMs(oursNew));
        vn.Add(TimeMs(vipsNew));
        od.Add(TimeMs(oursDest));
        vd.Add(TimeMs(vipsDest));
      }
      row.ours_new = Median(on.wall);
      row.ours_dest = Median(od.wall);
      row.vips_new = Median(vn.wall);
      row.vips_dest = Median(vd.wall);
      row.cpu_ours_new = Median(on.cpu);
      row.cpu_ours_dest = Median(od.cpu);
      row.cpu_vips_new = Median(vn.cpu);
      row.cpu_vips_dest = Median(vd.cpu);
      rows.push_back(row);
      std::fflush(stdout);
    }
  }

  double load[3] = {0, 0, 0};
  getloadavg(load, 3);
  std::printf("libvips %s, reps %d, load average %.2f %.2f %.2f\n", vips_version_string(), opt.reps,
              load[0], load[1], load[2]);
  std::printf(
      "| workload | threads | rg new (ms) | libvips new (ms) | ratio new | rg dest (ms) | "
      "libvips dest (ms) | ratio dest | rg peak alloc new/dest (MiB) | rg copied new/dest "
      "(MiB) | max diff (levels) | values > 2 levels |\n");
  std::printf("|---|---|---|---|---|---|---|---|---|---|---|---|\n");
  for (const Row& r : rows) {
    std::printf(
        "| %s | %d | %.3f | %.3f | %.3f | %.3f | %.3f | %.3f | %s / %s | %s / %s | %.2f | %lld |\n",
        r.workload.c_str(), r.threads, r.ours_new, r.vips_new, r.ours_new / r.vips_new, r.ours_dest,
        r.vips_dest, r.ours_dest / r.vips_dest, Mib(r.peak_new).c_str(), Mib(r.peak_dest).c_str(),
        Mib(r.copied_new).c_str(), Mib(r.copied_dest).c_str(), r.check.max_diff,
        r.check.over_limit);
  }
  std::printf("\nCPU time of the process, all threads (medians, ms)\n");
  std::printf(
      "| workload | threads | rg new | libvips new | ratio new | rg dest | libvips dest | "
      "ratio dest |\n");
  std::printf("|---|---|---|---|---|---|---|---|\n");
  for (const Row& r : rows) {
    std::printf("| %s | %d | %.3f | %.3f | %.3f | %.3f | %.3f | %.3f |\n", r.workload.c_str(),
                r.threads, r.cpu_ours_new, r.cpu_vips_new, r.cpu_ours_new / r.cpu_vips_new,
                r.cpu_ours_dest, r.cpu_vips_dest, r.cpu_ours_dest / r.cpu_vips_dest);
  }
  std::printf("pixels %s (tolerance 2/255 per channel)\n", allMatch ? "match" : "DIFFER");
  vips_shutdown();
  return allMatch ? 0 : 1;
}
