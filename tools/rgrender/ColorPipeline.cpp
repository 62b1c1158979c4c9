#include "ColorPipeline.h"

#include <OpenColorIO/OpenColorIO.h>
#include <OpenImageIO/color.h>
#include <OpenImageIO/imageio.h>
#include <OpenImageIO/strutil.h>

#include <algorithm>
#include <cstdlib>

namespace OCIO = OCIO_NAMESPACE;

namespace {

// Transforms take an int width: pixels go through in runs of this many.
constexpr size_t kRun = size_t{1} << 24;

bool Is(const std::string& name, const char* what) { return OIIO::Strutil::iequals(name, what); }

}  // namespace

struct ColorPipeline::Spaces {
  std::unique_ptr<OIIO::ColorConfig> builtin;  // when no config is named
  OCIO::ConstConfigRcPtr config;               // when one is
  std::string source;                          // where the config came from, for messages
};

ColorPipeline::ColorPipeline() = default;
ColorPipeline::~ColorPipeline() = default;

ColorPipeline::ColorPipeline(const SceneDesc& scene) {
  if (scene.color.working == "raw") return;
  spaces_ = std::make_unique<Spaces>();
  std::string file = scene.color.ocio_config.string();
  spaces_->source = scene.file_name + ": /ocio_config";
  if (file.empty()) {
    const char* env = std::getenv("OCIO");
    if (env != nullptr) file = env;
    spaces_->source = scene.file_name + ": the OCIO environment variable";
  }
  if (file.empty()) {
    // With OCIO unset this is OpenImageIO's built-in set of spaces.
    spaces_->builtin = std::make_unique<OIIO::ColorConfig>();
    spaces_->builtin->geterror();  // "no config file", which is the point
  } else {
    try {
      spaces_->config = OCIO::Config::CreateFromFile(file.c_str());
      spaces_->config->validate();
    } catch (const OCIO::Exception& e) {
      throw SceneError(spaces_->source + ": cannot use the OCIO config '" + file +
                       "': " + e.what());
    }
    spaces_->source += " ('" + file + "')";
  }
  const auto find = [&](const std::string& name, const char* key) {
    std::string found = Find(name);
    if (found.empty())
      throw SceneError(scene.file_name + ": /" + key + ": unknown colour space '" + name + "'" +
                       (spaces_->config ? " in the config of " + spaces_->source : ""));
    return found;
  };
  working_ = find(scene.color.working, "colorspace");
  output_ = find(scene.color.output, "output_colorspace");
  // Both ways are needed (scene colours in, files out): fail now, not mid-run.
  float probe[4] = {0.5f, 0.5f, 0.5f, 1.f};
  Convert(output_, working_, probe, 1);
  Convert(working_, output_, probe, 1);
}

std::string ColorPipeline::Find(const std::string& name) const {
  if (spaces_->config) {
    // Names, aliases and roles alike; "linear" falls back to the role.
    OCIO::ConstColorSpaceRcPtr space = spaces_->config->getColorSpace(name.c_str());
    if (!space && Is(name, "linear"))
      space = spaces_->config->getColorSpace(OCIO::ROLE_SCENE_LINEAR);
    return space ? space->getName() : std::string();
  }
  if (Is(name, "linear")) return "linear";
  if (Is(name, "srgb")) return "sRGB";
  return spaces_->builtin->createColorProcessor(name, "linear") ? name : std::string();
}

std::string ColorPipeline::ImageSpace(const NodeDesc& node, const OIIO::ImageSpec& file,
                                      const std::string& where) const {
  if (Raw() || node.colorspace == "raw") return {};
  std::string name = node.colorspace;
  std::string said = "\"colorspace\" names";
  if (name.empty()) {
    name = file.get_string_attribute("oiio:ColorSpace");
    said = "the file's metadata names";
  }
  if (name.empty()) {
    name = file.format.is_floating_point() ? "linear" : "sRGB";
    said = "files without colour metadata are taken as";
  }
  const std::string found = Find(name);
  if (found.empty())
    throw SceneError(where + ": " + said + " colour space '" + name + "', which is unknown" +
                     (spaces_->config ? " to the config of " + spaces_->source : "") +
                     " (name the file's space with the node's \"colorspace\" key)");
  return found == working_ ? std::string() : found;
}

void ColorPipeline::Convert(const std::string& from, const std::string& to, float* rgba,
                            size_t count) const {
  if (Raw() || from == to || count == 0) return;
  const std::string failed = "cannot convert colour space '" + from + "' to '" + to + "'";
  if (spaces_->config) {
    try {
      OCIO::ConstCPUProcessorRcPtr cpu =
          spaces_->config->getProcessor(from.c_str(), to.c_str())->getDefaultCPUProcessor();
      for (size_t done = 0; done < count; done += kRun) {
        OCIO::PackedImageDesc run(rgba + done * 4, static_cast<long>(std::min(kRun, count - done)),
                                  1, 4);
        cpu->apply(run);
      }
    } catch (const OCIO::Exception& e) {
      throw SceneError(failed + ": " + e.what());
    }
    return;
  }
  OIIO::ColorProcessorHandle processor = spaces_->builtin->createColorProcessor(from, to);
  if (!processor) throw SceneError(failed + ": " + spaces_->builtin->geterror());
  constexpr OIIO::stride_t kPixel = 4 * sizeof(float);
  for (size_t done = 0; done < count; done += kRun)
    processor->apply(rgba + done * 4, static_cast<int>(std::min(kRun, count - done)), 1, 4,
                     sizeof(float), kPixel, OIIO::AutoStride);
}

RGBA ColorPipeline::SceneColor(RGBA c) const {
  float v[4] = {c.r, c.g, c.b, c.a};
  Convert(output_, working_, v, 1);
  return RGBA{v[0], v[1], v[2], c.a};
}

short WorkingDepth(const SceneDesc& scene, short requested) {
  if (scene.color.working == "raw") return requested;
  return requested == 8 ? short{16} : short{32};
}
