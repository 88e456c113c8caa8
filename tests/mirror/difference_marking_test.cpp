#include "mirror/difference_marking.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>

#include "inventory/record_format.h"
#include "mirror/line_index.h"
#include "support/test_support.h"

namespace fts {
namespace {

using test::ReadFile;

struct Entry {
  std::string relPath;
  std::string timeStamp;  // empty for a directory
};
using Flags = std::map<std::string, std::string>;  // RelPath -> ActionFlag

class DifferenceMarkingTest : public ::testing::Test {
 protected:
  static void WriteRecords(const std::string& fileName, const std::vector<Entry>& entries) {
    std::string bytes;
    for (const auto& e : entries) {
      FormatInventoryRecord(bytes, "/r/" + e.relPath, !e.timeStamp.empty(), "/r/", e.timeStamp);
      bytes += "\r\n";
    }
    test::WriteFile(fileName, bytes);
  }

  void Mark(const std::vector<Entry>& source, const std::vector<Entry>& destination) {
    WriteRecords(files_.source.name, source);
    WriteRecords(files_.destination.name, destination);
    sourceBefore_ = ReadFile(files_.source.name);
    destinationBefore_ = ReadFile(files_.destination.name);
    const ToLineIndex index = BuildToLineIndex(platform_, files_.destination.name);
    identicalPairs_ = MarkIdenticalRecords(platform_, files_, index,
                                           {unlistedSourceFolders_, foldersHoldingExcluded_})
                          .identicalPairs;
  }

  // The flags of a marked inventory; also checks that only flag bytes
  // changed, each from "1" to "0".
  static Flags FlagsOf(const std::string& fileName, const std::string& before) {
    const std::string bytes = ReadFile(fileName);
    EXPECT_EQ(bytes.size(), before.size());
    for (std::size_t i = 0; i < std::min(bytes.size(), before.size()); ++i) {
      if (bytes[i] == before[i]) continue;
      EXPECT_TRUE(bytes[i] == '0' && before[i] == '1' && bytes[i + 1] == '\r') << i;
    }
    TStrArrayClass splitter;
    SetUpRecordSplitter(splitter);
    Flags flags;
    for (std::size_t start = 0; start < bytes.size();) {
      const std::size_t end = bytes.find("\r\n", start);
      splitter.Split(std::string_view(bytes).substr(start, end - start));
      flags[std::string(splitter.GetItem(kRelPathField))] = splitter.GetItem(kActionFlagField);
      start = end + 2;
    }
    return flags;
  }
  Flags SourceFlags() { return FlagsOf(files_.source.name, sourceBefore_); }
  Flags DestinationFlags() { return FlagsOf(files_.destination.name, destinationBefore_); }

