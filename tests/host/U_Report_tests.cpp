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
};

TEST_F(UReportTest, EachKindIsLoggedWithItsFields) {
  U_ReportFailedVerification(0x4E0003, 120, 0, "bad checkout");
  Up_ReportErrString(0x4E0007, 8, "Bad id.");
  Up_G_err_buf = 5;
  std::snprintf(Up_G_buffer, sizeof Up_G_buffer, "version %d", 2);
  Up_ReportError(33, 16);

  const auto fields = [](const U_ReportRecord& r) {
    return std::tuple(r.kind, r.location, r.line, r.code, r.text);
  };
  ASSERT_EQ(U_ReportLog().size(), 3u);
  EXPECT_EQ(fields(U_ReportLog()[0]), std::tuple(U_ReportKind::FailedVerification, 0x4E0003L, 120L,
                                                 0L, std::string("bad checkout")));
  EXPECT_EQ(fields(U_ReportLog()[1]),
            std::tuple(U_ReportKind::ErrorString, 0x4E0007L, 0L, 8L, std::string("Bad id.")));
  EXPECT_EQ(U_ReportLog()[2].kind, U_ReportKind::Error);
  EXPECT_EQ(U_ReportLog()[2].code, 33);
  EXPECT_EQ(U_ReportLog()[2].text, "version 2");

  U_ClearReportLog();
  EXPECT_TRUE(U_ReportLog().empty());
}

TEST_F(UReportTest, SinkSeesEveryReportUntilRemoved) {
  std::vector<std::string> seen;
  U_SetReportSink([&](const U_ReportRecord& r) { seen.push_back(r.text); });
  Up_ReportErrString(0, 8, "one");
  U_ReportFailedVerification(0, 1, 0, "two");
  U_SetReportSink(nullptr);
  Up_ReportErrString(0, 8, "three");
  EXPECT_EQ(seen, (std::vector<std::string>{"one", "two"}));
  EXPECT_EQ(U_ReportLog().size(), 3u);
}

TEST_F(UReportTest, DeferredReportsArriveWhenTheOutermostScopeEnds) {
  int delivered = 0;
  U_SetReportSink([&](const U_ReportRecord&) { ++delivered; });
  U_DeferredReportingScope outer, inner;
  ASSERT_EQ(U_DeferredReportingStart(16, &outer), 0);
  Up_ReportErrString(0, 8, "a");
  ASSERT_EQ(U_DeferredReportingStart(16, &inner), 0);
  Up_ReportErrString(0, 8, "b");
  U_DeferredReportingEnd(0, 0, &inner);
  EXPECT_EQ(delivered, 0);
  EXPECT_TRUE(U_ReportLog().empty());
  Up_ReportErrString(0, 8, "c");
  U_DeferredReportingEnd(0, 0, &outer);
  EXPECT_EQ(delivered, 3);
  std::vector<std::string> texts;
  for (const U_ReportRecord& r : U_ReportLog()) texts.push_back(r.text);
  EXPECT_EQ(texts, (std::vector<std::string>{"a", "b", "c"}));

  // After the scope, reports go straight through again.
  Up_ReportErrString(0, 8, "d");
  EXPECT_EQ(delivered, 4);
}

TEST_F(UReportTest, FailedStartOpensNoScope) {
  U_DeferredReportingScope scope;
  U_InjectFailure(0, 12);
  EXPECT_EQ(U_DeferredReportingStart(16, &scope), 12);
  Up_ReportErrString(0, 8, "now");
  EXPECT_EQ(U_ReportLog().size(), 1u);
}

TEST_F(UReportTest, ExceptionsTranslateToCodes) {
  EXPECT_EQ(U_TranslateAndReportException(std::bad_alloc()), U_ERR_OUT_OF_MEMORY);
  EXPECT_EQ(U_TranslateAndReportException(std::runtime_error("boom")), U_ERR_INTERNAL);
  ASSERT_EQ(U_ReportLog().size(), 2u);
  EXPECT_EQ(U_ReportLog()[0].code, U_ERR_OUT_OF_MEMORY);
  EXPECT_EQ(U_ReportLog()[1].code, U_ERR_INTERNAL);
  EXPECT_EQ(U_ReportLog()[1].text, "boom");
}

TEST_F(UReportTest, LocalizedLookupReturnsTheDefaultText) {
  U_LStrEntry entries[3] = {{"$$$/T/LStr/0000=First text.", {0, 0, 0}},
                            {"$$$/T/LStr/0001=Second = text", {0, 0, 0}},
                            {nullptr, {0, 0, 0}}};
  U_LStrTable table{"T", 3, entries};
  EXPECT_STREQ(U_ZLookupLStrCache(&table, 0, 0, 0), "First text.");
  EXPECT_STREQ(U_ZLookupLStrCache(&table, 1, 0, 0), "Second = text");
  EXPECT_STREQ(U_ZLookupLStrCache(&table, 0, 0, 0), "First text.");  // from the cache
  EXPECT_STREQ(U_ZLookupLStrCache(&table, 2, 0, 0), "");             // the terminator
  EXPECT_STREQ(U_ZLookupLStrCache(&table, -1, 0, 0), "");
  EXPECT_STREQ(U_ZLookupLStrCache(nullptr, 0, 0, 0), "");
  // A replaced key is looked up afresh.
  entries[0].key = "$$$/T/LStr/0000=Changed.";
  EXPECT_STREQ(U_ZLookupLStrCache(&table, 0, 0, 0), "Changed.");
}

}  // namespace
