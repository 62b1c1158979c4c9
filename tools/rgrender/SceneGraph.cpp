#include "SceneGraph.h"

#include <cmath>
#include <cstdio>
#include <numbers>

#include "Effects.h"
#include "GeneratorNode.h"
#include "ImageLayerNode.h"
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

const char* KindName(NodeKind k) {
  switch (k) {
    case NodeKind::Image:
      return "image";
    case NodeKind::Solid:
      return "solid";
    case NodeKind::Gradient:
      return "gradient";
    case NodeKind::Checkerboard:
      return "checkerboard";
    case NodeKind::Composite:
      return "composite";
    case NodeKind::Transform:
      return "transform";
    case NodeKind::Cache:
      return "cache";
    case NodeKind::Null:
      return "null";
    case NodeKind::Blur:
      return "blur";
    case NodeKind::Levels:
      return "levels";
  }
  return "?";
}

PF_CompositeModePlus ModeOf(const NodeDesc& n, double t) {
  PF_CompositeModePlus mode;
  mode.transfer_mode = n.mode;
  mode.dest_bound = n.dest_bound ? 1 : 0;
  mode.opacity = static_cast<float>(std::clamp(n.Param("opacity").ScalarAt(t), 0.0, 1.0));
  return mode;
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
  const NodeDesc& n = scene_.Node(id);
  std::string d;
  if (n.kind == NodeKind::Cache) {
    d = Describe(n.source);  // a cache shows exactly its input
  } else {
    d = KindName(n.kind);
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
    if (n.kind == NodeKind::Solid || n.kind == NodeKind::Gradient ||
        n.kind == NodeKind::Checkerboard)
      d += "rect=" + std::to_string(n.rect.left) + "," + std::to_string(n.rect.top) + "," +
           std::to_string(n.rect.right) + "," + std::to_string(n.rect.bottom) + "," +
           (n.vertical ? "v," : "h,");
    if (n.kind == NodeKind::Image)
      d += "file=" + n.file_path.string() + "#" +
           std::to_string(images_.Get(n.file_path.string()).content_hash) + ",";
    if (n.kind == NodeKind::Composite || n.kind == NodeKind::Transform)
      d += "mode=" + std::to_string(n.mode) + "," + std::to_string(n.mask_kind) + "," +
           (n.dest_bound ? "atop," : "over,");
    if (!n.source.empty()) d += "src=" + Describe(n.source) + ";";
    if (!n.destination.empty()) d += "dst=" + Describe(n.destination) + ";";
    if (!n.mask.empty()) d += "mask=" + Describe(n.mask) + ";";
    d += ")";
  }
  return descriptions_[id] = std::move(d);
}

std::string FrameGraph::IdOf(const RG_RenderNode* node) const {
  auto it = ids_.find(node);
  return it == ids_.end() ? std::string() : it->second;
}

U_SharedPtr<RG_RenderNode> FrameGraph::Build(const std::string& id) {
  auto it = built_.find(id);
  if (it != built_.end()) return it->second;
  U_SharedPtr<RG_RenderNode> node = Make(scene_.Node(id));
  if (monitor_ != nullptr) node->SetProgAbort(new NodeProgress(monitor_, id));
  built_[id] = node;
  ids_[node.get()] = id;
  if (monitor_ != nullptr) monitor_->SetNodeCount(NodeCount());
  return node;
}

U_SharedPtr<RG_RenderNode> FrameGraph::Make(const NodeDesc& n) {
  const double t = time_;
  auto input = [&](const std::string& ref) -> RG_RenderNode* {
    return ref.empty() ? nullptr : Build(ref).get();  // kept alive by built_
  };
  switch (n.kind) {
    case NodeKind::Image: {
      const LoadedImage& image = images_.Get(n.file_path.string());
      const std::vector<double> pos = n.Param("position").At(t);
      return new ImageLayerNode(image.world, static_cast<int32_t>(std::lround(pos[0])),
                                static_cast<int32_t>(std::lround(pos[1])), image.opaque);
    }
    case NodeKind::Solid:
      return new GeneratorNode(GeneratorNode::Pattern::Solid, n.rect, Color(n.Param("color"), t),
                               RGBA{}, false, 1);
    case NodeKind::Gradient:
      return new GeneratorNode(GeneratorNode::Pattern::Gradient, n.rect, Color(n.Param("from"), t),
                               Color(n.Param("to"), t), n.vertical, 1);
    case NodeKind::Checkerboard:
      return new GeneratorNode(
          GeneratorNode::Pattern::Checkerboard, n.rect, Color(n.Param("color1"), t),
          Color(n.Param("color2"), t), false,
          static_cast<int32_t>(std::lround(std::max(1.0, n.Param("size").ScalarAt(t)))));
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
      const std::string inputId = n.source;
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
