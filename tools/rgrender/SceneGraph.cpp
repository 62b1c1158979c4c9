#include "SceneGraph.h"

#include <cmath>
#include <cstdio>
#include <numbers>

#include "Effects.h"
#include "GeneratorNode.h"
#include "ImageLayerNode.h"
#include "SceneLoader.h"
#include "rg/RG_CompositeNode.h"
#include "rg/RG_NullNode.h"
#include "rg/RG_XformNode.h"
#include "rghost/PF_Transfer.h"

namespace {

RGBA Color(const AnimValue& v, double t) {
  const std::vector<double> c = v.At(t);
  return RGBA{static_cast<float>(c[0]), static_cast<float>(c[1]), static_cast<float>(c[2]),
              static_cast<float>(c[3])};
}

void AppendNumber(std::string& s, double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.17g,", v);
  s += buf;
}

PF_CompositeModePlus ModeOf(const NodeDesc& n, double t) {
  PF_CompositeModePlus mode;
  mode.transfer_mode = n.mode;
  mode.dest_bound = n.dest_bound ? 1 : 0;
  mode.opacity = static_cast<float>(std::clamp(n.Param("opacity").ScalarAt(t), 0.0, 1.0));
  return mode;
}

// 128-bit FNV-1a of a description, in hex. Inputs are described by digest
// rather than by their whole text, so a description stays short however deep
// or shared the graph below it (whole texts grow with the depth of a chain
// and double with each level of a diamond).
std::string Digest(const std::string& text) {
  using U128 = unsigned __int128;
  U128 h = (static_cast<U128>(0x6c62272e07bb0142ull) << 64) | 0x62b821756295c58dull;
  const U128 prime = (static_cast<U128>(1) << 88) | 0x13b;
  for (unsigned char c : text) h = (h ^ c) * prime;
  char hex[33];
  std::snprintf(hex, sizeof hex, "%016llx%016llx", static_cast<unsigned long long>(h >> 64),
                static_cast<unsigned long long>(h));
  return hex;
}

// The ids a node takes as inputs, in the order a consumer reads them.
std::vector<const std::string*> Inputs(const NodeDesc& n) {
  std::vector<const std::string*> out;
  for (const std::string* ref : {&n.source, &n.destination, &n.mask})
    if (!ref->empty()) out.push_back(ref);
  return out;
}

// Calls finish(n) for `id` and every node it reaches through inputs(n) and
// that is not done(id) yet, each after its inputs: depth first with a work
// list rather than the call stack, so a scene's depth costs heap. Inputs are
// pushed in reverse so the first one is finished first, as a recursion would.
template <class Done, class InputsOf, class Finish>
void InputsFirst(const SceneDesc& scene, const std::string& id, Done done, InputsOf inputs,
                 Finish finish) {
  std::vector<const NodeDesc*> pending{&scene.Node(id)};
  while (!pending.empty()) {
    const NodeDesc& n = *pending.back();
    if (done(n.id)) {
      pending.pop_back();
      continue;
    }
    const size_t before = pending.size();
    const std::vector<const std::string*> refs = inputs(n);
    for (auto it = refs.rbegin(); it != refs.rend(); ++it)
      if (!done(**it)) pending.push_back(&scene.Node(**it));
    if (pending.size() != before) continue;
    pending.pop_back();
    finish(n);
  }
}

}  // namespace

FrameGraph::FrameGraph(const SceneDesc& scene, const ImageStore& images, LruCache* cache,
                       RenderMonitor* monitor, double time)
    : scene_(scene), images_(images), cache_(cache), monitor_(monitor), time_(time) {}

