#include <gtest/gtest.h>

#include "text/UnitStrManipulator.h"

namespace fts {
namespace {

TEST(TextAfterTest, GivesWhatFollowsTheFirstOccurrence) {
  const TStrManipulatorClass manipulator;
  EXPECT_EQ(manipulator.TextAfter("ab", "xaby"), "y");
  EXPECT_EQ(manipulator.TextAfter("ab", "xabyab"), "yab");
  EXPECT_EQ(manipulator.TextAfter("ab", "xab"), "");
  // An absent pattern gives the whole text.
  EXPECT_EQ(manipulator.TextAfter("q", "xab"), "xab");
  EXPECT_EQ(manipulator.TextAfter("abc", "ab"), "ab");
}

}  // namespace
}  // namespace fts
