// The exclusion rules and the reading of an exclude file.
//
// Input: a selector byte ('0' POSIX rules, '1' Windows rules: "\" separates
// and letter case is folded), then a pattern line, a RelPath line (names
// joined by "/"), and the rest as the text of an exclude file.
#include <algorithm>
#include <cctype>
#include <cstddef>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "inventory/exclusion_rules.h"

namespace {

std::size_t CharacterLength(std::string_view text, std::size_t at) {
  std::size_t length = 1;
  while (at + length < text.size() &&
         (static_cast<unsigned char>(text[at + length]) & 0xC0) == 0x80) {
    ++length;
  }
  return length;
}

// A plain recursive matcher of one name, written apart from the program's:
// exponential, but the inputs it gets are short.
bool ReferenceMatch(std::string_view p, std::string_view n, bool escapes) {
  if (p.empty()) return n.empty();
  if (p[0] == '*') {
    while (!p.empty() && p[0] == '*')
      p.remove_prefix(1);
    for (std::size_t k = 0;; k += CharacterLength(n, k)) {
      if (ReferenceMatch(p, n.substr(k), escapes)) return true;
      if (k >= n.size()) return false;
    }
  }
  if (p[0] == '?') {
    return !n.empty() && ReferenceMatch(p.substr(1), n.substr(CharacterLength(n, 0)), escapes);
  }
  if (p[0] == '[') {
    // The set: "!" or "^" negates, a "]" first is plain, "a-z" a range.
    std::size_t at = 1;
    bool negated = false;
    if (at < p.size() && (p[at] == '!' || p[at] == '^')) {
      negated = true;
      ++at;
    }
    bool found = false;
    bool first = true;
    const unsigned char c = n.empty() ? 0 : static_cast<unsigned char>(n[0]);
    while (at < p.size() && (first || p[at] != ']')) {
      first = false;
      unsigned char low = static_cast<unsigned char>(p[at]);
      if (escapes && low == '\\' && at + 1 < p.size()) low = static_cast<unsigned char>(p[++at]);
      ++at;
      unsigned char high = low;
      if (at + 1 < p.size() && p[at] == '-' && p[at + 1] != ']') {
        high = static_cast<unsigned char>(p[at + 1]);
        if (escapes && high == '\\' && at + 2 < p.size()) {
          high = static_cast<unsigned char>(p[at + 2]);
          ++at;
        }
        at += 2;
      }
      if (c >= low && c <= high) found = true;
    }
    if (at < p.size()) {  // closed
      return !n.empty() && found != negated &&
             ReferenceMatch(p.substr(at + 1), n.substr(1), escapes);
    }
    return !n.empty() && n[0] == '[' && ReferenceMatch(p.substr(1), n.substr(1), escapes);
  }
  std::size_t literal = 0;
  if (escapes && p[0] == '\\' && p.size() > 1) literal = 1;
  return !n.empty() && p[literal] == n[0] &&
         ReferenceMatch(p.substr(literal + 1), n.substr(1), escapes);
}

std::string Upper(const std::string& text) {
  std::string upper = text;
  std::transform(upper.begin(), upper.end(), upper.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return upper;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input = fts::fuzz::AsText(data, size);
  const bool windows = fts::fuzz::TakeSelector(input, 2) == 1;
  const std::string pattern(fts::fuzz::TakeUntil(input, '\n'));
  std::string relPath(fts::fuzz::TakeUntil(input, '\n'));
  std::replace(relPath.begin(), relPath.end(), '\0', 'x');

  fts::ExclusionRules::Options options;
  if (windows) {
    options.backslashSeparates = true;
    options.foldCase = Upper;
  }
  fts::ExclusionRules rules(options);
  const bool added = rules.Add(pattern);
  // Only a pattern of nothing but separators can match nothing.
  const bool onlySeparators = pattern.find_first_not_of(windows ? "/\\" : "/") == std::string::npos;
  FUZZ_CHECK(added != onlySeparators);
  FUZZ_CHECK(rules.Empty() == !added);
  const bool excludedFile = rules.Excludes(relPath, false);
  const bool excludedFolder = rules.Excludes(relPath, true);
  // A pattern for folders only never leaves out a file; any other matches
  // files and folders alike.
  if (excludedFile) FUZZ_CHECK(excludedFolder);
  if (windows) {
    FUZZ_CHECK(rules.Excludes(Upper(relPath), true) == excludedFolder);
    std::string backslashed = relPath;
    std::replace(backslashed.begin(), backslashed.end(), '/', '\\');
    FUZZ_CHECK(rules.Excludes(backslashed, true) == excludedFolder);
  }

  // A one-name pattern without "/" and "**" matches a one-name RelPath
  // exactly as the plain matcher says.
  const bool oneName = added && pattern.find('/') == std::string::npos &&
                       (!windows || pattern.find('\\') == std::string::npos) &&
                       pattern.find("**") == std::string::npos && pattern.size() <= 12 &&
                       relPath.find('/') == std::string::npos &&
                       (!windows || relPath.find('\\') == std::string::npos) &&
                       relPath.size() <= 16;
  if (oneName && !relPath.empty()) {
    const std::string p = windows ? Upper(pattern) : pattern;
    const std::string n = windows ? Upper(relPath) : relPath;
    FUZZ_CHECK(excludedFolder == ReferenceMatch(p, n, !windows));
  }

  // The exclude file: no pattern holds a line end, is empty or a comment,
  // and there are no more patterns than lines.
  const auto lines = fts::PatternsOfExcludeFile(input);
  FUZZ_CHECK(lines.size() <=
             static_cast<std::size_t>(std::count(input.begin(), input.end(), '\n')) + 1);
  for (const std::string& line : lines) {
    FUZZ_CHECK(!line.empty() && line[0] != '#');
    FUZZ_CHECK(line.find('\n') == std::string::npos);
  }
  return 0;
}
