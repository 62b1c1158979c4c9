// Reports: the log, the sink, deferred delivery, exception translation and
// the localized-string lookup.
#include <cstdio>
#include <new>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "rghost/U_Errors.h"
#include "rghost/U_Report.h"
#include "rghost/U_Services.h"
#include "support/LeakCheck.h"

namespace {

class UReportTest : public LeakCheckTest {
 protected:
  void TearDown() override {
    U_SetReportSink(nullptr);
    LeakCheckTest::TearDown();
  }
  static std::vector<std::string> Texts() {
    std::vector<std::string> texts;
    for (const U_ReportRecord& r : U_ReportLog()) texts.push_back(r.text);
    return texts;
  }
};

TEST_F(UReportTest, EachKindMustBeLoggedWithItsOwnFieldsAndReachTheSink) {
  std::vector<std::string> seen;
  U_SetReportSink([&](const U_ReportRecord& r) { seen.push_back(r.text); });
  U_ReportFailedVerification(0x4E0003, 120, 0, "bad checkout");
  Up_ReportErrString(0x4E0007, 8, "Bad id.");
  Up_G_err_buf = 5;
  std::snprintf(Up_G_buffer, sizeof Up_G_buffer, "version %d", 2);
  Up_ReportError(33, 16);
  EXPECT_EQ(U_TranslateAndReportException(std::bad_alloc()), U_ERR_OUT_OF_MEMORY);
  EXPECT_EQ(U_TranslateAndReportException(std::runtime_error("boom")), U_ERR_INTERNAL);
  U_SetReportSink(nullptr);
  Up_ReportErrString(0, 8, "unseen");
  const auto fields = [](const U_ReportRecord& r) {
    return std::tuple(r.kind, r.location, r.line, r.code, r.text);
  };
  using K = U_ReportKind;
  const std::tuple<K, long, long, long, std::string> expected[] = {
      {K::FailedVerification, 0x4E0003, 120, 0, "bad checkout"},
      {K::ErrorString, 0x4E0007, 0, 8, "Bad id."},
      {K::Error, 0, 0, 33, "version 2"},
      {K::Error, 0, 0, U_ERR_OUT_OF_MEMORY, std::bad_alloc().what()},
      {K::Error, 0, 0, U_ERR_INTERNAL, "boom"},
      {K::ErrorString, 0, 0, 8, "unseen"}};
  ASSERT_EQ(U_ReportLog().size(), std::size(expected));
  for (size_t i = 0; i < std::size(expected); ++i)
    EXPECT_EQ(fields(U_ReportLog()[i]), expected[i]) << "report " << i;
  EXPECT_EQ(seen.size(), 5u);
  U_ClearReportLog();
  EXPECT_TRUE(U_ReportLog().empty());
}

TEST_F(UReportTest, DeferredReportsMustWaitForTheOutermostScopeAndAFailedStartOpensNone) {
  int delivered = 0;
  U_SetReportSink([&](const U_ReportRecord&) { ++delivered; });
  U_DeferredReportingScope outer, inner, failed;
  U_InjectFailure(0, 12);
  EXPECT_EQ(U_DeferredReportingStart(16, &failed), 12);
  EXPECT_EQ(U_DeferredReportingStart(16, nullptr), U_ERR_BAD_PARAMETER);
  ASSERT_EQ(U_DeferredReportingStart(16, &outer), 0);
  Up_ReportErrString(0, 8, "a");
  ASSERT_EQ(U_DeferredReportingStart(16, &inner), 0);
  Up_ReportErrString(0, 8, "b");
  U_DeferredReportingEnd(0, 0, &inner);
  U_DeferredReportingEnd(0, 0, &inner);   // ended twice: no effect
  U_DeferredReportingEnd(0, 0, &failed);  // never started: no effect
  EXPECT_EQ(delivered, 0);
  EXPECT_TRUE(U_ReportLog().empty());
  Up_ReportErrString(0, 8, "c");
  const U_DeferredReportingScope copy = outer;
  U_DeferredReportingEnd(0, 0, &outer);
  EXPECT_EQ(delivered, 3);
  EXPECT_EQ(Texts(), (std::vector<std::string>{"a", "b", "c"}));
  Up_ReportErrString(0, 8, "d");  // after the scope: straight through
  EXPECT_EQ(delivered, 4);
  // Ending a copy of an ended scope must not unbalance the next one.
  U_DeferredReportingScope stale = copy, next;
  U_DeferredReportingEnd(0, 0, &stale);
  ASSERT_EQ(U_DeferredReportingStart(16, &next), 0);
  Up_ReportErrString(0, 8, "e");
  EXPECT_EQ(delivered, 4);
  U_DeferredReportingEnd(0, 0, &next);
  EXPECT_EQ(delivered, 5);
}

TEST_F(UReportTest, LocalizedLookupMustReturnTheTextAfterTheFirstEqualsSign) {
  const char* cachedKey = "$$$/T/LStr/0003=Uncached.";
  U_LStrEntry entries[5] = {{"$$$/T/LStr/0000=First text.", {}},
                            {"$$$/T/LStr/0001=Second = text", {}},
                            {"$$$/T/LStr/0002", {}},
                            {cachedKey, {intptr_t("Cached."), intptr_t(cachedKey), 0}},
                            {nullptr, {}}};
  U_LStrTable table{"T", 5, entries};
  // The second 0 comes from the cache; 2 has no '=', 3 was cached for its
  // key, 4 is the terminator.
  // clang-format off
  const std::pair<long, const char*> cases[] = {
      {0, "First text."}, {1, "Second = text"}, {0, "First text."}, {2, ""}, {3, "Cached."},
      {4, ""}, {-1, ""}};
  // clang-format on
  for (const auto& [index, text] : cases)
    EXPECT_STREQ(U_ZLookupLStrCache(&table, index, 0, 0), text);
  EXPECT_STREQ(U_ZLookupLStrCache(nullptr, 0, 0, 0), "");
  entries[0].key = "$$$/T/LStr/0000=Changed.";  // a replaced key is looked up afresh
  EXPECT_STREQ(U_ZLookupLStrCache(&table, 0, 0, 0), "Changed.");
}

}  // namespace
