#include "run/run_driver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "run/console_log.h"
#include "support/test_support.h"

namespace fts {
namespace {

namespace fs = std::filesystem;
using test::RunBinary;
using test::TempDir;
using test::WithoutStamps;
using Lines = std::vector<std::string>;

const Lines kNotice = {
    "********************************************************************************",
    "* NOTICE!                                                                      *",
    "* FernwickTreeSyncer has been executed in dry run mode.                        *",
    "* This mode will just report action plans without actual mirroring.            *",
    "********************************************************************************",
};
const std::string kStart =
    "******** FernwickTreeSyncer Start **********************************************";
const std::string kNormalEnd =
    "******** FernwickTreeSyncer Normal End *****************************************";

// Names of the entries in `folder` that start with `prefix`: by default the
// inventory files.
Lines InventoriesIn(const std::string& folder, const std::string& prefix = "tmp_Copy") {
  Lines names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    if (name.starts_with(prefix)) names.push_back(name);
  }
  return names;
}

// The binary runs from bin/; src/ holds new/a.txt and same.txt, dst/ holds
// an identical same.txt and old.txt.
class RunDriverTest : public ::testing::Test {
 protected:
  RunDriverTest() {
    test::MakeDirs(bin);
    test::MakeDirs(src + "/new");
    test::MakeDirs(dst);
    test::WriteFile(src + "/new/a.txt", "a");
    test::WriteFile(src + "/same.txt", "same");
    test::WriteFile(dst + "/same.txt", "same");
    test::WriteFile(dst + "/old.txt", "old");
    test::SetMtime(src + "/same.txt", 1700000000);
    test::SetMtime(dst + "/same.txt", 1700000000);
  }

  // The log of that run after the stamps, from the start banner on.
  Lines TypicalLog(const std::string& typedFrom, const std::string& typedTo) const {
    return {kStart,
            "MirrorFromPath : " + typedFrom,
            "MirrorToPath   : " + typedTo,
            "Get MirrorFromPath Information...",
            "Get MirrorToPath Information...",
            "Detect The Difference In These Folders...",
            "-------- Remove Directory And Delete File In MirrorToFolder Start --------------",
            "Delete File      : " + dst + "/old.txt",
            "-------- Remove Directory And Delete File In MirrorToFolder End ----------------",
            "-------- Make Directory And Copy File In MirrorToFolder Start ------------------",
            "Make Directory : " + dst + "/new",
            "Copy File      : " + src + "/new/a.txt -> " + dst + "/new/a.txt",
            "-------- Make Directory And Copy File In MirrorToFolder End --------------------",
            kNormalEnd};
  }

  TempDir dir;
  const std::string bin = dir / "bin";
  const std::string src = dir / "src";
  const std::string dst = dir / "dst";
};

// Every line starts with a "YYYY/MM/DD HH:MM:SS " stamp, then " [--dry-run]" in
// a dry run.
void ExpectStampedLines(const std::string& out, bool dryRun) {
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) {
    ASSERT_TRUE(test::StartsWithLogStamp(line)) << line;
    std::string_view rest = std::string_view(line).substr(20);
    if (dryRun) {
      EXPECT_TRUE(rest.starts_with("[--dry-run] ")) << line;
      rest.remove_prefix(12);
    }
    EXPECT_FALSE(rest.empty() || rest[0] == ' ' || rest[0] == '[') << line;
  }
}

TEST(LogStampTest, FieldsHaveTheirFixedWidths) {
  EXPECT_EQ(FormatLogStamp({2024, 5, 1, 9, 3, 7}), "2024/05/01 09:03:07");
  EXPECT_EQ(FormatLogStamp({2107, 12, 31, 23, 59, 58}), "2107/12/31 23:59:58");
}

