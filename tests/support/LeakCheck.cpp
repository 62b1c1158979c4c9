#include "support/LeakCheck.h"

#include "rghost/PF_World.h"
#include "rghost/U_Memory.h"
#include "rghost/U_Report.h"
#include "rghost/U_Services.h"

void LeakCheckTest::SetUp() {
  U_ClearInjectedFailure();
  U_ClearReportLog();
  U_SetClock(nullptr);
  PF_ResetWorldStats();
  live_objects_before_ = U_GetTrackedStats().live_objects;
}

void LeakCheckTest::TearDown() {
  U_ClearInjectedFailure();
  U_SetClock(nullptr);
  const PF_WorldStats worlds = PF_GetWorldStats();
  EXPECT_EQ(worlds.live_worlds, 0) << "worlds left alive";
  EXPECT_EQ(worlds.live_pixel_bytes, 0) << "pixel bytes left alive";
  EXPECT_EQ(U_GetTrackedStats().live_objects, live_objects_before_) << "tracked objects left alive";
}
