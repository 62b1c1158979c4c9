// Covering and merging of the requests stored for a node.
#include <gtest/gtest.h>

#include "exec/ExecTestAccess.h"
#include "exec/RGp_RequestRules.h"
#include "rg/RG_RenderRequest.h"
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

TEST_F(RenderRequestTest, Covering) {
  const M_LRect rect{0, 0, 10, 10};
  const uint8_t type1 = RG_REQUEST_CONTENT_BOUNDS_TYPE1;
  struct Case {
    RG_RenderRequest stored, asked;
    bool covers;
  };
  const M_LRect big{10, 10, 100, 100};
  const Case cases[] = {
      {Request(big), Request(big), true},
      {Request(big), Request({20, 30, 40, 50}), true},
      {Request(big), Request({9, 10, 100, 100}), false},
      {Request(big), Request({10, 9, 100, 100}), false},
      {Request(big), Request({10, 10, 101, 100}), false},
      {Request(big), Request({10, 10, 100, 101}), false},
      // Empty rects get no special case: inside counts, outside does not.
      {Request(big), Request({50, 50, 50, 50}), true},
      {Request(big), Request({0, 0, 0, 0}), false},
      // Field 0 covers both fields; the fields do not cover each other.
      {Request(rect, 0), Request(rect, 1), true},
      {Request(rect, 0), Request(rect, 2), true},
      {Request(rect, 2), Request(rect, 2), true},
      {Request(rect, 1), Request(rect, 2), false},
      {Request(rect, 1), Request(rect, 0), false},
      // Type 1 covers type 0, not the other way round; other bits take no part.
      {Request(rect, 0, 0), Request(rect, 0, type1), false},
      {Request(rect, 0, type1), Request(rect, 0, 0), true},
      {Request(rect, 0, type1), Request(rect, 0, type1), true},
      {Request(rect, 0, 0), Request(rect, 0, 0xFE), true},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(RGp_RequestCovers(cases[i].stored, cases[i].asked), cases[i].covers);
  }
}

TEST_F(RenderRequestTest, DifferentBitDepthsAreAContractViolation) {
  // The new rect lies inside the stored one: the depth is checked first.
  const RG_RenderRequest stored = Request({0, 0, 100, 100}, 0, 0, 8);
  EXPECT_EQ(CatchCode([&] { RGp_RequestCovers(stored, Request({10, 10, 20, 20}, 0, 0, 16)); }), 3);
  ASSERT_EQ(U_ReportLog().size(), 1u);
  ExpectLastReport(U_ReportKind::FailedVerification, 0x4e0002, 319,
                   "All render requests into a node must have the same bit depth");
  EXPECT_EQ(CatchCode([&] { RGp_RequestCovers(Request({0, 0, 0, 0}, 0, 0, 32), stored); }), 3);
}

TEST_F(RenderRequestTest, MergingRects) {
  RG_RenderRequest stored = Request({10, 10, 20, 20});
  RGp_MergeRequest(&stored, Request({0, 0, 0, 0}));
  EXPECT_EQ(stored.rect, (M_LRect{10, 10, 20, 20}));
  // An empty request that the stored one does not cover changes nothing, so
  // the node would be pre-rendered again for the same area.
  EXPECT_FALSE(RGp_RequestCovers(stored, Request({0, 0, 0, 0})));
  RGp_MergeRequest(&stored, Request({5, 15, 15, 30}));
  EXPECT_EQ(stored.rect, (M_LRect{5, 10, 20, 30}));

  RG_RenderRequest empty = Request({40, 40, 40, 50});
  RGp_MergeRequest(&empty, Request({1, 2, 3, 4}));
  EXPECT_EQ(empty.rect, (M_LRect{1, 2, 3, 4}));
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
