// Row scheduling of the compositing kernels: runs a row body over a list of
// rows in chunks, on the calling thread alone or split across the threads that
// PF_SetThreadCount allows, and polls the caller's progress record.
//
// Threads: only the calling thread ever calls the progress record's
// callbacks. Each thread owns one PFh_RowScratch. Rows are independent, so the
// result never depends on how they are split.
#pragma once

#include <functional>
#include <vector>

#include "BlendMath.h"
#include "rghost/PF_Transfer.h"

// Working memory of one thread, reused for every row it processes (owned by
// the scheduler; bodies resize the vectors as they need).
struct PFh_RowScratch {
  std::vector<float> coverage;
  std::vector<PFh_RGBA> pixels;
};

// body(i, scratch) processes row i of [0, rowCount). pixelCount is the whole
// job's size: small jobs stay on the calling thread. Calls the abort callback
// before the first row and at least every 16 rows, and returns its nonzero
// code at once (rows already done stay done); a failure inside a body is
// returned as a host error code.
long PFh_RunRows(PF_ProgressInfo* progress, long rowCount, long long pixelCount,
                 const std::function<void(long, PFh_RowScratch&)>& body);
