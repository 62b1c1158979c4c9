#include "ImageStore.h"

#include <OpenImageIO/imageio.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <vector>

#include "LargeBuffers.h"
#include "Pixels.h"
#include "rghost/U_Errors.h"

namespace {

// Rows are read, converted and kept in bands: small float copies beside the
// world, and a request for a few rows reads one band.
constexpr int32_t kBandRows = 64;
enum BandState : uint8_t { kUnread, kRead, kReadOpaque };

uint64_t Fnv(uint64_t hash, const std::string& text) {
  for (unsigned char c : text) hash = (hash ^ c) * 1099511628211ull;
  return (hash ^ 0xff) * 1099511628211ull;  // ends the field
}

// Asks for the file's own samples: a reader that holds colour unassociated
// leaves it so and marks the image description it returns, and only that
// colour is multiplied by alpha here. Associated files (EXR always, TIFF
// when marked so) come premultiplied already.
std::unique_ptr<OIIO::ImageInput> Open(const std::string& file) {
  OIIO::ImageSpec config;
  config.attribute("oiio:UnassociatedAlpha", 1);
  return OIIO::ImageInput::open(file, &config);
}

}  // namespace

LoadedImage::LoadedImage() = default;
LoadedImage::~LoadedImage() = default;

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
  auto image = std::make_unique<LoadedImage>();
  image->file_ = node.file_path.string();
  image->error_prefix_ =
      scene.file_name + ": " + node.path + "/file: cannot read image '" + node.file + "'";
  image->colors_ = colors_.get();
  const std::string& errorPrefix = image->error_prefix_;
  std::unique_ptr<OIIO::ImageInput> in = Open(image->file_);
  if (!in) throw SceneError(errorPrefix + ": " + OIIO::geterror());
  const OIIO::ImageSpec& format = in->spec();
  image->straight_ = format.get_int_attribute("oiio:UnassociatedAlpha", 0) != 0;
  image->space_ = colors_->ImageSpace(node, format, scene.file_name + ": " + node.path + "/file");
  // Layer positions are kept within +-2^30, so a side up to 2^30 keeps every
  // rect of the layer inside the library's 32-bit coordinates.
  constexpr int kMaxSide = 1 << 30;
  if (format.width <= 0 || format.height <= 0 || format.width > kMaxSide ||
      format.height > kMaxSide || format.nchannels < 1)
    throw SceneError(errorPrefix + ": unsupported image size " + std::to_string(format.width) +
                     " x " + std::to_string(format.height));
  image->channels_ = format.nchannels;
  image->alpha_channel_ =
      format.alpha_channel >= 0 ? format.alpha_channel : (format.nchannels == 4 ? 3 : -1);
  const std::string tooLarge = errorPrefix + ": the image is too large to hold (" +
                               std::to_string(format.width) + " x " +
                               std::to_string(format.height) + " pixels)";
  size_t bandSamples;
  if (__builtin_mul_overflow(static_cast<size_t>(format.width) * kBandRows,
                             static_cast<size_t>(std::max(format.nchannels, 4)), &bandSamples))
    throw SceneError(tooLarge);
  try {
    // Pages of the world are touched only as rows are read, so all of them
    // can still be huge pages.
    image->world_.reset(PF_World::New(M_LRect{0, 0, format.width, format.height}, depth, 0));
    AdviseHugePages(image->world_->data,
                    static_cast<size_t>(image->world_->rowbytes) * image->world_->height);
    image->bands_.assign((format.height + kBandRows - 1) / kBandRows, kUnread);
  } catch (const std::bad_alloc&) {
    throw SceneError(tooLarge);
  } catch (long code) {
    if (code != U_ERR_OUT_OF_MEMORY) throw;
    throw SceneError(tooLarge);
  }
  image->unread_bands_ = static_cast<int32_t>(image->bands_.size());

  // Cache keys tell files apart by what names and dates them, so that no
  // pixel is read for them.
  std::error_code ec;
  const auto size = std::filesystem::file_size(node.file_path, ec);
  const auto time = std::filesystem::last_write_time(node.file_path, ec);
  uint64_t hash = 1469598103934665603ull;
  hash = Fnv(hash, image->file_);
  hash = Fnv(hash,
             std::to_string(ec ? 0 : size) + "," + std::to_string(time.time_since_epoch().count()));
  hash = Fnv(hash, image->space_);
  image->content_hash_ =
      hash ^ (static_cast<uint64_t>(format.width) << 32) ^ static_cast<uint64_t>(format.height);
  images_[key] = std::move(image);
}

