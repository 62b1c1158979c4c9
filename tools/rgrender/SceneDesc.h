// The parsed, validated description of a scene: what the JSON file says,
// with references checked and enumerations resolved. Graphs are built from
// it per frame (SceneGraph).
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "AnimValue.h"
#include "rghost/M_Geometry.h"

// A user-facing problem with the scene, the command line or an input file.
// The message is one line; the program prints it and exits with code 2.
class SceneError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class NodeKind {
  Image,
  Solid,
  Gradient,
  Checkerboard,
  Composite,
  Transform,
  Cache,
  Null,
  Blur,
  Levels
};

struct NodeDesc {
  std::string id;
  NodeKind kind = NodeKind::Null;
  std::string path;  // JSON pointer of the node object, for messages

  // Inputs by id ("" when absent). One-input kinds use `source` for "input".
  std::string source, destination, mask;

  // Numeric, possibly animated parameters by JSON key.
  std::map<std::string, AnimValue> params;

  M_LRect rect;                     // generators: where they draw
  std::string file;                 // image: the path as written in the scene
  std::filesystem::path file_path;  // image: resolved against the scene's folder
  std::string colorspace;           // image: its file's colour space; "" as its metadata says
  bool vertical = false;            // gradient direction
  int32_t mode = 2;                 // transfer mode (PF_BLEND_NORMAL)
  int32_t mask_kind = 0;            // PF_MaskKind
  bool dest_bound = false;
  int32_t quality = 1;         // 0 nearest, 1 bilinear
  int32_t motion_samples = 1;  // transform: matrices per frame
  double shutter = 0.5;        // transform: fraction of a frame the samples span

  const AnimValue& Param(const std::string& key) const { return params.at(key); }
};

// The widest blur and checkerboard cell a scene gets; wider ones act as
// these. A blur of sigma 1e6 is flat to a twentieth of a percent across any
// frame, and its taps still fit a buffer; a cell of 2^30 pixels covers every
// frame there is.
constexpr double kMaxBlurSigma = 1e6;
constexpr double kMaxCellSize = 1 << 30;

// How the scene's colours are managed (ColorPipeline).
struct ColorSettings {
  std::string working = "linear";     // the space composited in; "raw": values as stored
  std::string output = "sRGB";        // what 8- and 16-bit PNG and TIFF files hold
  std::filesystem::path ocio_config;  // resolved; empty: the OCIO environment variable's
};

struct SceneDesc {
  std::string file_name;  // for messages
  int32_t width = 0, height = 0;
  int32_t frame_start = 0, frame_end = 0;
  // Field rendering of the whole frame: 0 none, 1 field 1 first, 2 field 2
  // first (the second field is sampled half a frame later).
  int32_t interlace = 0;
  std::string output;  // id of the root node
  ColorSettings color;
  std::vector<NodeDesc> nodes;
  std::map<std::string, size_t> index;  // id -> position in nodes
  // Values the scene gives that will not act as written ("<file>: <JSON
  // path>: <what happens>"); the program prints them and goes on.
  std::vector<std::string> warnings;

  const NodeDesc& Node(const std::string& id) const { return nodes.at(index.at(id)); }
};
