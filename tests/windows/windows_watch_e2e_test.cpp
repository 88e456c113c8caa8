// FernwickTreeSyncer.exe --watch as a program of its own on real folders:
// it stays after its first run and each change of the source reaches the
// destination through a pass logged as a run.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/windows_paths.h"
#include "support/windows_test_support.h"

namespace fts {
namespace {

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

const std::string kStart =
    "******** FernwickTreeSyncer Start **********************************************";
const std::string kNormalEnd =
    "******** FernwickTreeSyncer Normal End *****************************************";

std::size_t Count(const std::string& text, std::string_view part) {
  std::size_t count = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size()))
    ++count;
  return count;
}

// Waits, for at most 30 s (Wine on a busy machine is slow), until `done`.
bool Eventually(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(50ms);
  }
  return true;
}

class WindowsWatchEndToEndTest : public ::testing::Test {
 protected:
  WindowsWatchEndToEndTest() {
    test::MakeDirs(src + "\\docs\\old");
    test::MakeDirs(dst);
    test::MakeDirs(bin);
    test::WriteFile(src + "\\top.txt", "top");
    test::WriteFile(src + "\\docs\\a.txt", "a");
    test::WriteFile(src + "\\docs\\old\\b.txt", "b");
    // Older than the two seconds within which a time counts as the same, so
    // that an edit is always newer.
    for (const char* file : {"\\top.txt", "\\docs\\a.txt", "\\docs\\old\\b.txt"})
      test::SetMtime(src + file, 1700000000);
  }

  // Looks at the size before it opens the file: a file held open for
  // reading while the program replaces it would make the program's delete fail.
  static bool Holds(const std::string& path, const std::string& contents) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(SystemPath(path).c_str(), GetFileExInfoStandard, &data) ||
        data.nFileSizeHigh != 0 || data.nFileSizeLow != contents.size()) {
      return false;
    }
    return test::ReadFile(path) == contents;
  }

  test::TempDir dir;
  const std::string src = dir / "src";
  const std::string dst = dir / "dst";
  const std::string bin = dir / "bin";
};

TEST_F(WindowsWatchEndToEndTest, EachChangeOfTheSourceReachesTheDestination) {
  test::StartOptions options;
  options.inFolder = bin;
  // Room for every pass's log while the test looks at the folders.
  options.outputPipeSize = 1 << 20;
  test::ChildProcess watch({"--watch", "--watch-delay=0.3", src, dst}, options);
  ASSERT_TRUE(watch.ReadOutputUntil(kNormalEnd)) << watch.Output();
  EXPECT_EQ(test::ListTree(dst), test::ListTree(src));

  // Each change, and the log line of the pass that carried it over. The log
  // is read only once the change has arrived: a read waits for the program.
  test::WriteFile(src + "\\docs\\new.txt", "new");
  ASSERT_TRUE(Eventually([&] { return Holds(dst + "\\docs\\new.txt", "new"); }));
  EXPECT_TRUE(watch.ReadOutputUntil("Copy File      : " + src + "\\docs\\new.txt -> " + dst +
                                    "\\docs\\new.txt"))
      << watch.Output();

  test::WriteFile(src + "\\top.txt", "top, edited");
  ASSERT_TRUE(Eventually([&] { return Holds(dst + "\\top.txt", "top, edited"); }));

  test::MakeDirs(src + "\\made");
  test::WriteFile(src + "\\made\\c.txt", "c");
  ASSERT_TRUE(Eventually([&] { return Holds(dst + "\\made\\c.txt", "c"); }));
  EXPECT_TRUE(watch.ReadOutputUntil("Make Directory : " + dst + "\\made")) << watch.Output();

  ASSERT_TRUE(MoveFileW(SystemPath(src + "\\docs\\old").c_str(),
                        SystemPath(src + "\\docs\\renamed").c_str()));
  ASSERT_TRUE(Eventually([&] {
    return Holds(dst + "\\docs\\renamed\\b.txt", "b") && !test::Exists(dst + "\\docs\\old");
  }));
  EXPECT_TRUE(watch.ReadOutputUntil("Remove Directory : " + dst + "\\docs\\old")) << watch.Output();

  ASSERT_TRUE(DeleteFileW(SystemPath(src + "\\docs\\a.txt").c_str()));
  ASSERT_TRUE(Eventually([&] { return !test::Exists(dst + "\\docs\\a.txt"); }));
  EXPECT_TRUE(watch.ReadOutputUntil("Delete File      : " + dst + "\\docs\\a.txt"))
      << watch.Output();

  EXPECT_EQ(test::ListTree(dst), test::ListTree(src));
  // The first run and a pass for each of the five changes, each made once
  // the one before had reached the destination (late notifications may
  // bring passes with nothing to do).
  EXPECT_GE(Count(watch.Output(), kStart), 6u) << watch.Output();
  EXPECT_EQ(watch.Output().find("AbNormal End"), std::string::npos) << watch.Output();
  // Each pass takes its inventory files away when it ends.
  EXPECT_TRUE(Eventually([&] { return test::ListTree(bin) == Lines{"FernwickTreeSyncer.exe"}; }))
      << ::testing::PrintToString(test::ListTree(bin));
  // The watch never ends on its own; the destructor ends it.
}

}  // namespace
}  // namespace fts
