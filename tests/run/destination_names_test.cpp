// Names a destination cannot hold as the source has them: names that differ
// only in letter case in a folder that ignores case, and characters that
// USB disks and shares refuse. On a real exFAT disk, then the rules alone
// on a folder that is made to answer that it ignores case.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <set>

#include "run/run_driver.h"
#include "support/mounted_file_system.h"
#include "support/test_support.h"

namespace fts {
namespace {

using test::ListTree;
using test::ReadFile;
using test::RunBinary;
using test::WithoutStamps;
using test::WriteFile;
using Lines = std::vector<std::string>;

constexpr std::string_view kFailed = "Action Failed    : ";
constexpr std::string_view kNoDifference = "No Difference In These Folders!";

// The action lines of a log (copies, makes, deletions and their failures),
// without a dry run's mark.
Lines ActionLines(const std::string& out) {
  Lines actions;
  for (std::string line : WithoutStamps(out)) {
    if (line.starts_with("[--dry-run] ")) line.erase(0, 12);
    for (std::string_view prefix :
         {"Copy File", "Make Directory", "Delete File", "Remove Directory", "Action Failed"}) {
      if (line.starts_with(prefix)) actions.push_back(line);
    }
  }
  return actions;
}

std::string FailureAfter(const Lines& actions, const std::string& action) {
  const auto found = std::find(actions.begin(), actions.end(), action);
  if (found == actions.end()) return "(no such action)";
  return found + 1 != actions.end() && found[1].starts_with(kFailed) ? found[1].substr(kFailed.size()) : "(did not fail)";
}

class ExfatNamesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!disk_.Mounted()) GTEST_SKIP() << disk_.SkipReason();
    test::MakeDirs(src_);
    for (const auto& [name, text] : kFiles)
      test::WriteDeepFile(src_, name, text);
  }

  std::string Copy(const std::string& name) const {
    return "Copy File      : " + src_ + "/" + name + " -> " + dst_ + "/" + name;
  }
  std::string Clash(const std::string& loser, const std::string& winner) const {
    return "Name clash: " + dst_ + "/" + loser + " and " + dst_ + "/" + winner +
           " differ only in letter case, which the destination folder ignores";
  }

  // Which of two names the run mirrored: the first of them in inventory order.
  std::pair<std::string, std::string> WinnerAndLoser(const Lines& actions, const std::string& a,
                                                     const std::string& b) const {
    const bool aFailed = FailureAfter(actions, Copy(a)) != "(did not fail)";
    return aFailed ? std::pair{b, a} : std::pair{a, b};
  }

  const std::vector<std::pair<std::string, std::string>> kFiles = {
      {"README", "upper"},  {"readme", "lower"},        {"Docs/a.txt", "a"},
      {"docs/b.txt", "b"},  {"what?.txt", "what"},      {"co:lon.txt", "colon"},
      {"trailing.", "dot"}, {"what\uFF1F.txt", "look"}, {"plain/f\u00FCr.txt", "unicode"},
  };
  test::MountedFileSystem disk_{"exfat"};
  test::TempDir dir_;
  std::string src_ = dir_ / "src";
  std::string dst_ = disk_.MountPoint() + "/mirror";
};

