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
#include <vector>

#include "fuzz_support.h"
#include "inventory/exclusion_rules.h"

namespace {

// The characters of a text: a byte and the UTF-8 continuation bytes after it.
std::vector<std::string> Characters(std::string_view text) {
  std::vector<std::string> characters;
  for (unsigned char c : text) {
    if (characters.empty() || (c & 0xC0) != 0x80) characters.emplace_back();
    characters.back() += static_cast<char>(c);
  }
  return characters;
}

using Chars = std::vector<std::string>;

// A plain recursive matcher of one name, written apart from the program's,
// over whole characters: exponential, but the inputs it gets are short.
bool ReferenceMatch(const Chars& p, std::size_t i, const Chars& n, std::size_t j, bool escapes) {
  if (i == p.size()) return j == n.size();
  if (p[i] == "*") {
    while (i < p.size() && p[i] == "*")
      ++i;
    for (std::size_t k = j; k <= n.size(); ++k) {
      if (ReferenceMatch(p, i, n, k, escapes)) return true;
    }
    return false;
  }
  if (j == n.size()) return false;
  if (p[i] == "?") return ReferenceMatch(p, i + 1, n, j + 1, escapes);
  if (p[i] == "[") {
    // The set: "!" or "^" negates, a "]" first is plain, "a-z" a range.
    std::size_t at = i + 1;
    bool negated = false;
    if (at < p.size() && (p[at] == "!" || p[at] == "^")) {
      negated = true;
      ++at;
    }
    bool found = false;
    bool first = true;
    while (at < p.size() && (first || p[at] != "]")) {
      first = false;
      if (escapes && p[at] == "\\" && at + 1 < p.size()) ++at;
      std::string low = p[at++];
      std::string high = low;
      if (at + 1 < p.size() && p[at] == "-" && p[at + 1] != "]") {
        ++at;
        if (escapes && p[at] == "\\" && at + 1 < p.size()) ++at;
        high = p[at++];
      }
      if (low <= n[j] && n[j] <= high) found = true;
    }
    if (at < p.size()) return found != negated && ReferenceMatch(p, at + 1, n, j + 1, escapes);
    return n[j] == "[" && ReferenceMatch(p, i + 1, n, j + 1, escapes);  // not closed
  }
  const std::size_t literal = escapes && p[i] == "\\" && i + 1 < p.size() ? i + 1 : i;
  return p[literal] == n[j] && ReferenceMatch(p, literal + 1, n, j + 1, escapes);
}

bool ReferenceMatch(std::string_view pattern, std::string_view name, bool escapes) {
  return ReferenceMatch(Characters(pattern), 0, Characters(name), 0, escapes);
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
