#include "inventory/case_clashes.h"

#include <gtest/gtest.h>

#include <cctype>
#include <set>
#include <string>
#include <tuple>
#include <vector>

namespace fts {
namespace {

// A walk's entries as (level, RelPath), depth first.
std::vector<CaseClash> ClashesOf(const std::vector<std::pair<int, std::string>>& walk) {
  CaseClashFinder finder([](std::string_view name) {
    std::string folded(name);
    for (char& c : folded)
      c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return folded == "\xC3\xA9" ? std::string("\xC3\x89") : folded;  // é as É
  });
  for (const auto& [level, relPath] : walk)
    finder.Add(level, relPath);
  return finder.Take();
}

TEST(CaseClashFinderTest, FindsNamesOfOneFolderThatDifferOnlyInCase) {
  const auto clashes = ClashesOf({
      {0, "README"},
      {0, "Docs"},
      {1, "Docs/a"},
      {1, "Docs/A"},
      {1, "Docs/x"},
      {0, "docs"},
      {1, "docs/x"},  // not with Docs/x: another folder
      {0, "readme"},
      {0, "ReadMe"},
      {0, "\xC3\xA9"},
      {0, "\xC3\x89"},
      {0, "other"},
  });
  std::set<std::tuple<std::string, std::string, std::string>> found;
  for (const CaseClash& clash : clashes)
    found.insert({clash.folder, clash.winner, clash.loser});
  const std::set<std::tuple<std::string, std::string, std::string>> expected = {
      {"Docs", "Docs/a", "Docs/A"}, {"", "Docs", "docs"},         {"", "README", "readme"},
      {"", "README", "ReadMe"},     {"", "\xC3\xA9", "\xC3\x89"},
  };
  EXPECT_EQ(found, expected);
}

TEST(CaseClashFinderTest, FoldersOfOneLevelAreApartAndEachRootStartsAfresh) {
  CaseClashFinder finder([](std::string_view name) { return std::string(name); });
  finder.Add(0, "a");
  finder.Add(1, "a/x");
  finder.Add(0, "b");
  finder.Add(1, "b/X");  // another folder than a/x
  finder.EndWalk();
  finder.Add(0, "B");  // another root's walk
  EXPECT_TRUE(finder.Take().empty());
}

}  // namespace
}  // namespace fts
