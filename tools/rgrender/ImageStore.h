// The image files a scene uses, as premultiplied host worlds at the run's
// bit depth in the scene's working colour space. Each file is opened when
// the scene loads (its size, channels and colour space are checked then),
// and its rows are read when a render first asks for them: read, converted
// once and kept, so a render of a corner decodes little beyond the rows it
// shows, and later frames read nothing.
//
// Ownership: the store owns the images and their worlds; image layer nodes
// borrow them and must not outlive the store. An image's rows are read
// under its own lock, so renders on several threads may share a store.
#pragma once

#include <OpenImageIO/oiioversion.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ColorPipeline.h"
#include "SceneDesc.h"
#include "rghost/PF_World.h"

OIIO_NAMESPACE_BEGIN
class ImageInput;
OIIO_NAMESPACE_END

class LoadedImage {
 public:
  LoadedImage();
  ~LoadedImage();
  LoadedImage(const LoadedImage&) = delete;
  LoadedImage& operator=(const LoadedImage&) = delete;

  // The whole image, origin (0, 0); only rows that Read made ready hold pixels.
  PF_World* World() const { return world_.get(); }
  // Of the file (path, size, time) and its conversion, for cache keys.
  uint64_t ContentHash() const { return content_hash_; }
  // Makes the rows of `area` (image coordinates, within the image) ready,
  // reading those not read yet; true when every pixel of those rows has
  // full alpha at the world's depth. SceneError when the file fails.
  bool Read(const M_LRect& area) const;

 private:
  friend class ImageStore;
  void ReadBands(int32_t first, int32_t end) const;  // with mutex_ held

  std::unique_ptr<PF_World> world_;
  uint64_t content_hash_ = 0;
  std::string file_, space_, error_prefix_;
  const ColorPipeline* colors_ = nullptr;  // the store's
  int32_t channels_ = 0, alpha_channel_ = -1;
  bool straight_ = false;

  mutable std::mutex mutex_;
  mutable std::unique_ptr<OIIO::ImageInput> in_;  // open while rows remain unread
  mutable std::vector<uint8_t> bands_;            // per band of rows: BandState
  mutable int32_t unread_bands_ = 0;
};

class ImageStore {
 public:
  ImageStore();
  ImageStore(const ImageStore&) = delete;
  ImageStore& operator=(const ImageStore&) = delete;
  ~ImageStore();

  // Sets up the scene's colour spaces and opens every image the scene
  // names. Throws SceneError naming the node's "file" path when a file is
  // missing or unreadable, or the scene key that names a colour space
  // nobody knows.
  void LoadAll(const SceneDesc& scene, short depth);
  // The image node `n` shows (loaded by LoadAll).
  const LoadedImage& Get(const NodeDesc& n) const { return *images_.at(KeyOf(n)); }
  // Raw until LoadAll sets up the scene's.
  const ColorPipeline& Colors() const { return *colors_; }

 private:
  // One file read in one colour space.
  static std::string KeyOf(const NodeDesc& n) { return n.file_path.string() + '\n' + n.colorspace; }
  void Load(const SceneDesc& scene, const NodeDesc& node, short depth);

  std::unique_ptr<ColorPipeline> colors_;
  std::map<std::string, std::unique_ptr<LoadedImage>> images_;
};
