// The state of one node within one traversal, and the object a node talks to
// while it is pre-rendered and rendered.
//
// Ownership: an invocation belongs to its traverser's table and lives in
// the table's arena. It owns its checkout results (and through them
// their worlds and buffer locks), its node data and its node buffer. It
// borrows its node and its traverser. Producer and owner links between
// invocations are borrowed; every invocation lives until the traverser dies.
//
// Each pass has its file: RGp_PreRenderPass.cpp (checkouts, output
// declaration), RGp_PropagationPass.cpp, RGp_RenderPass.cpp (rendering,
// hand-over of buffers, check-in). RGp_NodeInvocation.cpp keeps the life
// of an invocation and its checkout list.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "exec/RGp_CheckoutList.h"
#include "rg/RG_NodeCallbacks.h"
#include "rg/RG_RenderRequest.h"
#include "rghost/M_Geometry.h"

class PF_World;
class RGp_Arena;
class RG_CheckoutResult;
class RG_NodeData;
class RG_RenderNode;
class RG_Traverser;

class RGp_NodeInvocation final : public RG_NodePreRenderCB, public RG_NodeRenderCB {
 public:
  RGp_NodeInvocation(const RG_RenderNode* node, RG_Traverser* traverser,
                     bool mayRenderIntoDestination);
  // Destroys every checkout (lock, world, result), the node data and the
  // node buffer.
  ~RGp_NodeInvocation();
  RGp_NodeInvocation(const RGp_NodeInvocation&) = delete;
  RGp_NodeInvocation& operator=(const RGp_NodeInvocation&) = delete;

  // Made in the traversal's arena; deleting one destroys it and leaves its
  // memory to the arena.
  static void* operator new(size_t size, RGp_Arena& arena);
  static void operator delete(void* p, RGp_Arena& arena) noexcept;
  static void operator delete(void* p, size_t size) noexcept;

  // RG_NodePreRenderCB
  RG_CheckoutResult* CheckoutInputWithID(long index, long id,
                                         const RG_RenderRequest& request) override;
  RG_CheckoutResult* CheckoutInput(long index, const RG_RenderRequest& request) override;
  RG_CheckoutResult* RequestOutput(const M_LRect& rect, char outputFlags,
                                   long newWorldFlags) override;
  void RequestOutputInPlace(RG_CheckoutResult* in, const M_LRect& rect, char outputFlags,
                            long newWorldFlags) override;
  void BeginCheckoutGroup() override;

  // RG_NodeRenderCB
  RG_CheckoutResult* GetNextCheckout() override;
  RG_CheckoutResult* GetCheckoutByID(int32_t id) override;

  // Pre-render pass: pre-renders this node for `request` unless its current
  // pre-render already serves it, then fills `target` (a consumer's input
  // result or the root result) with what the node delivers to it.
  void PreRenderForRequest(const RG_RenderRequest& request, RG_CheckoutResult* target);
  // Propagation pass: grows each producer's output rect to what this node
  // takes from it and passes the clear and render-into-destination marks on.
  void PropagateOutputRects();

  // Render pass: renders the node if it has not rendered yet and delivers
  // its output into `target`, a result that was served from it.
  void RenderInvocation(RG_CheckoutResult* target);
  // Renders every input checkout of one group that has no world yet.
  void RenderCheckoutGroup(int32_t group);
  // Creates, clears and installs this node's output buffer. Nothing is
  // cleared when `overwritten` (render space), about to be written by the
  // caller, covers the whole buffer.
  void AllocateOutputWorld(bool keep, const M_LRect* overwritten = nullptr);
  // Drops one consumer without rendering; at the last one the node and what
  // only it reaches are released unrendered.
  void ReleaseConsumer();
  // Removes `result` from the checkout list without deleting it.
  void RemoveCheckout(RG_CheckoutResult* result);

  const M_LRect& DeclaredRect() const { return declared_rect_; }
  RG_NodeData* NodeData() const { return node_data_; }
  const M_LRect& OutputRect() const { return output_rect_; }
  void SetOutputRect(const M_LRect& rect) { output_rect_ = rect; }
  // A consumer forced a larger rect on a result served from this node: the
  // buffer must be cleared where the node renders nothing, also after a
  // later pre-render of the node declares its output afresh.
  void SetClearMark() { clear_mark_ = forced_clear_ = true; }
  uint32_t ConsumerCount() const { return consumer_count_; }
  // The node's Render has been called: its pre-render is over.
  bool Rendering() const { return rendering_; }

 private:
  using CheckoutList = RGp_CheckoutList;
  // Owns a result being made until it is in the checkout list.
  using ResultHolder = std::unique_ptr<RG_CheckoutResult>;

  // What both forms of output declaration record: `out` becomes the output.
  void DeclareOutput(RG_CheckoutResult* out, const M_LRect& rect, char outputFlags,
                     long newWorldFlags);
  long NextCheckoutID() const;
  static void CheckCheckoutID(long id);
  void InsertCheckout(RG_CheckoutResult* result);
  void DestroyCheckouts();
  void DeliverEmpty(RG_CheckoutResult* target);
  void DeliverOutput(RG_CheckoutResult* target);
  void DeliverShared(RG_CheckoutResult* target);
  void CopyToInPlaceConsumer(RG_CheckoutResult* target);
  void DeliverLast(RG_CheckoutResult* target);
  bool ViewsStillAlive(const PF_World* buffer) const;
  void DeliverLocked(RG_CheckoutResult* target);
  void InstallOutputWorld(std::unique_ptr<PF_World> world);
  void CheckIn();
  void MoveOutputIntoOwnBuffer();
  PF_World* SourceWorld() const;

  const RG_RenderNode* node_;            // borrowed
  CheckoutList checkouts_;               // owned results, sorted by checkout id
  RG_RenderRequest request_;             // stored request
  RG_CheckoutResult* output_ = nullptr;  // one of checkouts_
  std::unique_ptr<PF_World> node_buffer_;
  M_LRect output_rect_;
  M_LRect declared_rect_;  // the rect given with the latest output declaration
  bool clear_mark_ = false;
  bool forced_clear_ = false;  // a consumer's ForceRect asked for clearing
  bool render_into_dest_ = false;
  // An earlier consumer got a view of the output and may still read it, so
  // an in-place last consumer must write a copy.
  bool views_out_ = false;
  bool visited_ = false;
  // Set while the input of an in-place output is rendered into it after the
  // node's Render returned without touching the output: the node passes its
  // input through unchanged.
  bool passing_through_ = false;
  bool rendering_ = false;
  RG_NodeData* node_data_ = nullptr;  // owned
  uint32_t consumer_count_ = 0;
  int32_t checkout_group_ = 0;
  int32_t render_cursor_ = 0;
  bool may_render_into_dest_;
  RG_Traverser* traverser_;  // borrowed
};
