#include "ImageStore.h"

#include <OpenImageIO/imageio.h>

#include <cstring>
#include <memory>
#include <vector>

#include "Pixels.h"
#include "rghost/U_Errors.h"

ImageStore::~ImageStore() {
  for (auto& [key, image] : images_) delete image.world;
}

void ImageStore::LoadAll(const SceneDesc& scene, short depth) {
  for (const NodeDesc& n : scene.nodes) {
    if (n.kind != NodeKind::Image) continue;
    Load(n.file_path.string(), n.file_path, depth,
         scene.file_name + ": " + n.path + "/file: cannot read image '" + n.file + "'");
  }
}

void ImageStore::Load(const std::string& key, const std::filesystem::path& file, short depth,
                      const std::string& errorPrefix) {
  if (images_.count(key)) return;
  // Ask for the file's own samples: a reader that holds colour unassociated
  // leaves it so and marks the image description it returns, and only that
  // colour is multiplied by alpha here. Associated files (EXR always, TIFF when marked
  // so) come premultiplied already.
  OIIO::ImageSpec config;
  config.attribute("oiio:UnassociatedAlpha", 1);
  auto in = OIIO::ImageInput::open(file.string(), &config);
  if (!in) throw SceneError(errorPrefix + ": " + OIIO::geterror());
  const OIIO::ImageSpec& format = in->spec();
  const bool straight = format.get_int_attribute("oiio:UnassociatedAlpha", 0) != 0;
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
  // Rows are read in strips, so the float copy stays small beside the world.
  constexpr int kStripRows = 64;
  size_t stripSamples;
  if (__builtin_mul_overflow(static_cast<size_t>(format.width) * kStripRows,
                             static_cast<size_t>(channels), &stripSamples))
    throw SceneError(tooLarge);
  LoadedImage image;
  std::unique_ptr<PF_World> world;
  std::vector<float> pixels;
  try {
    world.reset(PF_World::New(M_LRect{0, 0, format.width, format.height}, depth, 0));
    pixels.resize(stripSamples);
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
    if (!in->read_scanlines(0, 0, format.y + top, format.y + top + rows, 0, 0, channels,
                            OIIO::TypeDesc::FLOAT, pixels.data())) {
      std::string err = in->geterror();
      throw SceneError(errorPrefix + ": " + (err.empty() ? "read failed" : err));
    }
    for (int row = 0; row < rows; ++row) {
      const int y = top + row;
      for (int x = 0; x < format.width; ++x) {
        const float* p = &pixels[(static_cast<size_t>(row) * format.width + x) * channels];
        const float a = alphaChannel >= 0 ? std::clamp(p[alphaChannel], 0.f, 1.f) : 1.f;
        RGBA c;
        if (channels < 3) {
          c.r = c.g = c.b = p[0];
        } else {
          c.r = p[0];
          c.g = p[1];
          c.b = p[2];
        }
        c.a = a;
        if (straight) {
          c.r *= a;
          c.g *= a;
          c.b *= a;
        }
        WritePixel(world.get(), x, y, c);
        // Opacity is judged at the world's depth: what consumers will see.
        if (ReadPixel(world.get(), x, y).a < 1.f) image.opaque = false;
        for (int k = 0; k < channels; ++k) {
          uint32_t bits;
          std::memcpy(&bits, &p[k], sizeof bits);
          hash = (hash ^ bits) * 1099511628211ull;
        }
      }
    }
  }
  in->close();
  image.content_hash = hash ^ (static_cast<uint64_t>(format.width) << 32) ^ format.height;
  image.world = world.get();
  images_[key] = image;
  world.release();
}
