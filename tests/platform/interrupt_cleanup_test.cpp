// The clean-up that an interrupt runs, and the hold-offs that keep it out
// of the step between making a file and registering it.
#include "platform/interrupt_cleanup.h"

#include <gtest/gtest.h>

#include <string>

#include "support/test_support.h"

#ifdef _WIN32
#include <windows.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/windows_paths.h"
#include "support/windows_test_support.h"
#endif

namespace fts {
namespace {

using test::TempDir;

// Leaves no path registered behind a test.
class InterruptCleanupTest : public ::testing::Test {
 protected:
  ~InterruptCleanupTest() override {
    for (CleanupSlot slot : {CleanupSlot::kSourceInventory, CleanupSlot::kDestinationInventory,
                             CleanupSlot::kCopyTemporary}) {
      SetInterruptCleanupPath(slot, "");
    }
  }
  TempDir dir;
};

TEST_F(InterruptCleanupTest, DeletesTheRegisteredFilesAndNothingElse) {
  test::WriteFile(dir / "source.txt", "s");
  test::WriteFile(dir / "copy.tmp", "c");
  test::WriteFile(dir / "cleared.txt", "x");
  test::WriteFile(dir / "other.txt", "o");
  SetInterruptCleanupPath(CleanupSlot::kSourceInventory, dir / "source.txt");
  SetInterruptCleanupPath(CleanupSlot::kCopyTemporary, dir / "copy.tmp");
  SetInterruptCleanupPath(CleanupSlot::kDestinationInventory, dir / "cleared.txt");
  SetInterruptCleanupPath(CleanupSlot::kDestinationInventory, "");
  { InterruptCleanup cleanup; }
  EXPECT_EQ(test::ListTree(dir.Path()), (std::vector<std::string>{"cleared.txt", "other.txt"}));
}

TEST_F(InterruptCleanupTest, HoldOffsNest) {
  test::WriteFile(dir / "file.txt", "f");
  {
    InterruptHoldOff outer;
    {
      InterruptHoldOff inner;
      SetInterruptCleanupPath(CleanupSlot::kCopyTemporary, dir / "file.txt");
    }
    InterruptHoldOff again;
  }
  { InterruptCleanup cleanup; }
  EXPECT_FALSE(test::Exists(dir / "file.txt"));
}

#ifdef _WIN32
using namespace std::chrono_literals;

// Waits up to ten seconds for `flag`.
bool Eventually(const std::atomic<bool>& flag) {
  for (auto waited = 0ms; waited < 10s; waited += 10ms) {
    if (flag) return true;
    std::this_thread::sleep_for(10ms);
  }
  return flag;
}

// The console control handler runs on a thread of its own. Here a second
// thread plays it.
TEST_F(InterruptCleanupTest, TheCleanUpWaitsUntilTheHoldOffEnds) {
  const std::string file = dir / "made in the hold-off.txt";
  std::atomic<bool> cleaned{false};
  std::thread handler;
  {
    InterruptHoldOff holdOff;
    test::WriteFile(file, "f");
    handler = std::thread([&] {
      InterruptCleanup cleanup;
      cleaned = true;
    });
    // The interrupt falls between making the file and registering it.
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(cleaned);
    SetInterruptCleanupPath(CleanupSlot::kCopyTemporary, file);
    // A hold-off nested in one in force does not wait behind the handler.
    { InterruptHoldOff nested; }
    EXPECT_FALSE(cleaned);
    EXPECT_TRUE(test::Exists(file));
  }
  handler.join();
  EXPECT_TRUE(cleaned);
  EXPECT_FALSE(test::Exists(file));
}

TEST_F(InterruptCleanupTest, NoHoldOffStartsWhileTheCleanUpRuns) {
  std::atomic<bool> entered{false};
  std::thread mainFlow;
  {
    InterruptCleanup cleanup;
    mainFlow = std::thread([&] {
      InterruptHoldOff holdOff;
      entered = true;
    });
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(entered);
  }
  mainFlow.join();
  EXPECT_TRUE(entered);
}

TEST_F(InterruptCleanupTest, SeveralThreadsHoldOffAtOnceAndTheCleanUpWaitsForAll) {
  std::atomic<bool> firstIn{false};
  std::atomic<bool> secondIn{false};
  std::atomic<bool> release{false};
  std::atomic<bool> cleaned{false};
  auto holdOff = [&](std::atomic<bool>& in) {
    InterruptHoldOff holdOff;
    in = true;
    Eventually(release);
  };
  std::thread first(holdOff, std::ref(firstIn));
  std::thread second(holdOff, std::ref(secondIn));
  EXPECT_TRUE(Eventually(firstIn));
  EXPECT_TRUE(Eventually(secondIn));
  std::thread handler([&] {
    InterruptCleanup cleanup;
    cleaned = true;
  });
  std::this_thread::sleep_for(200ms);
  EXPECT_FALSE(cleaned);
  release = true;
  first.join();
  second.join();
  handler.join();
  EXPECT_TRUE(cleaned);
}

TEST_F(InterruptCleanupTest, AReadOnlyFileIsDeletedToo) {
  const std::string file = dir / "read-only.tmp";
  test::WriteFile(file, "r");
  test::SetAttributes(file, FILE_ATTRIBUTE_READONLY);
  SetInterruptCleanupPath(CleanupSlot::kCopyTemporary, file);
  { InterruptCleanup cleanup; }
  EXPECT_FALSE(test::Exists(file));
}

// The copy holds its temporary file open while it writes it, and opens it
// for deleting too: the file goes when the process ends.
TEST_F(InterruptCleanupTest, AFileOpenForDeletingGoesWhenItsHandleCloses) {
  const std::string file = dir / "copy in progress.tmp";
  const HANDLE open = CreateFileW(SystemPath(file).c_str(), GENERIC_WRITE, FILE_SHARE_DELETE,
                                  nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(open, INVALID_HANDLE_VALUE);
  SetInterruptCleanupPath(CleanupSlot::kCopyTemporary, file);
  { InterruptCleanup cleanup; }
  CloseHandle(open);
  EXPECT_FALSE(test::Exists(file));
}

TEST_F(InterruptCleanupTest, PathsLongerThan260CharactersAreDeleted) {
  std::string folder = dir.Path();
  for (int i = 0; i < 6; ++i) {
    folder += "\\level-" + std::to_string(i) + "-abcdefghijklmnopqrstuvwxyz0123456789";
  }
  test::MakeDirs(folder);
  const std::string file = folder + "\\deep.tmp";
  ASSERT_GT(file.size(), 260u);
  test::WriteFile(file, "d");
  SetInterruptCleanupPath(CleanupSlot::kCopyTemporary, file);
  { InterruptCleanup cleanup; }
  EXPECT_FALSE(test::Exists(file));
}
#endif

}  // namespace
}  // namespace fts
