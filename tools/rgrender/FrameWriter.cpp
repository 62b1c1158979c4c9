#include "FrameWriter.h"

#include <OpenImageIO/imageio.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <vector>

#include "ColorPipeline.h"
#include "SceneDesc.h"
#include "rghost/PF_World.h"

namespace fs = std::filesystem;

void FrameImage::CopyFrom(const PF_World* world, int32_t field) {
  const M_LRect r = M_Intersect(world->GetRect(), rect);
  if (M_IsEmpty(r)) return;
  for (int32_t y = r.top; y < r.bottom; ++y)
    if (RowInField(y, field))
      ReadRow(world, r.left - world->origin_x, y - world->origin_y, r.right - r.left,
              &pixels[static_cast<size_t>(y - rect.top) * width + (r.left - rect.left)]);
}

FileFormat FormatForPath(const fs::path& path) {
  std::string ext = path.extension().string();
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (ext == ".png") return FileFormat::Png;
  if (ext == ".exr") return FileFormat::Exr;
  if (ext == ".tif" || ext == ".tiff") return FileFormat::Tiff;
  throw SceneError(path.string() + ": unknown image format '" + ext +
                   "' (use .png, .exr, .tif or .tiff)");
}

void CheckDepthForFormat(FileFormat format, int depth, const fs::path& path) {
  if (format == FileFormat::Png && depth == 32)
    throw SceneError(path.string() + ": PNG holds 8 or 16 bits; use .exr or .tif for --depth 32");
}

void CheckWritableTarget(const fs::path& path, const std::string& what) {
  const fs::path dir = path.parent_path().empty() ? fs::path(".") : path.parent_path();
  std::error_code ec;
  if (!fs::is_directory(dir, ec))
    throw SceneError(path.string() + ": cannot write " + what + ": no such directory '" +
                     dir.string() + "'");
  if (::access(dir.c_str(), W_OK) != 0)
    throw SceneError(path.string() + ": cannot write " + what + ": directory not writable");
  if (fs::is_directory(path, ec))
    throw SceneError(path.string() + ": cannot write " + what + ": it is a directory");
  if (fs::exists(path, ec) && ::access(path.c_str(), W_OK) != 0)
    throw SceneError(path.string() + ": cannot write " + what + ": file not writable");
}

std::string FramePath(const std::string& pattern, int32_t frame) {
  const size_t end = pattern.find_last_of('#');
  if (end == std::string::npos) return pattern;
  size_t begin = end;
  while (begin > 0 && pattern[begin - 1] == '#') --begin;
  std::string number = std::to_string(frame);
  const size_t width = end - begin + 1;
  if (number.size() < width) number.insert(0, width - number.size(), '0');
  return pattern.substr(0, begin) + number + pattern.substr(end + 1);
}

namespace {

std::string HostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return "host";
  return name;
}

// Removes the temporary file unless it was renamed into place.
class TempFile {
 public:
  // Host and process in the name: on a shared folder two machines may write
  // the same frame at once, and neither may rename the other's half file.
  explicit TempFile(fs::path target)
      : path_(target.parent_path() / ("." + target.filename().string() + ".part-" + HostName() +
                                      "-" + std::to_string(::getpid()))) {}
  ~TempFile() {
    std::error_code ec;
    if (!committed_) fs::remove(path_, ec);
  }
  const fs::path& Path() const { return path_; }
  void Commit(const fs::path& target) {
    std::error_code ec;
    fs::rename(path_, target, ec);
    if (ec) throw SceneError(target.string() + ": cannot write: " + ec.message());
    committed_ = true;
  }

 private:
  fs::path path_;
  bool committed_ = false;
};

const char* FormatName(FileFormat f) {
  switch (f) {
    case FileFormat::Png:
      return "png";
    case FileFormat::Exr:
      return "openexr";
    default:
      return "tiff";
  }
}

}  // namespace

