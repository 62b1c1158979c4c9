#include "rg/RG_Traverser.h"

#include <memory>
#include <optional>

#include "exec/RGp_InvocationTable.h"
#include "exec/RGp_NodeInvocation.h"
#include "frame/RGp_Errors.h"
#include "profile/RGp_ProfilerScopes.h"
#include "rg/RG_CheckoutResult.h"
#include "rg/RG_GraphProfiler.h"
#include "rg/RG_RenderNode.h"
#include "rghost/M_Geometry.h"
#include "rghost/PF_World.h"

RG_Traverser::RG_Traverser(const RG_RenderNode* root) : root_(root) {}

RG_Traverser::~RG_Traverser() = default;

RGp_NodeInvocation* RG_Traverser::GetInvocation(const RG_RenderNode* node,
                                                bool mayRenderIntoDestination) {
  if (table_ == nullptr) table_ = std::make_unique<RGp_InvocationTable>();
  if (RGp_NodeInvocation* found = table_->Find(node)) return found;
  table_->ReserveOne();
  auto* invocation = new (table_->Arena()) RGp_NodeInvocation(node, this, mayRenderIntoDestination);
  table_->Add(node, invocation);
  return invocation;
}

void RG_Traverser::Execute(const RG_RenderRequest& request, M_LRect* outRect, char* outFlags,
                           PF_World** outWorld, RG_BufferLock** outLock) {
  RGp_WithFailuresReported([&] { ExecuteReported(request, outRect, outFlags, outWorld, outLock); });
}

void RG_Traverser::ExecuteReported(const RG_RenderRequest& request, M_LRect* outRect,
                                   char* outFlags, PF_World** outWorld, RG_BufferLock** outLock) {
  InitStackMarkers();
  *outWorld = nullptr;
  if (outLock != nullptr) *outLock = nullptr;
  *outRect = M_LRect{};
  if (PF_BytesPerPixel(request.bit_depth) == 0) {
    RGp_FailErrString(RGp_LOC_EXECUTE, "A render request must have a bit depth of 8, 16 or 32.",
                      U_ERR_BAD_PARAMETER);
  }
  if (root_ == nullptr) return;

  // Declared before the root result so that GraphEnd comes after the result
  // has released what it still holds.
  std::optional<RGp_GraphScope> graphScope;
  if (RG_GraphProfiler* profiler = RG_GetProfiler()) graphScope.emplace(profiler, root_);

  RGp_NodeInvocation* rootInvocation = GetInvocation(root_, dest_world_ != nullptr);
  RG_CheckoutResult rootResult;
  rootResult.request_ = request;
  rootInvocation->PreRenderForRequest(rootResult.request_, &rootResult);
  if (M_IsEmpty(rootResult.rect_)) return;

  rootInvocation->PropagateOutputRects();
  rootInvocation->RenderInvocation(&rootResult);

  if (outLock == nullptr && rootResult.lock_ != nullptr) {
    // The caller cannot keep the lock, so it gets an independent copy of the
    // pixels; the view and then the lock go.
    PF_World* old = rootResult.world_.get();
    std::unique_ptr<PF_World> copy(PF_World::New(old->GetRect(), old->GetDepth(), 0));
    const M_LRect whole{0, 0, old->width, old->height};
    copy->CopyPixels(old, &whole, 0, 0);
    rootResult.world_ = std::move(copy);
    rootResult.lock_.reset();
  }

  // Nothing below can fail: the outputs are written only for a complete
  // execution.
  *outRect = rootResult.rect_;
  *outFlags = rootResult.flags_;
  *outWorld = rootResult.world_.release();
  if (outLock != nullptr) *outLock = rootResult.lock_.release();
}

void RG_Traverser::Execute(const RG_RenderRequest& request, const M_LRect& destRect,
                           PF_World* destWorld, M_LRect* outRect) {
  RGp_WithFailuresReported([&] { ExecuteReported(request, destRect, destWorld, outRect); });
}

