// The Win32 watch of a tree (Platform::WatchTree) on a real folder: what
// each kind of change tells, in the program's UTF-8 RelPaths with '\'.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/windows_paths.h"
#include "support/windows_test_support.h"

namespace fts {
namespace {

using namespace std::chrono_literals;

const std::string kOverflow = "the queue of changes overflowed";
// Japanese text: the names come as UTF-16 and must arrive as UTF-8.
const std::string kJapanese = "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E";

bool Has(const std::vector<std::string>& list, const std::string& item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

std::string Show(const TreeChanges& changes) {
  return "folders " + ::testing::PrintToString(changes.folders) + ", subtrees " +
         ::testing::PrintToString(changes.subtrees) + ", lost " +
         ::testing::PrintToString(changes.lost);
}

class WindowsTreeWatchTest : public ::testing::Test {
 protected:
  WindowsTreeWatchTest() {
    test::WriteFile(root / "a.txt", "a");
    test::MakeDirs(root / "sub");
    test::WriteFile(root / "sub\\b.txt", "b");
    test::WriteFile(root / "sub\\d.txt", "d");
    test::MakeDirs(root / "old\\deeper");
    test::WriteFile(root / "old\\deeper\\e.txt", "e");
  }

  void StartWatch() {
    auto watch = platform->WatchTree(root.Path() + "\\");
    ASSERT_TRUE(watch) << watch.status().Message();
    watch_ = std::move(*watch);
    // Wine extends the watch to a folder below the root only once the folder
    // is opened after the watch began, as the program's first pass opens
    // each one; Windows needs no such help.
    if (test::RunningUnderWine()) OpenEveryFolder(root.Path());
  }

  void OpenEveryFolder(const std::string& folder) {
    auto listing = platform->OpenDirectory(folder, nullptr, {}, LinkPolicy::kDoNotFollow);
    ASSERT_TRUE(listing) << listing.status().Message();
    std::string name;
    DirEntryInfo info;
    while ((*listing)->Next(name, info)) {
      if (info.isDirectory && name != "." && name != "..") OpenEveryFolder(folder + "\\" + name);
    }
  }

  // Waits until what the watch told since the last call satisfies `done`,
  // or for 10 s; what it told is left in `told`.
  bool WaitUntil(const std::function<bool(const TreeChanges&)>& done) {
    told = {};
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!done(told)) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      const Status waited = watch_->Wait(100ms, told);
      EXPECT_TRUE(waited) << waited.Message();
      if (!waited) return false;
    }
    return true;
  }

  // Collects what comes until nothing has come for `quiet`.
  void CollectUntilQuiet(std::chrono::milliseconds quiet) {
    told = {};
    for (;;) {
      TreeChanges more;
      const Status waited = watch_->Wait(quiet, more);
      ASSERT_TRUE(waited) << waited.Message();
      if (more.Empty()) return;
      for (auto list : {&TreeChanges::folders, &TreeChanges::subtrees, &TreeChanges::lost})
        (told.*list).insert((told.*list).end(), (more.*list).begin(), (more.*list).end());
    }
  }