  test::TempDir dir_;
  test::CapturingPlatform platform_;
  InventoryFiles files_{{dir_ / "tmp_CopyFromPath.txt", {}, {}},
                        {dir_ / "tmp_CopyToPath.txt", {}, {}}};
  std::vector<std::string> unlistedSourceFolders_;
  std::unordered_set<std::string> foldersHoldingExcluded_;
  std::int64_t identicalPairs_ = 0;
  std::string sourceBefore_, destinationBefore_;
};

TEST_F(DifferenceMarkingTest, MarksBothRecordsOfEveryIdenticalPair) {
  const std::string t1 = "2024/05/01 9:03:06";
  const std::string t2 = "2024/05/01 9:03:08";
  Mark({{"d", ""}, {"d/x.txt", t1}, {"y.txt", t1}},
       {{"z.txt", t1}, {"d", ""}, {"d/x.txt", t2}, {"Y.txt", t1}});
  EXPECT_EQ(identicalPairs_, 1);
  EXPECT_EQ(SourceFlags(), (Flags{{"d", "0"}, {"d/x.txt", "1"}, {"y.txt", "1"}}));
  EXPECT_EQ(DestinationFlags(),
            (Flags{{"z.txt", "1"}, {"d", "0"}, {"Y.txt", "1"}, {"d/x.txt", "1"}}));
  // The flag just before the CR of each matched line is the one marked.
  EXPECT_EQ(ReadFile(files_.source.name).find("0\r\n"), sourceBefore_.find("1\r\n"));
  const std::string dLine = "Directory\",\"/r/d\",\"d\",\"0\",\"\",\"";
  EXPECT_EQ(ReadFile(files_.destination.name).find(dLine + "0\r\n"),
            destinationBefore_.find(dLine + "1\r\n"));
}

// A random tree: RelPath -> TimeStamp, "" for a folder.
using Tree = std::map<std::string, std::string>;

void AddWithFolders(Tree& tree, const std::string& relPath, const std::string& timeStamp) {
  for (auto slash = relPath.find('/'); slash != std::string::npos;
       slash = relPath.find('/', slash + 1)) {
    tree[relPath.substr(0, slash)] = "";
  }
  tree.emplace(relPath, timeStamp);  // a folder stays a folder
}

std::vector<Entry> InWalkOrder(const Tree& tree, std::mt19937& random) {
  std::vector<std::string> relPaths;
  for (const auto& [relPath, time] : tree)
    relPaths.push_back(relPath);
  std::vector<Entry> entries;
  for (const auto& relPath : test::InWalkOrder(relPaths, random)) {
    entries.push_back({relPath, tree.at(relPath)});
  }
  return entries;
}

TEST_F(DifferenceMarkingTest, FindsExactlyThePresentRelPathsAgainstASet) {
  std::mt19937 random(20240501);
  const std::vector<std::string> times = {"2024/05/01 9:03:06", "2024/05/01 9:03:08", ""};
  auto randomPath = [&] {
    std::string relPath;
    for (std::size_t depth = 1 + random() % 3; depth > 0; --depth) {
      if (!relPath.empty()) relPath += '/';
      relPath += "aA"[random() % 2];
      if (random() % 2 != 0) relPath += "aAb._ \xE9"[random() % 7];
    }
    return relPath;
  };
  for (int trial = 0; trial < 300; ++trial) {
    const std::size_t limit = trial < 100 ? 3 : 40;  // sizes 0, 1 and 2 often
    Tree destination;
    Tree source;
    for (std::size_t n = random() % limit; n > 0; --n) {
      AddWithFolders(destination, randomPath(), times[random() % 3]);
    }
    for (std::size_t n = random() % limit; n > 0; --n) {
      std::string relPath = randomPath();
      if (!destination.empty() && random() % 3 != 0) {
        relPath = std::next(destination.begin(), random() % destination.size())->first;
      }
      AddWithFolders(source, relPath, times[random() % 3]);
    }
    Mark(InWalkOrder(source, random), InWalkOrder(destination, random));

    Flags expectedSource;
    Flags expectedDestination;
    for (const auto& [relPath, time] : source) {
      const auto found = destination.find(relPath);
      const bool identical = found != destination.end() && found->second == time;
      expectedSource[relPath] = identical ? '0' : '1';
    }
    for (const auto& [relPath, time] : destination) {
      const auto found = source.find(relPath);
      const bool identical = found != source.end() && found->second == time;
      expectedDestination[relPath] = identical ? '0' : '1';
    }
    ASSERT_EQ(SourceFlags(), expectedSource) << "trial " << trial;
    ASSERT_EQ(DestinationFlags(), expectedDestination) << "trial " << trial;
  }
}

TEST_F(DifferenceMarkingTest, EntriesBelowAnUnlistedSourceFolderAreKept) {
  const std::string t = "2024/05/01 9:03:06";
  const std::vector<Entry> destination = {{"d", ""},    {"d/x.txt", t}, {"d/e", ""},
                                          {"d/e/f", t}, {"dx.txt", t},  {"d.txt", t}};
  unlistedSourceFolders_ = {"d"};
  Mark({{"new.txt", t}}, destination);
  EXPECT_EQ(DestinationFlags(), (Flags{{"d", "0"},
                                       {"d/x.txt", "0"},
                                       {"d/e", "0"},
                                       {"d/e/f", "0"},
                                       {"dx.txt", "1"},
                                       {"d.txt", "1"}}));
  EXPECT_EQ(SourceFlags(), (Flags{{"new.txt", "1"}}));

  // An unlisted source root keeps the whole destination.
  unlistedSourceFolders_ = {""};
  Mark({}, destination);
  for (const auto& [relPath, flag] : DestinationFlags())
    EXPECT_EQ(flag, "0") << relPath;
}

}  // namespace
}  // namespace fts
