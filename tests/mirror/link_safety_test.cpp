// Whatever links stand or appear in the destination, a run writes and
// deletes nothing outside it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "run/run_driver.h"
#include "support/fault_platform.h"

namespace fts {
namespace {

using test::ListTree;
using test::MakeDirs;
using test::ReadFile;
using test::WithoutStamps;
using test::WriteFile;
using Lines = std::vector<std::string>;

class LinkSafetyTest : public ::testing::Test {
 protected:
  LinkSafetyTest() {
    for (const auto& folder : {src_, dst_, bin_, outside_})
      MakeDirs(folder);
    WriteFile(outside_ + "/keep.txt", "keep");
    platform_.exeFolder = bin_ + "/";
  }

  // The line after `line` in the run's log, without its stamp.
  std::string LineAfter(const std::string& line) {
    const Lines log = WithoutStamps(platform_.out);
    const auto found = std::find(log.begin(), log.end(), line);
    EXPECT_NE(found, log.end()) << line;
    return found == log.end() || found + 1 == log.end() ? "" : *(found + 1);
  }

  void ExpectOutsideUntouched() {
    EXPECT_EQ(ListTree(outside_), Lines{"keep.txt"});
    EXPECT_EQ(ReadFile(outside_ + "/keep.txt"), "keep");
  }

  test::TempDir dir_;
  std::string src_ = dir_ / "src", dst_ = dir_ / "dst", bin_ = dir_ / "bin",
              outside_ = dir_ / "outside";
  test::FaultPlatform platform_;
};

// A folder of the destination holds a link to a folder outside it that
// cannot be removed (a read-only folder; injected, since the tests may run
// as root): the copy that would go through the link fails instead.
TEST_F(LinkSafetyTest, ALinkThatCannotBeRemovedIsNeverWrittenThrough) {
  MakeDirs(src_ + "/ro/sub");
  WriteFile(src_ + "/ro/sub/a.txt", "a");
  MakeDirs(dst_ + "/ro");
  ASSERT_EQ(symlink(outside_.c_str(), (dst_ + "/ro/sub").c_str()), 0);
  platform_.undeletable = {dst_ + "/ro/sub"};

  EXPECT_EQ(RunFernwickTreeSyncer({src_, dst_}, platform_), 3);
  EXPECT_EQ(LineAfter("Delete File      : " + dst_ + "/ro/sub"),
            "Action Failed    : Permission denied");
  EXPECT_EQ(LineAfter("Make Directory : " + dst_ + "/ro/sub"), "Action Failed    : File exists");
  EXPECT_EQ(LineAfter("Copy File      : " + src_ + "/ro/sub/a.txt -> " + dst_ + "/ro/sub/a.txt"),
            "Action Failed    : Too many levels of symbolic links");
  ExpectOutsideUntouched();
}

// Someone swaps a listed folder of the destination for a link between the
// listing and the actions: no action follows it.
TEST_F(LinkSafetyTest, ALinkSwappedInAfterTheListingIsNeverFollowed) {
  MakeDirs(src_ + "/sub/deeper");
  WriteFile(src_ + "/sub/new.txt", "new");
  WriteFile(src_ + "/sub/deeper/d.txt", "d");
  MakeDirs(dst_ + "/sub/gone");
  WriteFile(dst_ + "/sub/old.txt", "old");
  WriteFile(outside_ + "/old.txt", "outside old");
  MakeDirs(outside_ + "/gone");
  platform_.beforeActions = [&] {
    std::filesystem::remove_all(dst_ + "/sub");
    ASSERT_EQ(symlink(outside_.c_str(), (dst_ + "/sub").c_str()), 0);
  };

  EXPECT_EQ(RunFernwickTreeSyncer({src_, dst_}, platform_), 3);
  const std::string refused = "Action Failed    : Too many levels of symbolic links";
  EXPECT_EQ(LineAfter("Delete File      : " + dst_ + "/sub/old.txt"), refused);
  EXPECT_EQ(LineAfter("Remove Directory : " + dst_ + "/sub/gone"), refused);
  EXPECT_EQ(LineAfter("Make Directory : " + dst_ + "/sub/deeper"), refused);
  EXPECT_EQ(LineAfter("Copy File      : " + src_ + "/sub/new.txt -> " + dst_ + "/sub/new.txt"),
            refused);
  EXPECT_EQ(ListTree(outside_), (Lines{"gone/", "keep.txt", "old.txt"}));
  EXPECT_EQ(ReadFile(outside_ + "/old.txt"), "outside old");

  // The next run removes the link as itself and mirrors the folder.
  test::CapturingPlatform next;
  EXPECT_EQ(RunFernwickTreeSyncer({src_, dst_}, next), 0) << next.out;
  EXPECT_EQ(ListTree(dst_), ListTree(src_));
  EXPECT_EQ(ListTree(outside_), (Lines{"gone/", "keep.txt", "old.txt"}));
}

}  // namespace
}  // namespace fts
