#include "platform/regional_formats.h"

#include <gtest/gtest.h>
#include <windows.h>

#include "inventory/date_time_pattern.h"
#include "inventory/time_stamp.h"
#include "platform/forwarding_platform.h"
#include "platform/wide_text.h"

namespace fts {
namespace {

std::string Long(std::string_view systemFormat, bool hasMarker = true) {
  const TimeFormatShape shape = ShapeOfTimeFormat(systemFormat);
  return LongTimePattern(shape, shape.separator.empty() ? ":" : shape.separator, hasMarker);
}

TEST(RegionalFormatsTest, TwentyFourHourFormats) {
  EXPECT_EQ(Long("H:mm:ss"), "H:mm:ss");
  EXPECT_EQ(Long("HH:mm:ss"), "HH:mm:ss");
  EXPECT_EQ(Long("H.mm.ss"), "H.mm.ss");
  EXPECT_EQ(Long("HH:m:s"), "HH:mm:ss");  // minutes and seconds always in two digits
  EXPECT_EQ(Long("H:mm"), "H:mm:ss");
}

TEST(RegionalFormatsTest, TwelveHourFormatsKeepTheMarkerWhereItStands) {
  EXPECT_EQ(Long("h:mm:ss tt"), "h:mm:ss tt");
  EXPECT_EQ(Long("hh:mm:ss tt"), "hh:mm:ss tt");
  EXPECT_EQ(Long("tt h:mm:ss"), "tt h:mm:ss");
  EXPECT_EQ(Long("tt hh:mm:ss"), "tt hh:mm:ss");
  EXPECT_EQ(Long("h:mm:sstt"), "h:mm:ss tt");
  EXPECT_EQ(Long("h:mm:ss"), "h:mm:ss tt");
  EXPECT_EQ(Long("h:mm:ss tt", false), "h:mm:ss");
}

TEST(RegionalFormatsTest, TheSeparatorIsWhatStandsBetweenHourAndMinutes) {
  EXPECT_EQ(ShapeOfTimeFormat("HH:mm:ss").separator, ":");
  EXPECT_EQ(ShapeOfTimeFormat("H.mm.ss").separator, ".");
  EXPECT_EQ(ShapeOfTimeFormat("tt hh:mm:ss").separator, ":");
  EXPECT_EQ(ShapeOfTimeFormat("HH'h'mm").separator, "h");
  EXPECT_EQ(ShapeOfTimeFormat("HH' h 'mm' min'").separator, " h ");
  EXPECT_EQ(ShapeOfTimeFormat("HH").separator, "");
  EXPECT_EQ(Long("HH'h'mm"), "HH'h'mm'h'ss");
}

TEST(RegionalFormatsTest, LiteralsAreQuotedOnlyWhenNeeded) {
  EXPECT_EQ(PatternLiteral(":"), ":");
  EXPECT_EQ(PatternLiteral(" . "), " . ");
  EXPECT_EQ(PatternLiteral("h"), "'h'");
  EXPECT_EQ(PatternLiteral("'"), "''''");
}

TEST(RegionalFormatsTest, AQuotedSeparatorFormatsBack) {
  const RegionalFormats names;
  const TimeFormatShape shape = ShapeOfTimeFormat("HH'h'mm");
  EXPECT_EQ(FormatDateTimePattern(LongTimePattern(shape, "h", true), {2024, 1, 1, 7, 8, 9}, names),
            "07h08h09");
}

// The platform's formats give what the system itself writes for the
// user's settings, wherever the settings' own time format already has the
// shape that TimeStamp uses.
TEST(RegionalFormatsTest, TheSystemPlatformFollowsTheUsersSettings) {
  auto platform = MakeSystemPlatform();
  const RegionalFormats& formats = platform->RegionalSettings();
  SYSTEMTIME t{};
  t.wYear = 2024;
  t.wMonth = 5;
  t.wDay = 1;
  t.wDayOfWeek = 3;
  t.wHour = 9;
  t.wMinute = 3;
  t.wSecond = 6;
  wchar_t date[128];
  ASSERT_GT(
      GetDateFormatEx(LOCALE_NAME_USER_DEFAULT, DATE_SHORTDATE, &t, nullptr, date, 128, nullptr),
      0);
  const LocalDateTime local{2024, 5, 1, 9, 3, 6};
  EXPECT_EQ(FormatDateTimePattern(formats.shortDate, local, formats), Utf8FromWide(date));

  wchar_t timeFormat[128];
  ASSERT_GT(GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, LOCALE_STIMEFORMAT, timeFormat, 128), 0);
  const std::string systemFormat = Utf8FromWide(timeFormat);
  if (systemFormat == formats.longTime) {
    wchar_t time[128];
    ASSERT_GT(GetTimeFormatEx(LOCALE_NAME_USER_DEFAULT, 0, &t, nullptr, time, 128), 0);
    EXPECT_EQ(FormatDateTimePattern(formats.longTime, local, formats), Utf8FromWide(time));
  }
  EXPECT_FALSE(formats.timeSeparator.empty());
}

class FormatsPlatform : public ForwardingPlatform {
 public:
  explicit FormatsPlatform(Platform& inner) : ForwardingPlatform(inner) {}
  const RegionalFormats& RegionalSettings() override { return formats; }
  std::optional<LocalDateTime> ToLocalTime(const FileTime&) override { return time; }
  RegionalFormats formats;
  LocalDateTime time;
};

TEST(RegionalFormatsTest, TimeStampUsesTheRegionalFormats) {
  auto system = MakeSystemPlatform();
  FormatsPlatform platform(*system);
  platform.formats.shortDate = "M/d/yyyy";
  platform.formats.longTime = "h:mm:ss tt";
  DirEntryInfo info;
  info.timeValid = true;

  platform.time = {2024, 5, 1, 21, 3, 7};
  EXPECT_EQ(TimeStampOf(platform, info, Side::kSource), "5/1/2024 9:03:06 PM");
  platform.time = {2024, 5, 1, 0, 0, 1};  // the two-second cut makes it midnight
  EXPECT_EQ(TimeStampOf(platform, info, Side::kSource), "5/1/2024");
  platform.time = {1979, 12, 31, 23, 59, 59};  // outside the DOS range: the exact second
  EXPECT_EQ(TimeStampOf(platform, info, Side::kSource), "12/31/1979 11:59:59 PM");

  platform.formats.shortDate = "dd.MM.yyyy";
  platform.formats.longTime = "HH:mm:ss";
  platform.time = {2024, 5, 1, 9, 3, 6};
  EXPECT_EQ(TimeStampOf(platform, info, Side::kDestination), "01.05.2024 09:03:06");
}

TEST(RegionalFormatsTest, TheFixedFormatsGiveTheFixedTimeStamp) {
  auto system = MakeSystemPlatform();
  FormatsPlatform platform(*system);
  DirEntryInfo info;
  info.timeValid = true;
  platform.time = {2024, 5, 1, 9, 3, 7};
  EXPECT_EQ(TimeStampOf(platform, info, Side::kSource), "2024/05/01 9:03:06");
}

}  // namespace
}  // namespace fts