std::vector<M_Matrix3> FrameGraph::Matrices(const NodeDesc& n, double time) {
  std::vector<M_Matrix3> out;
  const int samples = std::max(n.motion_samples, 1);
  for (int i = 0; i < samples; ++i) {
    const double t =
        samples == 1 ? time : time + n.shutter * (static_cast<double>(i) / (samples - 1) - 0.5);
    const std::vector<double> anchor = n.Param("anchor").At(t);
    const std::vector<double> move = n.Param("translate").At(t);
    const std::vector<double> scale = n.Param("scale").At(t);
    const double angle = n.Param("rotate").ScalarAt(t) * std::numbers::pi / 180.0;
    // Points are rows: move the anchor to the origin, scale, rotate (clockwise
    // on screen, y pointing down), move back and translate.
    M_Matrix3 s, r;
    s[0] = scale[0];
    s[4] = scale[1];
    r[0] = std::cos(angle);
    r[1] = std::sin(angle);
    r[3] = -std::sin(angle);
    r[4] = std::cos(angle);
    M_Matrix3 m;
    m.Translate(-anchor[0], -anchor[1]);
    m *= s;
    m *= r;
    m.Translate(anchor[0] + move[0], anchor[1] + move[1]);
    out.push_back(m);
  }
  return out;
}

const std::string& FrameGraph::Describe(const std::string& id) {
  auto found = descriptions_.find(id);
  if (found != descriptions_.end()) return found->second;
  InputsFirst(
      scene_, id, [this](const std::string& ref) { return descriptions_.count(ref) != 0; }, Inputs,
      [this](const NodeDesc& n) { descriptions_[n.id] = DescribeOne(n); });
  return descriptions_.at(id);
}

std::string FrameGraph::DescribeOne(const NodeDesc& n) const {
  if (n.kind == NodeKind::Cache) return descriptions_.at(n.source);  // exactly its input
  std::string d = NodeKindName(n.kind);
  d += "(";
  for (const auto& [key, value] : n.params) {
    if (n.kind == NodeKind::Transform && key != "opacity") continue;  // in the matrices
    d += key + "=";
    for (double v : value.At(time_)) AppendNumber(d, v);
  }
  if (n.kind == NodeKind::Transform) {
    d += "m=";
    for (const M_Matrix3& m : Matrices(n, time_))
      for (double v : m.m) AppendNumber(d, v);
    d += "q=" + std::to_string(n.quality) + ",";
  }
  if (n.kind == NodeKind::Solid || n.kind == NodeKind::Gradient || n.kind == NodeKind::Checkerboard)
    d += "rect=" + std::to_string(n.rect.left) + "," + std::to_string(n.rect.top) + "," +
         std::to_string(n.rect.right) + "," + std::to_string(n.rect.bottom) + "," +
         (n.vertical ? "v," : "h,");
  if (n.kind == NodeKind::Image)
    d += "file=" + n.file_path.string() + "#" + std::to_string(images_.Get(n).ContentHash()) + ",";
  if (n.kind == NodeKind::Composite || n.kind == NodeKind::Transform)
    d += "mode=" + std::to_string(n.mode) + "," + std::to_string(n.mask_kind) + "," +
         (n.dest_bound ? "atop," : "over,");
  if (!n.source.empty()) d += "src=" + Digest(descriptions_.at(n.source)) + ";";
  if (!n.destination.empty()) d += "dst=" + Digest(descriptions_.at(n.destination)) + ";";
  if (!n.mask.empty()) d += "mask=" + Digest(descriptions_.at(n.mask)) + ";";
  d += ")";
  return d;
}

std::string FrameGraph::IdOf(const RG_RenderNode* node) const {
  auto it = ids_.find(node);
  return it == ids_.end() ? std::string() : it->second;
}

U_SharedPtr<RG_RenderNode> FrameGraph::Build(const std::string& id) {
  // A cache node makes its input lazily, when it misses.
  InputsFirst(
      scene_, id, [this](const std::string& ref) { return built_.count(ref) != 0; },
      [](const NodeDesc& n) {
        return n.kind == NodeKind::Cache ? std::vector<const std::string*>{} : Inputs(n);
      },
      [this](const NodeDesc& n) {
        U_SharedPtr<RG_RenderNode> node = Make(n);
        if (monitor_ != nullptr) node->SetProgAbort(new NodeProgress(monitor_, n.id));
        built_[n.id] = node;
        ids_[node.get()] = n.id;
        if (monitor_ != nullptr) monitor_->SetNodeCount(NodeCount());
      });
  return built_.at(id);
}

