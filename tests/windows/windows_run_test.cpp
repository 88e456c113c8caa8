// Whole runs in this process on the Win32 platform: the log as Windows
// shows it, and a failing action reported with the system's own text.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "platform/forwarding_platform.h"
#include "platform/wide_text.h"
#include "platform/windows_paths.h"
#include "run/command_line.h"
#include "run/run_driver.h"
#include "support/windows_test_support.h"

namespace fts {
namespace {

using test::CapturingPlatform;
using test::TempDir;

// The lines of a log with their time stamps cut off; each must end in CR LF.
std::vector<std::string> LogLines(Platform& platform, const std::string& out) {
  EXPECT_TRUE(test::EveryLineEndsInCrLf(out)) << out;
  return test::WithoutStamps(out, platform.RegionalSettings().timeSeparator);
}

std::vector<std::string> Banners(const std::vector<std::string>& middle) {
  std::vector<std::string> lines = {
      "******** FernwickTreeSyncer Start **********************************************"};
  lines.insert(lines.end(), middle.begin(), middle.end());
  lines.push_back(
      "******** FernwickTreeSyncer Normal End *****************************************");
  return lines;
}

TEST(WindowsRunTest, ATypicalRunLogsWindowsPaths) {
  TempDir dir;
  const std::string src = dir / "src";
  const std::string dst = dir / "dst";
  test::MakeDirs(src);
  test::MakeDirs(dst);
  test::MakeDirs(src + "\\new");
  test::WriteFile(src + "\\new\\a.txt", "a");
  test::WriteFile(src + "\\same.txt", "s");
  test::WriteFile(dst + "\\same.txt", "s");
  test::SetLastWriteTicks(src + "\\same.txt", 133590277860000000LL);
  test::SetLastWriteTicks(dst + "\\same.txt", 133590277860000000LL);
  test::WriteFile(dst + "\\old.txt", "o");

  CapturingPlatform platform;
  EXPECT_EQ(RunFernwickTreeSyncer({src, dst + "\\"}, platform), 0) << platform.out;
  EXPECT_EQ(LogLines(platform, platform.out),
            Banners({
                "MirrorFromPath : " + src,
                "MirrorToPath   : " + dst + "\\",
                "Get MirrorFromPath Information...",
                "Get MirrorToPath Information...",
                "Detect The Difference In These Folders...",
                "-------- Remove Directory And Delete File In MirrorToFolder Start --------------",
                "Delete File      : " + dst + "\\old.txt",
                "-------- Remove Directory And Delete File In MirrorToFolder End ----------------",
                "-------- Make Directory And Copy File In MirrorToFolder Start ------------------",
                "Make Directory : " + dst + "\\new",
                "Copy File      : " + src + "\\new\\a.txt -> " + dst + "\\new\\a.txt",
                "-------- Make Directory And Copy File In MirrorToFolder End --------------------",
            }));
  EXPECT_EQ(test::ListTree(dst), (std::vector<std::string>{"new\\", "new\\a.txt", "same.txt"}));

  CapturingPlatform again;
  EXPECT_EQ(RunFernwickTreeSyncer({src, dst}, again), 0);
  const std::vector<std::string> lines = LogLines(again, again.out);
  ASSERT_EQ(lines.size(), 8u);
  EXPECT_EQ(lines[6], "No Difference In These Folders!");
}

TEST(WindowsRunTest, AFailedActionIsReportedWithTheSystemsText) {
  TempDir dir;
  const std::string src = dir / "src";
  const std::string dst = dir / "dst";
  test::MakeDirs(src);
  test::MakeDirs(dst);
  test::WriteFile(dst + "\\busy.txt", "b");
  test::WriteFile(dst + "\\free.txt", "f");
  // Held open without sharing: nobody can delete it meanwhile.
  const HANDLE held = CreateFileW(SystemPath(dst + "\\busy.txt").c_str(), GENERIC_READ, 0, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);

  CapturingPlatform platform;
  const int exitCode = RunFernwickTreeSyncer({src, dst}, platform);
  CloseHandle(held);
  EXPECT_EQ(exitCode, 3);

  wchar_t text[512];
  const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                      nullptr, ERROR_SHARING_VIOLATION, 0, text, 512, nullptr);
  ASSERT_GT(length, 0u);
  std::string reason = Utf8FromWide(std::wstring_view(text, length));
  while (!reason.empty() &&
         (reason.back() == '\n' || reason.back() == '\r' || reason.back() == ' ')) {
    reason.pop_back();
  }
  const std::vector<std::string> lines = LogLines(platform, platform.out);
  std::vector<std::string> deletes;
  for (const std::string& line : lines) {
    if (line.starts_with("Delete File") || line.starts_with("Action Failed")) {
      deletes.push_back(line);
    }
  }
  // The listing order decides which comes first; each failure follows its line.
  const std::string busy = "Delete File      : " + dst + "\\busy.txt";
  const std::string failed = "Action Failed    : " + reason;
  const std::string free = "Delete File      : " + dst + "\\free.txt";
  EXPECT_TRUE(deletes == (std::vector<std::string>{busy, failed, free}) ||
              deletes == (std::vector<std::string>{free, busy, failed}))
      << platform.out;
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(),
            "******** FernwickTreeSyncer AbNormal End ***************************************");
  EXPECT_TRUE(test::Exists(dst + "\\busy.txt"));
  EXPECT_FALSE(test::Exists(dst + "\\free.txt"));
}

TEST(WindowsRunTest, FoldersNestedInOneAnotherAreRefusedWhateverTheirCase) {
  TempDir dir;
  test::MakeDirs(dir / "Outer");
  test::MakeDirs(dir / "Outer\\Inner");
  CapturingPlatform platform;
  CommandLine parsed;
  InitOptionTable(parsed.optionTable);
  TStrManipulatorClass manipulator;
  std::string reason;
  EXPECT_FALSE(ParseCommandLine({dir / "outer", dir / "OUTER\\inner"}, platform, manipulator,
                                parsed, reason));
  EXPECT_FALSE(reason.empty());
  EXPECT_TRUE(ParseCommandLine({dir / "outer\\inner", dir / "outer\\inner"}, platform, manipulator,
                               parsed, reason));
}

TEST(WindowsRunTest, HelpAndBadArgumentsEndLinesInCrLf) {
  CapturingPlatform help;
  EXPECT_EQ(RunFernwickTreeSyncer({"/?"}, help), 0);
  EXPECT_EQ(help.out.substr(0, 2), "\r\n");
  EXPECT_NE(help.out.find("Usage: FernwickTreeSyncer[.exe] [switch] [mirror from path] "
                          "[mirror to path]\r\n"),
            std::string::npos);
  CapturingPlatform bad;
  EXPECT_EQ(RunFernwickTreeSyncer({"-n"}, bad), 1);
  EXPECT_EQ(bad.out, "Invalid Command Line Argument.\r\n");
}

}  // namespace
}  // namespace fts
