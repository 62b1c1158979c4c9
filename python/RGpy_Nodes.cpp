// rg.Node and the node kinds: NumPy sources, null, cache, layer composites,
// transforms, and nodes written in Python.
#include <map>
#include <tuple>

#include "RGpy_Module.h"
#include "rg/RG_CacheNodeBase.h"
#include "rg/RG_CheckoutResult.h"
#include "rg/RG_CompositeNode.h"
#include "rg/RG_NodeCallbacks.h"
#include "rg/RG_NullNode.h"
#include "rg/RG_SourceBufferNode.h"
#include "rg/RG_XformNode.h"
#include "rghost/U_Errors.h"

namespace {

// ---- sources ----

// Constructed before the source node it feeds (base-from-member): the node
// borrows the world, the world borrows the array's memory.
struct ArrayHold {
  py::object array;
  std::unique_ptr<PF_World> world;
};

class RGpy_ArraySourceNode : private ArrayHold, public RG_SourceBufferNode {
 public:
  RGpy_ArraySourceNode(ArrayHold hold, bool viewed)
      : ArrayHold(std::move(hold)), RG_SourceBufferNode(world.get()), viewed_(viewed) {
    RGpy_RegisterBorrowed(world.get(), array.ptr());
  }
  ~RGpy_ArraySourceNode() override {
    py::gil_scoped_acquire gil;
    RGpy_UnregisterBorrowed(world.get());
    array = py::object();
  }
  std::string GetProfileLabel() const override { return "NumPySource"; }
  // Delivers at the request's depth: the array's own is shared as a view,
  // another is converted into a buffer of the traversal's.
  void Render(RG_NodeRenderCB* cb, const RG_RenderRequest& request,
              const RG_NodeData* data) const override {
    if (request.bit_depth == world->GetDepth()) {
      RG_SourceBufferNode::Render(cb, request, data);
      return;
    }
    RG_CheckoutResult* out = cb->GetNextCheckout();
    const M_LRect& rect = out->GetRect();
    const M_LRect area{rect.left - world->origin_x, rect.top - world->origin_y,
                       rect.right - world->origin_x, rect.bottom - world->origin_y};
    std::unique_ptr<PF_World> converted(PF_World::New(rect, request.bit_depth, 0));
    converted->ConvertPixels(world.get(), &area, 1, 0, 0, 0);
    out->SetOutputWorld(converted.release(), nullptr);
  }
  bool Viewed() const { return viewed_; }

 private:
  bool viewed_;
};

py::object MakeSource(const py::array& array, std::pair<int32_t, int32_t> origin) {
  ArrayHold hold;
  hold.world = RGpy_BorrowArray(array, origin.first, origin.second, false);
  const bool viewed = hold.world != nullptr;
  hold.array = array;
  if (!viewed) {
    // Another layout: a packed copy, which the node then views.
    if (RGpy_DepthOfDtype(array.dtype()) == 0 || array.ndim() != 3 || array.shape(2) != 4) {
      throw py::type_error("a source is an H x W x 4 array of uint8, uint16 or float32");
    }
    py::array packed = py::module_::import("numpy").attr("ascontiguousarray")(array);
    hold.world = RGpy_BorrowArray(packed, origin.first, origin.second, false);
    hold.array = packed;
    if (!hold.world) throw py::value_error("a source is at most 2147483647 pixels wide and high");
  }
  U_SharedPtr<RG_RenderNode> node(new RGpy_ArraySourceNode(std::move(hold), viewed));
  RGpy_AttachAbort(node.get());
  return py::cast(std::make_unique<RGpy_Node>(node));
}

// ---- cache ----

// Keeps one rendered result of its input per depth, field and bounds type,
// serving later requests it covers as views. Entries live as long as the node.
class RGpy_CacheNode : public RG_CacheNodeBase {
 public:
  explicit RGpy_CacheNode(U_SharedPtr<RG_RenderNode> input) : input_(std::move(input)) {}

