// One rectangle of pixels as a node sees it during a traversal: an input
// result (what the node receives of an input) or an output result (what it
// delivers).
//
// Ownership: results are made and destroyed only by the traversal; nodes get
// borrowed pointers. A result owns its world and its buffer lock and deletes
// the lock first, then the world. Each result is one tracked host object
// (U_GetTrackedStats counts it) from its creation until it dies.
#pragma once

#include <cstdint>
#include <memory>

#include "rg/RG_Export.h"
#include "rg/RG_RenderRequest.h"
#include "rghost/M_Geometry.h"
#include "rghost/U_Memory.h"

class PF_World;
class RG_BufferLock;
class RG_Traverser;
class RGp_NodeInvocation;

class RG_API RG_CheckoutResult : public U_MemTrackedObject {
 public:
  RG_CheckoutResult(const RG_CheckoutResult&) = delete;
  RG_CheckoutResult& operator=(const RG_CheckoutResult&) = delete;
  ~RG_CheckoutResult();

  const RG_RenderRequest& GetGeneratingRequest() const { return request_; }
  // The area the consumer receives.
  const M_LRect& GetRect() const { return rect_; }
  // The area the producer delivers; ForceRect never changes it.
  const M_LRect& GetResultRect() const { return result_rect_; }
  // The producer's output flags (bit 0: every pixel is opaque).
  char GetFlags() const { return flags_; }
  long GetNewWorldFlags() const { return new_world_flags_; }
  bool IsInput() const { return !is_output_ || works_in_place_; }

  // The world for reading, rendered on demand (null for an empty rect). The
  // result keeps ownership.
  const PF_World* GetWorld();
  // The output buffer, allocated or rendered on demand.
  PF_World* GetOutputWorld();
  // A buffer the node may write, or null when the input is a shared view.
  PF_World* GetWritableWorld();
  // Throws 3 when the result has not been rendered yet.
  bool WorldIsWritable() const;
  // Hands a buffer over to the caller: the world itself when writable (the
  // result forgets it), otherwise a copy.
  PF_World* TakeOwnershipOfWorld();
  // Installs a buffer the node made itself, of exactly the rect's size;
  // takes ownership of both arguments in every case, also when it throws.
  // The world is placed at the rect (its origin becomes the rect's top-left),
  // except a view on a cache node's output: a view of the cache must already
  // show the rect's place, or its pixels would land shifted, and one of
  // another place is refused with code 3.
  void SetOutputWorld(PF_World* world, RG_BufferLock* lock);
  // Check-in: frees the world early (and the lock, unless the preference
  // "Delete Buffer Lock on KeenFX Checkin" is 0).
  void Release();
  // Converts the present world to another depth.
  void CoerceBitDepth(short depth);
  // Pre-render only: changes the rect the consumer receives.
  void ForceRect(const M_LRect& rect);
  // Pre-render only: withdraws an input checkout. The pointer is dead afterwards.
  void SkipRendering();

 private:
  friend class RGp_NodeInvocation;
  friend class RG_Traverser;
  friend class RG_CacheNodeBase;
  friend struct RGp_CheckoutResultAccess;

  RG_CheckoutResult();
  bool IsOutputReference() const { return lock_ != nullptr; }

  RG_RenderRequest request_;  // generating request
  std::unique_ptr<PF_World> world_;
  M_LRect rect_;         // what the consumer receives
  M_LRect result_rect_;  // what the producer delivers
  int32_t checkout_group_ = 0;
  int32_t checkout_id_ = 0;
  bool is_output_ = false;
  char flags_ = 0;         // producer's output flags, copied when served
  char output_flags_ = 0;  // flags declared with the output
  int32_t new_world_flags_ = 0;
  M_LRect declared_output_rect_;
  // Declared after the world, so that it dies first.
  std::unique_ptr<RG_BufferLock> lock_;
  bool works_in_place_ = false;
  // SetOutputWorld refuses a world whose origin is not the rect's top-left.
  bool exact_placement_ = false;
  RGp_NodeInvocation* owner_ = nullptr;     // whose checkout list holds this result
  RGp_NodeInvocation* producer_ = nullptr;  // whose output fills it
};
