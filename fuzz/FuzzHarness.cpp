#include "FuzzHarness.h"

#include <cstdio>
#include <cstdlib>

#include "rg/rg.h"

void Finding(const char* what) {
  std::fprintf(stderr, "%s: %s\n", kFuzzTargetName, what);
  std::abort();
}

FuzzLeakCheck::FuzzLeakCheck() : objects_before_(U_GetTrackedStats().live_objects) {
  U_ClearReportLog();
}

FuzzLeakCheck::~FuzzLeakCheck() {
  const PF_WorldStats worlds = PF_GetWorldStats();
  if (worlds.live_worlds != 0 || worlds.live_pixel_bytes != 0)
    Finding("worlds or pixel bytes left alive");
  if (U_GetTrackedStats().live_objects != objects_before_) Finding("tracked objects left alive");
}

// Buffers above 32 MiB fail as they would on a machine out of memory: the
// host turns the failed allocation into U_ERR_OUT_OF_MEMORY. Graphs that zoom
// far in and back out legitimately ask for such buffers; without the cap
// they would exhaust the fuzzer's memory instead of exercising that path.
extern "C" const char* __asan_default_options() {
  return "allocator_may_return_null=1:max_allocation_size_mb=32";
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (RG_CheckVersions(0, RG_HEADER_VERSION) != 0) Finding("version handshake failed");
  return 0;
}
