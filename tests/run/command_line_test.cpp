#include "run/command_line.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace fts {
namespace {

using Args = std::vector<std::string>;

TEST(MatchSwitchTest, AcceptsExactlyTheDryRunSwitchesOnce) {
  const TStrManipulatorClass manipulator;
  for (const char* argument : {"-n", "--dry-run"}) {
    OptionTable table;
    InitOptionTable(table);
    EXPECT_FALSE(IsDryRun(table));
    EXPECT_TRUE(MatchSwitch(table, manipulator, argument)) << argument;
    EXPECT_TRUE(IsDryRun(table));
    EXPECT_FALSE(MatchSwitch(table, manipulator, "-n"));
    EXPECT_FALSE(MatchSwitch(table, manipulator, "--dry-run"));
  }
  for (const char* argument : {"-nx", "--dry-run-n", "-n-n", "-N", "--dry", "/n", ""}) {
    OptionTable table;
    InitOptionTable(table);
    EXPECT_FALSE(MatchSwitch(table, manipulator, argument)) << argument;
  }
}

// Text after a switch may set further options, but never makes a switch.
TEST(MatchSwitchTest, SwitchesRunTogetherAreNoSwitch) {
  const TStrManipulatorClass manipulator;
  OptionTable table = {{"dryrun", "False", "-n", ""}, {"verbose", "False", "-v"}};
  EXPECT_FALSE(MatchSwitch(table, manipulator, "-n-v"));
  EXPECT_EQ(table[0][1], "True");
  EXPECT_EQ(table[1][1], "True");
}

// A shorter switch that begins the argument used to mark the option first,
// so the exact switch after it was refused as given twice.
TEST(MatchSwitchTest, ExactSwitchWinsOverAShorterOneThatBeginsIt) {
  const TStrManipulatorClass manipulator;
  OptionTable table = {{"verbose", "False", "-v", "-vv", ""}};
  EXPECT_TRUE(MatchSwitch(table, manipulator, "-vv"));
  EXPECT_EQ(table[0][1], "True");
  EXPECT_FALSE(MatchSwitch(table, manipulator, "-vv"));
  EXPECT_FALSE(MatchSwitch(table, manipulator, "-v"));

  // The same across rows: the row that has the exact switch is selected,
  // whether or not an earlier row's option was given.
  for (const char* given : {"False", "True"}) {
    table = {{"a", given, "-"}, {"b", "False", "-b"}};
    EXPECT_TRUE(MatchSwitch(table, manipulator, "-b")) << given;
    EXPECT_EQ(table[0][1], given);
    EXPECT_EQ(table[1][1], "True");
  }
}

TEST(RootOfTest, EndsInExactlyOneSeparator) {
  for (const char* typed : {"src", "src/", "src//", "src///"})
    EXPECT_EQ(RootOf(typed), "src/");
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
    test::MakeDirs(src + "/inner");
    test::MakeDirs(dst);
    std::filesystem::create_directory_symlink(src, dir / "link");
  }
  bool Parse(const Args& arguments) {
    parsed = CommandLine{};
    InitOptionTable(parsed.optionTable);
    reason.clear();
    return ParseCommandLine(arguments, platform, manipulator, parsed, reason);
  }

  test::TempDir dir;
  const std::string src = dir / "src";
  const std::string dst = dir / "dst";
  CountingPlatform platform;
  TStrManipulatorClass manipulator;
  CommandLine parsed;
  std::string reason;
};

TEST_F(ParseCommandLineTest, HelpAloneExaminesNoFolder) {
  for (const char* help : {"/?", "-help", "--help"}) {
    EXPECT_TRUE(Parse({help})) << help;
    EXPECT_TRUE(parsed.helpRequested);
    EXPECT_TRUE(parsed.roots.fromRoots.empty());
  }
  for (const char* notHelp : {"-HELP", "/h", "help", "-n"}) {
    EXPECT_FALSE(Parse({notHelp})) << notHelp;
    EXPECT_FALSE(parsed.helpRequested);
  }
  EXPECT_EQ(platform.lookups, 0);
}

TEST_F(ParseCommandLineTest, WrongArgumentCountsAndNonSwitchesExamineNoFolder) {
  for (const Args& arguments : {Args{}, Args{src}, Args{"", src, ""}, Args{"-n", src, dst, dst},
                                Args{"/?", src, dst}, Args{"-nx", src, dst}}) {
    EXPECT_FALSE(Parse(arguments)) << ::testing::PrintToString(arguments);
  }
  EXPECT_EQ(platform.lookups, 0);
}

TEST_F(ParseCommandLineTest, RootsEndInOneSeparatorAndTypedPathsStayAsTyped) {
  struct Case {
    Args arguments;
    bool dryRun;
    std::string typedFrom, typedTo;
  };
  for (const Case& c : {Case{{src, dst}, false, src, dst},
                        Case{{"-n", src + "/", dst + "//"}, true, src + "/", dst + "//"},
                        Case{{"--dry-run", src, dst}, true, src, dst},
                        Case{{"", src, "", dst, ""}, false, src, dst}}) {
    ASSERT_TRUE(Parse(c.arguments)) << ::testing::PrintToString(c.arguments) << reason;
    EXPECT_FALSE(parsed.helpRequested);
    EXPECT_EQ(IsDryRun(parsed.optionTable), c.dryRun);
    EXPECT_EQ(parsed.roots.fromRoots, Args{src + "/"});
    EXPECT_EQ(parsed.roots.toRoots, Args{dst + "/"});
    EXPECT_EQ(parsed.mirrorFromPath, c.typedFrom);
    EXPECT_EQ(parsed.mirrorToPath, c.typedTo);
  }
}

TEST_F(ParseCommandLineTest, BothFoldersMustExist) {
  test::WriteFile(dir / "file", "");
  for (const Args& arguments : {Args{dir / "none", dst}, Args{dir / "file", dst},
                                Args{src, dir / "none"}, Args{src, dir / "file/"}}) {
    EXPECT_FALSE(Parse(arguments)) << ::testing::PrintToString(arguments);
  }
  EXPECT_TRUE(Parse({dir / "link", dst})) << "a link to a folder is a folder";
  EXPECT_EQ(parsed.roots.fromRoots, Args{dir / "link/"});
}

// After a switch, a second switch is taken as the source path.
TEST_F(ParseCommandLineTest, SecondSwitchIsASourcePath) {
  EXPECT_FALSE(Parse({"-n", "-n", dst}));
  const std::filesystem::path before = std::filesystem::current_path();
  std::filesystem::current_path(dir.Path());
  test::MakeDirs("-n");
  const bool accepted = Parse({"-n", "-n", dst});
  std::filesystem::current_path(before);
  EXPECT_TRUE(accepted) << reason;
  EXPECT_EQ(parsed.roots.fromRoots, Args{"-n/"});
}

TEST_F(ParseCommandLineTest, FoldersInsideOneAnotherAreRejected) {
  for (const Args& arguments :
       {Args{src, src + "/inner"}, Args{src + "/inner/", src}, Args{src, dir / "link/inner"},
        Args{"-n", dir / "link", src + "/inner"}, Args{"/", dst}}) {
    EXPECT_FALSE(Parse(arguments)) << ::testing::PrintToString(arguments);
    EXPECT_FALSE(reason.empty());
  }
  test::MakeDirs(src + "2");
  for (const Args& arguments :
       {Args{src, src}, Args{src, dir / "link"}, Args{src, src + "2"}, Args{src + "2", src}}) {
    EXPECT_TRUE(Parse(arguments)) << ::testing::PrintToString(arguments) << reason;
  }
}

}  // namespace
}  // namespace fts
