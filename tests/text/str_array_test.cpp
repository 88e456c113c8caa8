#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "inventory/record_format.h"
#include "text/UnitStrArray.h"

namespace fts {
namespace {

using Items = std::vector<std::string>;

Items Split(TStrArrayClass& splitter, const std::string& line) {
  splitter.Split(line);
  Items items;
  for (std::int32_t i = 0; i < splitter.Count(); ++i)
    items.emplace_back(splitter.GetItem(i));
  return items;
}

// Set up as the inventory readers use it.
class RecordSplitterTest : public ::testing::Test {
 protected:
  RecordSplitterTest() {
    splitter.SetDelimiter(kFieldDelimiter);
    splitter.SetQuote("");
  }
  Items Split(const std::string& line) { return fts::Split(splitter, line); }
  TStrArrayClass splitter;
};

TEST_F(RecordSplitterTest, EveryDelimiterStartsAnotherItem) {
  EXPECT_EQ(Split(""), Items{""});
  EXPECT_EQ(Split("a,b \"c\""), Items{"a,b \"c\""});
  EXPECT_EQ(Split("a\",\"\",\"b"), (Items{"a", "", "b"}));
  EXPECT_EQ(Split("\",\"a"), (Items{"", "a"}));
  EXPECT_EQ(Split("a\",\""), (Items{"a", ""}));
  EXPECT_EQ(Split("\",\""), (Items{"", ""}));
}

TEST_F(RecordSplitterTest, DirectoryRecordWithEmptyTimeStampHasSixFields) {
  EXPECT_EQ(Split("Directory\",\"/s/new\",\"new\",\"0\",\"\",\"1"),
            (Items{"Directory", "/s/new", "new", "0", "", "1"}));
}

TEST_F(RecordSplitterTest, EachSplitReplacesAllItems) {
  const std::string line = "File\",\"/s/a\",\"a\",\"0\",\"2024/05/01 9:03:06\",\"1";
  const Items first = Split(line);
  EXPECT_EQ(Split("x\",\"y"), (Items{"x", "y"}));
  EXPECT_EQ(splitter.GetItem(2), "");
  EXPECT_EQ(Split(line), first);
  EXPECT_EQ(Split(line), first);
}

TEST_F(RecordSplitterTest, ItemsOutliveTheLineTheyCameFrom) {
  splitter.Split(std::string("first field") + "\",\"" + std::string(64, 'x'));
  splitter.SetDelimiter(",");  // takes effect at the next split only
  EXPECT_EQ(splitter.GetItem(0), "first field");
  EXPECT_EQ(splitter.GetItem(1), std::string(64, 'x'));
}

TEST(SplitterTest, EveryIndexOutOfRangeReadsEmpty) {
  TStrArrayClass splitter;
  for (std::int32_t index : {INT32_MIN, -1, 0, 1, INT32_MAX}) {
    EXPECT_EQ(splitter.GetItem(index), "") << index;
  }
  splitter.Split("a b");
  for (std::int32_t index : {INT32_MIN, -1, 2, INT32_MAX}) {
    EXPECT_EQ(splitter.GetItem(index), "") << index;
  }
}

TEST(SplitterTest, DefaultDelimiterIsOneBlankAndEmptyOneNeverSplits) {
  TStrArrayClass splitter;
  EXPECT_EQ(Split(splitter, "the quick  fox"), (Items{"the", "quick", "", "fox"}));
  splitter.SetDelimiter("");
  EXPECT_EQ(Split(splitter, "a b\",\"c"), Items{"a b\",\"c"});
}

// The quote's length is cut from the front of every field and the end of the
// last one, without looking at what is cut.
TEST(SplitterTest, QuoteIsCutBlindlyFromTheFieldEnds) {
  TStrArrayClass splitter;
  splitter.SetDelimiter(",");
  splitter.SetQuote("'");
  EXPECT_EQ(Split(splitter, "'abc','def'"), (Items{"abc", "def"}));
  EXPECT_EQ(Split(splitter, "'a','','c'"), (Items{"a", "", "c"}));
  // Without quotes, quote + delimiter + quote never occurs.
  EXPECT_EQ(Split(splitter, "abc,def"), Items{"bc,de"});
  // Missing outer quotes cost a byte of text at each end.
  EXPECT_EQ(Split(splitter, "abc','def"), (Items{"bc", "de"}));
  EXPECT_EQ(Split(splitter, "x"), Items{""});
}

}  // namespace
}  // namespace fts
