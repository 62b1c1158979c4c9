// Preference stores: editing, defaults, store separation and loading the
// INI file named by RG_PREFS_FILE.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "rghost/PREF_Prefs.h"
#include "rghost/U_Errors.h"
#include "rghost/U_Services.h"
#include "support/LeakCheck.h"

namespace {

class PREFPrefsTest : public LeakCheckTest {
 protected:
  void TearDown() override {
    PREF_ResetAll();
    LeakCheckTest::TearDown();
  }
};

long Get(int store, const char* section, const char* key, long def) {
  long value = -999;
  EXPECT_EQ(PREF_GetTextPrefLong(PREFp_G[store], PREF_Helper(section), key, def, &value), 0);
  return value;
}

TEST_F(PREFPrefsTest, SetGetRemoveAndStoresAreSeparate) {
  PREF_ResetAll();
  EXPECT_EQ(Get(2, "Misc Section", "Answer", 17), 17);
  PREF_SetTextPrefLong(PREFp_G[2], "Misc Section", "Answer", -42);
  EXPECT_EQ(Get(2, "Misc Section", "Answer", 17), -42);
  EXPECT_EQ(Get(0, "Misc Section", "Answer", 17), 17);
  EXPECT_EQ(Get(2, "Other Section", "Answer", 3), 3);
  PREF_RemovePref(PREFp_G[2], "Misc Section", "Answer");
  EXPECT_EQ(Get(2, "Misc Section", "Answer", 17), 17);

  PREF_SetTextPrefLong(PREFp_G[1], "S", "K", 5);
  PREF_ResetAll();
  EXPECT_EQ(Get(1, "S", "K", 0), 0);
}

TEST_F(PREFPrefsTest, ReadsAreFallibleAndCheckTheirArguments) {
  long value = 1;
  U_InjectFailure(0, 88);
  EXPECT_EQ(PREF_GetTextPrefLong(PREFp_G[2], PREF_Helper("S"), "K", 0, &value), 88);
  EXPECT_EQ(value, 1);
  EXPECT_EQ(PREF_GetTextPrefLong(nullptr, PREF_Helper("S"), "K", 0, &value), U_ERR_BAD_PARAMETER);
  EXPECT_EQ(PREF_GetTextPrefLong(PREFp_G[2], PREF_Helper("S"), "K", 0, nullptr),
            U_ERR_BAD_PARAMETER);
}

// The file is read on the first use of the stores in a process, so this runs
// in a fresh copy of the test program.
TEST_F(PREFPrefsTest, FileLoadsIntoEveryStoreOnFirstUse) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  char path[] = "/tmp/rghost_prefs_XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  {
    std::ofstream out(path);
    out << "; comment\n"
        << "[Max KeenEffects Stack Usage 2]\n"
        << "Per-Node = 12345\n"
        << "Total=8000\n"
        << "\n"
        << "[Misc Section]\n"
        << "Delete Buffer Lock on KeenFX Checkin=0\n"
        << "Broken=12abc\n";
  }
  const std::string file = path;
  EXPECT_EXIT(
      {
        setenv("RG_PREFS_FILE", file.c_str(), 1);
        bool ok = true;
        for (int store = 0; store < PREF_STORE_COUNT; ++store) {
          ok = ok && Get(store, "Max KeenEffects Stack Usage 2", "Per-Node", 0) == 12345;
          ok = ok && Get(store, "Max KeenEffects Stack Usage 2", "Total", 0) == 8000;
          ok = ok && Get(store, "Misc Section", "Delete Buffer Lock on KeenFX Checkin", 1) == 0;
          ok = ok && Get(store, "Misc Section", "Broken", 6) == 6;  // does not parse
          ok = ok && Get(store, "Misc Section", "Total", 6) == 6;   // other section's key
        }
        // Editing works on top of the file; a reset does not bring it back.
        PREF_SetTextPrefLong(PREFp_G[2], "Misc Section", "Broken", 4);
        ok = ok && Get(2, "Misc Section", "Broken", 6) == 4;
        PREF_ResetAll();
        ok = ok && Get(2, "Max KeenEffects Stack Usage 2", "Total", 1) == 1;
        std::fflush(nullptr);
        std::_Exit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
  std::remove(path);
}

}  // namespace
