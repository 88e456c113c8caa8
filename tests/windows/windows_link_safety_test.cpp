// Whatever links stand or appear in the destination, a run on Windows
// writes and deletes nothing outside it.
#include <gtest/gtest.h>

#include <algorithm>

#include "run/run_driver.h"
#include "support/fault_platform.h"
#include "support/windows_test_support.h"

namespace fts {
namespace {

using Lines = std::vector<std::string>;

class WindowsLinkSafetyTest : public ::testing::Test {
 protected:
  WindowsLinkSafetyTest() {
    for (const auto& folder : {src, dst, bin, outside}) {
      test::MakeDirs(folder);
    }
    test::WriteFile(outside + "\\keep.txt", "keep");
    platform.exeFolder = bin + "\\";
  }
  ~WindowsLinkSafetyTest() override {
    for (const std::string& link : linuxLinks) {
      test::RemoveLinuxFolderLink(link);
    }
  }

  // A link to a folder, made by the system or, under Wine, by Linux.
  bool MakeLink(const std::string& link, const std::string& target) {
    if (test::MakeFolderLink(link, target)) {
      return true;
    }
    if (!test::MakeLinuxFolderLink(link, target)) {
      return false;
    }
    linuxLinks.push_back(link);
    return true;
  }

  // The line after `line` in the run's log, without its stamp.
  std::string LineAfter(const std::string& line) {
    const Lines log = test::WithoutStamps(platform.out);
    const auto found = std::find(log.begin(), log.end(), line);
    EXPECT_NE(found, log.end()) << line;
    return found == log.end() || found + 1 == log.end() ? "" : *(found + 1);
  }

  test::TempDir dir;
  const std::string src = dir / "src", dst = dir / "dst", bin = dir / "bin",
                    outside = dir / "outside";
  test::FaultPlatform platform;
  std::vector<std::string> linuxLinks;
};

// A link that cannot be removed is never written through.
TEST_F(WindowsLinkSafetyTest, ALinkThatCannotBeRemovedIsNeverWrittenThrough) {
  test::MakeDirs(src + "\\ro\\sub");
  test::WriteFile(src + "\\ro\\sub\\a.txt", "a");
  test::MakeDirs(dst + "\\ro");
  if (!MakeLink(dst + "\\ro\\sub", outside)) {
    GTEST_SKIP() << "no link to a folder can be made here";
  }
  platform.undeletable = {dst + "\\ro\\sub"};
  EXPECT_EQ(RunFernwickTreeSyncer({src, dst}, platform), 3);
  EXPECT_TRUE(
      LineAfter("Copy File      : " + src + "\\ro\\sub\\a.txt -> " + dst + "\\ro\\sub\\a.txt")
          .starts_with("Action Failed    : "));
  EXPECT_EQ(test::ListTree(outside), Lines{"keep.txt"});
}

// A folder swapped for a link between the listing and the actions is never
// followed.
TEST_F(WindowsLinkSafetyTest, ALinkSwappedInAfterTheListingIsNeverFollowed) {
  test::MakeDirs(src + "\\sub");
  test::WriteFile(src + "\\sub\\new.txt", "new");
  test::MakeDirs(dst + "\\sub");
  test::WriteFile(dst + "\\sub\\old.txt", "old");
  test::WriteFile(outside + "\\old.txt", "outside old");
  bool swapped = false;
  platform.beforeActions = [&] {
    test::RemoveTree(dst + "\\sub");
    swapped = MakeLink(dst + "\\sub", outside);
  };
  const int exitCode = RunFernwickTreeSyncer({src, dst}, platform);
  if (!swapped) {
    GTEST_SKIP() << "no link to a folder can be made here";
  }
  EXPECT_EQ(exitCode, 3);
  EXPECT_TRUE(
      LineAfter("Delete File      : " + dst + "\\sub\\old.txt").starts_with("Action Failed    : "));
  EXPECT_TRUE(LineAfter("Copy File      : " + src + "\\sub\\new.txt -> " + dst + "\\sub\\new.txt")
                  .starts_with("Action Failed    : "));
  EXPECT_EQ(test::ListTree(outside), (Lines{"keep.txt", "old.txt"}));
  EXPECT_EQ(test::ReadFile(outside + "\\old.txt"), "outside old");
}

}  // namespace
}  // namespace fts
