// The pieces of the Python module `rg` that its source files share.
//
// Ownership across the two languages (docs/python.md says it for users):
// - A Python `rg.Node` of a built-in kind holds one counted reference to its
//   library node; the library node holds its inputs and whatever Python
//   objects it reads (the NumPy array of a source), so a graph stays whole
//   however many of its Python wrappers are dropped.
// - A Python-defined node (a subclass of `rg.Node`) holds its input wrappers.
//   Its library node is made when the node is first used (as an input or a
//   root) and holds a reference to the Python object, which only remembers
//   the library node without owning it: there is no cycle to collect.
// - Every library object that holds a Python reference drops it with the
//   interpreter lock taken, wherever its last reference goes.
// - One execution runs at a time in the process (the library's reference
//   counts and its profiler slot are not thread-safe); the interpreter lock
//   is released while it runs and taken again only for Python callbacks.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "rg/RG_RenderNode.h"
#include "rghost/M_Geometry.h"
#include "rghost/PF_World.h"

namespace py = pybind11;

// Rectangles cross the language boundary as (left, top, right, bottom).
namespace pybind11::detail {
template <>
struct type_caster<M_LRect> {
  PYBIND11_TYPE_CASTER(M_LRect, const_name("tuple[int, int, int, int]"));
  bool load(handle src, bool) {
    if (!src || !PySequence_Check(src.ptr()) || PyUnicode_Check(src.ptr())) return false;
    const auto seq = reinterpret_borrow<sequence>(src);
    if (seq.size() != 4) return false;
    int32_t v[4];
    for (size_t i = 0; i < 4; ++i) {
      make_caster<int32_t> c;
      if (!c.load(seq[i], true)) return false;
      v[i] = cast_op<int32_t>(c);
    }
    value = M_LRect{v[0], v[1], v[2], v[3]};
    return true;
  }
  static handle cast(const M_LRect& r, return_value_policy, handle) {
    return make_tuple(r.left, r.top, r.right, r.bottom).release();
  }
};
}  // namespace pybind11::detail

class RGpy_EffectNode;

// What Python sees as `rg.Node`.
class RGpy_Node {
 public:
  // A built-in node.
  explicit RGpy_Node(U_SharedPtr<RG_RenderNode> node) : builtin_(std::move(node)) {}
  // A Python-defined node reading `inputs` (rg.Node objects or None).
  explicit RGpy_Node(std::vector<py::object> inputs);
  RGpy_Node(const RGpy_Node&) = delete;
  RGpy_Node& operator=(const RGpy_Node&) = delete;
  ~RGpy_Node();

  // The library node behind `self` (this wrapper's Python object), made on
  // first use for a Python-defined node.
  U_SharedPtr<RG_RenderNode> Get(py::handle self);
  const std::vector<py::object>& Inputs() const { return inputs_; }
  // Called by the effect node as it dies.
  void Forget() { effect_ = nullptr; }

 private:
  U_SharedPtr<RG_RenderNode> builtin_;
  std::vector<py::object> inputs_;     // Python-defined nodes only
  RGpy_EffectNode* effect_ = nullptr;  // not owned: it owns us through `self`
};

// The library node of an argument that is an rg.Node or None.
U_SharedPtr<RG_RenderNode> RGpy_NodeOf(py::handle node);

// ---- pixels (RGpy_Arrays.cpp) ----

// The depth code of a dtype (8, 16, 32); 0 for any other.
short RGpy_DepthOfDtype(const py::dtype& dtype);
py::dtype RGpy_DtypeOfDepth(short depth);
// A world over the array's memory when its layout allows one (H x W x 4 of a
// depth's dtype, pixels and channels packed, rows any positive distance
// apart); null otherwise. `writable` also requires a writable array.
std::unique_ptr<PF_World> RGpy_BorrowArray(const py::array& array, int32_t originX, int32_t originY,
                                           bool writable);
// Makes `world` (owned by a source node) known as a view of `array`, so
// results and callback views of it keep the array alive.
void RGpy_RegisterBorrowed(const PF_World* world, PyObject* array);
void RGpy_UnregisterBorrowed(const PF_World* world);
// An H x W x 4 array over a world's pixels, without copying. The array keeps
// the pixels alive: it takes `owned` when given, else holds a view of `world`.
py::array RGpy_ArrayOfWorld(const PF_World* world, std::unique_ptr<PF_World> owned, bool writable);

// ---- execution (RGpy_Execute.cpp) ----

// Called from Python callbacks that failed: keeps the pending Python error
// for the caller of execute and returns the code to throw through the library.
long RGpy_KeepPythonError(py::error_already_set& error);
// The host's abort path: throws U_ERR_USER_ABORT once Ctrl-C is pending.
void RGpy_CheckInterrupt();
// Gives a node the module's abort check.
void RGpy_AttachAbort(RG_RenderNode* node);

// Runs `body` as the process's one execution, without the interpreter lock;
// Python errors raised in callbacks meanwhile are raised again here.
void RGpy_RunExecution(const std::function<void()>& body);

void RGpy_BindNodes(py::module_& m);
void RGpy_BindExecute(py::module_& m);
void RGpy_BindScene(py::module_& m);
