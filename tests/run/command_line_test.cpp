#include "run/command_line.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace fts {
namespace {

using test::TempDir;
using Args = std::vector<std::string>;

TEST(MatchSwitchTest, AcceptsExactlyTheDryRunSwitches) {
  const TStrManipulatorClass manipulator;
  for (const char* argument : {"-n", "--dry-run"}) {
    OptionTable table;
    InitOptionTable(table);
    EXPECT_FALSE(IsDryRun(table));
    EXPECT_TRUE(MatchSwitch(table, manipulator, argument)) << argument;
    EXPECT_TRUE(IsDryRun(table)) << argument;
  }
}

TEST(MatchSwitchTest, RejectsTextAroundASwitchAndOtherForms) {
  const TStrManipulatorClass manipulator;
  for (const char* argument : {"-nx", "--dry-run-n", "-n-n", "-N", "--dry", "/n", "n", "-", ""}) {
    OptionTable table;
    InitOptionTable(table);
    EXPECT_FALSE(MatchSwitch(table, manipulator, argument)) << argument;
  }
}

TEST(MatchSwitchTest, AnOptionIsGivenOnlyOnce) {
  const TStrManipulatorClass manipulator;
  OptionTable table;
  InitOptionTable(table);
  ASSERT_TRUE(MatchSwitch(table, manipulator, "-n"));
  EXPECT_FALSE(MatchSwitch(table, manipulator, "-n"));
  EXPECT_FALSE(MatchSwitch(table, manipulator, "--dry-run"));
  EXPECT_TRUE(IsDryRun(table));
}

TEST(RootOfTest, EndsInExactlyOneSeparator) {
  EXPECT_EQ(RootOf("src"), "src/");
  EXPECT_EQ(RootOf("src/"), "src/");
  EXPECT_EQ(RootOf("src//"), "src/");
  EXPECT_EQ(RootOf("/a/b///"), "/a/b/");
  EXPECT_EQ(RootOf("/"), "/");
  EXPECT_EQ(RootOf("//"), "/");
}

// The real platform, counting how often a folder is looked at.
class CountingPlatform : public test::CapturingPlatform {
 public:
  bool IsDirectory(const std::string& path) override {
    ++lookups;
    return CapturingPlatform::IsDirectory(path);
  }
  std::optional<std::string> RealPath(const std::string& path) override {
    ++lookups;
    return CapturingPlatform::RealPath(path);
  }
  int lookups = 0;
};

class ParseCommandLineTest : public ::testing::Test {
 protected:
  ParseCommandLineTest() {
    test::MakeDirs(src);
    test::MakeDirs(dst);
    InitOptionTable(state.optionTable);
  }
  bool Parse(const Args& arguments) {
    return ParseCommandLine(arguments, platform, manipulator, state, reason);
  }

