// Rect and field rules shared by both composite kinds.
#include <gtest/gtest.h>

#include "composite/CompositeTestNodes.h"
#include "rg/RG_CompositeNode.h"
#include "support/LeakCheck.h"

using composite_test::Rect;

class CompositeRulesTest : public LeakCheckTest {};

TEST_F(CompositeRulesTest, RectMinusCutsOnlyWholeHeightSlices) {
  const M_LRect a = Rect(0, 0, 10, 10);
  // Covered entirely, also by itself.
  EXPECT_EQ(RG_CompositeNodeBase::RectMinus(a, Rect(-1, -1, 11, 11)), Rect(0, 0, 0, 0));
  EXPECT_EQ(RG_CompositeNodeBase::RectMinus(a, a), Rect(0, 0, 0, 0));
  // Full-height cover of the left part leaves the right remainder, and the
  // other way round.
  EXPECT_EQ(RG_CompositeNodeBase::RectMinus(a, Rect(-5, -1, 4, 12)), Rect(4, 0, 10, 10));
  EXPECT_EQ(RG_CompositeNodeBase::RectMinus(a, Rect(6, 0, 15, 10)), Rect(0, 0, 6, 10));
  // A slice through the middle would leave two pieces: A stays whole.
  EXPECT_EQ(RG_CompositeNodeBase::RectMinus(a, Rect(3, 0, 6, 10)), a);
  // Not the full height: no cut is made, however much is covered.
  EXPECT_EQ(RG_CompositeNodeBase::RectMinus(a, Rect(-1, 1, 11, 11)), a);
  EXPECT_EQ(RG_CompositeNodeBase::RectMinus(a, Rect(0, 0, 4, 9)), a);
  // An empty B removes nothing.
  EXPECT_EQ(RG_CompositeNodeBase::RectMinus(Rect(5, 5, 10, 10), Rect(0, 0, 0, 0)),
            Rect(5, 5, 10, 10));
  // A full-height B wholly beside A cuts nothing and never widens A.
  EXPECT_EQ(RG_CompositeNodeBase::RectMinus(a, Rect(-8, 0, -2, 10)), a);
  EXPECT_EQ(RG_CompositeNodeBase::RectMinus(a, Rect(12, 0, 20, 10)), a);
}

TEST_F(CompositeRulesTest, EffectiveFieldSwapsOnOddFirstRow) {
  struct Case {
    long field;
    int top, expected;
  };
  for (const Case& c : {Case{0, -3, 0}, Case{0, 0, 0}, Case{0, 5, 0}, Case{1, 5, 2},
                        Case{2, -3, 1}, Case{2, 4, 2}, Case{1, 0, 1}}) {
    SCOPED_TRACE(testing::Message() << c.field << " " << c.top);
    // Only the top counts (left has the other parity); the 16-bit form
    // reads its own top member.
    EXPECT_EQ(RG_EffectiveField(c.field, Rect(7 - c.top, c.top, 20, c.top + 1)), c.expected);
    M_Rect r;
    r.top = static_cast<short>(c.top);
    r.left = static_cast<short>(7 - c.top);  // of the other parity
    EXPECT_EQ(RG_EffectiveField(c.field, r), c.expected);
  }
}
