#include "Renderer.h"

#include <graphviz/cgraph.h>
#include <graphviz/gvc.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>

#include "FrameWriter.h"
#include "ImageStore.h"
#include "LruCache.h"
#include "Progress.h"
#include "RenderStats.h"
#include "SceneGraph.h"
#include "SceneLoader.h"
#include "rg/RG_Errors.h"
#include "rg/RG_ScRGProfiler.h"
#include "rg/RG_TraceProfiler.h"
#include "rg/RG_Traverser.h"
#include "rg/RG_Version.h"
#include "rghost/PF_Transfer.h"
#include "rghost/PF_World.h"
#include "rghost/U_Report.h"

namespace fs = std::filesystem;

namespace {

constexpr unsigned long kPinkThresholdMs = 1000;

// Host reports go to standard error for the run's duration.
class ReportSinkScope {
 public:
  ReportSinkScope() {
    U_SetReportSink([](const U_ReportRecord& r) {
      std::fprintf(stderr, "rgrender: host report: %s\n", r.text.c_str());
    });
  }
  ~ReportSinkScope() { U_SetReportSink(nullptr); }
};

// Empties the library's profiler slot, whatever was installed in it.
class ProfilerSlotScope {
 public:
  ~ProfilerSlotScope() { RG_SetProfiler(nullptr); }
};

struct Validated {
  SceneDesc scene;
  M_LRect rect;
  int32_t first = 0, last = 0;
};

constexpr int kMaxThreads = 256;

// The kernels' thread count for one run, restored afterwards (tests run the
// program in process).
class KernelThreadsScope {
 public:
  explicit KernelThreadsScope(int threads) : previous_(PF_SetThreadCount(threads)) {}
  ~KernelThreadsScope() { PF_SetThreadCount(previous_); }
  KernelThreadsScope(const KernelThreadsScope&) = delete;
  KernelThreadsScope& operator=(const KernelThreadsScope&) = delete;

