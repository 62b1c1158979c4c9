#include <string>

#include "exec/RGp_RequestRules.h"
#include "rg/RG_RenderRequest.h"
#include "rghost/U_Report.h"
#include "support/LeakCheck.h"

namespace {

RG_RenderRequest Request(M_LRect rect, int32_t field = 0, uint8_t flags = 0, int16_t depth = 8) {
  RG_RenderRequest r;
  r.rect = rect;
  r.field = field;
  r.flags = flags;
  r.bit_depth = depth;
  return r;
}

class RenderRequestTest : public LeakCheckTest {};

TEST_F(RenderRequestTest, DefaultRequestHasNoFlags) {
  RG_RenderRequest r;
  EXPECT_EQ(r.flags, 0);
}

TEST_F(RenderRequestTest, CoveringNeedsTheRectInside) {
  const RG_RenderRequest stored = Request({10, 10, 100, 100});
  EXPECT_TRUE(RGp_RequestCovers(stored, Request({10, 10, 100, 100})));
  EXPECT_TRUE(RGp_RequestCovers(stored, Request({20, 30, 40, 50})));
  EXPECT_FALSE(RGp_RequestCovers(stored, Request({9, 10, 100, 100})));
  EXPECT_FALSE(RGp_RequestCovers(stored, Request({10, 9, 100, 100})));
  EXPECT_FALSE(RGp_RequestCovers(stored, Request({10, 10, 101, 100})));
  EXPECT_FALSE(RGp_RequestCovers(stored, Request({10, 10, 100, 101})));
  // Empty rects get no special case: inside counts, outside does not.
  EXPECT_TRUE(RGp_RequestCovers(stored, Request({50, 50, 50, 50})));
  EXPECT_FALSE(RGp_RequestCovers(stored, Request({0, 0, 0, 0})));
}

TEST_F(RenderRequestTest, CoveringFields) {
  const M_LRect rect{0, 0, 10, 10};
  EXPECT_TRUE(RGp_RequestCovers(Request(rect, 0), Request(rect, 1)));
  EXPECT_TRUE(RGp_RequestCovers(Request(rect, 0), Request(rect, 2)));
  EXPECT_TRUE(RGp_RequestCovers(Request(rect, 2), Request(rect, 2)));
  EXPECT_FALSE(RGp_RequestCovers(Request(rect, 1), Request(rect, 2)));
  EXPECT_FALSE(RGp_RequestCovers(Request(rect, 1), Request(rect, 0)));
}

TEST_F(RenderRequestTest, CoveringContentBoundsType) {
  const M_LRect rect{0, 0, 10, 10};
  const uint8_t type1 = RG_REQUEST_CONTENT_BOUNDS_TYPE1;
  EXPECT_FALSE(RGp_RequestCovers(Request(rect, 0, 0), Request(rect, 0, type1)));
  EXPECT_TRUE(RGp_RequestCovers(Request(rect, 0, type1), Request(rect, 0, 0)));
  EXPECT_TRUE(RGp_RequestCovers(Request(rect, 0, type1), Request(rect, 0, type1)));
  // The other bits do not take part.
  EXPECT_TRUE(RGp_RequestCovers(Request(rect, 0, 0), Request(rect, 0, 0xFE)));
}

TEST_F(RenderRequestTest, DifferentBitDepthsAreAContractViolation) {
  // The new rect lies inside the stored one: the depth is checked first.
  const RG_RenderRequest stored = Request({0, 0, 100, 100}, 0, 0, 8);
  try {
    RGp_RequestCovers(stored, Request({10, 10, 20, 20}, 0, 0, 16));
    FAIL() << "no exception";
  } catch (long code) {
    EXPECT_EQ(code, 3);
  }
  ASSERT_EQ(U_ReportLog().size(), 1u);
  const U_ReportRecord& report = U_ReportLog()[0];
  EXPECT_EQ(report.kind, U_ReportKind::FailedVerification);
  EXPECT_EQ(report.location, 0x4e0002);
  EXPECT_EQ(report.line, 319);
  EXPECT_EQ(report.text, "All render requests into a node must have the same bit depth");

  EXPECT_THROW(RGp_RequestCovers(Request({0, 0, 0, 0}, 0, 0, 32), stored), long);
}

TEST_F(RenderRequestTest, MergingRects) {
  RG_RenderRequest stored = Request({10, 10, 20, 20});
  RGp_MergeRequest(&stored, Request({0, 0, 0, 0}));
  EXPECT_EQ(stored.rect, (M_LRect{10, 10, 20, 20}));
  RGp_MergeRequest(&stored, Request({5, 15, 15, 30}));
  EXPECT_EQ(stored.rect, (M_LRect{5, 10, 20, 30}));

  RG_RenderRequest empty = Request({40, 40, 40, 50});
  RGp_MergeRequest(&empty, Request({1, 2, 3, 4}));
  EXPECT_EQ(empty.rect, (M_LRect{1, 2, 3, 4}));

  // An empty request that the stored one does not cover changes nothing, so
  // the node would be pre-rendered again for the same area.
  RG_RenderRequest again = Request({10, 10, 20, 20});
  const RG_RenderRequest outside = Request({0, 0, 0, 0});
  EXPECT_FALSE(RGp_RequestCovers(again, outside));
  RGp_MergeRequest(&again, outside);
  EXPECT_EQ(again.rect, (M_LRect{10, 10, 20, 20}));
  EXPECT_FALSE(RGp_RequestCovers(again, outside));
}

TEST_F(RenderRequestTest, MergingFieldsFlagsAndDepth) {
  const M_LRect rect{0, 0, 10, 10};
  RG_RenderRequest stored = Request(rect, 1, 0x02, 16);
  RGp_MergeRequest(&stored, Request(rect, 1, 0x81, 16));
  EXPECT_EQ(stored.field, 1);
  EXPECT_EQ(stored.flags, 0x83);
  RGp_MergeRequest(&stored, Request(rect, 2, 0x04, 16));
  EXPECT_EQ(stored.field, 0);
  EXPECT_EQ(stored.flags, 0x87);
  EXPECT_EQ(stored.bit_depth, 16);
  EXPECT_TRUE(RGp_RequestCovers(stored, Request(rect, 2, 0x01, 16)));

  RG_RenderRequest two = Request(rect, 2);
  RGp_MergeRequest(&two, Request(rect, 2));
  EXPECT_EQ(two.field, 2);
}

}  // namespace
