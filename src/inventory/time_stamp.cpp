#include "inventory/time_stamp.h"

#include <cstdio>

#include "inventory/date_time_pattern.h"

namespace fts {
namespace {

bool HasFixedFormats(const RegionalFormats& formats) {
  return formats.shortDate == "yyyy/MM/dd" && formats.longTime == "H:mm:ss";
}

// The date in the short date format and, unless it is exactly midnight, a
// blank and the time in the long time format.
std::string FormatRegionalTimeStamp(const LocalDateTime& local, bool dosRange,
                                    const RegionalFormats& formats) {
  if (HasFixedFormats(formats)) return FormatTimeStamp(local, dosRange);
  LocalDateTime shown = local;
  if (dosRange) shown.second &= ~1;
  std::string text = FormatDateTimePattern(formats.shortDate, shown, formats);
  if (shown.hour != 0 || shown.minute != 0 || shown.second != 0) {
    text += ' ';
    AppendDateTimePattern(text, formats.longTime, shown, formats);
  }
  return text;
}

}  // namespace

std::string FormatTimeStamp(const LocalDateTime& local, bool dosRange) {
  const int second = dosRange ? local.second & ~1 : local.second;
  const bool midnight = local.hour == 0 && local.minute == 0 && second == 0;
  // The digit-by-digit writer below holds four digits of the year and two
  // of every other field. A time with a field beyond those (no system hands
  // one out) is written with its numbers as they are, signs included, so that
  // it never turns into other digits or into bytes that would break a record.
  auto fits = [](int value, int highest) { return value >= 0 && value <= highest; };
  if (!fits(local.year, 9999) || !fits(local.month, 99) || !fits(local.day, 99) ||
      !fits(local.hour, 99) || !fits(local.minute, 99) || !fits(second, 99)) {
    char text[96];
    std::snprintf(text, sizeof text, "%04d/%02d/%02d %d:%02d:%02d", local.year, local.month,
                  local.day, local.hour, local.minute, second);
    return midnight ? std::string(text, std::string_view(text).find(' ')) : std::string(text);
  }
  // Written digit by digit: one of these is made for every file listed.
  std::string text;
  text.reserve(20);
  auto twoDigits = [&](int value) {
    text += static_cast<char>('0' + value / 10 % 10);
    text += static_cast<char>('0' + value % 10);
  };
  twoDigits(local.year / 100);
  twoDigits(local.year);
  text += '/';
  twoDigits(local.month);
  text += '/';
  twoDigits(local.day);
  if (!midnight) {
    text += ' ';
    if (local.hour >= 10) text += static_cast<char>('0' + local.hour / 10);
    text += static_cast<char>('0' + local.hour % 10);
    text += ':';
    twoDigits(local.minute);
    text += ':';
    twoDigits(second);
  }
  return text;
}

std::string TimeStampOf(Platform& platform, const DirEntryInfo& info, Side side) {
  if (info.isSymlink) return std::string(kLinkTimeStamp);
  if (!info.timeValid) {
    return side == Side::kSource ? "(time unreadable: source)" : "(time unreadable: destination)";
  }
  const std::optional<LocalDateTime> local = platform.ToLocalTime(info.lastWrite);
  if (!local) {
    std::string text = "@";
    text += std::to_string(info.lastWrite.seconds);
    return text;
  }
  const bool dosRange = local->year >= 1980 && local->year <= 2107;
  return FormatRegionalTimeStamp(*local, dosRange, platform.RegionalSettings());
}

}  // namespace fts