 private:
  int previous_;
};

Validated Validate(const RenderOptions& o) {
  if (o.depth != 8 && o.depth != 16 && o.depth != 32)
    throw SceneError("bad depth " + std::to_string(o.depth) + " (use 8, 16 or 32)");
  if (o.field < 0 || o.field > 2)
    throw SceneError("bad field " + std::to_string(o.field) + " (use 0, 1 or 2)");
  if (o.output.empty()) throw SceneError("no output path given (-o)");
  const FileFormat format = FormatForPath(o.output);
  CheckDepthForFormat(format, o.depth, o.output);
  if (!LruCache::BudgetOfMiB(o.cache_mb)) throw SceneError("bad --cache-mb (must be 0 or more)");
  if (o.strip_rows < -1) throw SceneError("bad --strip-rows (use 0 for the whole frame, or more)");
  if (o.threads < 1 || o.threads > kMaxThreads)
    throw SceneError("bad --threads " + std::to_string(o.threads) + " (use 1 to " +
                     std::to_string(kMaxThreads) + ")");

  Validated v{LoadScene(o.scene), {}, 0, 0};
  for (const std::string& w : v.scene.warnings)
    std::fprintf(stderr, "rgrender: warning: %s\n", w.c_str());
  v.first = o.first_frame.value_or(v.scene.frame_start);
  v.last = o.last_frame.value_or(o.first_frame ? v.first : v.scene.frame_end);
  if (v.first < 0 || v.last < v.first) throw SceneError("bad frame range");
  if (v.last > v.first && o.output.find('#') == std::string::npos)
    throw SceneError(o.output + ": several frames need a '#' in the output name for the number");
  v.rect = o.rect.value_or(M_LRect{0, 0, v.scene.width, v.scene.height});
  if (M_IsEmpty(v.rect)) throw SceneError("the render rect is empty");
  const int64_t width = int64_t{v.rect.right} - v.rect.left;
  const int64_t height = int64_t{v.rect.bottom} - v.rect.top;
  if (width > 32767 || height > 32767) throw SceneError("the render rect is too large");
  // The frame is held as float RGBA beside the library's buffers: refuse at
  // once what the machine cannot hold rather than run out of memory midway.
  const auto frameMiB = static_cast<long long>(width * height * 16 >> 20);
  const long long memoryMiB =
      static_cast<long long>(::sysconf(_SC_PHYS_PAGES)) * ::sysconf(_SC_PAGE_SIZE) >> 20;
  if (memoryMiB > 0 && frameMiB > memoryMiB / 2)
    throw SceneError("the render rect " + std::to_string(width) + " x " + std::to_string(height) +
                     " needs " + std::to_string(frameMiB) + " MiB for the frame alone, more than " +
                     "half of this machine's " + std::to_string(memoryMiB) + " MiB");

  for (int32_t f = v.first; f <= v.last; ++f) {
    CheckWritableTarget(FramePath(o.output, f), "the image");
    if (o.output.find('#') == std::string::npos) break;
  }
  if (!o.profile.empty()) {
    const std::string ext = fs::path(o.profile).extension().string();
    if (ext != ".dot" && ext != ".svg")
      throw SceneError(o.profile + ": the profile must be a .dot or .svg file");
    CheckWritableTarget(FramePath(o.profile, v.first), "the profile");
  }
  if (!o.stats.empty()) CheckWritableTarget(o.stats, "the statistics");
  if (!o.trace.empty()) CheckWritableTarget(o.trace, "the trace");
  return v;
}

bool KeepOutput() { return !RenderMonitor::AbortRequested(); }

// The fields rendered for each frame, one execution each: the one asked
// for, or both of an interlaced scene, its first field first.
std::vector<int32_t> PassFields(const RenderOptions& o, const Validated& v) {
  if (o.field != 0 || v.scene.interlace == 0) return {o.field};
  return {v.scene.interlace, 3 - v.scene.interlace};
}

// Where one execution's graph goes when the profile name has a '#' run: the
// frame's path with the execution's part of the frame (`part`) before the
// extension.
std::string ProfilePath(const std::string& pattern, int32_t frame, const std::string& part) {
  const fs::path path(FramePath(pattern, frame));
  return (path.parent_path() / (path.stem().string() + part + path.extension().string())).string();
}

// Owners of Graphviz's context and parsed graph, so every exit path frees
// them (the context last: it holds the layout plugins the graph used).
struct GvContextFree {
  void operator()(GVC_t* c) const { gvFreeContext(c); }
};
struct GvGraphClose {
  void operator()(Agraph_t* g) const { agclose(g); }
};

// Graphviz reports through a process-wide hook; the last message is kept so a
// failure names its cause.
std::string& GraphvizMessage() {
  static std::string last;
  return last;
}
int KeepGraphvizMessage(char* text) {
  GraphvizMessage() = text;
  while (!GraphvizMessage().empty() && GraphvizMessage().back() == '\n')
    GraphvizMessage().pop_back();
  return 0;
}

// Writes DOT text as it is, or draws its one graph as SVG.
void WriteProfile(const std::string& path, const std::string& dotText) {
  if (fs::path(path).extension() == ".dot") {
    WriteTextFile(path, dotText);
    return;
  }
  // Graphviz writes to a temporary name so a failed layout leaves no partial
  // picture behind.
  const fs::path dir = fs::path(path).parent_path().empty() ? "." : fs::path(path).parent_path();
  const fs::path svgTemp = dir / (".rgrender-profile-" + std::to_string(::getpid()) + ".svg");
  GraphvizMessage().clear();
  agseterrf(KeepGraphvizMessage);
  const auto fail = [&](const char* what) {
    std::error_code ec;
    fs::remove(svgTemp, ec);
    agseterrf(nullptr);
    std::string message = path + ": Graphviz " + what;
    if (!GraphvizMessage().empty()) message += ": " + GraphvizMessage();
    throw SceneError(message);
  };
  std::unique_ptr<GVC_t, GvContextFree> gvc(gvContext());
  if (!gvc) fail("cannot start");
  {
    std::unique_ptr<Agraph_t, GvGraphClose> graph(agmemread(dotText.c_str()));
    if (!graph) fail("cannot read the profile");
    if (gvLayout(gvc.get(), graph.get(), "dot") != 0) fail("layout failed");
    const int rendered = gvRenderFilename(gvc.get(), graph.get(), "svg", svgTemp.c_str());
    gvFreeLayout(gvc.get(), graph.get());
    if (rendered != 0) fail("cannot draw the profile");
  }
  agseterrf(nullptr);
  std::error_code ec;
  fs::rename(svgTemp, path, ec);
  if (ec) throw SceneError(path + ": cannot write: " + ec.message());
}

// Rows per strip when the frame is rendered as horizontal strips, one
// execution each, so that every layer's work on a strip finds that strip of
// the destination still in the L2 cache; 0 for one execution. The program's
// choice budgets a row of the strip buffer and one of every scene node's
// (any of them may hold a buffer of the strip) within the L2 cache, but no
// fewer than kMinStripRows rows: each execution costs a traversal of the
// graph, and effects that read around their output (blurs) read their
// margin again for every strip. Strips keep an even row count, so every
// strip starts on a row of field 1's parity and a single-field pass renders
// the same rows whatever the strip size.
constexpr int32_t kMinStripRows = 64;

int32_t StripRows(const RenderOptions& o, const Validated& v, int32_t height) {
  int64_t rows = o.strip_rows;
  if (rows < 0) {
    const long l2 = ::sysconf(_SC_LEVEL2_CACHE_SIZE);
    const int64_t rowBytes = int64_t{v.rect.right - v.rect.left} *
                             PF_BytesPerPixel(WorkingDepth(v.scene, static_cast<short>(o.depth))) *
                             static_cast<int64_t>(v.scene.nodes.size() + 1);
    rows = std::max<int64_t>(kMinStripRows, (l2 > 0 ? l2 : 1 << 20) / rowBytes);
  }
  if (rows == 0 || rows >= height) return 0;
  return static_cast<int32_t>(std::max<int64_t>(2, (rows + 1) & ~int64_t{1}));
}

// Renders one frame (two field passes when the scene is interlaced, each in
// strips when the frame is large). Each execution's part of the frame is
// added to `parts`: "_field<N>" for a field pass, "_rows<top>" for a strip.
FrameImage RenderFrame(const RenderOptions& o, const Validated& v, const ImageStore& images,
                       LruCache* cache, RenderMonitor* monitor, FrameGraph** current, int32_t frame,
                       std::vector<std::string>* parts) {
  FrameImage image(v.rect.right - v.rect.left, v.rect.bottom - v.rect.top, v.rect);
  const std::vector<int32_t> fields = PassFields(o, v);
  const int32_t stripRows = StripRows(o, v, image.height);
  for (size_t pass = 0; pass < fields.size(); ++pass) {
    const int32_t field = fields[pass];
    const double time = frame + 0.5 * static_cast<double>(pass);
    const std::string fieldPart = fields.size() > 1 ? "_field" + std::to_string(field) : "";
    FrameGraph graph(v.scene, images, cache, monitor, time);
    *current = &graph;
    struct Reset {
      FrameGraph** p;
      ~Reset() { *p = nullptr; }
    } reset{current};
    U_SharedPtr<RG_RenderNode> root = graph.Root();
    RG_RenderRequest request;
    request.rect = v.rect;
    request.bit_depth = WorkingDepth(v.scene, static_cast<short>(o.depth));
    request.field = field;
    if (o.into_buffer || stripRows > 0) {
      // The destination form: the library writes into memory this program
      // owns, rendering straight into it where it can; one buffer of a
      // strip's size serves every strip.
      const int32_t rows = stripRows > 0 ? stripRows : image.height;
      const long rowbytes = static_cast<long>(image.width) * PF_BytesPerPixel(request.bit_depth);
      std::vector<unsigned char> memory(static_cast<size_t>(rowbytes) * rows);
      for (int32_t top = v.rect.top; top < v.rect.bottom; top += rows) {
        request.rect.top = top;
        request.rect.bottom = std::min(v.rect.bottom, top + rows);
        std::unique_ptr<PF_World> dest(PF_World::NewBorrowed(memory.data(), image.width,
                                                             request.rect.bottom - top, rowbytes,
                                                             request.bit_depth, v.rect.left, top));
        M_LRect outRect;
        parts->push_back(fieldPart + (stripRows > 0 ? "_rows" + std::to_string(top) : ""));
        RG_ExecuteGraph(root.get(), request, request.rect, dest.get(), &outRect);
        // Outside outRect the library cleared only the requested area, which
        // here is the whole buffer.
        image.CopyFrom(dest.get(), field);
      }
    } else {
      M_LRect outRect;
      char flags = 0;
      PF_World* out = nullptr;
      parts->push_back(fieldPart);
      RG_ExecuteGraph(root.get(), request, &outRect, &flags, &out, nullptr);
      std::unique_ptr<PF_World> owned(out);
      if (owned) image.CopyFrom(owned.get(), field);
    }
  }
  return image;
}

}  // namespace