  bool LookupCache(const RG_RenderRequest& request, RG_NodeData**, M_LRect* resultRect,
                   char* outputFlags, M_LRect* contentBounds) const override {
    auto it = entries_.find(Key(request));
    if (it == entries_.end()) return false;
    const Entry& e = it->second;
    // The entry holds the input's whole output over the area it was asked
    // for, so it serves any request inside that area as well.
    const M_LRect wanted = M_Intersect(request.rect, e.bounds);
    if (!M_IsEmpty(wanted) && !M_Contains(e.rect, wanted) && !M_Contains(e.asked, wanted)) {
      return false;
    }
    *resultRect = e.rect;
    *outputFlags = e.flags;
    *contentBounds = e.bounds;
    return true;
  }
  U_SharedPtr<RG_RenderNode> MakeInput() const override { return input_; }
  void StoreInCache(const RG_RenderRequest& childRequest, long, const M_LRect& resultRect,
                    char outputFlags, PF_World* world, RG_CheckoutResult* output) const override {
    std::unique_ptr<PF_World> owned(world);
    Entry& e = entries_[Key(childRequest)];
    e.world = std::move(owned);
    e.rect = resultRect;
    e.asked = childRequest.rect;
    e.flags = outputFlags;
    e.bounds = GetInput(0)->GetContentBounds(RG_CONTENT_BOUNDS_TYPE0);
    ServeFrom(e, output);
  }
  bool RenderFromCache(const RG_NodeData*, const RG_RenderRequest& request,
                       RG_CheckoutResult* output) const override {
    auto it = entries_.find(Key(request));
    if (it == entries_.end()) return false;
    ServeFrom(it->second, output);
    return true;
  }
  std::string GetProfileLabel() const override { return "Cache"; }

 private:
  struct Entry {
    std::unique_ptr<PF_World> world;
    M_LRect rect;   // what the input delivered
    M_LRect asked;  // what it was asked for
    char flags = 0;
    M_LRect bounds;
  };
  using Key_t = std::tuple<int, int, int>;
  static Key_t Key(const RG_RenderRequest& r) {
    return {r.bit_depth, r.field, r.flags & RG_REQUEST_CONTENT_BOUNDS_TYPE1};
  }
  static bool M_Contains(const M_LRect& a, const M_LRect& b) {
    return a.left <= b.left && a.top <= b.top && a.right >= b.right && a.bottom >= b.bottom;
  }
  // A view of the entry; the lock marks the pixels as not the traversal's
  // own, so they are copied before anyone writes them.
  static void ServeFrom(const Entry& e, RG_CheckoutResult* output) {
    const M_LRect& r = output->GetRect();
    std::unique_ptr<PF_World> view(PF_World::NewReference(
        e.world.get(), M_LRect{r.left - e.rect.left, r.top - e.rect.top, r.right - e.rect.left,
                               r.bottom - e.rect.top}));
    output->SetOutputWorld(view.release(), new RG_BufferLock);
  }

