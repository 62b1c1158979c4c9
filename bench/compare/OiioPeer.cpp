// OpenImageIO: ImageBufs over the workload's buffers (no copy), the
// background copied into the destination and ImageBufAlgo::over applied in
// place per layer over its own area; for W3 ImageBufAlgo::rotate about the
// frame centre with a triangle filter of width 2 (bilinear for a rotation)
// into a frame of scratch, then over onto the background. The thread count
// is ImageBufAlgo's nthreads.
#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/imagebufalgo.h>

#include <cmath>
#include <cstring>

#include "Peers.h"

namespace rgbench {
namespace {

OIIO::ImageSpec Layout(short depth, int32_t x, int32_t y, int32_t width, int32_t height) {
  OIIO::ImageSpec layout(width, height, 4,
                         depth == 32 ? OIIO::TypeDesc::FLOAT : OIIO::TypeDesc::UINT8);
  layout.x = x;
  layout.y = y;
  layout.alpha_channel = 3;
  return layout;
}

std::unique_ptr<OIIO::ImageBuf> Wrap(const PF_World* w) {
  return std::make_unique<OIIO::ImageBuf>(
      Layout(w->depth, w->origin_x, w->origin_y, w->width, w->height), const_cast<void*>(w->data),
      OIIO::AutoStride, static_cast<OIIO::stride_t>(w->rowbytes));
}

class OiioPeer : public Peer {
 public:
  std::string Name() const override { return "OpenImageIO"; }
  std::string Version() const override { return OIIO_VERSION_STRING; }

  bool Prepare(const Workload& w) override {
    w_ = &w;
    layers_.clear();
    for (const WorldPtr& l : w.layers) layers_.push_back(Wrap(l.get()));
    scratch_.reset();
    if (w.kind == Kind::W3Rotate)
      scratch_ =
          std::make_unique<OIIO::ImageBuf>(Layout(w.depth, 0, 0, w.shape.width, w.shape.height));
    return true;
  }

  void SetThreads(int threads) override { threads_ = threads; }

  void RenderInto(void* dest) override {
    const Workload& w = *w_;
    std::memcpy(dest, w.background->data, FrameBytes(w));
    if (w.kind == Kind::W0Background) return;
    OIIO::ImageBuf out(Layout(w.depth, 0, 0, w.shape.width, w.shape.height), dest);
    if (w.kind == Kind::W3Rotate) {
      const float radians = static_cast<float>(kRotationDegrees * M_PI / 180.0);
      OIIO::ImageBufAlgo::rotate(*scratch_, *layers_[0], radians, w.shape.width / 2.0f,
                                 w.shape.height / 2.0f, "triangle", 2.0f, false, {}, threads_);
      OIIO::ImageBufAlgo::over(out, *scratch_, out, {}, threads_);
      return;
    }
    for (const auto& layer : layers_)
      OIIO::ImageBufAlgo::over(out, *layer, out, layer->roi(), threads_);
  }

 private:
  const Workload* w_ = nullptr;
  std::vector<std::unique_ptr<OIIO::ImageBuf>> layers_;
  std::unique_ptr<OIIO::ImageBuf> scratch_;
  int threads_ = 1;
};

}  // namespace

std::unique_ptr<Peer> MakeOiioPeer() { return std::make_unique<OiioPeer>(); }

}  // namespace rgbench
