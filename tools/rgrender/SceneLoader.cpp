#include "SceneLoader.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>
#include <string_view>

#include "rghost/PF_Transfer.h"

using nlohmann::json;

namespace {

// What a node key holds.
enum class KeyKind {
  Ref,
  Anim,
  Rect,
  File,
  Mode,
  MaskKind,
  Bool,
  Quality,
  Direction,
  MotionBlur,
  ColorSpace
};

struct KeySpec {
  const char* name;
  KeyKind kind;
  int size = 1;                  // Anim: number of components (0: 1 or 2)
  double def[4] = {0, 0, 0, 0};  // Anim default when not required
  bool required = false;
};

struct KindSchema {
  const char* type;
  NodeKind kind;
  std::vector<KeySpec> keys;
};

// The keys of a layer over a destination, which a transform shares.
std::vector<KeySpec> LayerKeys(std::initializer_list<KeySpec> extra) {
  std::vector<KeySpec> keys = {{"source", KeyKind::Ref, 1, {}, true},
                               {"destination", KeyKind::Ref},
                               {"mask", KeyKind::Ref},
                               {"mask_kind", KeyKind::MaskKind},
                               {"mode", KeyKind::Mode},
                               {"opacity", KeyKind::Anim, 1, {1}},
                               {"dest_bound", KeyKind::Bool}};
  keys.insert(keys.end(), extra);
  return keys;
}

const std::vector<KindSchema>& Schemas() {
  static const std::vector<KindSchema> kSchemas = {
      {"image",
       NodeKind::Image,
       {{"file", KeyKind::File, 1, {}, true},
        {"position", KeyKind::Anim, 2, {0, 0}},
        {"colorspace", KeyKind::ColorSpace}}},
      {"solid",
       NodeKind::Solid,
       {{"rect", KeyKind::Rect}, {"color", KeyKind::Anim, 4, {0, 0, 0, 1}, true}}},
      {"gradient",
       NodeKind::Gradient,
       {{"rect", KeyKind::Rect},
        {"from", KeyKind::Anim, 4, {0, 0, 0, 1}, true},
        {"to", KeyKind::Anim, 4, {1, 1, 1, 1}, true},
        {"direction", KeyKind::Direction}}},
      {"checkerboard",
       NodeKind::Checkerboard,
       {{"rect", KeyKind::Rect},
        {"size", KeyKind::Anim, 1, {16}},
        {"color1", KeyKind::Anim, 4, {0.2, 0.2, 0.2, 1}},
        {"color2", KeyKind::Anim, 4, {0.8, 0.8, 0.8, 1}}}},
      {"composite", NodeKind::Composite, LayerKeys({})},
      {"transform", NodeKind::Transform,
       LayerKeys({{"anchor", KeyKind::Anim, 2, {0, 0}},
                  {"translate", KeyKind::Anim, 2, {0, 0}},
                  {"rotate", KeyKind::Anim, 1, {0}},
                  {"scale", KeyKind::Anim, 0, {1, 1}},
                  {"motion_blur", KeyKind::MotionBlur},
                  {"quality", KeyKind::Quality}})},
      {"cache", NodeKind::Cache, {{"input", KeyKind::Ref, 1, {}, true}}},
      {"null", NodeKind::Null, {}},
      {"blur",
       NodeKind::Blur,
       {{"input", KeyKind::Ref, 1, {}, true}, {"sigma", KeyKind::Anim, 1, {2}}}},
      {"levels",
       NodeKind::Levels,
       {{"input", KeyKind::Ref, 1, {}, true},
        {"in_black", KeyKind::Anim, 1, {0}},
        {"in_white", KeyKind::Anim, 1, {1}},
        {"gamma", KeyKind::Anim, 1, {1}},
        {"out_black", KeyKind::Anim, 1, {0}},
        {"out_white", KeyKind::Anim, 1, {1}}}},
  };
  return kSchemas;
}

// Indexed by code: a scene names the blend modes and mask kinds of the host
// by these words.
constexpr const char* kModeNames[PF_BLEND_MODE_COUNT] = {"copy",
                                                         "behind",
                                                         "normal",
                                                         "dissolve",
                                                         "add",
                                                         "multiply",
                                                         "screen",
                                                         "overlay",
                                                         "soft_light",
                                                         "hard_light",
                                                         "darken",
                                                         "lighten",
                                                         "difference",
                                                         "hue",
                                                         "saturation",
                                                         "color",
                                                         "luminosity",
                                                         "stencil_alpha",
                                                         "stencil_luma",
                                                         "silhouette_alpha",
                                                         "silhouette_luma",
                                                         "alpha_add"};
constexpr const char* kMaskKindNames[PF_MASK_KIND_COUNT] = {"alpha", "inverted_alpha", "luma",
                                                            "inverted_luma"};

static_assert(std::string_view(kModeNames[PF_BLEND_NORMAL]) == "normal" &&
              std::string_view(kModeNames[PF_BLEND_ALPHA_ADD]) == "alpha_add" &&
              std::string_view(kMaskKindNames[PF_MASK_INVERTED_LUMA]) == "inverted_luma");

}  // namespace

