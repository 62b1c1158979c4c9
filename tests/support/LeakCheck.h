// Test fixture that fails a test which leaves a tracked object, a world, a
// pixel byte or an accounted allocation alive, and resets the host state
// tests commonly touch.
#pragma once

#include <gtest/gtest.h>

#include "rghost/PF_World.h"
#include "rghost/U_Memory.h"
#include "rghost/U_Report.h"
#include "rghost/U_Services.h"

class LeakCheckTest : public ::testing::Test {
 protected:
  void SetUp() override {
    U_ClearInjectedFailure();
    U_ClearReportLog();
    U_SetClock(nullptr);
    PF_ResetWorldStats();
    live_objects_before_ = U_GetTrackedStats().live_objects;
  }
  void TearDown() override {
    U_ClearInjectedFailure();
    U_SetClock(nullptr);
    EXPECT_EQ(PF_GetWorldStats().live_worlds, 0) << "worlds left alive";
    EXPECT_EQ(PF_GetWorldStats().live_pixel_bytes, 0) << "pixel bytes left alive";
    EXPECT_EQ(U_GetTrackedStats().live_objects, live_objects_before_)
        << "tracked objects left alive";
    EXPECT_EQ(U_AccountedBytes(), 0) << "accounted bytes left, or a count not from 0";
  }

 private:
  long live_objects_before_ = 0;
};
