// rg.execute, the abort path, rg.profile and the host's counters.
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "RGpy_Module.h"
#include "rg/RG_GraphProfiler.h"
#include "rg/RG_ScRGProfiler.h"
#include "rg/RG_TraceProfiler.h"
#include "rg/RG_Traverser.h"
#include "rghost/U_Errors.h"

namespace {

using Clock = std::chrono::steady_clock;

// One execution in progress. Python callbacks run on the executing thread;
// the kernels' other threads never call back.
struct Execution {
  std::thread::id thread = std::this_thread::get_id();
  bool handles_signals = false;  // runs on Python's main thread, where Ctrl-C lands
  std::atomic<bool> stopped{false};
  std::optional<py::error_already_set> error;  // the first Python error of a callback
  Clock::time_point next_signal_check = Clock::now();
  Execution* outer = nullptr;  // an execution started by a callback runs inside another
};

// Serialises executions; recursive, since a callback may execute a graph.
std::recursive_mutex S_execution_mutex;
Execution* S_current = nullptr;
unsigned long S_main_thread_ident = 0;

// Taking the interpreter lock costs little, but another Python thread may
// hold it for a switch interval: pending signals are looked for at most this
// often.
constexpr auto kSignalCheckInterval = std::chrono::milliseconds(10);

class RGpy_Abort : public RG_ProgAbort {
 public:
  void StartProgress() override { RGpy_CheckInterrupt(); }
  void CheckAbort() override { RGpy_CheckInterrupt(); }
  void Progress(long, long) override {}
};

PyObject* S_error_type = nullptr;  // rg.Error, alive as long as the interpreter

// The DOT and trace profilers, installed for a `with` block. The profiler
// slot holds one profiler: the trace profiler, which forwards to the DOT one.
class RGpy_Profile {
 public:
  RGpy_Profile& Enter() {
    bool busy = false;
    {
      py::gil_scoped_release nogil;
      std::lock_guard<std::recursive_mutex> lock(S_execution_mutex);
      busy = RG_GetProfiler() != nullptr;
      if (!busy) {
        dot_ = std::make_unique<RG_ScRGProfiler>(kPinkThresholdMs);
        trace_ = std::make_unique<RG_TraceProfiler>(RG_GetProfiler());
        RG_SetProfiler(trace_.get());
      }
    }
    if (busy) throw std::runtime_error("a profiler is already installed");
    return *this;
  }
  void Exit() {
    py::gil_scoped_release nogil;
    std::lock_guard<std::recursive_mutex> lock(S_execution_mutex);
    if (!dot_) return;
    dot_text_ = dot_->GetDotText();
    trace_json_ = trace_->GetJson();
    dot_.reset();  // empties the slot before the trace profiler goes
    trace_.reset();
  }
  std::string Dot() const { return dot_ ? dot_->GetDotText() : dot_text_; }
  std::string Trace() const { return trace_ ? trace_->GetJson() : trace_json_; }

 private:
  static constexpr unsigned long kPinkThresholdMs = 1000;
  std::unique_ptr<RG_ScRGProfiler> dot_;
  std::unique_ptr<RG_TraceProfiler> trace_;
  std::string dot_text_;
  std::string trace_json_;
};

py::tuple Execute(py::handle root, const M_LRect& rect, int depth, int field, py::object into) {
  if (depth != 8 && depth != 16 && depth != 32) throw py::value_error("depth is 8, 16 or 32");
  if (field < 0 || field > 2) throw py::value_error("field is 0, 1 or 2");
  const U_SharedPtr<RG_RenderNode> node = RGpy_NodeOf(root);
  if (!node) throw py::value_error("nothing to execute");
  RG_RenderRequest request;
  request.rect = rect;
  request.bit_depth = static_cast<int16_t>(depth);
  request.field = field;
  M_LRect outRect;

  if (!into.is_none()) {
    if (!py::isinstance<py::array>(into)) throw py::type_error("into must be a NumPy array");
    const auto dest = into.cast<py::array>();
    const std::unique_ptr<PF_World> world = RGpy_BorrowArray(dest, rect.left, rect.top, true);
    if (!world || world->GetDepth() != depth || world->width != rect.right - rect.left ||
        world->height != rect.bottom - rect.top) {
      throw py::value_error(
          "into must be a writable array of the rect's H x W x 4, of the depth's dtype, with "
          "packed pixels");
    }
    RGpy_RunExecution([&] { RG_ExecuteGraph(node.get(), request, rect, world.get(), &outRect); });
    return py::make_tuple(into, outRect);
  }

  PF_World* out = nullptr;
  char flags = 0;
  RGpy_RunExecution([&] { RG_ExecuteGraph(node.get(), request, &outRect, &flags, &out, nullptr); });
  std::unique_ptr<PF_World> owned(out);
  if (!owned) {
    return py::make_tuple(py::array(RGpy_DtypeOfDepth(static_cast<short>(depth)),
                                    {py::ssize_t{0}, py::ssize_t{0}, py::ssize_t{4}}),
                          outRect);
  }
  const PF_World* world = owned.get();
  return py::make_tuple(RGpy_ArrayOfWorld(world, std::move(owned), true), world->GetRect());
}

}  // namespace