const char* NodeKindName(NodeKind kind) {
  for (const KindSchema& s : Schemas())
    if (s.kind == kind) return s.type;
  return "?";
}

namespace {

std::string NumberText(double x) {
  std::ostringstream out;
  out << x;
  return out.str();
}

struct ValueRange {
  const char* key;
  double lo, hi;
  const char* effect;
};
constexpr double kNoLimit = std::numeric_limits<double>::infinity();
// A key may have a row for each end of its range.
constexpr ValueRange kValueRanges[] = {
    {"opacity", 0, 1, "clamped to 0..1"},
    {"color", 0, 1, "colour components are meant to be 0..1"},
    {"from", 0, 1, "colour components are meant to be 0..1"},
    {"to", 0, 1, "colour components are meant to be 0..1"},
    {"color1", 0, 1, "colour components are meant to be 0..1"},
    {"color2", 0, 1, "colour components are meant to be 0..1"},
    {"sigma", 0, kNoLimit, "a negative sigma blurs nothing"},
    {"sigma", -kNoLimit, kMaxBlurSigma, "a sigma above 1e+06 is taken as 1e+06"},
    {"size", 1, kNoLimit, "cells are at least 1 pixel"},
    {"size", -kNoLimit, kMaxCellSize, "cells are at most 2^30 pixels"},
    {"gamma", std::numeric_limits<double>::denorm_min(), kNoLimit,
     "a gamma of 0 or less is taken as 1"},
};

class Parser {
 public:
  Parser(std::string fileName, std::filesystem::path baseDir)
      : file_(std::move(fileName)), base_(std::move(baseDir)) {}

  // The code of a scene word, or a failure that lists the words there are.
  template <size_t N>
  int32_t CodeOfName(const char* const (&names)[N], const std::string& word,
                     const std::string& path, const std::string& what) const {
    std::string valid;
    for (size_t i = 0; i < N; ++i) {
      if (word == names[i]) return static_cast<int32_t>(i);
      valid += (i ? ", " : "") + std::string(names[i]);
    }
    Fail(path, "unknown " + what + " '" + word + "' (one of: " + valid + ")");
  }

  [[noreturn]] void Fail(const std::string& path, const std::string& what) const {
    throw SceneError(file_ + ": " + (path.empty() ? "/" : path) + ": " + what);
  }