  U_SharedPtr<RG_RenderNode> input_;
  mutable std::map<Key_t, Entry> entries_;
};

// ---- composites ----

PF_CompositeModePlus ModeOf(PF_BlendMode mode, float opacity, bool destBound, int32_t seed) {
  if (!(opacity >= 0.0f && opacity <= 1.0f)) throw py::value_error("opacity must be in [0, 1]");
  PF_CompositeModePlus m;
  m.transfer_mode = mode;
  m.opacity = opacity;
  m.dest_bound = destBound ? 1 : 0;
  m.dissolve_seed = seed;
  return m;
}

py::object Wrap(RG_RenderNode* made) {
  U_SharedPtr<RG_RenderNode> node(made);
  RGpy_AttachAbort(node.get());
  return py::cast(std::make_unique<RGpy_Node>(node));
}

py::object MakeComposite(py::handle source, py::handle dest, py::handle mask, PF_BlendMode mode,
                         float opacity, PF_MaskKind maskMode, bool destBound, int32_t seed) {
  const PF_CompositeModePlus m = ModeOf(mode, opacity, destBound, seed);
  U_SharedPtr<RG_RenderNode> s = RGpy_NodeOf(source), d = RGpy_NodeOf(dest), k = RGpy_NodeOf(mask);
  if (!s) throw py::value_error("a composite needs a source");
  return Wrap(new RG_CompositeNode(s.get(), m, d.get(), k.get(), maskMode));
}

py::object MakeTransform(py::handle source, const py::object& matrices, long quality,
                         py::handle dest, py::handle mask, PF_BlendMode mode, float opacity,
                         PF_MaskKind maskMode, bool destBound, int32_t seed) {
  const PF_CompositeModePlus m = ModeOf(mode, opacity, destBound, seed);
  if (quality != 0 && quality != 1) throw py::value_error("quality is 0 (nearest) or 1 (bilinear)");
  auto array = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(matrices);
  if (!array || !(array.ndim() == 2 || array.ndim() == 3) || array.shape(array.ndim() - 1) != 3 ||
      array.shape(array.ndim() - 2) != 3) {
    throw py::value_error("matrices: one 3x3 array or an N x 3 x 3 array");
  }
  const long count = array.ndim() == 2 ? 1 : static_cast<long>(array.shape(0));
  std::vector<M_Matrix3> list(static_cast<size_t>(count));
  for (long i = 0; i < count; ++i) {
    std::copy_n(array.data() + 9 * i, 9, list[static_cast<size_t>(i)].m);
  }
  U_SharedPtr<RG_RenderNode> s = RGpy_NodeOf(source), d = RGpy_NodeOf(dest), k = RGpy_NodeOf(mask);
  if (!s) throw py::value_error("a transform needs a source");
  return Wrap(
      new RG_XformNode(list.data(), count, m, quality, s.get(), d.get(), k.get(), maskMode));
}

}  // namespace

// ---- nodes written in Python ----

namespace {

// Which inputs a Python node checked out at pre-render.
class RGpy_EffectData : public RG_NodeData {
 public:
  std::vector<bool> checked_out;
  bool has_output = false;
};

// What pre_render receives: the request and the means to check out inputs.
// Valid only during that call.
class RGpy_Request {
 public:
  RGpy_Request(RG_NodePreRenderCB* cb, const RG_RenderRequest& request, RGpy_EffectData* data)
      : cb_(cb), request_(request), data_(data) {}

  const RG_RenderRequest& Request() const { return request_; }
  // Checks out input `index` over `rect` (the request's by default);
  // returns what it delivers, None when nothing.
  py::object Input(long index, std::optional<M_LRect> rect) {
    if (cb_ == nullptr) throw py::value_error("the request is only usable during pre_render");
    if (index < 0 || index >= static_cast<long>(data_->checked_out.size())) {
      throw py::index_error("no such input");
    }
    if (data_->checked_out[static_cast<size_t>(index)]) {
      throw py::value_error("each input is checked out once per pre_render");
    }
    RG_RenderRequest r = request_;
    if (rect) r.rect = *rect;
    M_LRect delivered;
    {
      py::gil_scoped_release nogil;  // the input's own pre-render may run Python nodes
      delivered = cb_->CheckoutInputWithID(index, index, r)->GetRect();
    }
    data_->checked_out[static_cast<size_t>(index)] = true;
    return M_IsEmpty(delivered) ? py::none() : py::cast(delivered);
  }
  void End() { cb_ = nullptr; }

 private:
  RG_NodePreRenderCB* cb_;
  RG_RenderRequest request_;
  RGpy_EffectData* data_;
};

// An H x W x 4 rg.Pixels array (an ndarray that knows its rect) over a world.
py::object PixelsOf(const PF_World* world, bool writable) {
  // Never released: the interpreter may outlive the module's statics.
  static PyObject* pixels_type =
      py::object(py::module_::import("rg").attr("Pixels")).release().ptr();
  py::object array =
      RGpy_ArrayOfWorld(world, nullptr, writable).attr("view")(py::handle(pixels_type));
  array.attr("rect") = world->GetRect();
  return array;
}

}  // namespace

