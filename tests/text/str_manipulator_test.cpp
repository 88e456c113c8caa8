#include <gtest/gtest.h>

#include "text/UnitStrManipulator.h"

namespace fts {
namespace {

TEST(TextAfterTest, GivesTheTextAfterTheFirstOccurrence) {
  const TStrManipulatorClass manipulator;
  EXPECT_EQ(manipulator.TextAfter("ab", "xaby"), "y");
  EXPECT_EQ(manipulator.TextAfter("ab", "xabyab"), "yab");
  EXPECT_EQ(manipulator.TextAfter("-n", "-n-n"), "-n");
}

TEST(TextAfterTest, OccurrenceAtTheEndGivesEmptyText) {
  const TStrManipulatorClass manipulator;
  EXPECT_EQ(manipulator.TextAfter("ab", "xab"), "");
  EXPECT_EQ(manipulator.TextAfter("--dry-run", "--dry-run"), "");
}

TEST(TextAfterTest, AbsentPatternGivesTheWholeText) {
  const TStrManipulatorClass manipulator;
  EXPECT_EQ(manipulator.TextAfter("q", "xab"), "xab");
  EXPECT_EQ(manipulator.TextAfter("abc", "ab"), "ab");
  EXPECT_EQ(manipulator.TextAfter("q", ""), "");
}

}  // namespace
}  // namespace fts
