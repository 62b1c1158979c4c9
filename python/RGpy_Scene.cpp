// rg.load_scene: rgrender's scene files, rendered frame by frame from Python.
#include "RGpy_Module.h"

#ifdef RGPY_WITH_SCENES

#include <map>

#include "ImageStore.h"
#include "LruCache.h"
#include "Pixels.h"
#include "Progress.h"
#include "SceneGraph.h"
#include "SceneLoader.h"
#include "rg/RG_Traverser.h"

namespace {

// A loaded scene with the images it reads (per depth, read on first need)
// and a render cache that lives as long as the object, so cache nodes serve
// later frames as they do in rgrender.
class RGpy_Scene {
 public:
  RGpy_Scene(const std::string& path, double cacheMb)
      : scene_(LoadScene(path)), cache_(*LruCache::BudgetOfMiB(cacheMb)), monitor_(false) {}

  const SceneDesc& Desc() const { return scene_; }

  py::tuple Render(int32_t frame, int depth, std::optional<M_LRect> area) {
    if (depth != 8 && depth != 16 && depth != 32) throw py::value_error("depth is 8, 16 or 32");
    const M_LRect rect = area.value_or(M_LRect{0, 0, scene_.width, scene_.height});
    if (M_IsEmpty(rect)) throw py::value_error("the render rect is empty");
    py::array image = py::module_::import("numpy").attr("zeros")(
        py::make_tuple(rect.bottom - rect.top, rect.right - rect.left, 4),
        RGpy_DtypeOfDepth(static_cast<short>(depth)));
    const std::unique_ptr<PF_World> dest = RGpy_BorrowArray(image, rect.left, rect.top, true);
    RGpy_RunExecution([&] {
      const ImageStore& images = Images(static_cast<short>(depth));
      // An interlaced scene renders its two fields half a frame apart.
      std::vector<std::pair<int32_t, double>> passes{{0, frame}};
      if (scene_.interlace != 0) {
        passes = {{scene_.interlace, frame}, {3 - scene_.interlace, frame + 0.5}};
      }
      for (const auto& [field, time] : passes) {
        FrameGraph graph(scene_, images, &cache_, &monitor_, time);
        const U_SharedPtr<RG_RenderNode> root = graph.Root();
        RG_RenderRequest request;
        request.rect = rect;
        request.bit_depth = static_cast<int16_t>(depth);
        request.field = field;
        M_LRect outRect;
        char flags = 0;
        PF_World* out = nullptr;
        RG_ExecuteGraph(root.get(), request, &outRect, &flags, &out, nullptr);
        const std::unique_ptr<PF_World> owned(out);
        if (owned) CopyField(owned.get(), field, rect, dest.get());
      }
    });
    return py::make_tuple(image, rect);
  }

 private:
  const ImageStore& Images(short depth) {
    std::unique_ptr<ImageStore>& store = images_[depth];
    if (!store) {
      auto loaded = std::make_unique<ImageStore>();
      loaded->LoadAll(scene_, depth);
      store = std::move(loaded);
    }
    return *store;
  }
  // The rows of `field` (all for 0; by the frame's row numbers, as
  // rgrender counts them, wherever the rect starts) of what a pass rendered.
  static void CopyField(PF_World* src, int32_t field, const M_LRect& rect, PF_World* dest) {
    const M_LRect s = src->GetRect();
    const M_LRect o = M_Intersect(s, rect);
    if (M_IsEmpty(o)) return;
    if (field == 0) {
      const M_LRect all{o.left - s.left, o.top - s.top, o.right - s.left, o.bottom - s.top};
      dest->CopyPixels(src, &all, o.left - rect.left, o.top - rect.top);
      return;
    }
    for (int32_t y = o.top; y < o.bottom; ++y) {
      if (!RowInField(y, field)) continue;
      const M_LRect row{o.left - s.left, y - s.top, o.right - s.left, y - s.top + 1};
      dest->CopyPixels(src, &row, o.left - rect.left, y - rect.top);
    }
  }

  SceneDesc scene_;
  LruCache cache_;
  RenderMonitor monitor_;
  std::map<short, std::unique_ptr<ImageStore>> images_;
};

}  // namespace

void RGpy_BindScene(py::module_& m) {
  py::register_local_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const SceneError& e) {
      PyErr_SetString(PyExc_ValueError, e.what());
    }
  });
  py::class_<RGpy_Scene>(m, "Scene", "A scene file of rgrender, loaded by rg.load_scene.")
      .def_property_readonly("width", [](const RGpy_Scene& s) { return s.Desc().width; })
      .def_property_readonly("height", [](const RGpy_Scene& s) { return s.Desc().height; })
      .def_property_readonly(
          "frames",
          [](const RGpy_Scene& s) {
            return py::make_tuple(s.Desc().frame_start, s.Desc().frame_end);
          },
          "(first, last) frame of the scene.")
      .def("render", &RGpy_Scene::Render, py::arg("frame"), py::arg("depth") = 8,
           py::arg("rect") = py::none(),
           "Renders a frame (both fields of an interlaced scene) as rgrender does; returns "
           "(pixels, rect), pixels premultiplied. rect defaults to the whole frame.");
  m.def(
      "load_scene",
      [](const std::string& path, double cacheMb) {
        if (!LruCache::BudgetOfMiB(cacheMb)) throw py::value_error("cache_mb must be 0 or more");
        return std::make_unique<RGpy_Scene>(path, cacheMb);
      },
      py::arg("path"), py::arg("cache_mb") = 256.0,
      "Loads a scene file of rgrender (JSON; format in tools/rgrender/README.md). Errors in "
      "the file raise ValueError naming the JSON path.");
}

#else

void RGpy_BindScene(py::module_&) {}

#endif