bool WriteImageFile(const FrameImage& image, const fs::path& path, int depth, bool (*keep)(),
                    const ColorPipeline* colors) {
  const FileFormat format = FormatForPath(path);
  CheckDepthForFormat(format, depth, path);
  const bool straight = format != FileFormat::Exr;
  if (colors != nullptr && colors->Raw()) colors = nullptr;
  const std::string space = colors == nullptr                          ? std::string()
                            : format == FileFormat::Exr || depth == 32 ? colors->Working()
                                                                       : colors->Output();
  OIIO::TypeDesc type = depth == 8    ? OIIO::TypeDesc::UINT8
                        : depth == 16 ? OIIO::TypeDesc::UINT16
                                      : OIIO::TypeDesc::FLOAT;
  if (format == FileFormat::Exr) type = depth == 32 ? OIIO::TypeDesc::FLOAT : OIIO::TypeDesc::HALF;
  OIIO::ImageSpec layout(image.width, image.height, 4, type);
  layout.alpha_channel = 3;
  if (straight) layout.attribute("oiio:UnassociatedAlpha", 1);
  if (!space.empty()) layout.attribute("oiio:ColorSpace", space);

  TempFile temp(path);
  auto out = OIIO::ImageOutput::create(FormatName(format));
  if (!out) throw SceneError(path.string() + ": cannot write: " + OIIO::geterror());
  if (!out->open(temp.Path().string(), layout))
    throw SceneError(path.string() + ": cannot write: " + out->geterror());

  // A band of rows at a time, so that a large frame needs no second copy of
  // itself: samples in file order, straight alpha where the format wants it.
  constexpr int32_t kBandRows = 64;
  const size_t bandSamples =
      static_cast<size_t>(image.width) * std::min(kBandRows, image.height) * 4;
  std::vector<float> samples(bandSamples);
  std::vector<uint8_t> codes8(depth == 8 && format != FileFormat::Exr ? bandSamples : 0);
  std::vector<uint16_t> codes16(depth == 16 && format != FileFormat::Exr ? bandSamples : 0);
  const bool clampTo01 = depth != 32;
  const uint32_t steps = depth == 8 ? 255 : 65535;
  for (int32_t top = 0; top < image.height; top += kBandRows) {
    const int32_t rows = std::min(kBandRows, image.height - top);
    const size_t pixels = static_cast<size_t>(rows) * image.width;
    const RGBA* in = &image.pixels[static_cast<size_t>(top) * image.width];
    for (size_t i = 0; i < pixels; ++i) {
      RGBA p = in[i];
      if (straight) {
        if (p.a > 0) {
          p.r /= p.a;
          p.g /= p.a;
          p.b /= p.a;
        } else {
          p = RGBA{};
        }
      }
      float* s = &samples[i * 4];
      s[0] = p.r;
      s[1] = p.g;
      s[2] = p.b;
      s[3] = p.a;
    }
    // Straight colour, before clamping: the transfer curve is defined on it.
    if (colors != nullptr) colors->Convert(colors->Working(), space, samples.data(), pixels);
    const size_t count = pixels * 4;
    if (clampTo01)
      for (size_t i = 0; i < count; ++i) samples[i] = std::clamp(samples[i], 0.f, 1.f);
    // Quantise here (not in the writer) so files match the renderer's own
    // rounding exactly. Integer files get the codes themselves, which leaves
    // the writer nothing to convert.
    const void* data = samples.data();
    OIIO::TypeDesc given = OIIO::TypeDesc::FLOAT;
    if (!codes8.empty()) {
      for (size_t i = 0; i < count; ++i)
        codes8[i] = static_cast<uint8_t>(QuantizeChannel(samples[i], steps));
      data = codes8.data();
      given = OIIO::TypeDesc::UINT8;
    } else if (!codes16.empty()) {
      for (size_t i = 0; i < count; ++i)
        codes16[i] = static_cast<uint16_t>(QuantizeChannel(samples[i], steps));
      data = codes16.data();
      given = OIIO::TypeDesc::UINT16;
    } else if (depth != 32) {  // 8 or 16 bits written as half floats
      const auto max = static_cast<float>(steps);
      for (size_t i = 0; i < count; ++i)
        samples[i] = static_cast<float>(QuantizeChannel(samples[i], steps)) / max;
    }
    if (!out->write_scanlines(top, top + rows, 0, given, data))
      throw SceneError(path.string() + ": cannot write: " + out->geterror());
  }
  if (!out->close()) throw SceneError(path.string() + ": cannot write: " + out->geterror());
  out.reset();
  if (keep != nullptr && !keep()) return false;
  temp.Commit(path);
  return true;
}

void WriteTextFile(const fs::path& path, const std::string& text) {
  TempFile temp(path);
  {
    std::ofstream f(temp.Path(), std::ios::binary);
    f << text;
    f.close();
    if (!f) throw SceneError(path.string() + ": cannot write");
  }
  temp.Commit(path);
}
