// Writes a local date and time by a pattern in the letters of the Windows
// regional settings, the form in which the system hands out its short date
// and long time formats:
//
//   d, dd        day of the month, without and with a leading zero
//   ddd, dddd    abbreviated and full name of the day of the week
//   M, MM        month, without and with a leading zero
//   MMM, MMMM    abbreviated and full name of the month
//   y, yy        the last two digits of the year, without and with a leading zero
//   yyyy         the whole year, four digits at least (yyy and yyyyy alike)
//   g, gg        the era
//   h, hh        hour on the 12-hour clock, without and with a leading zero
//   H, HH        hour on the 24-hour clock, without and with a leading zero
//   m, mm        minutes, without and with a leading zero
//   s, ss        seconds, without and with a leading zero
//   t, tt        the first character of the AM or PM text, the whole text
//
// Text between single quotes is taken as it is, and two single quotes stand
// for one. Every other character is literal, "/" and ":" included.
//
// Kept in this header so that every platform's build has it without a
// source file of its own.
#pragma once

#include <array>
#include <charconv>
#include <cstddef>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace fts {
namespace date_time_pattern_detail {

inline void AppendNumber(std::string& out, int value, int minimumDigits) {
  char digits[16];
  const auto [end, error] = std::to_chars(digits, digits + sizeof digits, value < 0 ? 0 : value);
  const auto length = static_cast<int>(end - digits);
  if (error != std::errc()) return;
  for (int i = length; i < minimumDigits; ++i)
    out += '0';
  out.append(digits, end);
}

// 0 for Sunday up to 6 for Saturday, in the Gregorian calendar.
inline int DayOfWeek(int year, int month, int day) {
  static constexpr int kMonthOffset[] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
  if (month < 1 || month > 12) return 0;
  if (month < 3) year -= 1;
  const int weekday =
      (year + year / 4 - year / 100 + year / 400 + kMonthOffset[month - 1] + day) % 7;
  return weekday < 0 ? weekday + 7 : weekday;
}

// The length in bytes of the first UTF-8 character of `text`.
inline std::size_t FirstCharacterLength(std::string_view text) {
  if (text.empty()) return 0;
  std::size_t length = 1;
  while (length < text.size() && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) {
    ++length;
  }
  return length;
}

template <std::size_t N>
inline const std::string& NameAt(const std::array<std::string, N>& names, int index) {
  static const std::string kNone;
  return index >= 0 && index < static_cast<int>(N) ? names[static_cast<std::size_t>(index)] : kNone;
}

}  // namespace date_time_pattern_detail

inline void AppendDateTimePattern(std::string& out, std::string_view pattern,
                                  const LocalDateTime& t, const RegionalFormats& names) {
  namespace detail = date_time_pattern_detail;
  std::size_t i = 0;
  while (i < pattern.size()) {
    const char letter = pattern[i];
    if (letter == '\'') {
      ++i;
      if (i < pattern.size() && pattern[i] == '\'') {
        out += '\'';
        ++i;
        continue;
      }
      // A quoted stretch runs to the next lone quote, or to the end.
      while (i < pattern.size()) {
        if (pattern[i] == '\'') {
          if (i + 1 < pattern.size() && pattern[i + 1] == '\'') {
            out += '\'';
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        out += pattern[i++];
      }
      continue;
    }

    std::size_t run = 1;
    while (i + run < pattern.size() && pattern[i + run] == letter)
      ++run;
    const int count = static_cast<int>(run);
    const std::string& amPm = t.hour < 12 ? names.amText : names.pmText;
    switch (letter) {
      case 'd':
        if (count <= 2) {
          detail::AppendNumber(out, t.day, count);
        } else {
          const int weekday = detail::DayOfWeek(t.year, t.month, t.day);
          out += detail::NameAt(count == 3 ? names.abbreviatedDayNames : names.dayNames, weekday);
        }
        break;
      case 'M':
        if (count <= 2) {
          detail::AppendNumber(out, t.month, count);
        } else {
          out += detail::NameAt(count == 3 ? names.abbreviatedMonthNames : names.monthNames,
                                t.month - 1);
        }
        break;
      case 'y':
        if (count <= 2) {
          detail::AppendNumber(out, t.year % 100, count);
        } else {
          detail::AppendNumber(out, t.year, 4);
        }
        break;
      case 'g':
        out += names.eraText;
        break;
      case 'h': {
        const int hour = t.hour % 12 == 0 ? 12 : t.hour % 12;
        detail::AppendNumber(out, hour, count >= 2 ? 2 : 1);
        break;
      }
      case 'H':
        detail::AppendNumber(out, t.hour, count >= 2 ? 2 : 1);
        break;
      case 'm':
        detail::AppendNumber(out, t.minute, count >= 2 ? 2 : 1);
        break;
      case 's':
        detail::AppendNumber(out, t.second, count >= 2 ? 2 : 1);
        break;
      case 't':
        out += count == 1 ? amPm.substr(0, detail::FirstCharacterLength(amPm)) : amPm;
        break;
      default:
        out.append(pattern.substr(i, run));
        break;
    }
    i += run;
  }
}

inline std::string FormatDateTimePattern(std::string_view pattern, const LocalDateTime& t,
                                         const RegionalFormats& names) {
  std::string out;
  AppendDateTimePattern(out, pattern, t, names);
  return out;
}

}  // namespace fts
