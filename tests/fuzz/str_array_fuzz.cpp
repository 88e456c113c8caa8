// The record splitter with any line, delimiter and quote.
//
// Input: a byte giving the delimiter's length and one giving the quote's
// (each modulo 8, so '3' and '0' stand for 3 and 0), the delimiter, the
// quote, then the line.
#include <climits>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "text/UnitStrArray.h"

namespace {

using Items = std::vector<std::string>;

Items ItemsOf(const fts::TStrArrayClass& splitter) {
  Items items;
  for (std::int32_t i = 0; i < splitter.Count(); ++i)
    items.emplace_back(splitter.GetItem(i));
  return items;
}

std::string Join(const Items& items, std::string_view delimiter) {
  std::string joined;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i != 0) joined += delimiter;
    joined += items[i];
  }
  return joined;
}

std::size_t Occurrences(std::string_view text, std::string_view part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string_view::npos;
       at = text.find(part, at + part.size())) {
    ++count;
  }
  return count;
}

void CheckOutOfRangeIsEmpty(const fts::TStrArrayClass& splitter) {
  for (std::int32_t index : {INT32_MIN, -1, splitter.Count(), splitter.Count() + 1, INT32_MAX}) {
    FUZZ_CHECK(splitter.GetItem(index).empty());
  }
}

// Fields built from the bytes of `source` that are neither in the quote nor
// in the delimiter, quoted and joined, split back into exactly those fields.
void CheckQuotedFieldsSplitBack(std::string_view delimiter, std::string_view quote,
                                std::string_view source) {
  Items fields;
  for (std::string_view piece : fts::fuzz::SplitAt(source, '\n')) {
    std::string field;
    for (char c : piece) {
      if (quote.find(c) == std::string_view::npos && delimiter.find(c) == std::string_view::npos)
        field += c;
    }
    if (!field.empty()) fields.push_back(field);
  }
  if (fields.empty()) return;
  std::string line;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (i != 0) line += delimiter;
    line += std::string(quote) + fields[i] + std::string(quote);
  }
  fts::TStrArrayClass splitter;
  splitter.SetDelimiter(delimiter);
  splitter.SetQuote(quote);
  splitter.Split(line);
  FUZZ_CHECK(ItemsOf(splitter) == fields);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input = fts::fuzz::AsText(data, size);
  const unsigned delimiterLength = fts::fuzz::TakeSelector(input, 8);
  const unsigned quoteLength = fts::fuzz::TakeSelector(input, 8);
  const std::string_view delimiter = fts::fuzz::TakeBytes(input, delimiterLength);
  const std::string_view quote = fts::fuzz::TakeBytes(input, quoteLength);
  const std::string_view line = input;

  fts::TStrArrayClass splitter;
  CheckOutOfRangeIsEmpty(splitter);
  splitter.SetDelimiter(delimiter);
  splitter.SetQuote(quote);
  splitter.Split(line);
  FUZZ_CHECK(splitter.Count() >= 1);
  CheckOutOfRangeIsEmpty(splitter);
  const Items items = ItemsOf(splitter);
  std::size_t total = 0;
  for (const std::string& item : items)
    total += item.size();
  FUZZ_CHECK(total <= line.size());

  // The same line again, after another one and in a fresh splitter: the
  // same items.
  splitter.Split(line);
  FUZZ_CHECK(ItemsOf(splitter) == items);
  splitter.Split(delimiter);
  splitter.Split(line);
  FUZZ_CHECK(ItemsOf(splitter) == items);
  fts::TStrArrayClass fresh;
  fresh.SetDelimiter(delimiter);
  fresh.SetQuote(quote);
  fresh.Split(line);
  FUZZ_CHECK(ItemsOf(fresh) == items);

  // A line split from one of its own items: the items outlive the old line.
  const std::string firstItem(splitter.GetItem(0));
  splitter.Split(splitter.GetItem(0));
  fresh.Split(firstItem);
  FUZZ_CHECK(ItemsOf(splitter) == ItemsOf(fresh));

  if (quote.empty()) {
    // Without a quote the items are the pieces between the delimiters.
    FUZZ_CHECK(Join(items, delimiter) == line);
    if (delimiter.empty()) {
      FUZZ_CHECK(items.size() == 1);
    } else {
      FUZZ_CHECK(items.size() == Occurrences(line, delimiter) + 1);
      for (const std::string& item : items)
        FUZZ_CHECK(item.find(delimiter) == std::string::npos);
    }
  } else {
    CheckQuotedFieldsSplitBack(delimiter, quote, line);
  }
  return 0;
}