TEST_F(RunDriverTest, HelpPrintsTheUsageAlone) {
  for (const char* help : {"/?", "-help", "--help"}) {
    const test::ProcessResult result = RunBinary({help}, bin);
    EXPECT_EQ(result.exitCode, 0);
    // The five lines of old first, then the switches that came since, and
    // one empty line at the end.
    EXPECT_EQ(result.out,
              "\n"
              "Usage: FernwickTreeSyncer[.exe] [switch] [mirror from path] [mirror to path]\n"
              "switch:\n"
              "  -n        : show what would have been transferred\n"
              "  --dry-run : show what would have been transferred\n"
              "  --max-delete=N      : change nothing when more than N destination entries would "
              "go\n"
              "  --max-delete=P%     : change nothing when more than P % of them would go\n"
              "  --exclude=PATTERN   : leave out the entries that PATTERN matches (may be "
              "repeated)\n"
              "  --exclude-from=FILE : leave out the entries that a pattern of FILE matches\n"
              "  --backup-dir=PATH   : move deleted and replaced files to PATH/<run start>/\n"
              "  --jobs=N|auto       : carry out N actions at a time, or as many as pay (default)\n"
              "  --stats             : end the log with the run's figures\n"
              "  --report=FILE       : write the run's figures and failures to FILE as JSON\n"
              "  --progress          : show the run's progress on a terminal\n"
              "  --links=follow|keep|skip : follow source links, mirror them as links, or leave "
              "them out\n"
              "  --preserve=LIST     : carry owner,xattrs,acls,hardlinks too\n"
              "  --compare=LIST      : tell changed files by time,size,content,attributes\n"
              "  --names=portable    : write names a USB disk or share refuses with look-alikes\n"
              "  --watch             : stay, and mirror each change of the source as it comes\n"
              "  --watch-delay=SECONDS : with --watch, wait until changes are quiet that long "
              "(2)\n"
              "  --rescan=DURATION   : with --watch, compare the whole trees that often (24h)\n"
              "  --version           : show the program's version (given alone)\n"
              "Switches come before the folders, each once; --exclude may be repeated.\n"
              "\n");
    EXPECT_EQ(InventoriesIn(bin), Lines{});
  }
  const test::ProcessResult version = RunBinary({"--version"}, bin);
  EXPECT_EQ(version.exitCode, 0);
  EXPECT_EQ(version.out, "FernwickTreeSyncer 1.1.0\n");
}

TEST_F(RunDriverTest, BadArgumentsPrintOneLineAndTouchNothing) {
  const auto before = test::ListTree(dir.Path());
  for (const Lines& arguments :
       {Lines{}, Lines{src}, Lines{"-HELP"}, Lines{"-x", src, dst}, Lines{src, dir / "none"},
        Lines{"-n", src, dst, dst}, Lines{src, src + "/new"}, Lines{dst, dir.Path()}}) {
    const test::ProcessResult result = RunBinary(arguments, bin);
    EXPECT_EQ(result.exitCode, 1) << ::testing::PrintToString(arguments);
    EXPECT_EQ(result.out, "Invalid Command Line Argument.\n");
  }
  EXPECT_EQ(InventoriesIn(bin), Lines{});
  auto after = test::ListTree(dir.Path());
  std::erase(after, "bin/FernwickTreeSyncer");
  EXPECT_EQ(after, before);
}

TEST_F(RunDriverTest, NormalRunLogsEveryStepAndMirrors) {
  const test::ProcessResult result = RunBinary({src + "/", dst}, bin);
  EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
  ExpectStampedLines(result.out, false);
  EXPECT_EQ(WithoutStamps(result.out), TypicalLog(src + "/", dst));
  EXPECT_EQ(test::ListTree(dst), test::ListTree(src));
  EXPECT_EQ(test::ReadFile(dst + "/new/a.txt"), "a");
  EXPECT_EQ(InventoriesIn(bin), Lines{});
}

