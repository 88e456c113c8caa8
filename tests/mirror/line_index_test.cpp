#include "mirror/line_index.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>

#include "inventory/record_format.h"
#include "support/test_support.h"

namespace fts {
namespace {

using test::TempDir;

// A destination record of `length` bytes (without its line end).
std::string Line(const std::string& relPath, std::size_t length) {
  std::string line = "File\",\"/r/" + relPath + "\",\"" + relPath + "\",\"0\",\"";
  const std::string tail = "\",\"1";
  line.append(length - line.size() - tail.size(), 'x');
  return line + tail;
}

// The records of a tree holding `relPaths`, in an order a walk may give.
std::vector<std::string> TreeRecords(const std::vector<std::string>& relPaths,
                                     std::mt19937& random) {
  std::vector<std::string> lines;
  for (const auto& relPath : test::InWalkOrder(relPaths, random)) {
    const bool isFolder = std::any_of(relPaths.begin(), relPaths.end(), [&](const auto& other) {
      return other.starts_with(relPath + "/");
    });
    lines.emplace_back();
    FormatInventoryRecord(lines.back(), "/r/" + relPath, !isFolder, "/r/",
                          isFolder ? "" : "2024/05/01 9:03:06");
  }
  return lines;
}

class LineIndexTest : public ::testing::Test {
 protected:
  void WriteDestination(const std::vector<std::string>& lines) {
    std::string bytes;
    for (const auto& line : lines)
      bytes += line + "\r\n";
    test::WriteFile(fileName_, bytes);
  }

  std::vector<std::string> RelPathsInIndexOrder() {
    const std::string bytes = test::ReadFile(fileName_);
    TStrArrayClass splitter;
    SetUpRecordSplitter(splitter);
    std::vector<std::string> relPaths;
    for (auto offset : index_) {
      const auto start = static_cast<std::size_t>(offset);
      splitter.Split(std::string_view(bytes).substr(start, bytes.find("\r\n", start) - start));
      relPaths.emplace_back(splitter.GetItem(kRelPathField));
    }
    return relPaths;
  }

  void Build() { index_ = BuildToLineIndex(platform_, fileName_); }

  TempDir dir_;
  test::CapturingPlatform platform_;
  const std::string fileName_ = dir_ / "tmp_CopyToPath.txt";
  std::vector<std::int64_t> index_;
};

TEST_F(LineIndexTest, IndexHoldsTheOffsetOfEveryLine) {
  WriteDestination({Line("a", 40), Line("b", 55), Line("c", 38)});
  Build();
  EXPECT_EQ(index_, (std::vector<std::int64_t>{0, 42, 99}));

  WriteDestination({Line("c", 40), Line("b", 55), Line("a", 38)});
  Build();
  EXPECT_EQ(index_, (std::vector<std::int64_t>{99, 42, 0}));
}

TEST_F(LineIndexTest, EmptyInventoryGivesAnEmptyIndex) {
  WriteDestination({});
  Build();
  EXPECT_TRUE(index_.empty());
}

TEST_F(LineIndexTest, SortsByteByByteWithCaseAndPrefixesSignificant) {
  // Upper case before lower case; a directory before its contents; blank,
  // '.', '/', '_' and lower case in this order; bytes above 0x7F last.
  const std::vector<std::string> ordered = {"A",     "B",         "Z",     "a",     "d",    "d x",
                                            "d.txt", "d/x",       "d/x/y", "d_x",   "da",   "dz",
                                            "d~",    "d\xC3\xA9", "z",     "z\x80", "z\xFF"};
  std::mt19937 random(7);
  WriteDestination(TreeRecords(ordered, random));
  Build();
  EXPECT_EQ(RelPathsInIndexOrder(), ordered);
}

TEST_F(LineIndexTest, ReachesEveryLineOnceInAscendingOrder) {
  std::mt19937 random(2024);
  for (int size : {1, 2, 3, 50, 700}) {
    std::set<std::string> tree;
    while (tree.size() < static_cast<std::size_t>(size)) {
      std::string relPath;
      for (int depth = 1 + random() % (size < 10 ? 1 : 3); depth > 0; --depth) {
        if (!relPath.empty()) {
          tree.insert(relPath);  // each folder is listed
          relPath += '/';
        }
        relPath += "Ab"[random() % 2];
        if (random() % 2 != 0) relPath += "Ab._ \xE9"[random() % 6];
      }
      tree.insert(relPath);
    }
    std::vector<std::string> relPaths(tree.begin(), tree.end());
    const std::vector<std::string> lines = TreeRecords(relPaths, random);
    std::vector<std::int64_t> starts;
    std::int64_t offset = 0;
    for (const auto& line : lines) {
      starts.push_back(offset);
      offset += static_cast<std::int64_t>(line.size()) + 2;
    }
    WriteDestination(lines);
    Build();
    EXPECT_EQ(RelPathsInIndexOrder(), relPaths) << size;
    std::vector<std::int64_t> reached = index_;
    std::sort(reached.begin(), reached.end());
    EXPECT_EQ(reached, starts) << size;
  }
}

}  // namespace
}  // namespace fts
