// What a run tells in sum: the --stats lines, the --report document, the
// --progress line, and that they agree with the log.
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <map>

#include "run/run_driver.h"
#include "support/fault_platform.h"
#include "support/json_check.h"

namespace fts {
namespace {

using test::MakeDirs;
using test::ReadFile;
using test::SetMtime;
using test::WithoutStamps;
using test::WriteFile;
using Lines = std::vector<std::string>;

class RunReportTest : public ::testing::Test {
 protected:
  RunReportTest() {
    for (const auto& folder : {src_ + "/new/deeper", dst_ + "/gone/inner", bin_})
      MakeDirs(folder);
    for (const char* relPath : {"new/a.txt", "new/deeper/b.txt", "same.txt", "c.txt", "x.tmp"}) {
      WriteFile(src_ + "/" + relPath, std::string("contents of ") + relPath);
      SetMtime(src_ + "/" + relPath, 1700000000);
    }
    for (const char* relPath : {"same.txt", "old.txt", "gone/inner/y.txt", "kept.tmp"}) {
      WriteFile(dst_ + "/" + relPath, "old");
      SetMtime(dst_ + "/" + relPath, 1700000000);
    }
    platform_.exeFolder = bin_ + "/";
  }

  // The "Label : value" lines after the end banner.
  static std::map<std::string, std::string> Stats(const std::string& out) {
    std::map<std::string, std::string> stats;
    bool after = false;
    for (const std::string& line : WithoutStamps(out)) {
      if (after) {
        const auto colon = line.find(" : ");
        std::string label = line.substr(0, colon);
        while (label.ends_with(' '))
          label.pop_back();
        stats[label] = line.substr(colon + 3);
      }
      if (line.starts_with("******** FernwickTreeSyncer ") &&
          line.find(" End ") != std::string::npos)
        after = true;
    }
    return stats;
  }

  static long Count(const std::string& out, const std::string& prefix) {
    const Lines lines = WithoutStamps(out);
    return std::count_if(lines.begin(), lines.end(),
                         [&](const std::string& line) { return line.starts_with(prefix); });
  }

