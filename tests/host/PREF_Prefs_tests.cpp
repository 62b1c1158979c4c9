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
  // A missing section or key is ignored, never stored or dereferenced.
  for (int store = 0; store < PREF_STORE_COUNT; ++store) {
    PREF_SetTextPrefLong(PREFp_G[store], "S", "K", 10 + store);
    PREF_SetTextPrefLong(PREFp_G[store], nullptr, "K", 6);
    PREF_SetTextPrefLong(PREFp_G[store], "S", nullptr, 7);
    PREF_RemovePref(PREFp_G[store], nullptr, "K");
    PREF_RemovePref(PREFp_G[store], "S", nullptr);
  }
  for (int store = 0; store < PREF_STORE_COUNT; ++store)
    EXPECT_EQ(Get(store, "S", "K", 0), 10 + store) << "store " << store;
  EXPECT_EQ(Get(2, "Other", "K", 3), 3);
  PREF_SetTextPrefLong(PREFp_G[2], "S", "K", -42);
  EXPECT_EQ(Get(2, "S", "K", 17), -42);
  PREF_RemovePref(PREFp_G[2], "S", "K");
  EXPECT_EQ(Get(2, "S", "K", 17), 17);
  EXPECT_EQ(Get(1, "S", "K", 0), 11);
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

// The file is read on the first use of the stores in a process, so each run
// is a fresh copy of the test program; without RG_PREFS_FILE the stores
// start empty. Lines trim both ends (carriage returns too), inside brackets
// as well; comments and lines without '=' are skipped, and a value that is
// not wholly a long gives the default (6). The first line and the last,
// which has no newline, are entries too.
TEST_F(PREFPrefsTest, FileMustLoadFirstToLastLineIntoEveryStoreTrimmedOrGiveTheDefault) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        unsetenv("RG_PREFS_FILE");
        std::_Exit(Get(0, "Misc", "Answer", 17) == 17 ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
  char path[] = "/tmp/rghost_prefs_XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  std::ofstream(path) << "Lead=21\n; comment\n# comment=1\n  [ Stack Usage 2 ]  \r\n"
                      << "Per-Node = 12345\r\nTotal=8000\nTotal 2\n Spaced Key\t=\t-7 \n"
                      << "[Misc]\nLock on Checkin=0\nBroken=12abc\nEquals=3=4\nEmpty=\n"
                      << "Word=abc\nHuge=99999999999999999999\nLast=9";
  // clang-format off
  const struct { const char *section, *key; long expected; } cases[] = {
      {"", "Lead", 21}, {"Stack Usage 2", "Per-Node", 12345}, {"Stack Usage 2", "Total", 8000},
      {"Stack Usage 2", "Spaced Key", -7}, {"Stack Usage 2", "Total 2", 6}, {"Misc", "Total", 6},
      {"Misc", "Lock on Checkin", 0}, {"", "# comment", 6}, {"Misc", "Broken", 6},
      {"Misc", "Equals", 6}, {"Misc", "Empty", 6}, {"Misc", "Word", 6}, {"Misc", "Huge", 6},
      {"Misc", "Last", 9}};
  // clang-format on
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
        PREF_SetTextPrefLong(PREFp_G[2], "Misc", "Broken", 4);
        wrong += Get(2, "Misc", "Broken", 6) != 4;
        PREF_ResetAll();
        wrong += Get(2, "Stack Usage 2", "Total", 1) != 1;
        std::fflush(nullptr);
        std::_Exit(wrong);
      },
      ::testing::ExitedWithCode(0), "");
  std::remove(path);
}

}  // namespace