TEST_F(RunDriverTest, DryRunMarksEveryLineAndChangesNothing) {
  const auto srcBefore = test::ListTree(src);
  const auto dstBefore = test::ListTree(dst);
  for (const char* dryRun : {"-n", "--dry-run"}) {
    const test::ProcessResult result = RunBinary({dryRun, src, dst}, bin);
    EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
    ExpectStampedLines(result.out, true);

    Lines expected = kNotice;
    for (const std::string& line : TypicalLog(src, dst))
      expected.push_back(line);
    expected.insert(expected.end(), kNotice.begin(), kNotice.end());
    for (std::string& line : expected)
      line = "[--dry-run] " + line;
    EXPECT_EQ(WithoutStamps(result.out), expected);

    EXPECT_EQ(test::ListTree(src), srcBefore);
    EXPECT_EQ(test::ListTree(dst), dstBefore);
    EXPECT_EQ(InventoriesIn(bin), Lines{});
  }
}

TEST_F(RunDriverTest, InterruptedRunCleansUpAndEndsWith128PlusTheSignal) {
  // Far more log than a pipe holds once the comparison has begun: the run
  // cannot end before the test reads on, whenever the signal lands.
  const std::string many = dir / "many";
  test::MakeDirs(many);
  for (int i = 0; i < 1000; ++i) {
    test::WriteFile(many + "/file-with-a-rather-long-name-to-fill-the-log-" + std::to_string(i),
                    "x");
  }
  for (int signalNumber : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signalNumber);
    const std::string target = dir / ("target" + std::to_string(signalNumber));
    test::MakeDirs(target);
    // Standard output on a small pipe, so that a run with a long log
    // stalls until it is read.
    test::StartOptions options;
    options.inFolder = bin;
    options.discardErrors = true;
    options.outputPipeSize = 4096;
    test::ChildProcess child({many, target}, options);

    EXPECT_TRUE(child.ReadOutputUntil("Detect The Difference")) << child.Output();
    EXPECT_EQ(InventoriesIn(bin).size(), 2u);

    child.Signal(signalNumber);
    const test::ProcessResult result = child.Finish();
    ASSERT_FALSE(result.endedBySignal);
    EXPECT_EQ(result.exitCode, 128 + signalNumber);
    EXPECT_EQ(InventoriesIn(bin), Lines{});
    EXPECT_EQ(InventoriesIn(target, ".fts-"), Lines{});
  }
}

// The real platform, run from `folder`, whose opening of existing files
// fails in one mode.
class FailingOpenPlatform : public test::CapturingPlatform {
 public:
  FailingOpenPlatform(std::string folder, OpenMode failing)
      : folder_(std::move(folder)), failing_(failing) {}
  std::string ExecutableFolder() override { return folder_ + "/"; }
  CreateResult CreateNewFile(const std::string& path) override {
    CreateResult result = CapturingPlatform::CreateNewFile(path);
    if (result.outcome == CreateOutcome::kCreated) created.push_back(path);
    return result;
  }
  Result<std::unique_ptr<File>> OpenFile(const std::string& path, OpenMode mode) override {
    if (mode == failing_) return Status::Error("open", path, "injected failure");
    return CapturingPlatform::OpenFile(path, mode);
  }
  Lines created;

 private:
  std::string folder_;
  OpenMode failing_;
};

TEST_F(RunDriverTest, UnhandledErrorIsReportedAndStillCleansUp) {
  for (OpenMode failing : {OpenMode::kRead, OpenMode::kWriteExisting}) {
    FailingOpenPlatform platform(bin, failing);
    EXPECT_EQ(RunFernwickTreeSyncer({src, dst}, platform), 1);
    const Lines lines = WithoutStamps(platform.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), kStart);
    // Whichever inventory it was, the failed open is named with its cause.
    EXPECT_TRUE(lines.back().starts_with("Unhandled Error : Inventory I/O error: cannot open " +
                                         bin + "/tmp_Copy"))
        << lines.back();
    EXPECT_TRUE(lines.back().ends_with(".txt: injected failure")) << lines.back();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), kNormalEnd), 0);

    EXPECT_EQ(platform.created.size(), 2u);
    EXPECT_EQ(InventoriesIn(bin), Lines{});
    EXPECT_EQ(test::ListTree(dst), (Lines{"old.txt", "same.txt"}));
  }
}

}  // namespace
}  // namespace fts