int RunRender(const RenderOptions& o) {
  Validated v;
  std::unique_ptr<ImageStore> images;
  try {
    v = Validate(o);
    images = std::make_unique<ImageStore>();
    images->LoadAll(v.scene, WorkingDepth(v.scene, static_cast<short>(o.depth)));
  } catch (const SceneError& e) {
    std::fprintf(stderr, "rgrender: error: %s\n", e.what());
    return 2;
  } catch (long code) {
    std::fprintf(stderr, "rgrender: error: loading images failed (host error %ld)\n", code);
    return 1;
  } catch (const std::exception& e) {  // e.g. a scene too large for memory
    std::fprintf(stderr, "rgrender: error: loading the scene failed: %s\n", e.what());
    return 1;
  }

  ReportSinkScope sink;
  KernelThreadsScope kernelThreads(o.threads);
  if (RG_CheckVersions(0, RG_HEADER_VERSION) != 0) {
    std::fprintf(stderr, "rgrender: error: the render-graph library does not match its host\n");
    return 1;
  }
  LruCache cache(*LruCache::BudgetOfMiB(o.cache_mb));
  RenderMonitor monitor(o.progress);

  std::unique_ptr<RG_ScRGProfiler> dot;
  RG_GraphProfiler* dotProfiler = nullptr;
  const bool perExecutionProfile = o.profile.find('#') != std::string::npos;
  size_t graphsWritten = 0;
  if (!o.profile.empty()) {
    dot = std::make_unique<RG_ScRGProfiler>(kPinkThresholdMs);
    dotProfiler = RG_GetProfiler();
  }
  FrameGraph* current = nullptr;
  std::unique_ptr<StatsProfiler> stats;
  if (!o.stats.empty()) {
    stats = std::make_unique<StatsProfiler>(dotProfiler, [&current](const RG_RenderNode* n) {
      return current != nullptr ? current->IdOf(n) : std::string();
    });
    RG_SetProfiler(stats.get());
  }
  // Outermost, so it sees every call and forwards it to the others.
  std::unique_ptr<RG_TraceProfiler> trace;
  if (!o.trace.empty()) {
    trace = std::make_unique<RG_TraceProfiler>(RG_GetProfiler());
    trace->SetNodeNamer([&current](const RG_RenderNode* n) {
      return current != nullptr ? current->IdOf(n) : std::string();
    });
    RG_SetProfiler(trace.get());
  }
  ProfilerSlotScope slot;  // emptied before the profilers above die

  std::vector<FrameFigures> figures;
  const int count = v.last - v.first + 1;
  int32_t frame = v.first;
  try {
    for (int i = 0; i < count; ++i, ++frame) {
      if (monitor.AbortRequested()) throw kUserAbortCode;
      monitor.BeginFrame(i, count, frame);
      FrameFigures fig;
      fig.frame = frame;
      if (stats) stats->SetFrame(&fig);
      if (trace) trace->SetExecutionName("frame " + std::to_string(frame));
      const CacheCounters before = cache.Counters();
      PF_ResetWorldStats();
      const auto t0 = std::chrono::steady_clock::now();
      std::vector<std::string> parts;  // of the frame, one per execution
      FrameImage image = RenderFrame(o, v, *images, &cache, &monitor, &current, frame, &parts);
      fig.wall_ms =
          std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
      const PF_WorldStats ws = PF_GetWorldStats();
      fig.worlds_allocated = ws.worlds_allocated;
      fig.pixel_bytes_allocated = ws.pixel_bytes_allocated;
      fig.peak_pixel_bytes = ws.peak_pixel_bytes;
      fig.pixel_bytes_copied = ws.pixel_bytes_copied;
      fig.cache_hits = cache.Counters().hits - before.hits;
      fig.cache_misses = cache.Counters().misses - before.misses;
      fig.cache_bytes = static_cast<long long>(cache.Bytes());
      if (stats) stats->SetFrame(nullptr);
      figures.push_back(std::move(fig));
      if (!WriteImageFile(image, FramePath(o.output, frame), o.depth, KeepOutput,
                          &images->Colors()))
        throw kUserAbortCode;
      if (dot && perExecutionProfile) {
        // The graphs recorded since the last frame are this frame's executions.
        for (size_t p = 0; graphsWritten < dot->GetDotGraphCount(); ++p, ++graphsWritten)
          WriteProfile(
              ProfilePath(o.profile, frame, p < parts.size() ? parts[p] : "_" + std::to_string(p)),
              dot->GetDotGraph(graphsWritten));
      }
      monitor.EndFrame();
    }
    monitor.Finish();
    RG_SetProfiler(nullptr);
    // One file: every execution's graph back to back as DOT, or the first
    // execution's drawn (the first frame's: it shows the whole graph, cached
    // sub-graphs included).
    if (dot && !perExecutionProfile)
      WriteProfile(o.profile, fs::path(o.profile).extension() == ".dot" ? dot->GetDotText()
                                                                        : dot->GetDotGraph(0));
    if (stats) WriteTextFile(o.stats, StatsToJson(figures, static_cast<long long>(cache.Budget())));
    if (trace) WriteTextFile(o.trace, trace->GetJson());
  } catch (const SceneError& e) {
    monitor.Finish();
    std::fprintf(stderr, "rgrender: error: %s\n", e.what());
    return 2;
  } catch (long code) {
    monitor.Finish();
    if (monitor.AbortRequested()) {
      std::fprintf(stderr, "rgrender: aborted at frame %d\n", frame);
      return 130;
    }
    std::fprintf(stderr, "rgrender: error: rendering frame %d failed%s (error code %ld)\n", frame,
                 code == RG_ERR_STACK_OVERFLOW ? ": the scene is too deep for the stack" : "",
                 code);
    return 1;
  } catch (const std::exception& e) {
    monitor.Finish();
    std::fprintf(stderr, "rgrender: error: rendering frame %d failed: %s\n", frame, e.what());
    return 1;
  }
  if (o.progress) std::fprintf(stderr, "rgrender: wrote %d frame(s)\n", count);
  return 0;
}

