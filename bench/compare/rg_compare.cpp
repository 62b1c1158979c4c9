// rg_compare: the frame workloads W0 to W4 through the render-graph library
// and through its peers (pixman, OpenImageIO, libvips) in the same run, at
// each thread count, interleaved so that a burst of load elsewhere on the
// machine hits every side alike. Checks each peer's pixels against the
// library's and prints medians and minima, the library's ratio to the
// fastest peer and its cost in frame copies (its time over a memcpy of one
// frame at the workload's depth).
//
// Every side reads the same input buffers and writes a frame the caller
// owns; graph, pipeline and image construction are outside the timing. The
// library runs in both forms of RG_ExecuteGraph: new (three-output form, the
// caller takes the buffer and lock) and dest (destination form, in strips
// where that is the workload's default, see DefaultStripRows; also timed in
// one execution then, and required to give the same bytes). At more than one
// thread it also runs as bands, a thread and a graph to each (ExecuteBands),
// as the pixman side runs, also required to give the same bytes.
//
// Usage: rg_compare [--reps N] [--threads 1,2] [--only W1] [--strip-rows N]
//                   [--size WxH] [--layers N] [--peers pixman,oiio,vips]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "Peers.h"
#include "Workloads.h"
#include "rghost/PF_Transfer.h"
#include "rghost/PF_World.h"

using namespace rgbench;

namespace {

struct Options {
  int reps = 15;
  std::vector<int> threads{1, 2};
  std::string only;
  int strip_rows = -1;  // -1: each workload's default; 0: one execution
  Shape shape;
  std::vector<std::string> peers{"pixman", "oiio", "vips"};
};

std::vector<std::string> SplitList(const std::string& s) {
  std::vector<std::string> items;
  std::stringstream ss(s);
  std::string item;
  while (std::getline(ss, item, ',')) items.push_back(item);
  return items;
}

[[noreturn]] void Usage(const char* argv0) {
  std::fprintf(stderr,
               "usage: %s [--reps N] [--threads 1,2] [--only W1] [--strip-rows N] [--size WxH] "
               "[--layers N] [--peers pixman,oiio,vips]\n",
               argv0);
  std::exit(2);
}

Options ParseOptions(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (i + 1 >= argc) Usage(argv[0]);
    const std::string v = argv[++i];
    if (a == "--reps") {
      o.reps = std::max(1, std::atoi(v.c_str()));
    } else if (a == "--threads") {
      o.threads.clear();
      for (const std::string& t : SplitList(v))
        o.threads.push_back(std::max(1, std::atoi(t.c_str())));
    } else if (a == "--only") {
      o.only = v;
    } else if (a == "--strip-rows") {
      o.strip_rows = std::max(0, std::atoi(v.c_str()));
    } else if (a == "--size") {
      if (std::sscanf(v.c_str(), "%dx%d", &o.shape.width, &o.shape.height) != 2 ||
          o.shape.width < 64 || o.shape.height < 64)
        Usage(argv[0]);
    } else if (a == "--layers") {
      o.shape.layers = std::max(1, std::atoi(v.c_str()));
    } else if (a == "--peers") {
      o.peers = SplitList(v);
    } else {
      Usage(argv[0]);
    }
  }
  return o;
}

