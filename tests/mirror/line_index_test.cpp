#include "mirror/line_index.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>

#include "inventory/inventory_writer.h"
#include "mirror/text_file.h"
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
    test::WriteFile(state_.destination.fileName, bytes);
  }

  std::vector<std::string> RelPathsInIndexOrder() {
    const std::string bytes = test::ReadFile(state_.destination.fileName);
    TStrArrayClass splitter;
    SetUpRecordSplitter(splitter);
    std::vector<std::string> relPaths;
    for (auto offset : state_.toLineIndex) {
      const auto start = static_cast<std::size_t>(offset);
      splitter.Split(std::string_view(bytes).substr(start, bytes.find("\r\n", start) - start));
      relPaths.emplace_back(splitter.GetItem(kRelPathField));
    }
    return relPaths;
  }

  TempDir dir_;
  test::CapturingPlatform platform_;
  ConsoleLog log_{platform_};
  RunState state_;
  RunContext run_{platform_, log_, state_};
  void SetUp() override { state_.destination.fileName = dir_ / "tmp_CopyToPath.txt"; }
};

TEST_F(LineIndexTest, IndexHoldsTheOffsetOfEveryLine) {
  WriteDestination({Line("a", 40), Line("b", 55), Line("c", 38)});
  BuildToLineIndex(run_);
  EXPECT_EQ(state_.toLineIndex, (std::vector<std::int64_t>{0, 42, 99}));

  state_.toLineIndex.clear();
  WriteDestination({Line("c", 40), Line("b", 55), Line("a", 38)});
  BuildToLineIndex(run_);
  EXPECT_EQ(state_.toLineIndex, (std::vector<std::int64_t>{99, 42, 0}));
}

TEST_F(LineIndexTest, TextFilePositionFollowsReadsAndSeeks) {
  const std::vector<std::string> lines = {Line("a", 40), Line("b", 55), Line("c", 38)};
  const std::vector<std::int64_t> offsets = {0, 42, 99};
  WriteDestination(lines);
  InventoryTextFile file(platform_, state_.destination.fileName);
  std::string line;
  std::vector<std::int64_t> starts;
  file.Open();
  while (!file.Eof()) {
    starts.push_back(file.Pos());
    file.ReadLine(line);
  }
  EXPECT_EQ(starts, offsets);
  EXPECT_EQ(file.Pos(), 139);  // the file's length

  for (std::size_t i : {2, 1, 0, 1}) {
    file.Seek(offsets[i]);
    EXPECT_EQ(file.Pos(), offsets[i]);
    EXPECT_FALSE(file.Eof());
    EXPECT_EQ(file.Pos(), offsets[i]);
    file.ReadLine(line);
    EXPECT_EQ(line, lines[i]);
  }
  file.Close();
}

TEST_F(LineIndexTest, EmptyInventoryGivesAnEmptyIndex) {
  WriteDestination({});
  BuildToLineIndex(run_);
  EXPECT_TRUE(state_.toLineIndex.empty());
}

TEST_F(LineIndexTest, SortsByteByByteWithCaseAndPrefixesSignificant) {
  // Upper case before lower case; a directory before its contents; blank,
  // '.', '/', '_' and lower case in this order; bytes above 0x7F last.
  const std::vector<std::string> ordered = {"A",     "B",         "Z",     "a",     "d",    "d x",
                                            "d.txt", "d/x",       "d/x/y", "d_x",   "da",   "dz",
                                            "d~",    "d\xC3\xA9", "z",     "z\x80", "z\xFF"};
  std::mt19937 random(7);
  WriteDestination(TreeRecords(ordered, random));
  BuildToLineIndex(run_);
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
    state_.toLineIndex.clear();
    BuildToLineIndex(run_);
    EXPECT_EQ(RelPathsInIndexOrder(), relPaths) << size;
    std::vector<std::int64_t> reached = state_.toLineIndex;
    std::sort(reached.begin(), reached.end());
    EXPECT_EQ(reached, starts) << size;
  }
}

}  // namespace
}  // namespace fts