  test::TempDir root;
  std::unique_ptr<Platform> platform = MakeSystemPlatform();
  std::unique_ptr<TreeWatch> watch_;
  TreeChanges told;
};

TEST_F(WindowsTreeWatchTest, EachChangeTellsItsFolderOrSubtree) {
  StartWatch();
  ASSERT_TRUE(watch_);
  CollectUntilQuiet(300ms);  // nothing happened yet
  EXPECT_TRUE(told.Empty()) << Show(told);

  // A file's contents: its folder, the root or one below it.
  test::WriteFile(root / "a.txt", "a, edited");
  EXPECT_TRUE(WaitUntil([](const TreeChanges& c) { return Has(c.folders, ""); })) << Show(told);
  EXPECT_EQ(told.subtrees, std::vector<std::string>{}) << Show(told);
  EXPECT_EQ(told.lost, std::vector<std::string>{}) << Show(told);
  test::WriteFile(root / "sub\\b.txt", "b, edited");
  EXPECT_TRUE(WaitUntil([](const TreeChanges& c) { return Has(c.folders, "sub"); })) << Show(told);

  // A file made in a folder; the name spelled in another letter case comes
  // as the folder holds it.
  CollectUntilQuiet(300ms);
  test::WriteFile(root / ("SUB\\" + kJapanese + ".txt"), "new");
  CollectUntilQuiet(500ms);
  EXPECT_TRUE(Has(told.folders, "sub")) << Show(told);
  EXPECT_FALSE(Has(told.folders, "SUB")) << Show(told);

  // A folder made with a file in it: all below it. The file may come on
  // its own too, in the folder's name.
  test::MakeDirs(root / ("made\\" + kJapanese));
  test::WriteFile(root / ("made\\" + kJapanese + "\\c.txt"), "c");
  EXPECT_TRUE(WaitUntil([](const TreeChanges& c) { return Has(c.subtrees, "made"); }))
      << Show(told);

  // A folder renamed: both names, and the folder that held the old one.
  ASSERT_TRUE(MoveFileW(SystemPath(root / "old").c_str(), SystemPath(root / kJapanese).c_str()));
  EXPECT_TRUE(WaitUntil([](const TreeChanges& c) {
    return Has(c.subtrees, "old") && Has(c.subtrees, kJapanese) && Has(c.folders, "");
  })) << Show(told);

  // A file deleted: its folder.
  ASSERT_TRUE(DeleteFileW(SystemPath(root / "sub\\d.txt").c_str()));
  EXPECT_TRUE(WaitUntil([](const TreeChanges& c) { return Has(c.folders, "sub"); })) << Show(told);
  EXPECT_EQ(told.lost, std::vector<std::string>{}) << Show(told);
}

// More changes than the system keeps between two reads: the watch says that
// some were lost, the reason once and then as an empty text.
TEST_F(WindowsTreeWatchTest, AnOverflowIsToldOnceWithItsReason) {
  StartWatch();
  ASSERT_TRUE(watch_);
  const auto flood = [&](const std::string& folder) {
    test::MakeDirs(root / folder);
    // Some 1000 records of over 200 bytes each: far more than the 64 KiB the
    // system keeps.
    const std::string longName(100, 'x');
    for (int i = 0; i < 1000; ++i)
      test::WriteFile(root / (folder + "\\" + longName + std::to_string(i)), "");
  };
  flood("flood1");
  CollectUntilQuiet(500ms);
  if (told.lost.empty() && test::RunningUnderWine()) {
    GTEST_SKIP() << "Wine passed on all the changes (" << told.folders.size() << " folders, "
                 << told.subtrees.size() << " subtrees) without an overflow";
  }
  EXPECT_EQ(told.lost, std::vector<std::string>{kOverflow}) << Show(told);
  flood("flood2");
  CollectUntilQuiet(500ms);
  EXPECT_EQ(told.lost, std::vector<std::string>{""}) << Show(told);
}

// The source deleted: the watch says so once, lets the folder go, so that
// its name can be used again, and waits on without failing.
TEST_F(WindowsTreeWatchTest, TheSourceGoingIsToldAndTheWatchLetsItGo) {
  StartWatch();
  ASSERT_TRUE(watch_);
  test::RemoveTree(root.Path());
  if (test::Exists(root.Path()) && test::RunningUnderWine()) {
    GTEST_SKIP() << "Wine removes a folder that a handle holds open only once the handle "
                    "closes, and tells the watch nothing of it";
  }
  EXPECT_TRUE(WaitUntil([](const TreeChanges& c) { return !c.lost.empty(); })) << Show(told);
  EXPECT_EQ(told.lost, std::vector<std::string>{"the source folder was moved or deleted"})
      << Show(told);
  EXPECT_TRUE(CreateDirectoryW(SystemPath(root.Path()).c_str(), nullptr)) << GetLastError();
  CollectUntilQuiet(300ms);
  EXPECT_TRUE(told.Empty()) << Show(told);
}

}  // namespace
}  // namespace fts
