// The Python module `rg`: render graphs over NumPy arrays.
#include "RGpy_Module.h"

#include <pybind11/eval.h>

#include "rg/RG_Version.h"

PYBIND11_MODULE(rg, m) {
  m.doc() = R"(Render graphs over NumPy arrays.

Build a graph from sources (rg.source over H x W x 4 premultiplied arrays),
composites, transforms, caches and nodes written in Python (subclasses of
rg.Node), then render a rectangle of it with rg.execute. docs/python.md has
a worked example.)";
  if (RG_CheckVersions(0, RG_HEADER_VERSION) != 0) {
    throw std::runtime_error("the render-graph library does not match its host libraries");
  }
  // The arrays Python nodes receive: NumPy arrays that know where they lie.
  py::exec(R"(
import numpy as _numpy
class Pixels(_numpy.ndarray):
    """An ndarray of pixels handed to a Python node; .rect is its render-space
    (left, top, right, bottom). Slices and results of arithmetic have rect None."""
    rect = None
    __module__ = "rg"
del _numpy
)",
           m.attr("__dict__"));
  RGpy_BindNodes(m);
  RGpy_BindExecute(m);
  RGpy_BindScene(m);
}
