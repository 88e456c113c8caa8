// The TimeStamp text of a local time, for any field values.
//
// Input: decimal numbers separated by blanks: year, month, day, hour,
// minute, second, and a last one that, when not 0, asks for the two-second
// DOS range; missing numbers read as 0. "2024 5 1 9 3 7 1" is a seed.
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "inventory/date_time_pattern.h"
#include "inventory/time_stamp.h"
#include "platform/platform.h"

namespace {

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

int Number(std::string_view digits) {
  int value = 0;
  for (char c : digits)
    value = value * 10 + (c - '0');
  return value;
}

bool AllDigits(std::string_view text) {
  for (char c : text) {
    if (!IsDigit(c)) return false;
  }
  return !text.empty();
}

bool InRange(int value, int low, int high) {
  return value >= low && value <= high;
}

// A time a file system can hand over: the shape of the text is exact.
void CheckValidTime(const fts::LocalDateTime& t, bool dosRange, const std::string& text) {
  const int second = dosRange ? t.second - t.second % 2 : t.second;
  const bool midnight = t.hour == 0 && t.minute == 0 && second == 0;
  FUZZ_CHECK(text.size() >= 10);
  FUZZ_CHECK(AllDigits(text.substr(0, 4)) && text[4] == '/' && AllDigits(text.substr(5, 2)) &&
             text[7] == '/' && AllDigits(text.substr(8, 2)));
  FUZZ_CHECK(Number(text.substr(0, 4)) == t.year);
  FUZZ_CHECK(Number(text.substr(5, 2)) == t.month);
  FUZZ_CHECK(Number(text.substr(8, 2)) == t.day);
  if (midnight) {
    FUZZ_CHECK(text.size() == 10);
    return;
  }
  // " H:MM:SS", the hour without a leading zero.
  const std::string_view time = std::string_view(text).substr(10);
  FUZZ_CHECK(time.size() == 8 || time.size() == 9);
  FUZZ_CHECK(time[0] == ' ');
  const std::size_t colon = time.find(':');
  FUZZ_CHECK(colon == 2 || colon == 3);
  const std::string_view hour = time.substr(1, colon - 1);
  FUZZ_CHECK(AllDigits(hour) && (hour.size() == 1 || hour[0] != '0'));
  FUZZ_CHECK(Number(hour) == t.hour);
  FUZZ_CHECK(time.size() == colon + 6 && time[colon + 3] == ':');
  FUZZ_CHECK(AllDigits(time.substr(colon + 1, 2)) && AllDigits(time.substr(colon + 4, 2)));
  FUZZ_CHECK(Number(time.substr(colon + 1, 2)) == t.minute);
  const int writtenSecond = Number(time.substr(colon + 4, 2));
  FUZZ_CHECK(writtenSecond == second);
  if (dosRange) FUZZ_CHECK(writtenSecond % 2 == 0);

  // The regional way with the fixed formats writes the same text.
  const fts::RegionalFormats fixed;
  fts::LocalDateTime shown = t;
  shown.second = second;
  std::string regional = fts::FormatDateTimePattern(fixed.shortDate, shown, fixed);
  regional += ' ';
  fts::AppendDateTimePattern(regional, fixed.longTime, shown, fixed);
  FUZZ_CHECK(regional == text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<int> numbers = fts::fuzz::ParseNumbers(fts::fuzz::AsText(data, size));
  numbers.resize(7, 0);
  const fts::LocalDateTime t{numbers[0], numbers[1], numbers[2],
                             numbers[3], numbers[4], numbers[5]};
  const bool dosRange = numbers[6] != 0;
  const std::string text = fts::FormatTimeStamp(t, dosRange);

  // Every time gives a text that a record can carry: numbers and their
  // signs, and the separators of date and time.
  FUZZ_CHECK(!text.empty());
  for (char c : text)
    FUZZ_CHECK(IsDigit(c) || c == '/' || c == ':' || c == ' ' || c == '-');

  // Every time, also one no system hands out, is written with its numbers
  // as they are: "%04d/%02d/%02d %d:%02d:%02d", the time left out at
  // exactly midnight.
  const int second = dosRange ? t.second & ~1 : t.second;
  char expected[96];
  std::snprintf(expected, sizeof expected, "%04d/%02d/%02d", t.year, t.month, t.day);
  std::string byHand = expected;
  if (t.hour != 0 || t.minute != 0 || second != 0) {
    std::snprintf(expected, sizeof expected, " %d:%02d:%02d", t.hour, t.minute, second);
    byHand += expected;
  }
  FUZZ_CHECK(text == byHand);

  if (InRange(t.year, 1980, 2107) && InRange(t.month, 1, 12) && InRange(t.day, 1, 31) &&
      InRange(t.hour, 0, 23) && InRange(t.minute, 0, 59) && InRange(t.second, 0, 59)) {
    CheckValidTime(t, dosRange, text);
  }
  return 0;
}
