#include "ImageStore.h"

#include <OpenImageIO/imageio.h>

#include <cstring>
#include <memory>
#include <vector>

#include "Pixels.h"
#include "rghost/U_Errors.h"

ImageStore::ImageStore() : colors_(std::make_unique<ColorPipeline>()) {}
ImageStore::~ImageStore() = default;

void ImageStore::LoadAll(const SceneDesc& scene, short depth) {
  colors_ = std::make_unique<ColorPipeline>(scene);
  for (const NodeDesc& n : scene.nodes)
    if (n.kind == NodeKind::Image) Load(scene, n, depth);
}

void ImageStore::Load(const SceneDesc& scene, const NodeDesc& node, short depth) {
  const std::string key = KeyOf(node);
  if (images_.count(key)) return;
  const std::string errorPrefix =
      scene.file_name + ": " + node.path + "/file: cannot read image '" + node.file + "'";
  // Ask for the file's own samples: a reader that holds colour unassociated
  // leaves it so and marks the image description it returns, and only that
  // colour is multiplied by alpha here. Associated files (EXR always, TIFF when marked
  // so) come premultiplied already.
  OIIO::ImageSpec config;
  config.attribute("oiio:UnassociatedAlpha", 1);
  auto in = OIIO::ImageInput::open(node.file_path.string(), &config);
  if (!in) throw SceneError(errorPrefix + ": " + OIIO::geterror());
  const OIIO::ImageSpec& format = in->spec();
  const bool straight = format.get_int_attribute("oiio:UnassociatedAlpha", 0) != 0;
  const std::string space =
      colors_->ImageSpace(node, format, scene.file_name + ": " + node.path + "/file");
  // Layer positions are kept within +-2^30, so a side up to 2^30 keeps every
  // rect of the layer inside the library's 32-bit coordinates.
  constexpr int kMaxSide = 1 << 30;
  if (format.width <= 0 || format.height <= 0 || format.width > kMaxSide ||
      format.height > kMaxSide || format.nchannels < 1)
    throw SceneError(errorPrefix + ": unsupported image size " + std::to_string(format.width) +
                     " x " + std::to_string(format.height));
  const int channels = format.nchannels;
  const std::string tooLarge = errorPrefix + ": the image is too large to hold (" +
                               std::to_string(format.width) + " x " +
                               std::to_string(format.height) + " pixels)";
  // Rows are read in strips, so the float copies stay small beside the world.
  constexpr int kStripRows = 64;
  size_t stripSamples, stripPixels = static_cast<size_t>(format.width) * kStripRows;
  if (__builtin_mul_overflow(stripPixels, static_cast<size_t>(std::max(channels, 4)),
                             &stripSamples))
    throw SceneError(tooLarge);
  LoadedImage image;
  std::vector<float> samples, rgba;
  try {
    image.world.reset(PF_World::New(M_LRect{0, 0, format.width, format.height}, depth, 0));
    samples.resize(stripSamples);
    rgba.resize(stripPixels * 4);
  } catch (const std::bad_alloc&) {
    throw SceneError(tooLarge);
  } catch (long code) {
    if (code != U_ERR_OUT_OF_MEMORY) throw;
    throw SceneError(tooLarge);
  }

  const int alphaChannel =
      format.alpha_channel >= 0 ? format.alpha_channel : (channels == 4 ? 3 : -1);
  image.opaque = true;
  uint64_t hash = 1469598103934665603ull;  // FNV-1a over the float samples
  for (int top = 0; top < format.height; top += kStripRows) {
    const int rows = std::min(kStripRows, format.height - top);
    const size_t count = static_cast<size_t>(rows) * format.width;
    if (!in->read_scanlines(0, 0, format.y + top, format.y + top + rows, 0, 0, channels,
                            OIIO::TypeDesc::FLOAT, samples.data())) {
      std::string err = in->geterror();
      throw SceneError(errorPrefix + ": " + (err.empty() ? "read failed" : err));
    }
    for (size_t i = 0; i < count; ++i) {
      const float* p = &samples[i * channels];
      float* q = &rgba[i * 4];
      q[0] = p[0];
      q[1] = channels < 3 ? p[0] : p[1];
      q[2] = channels < 3 ? p[0] : p[2];
      q[3] = alphaChannel >= 0 ? std::clamp(p[alphaChannel], 0.f, 1.f) : 1.f;
    }
    for (size_t k = 0; k < count * channels; ++k) {
      uint32_t bits;
      std::memcpy(&bits, &samples[k], sizeof bits);
      hash = (hash ^ bits) * 1099511628211ull;
    }
    bool multiply = straight;
    if (!space.empty()) {
      // Transfer curves apply to colour, not to colour times alpha. Where
      // alpha is 0 premultiplied colour is converted as it stands.
      if (!straight)
        for (size_t i = 0; i < count; ++i)
          if (float a = rgba[i * 4 + 3]; a > 0.f)
            for (int c = 0; c < 3; ++c) rgba[i * 4 + c] /= a;
      colors_->Convert(space, colors_->Working(), rgba.data(), count);
      multiply = true;
    }
    for (int row = 0; row < rows; ++row) {
      for (int x = 0; x < format.width; ++x) {
        const float* q = &rgba[(static_cast<size_t>(row) * format.width + x) * 4];
        RGBA c{q[0], q[1], q[2], q[3]};
        if (multiply && (straight || c.a > 0.f)) {
          c.r *= c.a;
          c.g *= c.a;
          c.b *= c.a;
        }
        WritePixel(image.world.get(), x, top + row, c);
        // Opacity is judged at the world's depth: what consumers will see.
        if (ReadPixel(image.world.get(), x, top + row).a < 1.f) image.opaque = false;
      }
    }
  }
  in->close();
  for (unsigned char ch : space) hash = (hash ^ ch) * 1099511628211ull;
  image.content_hash = hash ^ (static_cast<uint64_t>(format.width) << 32) ^ format.height;
  images_[key] = std::move(image);
}
