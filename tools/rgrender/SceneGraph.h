// Builds the render graph of one point in time from a scene description:
// one RG node per scene node reached from the output (a node used twice is
// built once and shared), animated parameters evaluated at that time.
//
// Ownership: the FrameGraph holds a reference to every node it built and
// must outlive every execution of them (cache nodes build their input
// lazily through it). The scene, images, cache and monitor are borrowed.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "CacheNode.h"
#include "ImageStore.h"
#include "Progress.h"
#include "SceneDesc.h"
#include "rg/RG_RenderNode.h"
#include "rghost/M_Geometry.h"

class FrameGraph {
 public:
  FrameGraph(const SceneDesc& scene, const ImageStore& images, LruCache* cache,
             RenderMonitor* monitor, double time);
  FrameGraph(const FrameGraph&) = delete;
  FrameGraph& operator=(const FrameGraph&) = delete;

  // The scene's output node.
  U_SharedPtr<RG_RenderNode> Root() { return Build(scene_.output); }
  U_SharedPtr<RG_RenderNode> Build(const std::string& id);
  // Canonical text of the node's state at this time, inputs included (by a
  // 128-bit digest of their own texts); equal texts render equal pixels.
  // Cache nodes key their entries by it.
  const std::string& Describe(const std::string& id);
  // The scene id of a node this graph built ("" for any other node).
  std::string IdOf(const RG_RenderNode* node) const;
  int NodeCount() const { return static_cast<int>(built_.size()); }

  // The placements of a transform node at `time`: one matrix, or one per
  // motion-blur sample spread over the shutter interval centred on `time`.
  static std::vector<M_Matrix3> Matrices(const NodeDesc& node, double time);

 private:
  // Both expect the node's inputs built or described already.
  U_SharedPtr<RG_RenderNode> Make(const NodeDesc& node);
  std::string DescribeOne(const NodeDesc& node) const;

  const SceneDesc& scene_;
  const ImageStore& images_;
  LruCache* cache_;
  RenderMonitor* monitor_;
  double time_;
  std::map<std::string, U_SharedPtr<RG_RenderNode>> built_;
  std::map<const RG_RenderNode*, std::string> ids_;
  std::map<std::string, std::string> descriptions_;
};