bool LoadedImage::Read(const M_LRect& area) const {
  if (M_IsEmpty(area)) return true;
  std::lock_guard<std::mutex> lock(mutex_);
  const int32_t first = area.top / kBandRows, last = (area.bottom - 1) / kBandRows;
  bool opaque = true;
  for (int32_t b = first; b <= last; ++b) {
    if (bands_[b] == kUnread) {
      int32_t end = b + 1;
      while (end <= last && bands_[end] == kUnread) ++end;
      ReadBands(b, end);
    }
    opaque = opaque && bands_[b] == kReadOpaque;
  }
  return opaque;
}

void LoadedImage::ReadBands(int32_t first, int32_t end) const {
  if (!in_) {
    in_ = Open(file_);
    if (!in_) throw SceneError(error_prefix_ + ": " + OIIO::geterror());
  }
  const OIIO::ImageSpec& format = in_->spec();
  const int32_t width = world_->width;
  std::vector<float> samples(static_cast<size_t>(width) * kBandRows * channels_);
  std::vector<float> rgba(static_cast<size_t>(width) * kBandRows * 4);
  for (int32_t band = first; band < end; ++band) {
    const int32_t top = band * kBandRows;
    const int32_t rows = std::min(kBandRows, world_->height - top);
    const size_t count = static_cast<size_t>(rows) * width;
    if (!in_->read_scanlines(0, 0, format.y + top, format.y + top + rows, 0, 0, channels_,
                             OIIO::TypeDesc::FLOAT, samples.data())) {
      std::string err = in_->geterror();
      in_.reset();  // opened afresh by the next request
      throw SceneError(error_prefix_ + ": " + (err.empty() ? "read failed" : err));
    }
    const int c1 = channels_ < 3 ? 0 : 1, c2 = channels_ < 3 ? 0 : 2;
    for (size_t i = 0; i < count; ++i) {
      const float* p = &samples[i * channels_];
      float* q = &rgba[i * 4];
      q[0] = p[0];
      q[1] = p[c1];
      q[2] = p[c2];
      q[3] = alpha_channel_ >= 0 ? std::clamp(p[alpha_channel_], 0.f, 1.f) : 1.f;
    }
    bool multiply = straight_;
    if (!space_.empty()) {
      // Transfer curves apply to colour, not to colour times alpha. Where
      // alpha is 0 premultiplied colour is converted as it stands.
      if (!straight_)
        for (size_t i = 0; i < count; ++i)
          if (float a = rgba[i * 4 + 3]; a > 0.f)
            for (int c = 0; c < 3; ++c) rgba[i * 4 + c] /= a;
      colors_->Convert(space_, colors_->Working(), rgba.data(), count);
      multiply = true;
    }
    if (multiply)
      for (size_t i = 0; i < count; ++i) {
        float* q = &rgba[i * 4];
        if (straight_ || q[3] > 0.f)
          for (int c = 0; c < 3; ++c) q[c] *= q[3];
      }
    bool opaque = true;
    for (int32_t row = 0; row < rows; ++row)
      opaque =
          WriteRow(world_.get(), top + row, &rgba[static_cast<size_t>(row) * width * 4]) && opaque;
    bands_[band] = opaque ? kReadOpaque : kRead;
    --unread_bands_;
  }
  if (unread_bands_ == 0) in_.reset();  // every row is kept: the file is done with
}