class RGpy_EffectNode : public RG_RenderNode {
 public:
  RGpy_EffectNode(py::object self, RGpy_Node* wrapper,
                  const std::vector<U_SharedPtr<RG_RenderNode>>& inputs)
      : self_(std::move(self)), wrapper_(wrapper) {
    for (const auto& input : inputs) inputs_.emplace_back(input);
    label_ = py::str(self_.get_type().attr("__name__"));
  }
  ~RGpy_EffectNode() override {
    py::gil_scoped_acquire gil;
    wrapper_->Forget();
    self_ = py::object();
  }
  std::string GetProfileLabel() const override { return label_; }

  RG_NodeData* PreRender(RG_NodePreRenderCB* cb, const RG_RenderRequest& request) const override {
    std::unique_ptr<RGpy_EffectData> data(new RGpy_EffectData);
    data->checked_out.assign(inputs_.size(), false);
    M_LRect out;
    {
      py::gil_scoped_acquire gil;
      try {
        py::object wrapped = py::cast(RGpy_Request(cb, request, data.get()));
        struct EndRequest {
          py::object& r;
          ~EndRequest() { r.cast<RGpy_Request&>().End(); }
        } end{wrapped};
        py::object result = self_.attr("pre_render")(wrapped);
        if (!result.is_none()) out = M_Intersect(result.cast<M_LRect>(), request.rect);
      } catch (py::error_already_set& e) {
        throw RGpy_KeepPythonError(e);
      } catch (const py::cast_error&) {
        PyErr_SetString(PyExc_TypeError, "pre_render returns a rect or None");
        py::error_already_set e;
        throw RGpy_KeepPythonError(e);
      }
    }
    data->has_output = !M_IsEmpty(out);
    cb->RequestOutput(out, 0, RG_NEW_WORLD_CLEAR);
    return data.release();
  }

  void Render(RG_NodeRenderCB* cb, const RG_RenderRequest&,
              const RG_NodeData* nodeData) const override {
    const auto* data = static_cast<const RGpy_EffectData*>(nodeData);
    // Inputs render here, without the interpreter lock.
    std::vector<const PF_World*> worlds(inputs_.size(), nullptr);
    for (size_t i = 0; i < worlds.size(); ++i) {
      if (data->checked_out[i])
        worlds[i] = cb->GetCheckoutByID(static_cast<int32_t>(i))->GetWorld();
    }
    PF_World* out = cb->GetCheckoutByID(-1)->GetOutputWorld();
    if (!data->has_output || out == nullptr) return;
    RGpy_CheckInterrupt();
    py::gil_scoped_acquire gil;
    try {
      py::list arrays;
      for (const PF_World* w : worlds) {
        if (w != nullptr && w->width > 0 && w->height > 0)
          arrays.append(PixelsOf(w, false));
        else
          arrays.append(py::none());
      }
      self_.attr("render")(arrays, PixelsOf(out, true));
    } catch (py::error_already_set& e) {
      throw RGpy_KeepPythonError(e);
    }
  }

 private:
  py::object self_;     // the Python node; keeps the wrapper alive
  RGpy_Node* wrapper_;  // inside self_
  std::string label_;
};

RGpy_Node::RGpy_Node(std::vector<py::object> inputs) : inputs_(std::move(inputs)) {
  for (const py::object& input : inputs_) {
    if (!input.is_none() && !py::isinstance<RGpy_Node>(input)) {
      throw py::type_error("inputs are rg.Node objects or None");
    }
  }
}

RGpy_Node::~RGpy_Node() = default;

U_SharedPtr<RG_RenderNode> RGpy_Node::Get(py::handle self) {
  if (builtin_) return builtin_;
  if (effect_ != nullptr) return effect_;
  std::vector<U_SharedPtr<RG_RenderNode>> inputs;
  for (const py::object& input : inputs_) inputs.push_back(RGpy_NodeOf(input));
  U_SharedPtr<RG_RenderNode> node(
      new RGpy_EffectNode(py::reinterpret_borrow<py::object>(self), this, inputs));
  RGpy_AttachAbort(node.get());
  effect_ = static_cast<RGpy_EffectNode*>(node.get());
  return node;
}

