// libvips (C++ API): images over the workload's buffers made with
// new_from_memory (no copy), one composite of every layer (OVER, x/y
// offsets, premultiplied), or affine with the bilinear interpolator and
// composite2 for W3, written into an image over the caller's memory. The
// operation cache is off; the thread count is vips_concurrency_set.
#include <cstdio>
#include <cstdlib>
#include <vector>
#include <vips/vips8>

#include "Peers.h"

using vips::VImage;

namespace rgbench {
namespace {

// libvips composites float pixels with 255 as full alpha (its sRGB scale),
// so its float inputs are the library's scaled by 255 (copies made once in
// Prepare) and its float output is compared divided by 255.
constexpr float kVipsFloatScale = 255.0f;

VipsBandFormat VipsFormat(short depth) {
  return depth == 32 ? VIPS_FORMAT_FLOAT : VIPS_FORMAT_UCHAR;
}

class VipsPeer : public Peer {
 public:
  VipsPeer() {
    if (VIPS_INIT("rg_compare")) vips_error_exit(nullptr);
    vips_cache_set_max(0);
  }
  ~VipsPeer() override {
    pipeline_ = VImage();
    vips_shutdown();
  }

  std::string Name() const override { return "libvips"; }
  std::string Version() const override { return vips_version_string(); }
  float FloatScale() const override { return kVipsFloatScale; }

  bool Prepare(const Workload& w) override {
    w_ = &w;
    pipeline_ = VImage();
    scaled_.clear();
    pipeline_ = Pipeline(w);
    return true;
  }

  void SetThreads(int threads) override { vips_concurrency_set(threads); }

  void RenderInto(void* dest) override {
    VImage out = VImage::new_from_memory(dest, FrameBytes(*w_), w_->shape.width, w_->shape.height,
                                         4, VipsFormat(w_->depth));
    pipeline_.write(out);
  }

 private:
  const PF_World* Scaled(const PF_World* w) {
    if (w->depth != 32) return w;
    WorldPtr copy(PF_World::New(w->GetRect(), 32, 0));
    for (int32_t y = 0; y < w->height; ++y) {
      const float* s = static_cast<const float*>(w->PixelAddress(0, y));
      float* d = static_cast<float*>(copy->PixelAddress(0, y));
      for (int32_t i = 0; i < w->width * 4; ++i) d[i] = s[i] * kVipsFloatScale;
    }
    scaled_.push_back(std::move(copy));
    return scaled_.back().get();
  }

  VImage Wrap(const PF_World* original) {
    const PF_World* w = Scaled(original);
    const size_t bpp = PF_BytesPerPixel(w->depth);
    if (w->rowbytes != static_cast<long>(w->width * bpp)) {
      std::fprintf(stderr, "rg_compare: world rows are padded; libvips needs packed rows\n");
      std::exit(1);
    }
    VImage img = VImage::new_from_memory(w->data, static_cast<size_t>(w->rowbytes) * w->height,
                                         w->width, w->height, 4, VipsFormat(w->depth));
    return img.copy(VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB));
  }

  VImage Pipeline(const Workload& w) {
    VImage bg = Wrap(w.background.get());
    if (w.kind == Kind::W0Background) return bg;
    const int space = VIPS_INTERPRETATION_sRGB;
    if (w.kind == Kind::W3Rotate) {
      const M_Matrix3& m = w.matrix;
      // The host's matrix takes rows (x, y, 1); libvips' affine takes
      // columns. libvips maps pixel indices, the library pixel centres, hence
      // the half-pixel terms.
      const double a = m[0], b = m[3], c = m[1], d = m[4];
      std::vector<int> area{0, 0, w.shape.width, w.shape.height};
      VImage rotated =
          Wrap(w.layers[0].get())
              .affine({a, b, c, d},
                      VImage::option()
                          ->set("interpolate", vips::VInterpolate::new_from_name("bilinear"))
                          ->set("odx", m[6] + 0.5 * (a + b) - 0.5)
                          ->set("ody", m[7] + 0.5 * (c + d) - 0.5)
                          ->set("oarea", area)
                          ->set("premultiplied", true));
      return bg.composite2(
          rotated, VIPS_BLEND_MODE_OVER,
          VImage::option()->set("premultiplied", true)->set("compositing_space", space));
    }
    std::vector<VImage> in{bg};
    std::vector<int> modes, xs, ys;
    for (const WorldPtr& layer : w.layers) {
      in.push_back(Wrap(layer.get()));
      modes.push_back(VIPS_BLEND_MODE_OVER);
      xs.push_back(layer->origin_x);
      ys.push_back(layer->origin_y);
    }
    return VImage::composite(in, modes,
                             VImage::option()
                                 ->set("x", xs)
                                 ->set("y", ys)
                                 ->set("premultiplied", true)
                                 ->set("compositing_space", space));
  }

  const Workload* w_ = nullptr;
  std::vector<WorldPtr> scaled_;  // outlive the pipeline that reads them
  VImage pipeline_;
};

}  // namespace

std::unique_ptr<Peer> MakeVipsPeer() { return std::make_unique<VipsPeer>(); }

}  // namespace rgbench