  SceneDesc Parse(const json& root) {
    if (!root.is_object()) Fail("", "the scene must be a JSON object");
    SceneDesc scene;
    scene.file_name = file_;
    static const std::set<std::string> kTop = {
        "width",  "height", "frames",     "interlace",         "description",
        "output", "nodes",  "colorspace", "output_colorspace", "ocio_config"};
    for (auto it = root.begin(); it != root.end(); ++it)
      if (!kTop.count(it.key())) Fail("/" + it.key(), "unknown key '" + it.key() + "'");

    scene.width = PositiveInt(root, "width", "");
    scene.height = PositiveInt(root, "height", "");
    if (root.contains("frames")) {
      const json& f = root["frames"];
      if (!f.is_array() || f.size() != 2 || !f[0].is_number_integer() ||
          !f[1].is_number_integer() || f[0].get<int64_t>() > f[1].get<int64_t>() ||
          f[0].get<int64_t>() < 0 || f[1].get<int64_t>() > 1000000)
        Fail("/frames", "expected [first, last] with 0 <= first <= last");
      scene.frame_start = f[0].get<int32_t>();
      scene.frame_end = f[1].get<int32_t>();
    }
    if (root.contains("interlace")) {
      const json& v = root["interlace"];
      const std::string s = v.is_string() ? v.get<std::string>() : "";
      if (s == "none")
        scene.interlace = 0;
      else if (s == "field1")
        scene.interlace = 1;
      else if (s == "field2")
        scene.interlace = 2;
      else
        Fail("/interlace", "expected \"none\", \"field1\" or \"field2\"");
    }
    if (root.contains("description") && !root["description"].is_string())
      Fail("/description", "expected a string");
    ParseColor(root, scene.color);

    if (!root.contains("nodes") || !root["nodes"].is_array() || root["nodes"].empty())
      Fail("/nodes", "expected a non-empty array of nodes");
    const json& nodes = root["nodes"];
    for (size_t i = 0; i < nodes.size(); ++i) {
      NodeDesc node = ParseNode(nodes[i], "/nodes/" + std::to_string(i), scene);
      if (scene.index.count(node.id))
        Fail(node.path + "/id", "duplicate node id '" + node.id + "'");
      scene.index[node.id] = scene.nodes.size();
      scene.nodes.push_back(std::move(node));
    }

    if (!root.contains("output") || !root["output"].is_string())
      Fail("/output", "expected the id of the node to render");
    scene.output = root["output"].get<std::string>();
    if (!scene.index.count(scene.output)) Fail("/output", "unknown node '" + scene.output + "'");

    CheckReferences(scene);
    scene.warnings = std::move(warnings_);
    return scene;
  }

 private:
  // Names are checked against the config when the scene's images load.
  void ParseColor(const json& root, ColorSettings& color) const {
    const auto text = [&](const char* key, const char* what) {
      const json& v = root[key];
      if (!v.is_string() || v.get<std::string>().empty()) Fail(std::string("/") + key, what);
      return v.get<std::string>();
    };
    if (root.contains("colorspace")) color.working = text("colorspace", "expected a colour space");
    if (root.contains("output_colorspace"))
      color.output = text("output_colorspace", "expected a colour space");
    if (root.contains("ocio_config"))
      color.ocio_config = base_ / text("ocio_config", "expected the path of an OCIO config file");
  }

  int32_t PositiveInt(const json& obj, const char* key, const std::string& base) const {
    const std::string path = base + "/" + key;
    if (!obj.contains(key)) Fail(path, std::string("missing key '") + key + "'");
    const json& v = obj[key];
    if (!v.is_number_integer() || v.get<int64_t>() <= 0 || v.get<int64_t>() > 32767)
      Fail(path, "expected an integer from 1 to 32767");
    return v.get<int32_t>();
  }

