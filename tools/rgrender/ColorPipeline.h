// The colour spaces of a scene and the conversions between them: the space
// the scene composites in (its working space), the space each image file
// holds, and the space each output file is written in.
//
// A scene composites in linear light unless it says "colorspace": "raw",
// which takes every stored value as it is and converts nothing. Without a
// config the names are OpenImageIO's built-in ones (linear, sRGB, Rec709,
// GammaN); a config named by the scene's "ocio_config" key or the OCIO
// environment variable is read with OpenColorIO, and every name is then the
// config's ("linear" meaning its scene_linear role when it has no space of
// that name).
//
// Conversions take straight (unpremultiplied) RGBA floats and leave alpha
// alone; callers divide premultiplied colour by alpha first.
#pragma once

#include <OpenImageIO/oiioversion.h>

#include <cstddef>
#include <memory>
#include <string>

#include "Pixels.h"
#include "SceneDesc.h"

OIIO_NAMESPACE_BEGIN
class ImageSpec;
OIIO_NAMESPACE_END

class ColorPipeline {
 public:
  // Raw: nothing is converted.
  ColorPipeline();
  // The scene's spaces, checked; SceneError naming the scene key when a
  // config cannot be read or lacks a space the scene names.
  explicit ColorPipeline(const SceneDesc& scene);
  ~ColorPipeline();
  ColorPipeline(const ColorPipeline&) = delete;
  ColorPipeline& operator=(const ColorPipeline&) = delete;

  bool Raw() const { return spaces_ == nullptr; }
  const std::string& Working() const { return working_; }
  // What 8- and 16-bit PNG and TIFF files hold; EXR and float files hold
  // the working space.
  const std::string& Output() const { return output_; }

  // The space the samples of `node`'s file are in: its "colorspace" key,
  // else the file's metadata, else sRGB for integer samples and linear for
  // floating-point ones. Empty when they are taken as stored (a raw scene or
  // node, or samples already in the working space). SceneError, prefixed by
  // `where`, for a name the pipeline does not know.
  std::string ImageSpace(const NodeDesc& node, const OIIO::ImageSpec& file,
                         const std::string& where) const;
  // Converts `count` straight RGBA pixels in place; SceneError when the
  // transform cannot be made.
  void Convert(const std::string& from, const std::string& to, float* rgba, size_t count) const;
  // A straight colour of the scene file, which gives colours as an 8-bit
  // file would show them (the output space), in the working space.
  RGBA SceneColor(RGBA c) const;

 private:
  std::string Find(const std::string& name) const;  // canonical name, "" when unknown

  struct Spaces;
  std::unique_ptr<Spaces> spaces_;  // null when raw
  std::string working_, output_;
};

// The depth a scene renders at for a requested output depth. Linear values
// need more steps than the file's codes: 16 bits hold every 8-bit sRGB code
// apart (its smallest step, near black, is 20 steps of 16-bit linear), and
// float every 16-bit one. A raw scene renders at the requested depth.
short WorkingDepth(const SceneDesc& scene, short requested);
