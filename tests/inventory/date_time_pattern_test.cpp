#include "inventory/date_time_pattern.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <string>

namespace fts {
namespace {

const RegionalFormats kEnglish;

std::string Format(std::string_view pattern, const LocalDateTime& t) {
  return FormatDateTimePattern(pattern, t, kEnglish);
}

TEST(DateTimePatternTest, FixedFormatsGiveTheFixedTexts) {
  const LocalDateTime t{2024, 5, 1, 9, 3, 6};
  EXPECT_EQ(Format(kEnglish.shortDate, t), "2024/05/01");
  EXPECT_EQ(Format(kEnglish.longTime, t), "9:03:06");
  EXPECT_EQ(Format("yyyy/MM/dd HH:mm:ss", t), "2024/05/01 09:03:06");
}

TEST(DateTimePatternTest, DayMonthAndYearInEveryWidth) {
  const LocalDateTime t{2007, 3, 4, 0, 0, 0};
  EXPECT_EQ(Format("d.M.y", t), "4.3.7");
  EXPECT_EQ(Format("dd.MM.yy", t), "04.03.07");
  EXPECT_EQ(Format("yyyy-MM-dd", t), "2007-03-04");
  EXPECT_EQ(Format("yyy|yyyyy", t), "2007|2007");
  EXPECT_EQ(Format("M/d/yyyy", t), "3/4/2007");
}

TEST(DateTimePatternTest, NamesOfDaysMonthsAndTheEra) {
  // 1 May 2024 was a Wednesday.
  const LocalDateTime t{2024, 5, 1, 0, 0, 0};
  EXPECT_EQ(Format("ddd, MMM d", t), "Wed, May 1");
  EXPECT_EQ(Format("dddd, MMMM dd, yyyy", t), "Wednesday, May 01, 2024");
  EXPECT_EQ(Format("ddddd MMMMM", t), "Wednesday May");
  EXPECT_EQ(Format("yyyy gg", t), "2024 A.D.");
  EXPECT_EQ(Format("dddd", {2000, 1, 1, 0, 0, 0}), "Saturday");
  EXPECT_EQ(Format("dddd", {2024, 2, 29, 0, 0, 0}), "Thursday");
  EXPECT_EQ(Format("dddd", {1980, 1, 1, 0, 0, 0}), "Tuesday");
  EXPECT_EQ(Format("dddd", {2107, 12, 31, 0, 0, 0}), "Saturday");
}

// Fields far out of range overflowed the weekday sum and the month index.
TEST(DateTimePatternTest, FieldsFarOutOfRangeGiveNamesOrNothing) {
  // The calendar repeats every 400 years, and the weekday every 7 days.
  EXPECT_EQ(Format("dddd", {INT_MAX, 1, 1, 0, 0, 0}), Format("dddd", {47, 1, 1, 0, 0, 0}));
  EXPECT_EQ(Format("ddd", {INT_MAX, 3, 1, 0, 0, 0}), Format("ddd", {47, 3, 1, 0, 0, 0}));
  EXPECT_EQ(Format("dddd", {2024, 5, INT_MAX, 0, 0, 0}), "Wednesday");
  const std::string weekday = Format("dddd", {INT_MIN, 2, INT_MIN, 0, 0, 0});
  EXPECT_NE(std::find(kEnglish.dayNames.begin(), kEnglish.dayNames.end(), weekday),
            kEnglish.dayNames.end())
      << weekday;
  for (int month : {INT_MIN, -1, 0, 13, INT_MAX}) {
    EXPECT_EQ(Format("MMM|MMMM", {2024, month, 1, 0, 0, 0}), "|") << month;
  }
}

TEST(DateTimePatternTest, TwelveAndTwentyFourHourClock) {
  EXPECT_EQ(Format("h:mm:ss tt", {2024, 1, 1, 0, 5, 9}), "12:05:09 AM");
  EXPECT_EQ(Format("h:mm:ss tt", {2024, 1, 1, 12, 0, 1}), "12:00:01 PM");
  EXPECT_EQ(Format("hh:mm:ss t", {2024, 1, 1, 13, 7, 8}), "01:07:08 P");
  EXPECT_EQ(Format("tt h:mm:ss", {2024, 1, 1, 11, 59, 58}), "AM 11:59:58");
  EXPECT_EQ(Format("H:m:s", {2024, 1, 1, 7, 5, 3}), "7:5:3");
  EXPECT_EQ(Format("HH:mm:ss", {2024, 1, 1, 23, 59, 58}), "23:59:58");
}

TEST(DateTimePatternTest, QuotedTextIsLiteral) {
  const LocalDateTime t{2024, 5, 1, 9, 3, 6};
  EXPECT_EQ(Format("H'h'mm", t), "9h03");
  EXPECT_EQ(Format("'day' d", t), "day 1");
  EXPECT_EQ(Format("yyyy''yy", t), "2024'24");
  EXPECT_EQ(Format("'it''s' d", t), "it's 1");
  EXPECT_EQ(Format("''d", t), "'1");
  EXPECT_EQ(Format("'unclosed d", t), "unclosed d");
  EXPECT_EQ(Format("yyyy.MM.dd. HH.mm", t), "2024.05.01. 09.03");
  EXPECT_EQ(Format("", t), "");
}

TEST(DateTimePatternTest, TheMarkerTakesItsFirstCharacterWhole) {
  RegionalFormats formats;
  formats.amText = "\xE5\x8D\x88\xE5\x89\x8D";  // two CJK characters
  formats.pmText = "\xE5\x8D\x88\xE5\xBE\x8C";
  EXPECT_EQ(FormatDateTimePattern("t h", {2024, 1, 1, 9, 0, 0}, formats), "\xE5\x8D\x88 9");
  EXPECT_EQ(FormatDateTimePattern("tt h", {2024, 1, 1, 21, 0, 0}, formats),
            "\xE5\x8D\x88\xE5\xBE\x8C 9");
}

TEST(DateTimePatternTest, AppendsToWhatIsThere) {
  std::string out = "x ";
  AppendDateTimePattern(out, "yyyy", {1999, 1, 1, 0, 0, 0}, kEnglish);
  EXPECT_EQ(out, "x 1999");
}

}  // namespace
}  // namespace fts