long RGpy_KeepPythonError(py::error_already_set& error) {
  const bool interrupt = error.matches(PyExc_KeyboardInterrupt);
  if (S_current != nullptr) {
    if (!S_current->error) S_current->error = std::move(error);
    S_current->stopped = true;
  }
  return interrupt ? U_ERR_USER_ABORT : U_ERR_INTERNAL;
}

void RGpy_CheckInterrupt() {
  Execution* ex = S_current;
  if (ex == nullptr) return;
  if (ex->stopped) throw U_ERR_USER_ABORT;
  if (!ex->handles_signals || std::this_thread::get_id() != ex->thread) return;
  const Clock::time_point now = Clock::now();
  if (now < ex->next_signal_check) return;
  ex->next_signal_check = now + kSignalCheckInterval;
  py::gil_scoped_acquire gil;
  if (PyErr_CheckSignals() != 0) {
    py::error_already_set e;
    throw RGpy_KeepPythonError(e);
  }
}

void RGpy_AttachAbort(RG_RenderNode* node) { node->SetProgAbort(new RGpy_Abort); }

void RGpy_RunExecution(const std::function<void()>& body) {
  Execution ex;
  ex.handles_signals = PyThread_get_thread_ident() == S_main_thread_ident;
  std::exception_ptr failure;
  {
    py::gil_scoped_release nogil;
    std::lock_guard<std::recursive_mutex> lock(S_execution_mutex);
    ex.outer = S_current;
    S_current = &ex;
    try {
      body();
    } catch (...) {
      failure = std::current_exception();
    }
    S_current = ex.outer;
  }
  // A Python error is the cause of whatever code the library threw for it.
  if (ex.error) {
    py::error_already_set error = std::move(*ex.error);
    ex.error.reset();
    throw error;
  }
  if (failure) std::rethrow_exception(failure);
}

void RGpy_BindExecute(py::module_& m) {
  S_main_thread_ident =
      py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>();
  S_error_type = PyErr_NewExceptionWithDoc(
      "rg.Error",
      "A render failed with an error code of the library or its host (the `code` attribute).",
      PyExc_RuntimeError, nullptr);
  m.attr("Error") = py::handle(S_error_type);
  py::register_local_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (long code) {
      py::object error =
          py::handle(S_error_type)("render failed with error code " + std::to_string(code));
      error.attr("code") = code;
      PyErr_SetObject(S_error_type, error.ptr());
    }
  });

  m.def("execute", &Execute, py::arg("root"), py::arg("rect"), py::arg("depth") = 8,
        py::arg("field") = 0, py::arg("into") = py::none(),
        R"(Renders `rect` (left, top, right, bottom) of root's output.

depth: 8, 16 or 32 (uint8, uint16, float32 pixels); field: 0 every row, 1 or
2 one video field. Returns (pixels, rect): an H x W x 4 premultiplied array
and the render-space rect it covers, which may be smaller than the request
(an empty array when nothing renders). Results that show a source's memory
are read-only views of it.

into: an array of rect's size and the depth's dtype to render into instead
(the destination form); its pixels outside what the graph covers are
cleared. Returns (into, covered rect).

The interpreter lock is released while the library renders; Python nodes
take it for their callbacks. A Python exception raised in a callback, or
Ctrl-C (KeyboardInterrupt) during the render, propagates from here; the
library's render state is gone by then.)");

  py::class_<RGpy_Profile>(m, "Profile",
                           "The DOT and trace profiles of the executions of a `with` block.")
      .def("__enter__", &RGpy_Profile::Enter, py::return_value_policy::reference_internal)
      .def("__exit__",
           [](RGpy_Profile& p, py::args) {
             p.Exit();
             return false;
           })
      .def_property_readonly("dot", &RGpy_Profile::Dot,
                             "Graphviz DOT text, one graph per execution, with each node's time.")
      .def_property_readonly("trace", &RGpy_Profile::Trace,
                             "Trace-event JSON text (Perfetto, chrome://tracing): every node's\n"
                             "pre-render and render span, one process per execution.");
  m.def(
      "profile", [] { return RGpy_Profile(); },
      "with rg.profile() as p: ... records the executions of the block; p.dot is their DOT\n"
      "text, p.trace their trace-event JSON.");

  m.def(
      "tracked_stats",
      [] {
        const U_TrackedStats s = U_GetTrackedStats();
        py::dict d;
        d["live_objects"] = s.live_objects;
        d["live_bytes"] = s.live_bytes;
        d["peak_bytes"] = s.peak_bytes;
        d["allocations"] = s.allocations;
        return d;
      },
      "The host's counters of tracked objects (nodes, render state): live objects and bytes, "
      "peak bytes, allocations.");
  m.def(
      "world_stats",
      [] {
        const PF_WorldStats s = PF_GetWorldStats();
        py::dict d;
        d["live_worlds"] = s.live_worlds;
        d["live_pixel_bytes"] = s.live_pixel_bytes;
        d["peak_pixel_bytes"] = s.peak_pixel_bytes;
        d["worlds_allocated"] = s.worlds_allocated;
        d["pixel_bytes_copied"] = s.pixel_bytes_copied;
        d["pixel_bytes_cleared"] = s.pixel_bytes_cleared;
        return d;
      },
      "The host's counters of pixel buffers: live worlds and pixel bytes, and since the last "
      "reset_world_stats() the peak, the buffers allocated and the bytes copied and cleared.");
  m.def("reset_world_stats", &PF_ResetWorldStats);
}
