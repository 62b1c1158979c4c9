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
  for (int top : {-3, 0, 4, 5}) {
    EXPECT_EQ(RG_EffectiveField(0, Rect(0, top, 10, top + 10)), 0) << top;
  }
  EXPECT_EQ(RG_EffectiveField(1, Rect(0, 5, 10, 20)), 2);
  EXPECT_EQ(RG_EffectiveField(2, Rect(0, -3, 10, 20)), 1);
  EXPECT_EQ(RG_EffectiveField(2, Rect(0, 4, 10, 20)), 2);
  EXPECT_EQ(RG_EffectiveField(1, Rect(7, 0, 9, 1)), 1);  // only the top counts

  // The 16-bit form reads its own top member (the first one).
  M_Rect r;
  r.top = 5;
  r.left = 2;
  EXPECT_EQ(RG_EffectiveField(1, r), 2);
  r.top = -3;
  r.left = 1;
  EXPECT_EQ(RG_EffectiveField(2, r), 1);
  r.top = 4;
  r.left = 3;
  EXPECT_EQ(RG_EffectiveField(2, r), 2);
  EXPECT_EQ(RG_EffectiveField(0, r), 0);
}
