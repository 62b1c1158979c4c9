// The image files a scene uses, read once per run at the run's bit depth
// into premultiplied host worlds.
//
// Ownership: the store owns the worlds; image layer nodes view them without
// copying and must not outlive the store.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "SceneDesc.h"
#include "rghost/PF_World.h"

struct LoadedImage {
  PF_World* world = nullptr;  // owned by the store; origin (0, 0)
  bool opaque = false;        // every pixel has full alpha (checked at load)
  uint64_t content_hash = 0;  // of the file's pixels, for cache keys
};

class ImageStore {
 public:
  ImageStore() = default;
  ImageStore(const ImageStore&) = delete;
  ImageStore& operator=(const ImageStore&) = delete;
  ~ImageStore();

  // Reads every image the scene names; throws SceneError naming the node's
  // "file" path when a file is missing or unreadable.
  void LoadAll(const SceneDesc& scene, short depth);
  // Reads one file (exposed for tests).
  void Load(const std::string& key, const std::filesystem::path& file, short depth,
            const std::string& errorPrefix);
  const LoadedImage& Get(const std::string& key) const { return images_.at(key); }

 private:
  std::map<std::string, LoadedImage> images_;  // keyed by resolved path
};
