#include "rg/RG_RenderNode.h"

#include <cxxabi.h>

#include <cstdlib>
#include <exception>
#include <memory>
#include <new>
#include <typeinfo>
#include <utility>
#include <vector>

#include "rghost/PF_Transfer.h"
#include "rghost/U_Report.h"

constinit std::atomic<uint32_t> RG_RenderNode::S_globally_unique_seedL{0};

RG_NodeData::~RG_NodeData() = default;
RG_BufferLock::~RG_BufferLock() = default;
RG_ProgAbort::~RG_ProgAbort() = default;

RG_RenderNode::RG_RenderNode()
    : globally_unique_id_(S_globally_unique_seedL.fetch_add(1, std::memory_order_relaxed) + 1) {}

void RG_RenderNode::RemoveChildren(RG_RenderNode* node, NodeList& list) {
  // The list takes its reference before the slot lets go of its own, so no
  // input reaches a count of 0 here.
  for (const U_SharedPtr<RG_RenderNode>& input : node->inputs_) {
    if (!input) continue;
    list.push_back(input.get());
    input->AddReference();
  }
  node->inputs_.clear();
}

RG_RenderNode::~RG_RenderNode() {
  // Dismantle the inputs that die with this node level by level rather than
  // through nested destructors, so a deep chain does not exhaust the stack: a
  // node about to die is first stripped of its inputs (they go to the next
  // level), and then its own destructor has nothing left to recurse into.
  if (!inputs_.empty()) {
    NodeList current;
    NodeList next;
    size_t index = 0;
    try {
      RemoveChildren(this, current);
      while (!current.empty()) {
        for (index = 0; index < current.size(); ++index) {
          RG_RenderNode* n = current[index];
          // Only the list still refers to n, so n dies when it is released.
          if (n->GetRefCount() == 1) RemoveChildren(n, next);
          n->RemoveReference();
        }
        current.clear();
        current.swap(next);
      }
    } catch (const std::bad_alloc&) {
      // The work lists could not grow: release what they hold the ordinary
      // way, recursing through the destructors. current[index] was not
      // released yet, so it is included.
      for (size_t i = index; i < current.size(); ++i) current[i]->RemoveReference();
      for (RG_RenderNode* n : next) n->RemoveReference();
    }
  }
  // Releases the slots left when the breadth-first pass did not run or
  // stopped early.
  inputs_.clear();
  SetProgAbort(nullptr);
}

M_LRect RG_RenderNode::ComputeContentBounds(RG_ContentBoundsType) const {
  M_LRect unbounded;
  unbounded.left = INT32_MIN;
  unbounded.top = INT32_MIN;
  unbounded.right = INT32_MAX;
  unbounded.bottom = INT32_MAX;
  return unbounded;
}

std::string RG_RenderNode::GetProfileLabel() const {
  const char* mangled = typeid(*this).name();
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> demangled(
      abi::__cxa_demangle(mangled, nullptr, nullptr, &status), std::free);
  if (status == 0 && demangled) return std::string(demangled.get());
  return std::string(mangled);
}

bool RG_RenderNode::ContentBoundsDifferByType() const { return false; }

bool RG_RenderNode::CanRenderNativelyAtDepth(short) const { return true; }

int32_t RG_RenderNode::GetNumInputs() const { return static_cast<int32_t>(inputs_.size()); }

const RG_RenderNode* RG_RenderNode::GetInput(long index) const {
  return inputs_[static_cast<size_t>(index)].get();
}

namespace {

// How deep GetContentBounds and ContentBoundsTypesDiffer calls nest on this
// thread: a node answers from its inputs' answers, so the nesting follows the
// graph's depth.
__attribute__((tls_model("initial-exec"))) thread_local int t_bounds_nesting = 0;
// Beyond this nesting the inputs' answers are settled first, bottom up from a
// work list, so the nesting stays bounded whatever the depth.
constexpr int kBoundsNestingLimit = 256;

struct BoundsNestingScope {
  BoundsNestingScope() { ++t_bounds_nesting; }
  ~BoundsNestingScope() { --t_bounds_nesting; }
  BoundsNestingScope(const BoundsNestingScope&) = delete;
  BoundsNestingScope& operator=(const BoundsNestingScope&) = delete;
};

// Calls settle(n) on every input n below `node` for which unsettled(n) holds,
// each after its own unsettled inputs, from a work list: settle(n) then finds
// n's inputs settled and nests one level only.
template <class Unsettled, class Settle>
void SettleInputsBottomUp(const RG_RenderNode* node, Unsettled unsettled, Settle settle) {
  std::vector<std::pair<const RG_RenderNode*, int32_t>> path{{node, 0}};  // node, next input
  while (!path.empty()) {
    auto& [current, next] = path.back();
    if (next < current->GetNumInputs()) {
      const RG_RenderNode* input = current->GetInput(next++);
      if (input != nullptr && unsettled(input)) path.emplace_back(input, 0);
      continue;
    }
    const RG_RenderNode* done = current;
    path.pop_back();
    if (done != node) settle(done);
  }
}

}  // namespace

