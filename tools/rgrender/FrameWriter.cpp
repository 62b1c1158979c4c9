#include "FrameWriter.h"

#include <OpenImageIO/imageio.h>
#include <unistd.h>

#include <fstream>
#include <type_traits>

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

  // Samples in file order, straight alpha where the format wants it.
  std::vector<float> samples(static_cast<size_t>(image.width) * image.height * 4);
  const bool clampTo01 = depth != 32;
  for (size_t i = 0; i < image.pixels.size(); ++i) {
    RGBA p = image.pixels[i];
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
  if (colors != nullptr)
    colors->Convert(colors->Working(), space, samples.data(), image.pixels.size());
  if (clampTo01)
    for (float& s : samples) s = std::clamp(s, 0.f, 1.f);
  // Quantise here (not in the writer) so files match the renderer's own
  // rounding exactly. Integer files get the codes themselves, which leaves
  // the writer nothing to convert.
  const void* data = samples.data();
  OIIO::TypeDesc given = OIIO::TypeDesc::FLOAT;
  std::vector<uint8_t> codes8;
  std::vector<uint16_t> codes16;
  const auto quantize = [&](auto& codes, uint32_t steps) {
    codes.resize(samples.size());
    for (size_t i = 0; i < samples.size(); ++i)
      codes[i] = static_cast<typename std::decay_t<decltype(codes)>::value_type>(
          QuantizeChannel(samples[i], steps));
    data = codes.data();
  };
  if ((depth == 8 || depth == 16) && format == FileFormat::Exr) {
    const uint32_t steps = depth == 8 ? 255 : 65535;
    const auto max = static_cast<float>(steps);
    for (float& s : samples) s = static_cast<float>(QuantizeChannel(s, steps)) / max;
  } else if (depth == 8) {
    quantize(codes8, 255);
    given = OIIO::TypeDesc::UINT8;
  } else if (depth == 16) {
    quantize(codes16, 65535);
    given = OIIO::TypeDesc::UINT16;
  }

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
  if (!out->write_image(given, data) || !out->close())
    throw SceneError(path.string() + ": cannot write: " + out->geterror());
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