  TempDir dir;
  const std::string src = dir / "src";
  const std::string dst = dir / "dst";
  CountingPlatform platform;
  TStrManipulatorClass manipulator;
  RunState state;
  std::string reason;
};

TEST_F(ParseCommandLineTest, WrongArgumentCountsAreRejected) {
  for (const Args& arguments :
       {Args{}, Args{"-n"}, Args{src}, Args{"-n", src, dst, dst}, Args{"/?", src, dst}}) {
    EXPECT_FALSE(Parse(arguments)) << ::testing::PrintToString(arguments);
  }
  EXPECT_FALSE(state.helpRequested);
}

TEST_F(ParseCommandLineTest, HelpAloneExaminesNoFolder) {
  for (const char* help : {"/?", "-help", "--help"}) {
    state = RunState{};
    EXPECT_TRUE(Parse({help})) << help;
    EXPECT_TRUE(state.helpRequested) << help;
    EXPECT_TRUE(state.fromRoots.empty());
  }
  EXPECT_EQ(platform.lookups, 0);
  for (const char* notHelp : {"-HELP", "/h", "help", "--help "}) {
    state = RunState{};
    EXPECT_FALSE(Parse({notHelp})) << notHelp;
    EXPECT_FALSE(state.helpRequested) << notHelp;
  }
}

TEST_F(ParseCommandLineTest, TwoFoldersAreTheSourceAndTheDestination) {
  ASSERT_TRUE(Parse({src, dst})) << reason;
  EXPECT_FALSE(state.helpRequested);
  EXPECT_FALSE(IsDryRun(state.optionTable));
  EXPECT_EQ(state.fromRoots, Args{src + "/"});
  EXPECT_EQ(state.toRoots, Args{dst + "/"});
  EXPECT_EQ(state.mirrorFromPath, src);
  EXPECT_EQ(state.mirrorToPath, dst);
}

TEST_F(ParseCommandLineTest, SwitchBeforeTheFoldersSetsDryRun) {
  for (const char* dryRun : {"-n", "--dry-run"}) {
    state = RunState{};
    InitOptionTable(state.optionTable);
    ASSERT_TRUE(Parse({dryRun, src, dst})) << dryRun;
    EXPECT_TRUE(IsDryRun(state.optionTable));
    EXPECT_EQ(state.fromRoots, Args{src + "/"});
    EXPECT_EQ(state.mirrorToPath, dst);
  }
}

TEST_F(ParseCommandLineTest, NoSwitchBeforeTheFoldersLooksAtNoFolder) {
  for (const char* notSwitch : {"-nx", "-x", "/?"})
    EXPECT_FALSE(Parse({notSwitch, src, dst}));
  EXPECT_EQ(platform.lookups, 0);
}

TEST_F(ParseCommandLineTest, TrailingSeparatorsAreCutToOneButShownAsTyped) {
  ASSERT_TRUE(Parse({src + "/", dst + "//"}));
  EXPECT_EQ(state.fromRoots, Args{src + "/"});
  EXPECT_EQ(state.toRoots, Args{dst + "/"});
  EXPECT_EQ(state.mirrorFromPath, src + "/");
  EXPECT_EQ(state.mirrorToPath, dst + "//");
}

TEST_F(ParseCommandLineTest, MissingFoldersAreRejected) {
  test::WriteFile(dir / "file", "");
  EXPECT_FALSE(Parse({dir / "none", dst}));
  EXPECT_FALSE(Parse({dir / "file", dst}));
  EXPECT_FALSE(Parse({src, dir / "none"}));
  EXPECT_FALSE(Parse({src, dir / "file/"}));
}

TEST_F(ParseCommandLineTest, EmptyArgumentsAreNotCounted) {
  EXPECT_TRUE(Parse({"", src, "", dst, ""}));
  EXPECT_EQ(state.fromRoots, Args{src + "/"});
  EXPECT_EQ(state.toRoots, Args{dst + "/"});
  EXPECT_FALSE(Parse({"", src, ""}));
}

// After a switch, a second switch is taken as the source path.
TEST_F(ParseCommandLineTest, SecondSwitchIsASourcePath) {
  EXPECT_FALSE(Parse({"-n", "-n", dst}));

  const std::filesystem::path before = std::filesystem::current_path();
  std::filesystem::current_path(dir.Path());
  test::MakeDirs("-n");
  state = RunState{};
  InitOptionTable(state.optionTable);
  const bool accepted = Parse({"-n", "-n", dst});
  std::filesystem::current_path(before);
  EXPECT_TRUE(accepted);
  EXPECT_EQ(state.fromRoots, Args{"-n/"});
}

TEST_F(ParseCommandLineTest, LinkToAFolderIsAFolder) {
  std::filesystem::create_directory_symlink(src, dir / "link");
  EXPECT_TRUE(Parse({dir / "link", dst})) << reason;
  EXPECT_EQ(state.fromRoots, Args{dir / "link/"});
}

TEST_F(ParseCommandLineTest, FoldersInsideOneAnotherAreRejected) {
  test::MakeDirs(src + "/inner");
  test::MakeDirs(dst + "/inner");
  std::filesystem::create_directory_symlink(src, dir / "link");
  for (const Args& arguments :
       {Args{src, src + "/inner"}, Args{dst + "/inner/", dst}, Args{src, dir / "link/inner"},
        Args{"-n", dir / "link", src + "/inner"}, Args{"/", dst}}) {
    reason.clear();
    EXPECT_FALSE(Parse(arguments)) << ::testing::PrintToString(arguments);
    EXPECT_FALSE(reason.empty());
    InitOptionTable(state.optionTable);
  }
}

TEST_F(ParseCommandLineTest, SameFolderTwiceAndSiblingsAreAccepted) {
  test::MakeDirs(src + "2");
  std::filesystem::create_directory_symlink(src, dir / "link");
  for (const Args& arguments :
       {Args{src, src}, Args{src, dir / "link"}, Args{src, src + "2"}, Args{src + "2", src}}) {
    EXPECT_TRUE(Parse(arguments)) << ::testing::PrintToString(arguments) << reason;
  }
}

}  // namespace
}  // namespace fts
