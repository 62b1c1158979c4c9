#include "composite/RGp_MatrixArray.h"

#include <exception>
#include <new>

#include "frame/RGp_Errors.h"
#include "rghost/U_Errors.h"
#include "rghost/U_Memory.h"
#include "rghost/U_Report.h"

namespace {

constexpr size_t kMatrixBytes = sizeof(M_Matrix3);
static_assert(kMatrixBytes == 72, "the host's matrix is nine doubles");

struct AllocContext {
  size_t bytes = 0;
  void* block = nullptr;
};

// Runs inside U_PurgeLoop, which knows only status codes: every exception of
// the allocation is turned into one, and reports made meanwhile are deferred
// so that a retry that succeeds does not leave a stale report behind.
long AllocateBlock(void* context) {
  AllocContext* ctx = static_cast<AllocContext*>(context);
  U_DeferredReportingScope scope;
  const long started = U_DeferredReportingStart(16, &scope);
  if (started != 0) return started;
  long status = 0;
  try {
    ctx->block = U_MemTrackedObject::TrackedNew(ctx->bytes, false);
  } catch (long code) {
    status = code;
  } catch (const std::exception& e) {
    status = U_TranslateAndReportException(e);
  }
  U_DeferredReportingEnd(0, 0, &scope);
  return status;
}

}  // namespace

M_Matrix3* RGp_AllocMatrices(long count) {
  const size_t bytes = static_cast<size_t>(count) * kMatrixBytes;
  AllocContext ctx;
  ctx.bytes = bytes;
  const long status = U_PurgeLoop(bytes, &AllocateBlock, &ctx, 0);
  if (status != 0) {
    // A callback that allocated and still reported failure must not leak.
    if (ctx.block) U_MemTrackedObject::TrackedDelete(ctx.block);
    RGp_FailErrString(RGp_LOC_NONE, "The matrices of a transform node could not be allocated.",
                      status);
  }
  if (!ctx.block) {
    RGp_FailErrString(RGp_LOC_NONE, "The matrices of a transform node could not be allocated.",
                      U_ERR_OUT_OF_MEMORY);
  }
  M_Matrix3* matrices = static_cast<M_Matrix3*>(ctx.block);
  for (long i = 0; i < count; ++i) new (&matrices[i]) M_Matrix3();
  U_AccountAllocationEx(bytes, true);
  return matrices;
}

void RGp_FreeMatrices(M_Matrix3* matrices, long count) noexcept {
  if (!matrices) return;
  // M_Matrix3 is trivially destructible: the storage goes back as it is.
  U_MemTrackedObject::TrackedDelete(matrices);
  U_AccountAllocationEx(static_cast<size_t>(count) * kMatrixBytes, false);
}