U_SharedPtr<RG_RenderNode> FrameGraph::Make(const NodeDesc& n) {
  const double t = time_;
  auto input = [&](const std::string& ref) -> RG_RenderNode* {
    return ref.empty() ? nullptr : built_.at(ref).get();  // built first, kept alive by built_
  };
  const auto color = [&](const char* key) {
    return images_.Colors().SceneColor(Color(n.Param(key), t));
  };
  switch (n.kind) {
    case NodeKind::Image: {
      const LoadedImage& image = images_.Get(n);
      // Within +-2^30, so the layer's far edge (images are at most 2^30
      // wide) stays a 32-bit coordinate.
      const auto place = [](double v) {
        constexpr double kLimit = 1 << 30;
        return static_cast<int32_t>(
            std::lround(std::isnan(v) ? 0 : std::clamp(v, -kLimit, kLimit - 1)));
      };
      const std::vector<double> pos = n.Param("position").At(t);
      return new ImageLayerNode(&image, place(pos[0]), place(pos[1]));
    }
    case NodeKind::Solid:
      return new GeneratorNode(GeneratorNode::Pattern::Solid, n.rect, color("color"), RGBA{}, false,
                               1);
    case NodeKind::Gradient:
      return new GeneratorNode(GeneratorNode::Pattern::Gradient, n.rect, color("from"), color("to"),
                               n.vertical, 1);
    case NodeKind::Checkerboard:
      return new GeneratorNode(
          GeneratorNode::Pattern::Checkerboard, n.rect, color("color1"), color("color2"), false,
          static_cast<int32_t>(
              std::lround(std::max(1.0, std::min(n.Param("size").ScalarAt(t), kMaxCellSize)))));
    case NodeKind::Composite: {
      RG_RenderNode* src = input(n.source);
      RG_RenderNode* dst = input(n.destination);
      RG_RenderNode* mask = input(n.mask);
      return new RG_CompositeNode(src, ModeOf(n, t), dst, mask, n.mask_kind);
    }
    case NodeKind::Transform: {
      RG_RenderNode* src = input(n.source);
      RG_RenderNode* dst = input(n.destination);
      RG_RenderNode* mask = input(n.mask);
      const std::vector<M_Matrix3> m = Matrices(n, t);
      return new RG_XformNode(m.data(), static_cast<long>(m.size()), ModeOf(n, t), n.quality, src,
                              dst, mask, n.mask_kind);
    }
    case NodeKind::Cache: {
      // A cache of a cache keeps the same entries: a chain of them shares the
      // first other input, so no node below recurses through the chain.
      std::string inputId = n.source;
      while (scene_.Node(inputId).kind == NodeKind::Cache) inputId = scene_.Node(inputId).source;
      return new CacheNode(cache_, Describe(inputId), [this, inputId] { return Build(inputId); });
    }
    case NodeKind::Null:
      return new RG_NullNode();
    case NodeKind::Blur:
      return new BlurNode(input(n.source), n.Param("sigma").ScalarAt(t));
    case NodeKind::Levels: {
      LevelsNode::Params p;
      p.in_black = n.Param("in_black").ScalarAt(t);
      p.in_white = n.Param("in_white").ScalarAt(t);
      p.gamma = n.Param("gamma").ScalarAt(t);
      p.out_black = n.Param("out_black").ScalarAt(t);
      p.out_white = n.Param("out_white").ScalarAt(t);
      return new LevelsNode(input(n.source), p);
    }
  }
  return new RG_NullNode();
}
