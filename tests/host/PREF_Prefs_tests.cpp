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

TEST_F(PREFPrefsTest, StoresMustBeSeparateEditableAndCheckTheirArguments) {
  PREF_ResetAll();
  EXPECT_EQ(Get(2, "Misc Section", "Answer", 17), 17);
  PREF_SetTextPrefLong(PREFp_G[2], "Misc Section", "Answer", -42);
  EXPECT_EQ(Get(2, "Misc Section", "Answer", 17), -42);
  EXPECT_EQ(Get(0, "Misc Section", "Answer", 17), 17);
  EXPECT_EQ(Get(2, "Other Section", "Answer", 3), 3);
  PREF_RemovePref(PREFp_G[2], "Misc Section", "Answer");
  EXPECT_EQ(Get(2, "Misc Section", "Answer", 17), 17);
  PREF_SetTextPrefLong(PREFp_G[1], "S", "K", 5);
  // A missing section or key is ignored, never stored or dereferenced.
  PREF_SetTextPrefLong(PREFp_G[1], nullptr, "K", 6);
  PREF_SetTextPrefLong(PREFp_G[1], "S", nullptr, 7);
  PREF_RemovePref(PREFp_G[1], nullptr, "K");
  PREF_RemovePref(PREFp_G[1], "S", nullptr);
  EXPECT_EQ(Get(1, "S", "K", 0), 5);
  PREF_ResetAll();
  EXPECT_EQ(Get(1, "S", "K", 0), 0);
  long value = 1;
  U_InjectFailure(0, 88);
  EXPECT_EQ(PREF_GetTextPrefLong(PREFp_G[2], PREF_Helper("S"), "K", 0, &value), 88);
  EXPECT_EQ(value, 1);
  EXPECT_EQ(PREF_GetTextPrefLong(nullptr, PREF_Helper("S"), "K", 0, &value), U_ERR_BAD_PARAMETER);
  EXPECT_EQ(PREF_GetTextPrefLong(PREFp_G[2], PREF_Helper("S"), "K", 0, nullptr),
            U_ERR_BAD_PARAMETER);
  EXPECT_EQ(PREF_GetTextPrefLong(PREFp_G[2], PREF_Helper("S"), nullptr, 0, &value),
            U_ERR_BAD_PARAMETER);
}

// Most hosts set no RG_PREFS_FILE at all: the stores start empty.
TEST_F(PREFPrefsTest, StoresMustStartEmptyWithoutAPreferenceFile) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        unsetenv("RG_PREFS_FILE");
        std::_Exit(Get(0, "Misc Section", "Answer", 17) == 17 ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

// The file is read on the first use of the stores in a process, so this runs
// in a fresh copy of the test program. Its lines trim both ends (carriage
// returns too), inside brackets as well; comments and lines without '='
// are skipped, and a value that is not wholly a long gives the default.
TEST_F(PREFPrefsTest, FileMustLoadIntoEveryStoreTrimmedAndUnparsableValuesGiveTheDefault) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  char path[] = "/tmp/rghost_prefs_XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  std::ofstream(path) << "; comment\n# comment=1\n  [ Max KeenEffects Stack Usage 2 ]  \r\n"
                      << "Per-Node = 12345\r\nTotal=8000\nTotal 2\n Spaced Key\t=\t-7 \n"
                      << "[Misc Section]\nDelete Buffer Lock on KeenFX Checkin=0\nBroken=12abc\n"
                      << "Equals=3=4\nEmpty=\nWord=abc\nHuge=99999999999999999999\n";
  const struct {
    const char *section, *key;
    long expected;  // the default is 6
  } cases[] = {{"Max KeenEffects Stack Usage 2", "Per-Node", 12345},
               {"Max KeenEffects Stack Usage 2", "Total", 8000},
               {"Max KeenEffects Stack Usage 2", "Spaced Key", -7},
               {"Max KeenEffects Stack Usage 2", "Total 2", 6},
               {"Misc Section", "Delete Buffer Lock on KeenFX Checkin", 0},
               {"Misc Section", "Total", 6},
               {"", "# comment", 6},
               {"Misc Section", "Broken", 6},
               {"Misc Section", "Equals", 6},
               {"Misc Section", "Empty", 6},
               {"Misc Section", "Word", 6},
               {"Misc Section", "Huge", 6}};
  const std::string file = path;
  EXPECT_EXIT(
      {
        setenv("RG_PREFS_FILE", file.c_str(), 1);
        int wrong = 0;
        for (int store = 0; store < PREF_STORE_COUNT; ++store)
          for (const auto& c : cases)
            if (Get(store, c.section, c.key, 6) != c.expected) {
              std::fprintf(stderr, "store %d %s/%s\n", store, c.section, c.key);
              ++wrong;
            }
        // Editing works on top of the file; a reset does not bring it back.
        PREF_SetTextPrefLong(PREFp_G[2], "Misc Section", "Broken", 4);
        wrong += Get(2, "Misc Section", "Broken", 6) != 4;
        PREF_ResetAll();
        wrong += Get(2, "Max KeenEffects Stack Usage 2", "Total", 1) != 1;
        std::fflush(nullptr);
        std::_Exit(wrong);
      },
      ::testing::ExitedWithCode(0), "");
  std::remove(path);
}

}  // namespace
