// One run of the program: renders the frames a RenderOptions asks for and
// writes the images, the profile and the figures. Returns the process exit
// code: 0 done, 1 rendering failed, 2 bad input (one-line message on
// standard error), 130 aborted by the user.
#pragma once

#include <optional>
#include <string>

#include "rghost/M_Geometry.h"

struct RenderOptions {
  std::string scene;
  std::string output;                              // '#' runs become the frame number
  std::optional<int32_t> first_frame, last_frame;  // default: the scene's range
  int depth = 8;
  int field = 0;
  std::optional<M_LRect> rect;  // default: the whole frame
  bool into_buffer = false;     // render into a destination buffer of the program's own
  // Rows per strip of the destination form (see StripRows); 0 renders the
  // frame in one execution, -1 lets the program choose.
  int strip_rows = -1;
  double cache_mb = 256;
  int threads = 1;      // for the host's compositing kernels (PF_SetThreadCount)
  std::string profile;  // .dot or .svg
  std::string stats;    // .json
  std::string trace;    // .json, trace events
  bool progress = false;
};

int RunRender(const RenderOptions& options);

// The command line front end (main calls it; tests call it with argv).
int RgrenderMain(int argc, const char* const* argv);
