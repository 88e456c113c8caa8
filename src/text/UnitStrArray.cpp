#include "text/UnitStrArray.h"

namespace fts {
namespace {

// Up to `length` bytes of `text` from `start`; empty when length <= 0 or
// start lies beyond the end.
std::string_view Cut(std::string_view text, std::ptrdiff_t start, std::ptrdiff_t length) {
  if (length <= 0 || start >= static_cast<std::ptrdiff_t>(text.size())) return {};
  return text.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(length));
}

}  // namespace

void TStrArrayClass::Split(std::string_view line) {
  line_.assign(line);
  searchText_ = quote_ + delimiter_ + quote_;
  const auto quoteLength = static_cast<std::ptrdiff_t>(quote_.size());
  const auto searchLength = static_cast<std::ptrdiff_t>(searchText_.size());

  items_.clear();
  std::string_view work = line_;
  auto find = [&](std::string_view text) {
    return searchText_.empty() ? std::string_view::npos : text.find(searchText_);
  };
  for (auto found = find(work); found != std::string_view::npos; found = find(work)) {
    const auto at = static_cast<std::ptrdiff_t>(found);
    items_.push_back(Cut(work, quoteLength, at - quoteLength));
    // The next field's opening quote stays in the work text.
    const std::ptrdiff_t next = at + searchLength - quoteLength;
    work = next >= static_cast<std::ptrdiff_t>(work.size())
               ? std::string_view{}
               : work.substr(static_cast<std::size_t>(next));
  }
  items_.push_back(
      Cut(work, quoteLength, static_cast<std::ptrdiff_t>(work.size()) - 2 * quoteLength));
}

std::string_view TStrArrayClass::GetItem(std::int32_t index) const {
  if (index < 0 || index >= Count()) return {};
  return items_[static_cast<std::size_t>(index)];
}

}  // namespace fts