  std::vector<double> Numbers(const json& v, const std::string& path, int size) const {
    std::vector<double> out;
    if (v.is_number()) {
      out.push_back(v.get<double>());
    } else if (v.is_array()) {
      for (size_t i = 0; i < v.size(); ++i) {
        if (!v[i].is_number()) Fail(path + "/" + std::to_string(i), "expected a number");
        out.push_back(v[i].get<double>());
      }
    } else {
      Fail(path, "expected a number or an array of numbers");
    }
    if (size == 0) {  // one value for both axes, or two
      if (out.size() == 1) out.push_back(out[0]);
      if (out.size() != 2) Fail(path, "expected 1 or 2 numbers");
    } else if (size == 4 && out.size() == 3) {
      out.push_back(1.0);  // colours may leave out alpha
    } else if (static_cast<int>(out.size()) != size) {
      Fail(path, "expected " + std::to_string(size) + (size == 1 ? " number" : " numbers"));
    }
    return out;
  }

  AnimValue Anim(const json& v, const std::string& path, int size) const {
    if (!v.is_object()) return AnimValue(Numbers(v, path, size));
    for (auto it = v.begin(); it != v.end(); ++it)
      if (it.key() != "keys") Fail(path + "/" + it.key(), "unknown key '" + it.key() + "'");
    if (!v.contains("keys") || !v["keys"].is_array() || v["keys"].empty())
      Fail(path + "/keys", "expected a non-empty array of [frame, value] keys");
    std::vector<std::pair<double, std::vector<double>>> keys;
    const json& ks = v["keys"];
    for (size_t i = 0; i < ks.size(); ++i) {
      const std::string kp = path + "/keys/" + std::to_string(i);
      if (!ks[i].is_array() || ks[i].size() != 2 || !ks[i][0].is_number())
        Fail(kp, "expected [frame, value]");
      keys.emplace_back(ks[i][0].get<double>(), Numbers(ks[i][1], kp + "/1", size));
    }
    return AnimValue(std::move(keys));
  }

  void Warn(const std::string& path, const std::string& what) const {
    warnings_.push_back(file_ + ": " + path + ": " + what);
  }

  // Warns about each given value of an (already parsed) numeric key that the
  // renderer will not use as written; values between keyframes are not seen.
  void WarnAboutValues(const char* key, const json& v, const std::string& path) const {
    std::vector<std::pair<std::string, const json*>> given;  // (path, number or array)
    if (v.is_object()) {
      for (size_t i = 0; i < v["keys"].size(); ++i)
        given.emplace_back(path + "/keys/" + std::to_string(i) + "/1", &v["keys"][i][1]);
    } else {
      given.emplace_back(path, &v);
    }
    const std::string name = key;
    for (const auto& [where, value] : given) {
      std::vector<double> numbers;
      if (value->is_number()) numbers.push_back(value->get<double>());
      for (const json& n : value->is_array() ? *value : json::array())
        numbers.push_back(n.get<double>());
      for (double x : numbers) {
        if (name == "position" && x != std::floor(x)) {
          Warn(where, "positions are whole pixels: " + NumberText(x) +
                          " is rounded (a transform node places layers between pixels)");
          break;
        }
        for (const ValueRange& r : kValueRanges) {
          if (name != r.key || (x >= r.lo && x <= r.hi)) continue;
          Warn(where, NumberText(x) + " is out of range: " + r.effect);
          break;
        }
      }
    }
  }

  std::string Enum(const json& v, const std::string& path) const {
    if (!v.is_string()) Fail(path, "expected a string");
    return v.get<std::string>();
  }

