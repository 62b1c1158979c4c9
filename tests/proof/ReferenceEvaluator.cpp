#include "proof/Proof.h"
#include "rg/RG_CompositeNode.h"

namespace {

// A cleared buffer of `rect` holding `from`'s pixels where it reaches.
ProofWorldPtr Canvas(const M_LRect& rect, short depth, const ProofRefResult* from) {
  ProofWorldPtr w(PF_World::New(rect, depth, 1));
  if (from != nullptr && from->world) {
    w->CopyPixels(from->world.get(), nullptr, from->rect.left - rect.left,
                  from->rect.top - rect.top);
  }
  return w;
}

void Check(long status) {
  if (status != 0) throw status;
}

// The bounding rect of the images of `rect` under the matrices (empty images
// skipped); with `inverse` under their inverses (singular ones skipped).
M_LRect MappedBounds(const std::vector<M_Matrix3>& matrices, const M_LRect& rect, bool inverse) {
  M_LRect acc{};
  for (M_Matrix3 m : matrices) {
    if (inverse && m.InvertQuiet()) continue;
    acc = M_Union(acc, M_TransformBounds(m, rect));
  }
  return acc;
}

class Reference {
 public:
  explicit Reference(const ProofGraphDesc& desc) : desc_(desc), depth_(desc.request.bit_depth) {
    for (const ProofNodeDesc& n : desc.nodes) {
      const bool leaf = n.kind == ProofKind::kSource || n.kind == ProofKind::kBufferSource;
      leaf_worlds_.push_back(leaf ? ProofLeafWorld(n, depth_) : nullptr);
    }
  }

  // Node `index` over `rect` for `field`; `type1` asks for content as far as
  // bounds type 1 reach.
  ProofRefResult Render(int index, const M_LRect& rect, bool type1, long field) const {
    const ProofNodeDesc& n = desc_.nodes[static_cast<size_t>(index)];
    switch (n.kind) {
      case ProofKind::kNull:
        return {};
      case ProofKind::kCache:
        return Render(n.inputs[0], rect, type1, field);
      case ProofKind::kEffect:
        return RenderEffect(n, rect, type1, field);
      case ProofKind::kComposite:
      case ProofKind::kXform:
        return RenderComposite(n, rect, type1, field);
      default:
        break;
    }
    ProofRefResult r;
    r.rect = M_Intersect(rect, n.bounds);
    if (M_IsEmpty(r.rect)) return ProofRefResult{};
    r.world.reset(PF_World::New(r.rect, depth_, 0));
    // The leaf's pixel (0, 0) sits at the bounds' top-left.
    const M_LRect from = M_RelativeTo(r.rect, n.bounds);
    r.world->ConvertPixels(leaf_worlds_[static_cast<size_t>(index)].get(), &from, 1, 0, 0, 0);
    return r;
  }

  ProofRefResult RenderEffect(const ProofNodeDesc& n, const M_LRect& rect, bool type1,
                              long field) const {
    using E = ProofEffectNode;
    const bool crop = n.policy & E::kCrop;
    ProofRefResult r = Render(n.inputs[0], crop ? M_Intersect(rect, n.keep) : rect, type1, field);
    if (crop) {
      ProofRefResult in = std::move(r);
      r.rect = M_Intersect(rect, type1 ? n.extent : n.keep);
      if (M_IsEmpty(r.rect)) return ProofRefResult{};
      r.world = Canvas(r.rect, depth_, nullptr);
      const M_LRect area = M_Intersect(M_Intersect(in.rect, r.rect), n.keep);
      if (!M_IsEmpty(area)) {
        const M_LRect from = M_RelativeTo(area, in.rect);
        r.world->CopyPixels(in.world.get(), &from, area.left - r.rect.left, area.top - r.rect.top);
      }
    }
    if (!r.world) return r;
    if ((n.policy & E::kCoerce) && !(n.policy & E::kInPlace)) {
      // The same conversions the node asks of its input.
      ProofWorldPtr other(PF_World::New(r.rect, E::CoerceDepth(depth_), 0));
      other->ConvertPixels(r.world.get(), nullptr, 1, 0, 0, 0);
      r.world->ConvertPixels(other.get(), nullptr, 1, 0, 0, 0);
    }
    if (n.policy & E::kInvert) ProofInvertPixels(r.world.get());
    return r;
  }

