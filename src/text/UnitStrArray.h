// Splits one line of text into fields at a delimiter, with an optional quote
// text expected around every field, and hands the fields out by number.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace fts {

class TStrArrayClass {
 public:
  void SetDelimiter(std::string_view text) { delimiter_ = text; }
  void SetQuote(std::string_view text) { quote_ = text; }

  // Replaces the items with the fields of `line`: the pieces between
  // successive occurrences of quote + delimiter + quote, found left to right,
  // with the quote's length cut from the front of every field and from the
  // end of the last one. Every line yields at least one item.
  void Split(std::string_view line);

  // The item at `index`, or the empty text when there is none. The view
  // stays valid until the next Split.
  std::string_view GetItem(std::int32_t index) const;
  std::int32_t Count() const { return static_cast<std::int32_t>(items_.size()); }

 private:
  std::string line_;
  std::string delimiter_ = " ";
  std::string quote_;
  std::string searchText_;
  std::vector<std::string_view> items_;
};

}  // namespace fts