  NodeDesc ParseNode(const json& obj, const std::string& path, const SceneDesc& scene) const {
    if (!obj.is_object()) Fail(path, "expected a node object");
    NodeDesc node;
    node.path = path;
    if (!obj.contains("id") || !obj["id"].is_string() || obj["id"].get<std::string>().empty())
      Fail(path + "/id", "expected a non-empty string id");
    node.id = obj["id"].get<std::string>();
    if (!obj.contains("type") || !obj["type"].is_string())
      Fail(path + "/type", "expected a node type");
    const std::string type = obj["type"].get<std::string>();
    const KindSchema* schema = nullptr;
    for (const KindSchema& s : Schemas())
      if (type == s.type) schema = &s;
    if (schema == nullptr) Fail(path + "/type", "unknown node type '" + type + "'");
    node.kind = schema->kind;
    node.rect = M_LRect{0, 0, scene.width, scene.height};

    for (auto it = obj.begin(); it != obj.end(); ++it) {
      const std::string& key = it.key();
      if (key == "id" || key == "type") continue;
      const KeySpec* known = nullptr;
      for (const KeySpec& k : schema->keys)
        if (key == k.name) known = &k;
      if (known == nullptr)
        Fail(path + "/" + key, "unknown key '" + key + "' for a " + type + " node");
      ParseKey(*known, it.value(), path + "/" + key, node);
    }
    for (const KeySpec& k : schema->keys) {
      if (obj.contains(k.name)) continue;
      if (k.required) Fail(path, std::string("missing key '") + k.name + "'");
      if (k.kind == KeyKind::Anim) {
        const int n = k.size == 0 ? 2 : k.size;
        node.params[k.name] = AnimValue(std::vector<double>(k.def, k.def + n));
      }
    }
    return node;
  }

  void ParseKey(const KeySpec& key, const json& v, const std::string& path, NodeDesc& node) const {
    switch (key.kind) {
      case KeyKind::Ref: {
        if (!v.is_string()) Fail(path, "expected a node id");
        const std::string name = key.name;
        (name == "destination" ? node.destination
         : name == "mask"      ? node.mask
                               : node.source) = v.get<std::string>();
        break;
      }
      case KeyKind::Anim:
        node.params[key.name] = Anim(v, path, key.size);
        WarnAboutValues(key.name, v, path);
        break;
      case KeyKind::Rect: {
        if (!v.is_array() || v.size() != 4) Fail(path, "expected [left, top, right, bottom]");
        int32_t c[4];
        for (int i = 0; i < 4; ++i) {
          if (!v[i].is_number_integer() || std::abs(v[i].get<int64_t>()) > 1000000)
            Fail(path + "/" + std::to_string(i), "expected an integer coordinate");
          c[i] = v[i].get<int32_t>();
        }
        if (c[2] <= c[0] || c[3] <= c[1]) Fail(path, "the rect is empty");
        node.rect = M_LRect{c[0], c[1], c[2], c[3]};
        break;
      }
      case KeyKind::File:
        node.file = Enum(v, path);
        node.file_path = base_ / node.file;
        break;
      case KeyKind::Mode:
        node.mode = CodeOfName(kModeNames, Enum(v, path), path, "transfer mode");
        break;
      case KeyKind::MaskKind:
        node.mask_kind = CodeOfName(kMaskKindNames, Enum(v, path), path, "mask kind");
        break;
      case KeyKind::Bool:
        if (!v.is_boolean()) Fail(path, "expected true or false");
        node.dest_bound = v.get<bool>();
        break;
      case KeyKind::Quality: {
        const std::string s = Enum(v, path);
        if (s != "nearest" && s != "bilinear") Fail(path, "expected \"nearest\" or \"bilinear\"");
        node.quality = s == "bilinear" ? 1 : 0;
        break;
      }
      case KeyKind::ColorSpace:
        node.colorspace = Enum(v, path);
        if (node.colorspace.empty()) Fail(path, "expected a colour space");
        break;
      case KeyKind::Direction: {
        const std::string s = Enum(v, path);
        if (s != "horizontal" && s != "vertical")
          Fail(path, "expected \"horizontal\" or \"vertical\"");
        node.vertical = s == "vertical";
        break;
      }
      case KeyKind::MotionBlur: {
        if (!v.is_object()) Fail(path, "expected {\"samples\": N, \"shutter\": S}");
        for (auto it = v.begin(); it != v.end(); ++it) {
          const std::string kp = path + "/" + it.key();
          if (it.key() == "samples") {
            if (!it->is_number_integer() || it->get<int64_t>() < 1 || it->get<int64_t>() > 64)
              Fail(kp, "expected an integer from 1 to 64");
            node.motion_samples = it->get<int32_t>();
          } else if (it.key() == "shutter") {
            if (!it->is_number() || it->get<double>() < 0 || it->get<double>() > 1)
              Fail(kp, "expected a number from 0 to 1");
            node.shutter = it->get<double>();
          } else {
            Fail(kp, "unknown key '" + it.key() + "'");
          }
        }
        break;
      }
    }
  }