U_SharedPtr<RG_RenderNode> RGpy_NodeOf(py::handle node) {
  if (node.is_none()) return {};
  if (!py::isinstance<RGpy_Node>(node)) throw py::type_error("expected an rg.Node or None");
  return node.cast<RGpy_Node&>().Get(node);
}

void RGpy_BindNodes(py::module_& m) {
  py::enum_<PF_BlendMode>(m, "Mode", "Transfer modes of composites and transforms.")
      .value("COPY", PF_BLEND_COPY)
      .value("BEHIND", PF_BLEND_BEHIND)
      .value("NORMAL", PF_BLEND_NORMAL)
      .value("DISSOLVE", PF_BLEND_DISSOLVE)
      .value("ADD", PF_BLEND_ADD)
      .value("MULTIPLY", PF_BLEND_MULTIPLY)
      .value("SCREEN", PF_BLEND_SCREEN)
      .value("OVERLAY", PF_BLEND_OVERLAY)
      .value("SOFT_LIGHT", PF_BLEND_SOFT_LIGHT)
      .value("HARD_LIGHT", PF_BLEND_HARD_LIGHT)
      .value("DARKEN", PF_BLEND_DARKEN)
      .value("LIGHTEN", PF_BLEND_LIGHTEN)
      .value("DIFFERENCE", PF_BLEND_DIFFERENCE)
      .value("HUE", PF_BLEND_HUE)
      .value("SATURATION", PF_BLEND_SATURATION)
      .value("COLOR", PF_BLEND_COLOR)
      .value("LUMINOSITY", PF_BLEND_LUMINOSITY)
      .value("STENCIL_ALPHA", PF_BLEND_STENCIL_ALPHA)
      .value("STENCIL_LUMA", PF_BLEND_STENCIL_LUMA)
      .value("SILHOUETTE_ALPHA", PF_BLEND_SILHOUETTE_ALPHA)
      .value("SILHOUETTE_LUMA", PF_BLEND_SILHOUETTE_LUMA)
      .value("ALPHA_ADD", PF_BLEND_ALPHA_ADD);
  py::enum_<PF_MaskKind>(m, "MaskMode", "How a mask's pixels give coverage.")
      .value("ALPHA", PF_MASK_ALPHA)
      .value("INVERTED_ALPHA", PF_MASK_INVERTED_ALPHA)
      .value("LUMA", PF_MASK_LUMA)
      .value("INVERTED_LUMA", PF_MASK_INVERTED_LUMA);

  py::class_<RGpy_Request>(m, "Request",
                           "What a Python node's pre_render is asked for: rect, depth and field "
                           "of the request, and input() to check out inputs. Valid only during "
                           "pre_render.")
      .def_property_readonly("rect", [](const RGpy_Request& r) { return r.Request().rect; })
      .def_property_readonly("depth", [](const RGpy_Request& r) { return r.Request().bit_depth; })
      .def_property_readonly("field", [](const RGpy_Request& r) { return r.Request().field; })
      .def("input", &RGpy_Request::Input, py::arg("index"), py::arg("rect") = py::none(),
           "Checks out input `index` over `rect` (default: the request's rect) at the request's "
           "depth and field. Returns the rect it will deliver, or None when it delivers nothing. "
           "Inputs not checked out reach render() as None.");

  py::class_<RGpy_Node>(m, "Node", py::dynamic_attr(), R"(A node of a render graph.

Built-in nodes come from rg.source, rg.null, rg.cache, rg.composite and
rg.transform. A node written in Python subclasses rg.Node, calls
super().__init__(inputs) and overrides:

  pre_render(self, request) -> rect or None
      Check out the input areas it needs with request.input(i, rect) and
      return the output rect it will fill (clipped to request.rect).
  render(self, inputs, output)
      inputs: one rg.Pixels array per input (read-only; None when not
      checked out or empty); output: an rg.Pixels array, cleared, to fill.
      Each array's .rect gives its render-space rect. The arrays are valid
      during the call only.

Arrays are H x W x 4 premultiplied RGBA: uint8 at depth 8, uint16 at 16,
float32 at 32.)")
      .def(py::init<std::vector<py::object>>(), py::arg("inputs") = std::vector<py::object>{})
      .def("pre_render",
           [](py::object self, RGpy_Request& request) -> py::object {
             // By default every input is read over the request's rect and the
             // whole request is rendered.
             const long n = static_cast<long>(self.cast<RGpy_Node&>().Inputs().size());
             for (long i = 0; i < n; ++i) {
               if (!self.cast<RGpy_Node&>().Inputs()[static_cast<size_t>(i)].is_none())
                 request.Input(i, std::nullopt);
             }
             return py::cast(request.Request().rect);
           })
      .def("render",
           [](py::object, py::object, py::object) {
             throw py::type_error("a Python node must define render(inputs, output)");
           })
      .def_property_readonly(
          "bounds",
          [](py::object self) {
            return RGpy_NodeOf(self)->GetContentBounds(RG_CONTENT_BOUNDS_TYPE0);
          },
          "The node's content bounds (unbounded nodes give the whole 32-bit plane).")
      .def_property_readonly(
          "label", [](py::object self) { return RGpy_NodeOf(self)->GetProfileLabel(); },
          "The name profiles show.")
      .def_property_readonly(
          "zero_copy",
          [](py::object self) -> py::object {
            auto* src = dynamic_cast<RGpy_ArraySourceNode*>(RGpy_NodeOf(self).get());
            if (src == nullptr) return py::none();
            return py::bool_(src->Viewed());
          },
          "For a source: True when it views its array's memory, False when it had to copy it "
          "(another layout). None for other nodes.");

  m.def("source", &MakeSource, py::arg("array"), py::arg("origin") = std::make_pair(0, 0),
        R"(A source node over an H x W x 4 premultiplied array (uint8, uint16 or float32).

The node views the array's memory without copying when channels and pixels
are packed (rows may be any distance apart, as in a crop of a larger array),
and copies it once otherwise. It keeps the array alive; later changes to a
viewed array show in later renders. origin: render-space (x, y) of pixel (0, 0).)");
  m.def(
      "null", [] { return Wrap(new RG_NullNode); }, "A node that renders nothing.");
  m.def(
      "cache",
      [](py::handle input) {
        U_SharedPtr<RG_RenderNode> in = RGpy_NodeOf(input);
        if (!in) throw py::value_error("a cache needs an input");
        return Wrap(new RGpy_CacheNode(in));
      },
      py::arg("input"),
      "A node that keeps its input's rendered output (one per depth and field) for as long as "
      "it lives, and serves later requests it covers without rendering the input again.");
  m.def("composite", &MakeComposite, py::arg("source"), py::arg("dest") = py::none(),
        py::arg("mask") = py::none(), py::arg("mode") = PF_BLEND_NORMAL, py::arg("opacity") = 1.0f,
        py::arg("mask_mode") = PF_MASK_ALPHA, py::arg("dest_bound") = false, py::arg("seed") = 0,
        "Lays `source` over `dest` (None: over transparency) with a transfer mode and an "
        "opacity, through an optional mask read with mask_mode. dest_bound keeps the "
        "destination's alpha (source-atop); seed varies the dissolve pattern.");
  m.def("transform", &MakeTransform, py::arg("source"), py::arg("matrices"), py::arg("quality") = 1,
        py::arg("dest") = py::none(), py::arg("mask") = py::none(),
        py::arg("mode") = PF_BLEND_NORMAL, py::arg("opacity") = 1.0f,
        py::arg("mask_mode") = PF_MASK_ALPHA, py::arg("dest_bound") = false, py::arg("seed") = 0,
        "As composite, placing the source through one 3x3 matrix or an N x 3 x 3 array of "
        "them (averaged: motion blur). Matrices map source points to output points as row "
        "vectors, [x, y, 1] @ M, so a translation sits in the bottom row. quality 0 samples "
        "the nearest pixel, 1 bilinearly.");
}
