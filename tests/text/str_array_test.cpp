#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "run/run_state.h"
#include "text/UnitStrArray.h"

namespace fts {
namespace {

using Items = std::vector<std::string>;

Items ItemsOf(const TStrArrayClass& splitter) {
  Items items;
  for (std::int32_t i = 0; i < splitter.Count(); ++i)
    items.emplace_back(splitter.GetItem(i));
  return items;
}

// Set up the way the inventory readers use it.
class RecordSplitterTest : public ::testing::Test {
 protected:
  RecordSplitterTest() {
    splitter.SetDelimiter(kFieldDelimiter);
    splitter.SetQuote("");
  }
  Items Split(const std::string& line) {
    splitter.Split(line);
    return ItemsOf(splitter);
  }
  TStrArrayClass splitter;
};

TEST_F(RecordSplitterTest, EmptyLineGivesOneEmptyItem) {
  EXPECT_EQ(Split(""), Items{""});
  EXPECT_EQ(splitter.GetItem(0), "");
  EXPECT_EQ(splitter.GetItem(1), "");
}

TEST_F(RecordSplitterTest, LineWithoutDelimiterIsOneItem) {
  EXPECT_EQ(Split("a,b \"c\""), Items{"a,b \"c\""});
}

TEST_F(RecordSplitterTest, DelimitersAtTheEdgesAndInARowGiveEmptyItems) {
  EXPECT_EQ(Split("a\",\"\",\"b"), (Items{"a", "", "b"}));
  EXPECT_EQ(Split("\",\"a"), (Items{"", "a"}));
  EXPECT_EQ(Split("a\",\""), (Items{"a", ""}));
  EXPECT_EQ(Split("\",\""), (Items{"", ""}));
}

TEST_F(RecordSplitterTest, DirectoryRecordWithEmptyTimeStampHasSixFields) {
  EXPECT_EQ(Split("Directory\",\"/s/new\",\"new\",\"0\",\"\",\"1"),
            (Items{"Directory", "/s/new", "new", "0", "", "1"}));
  EXPECT_EQ(splitter.GetItem(5), "1");
}

TEST_F(RecordSplitterTest, FewerFieldsThanBeforeLeaveNoStaleItems) {
  Split("a\",\"b\",\"c\",\"d");
  EXPECT_EQ(Split("x\",\"y"), (Items{"x", "y"}));
  EXPECT_EQ(splitter.GetItem(2), "");
  EXPECT_EQ(splitter.GetItem(3), "");
}

TEST_F(RecordSplitterTest, SplittingTheSameLineAgainGivesTheSameItems) {
  const std::string line = "File\",\"/s/a\",\"a\",\"0\",\"2024/05/01 9:03:06\",\"1";
  const Items first = Split(line);
  Split("other");
  EXPECT_EQ(Split(line), first);
  EXPECT_EQ(Split(line), first);
}

TEST_F(RecordSplitterTest, ItemsOutliveTheLineTheyCameFrom) {
  splitter.Split(std::string("first field") + "\",\"" + std::string(64, 'x'));
  splitter.SetDelimiter(",");  // takes effect at the next split only
  EXPECT_EQ(splitter.GetItem(0), "first field");
  EXPECT_EQ(splitter.GetItem(1), std::string(64, 'x'));
}

TEST(RecordSplitterIndexTest, EveryIndexOutOfRangeReadsEmpty) {
  TStrArrayClass splitter;
  for (std::int32_t index : {INT32_MIN, -1, 0, 1, INT32_MAX}) {
    EXPECT_EQ(splitter.GetItem(index), "") << index;
  }
  EXPECT_EQ(splitter.Count(), 0);
  splitter.Split("a b");
  EXPECT_EQ(splitter.GetItem(-1), "");
  EXPECT_EQ(splitter.GetItem(splitter.Count()), "");
  EXPECT_EQ(splitter.GetItem(INT32_MAX), "");
}

TEST(GeneralSplitterTest, DefaultDelimiterIsOneBlank) {
  TStrArrayClass splitter;
  splitter.Split("the quick  fox");
  EXPECT_EQ(ItemsOf(splitter), (Items{"the", "quick", "", "fox"}));
}

TEST(GeneralSplitterTest, EmptyDelimiterAndQuoteKeepTheWholeLine) {
  TStrArrayClass splitter;
  splitter.SetDelimiter("");
  splitter.Split("a b\",\"c");
  EXPECT_EQ(ItemsOf(splitter), Items{"a b\",\"c"});
}

// A quote text is cut from the front of every field and the end of the last
// one without looking at what is cut.
TEST(GeneralSplitterTest, QuoteIsCutBlindlyFromTheFieldEnds) {
  TStrArrayClass splitter;
  splitter.SetDelimiter(",");
  splitter.SetQuote("'");

  splitter.Split("'abc','def'");
  EXPECT_EQ(ItemsOf(splitter), (Items{"abc", "def"}));

  // Without quotes, quote + delimiter + quote never occurs.
  splitter.Split("abc,def");
  EXPECT_EQ(ItemsOf(splitter), Items{"bc,de"});

  // The missing outer quotes cost a byte of the text at each end.
  splitter.Split("abc','def");
  EXPECT_EQ(ItemsOf(splitter), (Items{"bc", "de"}));

  splitter.Split("'a','','c'");
  EXPECT_EQ(ItemsOf(splitter), (Items{"a", "", "c"}));

  // Shorter than two quotes: nothing is left of the field.
  splitter.Split("x");
  EXPECT_EQ(ItemsOf(splitter), Items{""});
}

}  // namespace
}  // namespace fts
