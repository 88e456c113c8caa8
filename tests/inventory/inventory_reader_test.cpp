#include "inventory/inventory_reader.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "platform/status.h"
#include "support/test_support.h"

namespace fts {
namespace {

class InventoryReaderTest : public ::testing::Test {
 protected:
  // Writes `lines`, each ended by CR LF, and returns their offsets.
  std::vector<std::int64_t> Write(const std::vector<std::string>& lines) {
    std::string bytes;
    std::vector<std::int64_t> offsets;
    for (const auto& line : lines) {
      offsets.push_back(static_cast<std::int64_t>(bytes.size()));
      bytes += line + "\r\n";
    }
    test::WriteFile(fileName_, bytes);
    return offsets;
  }

  test::TempDir dir_;
  test::CapturingPlatform platform_;
  const std::string fileName_ = dir_ / "tmp_CopyToPath.txt";
};

TEST_F(InventoryReaderTest, PositionFollowsReadsAndSeeks) {
  const std::vector<std::string> lines = {std::string(40, 'a'), std::string(55, 'b'),
                                          std::string(38, 'c')};
  const std::vector<std::int64_t> offsets = Write(lines);
  EXPECT_EQ(offsets, (std::vector<std::int64_t>{0, 42, 99}));
  for (auto access : {InventoryReader::Access::kSequential, InventoryReader::Access::kScattered}) {
    InventoryReader file(platform_, fileName_, access);
    std::string_view line;
    std::vector<std::int64_t> starts;
    for (std::int64_t at = file.Pos(); file.ReadLine(line); at = file.Pos())
      starts.push_back(at);
    EXPECT_EQ(starts, offsets);
    EXPECT_EQ(file.Pos(), 139);  // the file's length
    EXPECT_FALSE(file.ReadLine(line));

    for (std::size_t i : {2, 1, 0, 1}) {
      file.Seek(offsets[i]);
      EXPECT_EQ(file.Pos(), offsets[i]);
      ASSERT_TRUE(file.ReadLine(line));
      EXPECT_EQ(line, lines[i]);
      std::int64_t next = 0;
      EXPECT_EQ(file.LineAt(offsets[i], next), lines[i]);
      EXPECT_EQ(next, offsets[i] + static_cast<std::int64_t>(lines[i].size()) + 2);
    }
    file.Close();
  }
}

TEST_F(InventoryReaderTest, LinesCrossingBlockBordersAndALastLineWithoutItsEnd) {
  // Lines of every length around the block sizes, read on and probed at random.
  std::mt19937 random(11);
  std::vector<std::string> lines;
  for (int i = 0; i < 400; ++i)
    lines.push_back(std::string(random() % 3000, static_cast<char>('a' + i % 26)));
  lines.push_back(std::string(300000, 'z'));  // longer than any block
  lines.push_back("");
  const std::vector<std::int64_t> offsets = Write(lines);
  for (auto access : {InventoryReader::Access::kSequential, InventoryReader::Access::kScattered}) {
    InventoryReader file(platform_, fileName_, access);
    std::string_view line;
    for (const auto& expected : lines) {
      ASSERT_TRUE(file.ReadLine(line));
      EXPECT_EQ(line, expected);
    }
    EXPECT_FALSE(file.ReadLine(line));
    for (int probe = 0; probe < 300; ++probe) {
      const std::size_t i = random() % lines.size();
      std::int64_t next;
      EXPECT_EQ(file.LineAt(offsets[i], next), lines[i]);
    }
  }
  test::WriteFile(fileName_, "one\r\ntwo");
  InventoryReader file(platform_, fileName_);
  std::string_view line;
  ASSERT_TRUE(file.ReadLine(line));
  ASSERT_TRUE(file.ReadLine(line));
  EXPECT_EQ(line, "two");
  EXPECT_FALSE(file.ReadLine(line));
}

TEST_F(InventoryReaderTest, AMissingInventoryEndsTheRun) {
  try {
    InventoryReader file(platform_, dir_ / "missing.txt");
    FAIL() << "opened a missing file";
  } catch (const RunError& error) {
    EXPECT_EQ(error.KindText(), "Inventory I/O error");
    EXPECT_EQ(std::string(error.what()),
              "cannot open " + (dir_ / "missing.txt") + ": No such file or directory");
  }
}

}  // namespace
}  // namespace fts
