#include "inventory/exclusion_rules.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>

namespace fts {
namespace {

struct Case {
  const char* pattern;
  const char* relPath;
  bool isFolder;
  bool excluded;
};

void ExpectCases(ExclusionRules::Options options, const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    ExclusionRules rules(options);
    ASSERT_TRUE(rules.Add(c.pattern)) << c.pattern;
    EXPECT_EQ(rules.Excludes(c.relPath, c.isFolder), c.excluded)
        << c.pattern << " on " << c.relPath << (c.isFolder ? " (folder)" : "");
  }
}

TEST(ExclusionRulesTest, PatternsMatchAsIgnoreFilesDo) {
  ExpectCases(
      {}, {
              // A name pattern, at any depth.
              {"*.tmp", "a.tmp", false, true},
              {"*.tmp", "x/y/a.tmp", false, true},
              {"*.tmp", "a.tmp.txt", false, false},
              {"*.tmp", "x.tmp/a.txt", false, false},  // the folder itself is matched
              {"node_modules/", "web/node_modules", true, true},
              {"node_modules/", "web/node_modules", false, false},  // folders only
              {"Makefile", "src/Makefile", false, true},
              // Anchored at the root: a leading or an inner "/".
              {"/build/", "build", true, true},
              {"/build/", "src/build", true, false},
              {"/build", "build", false, true},
              {"docs/*.pdf", "docs/a.pdf", false, true},
              {"docs/*.pdf", "docs/x/a.pdf", false, false},
              {"docs/*.pdf", "other/docs/a.pdf", false, false},
              // "**": any run of names, none included.
              {"docs/**/*.pdf", "docs/a.pdf", false, true},
              {"docs/**/*.pdf", "docs/x/y/b.pdf", false, true},
              {"docs/**/*.pdf", "docs/x/y/b.txt", false, false},
              {"**/cache", "cache", true, true},
              {"**/cache", "a/b/cache", true, true},
              {"logs/**", "logs/a/b.txt", false, true},
              {"logs/**", "logs", true, false},
              {"a/**/b/**/c", "a/b/c", false, true},
              {"a/**/b/**/c", "a/x/b/y/z/c", false, true},
              {"a/**/b/**/c", "a/x/y/c", false, false},
              {"x**y", "xabcy", false, true},  // within a name, a plain "*"
                                               // "?", sets, ranges and their negation, never "/".
              {"?.txt", "a.txt", false, true},
              {"?.txt", "ab.txt", false, false},
              {"?.txt", "\xC3\xA9.txt", false, true},  // one character, two bytes
              {"a?b", "a/b", false, false},
              {"[abc].log", "b.log", false, true},
              {"[abc].log", "d.log", false, false},
              {"[!abc].log", "d.log", false, true},
              {"[a-c]x", "bx", false, true},
              {"[a-c]x", "Bx", false, false},  // letter case counts
              {"[x", "[x", false, true},       // a set that is never closed: plain
              {"*", "anything/at/all", false, true},
              // "\" makes the next character plain.
              {"\\*.txt", "*.txt", false, true},
              {"\\*.txt", "a.txt", false, false},
              {"a\\[1]", "a[1]", false, true},
              // Sets, like "?" and "*", take whole characters.
              {"[!a].txt", "\xC3\xA9.txt", false, true},
              {"[e\xC3\xA9].txt", "\xC3\xA9.txt", false, true},
              {"[\xC3\xA0-\xC3\xBF]", "\xC3\xA9", false, true},  // a range of code points
              {"[a-z]", "\xC3\xA9", false, false},
          });
}

// A name that is not UTF-8 still splits into characters (a byte and the
// continuation bytes after it), and every part of a pattern takes whole
// ones: a "*" that backtracks never lands inside one.
TEST(ExclusionRulesTest, NamesThatAreNotUtf8MatchCharacterByCharacter) {
  EXPECT_FALSE(MatchesNamePattern("0*[*\x9A", "0[\xFDY[\x9A", false));
  EXPECT_TRUE(MatchesNamePattern("0*[\x9A", "0[\xFDY[\x9A", false));
  // A "*" with a continuation byte after it is a character of its own.
  EXPECT_TRUE(MatchesNamePattern("*\x9A", "*\x9A", false));
  EXPECT_FALSE(MatchesNamePattern("*\x9A", "a\x9A", false));
  EXPECT_FALSE(MatchesNamePattern("a?", "a\x9A", false));  // "a\x9A" is one character
  EXPECT_TRUE(MatchesNamePattern("?", "a\x9A", false));
}

TEST(ExclusionRulesTest, OnWindowsBothSlashesSeparateAndLetterCaseIsIgnored) {
  ExclusionRules::Options windows;
  windows.backslashSeparates = true;
  windows.foldCase = [](const std::string& text) {
    std::string upper = text;
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return upper;
  };
  ExpectCases(windows, {
                           {"*.TMP", "Sub\\a.tmp", false, true},
                           {"docs\\*.pdf", "DOCS\\A.PDF", false, true},
                           {"docs/*.pdf", "docs\\a.pdf", false, true},
                           {"\\Build\\", "build", true, true},
                           {"[a-c]x", "Bx", false, true},
                           {"docs\\**\\*.pdf", "Docs\\x\\y\\b.PDF", false, true},
                       });
}

TEST(ExclusionRulesTest, PatternsThatCanMatchNothingAreRefused) {
  ExclusionRules rules;
  for (const char* pattern : {"", "/", "//"})
    EXPECT_FALSE(rules.Add(pattern)) << pattern;
  EXPECT_TRUE(rules.Empty());
  EXPECT_FALSE(rules.Excludes("a", false));
}

TEST(ExclusionRulesTest, ExcludeFilesHoldOnePatternALine) {
  EXPECT_EQ(PatternsOfExcludeFile("# caches\r\n*.tmp\r\n\r\nnode_modules/\n  \n#x\nlast"),
            (std::vector<std::string>{"*.tmp", "node_modules/", "  ", "last"}));
  EXPECT_TRUE(PatternsOfExcludeFile("").empty());
}

}  // namespace
}  // namespace fts
