#include "inventory/copy_rules.h"

#include <algorithm>
#include <vector>

namespace fts {
namespace {

// The words of a comma-separated list; nullopt when one is empty or given
// twice.
std::optional<std::vector<std::string_view>> WordsOf(std::string_view text) {
  std::vector<std::string_view> words;
  for (;;) {
    const std::size_t comma = text.find(',');
    const std::string_view word = text.substr(0, comma);
    if (word.empty() || std::find(words.begin(), words.end(), word) != words.end()) {
      return std::nullopt;
    }
    words.push_back(word);
    if (comma == std::string_view::npos) return words;
    text.remove_prefix(comma + 1);
  }
}

}  // namespace

std::optional<SourceLinks> ParseSourceLinks(std::string_view text) {
  if (text == "follow") return SourceLinks::kFollow;
  if (text == "keep") return SourceLinks::kKeep;
  if (text == "skip") return SourceLinks::kSkip;
  return std::nullopt;
}

bool ParsePreserveList(std::string_view text, CopyRules& rules) {
  const auto words = WordsOf(text);
  if (!words) return false;
  for (std::string_view word : *words) {
    if (word == "owner") {
      rules.carried.owner = true;
    } else if (word == "xattrs") {
      rules.carried.xattrs = true;
    } else if (word == "acls") {
      rules.carried.acls = true;
    } else if (word == "hardlinks") {
      rules.hardLinks = true;
    } else {
      return false;
    }
  }
  return true;
}

std::optional<CompareItems> ParseCompareList(std::string_view text) {
  const auto words = WordsOf(text);
  if (!words) return std::nullopt;
  CompareItems items;
  items.time = false;
  for (std::string_view word : *words) {
    if (word == "time") {
      items.time = true;
    } else if (word == "size") {
      items.size = true;
    } else if (word == "content") {
      items.content = true;
    } else if (word == "attributes") {
      items.attributes = true;
    } else {
      return std::nullopt;
    }
  }
  return items;
}

}  // namespace fts
