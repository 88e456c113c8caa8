// Which entries a run leaves out: patterns in the manner of ignore files,
// matched against an entry's RelPath with "/" between names.
//
//   - a pattern without a "/" (a trailing one aside) matches an entry's name
//     at any depth: "*.tmp", "node_modules/";
//   - a pattern with a leading or an inner "/" is anchored at the root:
//     "/build/", "docs/*.pdf";
//   - a trailing "/" matches folders only;
//   - "*" matches any run of characters but "/", "?" one character but "/",
//     "[...]" and "[!...]" one of a set (ranges as "a-z"), a "**" that stands
//     for a whole name any run of names, so that "docs/**/*.pdf" matches
//     "docs/a.pdf" and "docs/x/y/b.pdf" and "logs/**" what is inside logs;
//   - "\" makes the next character plain, where "\" is no separator.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace fts {

class ExclusionRules {
 public:
  struct Options {
    // Where "\" separates names as "/" does (Windows); it then escapes
    // nothing.
    bool backslashSeparates = false;
    // Where letter case does not tell names apart: how a name is folded
    // (the same folding for the patterns and the names).
    std::function<std::string(const std::string&)> foldCase;
  };

  ExclusionRules() = default;
  explicit ExclusionRules(Options options) : options_(std::move(options)) {}

  // Adds a pattern; false for one that can match nothing (empty, or "/").
  bool Add(std::string_view pattern);
  bool Empty() const { return rules_.empty(); }

  // True when the entry with this RelPath (names joined by the system's
  // separator) is left out.
  bool Excludes(std::string_view relPath, bool isFolder) const;

 private:
  struct Rule {
    std::vector<std::string> names;  // one pattern per name; "**" any run of names
    bool anchored = false;
    bool foldersOnly = false;
    bool anyDepth = false;  // holds a "**" name
  };
  bool MatchNames(const Rule& rule, const std::vector<std::string_view>& names) const;

  Options options_;
  std::vector<Rule> rules_;
};

// The patterns of an exclude file: one a line; blank lines and lines that
// begin with "#" are skipped, and a line may end in CR LF.
std::vector<std::string> PatternsOfExcludeFile(std::string_view text);

// True when `name` (one name, no separator) matches the one-name pattern.
// `escapes`: "\" makes the next character plain.
bool MatchesNamePattern(std::string_view pattern, std::string_view name, bool escapes);

}  // namespace fts
