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

Option Flag(std::string name, std::vector<std::string> switches, bool given = false) {
  return {std::move(name), OptionKind::kFlag, std::move(switches), given, {}};
}

// Text after a switch may set further options, but never makes a switch.
TEST(MatchSwitchTest, SwitchesRunTogetherAreNoSwitch) {
  const TStrManipulatorClass manipulator;
  OptionTable table = {Flag("dryrun", {"-n"}), Flag("verbose", {"-v"})};
  EXPECT_FALSE(MatchSwitch(table, manipulator, "-n-v"));
  EXPECT_TRUE(table[0].given);
  EXPECT_TRUE(table[1].given);
}

// A shorter switch that begins the argument used to mark the option first,
// so the exact switch after it was refused as given twice.
TEST(MatchSwitchTest, ExactSwitchWinsOverAShorterOneThatBeginsIt) {
  const TStrManipulatorClass manipulator;
  OptionTable table = {Flag("verbose", {"-v", "-vv"})};
  EXPECT_TRUE(MatchSwitch(table, manipulator, "-vv"));
  EXPECT_TRUE(table[0].given);
  EXPECT_FALSE(MatchSwitch(table, manipulator, "-vv"));
  EXPECT_FALSE(MatchSwitch(table, manipulator, "-v"));

  // The same across rows: the row that has the exact switch is selected,
  // whether or not an earlier row's option was given.
  for (bool given : {false, true}) {
    table = {Flag("a", {"-"}, given), Flag("b", {"-b"})};
    EXPECT_TRUE(MatchSwitch(table, manipulator, "-b")) << given;
    EXPECT_EQ(table[0].given, given);
    EXPECT_TRUE(table[1].given);
  }
}

// Valued switches: the switch, "=" and the value, once each but --exclude.
TEST(MatchSwitchTest, ValuedSwitchesTakeTheirValueAfterAnEqualsSign) {
  const TStrManipulatorClass manipulator;
  OptionTable table;
  InitOptionTable(table);
  EXPECT_TRUE(MatchSwitch(table, manipulator, "--max-delete=5%"));
  EXPECT_FALSE(MatchSwitch(table, manipulator, "--max-delete=7"));
  EXPECT_EQ(FindOption(table, "maxdelete")->values, std::vector<std::string>{"5%"});
  EXPECT_TRUE(MatchSwitch(table, manipulator, "--exclude=*.tmp"));
  EXPECT_TRUE(MatchSwitch(table, manipulator, "--exclude=a=b"));
  EXPECT_TRUE(MatchSwitch(table, manipulator, "--exclude="));
  EXPECT_EQ(FindOption(table, "exclude")->values, (std::vector<std::string>{"*.tmp", "a=b", ""}));
  EXPECT_TRUE(MatchSwitch(table, manipulator, "--exclude-from=list.txt"));
  EXPECT_TRUE(MatchSwitch(table, manipulator, "--stats"));
  EXPECT_FALSE(MatchSwitch(table, manipulator, "--stats"));
  for (const char* argument : {"--max-delete", "--exclude", "--backup-dir", "--stats=1", "--report",
                               "--jobs 2", "--progress-x", "--version"}) {
    EXPECT_FALSE(MatchSwitch(table, manipulator, argument)) << argument;
  }
}

// Text after a flag's switch can set further flags but never a value.
TEST(MatchSwitchTest, TextAfterAFlagNeverSetsAValue) {
  const TStrManipulatorClass manipulator;
  OptionTable table;
  InitOptionTable(table);
  EXPECT_FALSE(MatchSwitch(table, manipulator, "-n--max-delete=5"));
  EXPECT_TRUE(IsDryRun(table));
  EXPECT_FALSE(FindOption(table, "maxdelete")->given);
  EXPECT_TRUE(FindOption(table, "maxdelete")->values.empty());
}

