// The real binary mirroring real folders, and in-process runs through a
// platform that makes chosen calls fail.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "run/run_driver.h"
#include "support/fault_platform.h"

namespace fts {
namespace {

using test::ListTree;
using test::MakeDirs;
using test::ReadFile;
using test::SetMtime;
using test::WithoutStamps;
using test::WriteFile;
using Lines = std::vector<std::string>;

constexpr std::string_view kAbnormalEnd =
    "******** FernwickTreeSyncer AbNormal End ***************************************";
constexpr long long kMay2024 = 1714554186;  // 2024-05-01 09:03:06 UTC

// The lines between the difference detection and the end banner, without
// the phase banners and the dry-run marker.
Lines ActionsOf(const std::string& out) {
  Lines actions;
  bool inMirror = false;
  for (std::string line : WithoutStamps(out)) {
    if (line.starts_with("[--dry-run] ")) line.erase(0, 12);
    if (line.starts_with("******** ")) inMirror = false;
    if (inMirror && !line.starts_with("-------- ")) actions.push_back(line);
    if (line == "Detect The Difference In These Folders...") inMirror = true;
  }
  return actions;
}

Lines Sorted(Lines lines) {
  std::sort(lines.begin(), lines.end());
  return lines;
}

class MirrorTest : public ::testing::Test {
 protected:
  MirrorTest() {
    for (const auto& folder : {src_, dst_, bin_})
      MakeDirs(folder);
  }

  test::ProcessResult Mirror(Lines arguments = {}) {
    arguments.push_back(src_);
    arguments.push_back(dst_);
    return test::RunBinary(arguments, bin_);
  }

  // A second run finds nothing to do, and no inventory is left behind.
  void ExpectInSync() {
    const auto again = Mirror();
    EXPECT_EQ(again.exitCode, 0) << again.out;
    EXPECT_EQ(ActionsOf(again.out), Lines{"No Difference In These Folders!"});
    EXPECT_EQ(ListTree(dst_), ListTree(src_));
    EXPECT_EQ(ListTree(bin_), Lines{"FernwickTreeSyncer"});
  }

  // The logged actions, for paths below the roots.
  std::string Delete(const std::string& path) { return "Delete File      : " + dst_ + "/" + path; }
  std::string Remove(const std::string& path) { return "Remove Directory : " + dst_ + "/" + path; }
  std::string Make(const std::string& path) { return "Make Directory : " + dst_ + "/" + path; }
  std::string Copy(const std::string& path) {
    return "Copy File      : " + src_ + "/" + path + " -> " + dst_ + "/" + path;
  }

