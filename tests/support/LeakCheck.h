// Test fixture that fails a test which leaves a tracked object, a world or a
// pixel byte alive, and resets the host state tests commonly touch.
#pragma once

#include <gtest/gtest.h>

class LeakCheckTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

 private:
  long live_objects_before_ = 0;
};
