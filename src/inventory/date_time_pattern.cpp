#include "inventory/date_time_pattern.h"

#include <array>
#include <charconv>
#include <cstddef>
#include <cstdint>

namespace fts {
namespace {

void AppendNumber(std::string& out, int value, int minimumDigits) {
  char digits[16];
  const auto [end, error] = std::to_chars(digits, digits + sizeof digits, value < 0 ? 0 : value);
  const auto length = static_cast<int>(end - digits);
  if (error != std::errc()) return;
  for (int i = length; i < minimumDigits; ++i)
    out += '0';
  out.append(digits, end);
}

// 0 for Sunday up to 6 for Saturday, in the Gregorian calendar. Worked out
// in 64 bits: the sum overflows an int for years and days far out of range.
int DayOfWeek(int year, int month, int day) {
  static constexpr int kMonthOffset[] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
  if (month < 1 || month > 12) return 0;
  std::int64_t y = year;
  if (month < 3) y -= 1;
  const std::int64_t weekday = (y + y / 4 - y / 100 + y / 400 + kMonthOffset[month - 1] + day) % 7;
  return static_cast<int>(weekday < 0 ? weekday + 7 : weekday);
}

// The length in bytes of the first UTF-8 character of `text`.
std::size_t FirstCharacterLength(std::string_view text) {
  if (text.empty()) return 0;
  std::size_t length = 1;
  while (length < text.size() && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) {
    ++length;
  }
  return length;
}

// The name of day or month `number`, counted from `first`; empty for a
// number out of range.
template <std::size_t N>
const std::string& NameAt(const std::array<std::string, N>& names, int number, int first) {
  static const std::string kNone;
  const std::int64_t index = static_cast<std::int64_t>(number) - first;
  return index >= 0 && index < static_cast<std::int64_t>(N) ? names[static_cast<std::size_t>(index)]
                                                            : kNone;
}

}  // namespace

void AppendDateTimePattern(std::string& out, std::string_view pattern, const LocalDateTime& t,
                           const RegionalFormats& names) {
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
          AppendNumber(out, t.day, count);
        } else {
          const int weekday = DayOfWeek(t.year, t.month, t.day);
          out += NameAt(count == 3 ? names.abbreviatedDayNames : names.dayNames, weekday, 0);
        }
        break;
      case 'M':
        if (count <= 2) {
          AppendNumber(out, t.month, count);
        } else {
          out += NameAt(count == 3 ? names.abbreviatedMonthNames : names.monthNames, t.month, 1);
        }
        break;
      case 'y':
        if (count <= 2) {
          AppendNumber(out, t.year % 100, count);
        } else {
          AppendNumber(out, t.year, 4);
        }
        break;
      case 'g':
        out += names.eraText;
        break;
      case 'h': {
        const int hour = t.hour % 12 == 0 ? 12 : t.hour % 12;
        AppendNumber(out, hour, count >= 2 ? 2 : 1);
        break;
      }
      case 'H':
        AppendNumber(out, t.hour, count >= 2 ? 2 : 1);
        break;
      case 'm':
        AppendNumber(out, t.minute, count >= 2 ? 2 : 1);
        break;
      case 's':
        AppendNumber(out, t.second, count >= 2 ? 2 : 1);
        break;
      case 't':
        out += count == 1 ? amPm.substr(0, FirstCharacterLength(amPm)) : amPm;
        break;
      default:
        out.append(pattern.substr(i, run));
        break;
    }
    i += run;
  }
}

std::string FormatDateTimePattern(std::string_view pattern, const LocalDateTime& t,
                                  const RegionalFormats& names) {
  std::string out;
  AppendDateTimePattern(out, pattern, t, names);
  return out;
}

}  // namespace fts
