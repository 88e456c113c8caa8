#include "inventory/pass_scope.h"

#include <gtest/gtest.h>

#include <utility>

namespace fts {
namespace {

TEST(PassScopeTest, ListsChangedFoldersTheirWayDownAndWholeSubtrees) {
  PassScope scope;
  scope.AddFolder("a/b");
  scope.AddSubtree("n");
  const auto judge = [&](std::string_view folder, std::string_view relPath) {
    const auto verdict = scope.Judge(folder, relPath);
    return std::pair{verdict.listed, verdict.entered};
  };
  EXPECT_EQ(judge("", "a"), std::pair(true, true));    // on the way
  EXPECT_EQ(judge("", "x"), std::pair(false, false));  // elsewhere
  EXPECT_EQ(judge("a", "a/b"), std::pair(true, true));
  EXPECT_EQ(judge("a", "a/c"), std::pair(false, false));
  EXPECT_EQ(judge("a/b", "a/b/f"), std::pair(true, false));  // the folder's own entries
  EXPECT_EQ(judge("", "n"), std::pair(true, true));
  EXPECT_EQ(judge("n/deep", "n/deep/g"), std::pair(true, true));  // all of a subtree
  EXPECT_FALSE(scope.Whole());
  scope.AddSubtree("");
  EXPECT_TRUE(scope.Whole());
}

}  // namespace
}  // namespace fts
