#include "inventory/exclusion_rules.h"

#include <algorithm>

namespace fts {
namespace {

// A name is matched character by character, a character being a byte and
// the UTF-8 continuation bytes after it (a name that is not UTF-8 still
// splits this way). Every part of a pattern takes whole characters, so a
// "*" never has to resume inside one: that is what lets the matcher below
// try only the last "*" again.
std::string_view CharacterAt(std::string_view text, std::size_t at) {
  std::size_t length = 1;
  while (at + length < text.size() &&
         (static_cast<unsigned char>(text[at + length]) & 0xC0) == 0x80) {
    ++length;
  }
  return text.substr(at, length);
}

// True when the character at text[at] is `c` alone.
bool Is(std::string_view text, std::size_t at, char c) {
  return at < text.size() && text[at] == c && CharacterAt(text, at).size() == 1;
}

// Matches the character `c` against the set that begins at pattern[at]
// ("[" already passed); sets `end` to the position after its "]". False for
// `matched` and end == npos when the set is not closed (the "[" is then
// plain). Ranges compare characters in UTF-8 byte order, which is the order
// of their code points.
void MatchSet(std::string_view pattern, std::size_t at, std::string_view c, bool escapes,
              bool& matched, std::size_t& end) {
  matched = false;
  bool negated = false;
  if (Is(pattern, at, '!') || Is(pattern, at, '^')) {
    negated = true;
    ++at;
  }
  bool first = true;
  while (at < pattern.size() && (first || !Is(pattern, at, ']'))) {
    first = false;
    if (escapes && Is(pattern, at, '\\') && at + 1 < pattern.size()) ++at;
    const std::string_view low = CharacterAt(pattern, at);
    at += low.size();
    std::string_view high = low;
    if (Is(pattern, at, '-') && at + 1 < pattern.size() && !Is(pattern, at + 1, ']')) {
      ++at;
      if (escapes && Is(pattern, at, '\\') && at + 1 < pattern.size()) ++at;
      high = CharacterAt(pattern, at);
      at += high.size();
    }
    if (low <= c && c <= high) matched = true;
  }
  if (at >= pattern.size()) {
    end = std::string_view::npos;
    matched = false;
    return;
  }
  end = at + 1;
  matched = matched != negated;
}

}  // namespace

bool MatchesNamePattern(std::string_view pattern, std::string_view name, bool escapes) {
  // Left to right; at a mismatch after a "*", that star takes one more
  // character and the rest is tried again.
  std::size_t p = 0;
  std::size_t n = 0;
  std::size_t starP = std::string_view::npos;
  std::size_t starN = 0;
  while (n < name.size()) {
    const std::string_view c = CharacterAt(name, n);
    if (p < pattern.size()) {
      if (Is(pattern, p, '*')) {
        while (Is(pattern, p, '*'))
          ++p;
        starP = p;
        starN = n;
        continue;
      }
      if (Is(pattern, p, '?')) {
        ++p;
        n += c.size();
        continue;
      }
      std::size_t literal = p;
      if (Is(pattern, p, '[')) {
        bool matched;
        std::size_t end;
        MatchSet(pattern, p + 1, c, escapes, matched, end);
        if (end != std::string_view::npos) {
          if (matched) {
            p = end;
            n += c.size();
            continue;
          }
          literal = std::string_view::npos;  // a closed set that does not match
        }
        // Not closed: a plain "[".
      } else if (escapes && Is(pattern, p, '\\') && p + 1 < pattern.size()) {
        ++literal;
      }
      if (literal != std::string_view::npos && CharacterAt(pattern, literal) == c) {
        p = literal + c.size();
        n += c.size();
        continue;
      }
    }
    if (starP == std::string_view::npos) return false;
    p = starP;
    starN += CharacterAt(name, starN).size();
    n = starN;
  }
  while (Is(pattern, p, '*'))
    ++p;
  return p == pattern.size();
}

bool ExclusionRules::Add(std::string_view text) {
  std::string pattern(text);
  if (options_.backslashSeparates) std::replace(pattern.begin(), pattern.end(), '\\', '/');
  if (options_.foldCase) pattern = options_.foldCase(pattern);
  Rule rule;
  if (pattern.ends_with('/')) {
    rule.foldersOnly = true;
    while (pattern.ends_with('/'))
      pattern.pop_back();
  }
  std::string_view rest = pattern;
  rule.anchored = rest.find('/') != std::string_view::npos;
  while (rest.starts_with('/'))
    rest.remove_prefix(1);
  if (rest.empty()) return false;
  for (std::size_t begin = 0; begin <= rest.size();) {
    const std::size_t end = std::min(rest.find('/', begin), rest.size());
    std::string name(rest.substr(begin, end - begin));
    begin = end + 1;
    if (name.empty()) continue;  // "a//b" is "a/b"
    if (name == "**") {
      if (!rule.names.empty() && rule.names.back() == "**") continue;
      rule.anyDepth = true;
    } else if (name.find("**") != std::string::npos) {
      // Within a name, "**" is a plain "*".
      name.erase(std::unique(name.begin(), name.end(),
                             [](char a, char b) { return a == '*' && b == '*'; }),
                 name.end());
    }
    rule.names.push_back(std::move(name));
  }
  if (!rule.anchored && rule.names.size() == 1 && rule.names[0] == "**") {
    rule.anchored = true;  // "**" alone: everything
  }
  rules_.push_back(std::move(rule));
  return true;
}

bool ExclusionRules::MatchNames(const Rule& rule,
                                const std::vector<std::string_view>& names) const {
  const bool escapes = !options_.backslashSeparates;
  const std::size_t patterns = rule.names.size();
  if (!rule.anyDepth) {
    if (patterns != names.size()) return false;
    for (std::size_t i = 0; i < patterns; ++i) {
      if (!MatchesNamePattern(rule.names[i], names[i], escapes)) return false;
    }
    return true;
  }
  // matches[i][j]: the patterns from i on match the names from j on,
  // worked out from the ends, so that no "**" is ever tried twice alike.
  const std::size_t width = names.size() + 1;
  std::vector<char> matches((patterns + 1) * width, 0);
  auto at = [&](std::size_t i, std::size_t j) -> char& { return matches[i * width + j]; };
  at(patterns, names.size()) = 1;
  for (std::size_t i = patterns; i-- > 0;) {
    for (std::size_t j = width; j-- > 0;) {
      if (rule.names[i] == "**") {
        // Any run of names; at the end, at least one: what is inside.
        at(i, j) = i + 1 == patterns ? j < names.size()
                                     : at(i + 1, j) || (j < names.size() && at(i, j + 1));
      } else {
        at(i, j) = j < names.size() && at(i + 1, j + 1) &&
                   MatchesNamePattern(rule.names[i], names[j], escapes);
      }
    }
  }
  return at(0, 0) != 0;
}

bool ExclusionRules::Excludes(std::string_view relPath, bool isFolder) const {
  if (rules_.empty()) return false;
  std::string folded;
  if (options_.backslashSeparates || options_.foldCase) {
    folded = std::string(relPath);
    if (options_.backslashSeparates) std::replace(folded.begin(), folded.end(), '\\', '/');
    if (options_.foldCase) folded = options_.foldCase(folded);
    relPath = folded;
  }
  std::vector<std::string_view> names;
  for (std::size_t begin = 0; begin <= relPath.size();) {
    const std::size_t end = std::min(relPath.find('/', begin), relPath.size());
    names.push_back(relPath.substr(begin, end - begin));
    begin = end + 1;
  }
  const bool escapes = !options_.backslashSeparates;
  for (const Rule& rule : rules_) {
    if (rule.foldersOnly && !isFolder) continue;
    if (!rule.anchored) {
      if (MatchesNamePattern(rule.names[0], names.back(), escapes)) return true;
      continue;
    }
    if (MatchNames(rule, names)) return true;
  }
  return false;
}

std::vector<std::string> PatternsOfExcludeFile(std::string_view text) {
  std::vector<std::string> patterns;
  while (!text.empty()) {
    const std::size_t end = std::min(text.find('\n'), text.size());
    std::string_view line = text.substr(0, end);
    text.remove_prefix(std::min(end + 1, text.size()));
    if (line.ends_with('\r')) line.remove_suffix(1);
    if (line.empty() || line.starts_with('#')) continue;
    patterns.emplace_back(line);
  }
  return patterns;
}

}  // namespace fts