namespace {

bool ParseRange(const std::string& s, int32_t* first, int32_t* last) {
  int a = 0, b = 0;
  char tail = 0;
  if (std::sscanf(s.c_str(), "%d-%d%c", &a, &b, &tail) == 2 ||
      std::sscanf(s.c_str(), "%d:%d%c", &a, &b, &tail) == 2) {
    *first = a;
    *last = b;
    return a >= 0 && b >= a;
  }
  if (std::sscanf(s.c_str(), "%d%c", &a, &tail) == 1 && a >= 0) {
    *first = *last = a;
    return true;
  }
  return false;
}

}  // namespace

int RgrenderMain(int argc, const char* const* argv) {
  CLI::App app{
      "rgrender: composites a scene file (JSON) with the render-graph library.\n"
      "PNG and TIFF files are written with straight (un-premultiplied) alpha;\n"
      "EXR files keep the library's premultiplied colour. Exit codes: 0 done,\n"
      "1 rendering failed (a scene too deep for the stack included), 2 bad\n"
      "input, 130 interrupted (Ctrl-C or SIGTERM).",
      "rgrender"};
  RenderOptions o;
  std::string frames, rect;
  bool quiet = false;
  app.add_option("scene", o.scene, "Scene file (JSON)")->required();
  app.add_option("-o,--output", o.output,
                 "Output image (.png, .exr, .tif); '#' runs become the frame number")
      ->required();
  app.add_option("-f,--frames", frames,
                 "Frame or range to render, e.g. 5 or 0-23 (default: the scene's)");
  app.add_option("-d,--depth", o.depth, "Bit depth: 8, 16 or 32 (float)");
  app.add_option("--field", o.field, "Video field: 0 whole frame, 1 or 2 a single field");
  app.add_option("--rect", rect, "Area to render: left,top,right,bottom (default: the frame)");
  app.add_flag("--into-buffer", o.into_buffer,
               "Render into a destination buffer owned by the program");
  app.add_option("--strip-rows", o.strip_rows,
                 "Render the frame as strips of N rows, one execution each (0: the whole frame "
                 "at once; default: chosen from the L2 cache size)");
  app.add_option("--cache-mb", o.cache_mb,
                 "Memory budget of the render cache in MiB (default 256)");
  app.add_option("--threads", o.threads,
                 "Threads the compositing kernels split large layers over (default 1)");
  app.add_option("--profile", o.profile,
                 "Write the timed render graph: FILE.dot (all frames) or FILE.svg (first frame); "
                 "with '#' runs, one file per execution");
  app.add_option("--stats", o.stats, "Write per-frame figures to FILE.json");
  app.add_option("--trace", o.trace,
                 "Write a timeline of all frames to FILE.json (trace events, for Perfetto)");
  app.add_flag("-q,--quiet", quiet, "No progress bar");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);
    std::fprintf(stderr, "rgrender: error: %s (see --help)\n", e.what());
    return 2;
  }
  if (!frames.empty()) {
    int32_t a = 0, b = 0;
    if (!ParseRange(frames, &a, &b)) {
      std::fprintf(stderr, "rgrender: error: bad frame range '%s'\n", frames.c_str());
      return 2;
    }
    o.first_frame = a;
    o.last_frame = b;
  }
  if (!rect.empty()) {
    M_LRect r;
    char tail = 0;
    if (std::sscanf(rect.c_str(), "%d,%d,%d,%d%c", &r.left, &r.top, &r.right, &r.bottom, &tail) !=
            4 ||
        M_IsEmpty(r)) {
      std::fprintf(stderr, "rgrender: error: bad rect '%s' (left,top,right,bottom)\n",
                   rect.c_str());
      return 2;
    }
    o.rect = r;
  }
  o.progress = !quiet && ::isatty(STDERR_FILENO);
  return RunRender(o);
}
