// The switches for mirror jobs, end to end with the real program on real
// folders: the deletion limit, the exclusions and the backup folder.
#include <gtest/gtest.h>
#include <sys/mount.h>
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
using test::SetMtime;
using test::WithoutStamps;
using test::WriteFile;
using Lines = std::vector<std::string>;

constexpr long long kOld = 1600000000;
constexpr long long kNew = 1700000000;
const std::string kAbnormalEnd =
    "******** FernwickTreeSyncer AbNormal End ***************************************";

class SwitchesTest : public ::testing::Test {
 protected:
  SwitchesTest() {
    for (const auto& folder : {src_, dst_, bin_})
      MakeDirs(folder);
  }

  test::ProcessResult Run(Lines arguments) {
    arguments.push_back(src_);
    arguments.push_back(dst_);
    return test::RunBinary(arguments, bin_);
  }

  // The log after "Detect The Difference In These Folders...", without the
  // dry-run marker.
  static Lines AfterDetection(const std::string& out) {
    Lines lines;
    bool after = false;
    for (std::string line : WithoutStamps(out)) {
      if (line.starts_with("[--dry-run] ")) line.erase(0, 12);
      if (after) lines.push_back(line);
      if (line == "Detect The Difference In These Folders...") after = true;
    }
    return lines;
  }

  void File(const std::string& path, const std::string& contents, long long time) {
    WriteFile(path, contents);
    SetMtime(path, time);
  }

  test::TempDir dir_;
  std::string src_ = dir_ / "src", dst_ = dir_ / "dst", bin_ = dir_ / "bin";
};

// Four of the five destination entries would go: c.txt, d, d/e.txt, and the
// file f that gives way to a folder; a.txt is an update and does not count.
class DeletionLimitTest : public SwitchesTest {
 protected:
  DeletionLimitTest() {
    File(src_ + "/a.txt", "new a", kNew);
    MakeDirs(src_ + "/f");
    File(dst_ + "/a.txt", "old a", kOld);
    File(dst_ + "/c.txt", "c", kOld);
    MakeDirs(dst_ + "/d");
    File(dst_ + "/d/e.txt", "e", kOld);
    File(dst_ + "/f", "f", kOld);
  }
};

TEST_F(DeletionLimitTest, OverTheLimitNothingIsDoneAndTheRunEndsWithCodeFour) {
  const Lines before = ListTree(dst_);
  for (const Lines& switches : {Lines{"--max-delete=3"}, Lines{"--max-delete=79%"},
                                Lines{"-n", "--max-delete=3"}, Lines{"--max-delete=0"}}) {
    const auto result = Run(switches);
    EXPECT_EQ(result.exitCode, 4) << ::testing::PrintToString(switches) << result.out;
    EXPECT_EQ(AfterDetection(result.out),
              (Lines{"Deletion Limit Exceeded : 4 of 5 destination entries would be deleted, the "
                     "limit is " +
                         switches.back().substr(switches.back().find('=') + 1),
                     kAbnormalEnd}));
    EXPECT_EQ(ListTree(dst_), before);
    EXPECT_EQ(ReadFile(dst_ + "/a.txt"), "old a");
    EXPECT_EQ(ListTree(bin_), Lines{"FernwickTreeSyncer"});
  }
}

TEST_F(DeletionLimitTest, AtTheLimitTheRunGoesOn) {
  // 4 of 5 is 80 %: at the edge, allowed.
  for (const char* limit : {"--max-delete=80%", "--max-delete=4", "--max-delete=100%"}) {
    const auto dry = Run({"-n", limit});
    EXPECT_EQ(dry.exitCode, 0) << limit << dry.out;
  }
  const auto result = Run({"--max-delete=80%"});
  EXPECT_EQ(result.exitCode, 0) << result.out;
  EXPECT_EQ(ListTree(dst_), (Lines{"a.txt", "f/"}));
  EXPECT_EQ(ReadFile(dst_ + "/a.txt"), "new a");
}

// An empty source (a disk that was not mounted): the limit stops the run
// before the mirror is wiped.
TEST_F(DeletionLimitTest, AnEmptySourceIsStoppedByAShare) {
  std::filesystem::remove_all(src_);
  MakeDirs(src_);
  const auto result = Run({"--max-delete=10%"});
  EXPECT_EQ(result.exitCode, 4);
  EXPECT_EQ(AfterDetection(result.out).front(),
            "Deletion Limit Exceeded : 5 of 5 destination entries would be deleted, the limit is "
            "10%");
  EXPECT_EQ(ListTree(dst_).size(), 5u);
}

TEST_F(SwitchesTest, ExcludedEntriesAreNeitherCopiedNorDeletedAndTheirFoldersStay) {
  File(src_ + "/keep.txt", "keep", kOld);
  File(src_ + "/a.tmp", "a", kOld);
  MakeDirs(src_ + "/sub/cache");
  File(src_ + "/sub/b.tmp", "b", kOld);
  File(src_ + "/sub/cache/c.txt", "c", kOld);
  MakeDirs(src_ + "/docs");
  File(src_ + "/docs/a.pdf", "pdf", kOld);
  File(dst_ + "/old.tmp", "old", kOld);
  MakeDirs(dst_ + "/cache/deep");
  File(dst_ + "/cache/deep/y.txt", "y", kOld);
  MakeDirs(dst_ + "/gone/inner");
  File(dst_ + "/gone/inner/z.tmp", "z", kOld);
  File(dst_ + "/gone/other.txt", "other", kOld);
  File(dir_ / "exclude.txt", "# caches\r\ncache/\r\n\r\n", kOld);

  const auto result =
      Run({"--exclude=*.tmp", "--exclude-from=" + (dir_ / "exclude.txt"), "--stats"});
  EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
  const Lines actions = AfterDetection(result.out);
  EXPECT_EQ(
      std::count(actions.begin(), actions.end(), "Delete File      : " + dst_ + "/gone/other.txt"),
      1);
  for (const auto& line : actions) {
    EXPECT_EQ(line.find(".tmp"), std::string::npos) << line;
    EXPECT_EQ(line.find("cache"), std::string::npos) << line;
    EXPECT_FALSE(line.starts_with("Remove Directory")) << line;
  }
  EXPECT_EQ(ListTree(dst_),
            (Lines{"cache/", "cache/deep/", "cache/deep/y.txt", "docs/", "docs/a.pdf", "gone/",
                   "gone/inner/", "gone/inner/z.tmp", "keep.txt", "old.tmp", "sub/"}));
  const auto again =
      Run({"--exclude=*.tmp", "--exclude-from=" + (dir_ / "exclude.txt"), "--stats"});
  EXPECT_EQ(AfterDetection(again.out).front(), "No Difference In These Folders!");
  // Without the exclusions, the same trees differ.
  EXPECT_NE(AfterDetection(Run({"-n"}).out).front(), "No Difference In These Folders!");
}