  // Every reference names a node, and no node reaches itself.
  void CheckReferences(const SceneDesc& scene) const {
    auto refs = [](const NodeDesc& n) {
      std::vector<std::pair<std::string, std::string>> out;  // (key, id)
      const bool oneInput =
          n.kind == NodeKind::Cache || n.kind == NodeKind::Blur || n.kind == NodeKind::Levels;
      if (!n.source.empty()) out.emplace_back(oneInput ? "input" : "source", n.source);
      if (!n.destination.empty()) out.emplace_back("destination", n.destination);
      if (!n.mask.empty()) out.emplace_back("mask", n.mask);
      return out;
    };
    for (const NodeDesc& n : scene.nodes)
      for (const auto& [key, id] : refs(n))
        if (!scene.index.count(id)) Fail(n.path + "/" + key, "unknown node '" + id + "'");

    // Depth-first search with colours (1 on the current path, 2 finished),
    // the path kept on the heap so a deep scene cannot exhaust the stack.
    struct Step {
      const NodeDesc* node;
      std::vector<std::pair<std::string, std::string>> refs;
      size_t next = 0;
    };
    std::map<std::string, int> colour;
    std::vector<Step> path;
    for (const NodeDesc& start : scene.nodes) {
      if (colour[start.id] != 0) continue;
      colour[start.id] = 1;
      path.push_back({&start, refs(start)});
      while (!path.empty()) {
        Step& step = path.back();
        if (step.next == step.refs.size()) {
          colour[step.node->id] = 2;
          path.pop_back();
          continue;
        }
        const NodeDesc& n = *step.node;
        // Copies: the step may move when the path grows.
        const std::string key = step.refs[step.next].first;
        const std::string id = step.refs[step.next].second;
        ++step.next;
        if (colour[id] == 1) {
          std::string cycle;
          auto it = std::find_if(path.begin(), path.end(),
                                 [&id](const Step& s) { return s.node->id == id; });
          for (; it != path.end(); ++it) cycle += it->node->id + " -> ";
          Fail(n.path + "/" + key, "cycle through nodes " + cycle + id);
        }
        if (colour[id] == 0) {
          colour[id] = 1;
          path.push_back({&scene.Node(id), refs(scene.Node(id))});
        }
      }
    }
  }

  std::string file_;
  std::filesystem::path base_;
  mutable std::vector<std::string> warnings_;
};

}  // namespace

SceneDesc ParseScene(const std::string& text, const std::string& fileName,
                     const std::filesystem::path& baseDir) {
  json root;
  try {
    root = json::parse(text);
  } catch (const json::parse_error& e) {
    // The library's message carries "at line L, column C: <reason>".
    std::string what = e.what();
    std::smatch m;
    if (std::regex_search(what, m, std::regex(R"(at line (\d+), column (\d+): (.*))")))
      throw SceneError(fileName + ":" + m[1].str() + ":" + m[2].str() +
                       ": malformed JSON: " + m[3].str());
    throw SceneError(fileName + ": malformed JSON at byte " + std::to_string(e.byte) + ": " + what);
  } catch (const json::exception& e) {  // e.g. a number too large for a double
    throw SceneError(fileName + ": malformed JSON: " + e.what());
  }
  return Parser(fileName, baseDir).Parse(root);
}

SceneDesc LoadScene(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw SceneError(file.string() + ": cannot read the scene file");
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) throw SceneError(file.string() + ": cannot read the scene file");
  return ParseScene(text.str(), file.string(), file.parent_path());
}