void RG_Traverser::ExecuteReported(const RG_RenderRequest& request, const M_LRect& destRect,
                                   PF_World* destWorld, M_LRect* outRect) {
  // A buffer of another size would be written at the wrong place, one of
  // another depth misread.
  if (destWorld == nullptr || M_IsEmpty(destRect) ||
      destWorld->width != int64_t{destRect.right} - destRect.left ||
      destWorld->height != int64_t{destRect.bottom} - destRect.top ||
      destWorld->GetDepth() != request.bit_depth) {
    RGp_FailErrString(RGp_LOC_EXECUTE,
                      "The destination buffer must have the size of the destination rect and "
                      "the bit depth of the request.",
                      U_ERR_BAD_PARAMETER);
  }
  dest_world_ = destWorld;
  dest_rect_ = destRect;

  char flags = 0;
  PF_World* world = nullptr;
  RG_BufferLock* lock = nullptr;
  Execute(request, outRect, &flags, &world, &lock);
  // The lock dies before the world it guards; the destination itself is the
  // caller's and is never deleted.
  std::unique_ptr<PF_World> ownedWorld(world != destWorld ? world : nullptr);
  std::unique_ptr<RG_BufferLock> ownedLock(lock);

  if (world != nullptr &&
      ((world != destWorld && !world->RefersTo(destWorld)) || lock != nullptr)) {
    const M_LRect whole{0, 0, world->width, world->height};
    destWorld->CopyPixels(world, &whole, outRect->left - destRect.left,
                          outRect->top - destRect.top);
    ownedLock.reset();
  }

  const M_LRect& out = *outRect;
  if (out.left > destRect.left || out.right < destRect.right || out.top > destRect.top ||
      out.bottom < destRect.bottom) {
    // Clear what the result does not cover, within the requested area, in
    // the destination's own pixel grid.
    const M_LRect q = M_RelativeTo(request.rect, destRect);
    const M_LRect r = M_RelativeTo(out, destRect);
    const M_LRect whole{0, 0, destWorld->width, destWorld->height};
    if (M_SameArea(q, whole)) {
      destWorld->ClearOutside(r);
    } else {
      // Only the part of the request that lies on the destination can be
      // cleared; a request reaching beyond it must not make a view outside
      // the buffer.
      const M_LRect area = M_Intersect(q, whole);
      if (!M_IsEmpty(area)) {
        std::unique_ptr<PF_World> view(PF_World::NewReference(destWorld, area));
        view->ClearOutside(M_RelativeTo(r, area));
      }
    }
  }
}

void RG_Traverser::PreRenderGraph(const RG_RenderRequest& request) {
  InitStackMarkers();
  if (root_ == nullptr) return;
  RGp_NodeInvocation* rootInvocation = GetInvocation(root_, false);
  RG_CheckoutResult rootResult;
  rootResult.request_ = request;
  rootInvocation->PreRenderForRequest(rootResult.request_, &rootResult);
  if (!M_IsEmpty(rootResult.rect_)) rootInvocation->PropagateOutputRects();
}

void RG_Traverser::RenderStartingAtNode(const RG_RenderNode*, PF_World**, RG_BufferLock**) {}

M_LRect RG_Traverser::GetNodeRect(const RG_RenderNode* node) const {
  const RGp_NodeInvocation* invocation = table_ ? table_->Find(node) : nullptr;
  return invocation ? invocation->DeclaredRect() : M_LRect{};
}

RG_NodeData* RG_Traverser::GetNodeData(const RG_RenderNode* node) const {
  const RGp_NodeInvocation* invocation = table_ ? table_->Find(node) : nullptr;
  return invocation ? invocation->NodeData() : nullptr;
}

void RG_ExecuteGraph(const RG_RenderNode* root, const RG_RenderRequest& request, M_LRect* outRect,
                     char* outFlags, PF_World** outWorld, RG_BufferLock** outLock) {
  RG_Traverser traverser(root);
  traverser.Execute(request, outRect, outFlags, outWorld, outLock);
}

void RG_ExecuteGraph(const RG_RenderNode* root, const RG_RenderRequest& request,
                     const M_LRect& destRect, PF_World* destWorld, M_LRect* outRect) {
  RG_Traverser traverser(root);
  traverser.Execute(request, destRect, destWorld, outRect);
}