bool RG_RenderNode::ContentBoundsTypesDiffer() const {
  if (bounds_differ_ < 0) {
    if (t_bounds_nesting >= kBoundsNestingLimit)
      SettleInputsBottomUp(
          this, [](const RG_RenderNode* n) { return n->bounds_differ_ < 0; },
          [](const RG_RenderNode* n) { n->ContentBoundsTypesDiffer(); });
    const BoundsNestingScope nesting;
    bounds_differ_ = ContentBoundsDifferByType();
  }
  return bounds_differ_ != 0;
}

M_LRect RG_RenderNode::GetContentBounds(RG_ContentBoundsType type) const {
  const int t = type;
  const int other = 1 - t;
  if (content_bounds_computed_[t]) return content_bounds_[t];
  if (t_bounds_nesting >= kBoundsNestingLimit)
    SettleInputsBottomUp(
        this, [t](const RG_RenderNode* n) { return !n->content_bounds_computed_[t]; },
        [type](const RG_RenderNode* n) { n->GetContentBounds(type); });
  const BoundsNestingScope nesting;
  if (ContentBoundsTypesDiffer()) {
    content_bounds_[t] = ComputeContentBounds(type);
    content_bounds_computed_[t] = true;
  } else if (content_bounds_computed_[other]) {
    content_bounds_[t] = content_bounds_[other];
    content_bounds_computed_[t] = true;
  } else {
    // The types do not differ: one computation, with type 0, serves both.
    SetContentBounds(ComputeContentBounds(RG_CONTENT_BOUNDS_TYPE0));
  }
  return content_bounds_[t];
}

void RG_RenderNode::SetLegacyEffectBounds(const M_LRect& rect) const {
  legacy_effect_bounds_ = rect;
  has_legacy_effect_bounds_ = true;
}

void RG_RenderNode::SetProgAbort(RG_ProgAbort* progress) {
  // The old one dies after the new one is in place, so a destructor that
  // asks this node for its progress finds the new one.
  std::unique_ptr<RG_ProgAbort> old =
      std::exchange(prog_abort_, std::unique_ptr<RG_ProgAbort>(progress));
}

void RG_RenderNode::SetContentBounds(RG_ContentBoundsType type, const M_LRect& rect) const {
  content_bounds_[type] = rect;
  content_bounds_computed_[type] = true;
}

void RG_RenderNode::SetContentBounds(const M_LRect& rect) const {
  SetContentBounds(RG_CONTENT_BOUNDS_TYPE0, rect);
  SetContentBounds(RG_CONTENT_BOUNDS_TYPE1, rect);
}

bool RG_RenderNode::ContentBoundsComputed(RG_ContentBoundsType type) const {
  return content_bounds_computed_[type];
}

bool RG_RenderNode::ContentBoundsComputed() const {
  return content_bounds_computed_[RG_CONTENT_BOUNDS_TYPE0];
}

void RG_RenderNode::StartProgress() const {
  if (prog_abort_) prog_abort_->StartProgress();
}

void RG_RenderNode::CheckAbort() const {
  if (prog_abort_) prog_abort_->CheckAbort();
}

void RG_RenderNode::Progress(long current, long total) const {
  if (prog_abort_) prog_abort_->Progress(current, total);
}

PF_ProgressInfo* RG_RenderNode::MakePFProgInfo(PF_ProgressInfo* info) const {
  if (!prog_abort_) return nullptr;
  info->context = const_cast<RG_RenderNode*>(this);
  info->abort_callback = &RG_RenderNode::PF_AbortGlue;
  info->progress_callback = &RG_RenderNode::PF_ProgressGlue;
  return info;
}

// The host's pixel routines call these through plain function pointers, so
// an abort raised by the progress object comes back as an error code; other
// exception types are not ours to translate and pass through.
long RG_RenderNode::PF_AbortGlue(void* context) {
  try {
    static_cast<const RG_RenderNode*>(context)->CheckAbort();
  } catch (long code) {
    return code;
  } catch (const std::exception& e) {
    return U_TranslateAndReportException(e);
  }
  return 0;
}

long RG_RenderNode::PF_ProgressGlue(void* context, long current, long total) {
  try {
    static_cast<const RG_RenderNode*>(context)->Progress(current, total);
  } catch (long code) {
    return code;
  } catch (const std::exception& e) {
    return U_TranslateAndReportException(e);
  }
  return 0;
}

RG_OneInputNode::RG_OneInputNode() { inputs_.emplace_back(); }

RG_OneInputNode::~RG_OneInputNode() = default;

RG_ThreeInputNode::RG_ThreeInputNode(RG_RenderNode* input0, RG_RenderNode* input1,
                                     RG_RenderNode* input2) {
  inputs_.resize(3);
  inputs_[0] = input0;
  inputs_[1] = input1;
  inputs_[2] = input2;
}

RG_ThreeInputNode::~RG_ThreeInputNode() = default;