double ProcessCpuMs() {
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

// Wall times of one side, and its process CPU times (all threads).
struct Times {
  std::vector<double> wall, cpu;
  template <class F>
  void Add(F&& f) {
    const double cpu0 = ProcessCpuMs();
    const auto start = std::chrono::steady_clock::now();
    f();
    const auto end = std::chrono::steady_clock::now();
    wall.push_back(std::chrono::duration<double, std::milli>(end - start).count());
    cpu.push_back(ProcessCpuMs() - cpu0);
  }
  bool Empty() const { return wall.empty(); }
  double Median() const { return MedianOf(wall); }
  double Min() const { return *std::min_element(wall.begin(), wall.end()); }
  double CpuMedian() const { return MedianOf(cpu); }
  double CpuMin() const { return *std::min_element(cpu.begin(), cpu.end()); }
  static double MedianOf(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
  }
};

constexpr double kPeerTolerance = 8.0;  // 8-bit levels

struct PixelCheck {
  double max_diff = 0;       // in 8-bit levels
  long long over_limit = 0;  // channel values more than 2 levels apart
};

// The peer's float values are ours times `scale`.
PixelCheck Compare(const Workload& w, const PF_World* ours, const void* theirs, float scale) {
  PixelCheck c;
  const long values = static_cast<long>(w.shape.width) * 4;
  for (int32_t y = 0; y < w.shape.height; ++y) {
    const char* row = static_cast<const char*>(ours->data) + y * ours->rowbytes;
    for (long i = 0; i < values; ++i) {
      const long long k = static_cast<long long>(y) * values + i;
      double d;
      if (w.depth == 8) {
        d = std::abs(static_cast<int>(reinterpret_cast<const uint8_t*>(row)[i]) -
                     static_cast<int>(static_cast<const uint8_t*>(theirs)[k]));
      } else {
        d = std::fabs(reinterpret_cast<const float*>(row)[i] -
                      static_cast<const float*>(theirs)[k] / scale) *
            255.0;
      }
      c.max_diff = std::max(c.max_diff, d);
      if (d > 2.0 + 1e-3) ++c.over_limit;
    }
  }
  return c;
}

bool SameBytes(const Workload& w, const PF_World* a, const PF_World* b) {
  const size_t row = FrameBytes(w) / w.shape.height;
  for (int32_t y = 0; y < w.shape.height; ++y)
    if (std::memcmp(a->PixelAddress(0, y), b->PixelAddress(0, y), row) != 0) return false;
  return true;
}

struct PeerRun {
  Peer* peer = nullptr;
  bool active = false;
  std::vector<unsigned char> out;
  Times times;
  PixelCheck check;
};

struct Row {
  std::string workload;
  int threads = 1;
  int32_t strip_rows = 0;
  Times ours_new, ours_dest, ours_whole, ours_bands, copy;
  std::vector<Times> peers;  // as PeerRun order; empty when inactive
  std::vector<PixelCheck> checks;
  long long peak_new = 0, copied_new = 0, peak_dest = 0, copied_dest = 0;
  bool strips_match = true;
  // The fastest of the library's forms by `figure` (bands only where they ran).
  double Ours(double (Times::*figure)() const) const {
    const double best = std::min((ours_new.*figure)(), (ours_dest.*figure)());
    return ours_bands.Empty() ? best : std::min(best, (ours_bands.*figure)());
  }
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

// Three significant figures, at least three decimals below 1.
std::string Ms(double ms) {
  char buf[32];
  if (ms < 1)
    std::snprintf(buf, sizeof buf, "%.3f", ms);
  else if (ms < 100)
    std::snprintf(buf, sizeof buf, "%.3g", ms);
  else
    std::snprintf(buf, sizeof buf, "%.0f", ms);
  return buf;
}

std::string MedMin(const Times& t) {
  if (t.Empty()) return "-";
  return Ms(t.Median()) + " / " + Ms(t.Min());
}

}  // namespace

int main(int argc, char** argv) {
  const Options opt = ParseOptions(argc, argv);
  std::vector<std::unique_ptr<Peer>> peers;
  for (const std::string& name : opt.peers) {
    if (name == "pixman")
      peers.push_back(MakePixmanPeer());
    else if (name == "oiio")
      peers.push_back(MakeOiioPeer());
    else if (name == "vips")
      peers.push_back(MakeVipsPeer());
    else
      Usage(argv[0]);
  }

  std::vector<Row> rows;
  bool allMatch = true;
  bool peersAgree = true;
  const Kind kinds[] = {Kind::W0Background, Kind::W1Stack8, Kind::W2Opaque8, Kind::W3Rotate,
                        Kind::W4Float8};
  for (Kind kind : kinds) {
    if (!opt.only.empty() && std::string(KindName(kind)).rfind(opt.only, 0) != 0) continue;
    std::unique_ptr<Workload> w = MakeWorkload(kind, opt.shape);
    std::vector<PeerRun> runs;
    for (auto& p : peers) {
      PeerRun r;
      r.peer = p.get();
      r.active = p->Prepare(*w);
      if (r.active) r.out.resize(FrameBytes(*w));
      runs.push_back(std::move(r));
    }
    WorldPtr ours(PF_World::New(FrameRect(w->shape), w->depth, 0));
    WorldPtr whole(PF_World::New(FrameRect(w->shape), w->depth, 0));
    WorldPtr bands(PF_World::New(FrameRect(w->shape), w->depth, 0));
    std::vector<unsigned char> copyFrom(FrameBytes(*w), 1), copyTo(FrameBytes(*w));

    auto oursNew = [&] {
      Rendered r;
      ExecuteNew(*w, &r);
    };
    int32_t strips = 0;
    auto oursDest = [&] { ExecuteInto(*w, ours.get(), strips); };
    auto oursWhole = [&] { ExecuteInto(*w, whole.get(), 0); };
    auto copy = [&] { std::memcpy(copyTo.data(), copyFrom.data(), copyFrom.size()); };

    for (int t : opt.threads) {
      PF_SetThreadCount(t);
      strips = opt.strip_rows >= 0 ? opt.strip_rows : DefaultStripRows(*w, t);
      Row row;
      row.workload = KindName(kind);
      row.threads = t;
      row.strip_rows = strips;
      oursDest();
      oursWhole();
      const int32_t bandStrips = DefaultStripRows(*w, 1);
      auto oursBands = [&] { ExecuteBands(*w, bands.get(), t, bandStrips); };
      row.strips_match = SameBytes(*w, ours.get(), whole.get());
      if (t > 1) {
        oursBands();
        row.strips_match = row.strips_match && SameBytes(*w, bands.get(), whole.get());
      }
      if (!row.strips_match) allMatch = false;
      for (PeerRun& r : runs) {
        if (!r.active) continue;
        r.peer->SetThreads(t);
        r.peer->RenderInto(r.out.data());
        r.check = Compare(*w, ours.get(), r.out.data(), r.peer->FloatScale());
        // Rounding and filters differ by a few levels; more means the peer
        // was asked for another image.
        if (r.check.max_diff > kPeerTolerance) {
          std::fprintf(stderr, "rg_compare: %s differs from the library by %.1f levels on %s\n",
                       r.peer->Name().c_str(), r.check.max_diff, KindName(kind));
          peersAgree = false;
        }
        r.times = Times();
      }
      PixelFigures(oursNew, &row.peak_new, &row.copied_new);
      PixelFigures(oursDest, &row.peak_dest, &row.copied_dest);
      oursNew();
      copy();

      for (int i = 0; i < opt.reps; ++i) {
        row.ours_new.Add(oursNew);
        for (PeerRun& r : runs)
          if (r.active) r.times.Add([&] { r.peer->RenderInto(r.out.data()); });
        row.ours_dest.Add(oursDest);
        if (strips > 0) row.ours_whole.Add(oursWhole);
        if (t > 1) row.ours_bands.Add(oursBands);
        row.copy.Add(copy);
      }
      for (PeerRun& r : runs) {
        row.peers.push_back(r.active ? r.times : Times());
        row.checks.push_back(r.check);
      }
      rows.push_back(std::move(row));
    }
  }

  double load[3] = {0, 0, 0};
  getloadavg(load, 3);
  std::printf("frame %dx%d, %d layers, reps %d, L2 %ld KiB, load average %.2f %.2f %.2f\n",
              opt.shape.width, opt.shape.height, opt.shape.layers, opt.reps, L2CacheBytes() >> 10,
              load[0], load[1], load[2]);
  for (auto& p : peers) std::printf("%s %s\n", p->Name().c_str(), p->Version().c_str());
  std::printf(
      "\nWall time, ms, median / min. ours = the fastest of rg new, rg dest and rg bands; frame "
      "copies = ours / memcpy\n\n| workload | threads | rg new | rg dest | rg dest whole (strip "
      "rows) | rg bands |");
  for (auto& p : peers) std::printf(" %s |", p->Name().c_str());
  std::printf(
      " memcpy | ours / fastest peer | rg dest / fastest peer | frame copies "
      "|\n|---|---|---|---|---|---|");
  for (size_t i = 0; i < peers.size(); ++i) std::printf("---|");
  std::printf("---|---|---|---|\n");
  for (const Row& r : rows) {
    std::printf("| %s | %d | %s | %s | %s |", r.workload.c_str(), r.threads,
                MedMin(r.ours_new).c_str(), MedMin(r.ours_dest).c_str(),
                r.strip_rows > 0
                    ? (MedMin(r.ours_whole) + " (" + std::to_string(r.strip_rows) + ")").c_str()
                    : "-");
    std::printf(" %s |", MedMin(r.ours_bands).c_str());
    double fastest = 1e300, fastestMin = 1e300;
    for (const Times& t : r.peers) {
      std::printf(" %s |", MedMin(t).c_str());
      if (!t.Empty()) {
        fastest = std::min(fastest, t.Median());
        fastestMin = std::min(fastestMin, t.Min());
      }
    }
    const double ours = r.Ours(&Times::Median), oursMin = r.Ours(&Times::Min);
    std::printf(" %s |", MedMin(r.copy).c_str());
    if (fastest < 1e300)
      std::printf(" %.3f / %.3f | %.3f / %.3f |", ours / fastest, oursMin / fastestMin,
                  r.ours_dest.Median() / fastest, r.ours_dest.Min() / fastestMin);
    else
      std::printf(" - | - |");
    std::printf(" %.2f / %.2f |\n", ours / r.copy.Median(), oursMin / r.copy.Min());
  }

  std::printf(
      "\nPixels against ours: max |d| in 8-bit levels (values more than 2 levels apart)\n\n"
      "| workload | threads |");
  for (auto& p : peers) std::printf(" %s |", p->Name().c_str());
  std::printf(" rg strips, bands = whole |\n|---|---|");
  for (size_t i = 0; i < peers.size(); ++i) std::printf("---|");
  std::printf("---|\n");
  for (const Row& r : rows) {
    std::printf("| %s | %d |", r.workload.c_str(), r.threads);
    for (size_t i = 0; i < r.checks.size(); ++i) {
      if (r.peers[i].Empty())
        std::printf(" - |");
      else
        std::printf(" %.2f (%lld) |", r.checks[i].max_diff, r.checks[i].over_limit);
    }
    const bool compared = r.strip_rows > 0 || !r.ours_bands.Empty();
    std::printf(" %s |\n", !compared ? "-" : r.strips_match ? "yes" : "NO");
  }

  std::printf(
      "\nCPU time of the process, all threads, ms, median / min (steadier than wall time on a "
      "loaded machine; the ratio and frame copies as above, from CPU time)\n\n| workload | threads "
      "| rg new | rg dest | rg dest whole | rg bands |");
  for (auto& p : peers) std::printf(" %s |", p->Name().c_str());
  std::printf(" memcpy | ours / fastest peer | frame copies |\n|---|---|---|---|---|---|");
  for (size_t i = 0; i < peers.size(); ++i) std::printf("---|");
  std::printf("---|---|---|\n");
  const auto cpu = [](const Times& t) {
    return t.Empty() ? std::string("-") : Ms(t.CpuMedian()) + " / " + Ms(t.CpuMin());
  };
  for (const Row& r : rows) {
    std::printf("| %s | %d | %s | %s | %s | %s |", r.workload.c_str(), r.threads,
                cpu(r.ours_new).c_str(), cpu(r.ours_dest).c_str(), cpu(r.ours_whole).c_str(),
                cpu(r.ours_bands).c_str());
    double fastest = 1e300, fastestMin = 1e300;
    for (const Times& t : r.peers) {
      std::printf(" %s |", cpu(t).c_str());
      if (!t.Empty()) {
        fastest = std::min(fastest, t.CpuMedian());
        fastestMin = std::min(fastestMin, t.CpuMin());
      }
    }
    const double ours = r.Ours(&Times::CpuMedian), oursMin = r.Ours(&Times::CpuMin);
    std::printf(" %s |", cpu(r.copy).c_str());
    if (fastest < 1e300)
      std::printf(" %.3f / %.3f |", ours / fastest, oursMin / fastestMin);
    else
      std::printf(" - |");
    std::printf(" %.2f / %.2f |\n", ours / r.copy.CpuMedian(), oursMin / r.copy.CpuMin());
  }

  std::printf(
      "\nLibrary pixel figures\n\n| workload | threads | peak alloc new / dest (MiB) | "
      "copied new / dest (MiB) |\n|---|---|---|---|\n");
  for (const Row& r : rows)
    std::printf("| %s | %d | %s / %s | %s / %s |\n", r.workload.c_str(), r.threads,
                Mib(r.peak_new).c_str(), Mib(r.peak_dest).c_str(), Mib(r.copied_new).c_str(),
                Mib(r.copied_dest).c_str());
  std::printf("%s\n", allMatch ? "rg strips and bands match one execution"
                               : "rg strips or bands DIFFER from one execution");
  return allMatch && peersAgree ? 0 : 1;
}