  test::TempDir dir_;
  std::string src_ = dir_ / "src", dst_ = dir_ / "dst", bin_ = dir_ / "bin";
};

TEST_F(MirrorTest, TypicalRunLogsEveryActionBetweenThePhaseBanners) {
  MakeDirs(src_ + "/new");
  WriteFile(src_ + "/new/a.txt", "a");
  for (const auto& root : {src_, dst_}) {
    WriteFile(root + "/same.txt", "same");
    SetMtime(root + "/same.txt", kMay2024);
  }
  WriteFile(dst_ + "/old.txt", "old");

  const auto run = Mirror();
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(WithoutStamps(run.out),
            (Lines{
                "******** FernwickTreeSyncer Start **********************************************",
                "MirrorFromPath : " + src_,
                "MirrorToPath   : " + dst_,
                "Get MirrorFromPath Information...",
                "Get MirrorToPath Information...",
                "Detect The Difference In These Folders...",
                "-------- Remove Directory And Delete File In MirrorToFolder Start --------------",
                "Delete File      : " + dst_ + "/old.txt",
                "-------- Remove Directory And Delete File In MirrorToFolder End ----------------",
                "-------- Make Directory And Copy File In MirrorToFolder Start ------------------",
                "Make Directory : " + dst_ + "/new",
                "Copy File      : " + src_ + "/new/a.txt -> " + dst_ + "/new/a.txt",
                "-------- Make Directory And Copy File In MirrorToFolder End --------------------",
                "******** FernwickTreeSyncer Normal End *****************************************",
            }));
  EXPECT_EQ(ReadFile(dst_ + "/new/a.txt"), "a");
  ExpectInSync();
}

TEST_F(MirrorTest, ChangedFileIsReplacedAndTakesTheSourceTimeAndMode) {
  WriteFile(src_ + "/f.txt", "new");
  chmod((src_ + "/f.txt").c_str(), 0640);
  SetMtime(src_ + "/f.txt", kMay2024, 123456789);
  WriteFile(dst_ + "/f.txt", "old contents");
  SetMtime(dst_ + "/f.txt", kMay2024 + 100);

  const auto run = Mirror();
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(ActionsOf(run.out), (Lines{Delete("f.txt"), Copy("f.txt")}));
  struct stat st;
  ASSERT_EQ(stat((dst_ + "/f.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtim.tv_sec, kMay2024);
  EXPECT_EQ(st.st_mtim.tv_nsec, 123456789);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(ReadFile(dst_ + "/f.txt"), "new");
  ExpectInSync();
}

TEST_F(MirrorTest, SubtreesGoDeepestFirstAndComeTopLevelFirst) {
  MakeDirs(dst_ + "/x/y/z");
  for (const char* file : {"x/y/z/f.txt", "x/g.txt", "x/y/h.txt"})
    WriteFile(dst_ + "/" + file, "");
  MakeDirs(src_ + "/p/q/r");
  MakeDirs(src_ + "/p/s");
  WriteFile(src_ + "/p/q/r/f.txt", "f");
  WriteFile(src_ + "/p/q/g.txt", "g");

  const auto run = Mirror();
  EXPECT_EQ(run.exitCode, 0);
  const Lines actions = ActionsOf(run.out);
  ASSERT_EQ(actions.size(), 12u);
  auto slice = [&](std::size_t from, std::size_t to) {
    return Sorted(Lines(actions.begin() + from, actions.begin() + to));
  };
  // Files first, then the folders from the deepest level up.
  EXPECT_EQ(slice(0, 3), (Lines{Delete("x/g.txt"), Delete("x/y/h.txt"), Delete("x/y/z/f.txt")}));
  EXPECT_EQ(Lines(actions.begin() + 3, actions.begin() + 6),
            (Lines{Remove("x/y/z"), Remove("x/y"), Remove("x")}));
  // Folders from the top level down, then the files.
  EXPECT_EQ(actions[6], Make("p"));
  EXPECT_EQ(slice(7, 9), (Lines{Make("p/q"), Make("p/s")}));
  EXPECT_EQ(actions[9], Make("p/q/r"));
  EXPECT_EQ(slice(10, 12), (Lines{Copy("p/q/g.txt"), Copy("p/q/r/f.txt")}));
  ExpectInSync();
}

TEST_F(MirrorTest, FileAndDirectoryOfTheSameNameReplaceEachOther) {
  WriteFile(src_ + "/a", "file a");
  MakeDirs(src_ + "/b");
  WriteFile(src_ + "/b/in.txt", "in b");
  MakeDirs(dst_ + "/a");
  WriteFile(dst_ + "/a/in.txt", "in a");
  WriteFile(dst_ + "/b", "file b");

  const auto run = Mirror();
  EXPECT_EQ(run.exitCode, 0) << run.out;
  EXPECT_EQ(Sorted(ActionsOf(run.out)), Sorted({Delete("a/in.txt"), Delete("b"), Remove("a"),
                                                Make("b"), Copy("a"), Copy("b/in.txt")}));
  EXPECT_EQ(ReadFile(dst_ + "/a"), "file a");
  EXPECT_EQ(ReadFile(dst_ + "/b/in.txt"), "in b");
  ExpectInSync();
}

TEST_F(MirrorTest, DirectoryDifferingOnlyInLetterCaseIsMadeAgain) {
  MakeDirs(src_ + "/Docs");
  MakeDirs(dst_ + "/docs");
  for (const auto& file : {src_ + "/Docs/a.txt", dst_ + "/docs/a.txt"}) {
    WriteFile(file, "a");
    SetMtime(file, kMay2024);
  }
  const auto run = Mirror();
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(ActionsOf(run.out),
            (Lines{Delete("docs/a.txt"), Remove("docs"), Make("Docs"), Copy("Docs/a.txt")}));
  ExpectInSync();
}

// A log that cannot be written (standard output closed, or a full disk
// behind it) is told once on standard error, and the mirror goes on to its
// end; a closed standard output never lets the log into the run's files.
TEST_F(MirrorTest, AClosedOrFullStandardOutputDoesNotEndTheMirror) {
  for (const std::string output : {"-", "/dev/full"}) {
    std::filesystem::remove_all(dst_);
    MakeDirs(dst_);
    WriteFile(dst_ + "/old.txt", "old");
    MakeDirs(src_ + "/new");
    WriteFile(src_ + "/new/a.txt", "a");
    test::StartOptions options;
    options.inFolder = bin_;
    options.outputTo = output;
    const auto result = test::ChildProcess({src_, dst_}, options).Finish();
    EXPECT_EQ(result.exitCode, 0) << output << result.err;
    const std::string cause = output == "-" ? "Bad file descriptor" : "No space left on device";
    EXPECT_EQ(result.err, "FernwickTreeSyncer: standard output: " + cause + "\n") << output;
    EXPECT_EQ(ListTree(dst_), ListTree(src_)) << output;
    ExpectInSync();
  }
}

TEST_F(MirrorTest, IdenticalTreesHaveNoDifference) {
  ExpectInSync();  // two empty trees
  for (const auto& root : {src_, dst_}) {
    MakeDirs(root + "/d/empty");
    WriteFile(root + "/d/f.txt", "f");
    SetMtime(root + "/d/f.txt", kMay2024);
  }
  const Lines log = WithoutStamps(Mirror().out);
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(log[log.size() - 2], "No Difference In These Folders!");
  for (const auto& line : log)
    EXPECT_FALSE(line.starts_with("-------- ")) << line;
}

TEST_F(MirrorTest, DryRunLogsTheRealRunsActionsAndChangesNothing) {
  MakeDirs(src_ + "/new");
  WriteFile(src_ + "/new/a.txt", "a");
  WriteFile(src_ + "/changed.txt", "new");
  MakeDirs(dst_ + "/old/deeper");
  WriteFile(dst_ + "/old/deeper/x.txt", "x");
  WriteFile(dst_ + "/changed.txt", "old");
  SetMtime(dst_ + "/changed.txt", kMay2024);
  const Lines before = ListTree(dst_);

  const auto dry = Mirror({"-n"});
  EXPECT_EQ(dry.exitCode, 0);
  for (const auto& line : WithoutStamps(dry.out)) {
    EXPECT_TRUE(line.starts_with("[--dry-run] ")) << line;
  }
  EXPECT_EQ(ListTree(dst_), before);
  EXPECT_EQ(ReadFile(dst_ + "/changed.txt"), "old");
  EXPECT_EQ(ActionsOf(Mirror({"--dry-run"}).out), ActionsOf(dry.out));

  const auto real = Mirror();
  EXPECT_EQ(ActionsOf(real.out), ActionsOf(dry.out));
  EXPECT_EQ(ActionsOf(real.out).size(), 7u);
  ExpectInSync();
}

TEST_F(MirrorTest, DestinationLinksAreRemovedAsThemselves) {
  WriteFile(dir_ / "outside.txt", "outside");
  MakeDirs(dir_ / "outside");
  WriteFile(dir_ / "outside/keep.txt", "keep");
  WriteFile(src_ + "/link", "source");
  SetMtime(src_ + "/link", kMay2024);
  SetMtime(dir_ / "outside.txt", kMay2024);  // a followed link would look identical
  ASSERT_EQ(symlink("../outside.txt", (dst_ + "/link").c_str()), 0);
  ASSERT_EQ(symlink("../outside", (dst_ + "/dirlink").c_str()), 0);

  const auto run = Mirror();
  EXPECT_EQ(run.exitCode, 0) << run.out;
  EXPECT_EQ(Sorted(ActionsOf(run.out)), Sorted({Delete("link"), Delete("dirlink"), Copy("link")}));
  EXPECT_EQ(ReadFile(dst_ + "/link"), "source");
  EXPECT_EQ(ReadFile(dir_ / "outside.txt"), "outside");
  EXPECT_EQ(ReadFile(dir_ / "outside/keep.txt"), "keep");
  ExpectInSync();
}

TEST_F(MirrorTest, SourceFifoIsNeverOpened) {
  ASSERT_EQ(mkfifo((src_ + "/pipe").c_str(), 0600), 0);
  const auto run = Mirror();
  EXPECT_EQ(run.exitCode, 3);
  const Lines actions = ActionsOf(run.out);
  ASSERT_EQ(actions.size(), 2u);
  EXPECT_EQ(actions[0], Copy("pipe"));
  EXPECT_TRUE(actions[1].starts_with("Action Failed    : ")) << actions[1];
  EXPECT_EQ(WithoutStamps(run.out).back(), kAbnormalEnd);
  EXPECT_EQ(ListTree(dst_), Lines{});
}

// Folders nested so deep that their paths are longer than the system takes
// in one call: listed, copied, compared and removed all the same.
TEST_F(MirrorTest, PathsLongerThanTheSystemLimitMirrorAndGo) {
  const std::string name(250, 'd');
  std::string relPath;
  for (int level = 0; level < 20; ++level)
    relPath += (relPath.empty() ? "" : "/") + name;
  ASSERT_GT(src_.size() + relPath.size(), 4096u);
  test::WriteDeepFile(src_, relPath + "/bottom.txt", "bottom");

  const auto result = Mirror();
  EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
  const Lines actions = ActionsOf(result.out);
  EXPECT_EQ(std::count_if(actions.begin(), actions.end(),
                          [](const std::string& line) { return line.starts_with("Make "); }),
            20);
  EXPECT_EQ(test::ReadDeepFile(dst_, relPath + "/bottom.txt"), "bottom");
  const auto again = Mirror();
  EXPECT_EQ(ActionsOf(again.out), Lines{"No Difference In These Folders!"});

  std::filesystem::remove_all(src_ + "/" + name);  // fine: the top is short
  const auto removed = Mirror();
  EXPECT_EQ(removed.exitCode, 0) << removed.out;
  EXPECT_EQ(ListTree(dst_), Lines{});
}

TEST_F(MirrorTest, FailedActionIsLoggedAndTheRunGoesOn) {
  MakeDirs(dst_ + "/gone");
  WriteFile(dst_ + "/gone/old.txt", "old");
  WriteFile(src_ + "/new.txt", "new");
  test::FaultPlatform platform;
  platform.exeFolder = bin_ + "/";
  platform.undeletable = {dst_ + "/gone/old.txt"};

  EXPECT_EQ(RunFernwickTreeSyncer({src_, dst_}, platform), 3);
  EXPECT_EQ(ActionsOf(platform.out),
            (Lines{Delete("gone/old.txt"), "Action Failed    : Permission denied", Remove("gone"),
                   "Action Failed    : Directory not empty", Copy("new.txt")}));
  EXPECT_EQ(WithoutStamps(platform.out).back(), kAbnormalEnd);
  EXPECT_EQ(ListTree(dst_), (Lines{"gone/", "gone/old.txt", "new.txt"}));
  EXPECT_EQ(ListTree(bin_), Lines{});
}

TEST_F(MirrorTest, UnlistableSourceFolderKeepsItsDestinationCounterpart) {
  MakeDirs(src_ + "/sub");
  WriteFile(src_ + "/sub/keep.txt", "source");
  WriteFile(src_ + "/new.txt", "new");
  MakeDirs(dst_ + "/sub");
  WriteFile(dst_ + "/sub/keep.txt", "destination");
  WriteFile(dst_ + "/sub/extra.txt", "extra");
  test::FaultPlatform platform;
  platform.exeFolder = bin_ + "/";
  platform.unlistable = {src_ + "/sub"};

  EXPECT_EQ(RunFernwickTreeSyncer({src_, dst_}, platform), 3);
  const Lines log = WithoutStamps(platform.out);
  EXPECT_EQ(std::count(log.begin(), log.end(),
                       "Cannot List Folder : " + src_ + "/sub : Permission denied"),
            1);
  EXPECT_EQ(ActionsOf(platform.out), Lines{Copy("new.txt")});
  EXPECT_EQ(log.back(), kAbnormalEnd);
  EXPECT_EQ(ListTree(dst_), (Lines{"new.txt", "sub/", "sub/extra.txt", "sub/keep.txt"}));
}

}  // namespace
}  // namespace fts
