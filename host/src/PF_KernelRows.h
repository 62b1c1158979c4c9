// Row scheduling of the compositing kernels: runs a row body over a list of
// rows in chunks, on the calling thread alone or split across the threads that
// PF_SetThreadCount allows, and polls the caller's progress record.
//
// Threads: only the calling thread ever calls the progress record's
// callbacks. Each thread owns one PFh_RowScratch. Rows are independent, so the
// result never depends on how they are split.
#pragma once

#include <vector>

#include "BlendMath.h"
#include "rghost/PF_Transfer.h"

// Working memory of one thread, reused for every row it processes (owned by
// the scheduler; bodies resize the vectors as they need).
struct PFh_RowScratch {
  std::vector<float> coverage;
  std::vector<PFh_RGBA> pixels;
  std::vector<double> positions;
};

// A row body borrowed for one PFh_RunRows call: a callable taking
// (long row, PFh_RowScratch&), referred to without copying or allocating.
class PFh_RowBody {
 public:
  template <class F>
  PFh_RowBody(F& body)  // NOLINT: implicit, so call sites pass the lambda
      : object_(&body), call_([](void* o, long row, PFh_RowScratch& scratch) {
          (*static_cast<F*>(o))(row, scratch);
        }) {}
  void operator()(long row, PFh_RowScratch& scratch) const { call_(object_, row, scratch); }

 private:
  void* object_;
  void (*call_)(void*, long, PFh_RowScratch&);
};

// body(i, scratch) processes row i of [0, rowCount). pixelCount is the whole
// job's size: small jobs stay on the calling thread, larger ones are split
// in chunks of 16 rows over a oneTBB arena of PF_SetThreadCount threads.
// Polls the progress record on the calling thread before the first row and
// before each chunk that thread takes; with T threads at most 32 x T rows
// are begun between two polls whatever the scheduling, and none after a
// poll that returns nonzero, whose code is returned once the rows begun are
// done. A failure inside a body is returned as a host error code.
long PFh_RunRows(PF_ProgressInfo* progress, long rowCount, long long pixelCount, PFh_RowBody body);
