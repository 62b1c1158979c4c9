// NumPy arrays and host worlds: views both ways, without copying pixels.
#include <utility>

#include "RGpy_Module.h"

namespace {

// Worlds that view the memory of a source node's NumPy array, with that
// array (borrowed: the source node holds it). Touched with the interpreter
// lock held only.
struct BorrowedWorld {
  const PF_World* world;
  PyObject* array;
};
std::vector<BorrowedWorld>& Borrowed() {
  static std::vector<BorrowedWorld> list;
  return list;
}

// The source array whose memory `world` shows, or null.
PyObject* ArrayBehind(const PF_World* world) {
  for (const BorrowedWorld& b : Borrowed()) {
    if (b.world == world || world->RefersTo(b.world)) return b.array;
  }
  return nullptr;
}

// The base object of an array over a world: it keeps the pixel storage (and
// the source array, for borrowed memory) alive as long as the array lives.
struct PixelKeeper {
  std::unique_ptr<PF_World> world;
  py::object array;
};

}  // namespace

short RGpy_DepthOfDtype(const py::dtype& dtype) {
  if (dtype.is(py::dtype::of<uint8_t>())) return 8;
  if (dtype.is(py::dtype::of<uint16_t>())) return 16;
  if (dtype.is(py::dtype::of<float>())) return 32;
  // Equal but distinct dtype objects (from pickles, other modules).
  if (dtype.equal(py::dtype::of<uint8_t>())) return 8;
  if (dtype.equal(py::dtype::of<uint16_t>())) return 16;
  if (dtype.equal(py::dtype::of<float>())) return 32;
  return 0;
}

py::dtype RGpy_DtypeOfDepth(short depth) {
  switch (depth) {
    case 8:
      return py::dtype::of<uint8_t>();
    case 16:
      return py::dtype::of<uint16_t>();
    default:
      return py::dtype::of<float>();
  }
}

std::unique_ptr<PF_World> RGpy_BorrowArray(const py::array& array, int32_t originX, int32_t originY,
                                           bool writable) {
  const short depth = RGpy_DepthOfDtype(array.dtype());
  if (depth == 0 || array.ndim() != 3 || array.shape(2) != 4) return nullptr;
  const auto flags = py::detail::array_proxy(array.ptr())->flags;
  if ((flags & py::detail::npy_api::NPY_ARRAY_ALIGNED_) == 0) return nullptr;
  if (writable && (flags & py::detail::npy_api::NPY_ARRAY_WRITEABLE_) == 0) return nullptr;
  const py::ssize_t channel = array.itemsize();
  const py::ssize_t width = array.shape(1), height = array.shape(0);
  if (width > INT32_MAX || height > INT32_MAX) return nullptr;
  // NumPy gives an array without pixels strides of 0, which no layout
  // check below would pass; with nothing to read, any row distance does.
  if (width == 0 || height == 0) {
    return std::unique_ptr<PF_World>(
        PF_World::NewBorrowed(nullptr, static_cast<int32_t>(width), static_cast<int32_t>(height),
                              static_cast<long>(width * 4 * channel), depth, originX, originY));
  }
  // The host's pixel layout: channels, then pixels, packed; rows may be
  // padded (a crop of a larger array keeps its row distance).
  if (array.strides(2) != channel || array.strides(1) != 4 * channel) return nullptr;
  if (height > 1 && array.strides(0) < width * 4 * channel) return nullptr;
  const long rowbytes =
      height > 1 ? static_cast<long>(array.strides(0)) : static_cast<long>(width * 4 * channel);
  return std::unique_ptr<PF_World>(
      PF_World::NewBorrowed(const_cast<void*>(array.data()), static_cast<int32_t>(width),
                            static_cast<int32_t>(height), rowbytes, depth, originX, originY));
}

void RGpy_RegisterBorrowed(const PF_World* world, PyObject* array) {
  Borrowed().push_back({world, array});
}

void RGpy_UnregisterBorrowed(const PF_World* world) {
  auto& list = Borrowed();
  for (auto it = list.begin(); it != list.end(); ++it) {
    if (it->world == world) {
      list.erase(it);
      return;
    }
  }
}

py::array RGpy_ArrayOfWorld(const PF_World* world, std::unique_ptr<PF_World> owned, bool writable) {
  const short depth = world->GetDepth();
  const py::ssize_t channel = static_cast<py::ssize_t>(PF_BytesPerPixel(depth) / 4);
  if (world->width == 0 || world->height == 0) {
    return py::array(RGpy_DtypeOfDepth(depth), {py::ssize_t{0}, py::ssize_t{0}, py::ssize_t{4}});
  }
  auto keeper = std::make_unique<PixelKeeper>();
  keeper->world =
      owned ? std::move(owned)
            : std::unique_ptr<PF_World>(PF_World::NewReference(
                  const_cast<PF_World*>(world), M_LRect{0, 0, world->width, world->height}));
  // Pixels that belong to a caller's array are that array's to change.
  if (PyObject* source = ArrayBehind(world)) {
    keeper->array = py::reinterpret_borrow<py::object>(source);
    writable = false;
  }
  void* data = keeper->world->data;
  py::capsule base(keeper.get(), [](void* p) { delete static_cast<PixelKeeper*>(p); });
  keeper.release();
  py::array array(RGpy_DtypeOfDepth(depth),
                  {py::ssize_t{world->height}, py::ssize_t{world->width}, py::ssize_t{4}},
                  {static_cast<py::ssize_t>(world->rowbytes), 4 * channel, channel}, data, base);
  if (!writable)
    py::detail::array_proxy(array.ptr())->flags &= ~py::detail::npy_api::NPY_ARRAY_WRITEABLE_;
  return array;
}
