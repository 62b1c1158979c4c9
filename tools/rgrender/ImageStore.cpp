#include "ImageStore.h"

#include <vector>

#include <OpenImageIO/imageio.h>

#include "Pixels.h"

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
  // Straight alpha from the file; this code premultiplies, so the result does
  // not depend on the reader's own conversion.
  OIIO::ImageSpec config;
  config.attribute("oiio:UnassociatedAlpha", 1);
  auto in = OIIO::ImageInput::open(file.string(), &config);
  if (!in) throw SceneError(errorPrefix + ": " + OIIO::geterror());
  const OIIO::ImageSpec format = in->spec_dimensions(0);  // size, channels, alpha
  if (format.width <= 0 || format.height <= 0 || format.width > 32767 || format.height > 32767 ||
      format.nchannels < 1)
    throw SceneError(errorPrefix + ": unsupported image size");
  const int channels = format.nchannels;
  std::vector<float> pixels(static_cast<size_t>(format.width) * format.height * channels);
  if (!in->read_image(0, 0, 0, channels, OIIO::TypeDesc::FLOAT, pixels.data())) {
    std::string err = in->geterror();
    throw SceneError(errorPrefix + ": " + (err.empty() ? "read failed" : err));
  }
  in->close();

  const int alphaChannel = format.alpha_channel >= 0 ? format.alpha_channel : (channels == 4 ? 3 : -1);
  LoadedImage image;
  image.world = PF_World::New(M_LRect{0, 0, format.width, format.height}, depth, 0);
  image.opaque = true;
  uint64_t hash = 1469598103934665603ull;  // FNV-1a over the float samples
  for (int y = 0; y < format.height; ++y) {
    for (int x = 0; x < format.width; ++x) {
      const float* p = &pixels[(static_cast<size_t>(y) * format.width + x) * channels];
      const float a = alphaChannel >= 0 ? std::clamp(p[alphaChannel], 0.f, 1.f) : 1.f;
      RGBA c;
      if (channels < 3) {
        c.r = c.g = c.b = p[0];
      } else {
        c.r = p[0];
        c.g = p[1];
        c.b = p[2];
      }
      c = RGBA{c.r * a, c.g * a, c.b * a, a};
      WritePixel(image.world, x, y, c);
      // Opacity is judged at the world's depth: what consumers will see.
      if (ReadPixel(image.world, x, y).a < 1.f) image.opaque = false;
      for (int k = 0; k < channels; ++k) {
        uint32_t bits;
        std::memcpy(&bits, &p[k], sizeof bits);
        hash = (hash ^ bits) * 1099511628211ull;
      }
    }
  }
  image.content_hash = hash ^ (static_cast<uint64_t>(format.width) << 32) ^ format.height;
  images_[key] = image;
}
