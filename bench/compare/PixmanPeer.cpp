// pixman: images made with pixman_image_create_bits over the workload's
// buffers (no copy), PIXMAN_OP_OVER per layer onto the destination after the
// background is copied in, and for W3 the layer under the inverse of the
// library's matrix (pixman maps destination to source) with its bilinear
// filter. With two threads the frame is cut into two horizontal bands, one
// per thread, each with images of its own.
#include <pixman.h>

#include <algorithm>
#include <cstring>
#include <thread>
#include <vector>

#include "Peers.h"

namespace rgbench {
namespace {

struct ImageUnref {
  void operator()(pixman_image_t* image) const { pixman_image_unref(image); }
};
using ImagePtr = std::unique_ptr<pixman_image_t, ImageUnref>;

pixman_format_code_t Format(short depth) {
  // The library's 8-bit pixels are bytes R, G, B, A, which pixman calls
  // a8b8g8r8 on a little-endian machine; over treats the three colour
  // channels alike, so a8r8g8b8 (red and blue swapped on both sides) gives
  // the same bytes, and it is the format pixman's fastest paths are written
  // for. Float pixels are four floats in the library's order.
  return depth == 32 ? PIXMAN_rgba_float : PIXMAN_a8r8g8b8;
}

ImagePtr Bits(short depth, int32_t width, int32_t height, void* data, long rowbytes) {
  return ImagePtr(pixman_image_create_bits(
      Format(depth), width, height, static_cast<uint32_t*>(data), static_cast<int>(rowbytes)));
}

ImagePtr Over(const PF_World* w) {
  return Bits(w->depth, w->width, w->height, const_cast<void*>(w->data), w->rowbytes);
}

class PixmanPeer : public Peer {
 public:
  std::string Name() const override { return "pixman"; }
  std::string Version() const override { return pixman_version_string(); }

  bool Prepare(const Workload& w) override {
    w_ = &w;
    return true;
  }

  void SetThreads(int threads) override { threads_ = std::max(1, threads); }

  void RenderInto(void* dest) override {
    if (threads_ == 1) {
      Band(dest, 0, w_->shape.height);
      return;
    }
    std::vector<std::thread> helpers;
    const int32_t rows = (w_->shape.height + threads_ - 1) / threads_;
    for (int i = 1; i < threads_; ++i)
      helpers.emplace_back([=, this] {
        Band(dest, std::min(w_->shape.height, i * rows),
             std::min(w_->shape.height, (i + 1) * rows));
      });
    Band(dest, 0, rows);
    for (std::thread& t : helpers) t.join();
  }

 private:
  // Rows [top, bottom) of the frame.
  void Band(void* dest, int32_t top, int32_t bottom) const {
    const Workload& w = *w_;
    const size_t rowBytes = FrameBytes(w) / w.shape.height;
    char* destRows = static_cast<char*>(dest) + rowBytes * top;
    std::memcpy(destRows, w.background->PixelAddress(0, top), rowBytes * (bottom - top));
    if (w.kind == Kind::W0Background) return;
    ImagePtr out = Bits(w.depth, w.shape.width, w.shape.height, dest, static_cast<long>(rowBytes));
    if (w.kind == Kind::W3Rotate) {
      ImagePtr layer = Over(w.layers[0].get());
      M_Matrix3 inverse = w.matrix;
      inverse.InvertQuiet();
      // Rows convention: x = n0 x' + n3 y' + n6, y = n1 x' + n4 y' + n7.
      pixman_transform_t t;
      pixman_transform_init_identity(&t);
      t.matrix[0][0] = pixman_double_to_fixed(inverse[0]);
      t.matrix[0][1] = pixman_double_to_fixed(inverse[3]);
      t.matrix[0][2] = pixman_double_to_fixed(inverse[6]);
      t.matrix[1][0] = pixman_double_to_fixed(inverse[1]);
      t.matrix[1][1] = pixman_double_to_fixed(inverse[4]);
      t.matrix[1][2] = pixman_double_to_fixed(inverse[7]);
      pixman_image_set_transform(layer.get(), &t);
      pixman_image_set_filter(layer.get(), PIXMAN_FILTER_BILINEAR, nullptr, 0);
      pixman_image_set_repeat(layer.get(), PIXMAN_REPEAT_NONE);
      pixman_image_composite32(PIXMAN_OP_OVER, layer.get(), nullptr, out.get(), 0, top, 0, 0, 0,
                               top, w.shape.width, bottom - top);
      return;
    }
    for (const WorldPtr& l : w.layers) {
      const int32_t t = std::max(top, l->origin_y);
      const int32_t b = std::min(bottom, l->origin_y + l->height);
      const int32_t left = std::max(0, l->origin_x);
      const int32_t right = std::min(w.shape.width, l->origin_x + l->width);
      if (t >= b || left >= right) continue;
      ImagePtr layer = Over(l.get());
      pixman_image_composite32(PIXMAN_OP_OVER, layer.get(), nullptr, out.get(), left - l->origin_x,
                               t - l->origin_y, 0, 0, left, t, right - left, b - t);
    }
  }

  const Workload* w_ = nullptr;
  int threads_ = 1;
};

}  // namespace

std::unique_ptr<Peer> MakePixmanPeer() { return std::make_unique<PixmanPeer>(); }

}  // namespace rgbench