TEST(ParseDeletionLimitTest, ACountOrAShareUpToAll) {
  for (const char* good : {"0", "5", "123456", "0%", "5%", "100%"})
    EXPECT_TRUE(ParseDeletionLimit(good)) << good;
  for (const char* bad :
       {"", "abc", "-1", "+1", "101%", "5 %", "%", "1.5%", "5%%", "0x10", "99999999999999999999"}) {
    EXPECT_FALSE(ParseDeletionLimit(bad)) << bad;
  }
  EXPECT_EQ(ParseDeletionLimit("5%")->count, 5);
  EXPECT_TRUE(ParseDeletionLimit("5%")->isShare);
  EXPECT_EQ(ParseDeletionLimit("12")->typed, "12");
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

// Four arguments or more: every one but the last two is a switch.
TEST_F(ParseCommandLineTest, SwitchesComeBeforeTheTwoFolders) {
  test::WriteFile(dir / "list.txt", "# caches\n*.tmp\r\n\nbuild/\n");
  test::MakeDirs(dir / "backup");
  ASSERT_TRUE(
      Parse({"-n", "--max-delete=5%", "--exclude=*.bak", "--exclude=cache/",
             "--exclude-from=" + (dir / "list.txt"), "--backup-dir=" + (dir / "backup"), "--jobs=4",
             "--stats", "--report=" + (dir / "report.json"), "--progress", src, dst}))
      << reason;
  EXPECT_TRUE(parsed.dryRun);
  ASSERT_TRUE(parsed.deletionLimit);
  EXPECT_EQ(parsed.deletionLimit->typed, "5%");
  EXPECT_TRUE(parsed.exclusions.Excludes("x.bak", false));
  EXPECT_TRUE(parsed.exclusions.Excludes("a/cache", true));
  EXPECT_TRUE(parsed.exclusions.Excludes("a.tmp", false));
  EXPECT_TRUE(parsed.exclusions.Excludes("build", true));
  EXPECT_FALSE(parsed.exclusions.Excludes("# caches", false));
  EXPECT_EQ(parsed.backupDir, dir / "backup");
  EXPECT_EQ(parsed.jobs, 4);
  EXPECT_TRUE(parsed.stats && parsed.progress);
  EXPECT_EQ(parsed.reportFile, dir / "report.json");
  EXPECT_EQ(parsed.roots.fromRoots, Args{src + "/"});

  // Three arguments: the first is a switch of the table, new ones too.
  EXPECT_TRUE(Parse({"--stats", src, dst})) << reason;
  EXPECT_FALSE(parsed.dryRun);
  // A second -n, or any argument before the folders that is no switch,
  // ends the run; so does a switch given twice.
  for (const Args& arguments :
       {Args{"-n", "-n", src, dst}, Args{"-n", src, src, dst}, Args{"--stats", "--stats", src, dst},
        Args{"--jobs=2", "--jobs=3", src, dst}}) {
    EXPECT_FALSE(Parse(arguments)) << ::testing::PrintToString(arguments);
    EXPECT_TRUE(reason.empty());
  }
  // auto is the default's name: each step finds its count.
  ASSERT_TRUE(Parse({"--jobs=auto", src, dst})) << reason;
  EXPECT_EQ(parsed.jobs, 0);
}

TEST_F(ParseCommandLineTest, BadValuesAreABadCommandLineWithAReason) {
  test::WriteFile(dir / "bad-list.txt", "ok\n/\n");
  for (const Args& switches :
       {Args{"--max-delete=abc"}, Args{"--max-delete=-1"}, Args{"--max-delete=101%"},
        Args{"--exclude="}, Args{"--exclude=/"}, Args{"--exclude-from=" + (dir / "none.txt")},
        Args{"--exclude-from=" + (dir / "bad-list.txt")}, Args{"--backup-dir=" + (dir / "none")},
        Args{"--backup-dir=" + (src + "/inner")}, Args{"--backup-dir=" + dst},
        Args{"--backup-dir=" + dir.Path()}, Args{"--backup-dir=" + (dir / "link/inner")},
        Args{"--jobs=0"}, Args{"--jobs=x"}, Args{"--jobs=65"}, Args{"--jobs=AUTO"},
        Args{"--report=" + dst}}) {
    Args arguments = switches;
    arguments.push_back(src);
    arguments.push_back(dst);
    EXPECT_FALSE(Parse(arguments)) << ::testing::PrintToString(arguments);
    EXPECT_FALSE(reason.empty()) << ::testing::PrintToString(arguments);
    EXPECT_EQ(reason.find('\n'), std::string::npos);
  }
  EXPECT_EQ(reason, "--report takes the name of a file: " + dst);
}

TEST_F(ParseCommandLineTest, VersionAlone) {
  EXPECT_TRUE(Parse({"--version"}));
  EXPECT_TRUE(parsed.versionRequested);
  EXPECT_FALSE(Parse({"--version", src, dst}));
  EXPECT_EQ(platform.lookups, 0);
}

}  // namespace
}  // namespace fts
