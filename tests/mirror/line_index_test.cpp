#include "mirror/line_index.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>

#include "inventory/record_format.h"
#include "platform/status.h"
#include "support/test_support.h"

namespace fts {
namespace {

class LineIndexTest : public ::testing::Test {
 protected:
  // Writes the records of `relPaths` (folders end in "/") in this order and
  // returns each one's offset.
  std::map<std::string, std::int64_t> Write(const std::vector<std::string>& relPaths) {
    std::string bytes;
    std::map<std::string, std::int64_t> offsets;
    for (std::string relPath : relPaths) {
      const bool isFolder = relPath.ends_with('/');
      if (isFolder) relPath.pop_back();
      offsets[relPath] = static_cast<std::int64_t>(bytes.size());
      FormatInventoryRecord(bytes, "/r/" + relPath, !isFolder, "/r/",
                            isFolder ? "" : "2024/05/01 9:03:06");
      bytes += kRecordEnd;
    }
    offsets["(end)"] = static_cast<std::int64_t>(bytes.size());
    test::WriteFile(fileName_, bytes);
    return offsets;
  }

  test::TempDir dir_;
  test::CapturingPlatform platform_;
  const std::string fileName_ = dir_ / "tmp_CopyToPath.txt";
};

TEST_F(LineIndexTest, EachFolderKnowsWhereTheLinesBelowItEnd) {
  auto at = Write({"a/", "a/x.txt", "a/b/", "a/b/y.txt", "a/c/", "d.txt", "e/", "f/", "f/z"});
  const ToLineIndex index = BuildToLineIndex(platform_, fileName_);
  EXPECT_EQ(index.Entries(), 9);
  EXPECT_EQ(index.Folders(), 5u);
  EXPECT_EQ(index.Size(), at["(end)"]);
  EXPECT_EQ(index.EndOf(at["a"]), at["d.txt"]);
  EXPECT_EQ(index.EndOf(at["a/b"]), at["a/c"]);
  EXPECT_EQ(index.EndOf(at["a/c"]), at["d.txt"]);  // an empty folder
  EXPECT_EQ(index.EndOf(at["e"]), at["f"]);
  EXPECT_EQ(index.EndOf(at["f"]), at["(end)"]);  // the last one
  EXPECT_EQ(index.EndOf(at["d.txt"]), -1);       // no folder
  EXPECT_EQ(index.EndOf(at["a"] + 1), -1);
}

TEST_F(LineIndexTest, AnEmptyInventoryHasNoEntries) {
  Write({});
  const ToLineIndex index = BuildToLineIndex(platform_, fileName_);
  EXPECT_EQ(index.Entries(), 0);
  EXPECT_EQ(index.Folders(), 0u);
}

// Records that no depth-first walk writes end the run.
TEST_F(LineIndexTest, AnInventoryOutOfDepthFirstOrderEndsTheRun) {
  for (const std::vector<std::string>& records :
       {std::vector<std::string>{"a/b.txt"}, std::vector<std::string>{"a/", "a/b/c.txt"},
        std::vector<std::string>{"a.txt", "a.txt/b"}}) {
    Write(records);
    EXPECT_THROW(BuildToLineIndex(platform_, fileName_), RunError)
        << ::testing::PrintToString(records);
  }
}

// Random trees in any walk order: the end of every folder is the offset of
// the first line after it that is not below it.
TEST_F(LineIndexTest, RandomTreesInAnyWalkOrder) {
  std::mt19937 random(2024);
  for (int size : {1, 2, 3, 50, 700}) {
    std::set<std::string> tree;
    std::set<std::string> folders;
    while (tree.size() < static_cast<std::size_t>(size)) {
      std::string relPath;
      for (int depth = 1 + random() % 3; depth > 0; --depth) {
        if (!relPath.empty()) {
          tree.insert(relPath);
          folders.insert(relPath);
          relPath += '/';
        }
        relPath += "Ab._ "[random() % 5];
        relPath += "cd"[random() % 2];
      }
      tree.insert(relPath);
    }
    std::vector<std::string> ordered =
        test::InWalkOrder(std::vector<std::string>(tree.begin(), tree.end()), random);
    for (auto& relPath : ordered) {
      if (folders.count(relPath) != 0) relPath += '/';
    }
    auto at = Write(ordered);
    const ToLineIndex index = BuildToLineIndex(platform_, fileName_);
    EXPECT_EQ(index.Entries(), static_cast<std::int64_t>(tree.size()));
    EXPECT_EQ(index.Folders(), folders.size());
    for (std::size_t i = 0; i < ordered.size(); ++i) {
      if (!ordered[i].ends_with('/')) continue;
      const std::string folder = ordered[i].substr(0, ordered[i].size() - 1);
      std::size_t after = i + 1;
      while (after < ordered.size() && ordered[after].starts_with(folder + "/"))
        ++after;
      const std::string next =
          after == ordered.size()
              ? "(end)"
              : (ordered[after].ends_with('/') ? ordered[after].substr(0, ordered[after].size() - 1)
                                               : ordered[after]);
      EXPECT_EQ(index.EndOf(at[folder]), at[next]) << folder;
    }
  }
}

}  // namespace
}  // namespace fts