  ProofRefResult RenderComposite(const ProofNodeDesc& n, const M_LRect& rect, bool type1,
                                 long field) const {
    const PF_CompositeModePlus& mode = n.mode;
    const bool stencil =
        mode.transfer_mode == PF_BLEND_STENCIL_ALPHA || mode.transfer_mode == PF_BLEND_STENCIL_LUMA;
    bool identity = true;
    for (const M_Matrix3& m : n.matrices) identity = identity && m.IsIdentityWithinEpsilon(1e-12);

    ProofRefResult mask, src;
    bool useMask = false;
    M_LRect visible{};
    if (mode.opacity != 0.0f) {
      M_LRect srcArea = rect;
      if (n.inputs[2] >= 0) {
        mask = Render(n.inputs[2], rect, type1, field);
        // The inverted kinds cover everything outside the mask; the others nothing.
        useMask = !((n.mask_mode & 1) && M_IsEmpty(mask.rect));
        if (!(n.mask_mode & 1)) srcArea = M_Intersect(rect, mask.rect);
      }
      const bool srcType1 = type1 || stencil || mode.transfer_mode == PF_BLEND_ALPHA_ADD;
      if (!M_IsEmpty(srcArea) && !identity) {
        // Everything whose image can reach srcArea (one more pixel for bilinear).
        M_LRect need = MappedBounds(n.matrices, srcArea, true);
        if (n.quality == 1) need = M_Grow(need, 1);
        src = Render(n.inputs[0], need, srcType1, 0);
        M_LRect placed = src.rect;
        if (n.quality == 1 && !M_IsEmpty(placed)) placed = M_Grow(placed, 1);
        visible = M_Intersect(MappedBounds(n.matrices, placed, false), srcArea);
      } else if (!M_IsEmpty(srcArea)) {
        src = Render(n.inputs[0], srcArea, srcType1, field);
        visible = src.rect;
      }
    }
    if (M_IsEmpty(visible)) useMask = false;

    ProofRefResult dest;
    if (n.inputs[1] >= 0) dest = Render(n.inputs[1], rect, type1, field);

    ProofRefResult r;
    if (!M_IsEmpty(dest.rect)) {
      if (stencil && (M_IsEmpty(visible) || !M_Overlaps(visible, dest.rect)))
        return ProofRefResult{};
      r.rect = M_Union(dest.rect, visible);
    } else {
      if (M_IsEmpty(visible) || mode.dest_bound) return ProofRefResult{};
      r.rect = visible;
    }
    r.world = Canvas(r.rect, depth_, &dest);
    if (M_IsEmpty(visible)) return r;

    PF_MaskWorld maskWorld;
    if (useMask && mask.world) {
      mask.world->FillOutEffectWorld(&maskWorld.mask);
      maskWorld.offset_x = mask.rect.left - r.rect.left;
      maskWorld.offset_y = mask.rect.top - r.rect.top;
      maskWorld.kind = static_cast<int32_t>(n.mask_mode);
    }
    PF_MaskWorld* maskArg = useMask && mask.world ? &maskWorld : nullptr;
    const long rowField = RG_EffectiveField(field, r.rect);
    if (n.kind == ProofKind::kComposite) {
      const M_LRect from = M_RelativeTo(visible, src.rect);
      Check(PF_TransferRect(nullptr, 1, 1, rowField, &from, src.world.get(), &mode, mode.mode_ext,
                            maskArg, visible.left - r.rect.left, visible.top - r.rect.top,
                            r.world.get()));
      return r;
    }
    // Source buffer pixels -> render space -> output buffer pixels.
    std::vector<M_Matrix3> placed;
    for (M_Matrix3 m : n.matrices) {
      M_Matrix3 t;
      t.Translate(src.rect.left, src.rect.top);
      t *= m;
      t.Translate(-r.rect.left, -r.rect.top);
      placed.push_back(t);
    }
    const M_LRect destRect = M_RelativeTo(visible, r.rect);
    Check(PF_TransformWorld(nullptr, n.quality, 1, rowField, src.world.get(), &mode, mode.mode_ext,
                            maskArg, placed.data(), static_cast<long>(placed.size()), true,
                            &destRect, r.world.get()));
    return r;
  }

 private:
  const ProofGraphDesc& desc_;  // borrowed
  short depth_;
  std::vector<ProofWorldPtr> leaf_worlds_;  // by node index; null for other kinds
};

}  // namespace

ProofRefResult ProofReference(const ProofGraphDesc& desc) {
  return Reference(desc).Render(static_cast<int>(desc.nodes.size()) - 1, desc.request.rect,
                                (desc.request.flags & RG_REQUEST_CONTENT_BOUNDS_TYPE1) != 0,
                                desc.request.field);
}
