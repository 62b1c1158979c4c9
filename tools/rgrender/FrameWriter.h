// A rendered frame as the program holds it (premultiplied float RGBA) and
// its writing to image files through OpenImageIO.
//
// Files are written under a temporary name beside the target and renamed
// into place only when complete, so a failure or an abort never leaves a
// partial file. PNG and TIFF get straight (un-premultiplied) alpha, the
// usual convention of those formats; EXR keeps premultiplied colour.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "LargeBuffers.h"
#include "Pixels.h"

class ColorPipeline;
class PF_World;

struct FrameImage {
  FrameImage(int32_t w, int32_t h, const M_LRect& where)
      : width(w), height(h), rect(where), pixels(static_cast<size_t>(w) * h) {}
  int32_t width, height;
  M_LRect rect;  // the render-space area the image shows
  // Premultiplied, row by row; transparent where nothing rendered.
  std::vector<RGBA, LargeBufferAllocator<RGBA>> pixels;

  // Copies the rows of `field` (every row for 0) of the world where it
  // overlaps the image.
  void CopyFrom(const PF_World* world, int32_t field);
  RGBA At(int32_t x, int32_t y) const { return pixels[static_cast<size_t>(y) * width + x]; }
};

enum class FileFormat { Png, Exr, Tiff };

// The format named by the path's extension; SceneError for any other.
FileFormat FormatForPath(const std::filesystem::path& path);
// Throws SceneError unless `depth` can be written in `format`.
void CheckDepthForFormat(FileFormat format, int depth, const std::filesystem::path& path);
// Throws SceneError unless a file can be created at `path`.
void CheckWritableTarget(const std::filesystem::path& path, const std::string& what);
// Replaces the last run of '#' in `pattern` with the frame number padded to
// the run's length; the pattern itself when it has none.
std::string FramePath(const std::string& pattern, int32_t frame);

// Writes atomically (temporary name, then rename). `keep` is asked once the
// temporary file is complete; when it says no the file is removed and the
// call returns false. Throws SceneError when the file cannot be written.
// `colors` (borrowed; null writes the values as they are) converts from the
// working space into the space the format holds: its output space for 8-
// and 16-bit PNG and TIFF, the working space itself for EXR and float.
bool WriteImageFile(const FrameImage& image, const std::filesystem::path& path, int depth,
                    bool (*keep)(), const ColorPipeline* colors = nullptr);
// Writes text atomically; throws SceneError on failure.
void WriteTextFile(const std::filesystem::path& path, const std::string& text);