class BackupTest : public SwitchesTest {
 protected:
  BackupTest() {
    MakeDirs(backup_);
    File(src_ + "/changed.txt", "new", kNew);
    File(src_ + "/same.txt", "same", kOld);
    File(dst_ + "/changed.txt", "old", kOld);
    File(dst_ + "/same.txt", "same", kOld);
    File(dst_ + "/old.txt", "deleted", kOld);
    MakeDirs(dst_ + "/gone");
    File(dst_ + "/gone/x.txt", "x", kOld);
  }

  // The one folder of this run in the backup folder: YYYY-MM-DD_HHMMSS.
  std::string RunFolder() const {
    const Lines entries = ListTree(backup_);
    EXPECT_FALSE(entries.empty());
    const std::string name = entries.empty() ? "" : entries.front();
    EXPECT_EQ(name.size(), 18u) << name;
    EXPECT_EQ(name.substr(4, 1) + name.substr(7, 1) + name.substr(10, 1), "--_") << name;
    return name.substr(0, 17);
  }

  std::string backup_ = dir_ / "backup";
};

TEST_F(BackupTest, DeletedAndReplacedFilesAreKeptWithTheirContentsAndTimes) {
  const auto result = Run({"--backup-dir=" + backup_});
  EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
  const std::string run = RunFolder();
  const std::string to = backup_ + "/" + run;
  const Lines actions = AfterDetection(result.out);
  for (const char* relPath : {"changed.txt", "old.txt", "gone/x.txt"}) {
    EXPECT_EQ(
        std::count(actions.begin(), actions.end(),
                   "Move To Backup   : " + dst_ + "/" + relPath + " -> " + to + "/" + relPath),
        1)
        << relPath;
  }
  for (const auto& line : actions)
    EXPECT_FALSE(line.starts_with("Delete File")) << line;
  EXPECT_EQ(ListTree(to), (Lines{"changed.txt", "gone/", "gone/x.txt", "old.txt"}));
  EXPECT_EQ(ReadFile(to + "/changed.txt"), "old");
  EXPECT_EQ(ReadFile(to + "/old.txt"), "deleted");
  struct stat st;
  ASSERT_EQ(stat((to + "/changed.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtim.tv_sec, kOld);
  EXPECT_EQ(ListTree(dst_), ListTree(src_));
  EXPECT_EQ(ReadFile(dst_ + "/changed.txt"), "new");
}

// Across file systems (a tmpfs as root; skipped otherwise) the move is a
// copy and a delete, with the same result.
TEST_F(BackupTest, ABackupOnAnotherFileSystemGetsCopies) {
  if (geteuid() != 0 || mount("tmpfs", backup_.c_str(), "tmpfs", 0, "size=4m") != 0) {
    GTEST_SKIP() << "mounting a tmpfs needs root; skipped";
  }
  const auto result = Run({"--backup-dir=" + backup_});
  const Lines moved = ListTree(backup_ + "/" + RunFolder());
  const std::string changed = ReadFile(backup_ + "/" + RunFolder() + "/changed.txt");
  umount2(backup_.c_str(), MNT_DETACH);
  EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
  EXPECT_EQ(moved, (Lines{"changed.txt", "gone/", "gone/x.txt", "old.txt"}));
  EXPECT_EQ(changed, "old");
  EXPECT_EQ(ListTree(dst_), ListTree(src_));
}

// A replaced file whose move to the backup fails stays as it was: the copy
// that would replace it fails too.
TEST_F(BackupTest, AFileWhoseBackupFailedIsNeverOverwritten) {
  test::FaultPlatform platform;
  platform.exeFolder = bin_ + "/";
  platform.actionFault = [&](std::string_view operation, const std::string& path) {
    return operation == "move" && path == dst_ + "/changed.txt"
               ? Status::Error(operation, path, "Permission denied")
               : Status::Ok();
  };
  EXPECT_EQ(RunFernwickTreeSyncer({"--backup-dir=" + backup_, src_, dst_}, platform), 3);
  const Lines actions = AfterDetection(platform.out);
  const std::string copy = "Copy File      : " + src_ + "/changed.txt -> " + dst_ + "/changed.txt";
  const auto copied = std::find(actions.begin(), actions.end(), copy);
  ASSERT_NE(copied, actions.end());
  EXPECT_EQ(*(copied + 1), "Action Failed    : File exists");
  EXPECT_EQ(ReadFile(dst_ + "/changed.txt"), "old");
  EXPECT_FALSE(test::Exists(dst_ + "/old.txt"));
  EXPECT_EQ(actions.back(), kAbnormalEnd);
}

}  // namespace
}  // namespace fts