TEST_F(ExfatNamesTest, ClashesAndRefusedNamesFailTheSameWayEveryRun) {
  test::MakeDirs(dst_);
  const auto first = RunBinary({src_, dst_});
  EXPECT_EQ(first.exitCode, 3) << first.out;
  const Lines actions = ActionLines(first.out);
  const auto [upper, lower] = WinnerAndLoser(actions, "README", "readme");
  EXPECT_EQ(FailureAfter(actions, Copy(lower)), Clash(lower, upper));
  EXPECT_EQ(ReadFile(dst_ + "/" + upper), upper == "README" ? "upper" : "lower");
  const bool lowerRefused =
      FailureAfter(actions, "Make Directory : " + dst_ + "/docs") != "(did not fail)";
  const std::string docsLoser = lowerRefused ? "docs" : "Docs";
  const std::string docsWinner = lowerRefused ? "Docs" : "docs";
  EXPECT_EQ(FailureAfter(actions, "Make Directory : " + dst_ + "/" + docsLoser),
            Clash(docsLoser, docsWinner));
  // What lies in the refused folder is refused with it, never put into the
  // other one.
  const std::string inLoser = docsLoser + (docsLoser == "docs" ? "/b.txt" : "/a.txt");
  EXPECT_EQ(FailureAfter(actions, Copy(inLoser)), Clash(docsLoser, docsWinner));
  EXPECT_EQ(ListTree(dst_ + "/" + docsWinner).size(), 1u);

  EXPECT_EQ(FailureAfter(actions, Copy("what?.txt")),
            "The destination file system does not accept ? in a name; --names=portable writes "
            "look-alikes");
  EXPECT_EQ(FailureAfter(actions, Copy("co:lon.txt")),
            "The destination file system does not accept : in a name; --names=portable writes "
            "look-alikes");
  EXPECT_EQ(ReadFile(dst_ + "/plain/f\u00FCr.txt"), "unicode");
  EXPECT_EQ(first.err, "");

  const auto tree = ListTree(dst_);
  const auto second = RunBinary({src_, dst_});
  EXPECT_EQ(second.exitCode, 3);
  const Lines again = ActionLines(second.out);
  // The second run repeats the failures and does nothing else.
  for (std::size_t i = 0; i < again.size(); i += 2) {
    ASSERT_LT(i + 1, again.size());
    EXPECT_TRUE(again[i + 1].starts_with(kFailed)) << again[i];
    EXPECT_EQ(FailureAfter(actions, again[i]), again[i + 1].substr(kFailed.size()));
  }
  EXPECT_EQ(ListTree(dst_), tree);
}

TEST_F(ExfatNamesTest, PortableNamesMirrorEverythingButTheClashes) {
  test::MakeDirs(dst_);
  // A dry run decides the clashes as the run does, without writing.
  const auto dry = RunBinary({"--dry-run", "--names=portable", src_, dst_});
  const auto first = RunBinary({"--names=portable", src_, dst_});
  EXPECT_EQ(first.exitCode, 3) << first.out;
  const Lines actions = ActionLines(first.out);
  const Lines dryActions = ActionLines(dry.out);
  EXPECT_EQ(std::count_if(dryActions.begin(), dryActions.end(),
                          [](const std::string& line) { return line.starts_with(kFailed); }),
            3);
  // The log shows the source's name and the name written.
  EXPECT_NE(std::find(actions.begin(), actions.end(),
                      "Copy File      : " + src_ + "/what?.txt -> " + dst_ + "/what\uFF1F.txt"),
            actions.end());
  EXPECT_EQ(ReadFile(dst_ + "/what\uFF1F.txt"), "what");
  EXPECT_EQ(ReadFile(dst_ + "/what\u201B\uFF1F.txt"), "look");
  EXPECT_EQ(ReadFile(dst_ + "/co\uFF1Alon.txt"), "colon");
  EXPECT_EQ(ReadFile(dst_ + "/trailing\uFF0E"), "dot");
  const auto failures = std::count_if(actions.begin(), actions.end(), [](const std::string& line) {
    return line.starts_with(kFailed);
  });
  EXPECT_EQ(failures, 3);  // readme or README, docs or Docs, and what lies in it

  const auto second = RunBinary({"--names=portable", src_, dst_});
  const Lines again = ActionLines(second.out);
  EXPECT_EQ(again.size(), 6u) << second.out;

  // Exclusions match the source's names: the written look-alike stays.
  const auto excluded = RunBinary({"--names=portable", "--exclude=what?.txt", src_, dst_});
  EXPECT_EQ(ActionLines(excluded.out), again);
  EXPECT_EQ(ReadFile(dst_ + "/what\uFF1F.txt"), "what");
}

