// The regional date and time pattern writer, for any pattern, any time and
// any names.
//
// Input, three parts:
//   line 1: year month day hour minute second, decimal, blank-separated;
//   line 2: names separated by '|', in this order: AM text, PM text, era,
//           the 12 month names, the 12 abbreviated ones, the 7 day names, the
//           7 abbreviated ones; those not given keep their English texts;
//   the rest: the pattern.
#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "inventory/date_time_pattern.h"
#include "platform/platform.h"

namespace {

fts::RegionalFormats NamesFrom(std::string_view line) {
  fts::RegionalFormats names;
  std::vector<std::string*> slots = {&names.amText, &names.pmText, &names.eraText};
  for (auto& name : names.monthNames)
    slots.push_back(&name);
  for (auto& name : names.abbreviatedMonthNames)
    slots.push_back(&name);
  for (auto& name : names.dayNames)
    slots.push_back(&name);
  for (auto& name : names.abbreviatedDayNames)
    slots.push_back(&name);
  if (line.empty()) return names;
  const std::vector<std::string_view> given = fts::fuzz::SplitAt(line, '|');
  for (std::size_t i = 0; i < given.size() && i < slots.size(); ++i)
    *slots[i] = given[i];
  return names;
}

// The most one run of a letter, or one literal byte, can add: the longest
// name, or the longest number an int makes.
std::size_t LongestPiece(const fts::RegionalFormats& names) {
  std::size_t longest = 11;
  for (const std::string* text : {&names.amText, &names.pmText, &names.eraText})
    longest = std::max(longest, text->size());
  for (const auto& name : names.monthNames)
    longest = std::max(longest, name.size());
  for (const auto& name : names.abbreviatedMonthNames)
    longest = std::max(longest, name.size());
  for (const auto& name : names.dayNames)
    longest = std::max(longest, name.size());
  for (const auto& name : names.abbreviatedDayNames)
    longest = std::max(longest, name.size());
  return longest;
}

bool IsPatternLetter(char c) {
  return std::string_view("dMyghHmst'").find(c) != std::string_view::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input = fts::fuzz::AsText(data, size);
  std::vector<int> numbers = fts::fuzz::ParseNumbers(fts::fuzz::TakeUntil(input, '\n'));
  numbers.resize(6, 0);
  const fts::LocalDateTime t{numbers[0], numbers[1], numbers[2],
                             numbers[3], numbers[4], numbers[5]};
  const fts::RegionalFormats names = NamesFrom(fts::fuzz::TakeUntil(input, '\n'));
  const std::string_view pattern = input;

  const std::string text = fts::FormatDateTimePattern(pattern, t, names);
  FUZZ_CHECK(text.size() <= pattern.size() * LongestPiece(names));

  // The writer appends to what is there.
  std::string appended = "before ";
  fts::AppendDateTimePattern(appended, pattern, t, names);
  FUZZ_CHECK(appended == "before " + text);

  // Bytes that are no pattern letters stand as they are, and so does text
  // in single quotes (but for none at all: two quotes stand for one).
  if (std::none_of(pattern.begin(), pattern.end(), IsPatternLetter)) FUZZ_CHECK(text == pattern);
  std::string literal;
  for (char c : pattern) {
    if (c != '\'') literal += c;
  }
  if (!literal.empty()) {
    FUZZ_CHECK(fts::FormatDateTimePattern("'" + literal + "'", t, names) == literal);
  }
  return 0;
}
