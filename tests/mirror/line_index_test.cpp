#include "mirror/line_index.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

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

class LineIndexTest : public ::testing::Test {
 protected:
  void WriteDestination(const std::vector<std::string>& lines) {
    std::string bytes;
    for (const auto& line : lines) bytes += line + "\r\n";
    test::WriteFile(state_.destination.fileName, bytes);
  }

  std::vector<std::string> RelPathsInIndexOrder() {
    InventoryTextFile file(platform_, state_.destination.fileName);
    TStrArrayClass splitter;
    SetUpRecordSplitter(splitter);
    std::string line;
    std::vector<std::string> relPaths;
    file.Open();
    for (auto offset : state_.toLineIndex) {
      relPaths.emplace_back(RelPathAt(file, splitter, line, offset));
    }
    file.Close();
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
  const std::vector<std::string> ordered = {
      "A",     "B",     "Z",   "a",  "d",  "d x",      "d.txt",   "d/x", "d/x/y",
      "d_x",   "da",    "dz",  "d~", "d\xC3\xA9", "z", "z\x80",   "z\xFF"};
  std::vector<std::string> shuffled = ordered;
  std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(7));
  std::vector<std::string> lines;
  for (const auto& relPath : shuffled) lines.push_back(Line(relPath, 60));
  WriteDestination(lines);
  BuildToLineIndex(run_);
  EXPECT_EQ(RelPathsInIndexOrder(), ordered);
}

TEST_F(LineIndexTest, ReachesEveryLineOnceInAscendingOrder) {
  std::mt19937 random(2024);
  for (int size : {1, 2, 3, 50, 51, 700}) {
    std::vector<std::string> relPaths;
    for (int i = 0; i < size; ++i) {
      std::string relPath;
      for (std::size_t n = 1 + random() % 6; n > 0; --n) relPath += "Ab/._\xE9"[random() % 6];
      relPaths.push_back(relPath + std::to_string(i));  // unique
    }
    // Input already in order is a case of its own for the pivot choice.
    if (size == 51) std::sort(relPaths.begin(), relPaths.end());
    std::vector<std::string> lines;
    std::vector<std::int64_t> starts;
    std::int64_t offset = 0;
    for (const auto& relPath : relPaths) {
      lines.push_back(Line(relPath, 40 + random() % 30));
      starts.push_back(offset);
      offset += static_cast<std::int64_t>(lines.back().size()) + 2;
    }
    WriteDestination(lines);
    state_.toLineIndex.clear();
    BuildToLineIndex(run_);
    std::sort(relPaths.begin(), relPaths.end());
    EXPECT_EQ(RelPathsInIndexOrder(), relPaths) << size;
    std::vector<std::int64_t> reached = state_.toLineIndex;
    std::sort(reached.begin(), reached.end());
    EXPECT_EQ(reached, starts) << size;
  }
}

}  // namespace
}  // namespace fts