// The folder answers that it ignores letter case, as an exFAT or casefolded
// one would; the file system under it does not, so every step shows.
class CaseIgnoringPlatform : public test::CapturingPlatform {
 public:
  Result<bool> IgnoresLetterCase(const std::string&, bool) override { return true; }
  std::string ExecutableFolder() override { return exeFolder; }
  std::string exeFolder;
};

TEST(CaseClashTest, TheFirstNameIsMirroredAndAnOldCopyOfTheOtherGoes) {
  test::TempDir dir;
  const std::string src = dir / "src", dst = dir / "dst", bin = dir / "bin";
  test::MakeDirs(bin);
  test::MakeDirs(src);
  WriteFile(dir / "src/Name.txt", "upper");
  WriteFile(dir / "src/name.txt", "lower");
  WriteFile(dir / "src/other.txt", "other");
  test::MakeDirs(dst);
  CaseIgnoringPlatform platform;
  platform.exeFolder = bin + "/";
  EXPECT_EQ(RunFernwickTreeSyncer({src, dst}, platform), 3);
  const Lines actions = ActionLines(platform.out);
  const bool upperFirst = test::Exists(dst + "/Name.txt");
  const std::string winner = upperFirst ? "Name.txt" : "name.txt";
  const std::string loser = upperFirst ? "name.txt" : "Name.txt";
  EXPECT_FALSE(test::Exists(dst + "/" + loser));
  const std::string clash = "Name clash: " + dst + "/" + loser + " and " + dst + "/" + winner +
                            " differ only in letter case, which the destination folder ignores";
  EXPECT_EQ(
      FailureAfter(actions, "Copy File      : " + src + "/" + loser + " -> " + dst + "/" + loser),
      clash);

  // A copy of the refused name left from before goes, and the run repeats
  // its one failure.
  WriteFile(dst + "/" + loser, "old");
  CaseIgnoringPlatform again;
  again.exeFolder = bin + "/";
  EXPECT_EQ(RunFernwickTreeSyncer({src, dst}, again), 3);
  EXPECT_EQ(ActionLines(again.out),
            (Lines{"Delete File      : " + dst + "/" + loser,
                   "Copy File      : " + src + "/" + loser + " -> " + dst + "/" + loser,
                   std::string(kFailed) + clash}));
  EXPECT_EQ(ListTree(dst), (Lines{winner, "other.txt"}));
}

// Letter case is found out per folder: a folder where an exFAT disk is
// mounted ignores it, the folder above it does not.
TEST(CaseClashTest, EachFolderIsAskedForItself) {
  test::MountedFileSystem disk("exfat");
  if (!disk.Mounted()) GTEST_SKIP() << disk.SkipReason();
  test::TempDir dir;
  const std::string src = dir / "src", dst = dir / "dst";
  test::MakeDirs(src);
  for (const std::string name : {"README", "readme", "usb/README", "usb/readme"})
    test::WriteDeepFile(src, name, name);
  test::MakeDirs(dst + "/usb");
  const std::string bind = "mount --bind '" + disk.MountPoint() + "' '" + dst + "/usb'";
  ASSERT_EQ(std::system(bind.c_str()), 0);
  const auto result = RunBinary({src, dst});
  const std::string unmount = "umount '" + dst + "/usb'";
  EXPECT_EQ(std::system(unmount.c_str()), 0);
  const Lines actions = ActionLines(result.out);
  EXPECT_EQ(FailureAfter(actions, "Copy File      : " + src + "/readme -> " + dst + "/readme"),
            "(did not fail)");
  EXPECT_EQ(FailureAfter(actions, "Copy File      : " + src + "/README -> " + dst + "/README"),
            "(did not fail)");
  EXPECT_EQ(std::count_if(actions.begin(), actions.end(),
                          [](const std::string& line) { return line.starts_with(kFailed); }),
            1)
      << result.out;
  EXPECT_EQ(result.exitCode, 3);
}

}  // namespace
}  // namespace fts
