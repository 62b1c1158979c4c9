// The image files a scene uses, read once per run at the run's bit depth
// into premultiplied host worlds, in the scene's working colour space.
//
// Ownership: the store owns the worlds; image layer nodes view them without
// copying and must not outlive the store.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "ColorPipeline.h"
#include "SceneDesc.h"
#include "rghost/PF_World.h"

struct LoadedImage {
  std::unique_ptr<PF_World> world;  // origin (0, 0)
  bool opaque = false;              // every pixel has full alpha (checked at load)
  uint64_t content_hash = 0;        // of the file's pixels and their conversion, for cache keys
};

class ImageStore {
 public:
  ImageStore();
  ImageStore(const ImageStore&) = delete;
  ImageStore& operator=(const ImageStore&) = delete;
  ~ImageStore();

  // Sets up the scene's colour spaces and reads every image the scene
  // names, converting each once, here. Throws SceneError naming the node's
  // "file" path when a file is missing or unreadable, or the scene key that
  // names a colour space nobody knows.
  void LoadAll(const SceneDesc& scene, short depth);
  // The image node `n` shows (loaded by LoadAll).
  const LoadedImage& Get(const NodeDesc& n) const { return images_.at(KeyOf(n)); }
  // Raw until LoadAll sets up the scene's.
  const ColorPipeline& Colors() const { return *colors_; }

 private:
  // One file read in one colour space.
  static std::string KeyOf(const NodeDesc& n) { return n.file_path.string() + '\n' + n.colorspace; }
  void Load(const SceneDesc& scene, const NodeDesc& node, short depth);

  std::unique_ptr<ColorPipeline> colors_;
  std::map<std::string, LoadedImage> images_;
};