  test::TempDir dir_;
  std::string src_ = dir_ / "src", dst_ = dir_ / "dst", bin_ = dir_ / "bin",
              report_ = dir_ / "report.json";
  test::FaultPlatform platform_;
};

TEST_F(RunReportTest, TheFiguresAgreeWithTheLog) {
  platform_.actionFault = [&](std::string_view operation, const std::string& path) {
    return operation == "copy to" && path == dst_ + "/c.txt"
               ? Status::Error(operation, path, "No space left on device")
               : Status::Ok();
  };
  const int exitCode = RunFernwickTreeSyncer(
      {"--stats", "--exclude=*.tmp", "--report=" + report_, src_, dst_}, platform_);
  EXPECT_EQ(exitCode, 3);
  const auto stats = Stats(platform_.out);
  EXPECT_EQ(stats.size(), 17u);
  // Each step with actions ran on the workers it settled on, at least one.
  const std::string& workers = stats.at("Workers");
  for (const std::string step :
       {"Delete File ", ", Remove Directory ", ", Make Directory ", ", Copy File "}) {
    const auto at = workers.find(step);
    ASSERT_NE(at, std::string::npos) << workers;
    EXPECT_GE(std::atoi(workers.c_str() + at + step.size()), 1) << workers;
  }
  EXPECT_EQ(stats.at("Source Files"), "4");
  EXPECT_EQ(stats.at("Source Folders"), "2");
  EXPECT_EQ(stats.at("Destination Files"), "3");
  EXPECT_EQ(stats.at("Destination Folders"), "2");
  EXPECT_EQ(stats.at("Identical Entries"), "1");
  EXPECT_EQ(stats.at("Entries Excluded"), "2");
  const std::string& out = platform_.out;
  EXPECT_EQ(stats.at("Files Deleted"), std::to_string(Count(out, "Delete File")));
  EXPECT_EQ(stats.at("Folders Removed"), std::to_string(Count(out, "Remove Directory")));
  EXPECT_EQ(stats.at("Folders Made"), std::to_string(Count(out, "Make Directory")));
  EXPECT_EQ(stats.at("Actions Failed"), std::to_string(Count(out, "Action Failed")));
  EXPECT_EQ(stats.at("Files Copied"),
            std::to_string(Count(out, "Copy File") - Count(out, "Action Failed")));
  EXPECT_EQ(stats.at("Files Deleted"), "2");
  EXPECT_EQ(stats.at("Folders Removed"), "2");
  EXPECT_EQ(stats.at("Folders Made"), "2");
  EXPECT_EQ(stats.at("Files Copied"), "2");
  EXPECT_EQ(stats.at("Actions Failed"), "1");
  EXPECT_EQ(stats.at("Bytes Copied"),
            std::to_string(std::string("contents of new/a.txt").size() +
                           std::string("contents of new/deeper/b.txt").size()));

  const std::string json = ReadFile(report_);
  std::string error;
  ASSERT_TRUE(test::IsValidJson(json, &error)) << error << "\n" << json;
  EXPECT_EQ(test::JsonValue(json, "exitCode"), "3");
  EXPECT_EQ(test::JsonValue(json, "ending"), "abnormal end");
  EXPECT_EQ(test::JsonValue(json, "source"), src_);
  EXPECT_EQ(test::JsonValue(json, "filesCopied"), stats.at("Files Copied"));
  EXPECT_EQ(test::JsonValue(json, "filesDeleted"), stats.at("Files Deleted"));
  EXPECT_EQ(test::JsonValue(json, "entriesExcluded"), "2");
  EXPECT_EQ(test::JsonValue(json, "action"), "Copy File");
  EXPECT_EQ(test::JsonValue(json, "to"), dst_ + "/c.txt");
  EXPECT_EQ(test::JsonValue(json, "error"), "No space left on device");
  EXPECT_FALSE(test::Exists(report_ + ".tmp-" + std::to_string(getpid())));
}

// A fixed count is the count of every step that has actions; a step
// without any ran on none.
TEST_F(RunReportTest, TheWorkersOfAFixedCount) {
  std::filesystem::remove_all(dst_);
  MakeDirs(dst_);
  RunFernwickTreeSyncer({"--stats", "--jobs=3", "--report=" + report_, src_, dst_}, platform_);
  EXPECT_EQ(Stats(platform_.out).at("Workers"),
            "Delete File 0, Remove Directory 0, Make Directory 3, Copy File 3");
  const std::string json = ReadFile(report_);
  EXPECT_NE(json.find(R"("workers": {"deleteFile": 0, "removeDirectory": 0, "makeDirectory": 3, )"
                      R"("copyFile": 3})"),
            std::string::npos)
      << json;
}

// In a dry run the figures come after the closing notice; the log before
// them is the same as without --stats.
TEST_F(RunReportTest, StatsComeLastAndChangeNothingBefore) {
  test::FaultPlatform plain;
  plain.exeFolder = bin_ + "/";
  RunFernwickTreeSyncer({"-n", src_, dst_}, plain);
  RunFernwickTreeSyncer({"-n", "--stats", src_, dst_}, platform_);
  const Lines without = WithoutStamps(plain.out);
  const Lines with = WithoutStamps(platform_.out);
  ASSERT_EQ(with.size(), without.size() + 17);
  EXPECT_TRUE(std::equal(without.begin(), without.end(), with.begin()));
  EXPECT_EQ(with[without.size()], "[--dry-run] Source Files        : 5");
}

// Ends other than the normal one write a valid report too.
TEST_F(RunReportTest, AbnormalEndsWriteAReport) {
  EXPECT_EQ(RunFernwickTreeSyncer({"--max-delete=0", "--report=" + report_, src_, dst_}, platform_),
            4);
  std::string json = ReadFile(report_);
  EXPECT_TRUE(test::IsValidJson(json)) << json;
  EXPECT_EQ(test::JsonValue(json, "exitCode"), "4");
  EXPECT_EQ(test::JsonValue(json, "ending"), "abnormal end");

  test::FaultPlatform broken;
  broken.exeFolder = bin_ + "/";
  broken.beforeReading = [&](const std::string& path) {
    if (path.ends_with("tmp_CopyToPath.txt")) WriteFile(path, "garbage\r\n");
  };
  EXPECT_EQ(RunFernwickTreeSyncer({"--report=" + report_, src_, dst_}, broken), 1);
  json = ReadFile(report_);
  EXPECT_TRUE(test::IsValidJson(json)) << json;
  EXPECT_EQ(test::JsonValue(json, "exitCode"), "1");
  EXPECT_EQ(test::JsonValue(json, "ending"), "unhandled error");
  EXPECT_NE(test::JsonValue(json, "error"), "(none)");
}

// Ctrl-C writes the report before the program ends.
TEST_F(RunReportTest, AnInterruptedRunWritesItsReport) {
  for (int i = 0; i < 3000; ++i)
    WriteFile(src_ + "/new/many-" + std::to_string(i), std::string(1000, 'x'));
  test::StartOptions options;
  options.inFolder = bin_;
  test::ChildProcess run({"--report=" + report_, "--jobs=1", src_, dst_}, options);
  ASSERT_TRUE(run.ReadOutputUntil("Copy File"));
  run.Signal(SIGINT);
  const auto result = run.Finish();
  EXPECT_EQ(result.exitCode, 130) << result.out;
  const std::string json = ReadFile(report_);
  std::string error;
  EXPECT_TRUE(test::IsValidJson(json, &error)) << error << "\n" << json;
  EXPECT_EQ(test::JsonValue(json, "exitCode"), "130");
  EXPECT_EQ(test::JsonValue(json, "ending"), "interrupted");
  EXPECT_EQ(test::ListTree(bin_), Lines{"FernwickTreeSyncer"});
}

// --progress draws on a terminal only, and never changes standard output.
TEST_F(RunReportTest, ProgressGoesToATerminalOnly) {
  for (int i = 0; i < 500; ++i)
    WriteFile(src_ + "/new/many-" + std::to_string(i), std::string(1000, 'x'));
  const auto plain = test::RunBinary({"-n", src_, dst_}, bin_);
  test::StartOptions options;
  options.inFolder = bin_;
  options.errorsToTerminal = true;
  const auto terminal = test::ChildProcess({"-n", "--progress", src_, dst_}, options).Finish();
  EXPECT_EQ(terminal.exitCode, 0);
  EXPECT_EQ(WithoutStamps(terminal.out), WithoutStamps(plain.out));
  EXPECT_NE(terminal.err.find("listing: "), std::string::npos) << terminal.err;
  EXPECT_NE(terminal.err.find(" actions"), std::string::npos) << terminal.err;
  EXPECT_TRUE(terminal.err.ends_with("\r\x1b[K")) << "the line is erased at the end";

  const auto piped = test::RunBinary({"-n", "--progress", src_, dst_}, bin_);
  EXPECT_EQ(piped.err, "");
  EXPECT_EQ(WithoutStamps(piped.out), WithoutStamps(plain.out));
}

}  // namespace
}  // namespace fts
